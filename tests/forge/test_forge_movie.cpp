// The forge's movie members, read back with FFmpeg: codec, layout, declared
// and decoded frame counts, and how close the pictures are to what was forged.
#include <gtest/gtest.h>

#include <chrono>
#include <cmath>
#include <filesystem>
#include <stdexcept>

#include "compose/le_simd.h"
#include "forge/forge.h"
#include "movie_probe.h"
#include "support/files.h"
#include "support/tmpdir.h"

namespace {

namespace fs = std::filesystem;
using forge_test::MovieProbe;
using forge_test::Picture;
using forge_test::probeMovie;
using le::test::TmpDir;
using namespace le::forge;

double meanAbs(const std::vector<uint8_t>& a, const std::vector<uint8_t>& b) {
  EXPECT_EQ(a.size(), b.size());
  if (a.size() != b.size() || a.empty()) return 1e9;
  double s = 0;
  for (size_t i = 0; i < a.size(); ++i) s += std::abs(int(a[i]) - int(b[i]));
  return s / double(a.size());
}

// Mean abs error over the three planes of a decoded 4:2:0 picture against forged planes.
double pictureError(const Picture& pic, const YuvPlanes& want) {
  if (pic.planes.size() != 3) return 1e9;
  return (meanAbs(pic.planes[0], want.y) * 4 + meanAbs(pic.planes[1], want.u) + meanAbs(pic.planes[2], want.v)) / 6;
}

BundleSpec smallSpec(uint32_t seed = 3) {
  BundleSpec s;
  s.nt = 5;
  s.W = 64;
  s.H = 48;
  s.crop = 32;
  s.seed = seed;
  return s;
}

TEST(ForgeMovie, DriverMp4DecodesToTheForgedFrames) {
  TmpDir tmp;
  const BundleSpec spec = smallSpec();
  const std::string path = tmp / "d.mp4";
  writeDriverMp4(path, spec);
  MovieProbe p = probeMovie(path);
  ASSERT_TRUE(p.error.empty()) << p.error;
  EXPECT_NE(p.container.find("mp4"), std::string::npos) << p.container;
  EXPECT_EQ(p.codec, "h264");
  EXPECT_EQ(p.pixFmt, "yuv420p");
  EXPECT_EQ(p.w, 64);
  EXPECT_EQ(p.h, 48);
  EXPECT_EQ(p.nbFrames, 5);
  ASSERT_EQ(p.frames.size(), 5u);

  // The forged planes come from driverFrame: check the luma against an independent BT.601 formula.
  const auto rgb = driverFrame(spec, 2);
  const YuvPlanes y2 = driverYuv(spec, 2);
  double worst = 0;
  for (size_t i = 0; i < y2.y.size(); ++i) {
    const double Y = 16 + 219.0 * (0.299 * rgb[3 * i] + 0.587 * rgb[3 * i + 1] + 0.114 * rgb[3 * i + 2]) / 255.0;
    worst = std::max(worst, std::abs(Y - y2.y[i]));
  }
  EXPECT_LE(worst, 0.51);
  ASSERT_EQ(y2.cw, 32);
  ASSERT_EQ(y2.ch, 24);

  // Each decoded picture is close to its own frame, and closer to it than to its neighbours (order kept).
  for (int k = 0; k < 5; ++k) {
    const Picture& pic = p.frames[k];
    EXPECT_EQ(pic.pixFmt, "yuv420p");
    const double own = pictureError(pic, driverYuv(spec, k));
    EXPECT_LT(own, 2.5) << "frame " << k;
    const double other = pictureError(pic, driverYuv(spec, (k + 1) % 5));
    EXPECT_LT(own, other) << "frame " << k;
  }

  // Lossless: the decoded planes are exactly the forged ones.
  DriverMovieOptions lossless;
  lossless.lossless = true;
  writeDriverMp4(tmp / "l.mp4", spec, lossless);
  p = probeMovie(tmp / "l.mp4");
  ASSERT_TRUE(p.error.empty()) << p.error;
  ASSERT_EQ(p.frames.size(), 5u);
  for (int k = 0; k < 5; ++k) {
    const YuvPlanes want = driverYuv(spec, k);
    EXPECT_EQ(p.frames[k].planes[0], want.y) << k;
    EXPECT_EQ(p.frames[k].planes[1], want.u) << k;
    EXPECT_EQ(p.frames[k].planes[2], want.v) << k;
  }
}

TEST(ForgeMovie, DriverFrameCounts) {
  TmpDir tmp;
  const BundleSpec spec = smallSpec(9);
  struct Case {
    const char* name;
    int frames;
    FrameCount count;
    int64_t declared;
    size_t decoded;
  };
  const Case cases[] = {
      {"absent.mp4", 0, FrameCount::Absent, 0, 5},     // nothing declared, all frames there
      {"wrong.mp4", 6, FrameCount::Declared, 6, 6},    // honest container, one more than NT
      {"short.mp4", 3, FrameCount::Absent, 0, 3},      // fewer than NT and no count to tell
  };
  for (const Case& c : cases) {
    DriverMovieOptions o;
    o.frames = c.frames;
    o.count = c.count;
    writeDriverMp4(tmp / c.name, spec, o);
    MovieProbe p = probeMovie(tmp / c.name);
    ASSERT_TRUE(p.error.empty()) << c.name << ": " << p.error;
    EXPECT_EQ(p.codec, "h264") << c.name;
    EXPECT_EQ(p.nbFrames, c.declared) << c.name;
    ASSERT_EQ(p.frames.size(), c.decoded) << c.name;
    for (size_t k = 0; k < c.decoded; ++k)
      EXPECT_LT(pictureError(p.frames[k], driverYuv(spec, int(k))), 2.5) << c.name << " frame " << k;
  }
}

TEST(ForgeMovie, DriverPixelFormats) {
  TmpDir tmp;
  const BundleSpec spec = smallSpec(4);
  DriverMovieOptions full;
  full.pixFmt = DriverPixFmt::Yuvj420p;
  writeDriverMp4(tmp / "j.mp4", spec, full);
  MovieProbe p = probeMovie(tmp / "j.mp4");
  ASSERT_TRUE(p.error.empty()) << p.error;
  EXPECT_EQ(p.pixFmt, "yuvj420p");
  ASSERT_EQ(p.frames.size(), 5u);
  for (int k = 0; k < 5; ++k) {
    EXPECT_EQ(p.frames[k].pixFmt, "yuvj420p");
    const double fullErr = pictureError(p.frames[k], driverYuv(spec, k, DriverPixFmt::Yuvj420p));
    EXPECT_LT(fullErr, 2.5) << k;
    // Full range really is a different encoding of the same picture.
    EXPECT_GT(pictureError(p.frames[k], driverYuv(spec, k)), fullErr + 1.0) << k;
  }

  DriverMovieOptions nv12;
  nv12.pixFmt = DriverPixFmt::Nv12;
  writeDriverMp4(tmp / "n.mp4", spec, nv12);
  p = probeMovie(tmp / "n.mp4");
  ASSERT_TRUE(p.error.empty()) << p.error;
  ASSERT_EQ(p.frames.size(), 5u);
  for (int k = 0; k < 5; ++k) EXPECT_LT(pictureError(p.frames[k], driverYuv(spec, k)), 2.5) << k;
}

TEST(ForgeMovie, PriorHevcIsLossless444) {
  TmpDir tmp;
  BundleSpec spec = smallSpec(5);
  spec.nt = 4;
  spec.crop = 24;
  const std::string path = tmp / "p.mov";
  writePriorHevc(path, spec);
  MovieProbe p = probeMovie(path);
  ASSERT_TRUE(p.error.empty()) << p.error;
  EXPECT_NE(p.container.find("mov"), std::string::npos) << p.container;
  EXPECT_EQ(p.codec, "hevc");
  EXPECT_EQ(p.pixFmt, "yuv444p");
  EXPECT_EQ(p.w, 24);
  EXPECT_EQ(p.h, 24);
  EXPECT_EQ(p.nbFrames, 4);
  ASSERT_EQ(p.frames.size(), 4u);
  const size_t plane = 24 * 24;
  int worstRgb = 0;
  for (int k = 0; k < 4; ++k) {
    const YuvPlanes want = priorYuv(spec, k);
    ASSERT_EQ(p.frames[k].pixFmt, "yuv444p");
    EXPECT_EQ(p.frames[k].planes[0], want.y) << k;
    EXPECT_EQ(p.frames[k].planes[1], want.u) << k;
    EXPECT_EQ(p.frames[k].planes[2], want.v) << k;

    // The decoded colour is within a level or two of the source frame's 8-bit colour,
    // which is itself the source frame's halves rounded.
    const std::vector<uint8_t> rgb = priorRgb(spec, k);
    const std::vector<uint16_t> src = sourceFrame(spec, k);
    const std::vector<uint16_t> expect = priorExpectedFrame(spec, k);
    ASSERT_EQ(expect.size(), 3 * plane);
    for (size_t i = 0; i < plane; ++i) {
      uint8_t c[3];
      priorPixelToRgb(want.y[i], want.u[i], want.v[i], c);
      for (int ch = 0; ch < 3; ++ch) {
        worstRgb = std::max(worstRgb, std::abs(int(c[ch]) - int(rgb[ch * plane + i])));
        EXPECT_LE(std::abs(le::simd::scalar::f16ToF32(src[ch * plane + i]) * 255.0f - rgb[ch * plane + i]), 0.5f);
        EXPECT_EQ(expect[ch * plane + i], toHalf(c[ch] / 255.0f));
      }
    }
  }
  EXPECT_LE(worstRgb, 2);
  // Frames differ: a writer that repeats one frame would pass the checks above only for that frame.
  EXPECT_NE(priorYuv(spec, 0).y, priorYuv(spec, 1).y);

  // The decoder conversion's end points: black and white of the limited range.
  uint8_t c[3];
  priorPixelToRgb(16, 128, 128, c);
  EXPECT_EQ(c[0] + c[1] + c[2], 0);
  priorPixelToRgb(235, 128, 128, c);
  EXPECT_EQ(c[0], 255);
  EXPECT_EQ(c[1], 255);
  EXPECT_EQ(c[2], 255);
  priorPixelToRgb(81, 90, 240, c);  // BT.601 red
  EXPECT_GE(c[0], 253);
  EXPECT_LE(c[1], 2);
  EXPECT_LE(c[2], 2);
}

TEST(ForgeMovie, PriorHevcVariants) {
  TmpDir tmp;
  BundleSpec spec = smallSpec(6);
  spec.nt = 3;
  spec.crop = 16;
  PriorMovieOptions o;
  o.count = FrameCount::Absent;
  o.frames = 2;
  writePriorHevc(tmp / "a.mov", spec, o);
  MovieProbe p = probeMovie(tmp / "a.mov");
  ASSERT_TRUE(p.error.empty()) << p.error;
  EXPECT_EQ(p.codec, "hevc");
  EXPECT_EQ(p.nbFrames, 0);
  ASSERT_EQ(p.frames.size(), 2u);
  EXPECT_EQ(p.frames[1].planes[0], priorYuv(spec, 1).y);

  PriorMovieOptions sub;
  sub.subsampled = true;
  writePriorHevc(tmp / "s.mov", spec, sub);
  p = probeMovie(tmp / "s.mov");
  ASSERT_TRUE(p.error.empty()) << p.error;
  EXPECT_EQ(p.pixFmt, "yuv420p");
  ASSERT_EQ(p.frames.size(), 3u);
  EXPECT_EQ(p.frames[0].planeW[1], 8);
  EXPECT_EQ(p.frames[2].planes[0], priorYuv(spec, 2).y);  // lossless luma

  PriorMovieOptions lossy;
  lossy.lossless = false;
  lossy.qp = 10;
  writePriorHevc(tmp / "q.mov", spec, lossy);
  p = probeMovie(tmp / "q.mov");
  ASSERT_TRUE(p.error.empty()) << p.error;
  EXPECT_EQ(p.pixFmt, "yuv444p");
  ASSERT_EQ(p.frames.size(), 3u);
  for (int k = 0; k < 3; ++k) {
    const YuvPlanes want = priorYuv(spec, k);
    EXPECT_LT(meanAbs(p.frames[k].planes[0], want.y), 2.0) << k;
    EXPECT_LT(meanAbs(p.frames[k].planes[1], want.u), 2.0) << k;
  }

  sub.subsampled = true;
  spec.crop = 15;
  EXPECT_THROW(writePriorHevc(tmp / "odd.mov", spec, sub), std::runtime_error);
}

TEST(ForgeMovie, BundleMembersAndManifest) {
  TmpDir tmp;
  BundleSpec spec = smallSpec(7);
  spec.nt = 3;
  spec.prior = Prior::None;
  spec.jpegDriver = false;
  spec.mp4Driver = true;
  spec.hevcPrior = true;
  writeBundle(tmp / "b", spec);
  const fs::path b = tmp.path() / "b";
  EXPECT_TRUE(fs::exists(b / "target_frames.mp4"));
  EXPECT_TRUE(fs::exists(b / "P_hevc.mov"));
  EXPECT_FALSE(fs::exists(b / "P.f16"));
  EXPECT_FALSE(fs::exists(b / "fs_red.f16"));
  EXPECT_FALSE(fs::exists(b / "target_frames"));
  std::string m = manifestText(spec);
  EXPECT_EQ(le::test::readFile(b / "manifest.json"), m);
  EXPECT_NE(m.find("\"P_hevc\": \"P_hevc.mov\""), std::string::npos) << m;
  EXPECT_EQ(m.find("P_rgb"), std::string::npos);
  EXPECT_EQ(m.find("\"target_frames\""), std::string::npos);
  EXPECT_EQ(m.find("target_frames_mp4"), std::string::npos);  // default name: no key
  MovieProbe d = probeMovie((b / "target_frames.mp4").string());
  ASSERT_TRUE(d.error.empty()) << d.error;
  EXPECT_EQ(d.codec, "h264");
  EXPECT_EQ(d.nbFrames, 3);
  MovieProbe pr = probeMovie((b / "P_hevc.mov").string());
  ASSERT_TRUE(pr.error.empty()) << pr.error;
  EXPECT_EQ(pr.pixFmt, "yuv444p");
  EXPECT_EQ(pr.w, 32);
  ASSERT_EQ(pr.frames.size(), 3u);
  EXPECT_EQ(pr.frames[2].planes[2], priorYuv(spec, 2).v);

  // Named members go to the manifest; descriptive names apply to the prior; JPEGs stay beside.
  spec.jpegDriver = true;
  spec.descriptiveNames = true;
  spec.mp4Name = "movies/drv.mkv";
  spec.mp4.count = FrameCount::Absent;
  spec.prior = Prior::Raw;
  writeBundle(tmp / "c", spec);
  const fs::path c = tmp.path() / "c";
  m = le::test::readFile(c / "manifest.json");
  EXPECT_NE(m.find("\"target_frames_mp4\": \"movies/drv.mkv\""), std::string::npos) << m;
  EXPECT_NE(m.find("\"P_hevc\": \"P_hevc.mov\""), std::string::npos) << m;
  EXPECT_TRUE(fs::exists(c / "source_frames.hevc"));
  EXPECT_TRUE(fs::exists(c / "source_frames.f16"));
  EXPECT_TRUE(fs::exists(c / "target_frames" / "frame_000002.jpg"));
  d = probeMovie((c / "movies/drv.mkv").string(), false);
  EXPECT_TRUE(d.opened) << d.error;
  EXPECT_EQ(d.nbFrames, 0);

  // Without the movie options nothing about the manifest changes.
  BundleSpec plain = smallSpec(7);
  const std::string pm = manifestText(plain);
  EXPECT_EQ(pm.find("P_hevc"), std::string::npos);
  EXPECT_EQ(pm.find("mp4"), std::string::npos);

  BundleSpec bad = smallSpec();
  bad.mp4Driver = true;
  bad.mp4Name = "../escape.mp4";
  EXPECT_THROW(writeBundle(tmp / "d", bad), std::runtime_error);
}

TEST(ForgeMovie, DamagedMovies) {
  TmpDir tmp;
  BundleSpec spec = smallSpec(8);
  spec.nt = 6;
  DriverMovieOptions o;
  o.gop = 1;  // every frame a key frame: a cut leaves whole, decodable pictures in front
  const std::string whole = tmp / "whole.mp4";
  writeDriverMp4(whole, spec, o);
  const std::string original = le::test::readFile(whole);
  ASSERT_GT(original.size(), 400u);

  // The index sits in front, so a movie cut in its media data still opens and ends early.
  const std::string cut = tmp / "cut.mp4";
  fs::copy_file(whole, cut);
  truncateFile(cut, original.size() * 2 / 3);
  EXPECT_EQ(fs::file_size(cut), original.size() * 2 / 3);
  MovieProbe p = probeMovie(cut);
  EXPECT_TRUE(p.opened) << p.error;
  EXPECT_EQ(p.nbFrames, 6);  // the index still promises all of them
  EXPECT_GE(p.frames.size(), 1u);
  EXPECT_LT(p.frames.size(), 6u);

  // Index at the end: the cut loses it and the file no longer opens as a movie.
  o.faststart = false;
  const std::string tail = tmp / "tail.mp4";
  writeDriverMp4(tail, spec, o);
  const std::string tailBytes = le::test::readFile(tail);
  EXPECT_NE(tailBytes.find("moov"), std::string::npos);
  EXPECT_GT(tailBytes.find("moov"), tailBytes.find("mdat"));
  EXPECT_LT(original.find("moov"), original.find("mdat"));
  truncateFile(tail, tailBytes.find("moov") - 4);
  p = probeMovie(tail);
  EXPECT_FALSE(p.error.empty());
  EXPECT_TRUE(p.frames.empty());

  // Corruption touches exactly the asked range (clipped to the file) and nothing else.
  const std::string bad = tmp / "bad.mp4";
  fs::copy_file(whole, bad);
  const size_t off = original.size() / 2;
  corruptFile(bad, off, 64, 3);
  std::string got = le::test::readFile(bad);
  ASSERT_EQ(got.size(), original.size());
  size_t changed = 0;
  for (size_t i = 0; i < got.size(); ++i)
    if (got[i] != original[i]) {
      ++changed;
      EXPECT_TRUE(i >= off && i < off + 64) << i;
    }
  EXPECT_GT(changed, 48u);
  corruptFile(bad, got.size() - 10, 1000, 4);
  EXPECT_EQ(fs::file_size(bad), original.size());
  (void)probeMovie(bad);  // a damaged movie must not crash the reader either

  EXPECT_THROW(truncateFile(bad, original.size() + 1), std::runtime_error);
  EXPECT_THROW(truncateFile(tmp / "missing.mp4", 1), std::runtime_error);
  EXPECT_THROW(corruptFile(tmp / "missing.mp4", 0, 1), std::runtime_error);
}

TEST(ForgeMovie, WriterRefusals) {
  TmpDir tmp;
  BundleSpec spec = smallSpec();
  spec.W = 63;  // 4:2:0 wants even sizes
  EXPECT_THROW(writeDriverMp4(tmp / "odd.mp4", spec), std::runtime_error);
  spec.W = 64;
  DriverMovieOptions o;
  o.crf = 99;
  EXPECT_THROW(writeDriverMp4(tmp / "crf.mp4", spec, o), std::runtime_error);
  fs::create_directories(tmp.path() / "isdir.mp4");
  try {
    writeDriverMp4(tmp / "isdir.mp4", spec);
    ADD_FAILURE() << "writing over a directory succeeded";
  } catch (const std::runtime_error& e) {
    EXPECT_NE(std::string(e.what()).find("isdir.mp4"), std::string::npos) << e.what();
  }
  EXPECT_THROW(driverYuv(spec, -1), std::runtime_error);
}

TEST(ForgeMovie, FullHdDriver) {
  TmpDir tmp;
  BundleSpec spec;
  spec.nt = 2;
  spec.W = 1920;
  spec.H = 1080;
  spec.crop = 256;
  const auto t0 = std::chrono::steady_clock::now();
  writeDriverMp4(tmp / "hd.mp4", spec);
  const double secs = std::chrono::duration<double>(std::chrono::steady_clock::now() - t0).count();
  MovieProbe p = probeMovie(tmp / "hd.mp4");
  ASSERT_TRUE(p.error.empty()) << p.error;
  EXPECT_EQ(p.w, 1920);
  EXPECT_EQ(p.h, 1080);
  EXPECT_EQ(p.nbFrames, 2);
  ASSERT_EQ(p.frames.size(), 2u);
  EXPECT_LT(pictureError(p.frames[1], driverYuv(spec, 1)), 2.5);
  RecordProperty("write_seconds", std::to_string(secs));
}

}  // namespace
