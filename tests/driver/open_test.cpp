// Opening a bundle's driver video and warp prior, and the identity playing its prior.
#include <gtest/gtest.h>

#include <cstring>
#include <string>
#include <vector>

#include "bundle/le_bundle.h"
#include "compose/le_simd.h"
#include "driver/le_driver.h"
#include "forge/forge.h"
#include "support/env.h"
#include "support/errors.h"
#include "support/tmpdir.h"

namespace {

using le::test::ScopedEnv;
using le::test::errorOf;
using le::test::startsWith;
namespace forge = le::forge;

const std::string kDash = "\xE2\x80\x94";

forge::BundleSpec spec() {
  forge::BundleSpec s;
  s.nt = 5;
  s.W = 64;
  s.H = 48;
  s.crop = 32;
  s.mp4.lossless = true;
  return s;
}

struct Opened {
  std::unique_ptr<le::DriverCursor> cursor;
  std::string err;
};

Opened openDriver(const std::string& dir) {
  testing::internal::CaptureStderr();
  Opened o;
  try {
    o.cursor = le::DriverCursor::open(le::loadManifest(dir), 2, 11);
  } catch (...) {
    testing::internal::GetCapturedStderr();
    throw;
  }
  o.err = testing::internal::GetCapturedStderr();
  return o;
}

TEST(DriverOpen, PicksTheJpegDirectoryOrTheMovie) {
  ScopedEnv hw("LE_DRIVER_HWDEC", "0");
  const std::string hwLine = "[le-driver] LE_DRIVER_HWDEC=0 " + kDash +
                             " h264_cuvid not attempted; the software decoder is the one decoder on this fleet (same "
                             "samples)\n";
  const std::string version = le::movieDecoderBuild().substr(11, le::movieDecoderBuild().find(' ', 11) - 11);
  le::test::TmpDir tmp;
  forge::BundleSpec s = spec();
  s.mp4Driver = true;  // both members
  const std::string dir = tmp.str("both");
  forge::writeBundle(dir, s);
  {
    ScopedEnv prefer("LE_DRIVER_PREFER_MP4", std::nullopt);
    Opened o = openDriver(dir);
    EXPECT_EQ(o.err, "[le-driver] target_frames/ (raw jpg, 5 frames) " + kDash + " read one frame per pull\n");
    EXPECT_EQ(o.cursor->name(), "jpg/stb");
    EXPECT_EQ(o.cursor->W(), s.W);
    EXPECT_EQ(o.cursor->H(), s.H);
    EXPECT_EQ(o.cursor->NT(), s.nt);
    std::vector<unsigned char> buf(o.cursor->frameBytes());
    EXPECT_EQ(o.cursor->pullAt(3, buf.data()), 3);
  }
  for (const char* notOne : {"0", "yes", "11"}) {
    ScopedEnv prefer("LE_DRIVER_PREFER_MP4", notOne);
    EXPECT_EQ(openDriver(dir).cursor->name(), "jpg/stb") << notOne;
  }
  {
    ScopedEnv prefer("LE_DRIVER_PREFER_MP4", "1");
    Opened o = openDriver(dir);
    const std::string name = "mp4/libavcodec " + version + " h264";
    EXPECT_EQ(o.err, "[le-driver] LE_DRIVER_PREFER_MP4=1 " + kDash +
                         " target_frames/ is populated and NOT used; target_frames.mp4 is the member this consumer "
                         "reads\n" +
                         hwLine + "[le-driver] target_frames.mp4 decoded IN PLACE (" + name +
                         ", 5 frames 64x48, look-ahead 2, history 11) " + kDash +
                         " no frame of the driver is expanded ahead of the paste\n");
    EXPECT_EQ(o.cursor->name(), name);
    // The movie's frames, converted exactly.
    std::vector<unsigned char> buf(o.cursor->frameBytes()), want(buf.size());
    for (int k : {2, 0, 4}) {
      ASSERT_EQ(o.cursor->pullAt(k, buf.data()), k);
      const forge::YuvPlanes p = forge::driverYuv(s, k);
      for (int r = 0; r < s.H; ++r)
        le::simd::scalar::yuv420RowToRgb24(&p.y[std::size_t(r) * p.w], &p.u[std::size_t(r / 2) * p.cw],
                                           &p.v[std::size_t(r / 2) * p.cw], s.W, 1, &want[std::size_t(r) * s.W * 3]);
      EXPECT_EQ(buf, want) << k;
    }
  }

  // Movie only, under other names given by the manifest; PREFER_MP4 then prints no "NOT used" line.
  s.jpegDriver = false;
  s.mp4Name = "clip.mp4";
  const std::string only = tmp.str("only");
  forge::writeBundle(only, s);
  {
    ScopedEnv prefer("LE_DRIVER_PREFER_MP4", "1");
    Opened o = openDriver(only);
    EXPECT_EQ(o.err.find("NOT used"), std::string::npos) << o.err;
    EXPECT_NE(o.err.find("[le-driver] clip.mp4 decoded IN PLACE"), std::string::npos) << o.err;
  }
  ScopedEnv prefer("LE_DRIVER_PREFER_MP4", std::nullopt);
  Opened o = openDriver(only);
  EXPECT_EQ(o.err.find("NOT used"), std::string::npos) << o.err;
  EXPECT_NE(o.err.find("[le-driver] clip.mp4 decoded IN PLACE"), std::string::npos) << o.err;

  // A JPEG member under another name.
  forge::BundleSpec j = spec();
  j.jpegDirName = "frames_rgb";
  const std::string named = tmp.str("named");
  forge::writeBundle(named, j);
  EXPECT_EQ(openDriver(named).err, "[le-driver] frames_rgb/ (raw jpg, 5 frames) " + kDash + " read one frame per pull\n");
}

TEST(DriverOpen, RefusesABundleWithoutADriver) {
  le::test::TmpDir tmp;
  forge::BundleSpec s = spec();
  s.jpegDriver = false;
  const std::string dir = tmp.str("none");
  forge::writeBundle(dir, s);
  const le::Manifest m = le::loadManifest(dir);
  const std::string refusal = "this bundle carries neither a populated target_frames/ nor target_frames.mp4 (" + m.dir +
                              "/target_frames.mp4) " + kDash +
                              " there is no driver video to play. REFUSING to create a session.";
  EXPECT_EQ(errorOf([&] { le::DriverCursor::open(m, 2, 11); }), refusal);
  {
    ScopedEnv prefer("LE_DRIVER_PREFER_MP4", "1");
    EXPECT_EQ(errorOf([&] { le::DriverCursor::open(m, 2, 11); }), refusal);
  }
  // A JPEG directory without its last frame is not populated.
  forge::BundleSpec j = spec();
  const std::string partial = tmp.str("partial");
  forge::writeBundle(partial, j);
  std::filesystem::remove(partial + "/target_frames/frame_000004.jpg");
  EXPECT_TRUE(startsWith(errorOf([&] { le::DriverCursor::open(le::loadManifest(partial), 2, 11); }),
                         "this bundle carries neither a populated target_frames/ nor target_frames.mp4"));

  // The warp prior.
  EXPECT_EQ(errorOf([&] { le::DriverCursor::openPrior(m, 2, 11); }),
            "this bundle carries neither a raw P.f16 nor P_hevc.mov (" + m.dir + "/P_hevc.mov) " + kDash +
                " there is no warp prior to play. REFUSING to create a session.");
}

TEST(DriverOpen, IdentityPlaysItsPriorFromTheMovie) {
  ScopedEnv hw("LE_DRIVER_HWDEC", std::nullopt);
  le::test::TmpDir tmp;
  forge::BundleSpec s = spec();
  s.nt = 20;
  s.prior = forge::Prior::None;
  s.hevcPrior = true;
  s.descriptiveNames = true;  // the movie lies under its descriptive alias
  const std::string dir = tmp.str("movie");
  forge::writeBundle(dir, s);
  le::Identity id(le::loadManifest(dir), le::openIdentityPrior);
  ASSERT_TRUE(id.priorFromMovie());

  testing::internal::CaptureStderr();
  const std::string backend = id.priorBackend();  // opens the cursor
  const std::string err = testing::internal::GetCapturedStderr();
  EXPECT_TRUE(startsWith(backend, "hevc444/libavcodec ")) << backend;
  EXPECT_EQ(err, "Corvane: identity source ready " + kDash + " 20 frames 32x32, played straight from P_hevc.mov (" +
                     backend + "); nothing is unpacked to disk\n");
  EXPECT_EQ(&id.prior(), &id.prior());  // opened once
  EXPECT_EQ(id.priorResidentBytes(), id.prior().residentBytes());
  EXPECT_GE(id.priorResidentBytes(), std::size_t(14) * 32 * 32 * 6);

  const std::size_t halves = std::size_t(3) * 32 * 32;
  auto same = [&](int k) {
    const std::vector<std::uint16_t> want = forge::priorExpectedFrame(s, k);
    return std::memcmp(id.P(k), want.data(), halves * 2) == 0;
  };
  for (int k = 0; k < 8; ++k) EXPECT_TRUE(same(k)) << k;
  EXPECT_EQ(id.priorSeeks(), 0u);
  EXPECT_TRUE(same(3));  // a step back: from the ring
  EXPECT_EQ(id.priorSeeks(), 0u);
  EXPECT_TRUE(same(17));  // a jump: one repositioning
  EXPECT_EQ(id.priorSeeks(), 1u);
  id.walkP(18);
  EXPECT_TRUE(same(19));
  EXPECT_TRUE(same(0));  // wraps to the start of the loop
  EXPECT_EQ(id.priorSeeks(), 1u);
}

}  // namespace
