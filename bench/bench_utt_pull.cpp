// The cost of taking one finished frame from the live pipeline at 1080p
// (le_utt_pull_frame: the copy out of the ring), the figure bench/live_pull.py
// sets the Python binding's Live.pull() against. Crop 64 keeps rendering cheap;
// each timed pull waits, untimed, for a full ring, so no frame is being made
// while it runs.
#include <benchmark/benchmark.h>

#include <algorithm>
#include <chrono>
#include <cstdint>
#include <string>
#include <thread>
#include <vector>

#include "bench_bundle.h"
#include "bench_speech.h"
#include "forge/forge_motion.h"
#include "le/le.h"
#include "le/le_utt.h"

namespace {

using Clock = std::chrono::steady_clock;

// Frames the ring holds when full (le_utt_frames_available's ceiling).
constexpr int kRing = 8;

// The same identity live_pull.py forges with le-forge bundle --nt 50 --w 1920
// --h 1080 --crop 64 --frames 8 --models b1 --mp4 --no-jpeg.
le::forge::BundleSpec spec() {
  le::forge::BundleSpec s;
  s.nt = 50;
  s.W = 1920;
  s.H = 1080;
  s.crop = 64;
  s.frames = 8;
  s.jpegDriver = false;
  s.mp4Driver = true;
  s.directorKeys = {"b1"};
  return s;
}

bool waitFull(le_utt* u) {
  const auto end = Clock::now() + std::chrono::seconds(10);
  while (le_utt_frames_available(u) < kRing) {
    if (Clock::now() > end) return le_utt_frames_available(u) > 0;
    std::this_thread::sleep_for(std::chrono::microseconds(200));
  }
  return true;
}

void BM_UttPull1080(benchmark::State& state) {
  static le::bench::ForgedBundle bundle("le-bench-utt-pull", spec());
  const std::string engine = bundle.dir.string() + "-engine";
  le::forge::MotionDirOptions m;
  m.nt = bundle.spec.nt;
  le::forge::writeMotionDir(engine, m);
  le_ctx* ctx = le_create(bundle.dir.c_str(), "b1", 0, nullptr);
  if (!ctx) {
    state.SkipWithError(le_last_error());
    return;
  }
  le_utt_opts o{};
  o.motion_dir = engine.c_str();
  o.steady_model = "-";
  le_utt* u = le::bench::readyLive(state, ctx, o);
  if (!u) return;
  const std::vector<float>& speech = le::bench::speech30s();
  std::vector<int16_t> pcm(speech.size());
  for (size_t i = 0; i < pcm.size(); ++i) pcm[i] = int16_t(std::clamp(speech[i], -1.f, 1.f) * 32767.f);
  le_utt_push_audio(u, pcm.data(), int(pcm.size()));
  le_utt_end_utterance(u);

  const size_t bytes = size_t(le_width(ctx)) * size_t(le_height(ctx)) * 3;
  std::vector<uint8_t> frame(bytes);
  le_utt_frame_info info{};
  int64_t speechFrames = 0;
  for (auto _ : state) {
    if (!waitFull(u)) {
      state.SkipWithError("the pipeline stopped making frames");
      break;
    }
    const auto t0 = Clock::now();
    const int got = le_utt_pull_frame(u, frame.data(), bytes, &info);
    state.SetIterationTime(std::chrono::duration<double>(Clock::now() - t0).count());
    if (got != 1) {
      state.SkipWithError("no frame although one was available");
      break;
    }
    speechFrames += info.kind == 1;
  }
  state.counters["speech_frames"] = double(speechFrames);
  state.SetBytesProcessed(int64_t(state.iterations()) * int64_t(bytes));
  le_utt_destroy(u);
  le_destroy(ctx);
  std::error_code ec;
  std::filesystem::remove_all(engine, ec);
}
// 300 pulls stay within the 750 speech frames of 30 s.
BENCHMARK(BM_UttPull1080)->Iterations(300)->Repetitions(3)->UseManualTime()->Unit(benchmark::kMicrosecond);

}  // namespace

BENCHMARK_MAIN();
