// The JPEG directory source and the two small file readers of the driver.
#include <gtest/gtest.h>
#include <sys/stat.h>

#include <cstdio>
#include <filesystem>
#include <string>
#include <vector>

#include "base/le_file.h"
#include "compose/le_image.h"
#include "driver/le_driver.h"
#include "support/errors.h"
#include "support/files.h"
#include "support/tmpdir.h"

extern "C" {
#include <libavcodec/avcodec.h>
}

namespace {

using le::test::errorOf;

std::vector<unsigned char> picture(int w, int h, int seed) {
  std::vector<unsigned char> rgb(std::size_t(w) * h * 3);
  for (std::size_t i = 0; i < rgb.size(); ++i) rgb[i] = static_cast<unsigned char>(i * 13 + seed * 41);
  return rgb;
}

std::string name(const std::string& dir, int i) {
  char buf[64];
  std::snprintf(buf, sizeof buf, "/frame_%06d.jpg", i);
  return dir + buf;
}

// stb reads by content, so lossless PNG bytes under the .jpg names give exact frames.
void writeFrame(const std::string& dir, int i, int w, int h) {
  const auto rgb = picture(w, h, i);
  le::writePNG(name(dir, i), rgb.data(), w, h);
}

TEST(JpgDirSource, PlaysFramesAndRefusesAWrongSizeAtThatFrame) {
  le::test::TmpDir tmp;
  const std::string dir = tmp.str("frames");
  ::mkdir(dir.c_str(), 0755);
  const int W = 6, H = 4;
  writeFrame(dir, 0, W, H);
  writeFrame(dir, 1, W, H);
  writeFrame(dir, 2, W + 1, H);  // the odd one
  writeFrame(dir, 3, W, H);

  auto src = le::driver::openJpgDir(dir, 4, W, H);
  EXPECT_EQ(src->name(), "jpg/stb");
  EXPECT_EQ(src->frameBytes(), std::size_t(W * H * 3));
  EXPECT_EQ(src->residentBytes(), 0u);
  std::vector<unsigned char> buf(src->frameBytes());
  ASSERT_TRUE(src->next(buf.data()));
  EXPECT_EQ(buf, picture(W, H, 0));
  ASSERT_TRUE(src->next(buf.data()));
  EXPECT_EQ(buf, picture(W, H, 1));
  EXPECT_EQ(errorOf([&] { src->next(buf.data()); }),
            "le_driver: " + name(dir, 2) + " is 7x4, the manifest says 6x4 \xE2\x80\x94 refusing");
  // The failed frame is not skipped: the next call reads it again.
  EXPECT_FALSE(errorOf([&] { src->next(buf.data()); }).empty());

  src->seek(3);
  ASSERT_TRUE(src->next(buf.data()));
  EXPECT_EQ(buf, picture(W, H, 3));
  // After frame NT-1: false, with no file touched (the directory is gone).
  std::filesystem::remove_all(dir);
  EXPECT_FALSE(src->next(buf.data()));
  EXPECT_FALSE(src->next(buf.data()));

  src->rewind();
  EXPECT_EQ(errorOf([&] { src->next(buf.data()); }), "decode failed: " + name(dir, 0));
}

TEST(JpgDirSource, MissingFrameSeekBoundsAndLongNames) {
  le::test::TmpDir tmp;
  const std::string dir = tmp.str();
  writeFrame(dir, 0, 3, 2);
  // Opening touches nothing, even for a directory that does not exist.
  auto none = le::driver::openJpgDir(tmp.str("absent"), 2, 3, 2);
  std::vector<unsigned char> buf(3 * 2 * 3);
  EXPECT_EQ(errorOf([&] { none->next(buf.data()); }), "decode failed: " + name(tmp.str("absent"), 0));

  auto src = le::driver::openJpgDir(dir, 2, 3, 2);
  ASSERT_TRUE(src->next(buf.data()));
  EXPECT_EQ(errorOf([&] { src->next(buf.data()); }), "decode failed: " + name(dir, 1));
  EXPECT_EQ(errorOf([&] { src->seek(2); }), "le_driver: seek outside the member");
  EXPECT_EQ(errorOf([&] { src->seek(-1); }), "le_driver: seek outside the member");
  src->seek(0);
  EXPECT_TRUE(src->next(buf.data()));

  // A name that does not fit the frame-name buffer is refused, not cut short.
  const std::string fits(le::driver::kFrameNameMax - 1 - std::string("/frame_000000.jpg").size(), 'd');
  EXPECT_EQ(le::driver::frameFile(fits, 0).size(), le::driver::kFrameNameMax - 1);
  const std::string longDir = fits + "d";
  const std::string e = errorOf([&] { le::driver::frameFile(longDir, 0); });
  EXPECT_EQ(e, "le_driver: the frame file name under " + longDir +
                   " is longer than 1087 bytes \xE2\x80\x94 refusing rather than reading a truncated name");
  auto longSrc = le::driver::openJpgDir(longDir, 1, 3, 2);
  EXPECT_EQ(errorOf([&] { longSrc->next(buf.data()); }), e);
}

TEST(DriverFiles, ReadTextAndOptStr) {
  le::test::TmpDir tmp;
  const std::string path = tmp.str("m.json");
  std::string big(20000, 'x');  // several read blocks
  big += "\n{\"a\": \"one\", \"n\": 3, \"e\": \"\"}";
  le::test::writeFile(path, big);
  EXPECT_EQ(le::readOptionalText(path), big);
  EXPECT_EQ(le::readOptionalText(tmp.str("missing")), "");
  EXPECT_EQ(le::readOptionalText(tmp.str()), "");  // a directory

  const std::string json = R"({"target_frames": "frames_b", "nt": 4, "empty": "", "obj": {"x": 1}})";
  std::string out = "keep";
  EXPECT_TRUE(le::driver::optStr(json, "target_frames", out));
  EXPECT_EQ(out, "frames_b");
  out = "keep";
  EXPECT_FALSE(le::driver::optStr(json, "nt", out));       // not a string
  EXPECT_FALSE(le::driver::optStr(json, "empty", out));    // empty string
  EXPECT_FALSE(le::driver::optStr(json, "absent", out));   // missing
  EXPECT_FALSE(le::driver::optStr(json, "obj", out));      // an object
  EXPECT_EQ(out, "keep");
  EXPECT_FALSE(le::driver::optStr("", "target_frames", out));
  EXPECT_EQ(out, "keep");
}

TEST(DriverFiles, DecoderBuild) {
  const std::string version = std::to_string(LIBAVCODEC_VERSION_MAJOR) + "." +
                              std::to_string(LIBAVCODEC_VERSION_MINOR) + "." + std::to_string(LIBAVCODEC_VERSION_MICRO);
  EXPECT_EQ(le::movieDecoderBuild(), "libavcodec " + version + " / " + avcodec_configuration());
}

}  // namespace
