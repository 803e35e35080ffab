#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <filesystem>
#include <string>
#include <vector>

#include "capi/le_ctx.h"
#include "compose/le_paste.h"
#include "compose/le_pool.h"
#include "forge/forge.h"
#include "le/le.h"
#include "support/tmpdir.h"

namespace fs = std::filesystem;
using le::test::TmpDir;
using ::testing::HasSubstr;
using ::testing::Not;

namespace {

le::forge::BundleSpec smallSpec() {
  le::forge::BundleSpec spec;
  spec.nt = 4;
  spec.W = 40;
  spec.H = 32;
  spec.crop = 16;
  spec.frames = 6;
  spec.directorKeys = {"b1"};
  return spec;
}

struct Ctx {
  le_ctx* p = nullptr;
  Ctx(const std::string& dir, const char* key, int threads, const char* ep = nullptr)
      : p(le_create(dir.c_str(), key, threads, ep)) {}
  ~Ctx() { le_destroy(p); }
};

const std::string kIntraOp = "[le] director intra-op ";

}  // namespace

TEST(LeRender, ArgumentChecksRefuseWithoutBuildingTheDirector) {
  TmpDir t;
  const le::forge::BundleSpec spec = smallSpec();
  le::forge::writeBundle(t.str("b"), spec);
  Ctx c(t.str("b"), "b1", 1);
  ASSERT_NE(c.p, nullptr) << le_last_error();
  const std::vector<float> kp(63, 0.f), crop(3 * 16 * 16, 0.5f);

  EXPECT_EQ(le_paste_last(c.p, 0), nullptr);
  EXPECT_STREQ(le_last_error(), "le_paste_last: bad args / no prior render");

  for (int si : {-1, 4}) {
    EXPECT_EQ(le_render_kp_crop(c.p, si, kp.data(), kp.data()), nullptr);
    EXPECT_STREQ(le_last_error(), "le_render_kp_crop: bad args");
  }
  EXPECT_EQ(le_render_kp_crop(c.p, 0, nullptr, kp.data()), nullptr);
  EXPECT_STREQ(le_last_error(), "le_render_kp_crop: bad args");
  EXPECT_EQ(le_render_kp_crop(c.p, 0, kp.data(), nullptr), nullptr);
  EXPECT_EQ(le_render_kp_crop(nullptr, 0, kp.data(), kp.data()), nullptr);
  EXPECT_STREQ(le_last_error(), "le_render_kp_crop: bad args");
  for (int row : {-1, 6}) {
    EXPECT_EQ(le_render_drive_crop(c.p, row), nullptr);
    EXPECT_STREQ(le_last_error(), "le_render_drive_crop: bad frame index");
  }
  EXPECT_EQ(le_render_drive_crop(nullptr, 0), nullptr);
  EXPECT_STREQ(le_last_error(), "le_render_drive_crop: bad frame index");

  const size_t rgb = size_t(40 * 32 * 3);
  std::vector<unsigned char> out(rgb, 7);
  EXPECT_EQ(le_paste_crop(c.p, 0, crop.data(), out.data(), rgb - 1), 0);
  EXPECT_STREQ(le_last_error(), "le_paste_crop: bad args / out too small");
  EXPECT_TRUE(std::all_of(out.begin(), out.end(), [](unsigned char v) { return v == 7; }));
  EXPECT_EQ(le_paste_crop(c.p, 4, crop.data(), out.data(), rgb), 0);
  EXPECT_EQ(le_paste_crop(c.p, 0, nullptr, out.data(), rgb), 0);
  EXPECT_EQ(le_paste_crop(c.p, 0, crop.data(), nullptr, rgb), 0);
  EXPECT_EQ(le_paste_crop(nullptr, 0, crop.data(), out.data(), rgb), 0);
  EXPECT_STREQ(le_last_error(), "le_paste_crop: bad args / out too small");
  // A paste needs no director.
  EXPECT_EQ(le_paste_crop(c.p, 0, crop.data(), out.data(), rgb), 1) << le_last_error();
  EXPECT_STREQ(le_last_error(), "");

  std::vector<unsigned char> rgba(40 * 32 * 4);
  EXPECT_EQ(le_render_kp_rgba(nullptr, 0, kp.data(), kp.data(), rgba.data(), rgba.size()), 0);
  EXPECT_STREQ(le_last_error(), "le_render_kp_crop: bad args");
  EXPECT_EQ(le_render_drive_rgba(c.p, 6, rgba.data(), rgba.size()), 0);
  EXPECT_STREQ(le_last_error(), "le_render_drive_crop: bad frame index");
  EXPECT_EQ(c.p->renderer, nullptr);
  EXPECT_EQ(c.p->lastCrop, nullptr);
}

TEST(LeRender, DirectorIsBuiltOnFirstRenderWithTheStatedWorkerCount) {
  TmpDir t;
  const le::forge::BundleSpec spec = smallSpec();
  le::forge::writeBundle(t.str("b"), spec);
  const le::forge::DriveTables drive = le::forge::driveTables(spec);
  {
    Ctx c(t.str("b"), "b1", 0);
    ASSERT_NE(c.p, nullptr) << le_last_error();
    const int pool = c.p->threads;
    testing::internal::CaptureStderr();
    EXPECT_NE(le_render_drive_crop(c.p, 0), nullptr) << le_last_error();
    std::string log = testing::internal::GetCapturedStderr();
    const int want = std::min(pool, 2);
    EXPECT_THAT(log, HasSubstr(kIntraOp + std::to_string(want) + " of pool " + std::to_string(pool) +
                               ": the caller did not choose, the core sized it for the le_utt pipeline\n"));
    ASSERT_NE(c.p->renderer, nullptr);
    EXPECT_EQ(c.p->renderer->threads(), want);
    const le::Renderer* built = c.p->renderer.get();
    testing::internal::CaptureStderr();
    EXPECT_NE(le_render_drive_crop(c.p, 1), nullptr) << le_last_error();
    log = testing::internal::GetCapturedStderr();
    EXPECT_EQ(log, "");
    EXPECT_EQ(c.p->renderer.get(), built);
  }
  {
    Ctx c(t.str("b"), "b1", 4);
    testing::internal::CaptureStderr();
    EXPECT_NE(le_render_kp_crop(c.p, 0, drive.xs.data(), drive.xd.data()), nullptr) << le_last_error();
    EXPECT_THAT(testing::internal::GetCapturedStderr(), Not(HasSubstr(kIntraOp)));
    EXPECT_EQ(c.p->renderer->threads(), 4);
  }
}

TEST(LeRender, FailedBuildLeavesNoDirectorAndIsRetried) {
  TmpDir t;
  le::forge::BundleSpec spec = smallSpec();
  spec.directorKeys.clear();
  const std::string dir = t.str("b");
  le::forge::writeBundle(dir, spec);
  const std::string modelFile = dir + "/model_b1.onnx";
  const std::vector<float> kp(63, 0.f);

  Ctx c(dir, "b1", 1);
  ASSERT_NE(c.p, nullptr) << le_last_error();
  EXPECT_EQ(le_render_kp_crop(c.p, 0, kp.data(), kp.data()), nullptr);
  EXPECT_EQ(std::string(le_last_error()), "le_render_kp_crop: Renderer: cannot open " + modelFile);
  EXPECT_EQ(c.p->renderer, nullptr);

  le::forge::DirectorOptions cut;
  cut.truncated = true;
  le::forge::writeDirector(modelFile, spec, cut);
  EXPECT_EQ(le_render_kp_crop(c.p, 0, kp.data(), kp.data()), nullptr);
  EXPECT_EQ(std::string(le_last_error()).rfind("le_render_kp_crop: onnx: ", 0), 0u) << le_last_error();
  EXPECT_EQ(c.p->renderer, nullptr);
  EXPECT_EQ(c.p->lastCrop, nullptr);

  le::forge::writeDirector(modelFile, spec);
  const float* crop = le_render_kp_crop(c.p, 0, kp.data(), kp.data());
  ASSERT_NE(crop, nullptr) << le_last_error();
  EXPECT_STREQ(le_last_error(), "");
  EXPECT_EQ(c.p->lastCrop, crop);
}

// The forged director's own definition of its output, and the compositor run
// by hand on the same crop and driver frame, are what the entry points must give.
TEST(LeRender, RendersAndPastesWhatTheDirectorAndCompositorDefine) {
  TmpDir t;
  const le::forge::BundleSpec spec = smallSpec();
  const std::string dir = t.str("b");
  le::forge::writeBundle(dir, spec);
  Ctx c(dir, "b1", 1);
  ASSERT_NE(c.p, nullptr) << le_last_error();
  const int W = spec.W, H = spec.H, S = spec.crop;
  const size_t cropN = size_t(3 * S * S), rgbN = size_t(W * H * 3), rgbaN = size_t(W * H * 4);
  const le::forge::DriveTables drive = le::forge::driveTables(spec);

  const le::Manifest m = le::loadManifest(dir);
  const le::Identity id(m);
  le::Paste paste(le::readPasteMask(m), S, m.unsharp);
  auto byHand = [&](const float* crop, int i) {
    const unsigned char* frame = le_target_frame(c.p, i);
    EXPECT_NE(frame, nullptr) << le_last_error();
    std::vector<unsigned char> out(frame, frame + rgbN);
    paste.composite(crop, 255.f, id.M(i), out.data(), W, H);
    return out;
  };

  for (int si = 0; si < spec.nt; ++si) {
    const float* kp = drive.xs.data();
    const float* crop = le_render_kp_crop(c.p, si, kp, kp);
    ASSERT_NE(crop, nullptr) << le_last_error();
    const std::vector<float> want = le::forge::directorIdentityCrop(spec, si);
    ASSERT_EQ(want.size(), cropN);
    float worst = 0;
    for (size_t k = 0; k < cropN; ++k) worst = std::max(worst, std::abs(crop[k] - want[k]));
    EXPECT_LT(worst, 1e-3f) << "source frame " << si;

    const std::vector<float> kept(crop, crop + cropN);
    std::vector<unsigned char> out(rgbN, 0);
    ASSERT_EQ(le_paste_crop(c.p, si, kept.data(), out.data(), rgbN), 1) << le_last_error();
    EXPECT_EQ(out, byHand(kept.data(), si)) << "paste of frame " << si;
    const unsigned char* last = le_paste_last(c.p, si);
    ASSERT_NE(last, nullptr) << le_last_error();
    EXPECT_EQ(last, c.p->frameRGB.data());
    EXPECT_TRUE(std::equal(out.begin(), out.end(), last));
  }

  // le_paste_crop pastes the crop it is given and leaves the context's frame alone.
  const std::vector<unsigned char> frameBefore = c.p->frameRGB;
  const float* lastBefore = c.p->lastCrop;
  const std::vector<float> grey(cropN, 0.25f);
  std::vector<unsigned char> out(rgbN);
  ASSERT_EQ(le_paste_crop(c.p, 1, grey.data(), out.data(), rgbN), 1);
  EXPECT_EQ(out, byHand(grey.data(), 1));
  EXPECT_EQ(c.p->frameRGB, frameBefore);
  EXPECT_EQ(c.p->lastCrop, lastBefore);

  // RGBA: the RGB paste widened, alpha 255; a drive row pastes onto its own source frame.
  for (int row = 0; row < spec.frames; ++row) {
    std::vector<unsigned char> rgba(rgbaN, 0);
    ASSERT_EQ(le_render_drive_rgba(c.p, row, rgba.data(), rgbaN), 1) << le_last_error();
    const int si = drive.si[size_t(row)];
    const std::vector<float> crop(c.p->lastCrop, c.p->lastCrop + cropN);
    const std::vector<unsigned char> rgbWant = byHand(crop.data(), si);
    for (size_t p = 0; p < size_t(W * H); ++p) {
      ASSERT_EQ(rgba[4 * p + 3], 255) << p;
      ASSERT_TRUE(std::equal(rgbWant.begin() + 3 * p, rgbWant.begin() + 3 * p + 3, rgba.begin() + 4 * p)) << p;
    }
  }

  // A too-small RGBA buffer is refused after the render has happened.
  const float* kp0 = drive.xs.data();
  ASSERT_NE(le_render_kp_crop(c.p, 2, kp0, kp0), nullptr);
  const std::vector<float> identityCrop(c.p->lastCrop, c.p->lastCrop + cropN);
  std::vector<unsigned char> small(rgbN, 9);
  EXPECT_EQ(le_render_kp_rgba(c.p, 2, drive.xs.data(), drive.xd.data(), small.data(), rgbN), 0);
  EXPECT_STREQ(le_last_error(), "le_render_*_rgba: out buffer too small");
  EXPECT_TRUE(std::all_of(small.begin(), small.end(), [](unsigned char v) { return v == 9; }));
  EXPECT_NE(std::vector<float>(c.p->lastCrop, c.p->lastCrop + cropN), identityCrop);
  EXPECT_EQ(le_render_kp_rgba(c.p, 2, drive.xs.data(), drive.xd.data(), nullptr, rgbaN), 0);
  EXPECT_STREQ(le_last_error(), "le_render_*_rgba: out buffer too small");
}
