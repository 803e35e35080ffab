// The movie sources over forged H.264 drivers and HEVC 4:4:4 priors.
#include <gtest/gtest.h>

#include <algorithm>
#include <string>
#include <vector>

#include "compose/le_image.h"
#include "compose/le_simd.h"
#include "driver/le_driver.h"
#include "forge/forge.h"
#include "support/env.h"
#include "support/errors.h"
#include "support/files.h"
#include "support/tmpdir.h"

extern "C" {
#include <libavcodec/avcodec.h>
}

namespace {

using le::test::ScopedEnv;
using le::test::errorOf;
using le::test::startsWith;
namespace forge = le::forge;

const std::string kDash = "\xE2\x80\x94";

std::string avcodecVersion() {
  return std::to_string(LIBAVCODEC_VERSION_MAJOR) + "." + std::to_string(LIBAVCODEC_VERSION_MINOR) + "." +
         std::to_string(LIBAVCODEC_VERSION_MICRO);
}

forge::BundleSpec smallSpec() {
  forge::BundleSpec s;
  s.nt = 6;
  s.W = 64;
  s.H = 48;
  s.crop = 32;
  return s;
}

// What the driver must deliver for planes p: every row through the 4:2:0 rule.
std::vector<unsigned char> rgbOf(const forge::YuvPlanes& p) {
  std::vector<unsigned char> out(std::size_t(p.w) * p.h * 3);
  for (int r = 0; r < p.h; ++r)
    le::simd::scalar::yuv420RowToRgb24(&p.y[std::size_t(r) * p.w], &p.u[std::size_t(r / 2) * p.cw],
                                       &p.v[std::size_t(r / 2) * p.cw], p.w, 1, &out[std::size_t(r) * p.w * 3]);
  return out;
}

// The prior's fixed-point BT.601 rule, written out again here.
int priorChannel(int Y, int U, int V, int c) {
  const int y = 76312 * Y - 1220992, u = U - 128, v = V - 128;
  const int x = c == 0 ? (y + 104600 * v + 32768) >> 16
                       : c == 1 ? (y - 25672 * u - 53280 * v + 32768) >> 16 : (y + 132200 * u + 32768) >> 16;
  return std::clamp(x, 0, 255);
}

TEST(FfSource, Mp4DriverPlaysExactFramesAndSeeksLinearly) {
  ScopedEnv hw("LE_DRIVER_HWDEC", "0");
  le::test::TmpDir tmp;
  const forge::BundleSpec s = smallSpec();
  forge::DriverMovieOptions o;
  o.lossless = true;
  const std::string path = tmp.str("d.mp4");
  forge::writeDriverMp4(path, s, o);

  auto src = le::driver::openMp4(path, s.nt, s.W, s.H);
  EXPECT_EQ(src->name(), "mp4/libavcodec " + avcodecVersion() + " h264");
  EXPECT_EQ(src->frameBytes(), std::size_t(s.W * s.H * 3));
  std::vector<unsigned char> buf(src->frameBytes());
  for (int k = 0; k < s.nt; ++k) {
    ASSERT_TRUE(src->next(buf.data())) << k;
    ASSERT_EQ(buf, rgbOf(forge::driverYuv(s, k))) << "frame " << k;
  }
  EXPECT_FALSE(src->next(buf.data()));
  EXPECT_FALSE(src->next(buf.data()));
  // Four frame threads + 5 surfaces of 4:2:0, plus the largest packet seen.
  const std::size_t surfaces = std::size_t(s.W * s.H * 3 / 2) * 9;
  EXPECT_GT(src->residentBytes(), surfaces);
  EXPECT_LT(src->residentBytes(), surfaces + std::size_t(s.W * s.H * 3));

  src->rewind();
  ASSERT_TRUE(src->next(buf.data()));
  EXPECT_EQ(buf, rgbOf(forge::driverYuv(s, 0)));
  src->seek(4);  // forward
  ASSERT_TRUE(src->next(buf.data()));
  EXPECT_EQ(buf, rgbOf(forge::driverYuv(s, 4)));
  src->seek(2);  // backward: from the start again
  ASSERT_TRUE(src->next(buf.data()));
  EXPECT_EQ(buf, rgbOf(forge::driverYuv(s, 2)));
  src->seek(3);  // the current frame: nothing to skip
  ASSERT_TRUE(src->next(buf.data()));
  EXPECT_EQ(buf, rgbOf(forge::driverYuv(s, 3)));
  EXPECT_EQ(errorOf([&] { src->seek(s.nt); }), "le_driver: seek outside the member");
  EXPECT_EQ(errorOf([&] { src->seek(-1); }), "le_driver: seek outside the member");
}

TEST(FfSource, OpenChecks) {
  ScopedEnv hw("LE_DRIVER_HWDEC", "0");
  le::test::TmpDir tmp;
  const forge::BundleSpec s = smallSpec();
  const std::string path = tmp.str("d.mp4");
  forge::DriverMovieOptions o;
  o.frames = s.nt + 1;
  forge::writeDriverMp4(path, s, o);
  EXPECT_EQ(errorOf([&] { le::driver::openMp4(path, s.nt, s.W, s.H); }),
            "le_driver: " + path + " carries 7 frames, the manifest says NT=6 " + kDash +
                " member/manifest mismatch, refusing");
  EXPECT_EQ(errorOf([&] { le::driver::openMp4(path, s.nt + 1, s.W + 16, s.H); }),
            "le_driver: " + path + " is 64x48, the manifest says 80x48 " + kDash + " refusing to rescale the driver");
  EXPECT_NO_THROW(le::driver::openMp4(path, s.nt + 1, s.W, s.H));

  // A container that declares no count opens whatever NT says; playing checks it.
  const std::string mkv = tmp.str("d.mkv");
  o.count = forge::FrameCount::Absent;
  forge::writeDriverMp4(mkv, s, o);
  EXPECT_NO_THROW(le::driver::openMp4(mkv, s.nt, s.W, s.H));

  const std::string text = tmp.str("notes.mp4");
  le::test::writeFile(text, "this is not a movie at all, just some words");
  EXPECT_EQ(errorOf([&] { le::driver::openMp4(text, 1, 8, 8); }), "le_driver: " + text + " is not a readable container");
  EXPECT_EQ(errorOf([&] { le::driver::openMp4(tmp.str("absent.mp4"), 1, 8, 8); }),
            "le_driver: " + tmp.str("absent.mp4") + " is not a readable container");
  EXPECT_EQ(errorOf([&] { le::driver::openPriorHevc(tmp.str("absent.mov"), 1, 8); }),
            "le_driver: " + tmp.str("absent.mov") + " is not a readable container");
}

TEST(FfSource, ShortUndeclaredMovieFailsOnTheMissingFrame) {
  ScopedEnv hw("LE_DRIVER_HWDEC", "0");
  le::test::TmpDir tmp;
  const forge::BundleSpec s = smallSpec();
  const std::string path = tmp.str("short.mkv");
  forge::DriverMovieOptions o;
  o.frames = s.nt - 2;
  o.count = forge::FrameCount::Absent;
  forge::writeDriverMp4(path, s, o);

  {
    auto src = le::driver::openMp4(path, s.nt, s.W, s.H);
    EXPECT_EQ(errorOf([&] { src->seek(s.nt - 1); }),
              "le_driver: " + path + " ended at frame 4 while seeking to 5");
  }
  auto cursor = le::DriverCursor::over(le::driver::openMp4(path, s.nt, s.W, s.H), 2, 11);
  std::vector<unsigned char> buf(cursor->frameBytes());
  for (int k = 0; k < s.nt - 2; ++k) ASSERT_EQ(cursor->pull(buf.data()), k);
  const std::string e = errorOf([&] { cursor->pull(buf.data()); });
  EXPECT_EQ(e, "le_driver: mp4/libavcodec " + avcodecVersion() + " h264 ended after 4 frames, the manifest says NT=6 " +
                   kDash + " a short driver is a session that stops part way through the loop, refusing");
  EXPECT_EQ(errorOf([&] { cursor->pull(buf.data()); }), e);
  EXPECT_EQ(errorOf([&] { cursor->pullAt(1, buf.data()); }), e);
  EXPECT_EQ(errorOf([&] { cursor->seek(0); }), e);
}

TEST(FfSource, PixelFormatRefusals) {
  ScopedEnv hw("LE_DRIVER_HWDEC", "0");
  le::test::TmpDir tmp;
  const forge::BundleSpec s = smallSpec();
  forge::DriverMovieOptions o;
  o.pixFmt = forge::DriverPixFmt::Yuvj420p;
  const std::string path = tmp.str("j.mp4");
  forge::writeDriverMp4(path, s, o);
  auto src = le::driver::openMp4(path, s.nt, s.W, s.H);
  std::vector<unsigned char> buf(src->frameBytes());
  EXPECT_EQ(errorOf([&] { src->next(buf.data()); }),
            "le_driver: " + path +
                " decoded to yuvj420p, not the 4:2:0 layout the canvas conversion is written for (yuv420p / nv12) " +
                kDash + " refusing rather than pasting onto a different pixel domain");

  forge::PriorMovieOptions p;
  p.subsampled = true;
  const std::string prior = tmp.str("p420.mov");
  forge::writePriorHevc(prior, s, p);
  auto ps = le::driver::openPriorHevc(prior, s.nt, s.crop);
  std::vector<unsigned char> pbuf(ps->frameBytes());
  EXPECT_EQ(errorOf([&] { ps->next(pbuf.data()); }),
            "le_driver: " + prior + " decoded to yuv420p, not the yuv444p a warp prior is authored in " + kDash +
                " a subsampled prior is a different mouth, refusing");
  // Read as a driver, the 4:4:4 movie is the wrong layout too.
  p.subsampled = false;
  const std::string p444 = tmp.str("p444.mov");
  forge::writePriorHevc(p444, s, p);
  auto asDriver = le::driver::openMp4(p444, s.nt, s.crop, s.crop);
  EXPECT_NE(errorOf([&] { asDriver->next(pbuf.data()); }).find(" decoded to yuv444p, not the 4:2:0 layout"),
            std::string::npos);
}

TEST(FfSource, PriorConversionMatchesTheFixedPointRule) {
  ScopedEnv hw("LE_DRIVER_HWDEC", std::nullopt);
  le::test::TmpDir tmp;
  // A portrait of black and white bands, so that the movie holds both ends of the range.
  forge::BundleSpec s = smallSpec();
  const int N = 64;
  std::vector<unsigned char> portrait(std::size_t(N) * N * 3);
  for (int y = 0; y < N; ++y)
    for (int x = 0; x < N; ++x)
      for (int c = 0; c < 3; ++c)
        portrait[(std::size_t(y) * N + x) * 3 + c] = (x / 6) % 3 == 0 ? 0 : (x / 6) % 3 == 1 ? 255 : (unsigned char)(x * 4 + c * 20);
  s.portrait = tmp.str("portrait.png");
  le::writePNG(s.portrait, portrait.data(), N, N);
  const std::string path = tmp.str("prior.mov");
  forge::writePriorHevc(path, s);

  testing::internal::CaptureStderr();
  auto src = le::driver::openPriorHevc(path, s.nt, s.crop);
  const std::string err = testing::internal::GetCapturedStderr();
  EXPECT_EQ(err.find("h264_cuvid"), std::string::npos) << err;  // never for a prior
  EXPECT_EQ(src->name(), "hevc444/libavcodec " + avcodecVersion() + " hevc");
  EXPECT_EQ(src->W(), s.crop);
  EXPECT_EQ(src->H(), s.crop);
  const std::size_t plane = std::size_t(s.crop) * s.crop;
  EXPECT_EQ(src->frameBytes(), plane * 6);

  std::vector<std::uint16_t> out(plane * 3);
  int blacks = 0, whites = 0;
  for (int k = 0; k < s.nt; ++k) {
    ASSERT_TRUE(src->next(reinterpret_cast<unsigned char*>(out.data())));
    const forge::YuvPlanes p = forge::priorYuv(s, k);  // lossless: what the decoder hands back
    const std::vector<std::uint8_t> rgb = forge::priorRgb(s, k);  // the colours those planes stand for
    for (std::size_t i = 0; i < plane; ++i) {
      for (int c = 0; c < 3; ++c) {
        const int v8 = priorChannel(p.y[i], p.u[i], p.v[i], c);
        ASSERT_EQ(out[c * plane + i], le::f32ToF16(float(v8) / 255.0f)) << "frame " << k << " pixel " << i;
      }
      // The two ends of the range come out as exactly 0.0 and 1.0.
      const bool black = rgb[i] == 0 && rgb[plane + i] == 0 && rgb[2 * plane + i] == 0;
      const bool white = rgb[i] == 255 && rgb[plane + i] == 255 && rgb[2 * plane + i] == 255;
      if (black || white) {
        for (int c = 0; c < 3; ++c) ASSERT_EQ(out[c * plane + i], black ? 0x0000 : 0x3C00);
        (black ? blacks : whites)++;
      }
    }
  }
  EXPECT_GT(blacks, 0);
  EXPECT_GT(whites, 0);
  EXPECT_FALSE(src->next(reinterpret_cast<unsigned char*>(out.data())));
  // 4:4:4 surfaces: W*H*3 each, 4 threads + 5.
  EXPECT_GT(src->residentBytes(), plane * 3 * 9);
}

TEST(FfSource, HardwareDecoderChoice) {
  le::test::TmpDir tmp;
  const forge::BundleSpec s = smallSpec();
  const std::string path = tmp.str("d.mp4");
  forge::writeDriverMp4(path, s);
  const std::string prior = tmp.str("p.mov");
  forge::writePriorHevc(prior, s);
  const std::string off = "[le-driver] LE_DRIVER_HWDEC=0 " + kDash +
                          " h264_cuvid not attempted; the software decoder is the one decoder on this fleet (same "
                          "samples)\n";
  const std::string refused = "[le-driver] h264_cuvid refused " + path + " " + kDash +
                              " falling back to the software h264 decoder (same samples, more CPU)\n";
  {
    ScopedEnv hw("LE_DRIVER_HWDEC", "0");
    testing::internal::CaptureStderr();
    auto d = le::driver::openMp4(path, s.nt, s.W, s.H);
    auto p = le::driver::openPriorHevc(prior, s.nt, s.crop);
    const std::string err = testing::internal::GetCapturedStderr();
    EXPECT_EQ(err, off + off);  // once per open, the prior included
    EXPECT_EQ(d->name(), "mp4/libavcodec " + avcodecVersion() + " h264");
    // A rewind repositions the demuxer: no reopen, no second line.
    testing::internal::CaptureStderr();
    d->rewind();
    EXPECT_EQ(testing::internal::GetCapturedStderr(), "");
  }
  for (const char* value : {"00", "1"}) {
    ScopedEnv hw("LE_DRIVER_HWDEC", value);
    testing::internal::CaptureStderr();
    auto d = le::driver::openMp4(path, s.nt, s.W, s.H);
    const std::string err = testing::internal::GetCapturedStderr();
    EXPECT_EQ(err.find("not attempted"), std::string::npos) << err;
    // Either the hardware decoder opened, or it refused with the fallback line.
    if (d->name() != "mp4/libavcodec " + avcodecVersion() + " h264_cuvid") {
      EXPECT_NE(err.find(refused), std::string::npos) << err;
      EXPECT_EQ(d->name(), "mp4/libavcodec " + avcodecVersion() + " h264");
    }
    std::vector<unsigned char> buf(d->frameBytes());
    EXPECT_TRUE(d->next(buf.data()));
  }
}

TEST(FfSource, DamagedMoviesFailWithAMessage) {
  ScopedEnv hw("LE_DRIVER_HWDEC", "0");
  le::test::TmpDir tmp;
  const forge::BundleSpec s = smallSpec();
  forge::DriverMovieOptions o;
  o.frames = s.nt;
  o.lossless = true;  // big packets: a cut lands inside the media data
  const std::string cut = tmp.str("cut.mp4");
  forge::writeDriverMp4(cut, s, o);
  forge::truncateFile(cut, le::test::fileSize(cut) / 2);
  // Half the file cannot hold every frame: opening or playing one loop must fail.
  std::string e;
  try {
    auto c = le::DriverCursor::over(le::driver::openMp4(cut, s.nt, s.W, s.H), 2, 11);
    std::vector<unsigned char> buf(c->frameBytes());
    for (int k = 0; k < s.nt; ++k) c->pull(buf.data());
  } catch (const std::runtime_error& x) {
    e = x.what();
  }
  EXPECT_TRUE(startsWith(e, "le_driver: ")) << e;

  // Noise over the header: refused at open.
  const std::string head = tmp.str("head.mp4");
  forge::writeDriverMp4(head, s, o);
  forge::corruptFile(head, 0, 64, 7);
  EXPECT_TRUE(startsWith(errorOf([&] { le::driver::openMp4(head, s.nt, s.W, s.H); }), "le_driver: " + head));

  // Noise over the media data: whatever the decoder makes of it, a message or frames, never a crash.
  const std::string body = tmp.str("body.mkv");
  o.count = forge::FrameCount::Absent;
  forge::writeDriverMp4(body, s, o);
  const std::uint64_t size = le::test::fileSize(body);
  forge::corruptFile(body, size / 3, size / 3, 9);
  try {
    auto c = le::DriverCursor::over(le::driver::openMp4(body, s.nt, s.W, s.H), 2, 11);
    std::vector<unsigned char> buf(c->frameBytes());
    for (int k = 0; k < 2 * s.nt; ++k) EXPECT_EQ(c->pull(buf.data()), k % s.nt);
  } catch (const std::runtime_error& x) {
    EXPECT_TRUE(startsWith(x.what(), "le_driver: ")) << x.what();
  }
}

}  // namespace
