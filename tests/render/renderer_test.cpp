#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <onnxruntime_cxx_api.h>

#include <filesystem>
#include <fstream>
#include <random>
#include <sstream>
#include <string>
#include <vector>

#include "bundle/le_bundle.h"
#include "compose/le_simd.h"
#include "driver/le_driver.h"
#include "forge/forge.h"
#include "graph/gridsample_fast.h"
#include "graph/lip_bind.h"
#include "render/le_conv.h"
#include "render/le_renderer.h"
#include "render/render_models.h"
#include "support/director.h"
#include "support/files.h"
#include "tessera/le_lip_contour.h"
#include "support/env.h"
#include "support/tmpdir.h"

namespace fs = std::filesystem;
using le::test::ScopedEnv;
using le::test::TestDirector;
using le::test::TmpDir;
using ::testing::HasSubstr;
using ::testing::Not;

namespace {

constexpr int kS = 16;

struct Fixture {
  le::forge::BundleSpec spec;
  std::string dir;
  le::Manifest m;
  std::unique_ptr<le::Identity> id;
};

// lip: the template to write; the forge's own director "b1" comes with it
// when anything but None is asked for, or with forgedDirector.
Fixture forge(const TmpDir& t, le::forge::Prior prior = le::forge::Prior::Raw, bool forgedDirector = false,
              le::forge::LipTemplate lip = le::forge::LipTemplate::None) {
  le::forge::BundleSpec spec;
  spec.nt = 4;
  spec.W = 40;
  spec.H = 32;
  spec.crop = kS;
  spec.prior = prior;
  spec.lipTemplate = lip;
  if (forgedDirector || lip != le::forge::LipTemplate::None) spec.directorKeys = {"b1"};
  Fixture f;
  f.spec = spec;
  f.dir = t.str("bundle");
  le::forge::writeBundle(f.dir, spec);
  f.m = le::loadManifest(f.dir);
  f.id = std::make_unique<le::Identity>(f.m, le::openIdentityPrior);
  return f;
}

std::string model(const Fixture& f, const std::string& key, const TestDirector& d) {
  const std::string path = f.dir + "/model_" + key + ".onnx";
  le::test::writeTestDirector(path, d);
  return path;
}

// The runtime_error text a build throws; "" when it builds.
std::string refusal(const Fixture& f, const std::string& key, const std::string& ep = "") {
  try {
    le::Renderer r(f.m, *f.id, key, 1, ep);
    return "";
  } catch (const std::runtime_error& e) {
    return e.what();
  }
}

std::vector<float> randomKp(int frames, uint32_t seed) {
  std::mt19937 rng(seed);
  std::uniform_real_distribution<float> u(-0.05f, 0.05f);
  std::vector<float> v(size_t(frames) * 63);
  for (float& x : v) x = u(rng);
  return v;
}

// What the test director renders for source frame si with these keypoints.
std::vector<float> expectedCrop(const le::Identity& id, int si, const float* ks, const float* kd) {
  std::vector<float> pooled(65536), out(size_t(3 * kS * kS));
  le::simd::f16ToF32(id.pooled64(si), pooled.data(), pooled.size());
  double shift = 0;
  for (float v : pooled) shift += v;
  shift /= double(pooled.size());
  for (int k = 0; k < 63; ++k) shift += double(kd[k]) - double(ks[k]);
  le::simd::f16ToF32(id.P(si), out.data(), out.size());
  for (float& v : out) v = float(v + shift);
  return out;
}

void expectNear(const float* got, const std::vector<float>& want, const char* what) {
  double worst = 0;
  for (size_t i = 0; i < want.size(); ++i) worst = std::max(worst, double(std::abs(got[i] - want[i])));
  EXPECT_LT(worst, 1e-4) << what;
}

// The director's inputs for source frame si of an identity, as the renderer
// converts them, with these keypoints.
le::test::DirectorFeed feedOf(const le::Identity& id, int si, std::vector<float> ks, std::vector<float> kd) {
  le::test::DirectorFeed f;
  f.pooled.resize(65536);
  f.prgb.resize(size_t(3 * kS * kS));
  le::simd::f16ToF32(id.pooled64(si), f.pooled.data(), f.pooled.size());
  le::simd::f16ToF32(id.P(si), f.prgb.data(), f.prgb.size());
  f.kpSource = std::move(ks);
  f.kpDriving = std::move(kd);
  return f;
}

}  // namespace

TEST(Renderer, ExecutionProviderStrings) {
  TmpDir t;
  Fixture f = forge(t);
  model(f, "b1", {});
  {
    ScopedEnv conv("LE_CONV_BACKEND", nullptr);
    testing::internal::CaptureStderr();
    le::Renderer r(f.m, *f.id, "b1", 1, "");
    const std::string log = testing::internal::GetCapturedStderr();
    EXPECT_STREQ(r.ep(), "cpu");
    EXPECT_STREQ(r.backend(), "ort");
    EXPECT_STREQ(r.directorNote(), "");
    EXPECT_EQ(r.batch(), 1);
    EXPECT_THAT(log, Not(HasSubstr("NEON")));
    EXPECT_THAT(log, HasSubstr("[le] director ep=cpu (ORT CPU EP)\n"));
    EXPECT_THAT(log, HasSubstr("[le] !!! compose alpha: ELLIPSE (b1) — this bundle carries no lip_template.v1.json, "
                               "so the director generates"));
  }
  const std::string neonLine =
      "[le] fp16 NEON backend requested but unavailable on this build/CPU; using ORT\n";
  {
    testing::internal::CaptureStderr();
    le::Renderer r(f.m, *f.id, "b1", 1, "neon");
    const std::string log = testing::internal::GetCapturedStderr();
    EXPECT_EQ(log.find(neonLine), log.rfind(neonLine));
    EXPECT_NE(log.find(neonLine), std::string::npos);
    EXPECT_STREQ(r.ep(), "cpu");
    EXPECT_STREQ(r.backend(), "ort");
  }
  {
    ScopedEnv conv("LE_CONV_BACKEND", "neon");
    testing::internal::CaptureStderr();
    le::Renderer r(f.m, *f.id, "b1", 1, "");
    EXPECT_THAT(testing::internal::GetCapturedStderr(), HasSubstr(neonLine));
    EXPECT_STREQ(r.ep(), "cpu");
  }
  EXPECT_FALSE(le::ConvBackend::available());
  EXPECT_FALSE(le::ConvBackend::graphSupported(f.dir + "/model_b1.onnx"));
  try {
    le::ConvBackend::create(f.dir + "/model_b1.onnx", 1);
    ADD_FAILURE() << "create returned";
  } catch (const std::runtime_error& e) {
    EXPECT_STREQ(e.what(), "le_conv: built without NEON fp16 support");
  }

  for (const char* ep : {"xnnpack", "xnnpack:cpu"}) {
    const std::string msg = refusal(f, "b1", ep);
    EXPECT_EQ(msg.rfind(std::string("Renderer: ep '") + ep + "' is REFUSED. This renderer rewrites", 0), 0u) << msg;
    EXPECT_THAT(msg, HasSubstr("Use the default ep (\"\", the ORT CPU EP), which opens the same bundle on the same "
                               "bytes."));
  }
  EXPECT_EQ(refusal(f, "b1", "cuda"), "Renderer: unknown ep 'cuda'");
  EXPECT_EQ(refusal(f, "b1", "Coreml"), "Renderer: unknown ep 'Coreml'");
  // CoreML is asked of ONNX Runtime, which this build lacks: its own error propagates.
  for (const char* ep : {"coreml", "coreml:ane", "coreml-gpu"}) {
    try {
      le::Renderer r(f.m, *f.id, "b1", 1, ep);
      ADD_FAILURE() << ep << " built";
    } catch (const Ort::Exception& e) {
      EXPECT_THAT(std::string(e.what()), HasSubstr("CoreML")) << ep;
    }
  }
}

TEST(Renderer, InputContractRefusals) {
  TmpDir t;
  Fixture f = forge(t);
  const std::string p22 = model(f, "k22", {.kpRows = 22});
  const std::string msg22 = refusal(f, "k22");
  EXPECT_EQ(msg22,
            "Renderer: HOST KEYPOINT CONTRACT MISMATCH on " + p22 +
                " — the graph declares kp_driving with 22 keypoint rows, and this renderer feeds 21 "
                "(le::kHostKpRows, le/le.h). That is the recipe_v4 / kd_v4 shape: row 21 is the WIDTH ROW (wn, "
                "seal, 0), fed from the a2x encoder's second output. This engine has no width feed (see "
                "le_a2x_width / le_a2x_pull_wn in le/le_a2x.h, which nothing on this path calls yet), so it cannot "
                "drive this director. REFUSING AT LOAD rather than dying inside ORT at the first Run. This build "
                "must not have been published to a host that links this renderer: "
                "training/recipe/host_kp_contract.py is the publish gate that exists to prevent it.");
  const std::string p20 = model(f, "k20", {.kpRows = 20});
  EXPECT_EQ(refusal(f, "k20"),
            "Renderer: HOST KEYPOINT CONTRACT MISMATCH on " + p20 +
                " — the graph declares kp_driving with 20 keypoint rows, and this renderer feeds 21 "
                "(le::kHostKpRows, le/le.h). REFUSING AT LOAD rather than dying inside ORT at the first Run. This "
                "build must not have been published to a host that links this renderer: "
                "training/recipe/host_kp_contract.py is the publish gate that exists to prevent it.");

  model(f, "ksym", {.symbolicKpRows = true});
  EXPECT_EQ(refusal(f, "ksym"), "");
  model(f, "bsym", {.symbolicBatch = true});
  EXPECT_EQ(refusal(f, "bsym"), "pooled64 input not found / bad shape");
  model(f, "fs", {.featSynth = true});
  EXPECT_EQ(refusal(f, "fs"), "FeatSynth graph but bundle lacks fs_red.f16");
  model(f, "fsbsym", {.symbolicBatch = true, .featSynth = true});
  EXPECT_EQ(refusal(f, "fsbsym"), "pooled input not found / bad shape");

  // A P_rgb director on a bundle whose only prior is fs_red.f16.
  TmpDir t2;
  Fixture fs = forge(t2, le::forge::Prior::FeatSynth);
  model(fs, "b1", {});
  EXPECT_EQ(refusal(fs, "b1"),
            "m4b graph (P_rgb input) but this bundle carries no warp prior: neither P.f16, nor fs_red.f16, nor a "
            "P_hevc.mov to play in place is present, so le::Identity mapped NOTHING and Identity::P(si) would be an "
            "offset from a null pointer — a SEGFAULT on the first frame, not a refusal. REFUSING to create a "
            "session.");
}

TEST(Renderer, ModelFileRefusals) {
  TmpDir t;
  Fixture f = forge(t);
  const std::string missing = f.m.modelPath("none");
  EXPECT_EQ(refusal(f, "none"), "Renderer: cannot open " + missing);
  // A directory opens but yields none of the bytes its size promises.
  fs::create_directories(f.dir + "/model_dir.onnx");
  EXPECT_EQ(refusal(f, "dir"), "Renderer: short read on " + f.dir + "/model_dir.onnx");
  // A cut model is refused by whichever parser meets it first, never served.
  const std::string bytes = le::test::testDirectorBytes({});
  std::ofstream(f.dir + "/model_cut.onnx", std::ios::binary) << bytes.substr(0, bytes.size() * 2 / 3);
  EXPECT_THROW(le::Renderer(f.m, *f.id, "cut", 1, ""), std::exception);
  // The EP is refused before the model file is looked at.
  EXPECT_EQ(refusal(f, "none", "cuda"), "Renderer: unknown ep 'cuda'");
}

TEST(Renderer, OpensUntouchedGraphsFromTheFileAndRewrittenOnesFromMemory) {
  TmpDir t;
  Fixture f = forge(t);
  model(f, "plain", {});
  model(f, "gs", {.gridSample = true});
  const std::vector<float> ks = randomKp(1, 1), kd = randomKp(1, 2);
  const int si = 1;
  const std::vector<float> want = expectedCrop(*f.id, si, ks.data(), kd.data());
  {
    testing::internal::CaptureStderr();
    le::Renderer r(f.m, *f.id, "plain", 1, "");
    const std::string log = testing::internal::GetCapturedStderr();
    EXPECT_FALSE(r.openedFromBytes());
    EXPECT_THAT(log, Not(HasSubstr("GridSampleFast load-time rewrite")));
    expectNear(r.render(&si, ks.data(), kd.data(), 1), want, "plain");
  }
  {
    testing::internal::CaptureStderr();
    le::Renderer r(f.m, *f.id, "gs", 1, "");
    const std::string log = testing::internal::GetCapturedStderr();
    EXPECT_TRUE(r.openedFromBytes());
    EXPECT_THAT(log, HasSubstr("[le] std GridSample -> com.corvane::GridSampleFast load-time rewrite: 1 node(s) (gs)\n"));
    expectNear(r.render(&si, ks.data(), kd.data(), 1), want, "rewritten");
  }
  {
    ScopedEnv off("LE_GS_REWRITE", "0");
    testing::internal::CaptureStderr();
    le::Renderer r(f.m, *f.id, "gs", 1, "");
    const std::string log = testing::internal::GetCapturedStderr();
    EXPECT_FALSE(r.openedFromBytes());
    EXPECT_THAT(log, HasSubstr("[le] LE_GS_REWRITE=0: load-time std GridSample -> com.corvane::GridSampleFast rewrite "
                               "DISABLED (gs); the custom op is still registered"));
    expectNear(r.render(&si, ks.data(), kd.data(), 1), want, "standard GridSample");
  }
  // A baked graph: loads with the custom op registered, refused without it.
  std::ifstream in(f.dir + "/model_gs.onnx", std::ios::binary);
  std::vector<uint8_t> baked((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
  ASSERT_EQ(le::rewriteGridSampleToFast(baked), 1u);
  std::ofstream(f.dir + "/model_baked.onnx", std::ios::binary)
      .write(reinterpret_cast<const char*>(baked.data()), std::streamsize(baked.size()));
  {
    le::Renderer r(f.m, *f.id, "baked", 1, "");
    EXPECT_FALSE(r.openedFromBytes());
    expectNear(r.render(&si, ks.data(), kd.data(), 1), want, "baked");
  }
  {
    ScopedEnv off("LE_GS_FAST", "0");
    EXPECT_EQ(refusal(f, "baked").rfind("Renderer: LE_GS_FAST=0 (or CORVANE_QUENZAL2_GRIDSAMPLE_FAST=0, which sets "
                                        "it) was asked for, but " +
                                            f.dir + "/model_baked.onnx has com.corvane::GridSampleFast BAKED INTO THE "
                                                    "GRAPH.",
                                        0),
              0u);
    le::Renderer r(f.m, *f.id, "gs", 1, "");
    EXPECT_FALSE(r.openedFromBytes());
    expectNear(r.render(&si, ks.data(), kd.data(), 1), want, "LE_GS_FAST=0");
  }
}

// Every "[le]" line of a default CPU build, in order: the lip and hoist
// outcomes as they happen, the counted rewrites after them, the EP last.
TEST(Renderer, DefaultCpuBuildLogsEveryStepInOrder) {
  TmpDir t;
  Fixture f = forge(t);
  model(f, "plain", {});
  model(f, "gs", {.gridSample = true});
  ScopedEnv conv("LE_CONV_BACKEND", nullptr), warp("LE_WARP_NODE", nullptr), fast("LE_GS_FAST", nullptr),
      rewrite("LE_GS_REWRITE", nullptr);
  const auto leLines = [&](const std::string& key) {
    testing::internal::CaptureStderr();
    le::Renderer r(f.m, *f.id, key, 1, "");
    std::istringstream log(testing::internal::GetCapturedStderr());
    std::string lines;
    for (std::string l; std::getline(log, l);)
      if (l.rfind("[le]", 0) == 0) lines += l + "\n";
    return lines;
  };
  const auto leading = [](const std::string& key) {
    return "[le] !!! compose alpha: ELLIPSE (" + key +
           ") — this bundle carries no lip_template.v1.json, so the director generates the over-covering elliptical "
           "region the contour replaces. BACKFILL IT: models/quenzal-2/tools/carry_lip_template_fleet.py\n"
           "[le] source-cone hoist NOT applied (" +
           key + "): expected exactly one Concat consuming P_rgb, found 0\n";
  };
  EXPECT_EQ(leLines("plain"), leading("plain") + "[le] director ep=cpu (ORT CPU EP)\n");
  EXPECT_EQ(leLines("gs"), leading("gs") +
                               "[le] std GridSample -> com.corvane::GridSampleFast load-time rewrite: 1 node(s) (gs)\n"
                               "[le] director ep=cpu (ORT CPU EP)\n");
}

TEST(Renderer, BatchRunsFillPaddingSlotsFromTheLastFrame) {
  TmpDir t;
  Fixture f = forge(t);
  model(f, "b4", {.batch = 4});
  le::Renderer r(f.m, *f.id, "b4", 2, "");
  ASSERT_EQ(r.batch(), 4);
  const size_t crop = size_t(3 * kS * kS);

  const int idx[3] = {2, 0, 3};
  const std::vector<float> ks = randomKp(3, 11), kd = randomKp(3, 12);
  const float* out = r.render(idx, ks.data(), kd.data(), 3);
  for (int k = 0; k < 3; ++k)
    expectNear(out + k * crop, expectedCrop(*f.id, idx[k], ks.data() + 63 * k, kd.data() + 63 * k), "slot");
  EXPECT_TRUE(std::equal(out + 2 * crop, out + 3 * crop, out + 3 * crop)) << "padding slot differs from slot 2";
  EXPECT_EQ(r.runCount(), 1);
  EXPECT_GE(r.runMsTotal(), 0.0);

  // A later single-frame call overwrites every slot with its one frame.
  const int one = 1;
  const float* again = r.render(&one, kd.data(), ks.data(), 1);
  EXPECT_EQ(again, out);
  const std::vector<float> want = expectedCrop(*f.id, 1, kd.data(), ks.data());
  for (int k = 0; k < 4; ++k) expectNear(again + k * crop, want, "n=1");
  EXPECT_EQ(r.runCount(), 2);

  const std::vector<float> before(out, out + 4 * crop);
  for (int n : {0, 5, -1}) {
    try {
      r.render(idx, ks.data(), kd.data(), n);
      ADD_FAILURE() << "n=" << n;
    } catch (const std::runtime_error& e) {
      EXPECT_STREQ(e.what(), "render: bad n");
    }
  }
  const int bad[2] = {1, 4};
  EXPECT_THROW(r.render(bad, ks.data(), kd.data(), 2), std::runtime_error);
  const int neg = -1;
  EXPECT_THROW(r.render(&neg, ks.data(), kd.data(), 1), std::runtime_error);
  EXPECT_EQ(r.runCount(), 2);
  EXPECT_EQ(std::vector<float>(out, out + 4 * crop), before);
}

TEST(Renderer, FeatSynthDirectorIsFedFromFsRed) {
  TmpDir t;
  Fixture f = forge(t, le::forge::Prior::FeatSynth);
  model(f, "fs2", {.batch = 2, .featSynth = true});
  le::Renderer r(f.m, *f.id, "fs2", 1, "");
  EXPECT_TRUE(r.featSynth());
  ASSERT_EQ(r.batch(), 2);
  const int si = 3;
  const std::vector<float> ks = randomKp(1, 5), kd = randomKp(1, 6);
  const float* out = r.render(&si, ks.data(), kd.data(), 1);

  std::vector<float> pooled(65536), fsr(262144);
  le::simd::f16ToF32(f.id->pooled64(si), pooled.data(), pooled.size());
  le::simd::f16ToF32(f.id->fsRed(si), fsr.data(), fsr.size());
  double shift = 0, fm = 0;
  for (float v : pooled) shift += v;
  shift /= 65536.0;
  for (float v : fsr) fm += v;
  shift += fm / 262144.0;
  for (int k = 0; k < 63; ++k) shift += double(kd[k]) - double(ks[k]);
  const std::vector<float> want(size_t(2 * 3 * kS * kS), float(shift));
  expectNear(out, want, "featsynth");
}

TEST(Renderer, ProfilingReportsOnDestruction) {
  TmpDir t;
  Fixture f = forge(t);
  model(f, "b1", {});
  const std::string prefix = t.str("prof");
  ScopedEnv prof("LE_ORT_PROFILE", prefix.c_str());
  testing::internal::CaptureStderr();
  {
    le::Renderer r(f.m, *f.id, "b1", 1, "");
    const int si = 0;
    const std::vector<float> kp = randomKp(1, 3);
    r.render(&si, kp.data(), kp.data(), 1);
    r.render(&si, kp.data(), kp.data(), 1);
  }
  const std::string log = testing::internal::GetCapturedStderr();
  EXPECT_THAT(log, HasSubstr("[le_ort_profile] 2 frames: "));
  EXPECT_THAT(log, HasSubstr(" ms/frame in Session::Run\n"));
  const size_t at = log.find("[le_ort_profile] " + prefix);
  ASSERT_NE(at, std::string::npos) << log;
  const size_t end = log.find('\n', at);
  const std::string file = log.substr(at + 17, end - at - 17);
  EXPECT_TRUE(fs::exists(file)) << file;
}

// The forged director hoisted: every render equals the whole graph run
// directly, and the prefetch predicts bounce and loop playback.
TEST(Renderer, HoistedSourceConeRendersTheWholeGraphAndPrefetchesTheNextFrame) {
  TmpDir t;
  const Fixture fx = forge(t, le::forge::Prior::Raw, true);
  const le::Manifest& m = fx.m;
  const le::Identity& id = *fx.id;
  const std::vector<uint8_t> file = le::test::readArray<uint8_t>(m.modelPath("b1"));
  ScopedEnv warp("LE_WARP_NODE", nullptr);

  const struct {
    std::vector<int> frames;
    int64_t misses;
  } plays[] = {
      {{0, 1, 2, 3, 2, 1, 0, 1, 2}, 1},     // bounce: only the first frame is computed on demand
      {{0, 1, 2, 3, 0, 1, 2, 3, 0, 1}, 2},  // the wrap 3 -> 0 is a miss once, then playback loops
  };
  for (const auto& play : plays) {
    testing::internal::CaptureStderr();
    le::Renderer r(m, id, "b1", 1, "");
    const std::string log = testing::internal::GetCapturedStderr();
    ASSERT_TRUE(r.hoisted()) << log;
    EXPECT_THAT(log, HasSubstr("[le] source-cone hoist: 'warp_tip' [1,12,16,16] leaves the per-frame graph and is "
                               "prefetched per SOURCE FRAME on one spare core (b1)\n"));
    for (size_t k = 0; k < play.frames.size(); ++k) {
      const int si = play.frames[k];
      const le::test::DirectorFeed f = feedOf(id, si, randomKp(1, uint32_t(2 * k + 1)), randomKp(1, uint32_t(2 * k + 2)));
      const float* got = r.render(&si, f.kpSource.data(), f.kpDriving.data(), 1);
      expectNear(got, le::test::runDirector(file, kS, f), "hoisted");
    }
    EXPECT_EQ(r.ringMisses(), play.misses);
    EXPECT_EQ(r.ringHits(), int64_t(play.frames.size()) - play.misses);
  }

  // The warp node takes the cone: nothing is left to hoist, the output is the same.
  {
    ScopedEnv on("LE_WARP_NODE", "1");
    testing::internal::CaptureStderr();
    le::Renderer r(m, id, "b1", 1, "");
    const std::string log = testing::internal::GetCapturedStderr();
    EXPECT_FALSE(r.hoisted());
    EXPECT_THAT(log, HasSubstr("[le] director warp -> com.corvane::WarpDirector ("));
    EXPECT_THAT(log, HasSubstr("[le] source-cone hoist SKIPPED (b1): the warp node subsumes the cone"));
    const int si = 2;
    const le::test::DirectorFeed f = feedOf(id, si, randomKp(1, 5), randomKp(1, 6));
    expectNear(r.render(&si, f.kpSource.data(), f.kpDriving.data(), 1), le::test::runDirector(file, kS, f), "warp");
  }
}

// A bundle with a lip template: the contour is rasterised from each frame's
// driving keypoints into lip_delivery of the bound graph, and a template for
// another canvas is refused at load.
TEST(Renderer, LipContourLimitsTheComposeAlphaPerFrame) {
  TmpDir t;
  const Fixture fx = forge(t, le::forge::Prior::Raw, true, le::forge::LipTemplate::Mapped);
  const le::Manifest& m = fx.m;
  const le::Identity& id = *fx.id;
  std::vector<uint8_t> bound = le::test::readArray<uint8_t>(m.modelPath("b1"));
  std::string reason;
  int cw = 0, ch = 0;
  ASSERT_EQ(le::rewriteBindLipContour(bound, reason, &cw, &ch), 1u) << reason;
  le::tessera::LipContour contour = le::tessera::LipContour::fromTemplateJson(m.lipTemplate, kS);

  testing::internal::CaptureStderr();
  le::Renderer r(m, id, "b1", 1, "");
  const std::string log = testing::internal::GetCapturedStderr();
  EXPECT_TRUE(r.lipBound());
  EXPECT_THAT(log, HasSubstr("[le] compose alpha: LIP CONTOUR (b1) — Min(a, lip_delivery) bound at load, " +
                             std::to_string(contour.nv) + " verts, feather"));
  EXPECT_THAT(log, Not(HasSubstr("ELLIPSE")));
  const le::forge::DriveTables drive = le::forge::driveTables(fx.spec);
  for (int row = 0; row < 3; ++row) {
    const int si = drive.si[size_t(row)];
    le::test::DirectorFeed f = feedOf(id, si, {drive.xs.begin() + 63 * row, drive.xs.begin() + 63 * (row + 1)},
                                      {drive.xd.begin() + 63 * row, drive.xd.begin() + 63 * (row + 1)});
    f.lip.resize(size_t(kS * kS));
    for (int r2 : {15, 17, 18, 19}) f.kpDriving[size_t(r2) * 3 + 1] += 0.15f;  // the mouth opens wide
    contour.contourF32Canvas(f.kpDriving.data(), f.lip.data());
    const std::vector<float> want = le::test::runDirector(bound, kS, f);
    expectNear(r.render(&si, f.kpSource.data(), f.kpDriving.data(), 1), want, "lip-bound");
    // The contour matters here (beyond the 1e-4 the renders agree to): the
    // graph's own ellipse gives another frame.
    le::test::DirectorFeed ellipse = f;
    ellipse.lip.assign(f.lip.size(), 1.0f);
    EXPECT_GT(le::test::maxAbsDiff(le::test::runDirector(bound, kS, ellipse), want), 3e-4f);
  }

  // A template baked for another canvas never reaches the graph.
  le::forge::BundleSpec other = fx.spec;
  other.crop = 2 * kS;
  le::test::writeFile(fx.dir + "/lip_template.v1.json", le::forge::lipTemplateText(other));
  const le::Manifest m2 = le::loadManifest(fx.dir);
  try {
    le::Renderer bad(m2, id, "b1", 1, "");
    FAIL() << "a template for canvas " << 2 * kS << " was accepted";
  } catch (const std::runtime_error& e) {
    EXPECT_THAT(e.what(), HasSubstr("lip_template.v1.json: was baked on a " + std::to_string(2 * kS) + " canvas"));
  }
}

// A source cone that fails (here: the prior movie cannot be played) makes this
// and every later hoisted render throw, whatever frame it asks for.
TEST(Renderer, HoistedPrefetchFailureIsSticky) {
  TmpDir t;
  le::forge::BundleSpec spec;
  spec.nt = 4;
  spec.W = 40;
  spec.H = 32;
  spec.crop = kS;
  spec.prior = le::forge::Prior::None;
  spec.hevcPrior = true;
  spec.directorKeys = {"b1"};
  const std::string dir = t.str("bundle");
  le::forge::writeBundle(dir, spec);
  const le::Manifest m = le::loadManifest(dir);
  const le::Identity id(m, le::openIdentityPrior);
  ASSERT_TRUE(id.priorFromMovie());
  le::forge::truncateFile(id.priorMoviePath(), 64);
  testing::internal::CaptureStderr();
  le::Renderer r(m, id, "b1", 1, "");
  testing::internal::GetCapturedStderr();
  ASSERT_TRUE(r.hoisted());
  const std::vector<float> kp = randomKp(1, 1);
  for (int si : {0, 1, 0}) {
    try {
      r.render(&si, kp.data(), kp.data(), 1);
      FAIL() << "frame " << si << " rendered";
    } catch (const std::runtime_error& e) {
      EXPECT_THAT(e.what(), HasSubstr("Renderer: the hoisted source cone failed in ORT — "));
    }
  }
  EXPECT_EQ(r.ringMisses(), 1);  // nothing is computed again after the failure
}
