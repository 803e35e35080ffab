// The live pipeline with the teeth stage attached: speech frames carry what
// the stream borrow gives the same crops offline, every crop goes through the
// pass, a failing stage leaves frames flowing untouched, and attach refuses
// what it cannot serve with its text.
#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <cmath>
#include <cstring>
#include <filesystem>
#include <string>
#include <thread>
#include <vector>

#include "base/le_file.h"
#include "forge/forge.h"
#include "forge/forge_motion.h"
#include "le/le.h"
#include "le/le_motion.h"
#include "le/le_tessera.h"
#include "le/le_utt.h"
#include "pipeline/le_utt.h"
#include "support/env.h"
#include "support/files.h"
#include "support/live.h"
#include "support/teeth_live.h"
#include "support/tmpdir.h"
#include "tessera/le_bundle_tessera.h"
#include "tessera/le_tessera.h"
#include "tessera/le_tessera_pi.h"
#include "tessera/le_tessera_stream.h"

namespace {

using namespace std::chrono_literals;
namespace fs = std::filesystem;

constexpr int kNt = 6;
constexpr int kHop = 640;
constexpr int kRamp = 6;

struct Fixture : le::test::ToothedLive {
  // The same stream borrow the pipeline builds, for the offline oracle.
  le::tessera::StreamBorrow borrow() const {
    const le_tessera_members* m = members;
    le::tessera::BankData b;
    b.n_donors = le_tessera_members_n_donors(m);
    b.donors = bank;
    b.cent.assign(le_tessera_members_cent(m), le_tessera_members_cent(m) + 2 * b.n_donors);
    b.aperture.assign(le_tessera_members_aperture(m), le_tessera_members_aperture(m) + b.n_donors);
    b.c_canon = {le_tessera_members_c_canon(m)[0], le_tessera_members_c_canon(m)[1]};
    for (int i = 0; i < le::tessera::GeometryStamp::kFields; ++i) b.stamp.at(i) = le_tessera_members_stamp(m)[i];
    const uint8_t* pt = le_tessera_members_head_pt(m);
    const auto weights =
        le::tessera::loadHeadPt(std::vector<uint8_t>(pt, pt + le_tessera_members_head_pt_len(m)));
    const auto config = le::tessera::ServeConfig::fromHeadMemberJson(le_tessera_members_head_json(m));
    const std::vector<float> xs = le::readRaw<float>(engine + "/xs_target.bin", size_t(kNt) * 63);
    const double canon[2] = {b.c_canon[0], b.c_canon[1]};
    const auto pi = le::tessera::UnifiedPi::corpusFromManifestJson(le_tessera_members_manifest_json(m), spec.crop,
                                                                    xs.data(), kNt, canon, nullptr);
    return le::tessera::StreamBorrow(std::move(b), weights, config, pi,
                                     le::readText(bundle + "/lip_template.v1.json"));
  }
};

// Not a whole number of frames.
std::vector<int16_t> pcm(size_t frames) { return le::test::speechPcm(frames); }
using le::test::Pulled;
using le::test::pullFrames;

le_utt* openLive(le_ctx* ctx, const std::string& engine) {
  le_utt_opts o{};
  o.motion_dir = engine.c_str();
  o.threads = 1;
  o.steady_model = "-";
  o.eager = 1 << 30;  // no provisional frames: the engine's output equals an offline run
  le_utt* u = le_utt_create(ctx, &o);
  const auto end = std::chrono::steady_clock::now() + 60s;
  while (u && le_utt_ready(u) == 0 && std::chrono::steady_clock::now() < end) std::this_thread::sleep_for(2ms);
  return u;
}

// The engine's own frames for this audio, offline from the walk's start.
struct Motion {
  std::vector<int> si;
  std::vector<float> xs, xd;
};
Motion offlineMotion(const std::string& engine, int start, const std::vector<int16_t>& audio, int frames) {
  Motion r;
  le_motion* m = le_motion_create(engine.c_str(), 1, nullptr);
  if (!m) throw std::runtime_error(le_motion_last_error());
  le_motion_reset(m, start, 1, 1);
  std::vector<float> fa(audio.size());
  for (size_t i = 0; i < audio.size(); ++i) fa[i] = float(audio[i]) / 32768.f;
  le_motion_push(m, fa.data(), int(fa.size()));
  le_motion_finish(m);
  r.si.resize(size_t(frames));
  r.xs.resize(size_t(frames) * 63);
  r.xd.resize(size_t(frames) * 63);
  const int n = le_motion_pull(m, r.si.data(), r.xs.data(), r.xd.data(), frames);
  le_motion_destroy(m);
  if (n != frames) throw std::runtime_error("offline engine gave " + std::to_string(n) + " frames");
  return r;
}

class LiveTeeth : public ::testing::TestWithParam<const char*> {};

// Speech frames equal the render, the offline stream borrow's window written
// back as a delta, and the paste, frame for frame (the last speech frame's
// look-ahead is the first ramp frame, so it is left out); every speech and
// ramp crop is counted through the pass, and an interrupt still returns to idle.
TEST_P(LiveTeeth, SpeechCarriesTheOfflinePassAndEveryCropGoesThroughIt) {
  Fixture f;
  le::test::ScopedEnv pipe("LE_UTT_PIPELINE_PASTE", GetParam());
  le::test::ScopedEnv steadyEnv("LE_STEADY_MODEL", nullptr);
  le_ctx* ctx = le_create(f.bundle.c_str(), "b1", 1, nullptr);
  ASSERT_NE(ctx, nullptr) << le_last_error();
  le_utt* u = openLive(ctx, f.engine);
  ASSERT_NE(u, nullptr) << le_utt_last_error();
  ASSERT_EQ(le_utt_ready(u), 1) << le_utt_last_error();
  char err[1024] = "";
  ASSERT_EQ(f.attach(u, err, sizeof err), 0) << err;
  char geometry[1024] = "";
  ASSERT_EQ(le_utt_tessera_geometry(u, geometry, sizeof geometry), 1);
  EXPECT_NE(std::string(geometry).find("corpus v1"), std::string::npos) << geometry;
  EXPECT_NE(std::string(geometry).find("LIP CONTOUR"), std::string::npos) << geometry;

  ASSERT_EQ(pullFrames(u, f.frameBytes(), 2).size(), 2u);
  const std::vector<int16_t> audio = pcm(9);
  const int speech = int((audio.size() + kHop - 1) / kHop);
  ASSERT_EQ(le_utt_push_audio(u, audio.data(), int(audio.size())), 1);
  le_utt_end_utterance(u);
  const std::vector<Pulled> got = pullFrames(u, f.frameBytes(), size_t(speech + kRamp + 4));
  ASSERT_EQ(got.size(), size_t(speech + kRamp + 4));
  size_t k = 0;
  while (k < got.size() && got[k].info.kind == 0) ++k;
  ASSERT_LE(k + size_t(speech + kRamp), got.size());
  for (int t = 0; t < speech; ++t) ASSERT_EQ(got[k + t].info.kind, 1) << t;
  for (int r = 0; r < kRamp; ++r) ASSERT_EQ(got[k + speech + r].info.kind, 2) << r;

  const Motion mo = offlineMotion(f.engine, got[k].info.si, audio, speech);
  le_ctx* hand = le_create(f.bundle.c_str(), "b1", 1, nullptr);
  ASSERT_NE(hand, nullptr);
  le::tessera::StreamBorrow borrow = f.borrow();
  const size_t cropFloats = size_t(f.spec.crop) * f.spec.crop * 3;
  std::vector<float> held(cropFloats), now(cropFloats);
  std::vector<uint8_t> want(f.frameBytes()), plain(f.frameBytes());
  le::tessera::FrameResult result;
  int differing = 0;
  for (int t = 0; t < speech; ++t) {
    ASSERT_EQ(got[k + t].info.si, mo.si[size_t(t)]);
    const float* crop = le_render_kp_crop(hand, mo.si[size_t(t)], mo.xs.data() + 63 * t, mo.xd.data() + 63 * t);
    ASSERT_NE(crop, nullptr) << le_last_error();
    std::copy(crop, crop + cropFloats, now.begin());
    const bool emitted = borrow.push(now.data(), mo.xd.data() + 63 * t, result);
    ASSERT_EQ(emitted, t > 0);
    if (emitted) {
      le::tessera::StreamBorrow::writeWindowDelta(held.data(), f.spec.crop, result, borrow.stamp());
      ASSERT_EQ(le_paste_crop(hand, mo.si[size_t(t - 1)], held.data(), want.data(), want.size()), 1);
      ASSERT_EQ(got[k + t - 1].rgb, want) << "speech frame " << t - 1;
      // The teeth changed something: the oracle is not comparing two plain renders.
      const float* again = le_render_kp_crop(hand, mo.si[size_t(t - 1)], mo.xs.data() + 63 * (t - 1),
                                             mo.xd.data() + 63 * (t - 1));
      ASSERT_EQ(le_paste_crop(hand, mo.si[size_t(t - 1)], again, plain.data(), plain.size()), 1);
      if (plain != want) ++differing;
    }
    std::swap(held, now);
  }
  EXPECT_GT(differing, 0);

  uint64_t composed = 0, passed = 0;
  char text[256] = "x";
  EXPECT_EQ(le_utt_tessera_stats(u, &composed, &passed, text, sizeof text), 1);
  EXPECT_EQ(composed + passed, uint64_t(speech + kRamp));
  EXPECT_STREQ(text, "");
  double mean = -1;
  uint64_t last = 0;
  int64_t count = 0;
  EXPECT_EQ(le_utt_tessera_synth_w(u, &mean, &last, &count), composed > 0 ? 1 : 0);
  EXPECT_EQ(uint64_t(count), composed);

  // An interrupt mid-utterance with a crop held by the pass: back to idle.
  const std::vector<int16_t> longer = pcm(30);
  ASSERT_EQ(le_utt_push_audio(u, longer.data(), int(longer.size())), 1);
  for (int seen = 0; seen < 3;) {
    const std::vector<Pulled> one = pullFrames(u, f.frameBytes(), 1);
    ASSERT_EQ(one.size(), 1u);
    if (one[0].info.kind == 1) ++seen;
  }
  le_utt_interrupt(u);
  const std::vector<Pulled> after = pullFrames(u, f.frameBytes(), 4 + 3);
  ASSERT_EQ(after.size(), 7u);
  for (size_t i = 0; i < after.size(); ++i) EXPECT_NE(after[i].info.kind, 1) << i;
  EXPECT_EQ(after.back().info.kind, 0);
  EXPECT_EQ(le_utt_tessera_stats(u, nullptr, nullptr, nullptr, 0), 1);
  le_utt_destroy(u);
  le_destroy(hand);
  le_destroy(ctx);
}

INSTANTIATE_TEST_SUITE_P(Modes, LiveTeeth, ::testing::Values("0", "1"),
                         [](const auto& i) { return std::string(i.param[0] == '1' ? "Pipelined" : "Direct"); });

// A teeth stage that fails mid-utterance: every speech frame still arrives,
// those after the failure exactly as rendered without teeth, and the stage
// reports -1 with the failure's text.
TEST(LiveTeethFailure, FramesContinueWithoutTeeth) {
  Fixture f;
  le::test::ScopedEnv pipe("LE_UTT_PIPELINE_PASTE", "0");
  le::test::ScopedEnv steadyEnv("LE_STEADY_MODEL", nullptr);
  le_ctx* ctx = le_create(f.bundle.c_str(), "b1", 1, nullptr);
  ASSERT_NE(ctx, nullptr) << le_last_error();
  le_utt* u = openLive(ctx, f.engine);
  ASSERT_NE(u, nullptr) << le_utt_last_error();
  char err[1024] = "";
  ASSERT_EQ(f.attach(u, err, sizeof err), 0) << err;
  ASSERT_EQ(pullFrames(u, f.frameBytes(), 1).size(), 1u);
  // Three crops go through; the fourth fails the stage.
  le::utt::failTeethAfterForTest(3);
  const std::vector<int16_t> audio = pcm(8);
  const int speech = int((audio.size() + kHop - 1) / kHop);
  ASSERT_EQ(le_utt_push_audio(u, audio.data(), int(audio.size())), 1);
  le_utt_end_utterance(u);
  const std::vector<Pulled> got = pullFrames(u, f.frameBytes(), size_t(speech + kRamp + 2));
  le::utt::failTeethAfterForTest(-1);
  ASSERT_EQ(got.size(), size_t(speech + kRamp + 2));
  size_t k = 0;
  while (got[k].info.kind == 0) ++k;
  for (int t = 0; t < speech; ++t) ASSERT_EQ(got[k + t].info.kind, 1) << t;

  uint64_t composed = 9, passed = 9;
  char text[256] = "";
  EXPECT_EQ(le_utt_tessera_stats(u, &composed, &passed, text, sizeof text), -1);
  EXPECT_STREQ(text, "injected teeth failure");
  EXPECT_EQ(composed + passed, 2u);  // frames 0 and 1 were emitted before the failure

  const Motion mo = offlineMotion(f.engine, got[k].info.si, audio, speech);
  le_ctx* hand = le_create(f.bundle.c_str(), "b1", 1, nullptr);
  ASSERT_NE(hand, nullptr);
  std::vector<uint8_t> want(f.frameBytes());
  for (int t = 2; t < speech; ++t) {
    const float* crop = le_render_kp_crop(hand, mo.si[size_t(t)], mo.xs.data() + 63 * t, mo.xd.data() + 63 * t);
    ASSERT_NE(crop, nullptr);
    ASSERT_EQ(le_paste_crop(hand, mo.si[size_t(t)], crop, want.data(), want.size()), 1);
    ASSERT_EQ(got[k + t].rgb, want) << "speech frame " << t;
  }
  le_utt_destroy(u);
  le_destroy(hand);
  le_destroy(ctx);
}

TEST(LiveTeethAttach, RefusesWhatItCannotServe) {
  Fixture f;
  le_ctx* ctx = le_create(f.bundle.c_str(), "b1", 1, nullptr);
  ASSERT_NE(ctx, nullptr) << le_last_error();
  le_utt* u = openLive(ctx, f.engine);
  ASSERT_NE(u, nullptr) << le_utt_last_error();
  char err[1024];
  auto refusal = [&](int rc) {
    EXPECT_EQ(rc, 1);
    return std::string(err);
  };
  EXPECT_EQ(refusal(f.attach(nullptr, err, sizeof err)), "le_utt_tessera_attach: null session");
  EXPECT_EQ(refusal(f.attach(u, err, sizeof err, nullptr, nullptr, 0)), "le_utt_tessera_attach: n_donors <= 0");

  int32_t stamp[12];
  std::memcpy(stamp, le_tessera_members_stamp(f.members), sizeof stamp);
  stamp[0] = stamp[1] = 256;  // a coherent stamp for another canvas
  EXPECT_EQ(refusal(f.attach(u, err, sizeof err, stamp)),
            "le_utt_tessera_attach: bank canvas 256x256 != this bundle's render crop 128");
  stamp[6] = 0;
  EXPECT_EQ(refusal(f.attach(u, err, sizeof err, stamp)),
            "le_utt_tessera_attach: teeth: GeometryStamp incoherent: pad/shift_margin must be positive;");
  EXPECT_EQ(refusal(f.attach(u, err, sizeof err, nullptr, "{\"retrieval\": {}}")),
            "le_utt_tessera_attach: teeth: tessera_head.v1 config lacks the retrieval/temporal blocks of the v1 "
            "schema \xE2\x80\x94 refusing to serve defaults (W3-01)");
  char tiny[12];
  EXPECT_EQ(f.attach(u, tiny, sizeof tiny, nullptr, nullptr, 0), 1);
  EXPECT_STREQ(tiny, "le_utt_tess");
  EXPECT_EQ(le_utt_tessera_stats(u, nullptr, nullptr, nullptr, 0), 0);  // nothing was armed
  le_utt_destroy(u);

  // An engine without idle targets cannot name the corpus frame.
  const std::string bare = f.tmp.str("bare");
  fs::copy(f.engine, bare);
  fs::remove(fs::path(bare) / "xs_target.bin");
  u = openLive(ctx, bare);
  ASSERT_NE(u, nullptr) << le_utt_last_error();
  EXPECT_EQ(refusal(f.attach(u, err, sizeof err)),
            "le_utt_tessera_attach: xs_target.bin is absent or the wrong length, so this bundle's corpus pi frame "
            "cannot be identified \xE2\x80\x94 refusing to arm the borrow against the manifest's compose-field "
            "geometry");
  le_utt_destroy(u);
  le_destroy(ctx);
}

}  // namespace
