// Image files.
#include <gtest/gtest.h>

#include <climits>
#include <cstdint>
#include <random>
#include <stdexcept>
#include <string>
#include <vector>

#include "compose/le_image.h"
#include "support/errors.h"
#include "support/files.h"
#include "support/tmpdir.h"

// The test writes its own greyscale, grey+alpha, RGBA and JPEG inputs.
#define STB_IMAGE_WRITE_STATIC
#define STB_IMAGE_WRITE_IMPLEMENTATION
#include "stb_image_write.h"

namespace {

using le::test::errorOf;

std::vector<uint8_t> randomBytes(size_t n, uint32_t seed) {
  std::mt19937 rng(seed);
  std::vector<uint8_t> v(n);
  for (auto& b : v) b = uint8_t(rng());
  return v;
}

TEST(Image, PngRoundTrip) {
  le::test::TmpDir tmp;
  for (auto [w, h] : {std::pair{37, 23}, std::pair{1, 1}, std::pair{256, 3}}) {
    const auto rgb = randomBytes(size_t(w) * h * 3, uint32_t(w * 1000 + h));
    const std::string path = tmp.str("rt_" + std::to_string(w) + "x" + std::to_string(h) + ".png");
    le::writePNG(path, rgb.data(), w, h);
    int gw = 0, gh = 0;
    const auto back = le::loadImageRGB(path, &gw, &gh);
    EXPECT_EQ(gw, w);
    EXPECT_EQ(gh, h);
    EXPECT_EQ(back, rgb);
  }
}

TEST(Image, NullSizePointersAreAllowed) {
  le::test::TmpDir tmp;
  const auto rgb = randomBytes(4 * 2 * 3, 9);
  le::writePNG(tmp.str("a.png"), rgb.data(), 4, 2);
  EXPECT_EQ(le::loadImageRGB(tmp.str("a.png"), nullptr, nullptr), rgb);
}

TEST(Image, GreyAndAlphaPngLoadAsRgb) {
  le::test::TmpDir tmp;
  const int w = 19, h = 7;
  for (int comp : {1, 2, 4}) {
    SCOPED_TRACE(comp);
    const auto px = randomBytes(size_t(w) * h * comp, uint32_t(comp));
    const std::string path = tmp.str("c" + std::to_string(comp) + ".png");
    ASSERT_TRUE(stbi_write_png(path.c_str(), w, h, comp, px.data(), w * comp));
    int gw = 0, gh = 0;
    const auto rgb = le::loadImageRGB(path, &gw, &gh);
    ASSERT_EQ(gw, w);
    ASSERT_EQ(gh, h);
    ASSERT_EQ(rgb.size(), size_t(w) * h * 3);
    for (size_t i = 0; i < size_t(w) * h; ++i) {
      if (comp <= 2) {  // grey (+ alpha): R = G = B = grey, alpha dropped
        const uint8_t g = px[i * comp];
        ASSERT_EQ(rgb[3 * i], g) << i;
        ASSERT_EQ(rgb[3 * i + 1], g);
        ASSERT_EQ(rgb[3 * i + 2], g);
      } else {  // RGBA: alpha dropped, colour untouched
        ASSERT_EQ(rgb[3 * i], px[4 * i]) << i;
        ASSERT_EQ(rgb[3 * i + 1], px[4 * i + 1]);
        ASSERT_EQ(rgb[3 * i + 2], px[4 * i + 2]);
      }
    }
  }
}

TEST(Image, GreyAndColourJpegLoadAsRgb) {
  le::test::TmpDir tmp;
  const int w = 40, h = 24;
  std::vector<uint8_t> grey(size_t(w) * h);
  for (int y = 0; y < h; ++y)
    for (int x = 0; x < w; ++x) grey[size_t(y) * w + x] = uint8_t(40 + 4 * x + y);
  ASSERT_TRUE(stbi_write_jpg(tmp.str("g.jpg").c_str(), w, h, 1, grey.data(), 100));
  int gw = 0, gh = 0;
  auto rgb = le::loadImageRGB(tmp.str("g.jpg"), &gw, &gh);
  ASSERT_EQ(gw, w);
  ASSERT_EQ(gh, h);
  ASSERT_EQ(rgb.size(), size_t(w) * h * 3);
  for (size_t i = 0; i < size_t(w) * h; ++i) {
    ASSERT_EQ(rgb[3 * i], rgb[3 * i + 1]);
    ASSERT_EQ(rgb[3 * i], rgb[3 * i + 2]);
    ASSERT_NEAR(rgb[3 * i], grey[i], 6) << i;
  }
  std::vector<uint8_t> col(size_t(w) * h * 3);
  for (size_t i = 0; i < size_t(w) * h; ++i) {
    col[3 * i] = 200;
    col[3 * i + 1] = 60;
    col[3 * i + 2] = 30;
  }
  ASSERT_TRUE(stbi_write_jpg(tmp.str("c.jpg").c_str(), w, h, 3, col.data(), 95));
  rgb = le::loadImageRGB(tmp.str("c.jpg"), &gw, &gh);
  ASSERT_EQ(rgb.size(), col.size());
  for (size_t i = 0; i < col.size(); ++i) ASSERT_NEAR(rgb[i], col[i], 8) << i;
}

TEST(Image, UnreadableFilesThrowDecodeFailed) {
  le::test::TmpDir tmp;
  const std::string missing = tmp.str("does-not-exist.png");
  int w = -7, h = -7;
  EXPECT_EQ(errorOf([&] { le::loadImageRGB(missing, &w, &h); }), "decode failed: " + missing);
  EXPECT_EQ(w, -7);  // untouched on failure
  EXPECT_EQ(h, -7);

  const std::string garbage = tmp.str("garbage.jpg");
  le::test::writeFile(garbage, "this is not an image");
  EXPECT_EQ(errorOf([&] { le::loadImageRGB(garbage, &w, &h); }), "decode failed: " + garbage);

  EXPECT_EQ(errorOf([&] { le::loadImageRGB(tmp.str(), &w, &h); }), "decode failed: " + tmp.str());

  // A truncated PNG.
  const auto rgb = randomBytes(32 * 32 * 3, 4);
  le::writePNG(tmp.str("full.png"), rgb.data(), 32, 32);
  const std::string bytes = le::test::readFile(tmp.str("full.png"));
  const std::string cut = tmp.str("cut.png");
  le::test::writeFile(cut, bytes.substr(0, bytes.size() / 2));
  EXPECT_EQ(errorOf([&] { le::loadImageRGB(cut, &w, &h); }), "decode failed: " + cut);
}

uint32_t crc32(const uint8_t* p, size_t n) {
  uint32_t c = 0xFFFFFFFFu;
  for (size_t i = 0; i < n; ++i) {
    c ^= p[i];
    for (int k = 0; k < 8; ++k) c = (c >> 1) ^ (0xEDB88320u & (0u - (c & 1u)));
  }
  return ~c;
}

TEST(Image, HugeDeclaredSizeIsRefused) {
  // A PNG header that declares 2^30 x 2^30 pixels and carries no data.
  le::test::TmpDir tmp;
  std::vector<uint8_t> png = {0x89, 'P', 'N', 'G', '\r', '\n', 0x1A, '\n'};
  auto be32 = [&](std::vector<uint8_t>& v, uint32_t x) {
    for (int s = 24; s >= 0; s -= 8) v.push_back(uint8_t(x >> s));
  };
  std::vector<uint8_t> ihdr = {'I', 'H', 'D', 'R'};
  be32(ihdr, 1u << 30);
  be32(ihdr, 1u << 30);
  ihdr.insert(ihdr.end(), {8, 2, 0, 0, 0});
  be32(png, 13);
  png.insert(png.end(), ihdr.begin(), ihdr.end());
  be32(png, crc32(ihdr.data(), ihdr.size()));
  std::vector<uint8_t> iend = {'I', 'E', 'N', 'D'};
  be32(png, 0);
  png.insert(png.end(), iend.begin(), iend.end());
  be32(png, crc32(iend.data(), iend.size()));
  const std::string path = tmp.str("huge.png");
  le::test::writeArray(path, png);
  int w = 0, h = 0;
  EXPECT_EQ(errorOf([&] { le::loadImageRGB(path, &w, &h); }), "decode failed: " + path);
}

TEST(Image, UnwritablePngThrowsPngWriteFailed) {
  le::test::TmpDir tmp;
  const auto rgb = randomBytes(8 * 8 * 3, 1);
  const std::string bad = tmp.str("no/such/dir/out.png");
  EXPECT_EQ(errorOf([&] { le::writePNG(bad, rgb.data(), 8, 8); }), "png write failed: " + bad);
  const std::string p = tmp.str("x.png");
  EXPECT_EQ(errorOf([&] { le::writePNG(p, rgb.data(), 0, 8); }), "png write failed: " + p);
  EXPECT_EQ(errorOf([&] { le::writePNG(p, rgb.data(), 8, -1); }), "png write failed: " + p);
  EXPECT_EQ(errorOf([&] { le::writePNG(p, nullptr, 8, 8); }), "png write failed: " + p);
  // Sizes whose byte counts overflow int are refused before any pixel is read.
  EXPECT_EQ(errorOf([&] { le::writePNG(p, rgb.data(), INT_MAX / 2, 1); }),
            "png write failed: " + p);
  EXPECT_EQ(errorOf([&] { le::writePNG(p, rgb.data(), 100000, 100000); }),
            "png write failed: " + p);
}

}  // namespace
