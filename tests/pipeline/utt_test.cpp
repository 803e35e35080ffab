// The live pipeline against hand-made frames: what an utterance delivers (and in
// what order), that its pixels are the render and paste of the engine's own
// keypoints, that interrupts keep stale work out, and that it survives bad input
// and destruction in any state.
#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cmath>
#include <cstring>
#include <random>
#include <string>
#include <thread>
#include <vector>

#include "forge/forge.h"
#include "forge/forge_motion.h"
#include "le/le.h"
#include "le/le_motion.h"
#include "le/le_utt.h"
#include "support/env.h"
#include "support/files.h"
#include "support/live.h"
#include "support/tmpdir.h"

namespace {

using namespace std::chrono_literals;

constexpr int kNt = 6;
constexpr int kHop = 640;

struct Fixture {
  le::test::TmpDir tmp;
  std::string bundle, engine;
  le::forge::BundleSpec spec;
  Fixture() {
    spec.nt = kNt;
    spec.W = 64;
    spec.H = 48;
    spec.crop = 32;
    spec.directorKeys = {"b1", "b4"};
    bundle = tmp.str("bundle");
    engine = tmp.str("engine");
    le::forge::writeBundle(bundle, spec);
    le::forge::MotionDirOptions m;
    m.nt = kNt;
    le::forge::writeMotionDir(engine, m);
  }
  size_t frameBytes() const { return size_t(spec.W) * spec.H * 3; }
};

// Not a whole number of frames.
std::vector<int16_t> pcm(size_t frames) { return le::test::speechPcm(frames); }
using le::test::Pulled;
using le::test::pullFrames;

void waitReady(le_utt* u) {
  const auto end = std::chrono::steady_clock::now() + 60s;
  while (le_utt_ready(u) == 0 && std::chrono::steady_clock::now() < end) std::this_thread::sleep_for(2ms);
  ASSERT_EQ(le_utt_ready(u), 1) << le_utt_last_error();
}

le_utt_opts options(const std::string& engine, const char* steady) {
  le_utt_opts o{};
  o.motion_dir = engine.c_str();
  o.threads = 1;
  o.steady_model = steady;
  // A threshold no utterance reaches: the engine shows no provisional frames,
  // so what it delivers equals an offline run of the same audio.
  o.eager = 1 << 30;
  return o;
}

struct Mode {
  const char* steady;  // "-": every frame singly; "b4": the batched director
  const char* pipelined;
};

class LiveUtterance : public ::testing::TestWithParam<Mode> {};

// One utterance, pushed whole and ended: idle frames, exactly ceil(samples / 640)
// speech frames tagged in order whose pixels are the hand-made render and paste
// of the engine's own (si, xs, xd), six ramp frames, then idle frames walking the loop.
TEST_P(LiveUtterance, DeliversSpeechRampAndIdleAsRenderedByHand) {
  Fixture f;
  le::test::ScopedEnv pipe("LE_UTT_PIPELINE_PASTE", GetParam().pipelined);
  le::test::ScopedEnv steadyEnv("LE_STEADY_MODEL", nullptr);
  le_ctx* ctx = le_create(f.bundle.c_str(), "b1", 1, nullptr);
  ASSERT_NE(ctx, nullptr) << le_last_error();
  const le_utt_opts o = options(f.engine, GetParam().steady);
  le_utt* u = le_utt_create(ctx, &o);
  ASSERT_NE(u, nullptr) << le_utt_last_error();
  waitReady(u);

  const std::vector<Pulled> before = pullFrames(u, f.frameBytes(), 2);
  ASSERT_EQ(before.size(), 2u);
  const std::vector<int16_t> audio = pcm(13);
  const int speech = int((audio.size() + kHop - 1) / kHop);
  ASSERT_EQ(le_utt_push_audio(u, audio.data(), int(audio.size())), 1);
  le_utt_end_utterance(u);
  std::vector<Pulled> got = pullFrames(u, f.frameBytes(), size_t(speech + 6 + kNt + 8));
  ASSERT_EQ(got.size(), size_t(speech + 6 + kNt + 8));

  // Idle frames may come before the utterance starts; then the utterance in order.
  size_t k = 0;
  while (k < got.size() && got[k].info.kind == 0) ++k;
  ASSERT_LE(k + size_t(speech + 6), got.size());
  for (int t = 0; t < speech; ++t) {
    ASSERT_EQ(got[k + t].info.kind, 1) << t;
    ASSERT_EQ(got[k + t].info.tag, t);
  }
  for (int r = 0; r < 6; ++r) {
    EXPECT_EQ(got[k + speech + r].info.kind, 2);
    EXPECT_EQ(got[k + speech + r].info.tag, -1);
  }
  const size_t idle0 = k + speech + 6;
  for (size_t i = idle0; i < got.size(); ++i) {
    ASSERT_EQ(got[i].info.kind, 0);
    if (i > idle0) {
      EXPECT_EQ(got[i].info.si, (got[i - 1].info.si + 1) % kNt);
    }
  }
  for (size_t i = 1; i < got.size(); ++i) EXPECT_GT(got[i].info.seq, got[i - 1].info.seq);

  // The oracle: the same engine offline from the same start, rendered and pasted by hand.
  le_motion* m = le_motion_create(f.engine.c_str(), 1, nullptr);
  ASSERT_NE(m, nullptr) << le_motion_last_error();
  le_motion_reset(m, got[k].info.si, 1, 1);
  std::vector<float> fa(audio.size());
  for (size_t i = 0; i < audio.size(); ++i) fa[i] = float(audio[i]) / 32768.f;
  ASSERT_EQ(le_motion_push(m, fa.data(), int(fa.size())), 1);
  ASSERT_EQ(le_motion_finish(m), 1);
  std::vector<int> si(speech);
  std::vector<float> xs(size_t(speech) * 63), xd(size_t(speech) * 63);
  ASSERT_EQ(le_motion_pull(m, si.data(), xs.data(), xd.data(), speech), speech);
  le_motion_destroy(m);

  le_ctx* hand = le_create(f.bundle.c_str(), "b1", 1, nullptr);
  ASSERT_NE(hand, nullptr);
  std::vector<uint8_t> want(f.frameBytes());
  for (int t = 0; t < speech; ++t) {
    ASSERT_EQ(got[k + t].info.si, si[t]);
    const float* crop = le_render_kp_crop(hand, si[t], xs.data() + 63 * t, xd.data() + 63 * t);
    ASSERT_NE(crop, nullptr) << le_last_error();
    ASSERT_EQ(le_paste_crop(hand, si[t], crop, want.data(), want.size()), 1);
    ASSERT_EQ(got[k + t].rgb, want) << "speech frame " << t;
  }
  // Idle frames are the driver frames themselves.
  for (size_t i = idle0; i < got.size(); ++i) {
    const unsigned char* drv = le_target_frame(hand, got[i].info.si);
    ASSERT_NE(drv, nullptr);
    ASSERT_EQ(std::memcmp(got[i].rgb.data(), drv, f.frameBytes()), 0) << i;
  }

  le_utt_stats st{};
  le_utt_get_stats(u, &st);
  EXPECT_EQ(st.frames_pulled, uint64_t(before.size() + got.size()));
  EXPECT_EQ(st.speech_frames_pulled, uint64_t(speech));
  EXPECT_EQ(st.utterances, 1u);
  EXPECT_GT(st.first_frame_latency_ms, 0.0);
  EXPECT_GT(st.render_ms_avg, 0.0);
  uint64_t failures = 7;
  char text[8] = "x";
  EXPECT_EQ(le_utt_render_status(u, text, sizeof text, &failures), 0);
  EXPECT_EQ(failures, 0u);
  EXPECT_STREQ(text, "");
  le_utt_destroy(u);
  le_destroy(hand);
  le_destroy(ctx);
}

INSTANTIATE_TEST_SUITE_P(Modes, LiveUtterance,
                         ::testing::Values(Mode{"-", "0"}, Mode{"-", "1"}, Mode{"b4", "0"}, Mode{"b4", "1"}),
                         [](const auto& i) {
                           return std::string(i.param.steady[0] == '-' ? "Single" : "Batched") +
                                  (i.param.pipelined[0] == '1' ? "Pipelined" : "Direct");
                         });

// An interrupt mid-speech: nothing made before it is delivered after it; the
// face ramps back over interrupt_ramp_frames from the last frame pulled, then idles.
TEST(LiveInterrupt, DropsEverythingMadeBeforeIt) {
  Fixture f;
  le_ctx* ctx = le_create(f.bundle.c_str(), "b1", 1, nullptr);
  ASSERT_NE(ctx, nullptr) << le_last_error();
  le_utt_opts o = options(f.engine, "-");
  o.interrupt_ramp_frames = 3;
  le_utt* u = le_utt_create(ctx, &o);
  ASSERT_NE(u, nullptr) << le_utt_last_error();
  waitReady(u);
  const std::vector<int16_t> audio = pcm(40);
  ASSERT_EQ(le_utt_push_audio(u, audio.data(), int(audio.size())), 1);
  le_utt_end_utterance(u);
  Pulled last{};
  for (int speechSeen = 0; speechSeen < 3;) {
    std::vector<Pulled> one = pullFrames(u, f.frameBytes(), 1);
    ASSERT_EQ(one.size(), 1u);
    last = one[0];
    if (last.info.kind == 1) ++speechSeen;
  }
  // Let the pipeline fill its ring with speech the host will never see.
  const auto end = std::chrono::steady_clock::now() + 20s;
  while (le_utt_frames_available(u) < 8 && std::chrono::steady_clock::now() < end) std::this_thread::sleep_for(1ms);
  le_utt_interrupt(u);
  EXPECT_EQ(le_utt_frames_available(u), 0);
  const std::vector<Pulled> after = pullFrames(u, f.frameBytes(), 3 + kNt);
  ASSERT_EQ(after.size(), size_t(3 + kNt));
  for (int r = 0; r < 3; ++r) {
    EXPECT_EQ(after[r].info.kind, 2) << r;
    EXPECT_EQ(after[r].info.si, (last.info.si + 1 + r) % kNt);
  }
  for (size_t i = 3; i < after.size(); ++i) EXPECT_EQ(after[i].info.kind, 0) << i;
  le_utt_destroy(u);
  le_destroy(ctx);
}

// Two host threads, one pushing and interrupting at random points, one pulling:
// no stale speech (tags of a run always count up from 0), nothing stalls, the
// statistics agree with what was pulled, and destruction mid-storm returns.
TEST(LiveInterrupt, StormFromTwoThreads) {
  Fixture f;
  le_ctx* ctx = le_create(f.bundle.c_str(), "b1", 1, nullptr);
  ASSERT_NE(ctx, nullptr) << le_last_error();
  le_utt_opts o = options(f.engine, "b4");
  o.silence_end_s = 0.05;
  le_utt* u = le_utt_create(ctx, &o);
  ASSERT_NE(u, nullptr) << le_utt_last_error();
  waitReady(u);
  const std::vector<int16_t> audio = pcm(60);
  std::atomic<bool> done{false};
  std::atomic<int> interrupts{0};
  std::thread pusher([&] {
    std::mt19937 rng(7);
    size_t at = 0;
    while (!done) {
      const size_t n = std::min<size_t>(320, audio.size() - at);
      le_utt_push_audio(u, audio.data() + at, int(n));
      at = (at + n) % audio.size();
      const unsigned r = rng() % 100;
      if (r < 4) {
        le_utt_interrupt(u);
        ++interrupts;
      } else if (r < 6) {
        le_utt_end_utterance(u);
      }
      std::this_thread::sleep_for(std::chrono::microseconds(500 + rng() % 3000));
    }
  });
  uint64_t pulled = 0, speech = 0, lastSeq = 0;
  int lastTag = -1;
  bool inSpeech = false;
  std::vector<uint8_t> rgb(f.frameBytes());
  const auto end = std::chrono::steady_clock::now() + 3s;
  while (std::chrono::steady_clock::now() < end) {
    le_utt_frame_info info{};
    if (le_utt_pull_frame(u, rgb.data(), rgb.size(), &info) != 1) {
      std::this_thread::sleep_for(200us);
      continue;
    }
    if (pulled > 0) {
      ASSERT_GT(info.seq, lastSeq);
    }
    lastSeq = info.seq;
    ++pulled;
    if (info.kind == 1) {
      ++speech;
      // A new run starts at 0; within a run tags count up by one. An interrupt
      // may cut a run short, but no frame of an old run may follow a new one.
      if (!(info.tag == 0 || (inSpeech && info.tag == lastTag + 1))) {
        ASSERT_EQ(info.tag, 0) << "stale speech frame after " << lastTag;
      }
      lastTag = info.tag;
      inSpeech = true;
    } else {
      inSpeech = info.kind == 2 ? inSpeech : false;
      if (info.kind == 0) lastTag = -1;
    }
  }
  done = true;
  pusher.join();
  EXPECT_GT(interrupts.load(), 0);
  EXPECT_GT(speech, 0u);
  le_utt_stats st{};
  le_utt_get_stats(u, &st);
  EXPECT_EQ(st.frames_pulled, pulled);
  EXPECT_EQ(st.speech_frames_pulled, speech);
  le_utt_destroy(u);  // with speech still in flight
  le_destroy(ctx);
}

// Bad arguments, an engine that fails to load, a bundle without idle targets, a
// too-small buffer, the teeth stage's absence, and destruction while warming or
// with a full ring the host never drains.
TEST(LiveBadInput, ClearAnswersAndNoHang) {
  Fixture f;
  le_ctx* ctx = le_create(f.bundle.c_str(), "b1", 1, nullptr);
  ASSERT_NE(ctx, nullptr) << le_last_error();
  const size_t bytes = f.frameBytes();

  le_utt_opts o{};
  EXPECT_EQ(le_utt_create(nullptr, &o), nullptr);
  EXPECT_STREQ(le_utt_last_error(), "le_utt_create: NULL ctx/opts");
  EXPECT_EQ(le_utt_create(ctx, &o), nullptr);
  EXPECT_STREQ(le_utt_last_error(), "le_utt_create: opts.motion_dir required");
  EXPECT_EQ(le_utt_ready(nullptr), -1);
  EXPECT_EQ(le_utt_push_audio(nullptr, nullptr, 0), 0);
  EXPECT_STREQ(le_utt_last_error(), "le_utt_push_audio: bad args");
  EXPECT_EQ(le_utt_pull_frame(nullptr, nullptr, 0, nullptr), 0);
  EXPECT_STREQ(le_utt_last_error(), "le_utt_pull_frame: bad args");
  le_utt_destroy(nullptr);

  // An engine directory that does not load: ready -1 with the engine's text, idle goes on.
  const std::string broken = f.tmp.str("broken");
  le_utt* bad = le_utt_open(ctx, broken.c_str());
  ASSERT_NE(bad, nullptr) << le_utt_last_error();
  const auto end = std::chrono::steady_clock::now() + 30s;
  while (le_utt_ready(bad) == 0 && std::chrono::steady_clock::now() < end) std::this_thread::sleep_for(2ms);
  EXPECT_EQ(le_utt_ready(bad), -1);
  EXPECT_EQ(std::string(le_utt_last_error()).rfind("le_motion_create: ", 0), 0u) << le_utt_last_error();
  const int16_t some[640] = {};
  EXPECT_EQ(le_utt_push_audio(bad, some, 640), 1);  // accepted and discarded
  const std::vector<Pulled> idle = pullFrames(bad, bytes, 3);
  ASSERT_EQ(idle.size(), 3u);
  for (const Pulled& p : idle) EXPECT_EQ(p.info.kind, 0);
  char err[96] = "";
  EXPECT_EQ(le_utt_tessera_attach(bad, nullptr, 0, nullptr, nullptr, nullptr, nullptr, nullptr, 0, nullptr, nullptr,
                                  err, sizeof err),
            1);
  EXPECT_EQ(std::string(err).rfind("le_utt_tessera_attach: a required member is null", 0), 0u) << err;
  uint64_t a = 1, b = 1;
  EXPECT_EQ(le_utt_tessera_stats(bad, &a, &b, err, sizeof err), 0);
  EXPECT_EQ(le_utt_tessera_geometry(bad, err, sizeof err), 0);
  le_utt_destroy(bad);

  // Idle targets of another length (an engine for a shorter loop): speech still
  // runs, and idle follows it with no ramp.
  const std::string shorter = f.tmp.str("shorter");
  le::forge::MotionDirOptions m;
  m.nt = kNt - 1;
  le::forge::writeMotionDir(shorter, m);
  le_utt_opts quick = options(shorter, "-");
  le_utt* u = le_utt_create(ctx, &quick);
  ASSERT_NE(u, nullptr) << le_utt_last_error();
  waitReady(u);
  std::vector<Pulled> lead = pullFrames(u, bytes, 1);
  ASSERT_EQ(lead.size(), 1u);
  const std::vector<int16_t> audio = pcm(4);
  ASSERT_EQ(le_utt_push_audio(u, audio.data(), int(audio.size())), 1);
  ASSERT_EQ(le_utt_push_audio(u, audio.data(), 0), 1);
  le_utt_end_utterance(u);
  // Wait for the first speech frame to be ready, then try a buffer one byte short.
  std::vector<uint8_t> rgb(bytes);
  le_utt_frame_info info{};
  const auto until = std::chrono::steady_clock::now() + 30s;
  std::vector<Pulled> got;
  while (got.size() < 10 && std::chrono::steady_clock::now() < until) {
    if (le_utt_frames_available(u) == 0) {
      std::this_thread::sleep_for(1ms);
      continue;
    }
    ASSERT_EQ(le_utt_pull_frame(u, rgb.data(), bytes - 1, &info), 0);
    EXPECT_STREQ(le_utt_last_error(), "le_utt_pull_frame: buffer too small");
    const int before = le_utt_frames_available(u);
    ASSERT_GE(before, 1);
    Pulled p{{}, std::vector<uint8_t>(bytes)};
    ASSERT_EQ(le_utt_pull_frame(u, p.rgb.data(), bytes, &p.info), 1);
    EXPECT_STREQ(le_utt_last_error(), "");
    got.push_back(std::move(p));
  }
  ASSERT_EQ(got.size(), 10u);
  size_t k = 0;
  while (got[k].info.kind == 0) ++k;
  const int speech = int((audio.size() + kHop - 1) / kHop);
  for (int t = 0; t < speech; ++t) EXPECT_EQ(got[k + t].info.kind, 1);
  for (size_t i = k + speech; i < got.size(); ++i) EXPECT_EQ(got[i].info.kind, 0) << "no ramp without targets";

  // Speech into a ring the host never drains, then destruction; and one destroyed while warming.
  ASSERT_EQ(le_utt_push_audio(u, audio.data(), int(audio.size())), 1);
  std::this_thread::sleep_for(50ms);
  le_utt_destroy(u);
  le_utt* warming = le_utt_open(ctx, f.engine.c_str());
  ASSERT_NE(warming, nullptr);
  le_utt_destroy(warming);
  le_destroy(ctx);
}

}  // namespace
