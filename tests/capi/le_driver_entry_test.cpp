// The entry points over the driver video and the warp prior, and bundle resolution.
#include <gtest/gtest.h>

#include <cmath>
#include <cstring>
#include <filesystem>
#include <random>
#include <string>
#include <vector>

#include "capi/le_ctx.h"
#include "compose/le_image.h"
#include "forge/forge.h"
#include "le/le.h"
#include "support/tmpdir.h"

namespace fs = std::filesystem;
using le::test::TmpDir;

namespace {

double meanAbsDiff(const unsigned char* a, const std::vector<uint8_t>& b) {
  double s = 0;
  for (size_t i = 0; i < b.size(); ++i) s += std::abs(int(a[i]) - int(b[i]));
  return s / double(b.size());
}

le::forge::BundleSpec movieSpec() {
  le::forge::BundleSpec spec;
  spec.nt = 6;
  spec.jpegDriver = false;
  spec.mp4Driver = true;
  return spec;
}

}  // namespace

TEST(LeTargetFrame, JpegDriverFramesAreTheDecodedFiles) {
  TmpDir t;
  le::forge::BundleSpec spec;
  spec.nt = 5;
  le::forge::writeBundle(t.str("b"), spec);
  le_ctx* ctx = le_create(t.str("b").c_str(), "b1", 1, nullptr);
  ASSERT_NE(ctx, nullptr) << le_last_error();

  // Out of order, backwards and across the loop end.
  for (int i : {0, 3, 1, 4, 4, 2, 0}) {
    const unsigned char* f = le_target_frame(ctx, i);
    ASSERT_NE(f, nullptr) << le_last_error();
    EXPECT_STREQ(le_last_error(), "");
    int w = 0, h = 0;
    char name[64];
    std::snprintf(name, sizeof name, "/target_frames/frame_%06d.jpg", i);
    std::vector<uint8_t> ref = le::loadImageRGB(t.str("b") + name, &w, &h);
    ASSERT_EQ(ref.size(), size_t(spec.W) * spec.H * 3);
    EXPECT_EQ(std::memcmp(f, ref.data(), ref.size()), 0) << "frame " << i;
  }

  for (int bad : {-1, 5}) {
    EXPECT_EQ(le_target_frame(ctx, bad), nullptr);
    EXPECT_STREQ(le_last_error(), "le_target_frame: bad args");
  }
  EXPECT_EQ(le_target_frame(nullptr, 0), nullptr);
  EXPECT_STREQ(le_last_error(), "le_target_frame: bad args");
  EXPECT_NE(le_target_frame(ctx, 2), nullptr);  // still usable after refusals
  le_destroy(ctx);
}

TEST(LePaste, OnePassEqualsCopyThenComposite) {
  // le_paste_crop and le_paste_last against the two steps they stand for:
  // the driver frame copied out, then the crop composited onto the copy.
  TmpDir t;
  le::forge::BundleSpec spec;
  spec.nt = 5;
  le::forge::writeBundle(t.str("b"), spec);
  le_ctx* ctx = le_create(t.str("b").c_str(), "b1", 1, nullptr);
  ASSERT_NE(ctx, nullptr) << le_last_error();
  const int S = le_crop(ctx);
  const size_t bytes = size_t(le_width(ctx)) * size_t(le_height(ctx)) * 3;
  std::vector<float> crop(size_t(3) * S * S);
  std::mt19937 rng(7);
  std::uniform_real_distribution<float> u01(0.f, 1.f);
  for (auto& v : crop) v = u01(rng);
  ctx->lastCrop = crop.data();  // as a render would leave it
  int drawn = 0;
  for (int i : {0, 3, 1, 4, 4, 2, 0}) {
    const unsigned char* driver = le_target_frame(ctx, i);
    ASSERT_NE(driver, nullptr) << le_last_error();
    std::vector<unsigned char> want(driver, driver + bytes);
    ctx->paste->composite(crop.data(), 255.f, ctx->identity.M(i), want.data(), le_width(ctx), le_height(ctx));
    drawn += std::memcmp(want.data(), driver, bytes) != 0;
    std::vector<unsigned char> got(bytes, 0x5A);
    ASSERT_EQ(le_paste_crop(ctx, i, crop.data(), got.data(), got.size()), 1) << le_last_error();
    EXPECT_EQ(got, want) << "le_paste_crop frame " << i;
    const unsigned char* last = le_paste_last(ctx, i);
    ASSERT_NE(last, nullptr) << le_last_error();
    EXPECT_EQ(std::memcmp(last, want.data(), bytes), 0) << "le_paste_last frame " << i;
  }
  EXPECT_GT(drawn, 0);  // the crop lands on the frame: the comparison is not vacuous
  le_destroy(ctx);
}

TEST(LeTargetFrame, MovieDriverFramesAreCloseToTheForgedOnes) {
  TmpDir t;
  le::forge::BundleSpec spec = movieSpec();
  le::forge::writeBundle(t.str("b"), spec);
  le_ctx* ctx = le_create(t.str("b").c_str(), "b1", 0, nullptr);
  ASSERT_NE(ctx, nullptr) << le_last_error();
  for (int i : {0, 1, 5, 2}) {
    const unsigned char* f = le_target_frame(ctx, i);
    ASSERT_NE(f, nullptr) << le_last_error();
    const std::vector<uint8_t> ref = le::forge::driverFrame(spec, i);
    const double own = meanAbsDiff(f, ref);
    EXPECT_LT(own, 4.0) << "frame " << i;
    // Closer to its own frame than to its neighbour: the index is right.
    EXPECT_LT(own, meanAbsDiff(f, le::forge::driverFrame(spec, (i + 1) % spec.nt))) << "frame " << i;
  }
  le_destroy(ctx);
}

TEST(LeTargetFrame, ShortMovieFailsStickyAndTheContextStaysDestroyable) {
  TmpDir t;
  le::forge::BundleSpec spec = movieSpec();
  spec.mp4.frames = 3;  // fewer than nt, and nothing declares it
  spec.mp4.count = le::forge::FrameCount::Absent;
  le::forge::writeBundle(t.str("b"), spec);
  le_ctx* ctx = le_create(t.str("b").c_str(), "b1", 0, nullptr);
  ASSERT_NE(ctx, nullptr) << le_last_error();
  EXPECT_NE(le_target_frame(ctx, 1), nullptr) << le_last_error();
  EXPECT_EQ(le_target_frame(ctx, 4), nullptr);
  const std::string first = le_last_error();
  EXPECT_EQ(first.rfind("le_target_frame: le_driver: ", 0), 0u) << first;
  // Depending on how far the decoder ran ahead, the shortfall shows while playing
  // on or while seeking to the requested frame.
  EXPECT_TRUE(first.find("ended after 3 frames, the manifest says NT=6") != std::string::npos ||
              first.find("ended at frame 3 while seeking to 4") != std::string::npos)
      << first;
  // Every later request reports the same failure, also for frames that were decoded.
  EXPECT_EQ(le_target_frame(ctx, 0), nullptr);
  EXPECT_EQ(first, le_last_error());
  le_destroy(ctx);
}

TEST(LeCreate, RefusesABundleWithoutDriverVideo) {
  TmpDir t;
  le::forge::BundleSpec spec;
  spec.jpegDriver = false;
  le::forge::writeBundle(t.str("b"), spec);
  EXPECT_EQ(le_create(t.str("b").c_str(), "b1", 0, nullptr), nullptr);
  EXPECT_EQ(std::string(le_last_error()),
            "le_create: this bundle carries neither a populated target_frames/ nor target_frames.mp4 (" +
                t.str("b") + "/target_frames.mp4) — there is no driver video to play. REFUSING to create a session.");
}

TEST(LePrior, PlaysTheMovieRowByRow) {
  TmpDir t;
  le::forge::BundleSpec spec;
  spec.nt = 5;
  spec.crop = 24;
  spec.prior = le::forge::Prior::None;
  spec.hevcPrior = true;
  le::forge::writeBundle(t.str("b"), spec);

  le_prior* p = le_prior_open(t.str("b").c_str(), 0, -5);
  ASSERT_NE(p, nullptr) << le_last_error();
  const size_t row = le_prior_row_bytes(p);
  ASSERT_EQ(row, size_t(24 * 24 * 3 * 2));
  EXPECT_EQ(std::string(le_prior_backend(p)).rfind("hevc444/libavcodec ", 0), 0u) << le_prior_backend(p);

  std::vector<unsigned char> out(row);
  for (int si : {0, 3, 4, 1, 1}) {
    ASSERT_EQ(le_prior_row(p, si, out.data(), out.size()), 1) << le_last_error();
    const std::vector<uint16_t> want = le::forge::priorExpectedFrame(spec, si);
    ASSERT_EQ(want.size() * 2, row);
    EXPECT_EQ(std::memcmp(out.data(), want.data(), row), 0) << "row " << si;
  }

  // One byte short: refused, nothing written.
  std::vector<unsigned char> small(row - 1, 0xAB);
  EXPECT_EQ(le_prior_row(p, 2, small.data(), small.size()), 0);
  EXPECT_EQ(std::string(le_last_error()),
            "le_prior_row: cap " + std::to_string(row - 1) + " < row bytes " + std::to_string(row));
  EXPECT_TRUE(std::all_of(small.begin(), small.end(), [](unsigned char c) { return c == 0xAB; }));
  EXPECT_EQ(le_prior_row(p, 5, out.data(), out.size()), 0);
  EXPECT_EQ(std::string(le_last_error()), "le_prior_row: le_driver: seek(5) outside [0,5)");
  EXPECT_EQ(le_prior_row(p, 2, out.data(), out.size()), 1) << le_last_error();
  EXPECT_EQ(le_prior_row(nullptr, 0, out.data(), out.size()), 0);
  EXPECT_STREQ(le_last_error(), "le_prior_row: NULL prior/out");
  le_prior_close(p);

  // The rendering context of the same bundle plays its source frames from the movie too.
  le_ctx* ctx = le_create(t.str("b").c_str(), "b1", 0, nullptr);
  ASSERT_NE(ctx, nullptr) << le_last_error();
  le_destroy(ctx);

  EXPECT_EQ(le_prior_row_bytes(nullptr), 0u);
  EXPECT_STREQ(le_prior_backend(nullptr), "");
  le_prior_close(nullptr);
  EXPECT_EQ(le_prior_open(nullptr, 2, 11), nullptr);
  EXPECT_STREQ(le_last_error(), "le_prior_open: NULL bundle_dir");
}

TEST(LePrior, RefusesABundleWithoutAPriorMovie) {
  TmpDir t;
  le::forge::writeBundle(t.str("b"), {});
  EXPECT_EQ(le_prior_open(t.str("b").c_str(), 2, 11), nullptr);
  EXPECT_EQ(std::string(le_last_error()),
            "le_prior_open: this bundle carries neither a raw P.f16 nor P_hevc.mov (" + t.str("b") +
                "/P_hevc.mov) — there is no warp prior to play. REFUSING to create a session.");
}

TEST(LeBundleResolve, HandlesAndMembers) {
  TmpDir t;
  le::forge::BundleSpec spec;
  spec.descriptiveNames = true;
  le::forge::writeBundle(t.str("b"), spec);
  char dst[4096];

  ASSERT_EQ(le_bundle_resolve_handle(t.str("b").c_str(), dst, sizeof dst), 1) << le_last_error();
  EXPECT_EQ(std::string(dst), t.str("b"));
  EXPECT_STREQ(le_last_error(), "");

  // A container is found by its stem and unpacked beside it.
  le::forge::packDir(t.str("b"), t.str("c.imx"));
  ASSERT_EQ(le_bundle_resolve_handle(t.str("c").c_str(), dst, sizeof dst), 1) << le_last_error();
  EXPECT_EQ(std::string(dst), t.str("c.lebundle"));

  // Exactly the path's length leaves no room for the terminator.
  const std::string dir = t.str("b");
  std::vector<char> tight(dir.size(), 'x');
  EXPECT_EQ(le_bundle_resolve_handle(dir.c_str(), tight.data(), tight.size()), -1);
  EXPECT_EQ(tight[0], '\0');
  EXPECT_STREQ(le_last_error(), "le_bundle_resolve_handle: buffer too small");
  EXPECT_EQ(le_bundle_resolve_handle(nullptr, dst, sizeof dst), -1);
  EXPECT_STREQ(le_last_error(), "");

  // Members: the alias when only it exists; the requested name when neither does.
  EXPECT_EQ(le_bundle_resolve_member(dir.c_str(), "P.f16", dst, sizeof dst), 1);
  EXPECT_EQ(std::string(dst), dir + "/source_frames.f16");
  EXPECT_EQ(le_bundle_resolve_member(dir.c_str(), "fs_red.f16", dst, sizeof dst), 0);
  EXPECT_EQ(std::string(dst), dir + "/fs_red.f16");
  const std::string alias = dir + "/source_frames.f16";
  std::vector<char> exact(alias.size(), 'x');
  EXPECT_EQ(le_bundle_resolve_member(dir.c_str(), "P.f16", exact.data(), exact.size()), -1);
  EXPECT_EQ(exact[0], '\0');
  EXPECT_EQ(le_bundle_resolve_member(dir.c_str(), nullptr, dst, sizeof dst), -1);

  // A container that cannot be unpacked: -1, an empty path, and the reason.
  le::forge::writeImx(t.str("bad.imx"), {{"../escape", "x", {}, {}}});
  EXPECT_EQ(le_bundle_resolve_member(t.str("bad").c_str(), "P.f16", dst, sizeof dst), -1);
  EXPECT_EQ(dst[0], '\0');
  EXPECT_EQ(std::string(le_last_error()), "le_bundle_resolve_member: " + t.str("bad.imx") +
                                              ": refusing unsafe member name '../escape'");
  EXPECT_EQ(le_bundle_resolve_handle(t.str("bad").c_str(), dst, sizeof dst), -1);
  EXPECT_EQ(std::string(le_last_error()).rfind("le_bundle_resolve_handle: ", 0), 0u);
  EXPECT_FALSE(fs::exists(t.path().parent_path() / "escape"));
}
