// Thread storms on the pipelines, with seeded random timings: several host
// threads on one live pipeline, then destruction (pipeline, then its context)
// in whatever state it is in; a clip run while other contexts come and go; a
// teeth stage that fails part way through an utterance and is re-armed while
// frames flow. Their point is as much the sanitizer builds as the checks here.
#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdint>
#include <filesystem>
#include <random>
#include <stdexcept>
#include <string>
#include <thread>
#include <vector>

#include "forge/forge.h"
#include "forge/forge_fca.h"
#include "forge/forge_motion.h"
#include "le/le.h"
#include "le/le_tessera.h"
#include "le/le_utt.h"
#include "pipeline/le_utt.h"
#include "support/env.h"
#include "support/files.h"
#include "support/live.h"
#include "support/teeth_live.h"
#include "support/tmpdir.h"

namespace {

using namespace std::chrono_literals;
using le::test::ScopedEnv;

constexpr int kNt = 6;
constexpr int kHop = 640;

// Sanitizer builds run several times slower: fewer rounds there.
#if defined(__SANITIZE_THREAD__) || defined(__SANITIZE_ADDRESS__)
constexpr int kScale = 1;
#else
constexpr int kScale = 3;
#endif

void sleepUs(std::mt19937& rng, int maxUs) {
  std::this_thread::sleep_for(std::chrono::microseconds(rng() % unsigned(maxUs + 1)));
}

bool waitReady(le_utt* u) {
  while (le_utt_ready(u) == 0) std::this_thread::sleep_for(1ms);
  return le_utt_ready(u) == 1;
}

// Pulls until pred(info) holds for a pulled frame; returns that frame.
template <class Pred>
le_utt_frame_info pullUntil(le_utt* u, std::vector<uint8_t>& rgb, Pred pred) {
  for (;;) {
    le_utt_frame_info info{};
    if (le_utt_pull_frame(u, rgb.data(), rgb.size(), &info) == 1) {
      if (pred(info)) return info;
    } else {
      std::this_thread::sleep_for(100us);
    }
  }
}

// A small identity with the live directors, a motion engine, and the clip
// pipeline's director and whole-clip model beside them.
struct Small {
  le::test::TmpDir tmp;
  le::forge::BundleSpec spec;
  std::string bundle, engine, extractor;
  Small() {
    spec.nt = kNt;
    spec.W = 64;
    spec.H = 48;
    spec.crop = 32;
    spec.directorKeys = {"b1", "b4"};
    bundle = tmp.str("bundle");
    engine = tmp.str("engine");
    le::forge::writeBundle(bundle, spec);
    le::forge::writeDirector(bundle + "/model_render.onnx", spec);
    const auto fca = le::forge::writeFcaModels(tmp.str("fca"));
    std::filesystem::copy_file(fca.model, bundle + "/fca_stream.onnx");
    extractor = fca.extractor;
    le::forge::MotionDirOptions m;
    m.nt = kNt;
    le::forge::writeMotionDir(engine, m);
  }
  size_t frameBytes() const { return size_t(spec.W) * spec.H * 3; }
};

// Two pushers, two pullers and a controller (interrupt, end, queries) on one
// pipeline until the pullers have taken their share; then, with the host
// threads stopped, the pipeline is driven into one of five states and
// destroyed there, and its context right after it. Every pulled frame is well
// formed, each puller sees seq rise, and the statistics count exactly what the
// pullers took.
TEST(LiveStorm, HostThreadsThenDestroyInAnyState) {
  Small f;
  const std::vector<int16_t> speech = le::test::speechPcm(40);
  const int rounds = 5 * kScale;
  for (int round = 0; round < rounds; ++round) {
    SCOPED_TRACE("round " + std::to_string(round));
    std::mt19937 rng(1000 + unsigned(round));
    ScopedEnv pipe("LE_UTT_PIPELINE_PASTE", round % 2 ? "1" : "0");
    le_ctx* ctx = le_create(f.bundle.c_str(), "b1", 1, nullptr);
    ASSERT_NE(ctx, nullptr) << le_last_error();
    le_utt_opts o{};
    o.motion_dir = f.engine.c_str();
    o.threads = 1;
    o.steady_model = rng() % 2 ? "b4" : "-";
    const int eagers[] = {-1, -2, 3, 1 << 30};
    o.eager = eagers[rng() % 4];
    o.silence_end_s = 0.01 + 0.01 * double(rng() % 8);
    le_utt* u = le_utt_create(ctx, &o);
    ASSERT_NE(u, nullptr) << le_utt_last_error();
    ASSERT_TRUE(waitReady(u)) << le_utt_last_error();

    const uint64_t share = 15 + rng() % 40;  // frames each puller takes
    std::atomic<int> pullersDone{0};
    std::atomic<uint64_t> pulled{0}, speechPulled{0}, bad{0};
    std::vector<std::thread> host;
    for (int p = 0; p < 2; ++p) {
      host.emplace_back([&, p, seed = unsigned(rng())] {
        std::mt19937 r(seed);
        size_t at = (size_t(p) * 7919) % speech.size();
        while (pullersDone < 2) {
          const int n = int(std::min<size_t>(64 + r() % 2000, speech.size() - at));
          le_utt_push_audio(u, speech.data() + at, n);
          at = (at + size_t(n)) % speech.size();
          sleepUs(r, 3000);
        }
      });
      host.emplace_back([&, seed = unsigned(rng())] {
        std::mt19937 r(seed);
        std::vector<uint8_t> rgb(f.frameBytes());
        uint64_t mine = 0, lastSeq = 0;
        while (mine < share) {
          le_utt_frame_info i{};
          if (le_utt_pull_frame(u, rgb.data(), rgb.size(), &i) != 1) {
            sleepUs(r, 500);
            continue;
          }
          const bool formed = i.kind >= 0 && i.kind <= 2 && (i.kind == 1 ? i.tag >= 0 : i.tag == -1) && i.si >= 0 &&
                              i.si < kNt && (mine == 0 || i.seq > lastSeq);
          if (!formed) ++bad;
          lastSeq = i.seq;
          ++mine;
          ++pulled;
          if (i.kind == 1) ++speechPulled;
          sleepUs(r, 800);
        }
        ++pullersDone;
      });
    }
    host.emplace_back([&, seed = unsigned(rng())] {
      std::mt19937 r(seed);
      char text[64];
      le_utt_stats st{};
      while (pullersDone < 2) {
        switch (r() % 6) {
          case 0: le_utt_interrupt(u); break;
          case 1: le_utt_end_utterance(u); break;
          case 2: le_utt_get_stats(u, &st); break;
          case 3: le_utt_render_status(u, text, sizeof text, nullptr); break;
          default: le_utt_frames_available(u); break;
        }
        sleepUs(r, 6000);
      }
    });
    for (std::thread& t : host) t.join();
    EXPECT_EQ(bad.load(), 0u);
    le_utt_stats st{};
    le_utt_get_stats(u, &st);
    EXPECT_EQ(st.frames_pulled, pulled.load());
    EXPECT_EQ(st.speech_frames_pulled, speechPulled.load());
    uint64_t failures = 1;
    EXPECT_EQ(le_utt_render_status(u, nullptr, 0, &failures), 0);
    EXPECT_EQ(failures, 0u);

    // The state destruction finds it in.
    std::vector<uint8_t> rgb(f.frameBytes());
    le_utt_interrupt(u);
    switch (round % 5) {
      case 0:  // audio pending, not yet taken
        le_utt_push_audio(u, speech.data(), int(speech.size()));
        break;
      case 1:  // a full ring: the producer waits for room
        le_utt_push_audio(u, speech.data(), int(speech.size()));
        le_utt_end_utterance(u);
        while (le_utt_frames_available(u) < 8) std::this_thread::sleep_for(1ms);
        break;
      case 2: {  // speech rendering on
        le_utt_push_audio(u, speech.data(), int(speech.size()));
        le_utt_end_utterance(u);
        const int speak = 1 + int(rng() % 5);
        int seen = 0;
        pullUntil(u, rgb, [&](const le_utt_frame_info& i) { return i.kind == 1 && ++seen == speak; });
        break;
      }
      case 3: {  // an interrupt's ramp under way
        le_utt_push_audio(u, speech.data(), int(speech.size()));
        pullUntil(u, rgb, [](const le_utt_frame_info& i) { return i.kind == 1; });
        le_utt_interrupt(u);
        const le_utt_frame_info first = pullUntil(u, rgb, [](const le_utt_frame_info&) { return true; });
        EXPECT_EQ(first.kind, 2);
        break;
      }
      default: {  // another pipeline still warming on the same context
        le_utt_destroy(u);
        u = le_utt_open(ctx, f.engine.c_str());
        ASSERT_NE(u, nullptr) << le_utt_last_error();
        break;
      }
    }
    sleepUs(rng, 3000);
    le_utt_destroy(u);
    le_destroy(ctx);
  }
}

// A clip run on one thread while three others each open a context of their
// own over the same bundle (a bare one rendering a crop, one under a live
// pipeline, one inside another clip pipeline) and destroy it again: the clip's
// frames are exactly those of the same clip run with nothing else going on.
TEST(ClipStorm, RunsWhileOtherContextsComeAndGo) {
  Small f;
  std::vector<float> clip = le::test::speechFixture();
  clip.resize(size_t(kHop) * 30 - 100);
  struct Frames {
    std::vector<std::vector<unsigned char>> all;
    static void take(void* user, int, const unsigned char* rgb, int w, int h) {
      static_cast<Frames*>(user)->all.emplace_back(rgb, rgb + size_t(w) * size_t(h) * 3);
    }
  };
  auto runClip = [&](Frames& out) {
    le_stream* s = le_stream_create(f.bundle.c_str(), f.extractor.c_str(), 1, 0, 1.f);
    if (!s) return -2;
    const int n = le_stream_run(s, clip.data(), int(clip.size()), &Frames::take, &out);
    le_stream_destroy(s);
    return n;
  };
  Frames alone;
  ASSERT_EQ(runClip(alone), 30) << le_stream_last_error();

  const std::vector<int16_t> speech = le::test::speechPcm(10);
  for (int round = 0; round < 2 * kScale; ++round) {
    SCOPED_TRACE("round " + std::to_string(round));
    std::atomic<bool> clipDone{false};
    std::atomic<int> others{0}, failed{0};
    std::vector<std::thread> churn;
    for (int t = 0; t < 3; ++t) {
      churn.emplace_back([&, t, seed = unsigned(round * 2 + t)] {
        std::mt19937 r(seed);
        std::vector<uint8_t> rgb(f.frameBytes());
        while (!clipDone) {
          if (t == 2) {
            Frames other;
            if (runClip(other) != 30) ++failed;
            ++others;
            continue;
          }
          le_ctx* c = le_create(f.bundle.c_str(), "b1", 1, nullptr);
          if (!c) {
            ++failed;
            return;
          }
          if (t == 0) {
            std::vector<float> xs(63, 0.f);
            if (!le_render_kp_crop(c, int(r() % kNt), xs.data(), xs.data())) ++failed;
          } else {
            le_utt* u = le_utt_open(c, f.engine.c_str());
            if (u && waitReady(u)) {
              le_utt_push_audio(u, speech.data(), int(speech.size()));
              le_utt_end_utterance(u);
              for (int k = 0; k < int(r() % 12); ++k)
                pullUntil(u, rgb, [](const le_utt_frame_info&) { return true; });
            } else {
              ++failed;
            }
            le_utt_destroy(u);
          }
          sleepUs(r, 2000);
          le_destroy(c);
          ++others;
        }
      });
    }
    Frames busy;
    const int n = runClip(busy);
    clipDone = true;
    for (std::thread& t : churn) t.join();
    ASSERT_EQ(n, 30) << le_stream_last_error();
    EXPECT_EQ(failed.load(), 0);
    EXPECT_GT(others.load(), 0);
    ASSERT_EQ(busy.all.size(), alone.all.size());
    for (size_t k = 0; k < busy.all.size(); ++k) ASSERT_EQ(busy.all[k], alone.all[k]) << "frame " << k;
  }
}

// The teeth fixture of the live teeth tests.
using Toothed = le::test::ToothedLive;

// A host thread pulling every frame into a list until stopped; the others
// learn from the counters how far it has come.
struct Puller {
  le_utt* u;
  size_t bytes;
  std::vector<le_utt_frame_info> got;  // read once the thread has joined
  std::atomic<bool> stop{false};
  std::atomic<int> ramps{0}, idleAfterRamp{0};
  std::thread th;
  Puller(le_utt* pipeline, size_t frameBytes, unsigned seed) : u(pipeline), bytes(frameBytes) {
    th = std::thread([this, seed] {
      std::mt19937 r(seed);
      std::vector<uint8_t> rgb(bytes);
      while (!stop) {
        le_utt_frame_info i{};
        if (le_utt_pull_frame(u, rgb.data(), rgb.size(), &i) == 1) {
          got.push_back(i);
          if (i.kind == 2) ++ramps, idleAfterRamp = 0;
          else if (i.kind == 0 && ramps > 0) ++idleAfterRamp;
        }
        sleepUs(r, 400);
      }
    });
  }
  // Until `n` ramp frames and two idle frames after them have been pulled.
  void awaitRampsThenIdle(int n) {
    while (ramps < n || idleAfterRamp < 2) std::this_thread::sleep_for(1ms);
  }
  const std::vector<le_utt_frame_info>& join() {
    stop = true;
    th.join();
    return got;
  }
};

// Idle frames, then exactly `speech` speech frames tagged in order, then `ramp` ramp frames.
void expectUtterance(const std::vector<le_utt_frame_info>& got, int speech, int ramp) {
  size_t k = 0;
  while (k < got.size() && got[k].kind == 0) ++k;
  ASSERT_GE(got.size(), k + size_t(speech + ramp));
  for (int t = 0; t < speech; ++t) {
    ASSERT_EQ(got[k + size_t(t)].kind, 1) << t;
    ASSERT_EQ(got[k + size_t(t)].tag, t);
  }
  for (int r = 0; r < ramp; ++r) ASSERT_EQ(got[k + size_t(speech + r)].kind, 2) << r;
}

// The teeth stage fails at a random crop of an utterance while a host thread
// pulls: the utterance still arrives whole (ceil(samples / 640) speech frames,
// tags in order, then the ramp), the stage reports -1 with the failure's text,
// rendering reports no failure of its own. Re-armed from another thread while
// idle frames flow, the next utterance puts every speech and ramp crop
// through the new stage.
TEST(TeethStorm, FailsMidUtteranceAndIsReArmedWhileFramesFlow) {
  Toothed f;
  const std::vector<int16_t> first = le::test::speechPcm(10), second = le::test::speechPcm(6);
  const int speech1 = int((first.size() + kHop - 1) / kHop), speech2 = int((second.size() + kHop - 1) / kHop);
  constexpr int kRamp = 6;
  ScopedEnv steadyEnv("LE_STEADY_MODEL", nullptr);
  // One context outliving a pipeline per round.
  le_ctx* ctx = le_create(f.bundle.c_str(), "b1", 1, nullptr);
  ASSERT_NE(ctx, nullptr) << le_last_error();
  for (int round = 0; round < 2 * kScale; ++round) {
    SCOPED_TRACE("round " + std::to_string(round));
    std::mt19937 rng(77 + unsigned(round));
    ScopedEnv pipe("LE_UTT_PIPELINE_PASTE", round % 2 ? "1" : "0");
    le_utt_opts o{};
    o.motion_dir = f.engine.c_str();
    o.threads = 1;
    o.steady_model = "-";
    o.ramp_frames = kRamp;
    le_utt* u = le_utt_create(ctx, &o);
    ASSERT_NE(u, nullptr) << le_utt_last_error();
    ASSERT_TRUE(waitReady(u)) << le_utt_last_error();
    char err[512] = "";
    ASSERT_EQ(f.attach(u, err, sizeof err), 0) << err;

    // Counted in crops fed to the pass; idle frames feed none, so it fires
    // within the utterance's speech.
    le::utt::failTeethAfterForTest(int(rng() % unsigned(speech1)));
    {
      Puller host(u, f.frameBytes(), unsigned(rng()));
      le_utt_push_audio(u, first.data(), int(first.size()));
      le_utt_end_utterance(u);
      host.awaitRampsThenIdle(kRamp);
      expectUtterance(host.join(), speech1, kRamp);
    }
    le::utt::failTeethAfterForTest(-1);
    char text[128] = "";
    EXPECT_EQ(le_utt_tessera_stats(u, nullptr, nullptr, text, sizeof text), -1);
    EXPECT_STREQ(text, "injected teeth failure");
    uint64_t failures = 1;
    EXPECT_EQ(le_utt_render_status(u, nullptr, 0, &failures), 0);
    EXPECT_EQ(failures, 0u);

    {
      Puller host(u, f.frameBytes(), unsigned(rng()));
      std::thread armer([&] { EXPECT_EQ(f.attach(u, err, sizeof err), 0) << err; });
      armer.join();
      EXPECT_EQ(le_utt_tessera_stats(u, nullptr, nullptr, nullptr, 0), 1);
      le_utt_push_audio(u, second.data(), int(second.size()));
      le_utt_end_utterance(u);
      host.awaitRampsThenIdle(kRamp);
      expectUtterance(host.join(), speech2, kRamp);
    }
    uint64_t composed = 0, passed = 0;
    EXPECT_EQ(le_utt_tessera_stats(u, &composed, &passed, text, sizeof text), 1) << text;
    EXPECT_EQ(composed + passed, uint64_t(speech2 + kRamp));
    le_utt_destroy(u);
  }
  le_destroy(ctx);
}

}  // namespace
