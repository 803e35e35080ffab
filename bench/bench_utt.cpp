// The live pipeline end to end: 10 s of speech pushed at once, frames pulled as
// fast as they come. Reports sustained speech frames per second, the first-frame
// latency, and an interrupt's way back to idle. Crop 64 makes the forge's
// director nearly free, so the figures are the pipeline's own overhead (driver
// decode, paste, ring copies); crop 512 is the demo's director.
// Args: frame height (720 or 1080), crop side, pipelined paste (0/1), batched director (0/1).
#include <benchmark/benchmark.h>

#include <unistd.h>

#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <map>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "bench_bundle.h"
#include "bench_speech.h"
#include "forge/forge.h"
#include "forge/forge_motion.h"
#include "le/le.h"
#include "le/le_utt.h"

namespace {

using Clock = std::chrono::steady_clock;

struct Fixture {
  std::filesystem::path root;
  std::string bundle, engine;
  int W = 0, H = 0;
  Fixture(int height, int crop) {
    const char* tmp = std::getenv("LE_TEST_TMP");
    root = std::filesystem::path(tmp && *tmp ? tmp : "/tmp") /
           ("le-bench-utt-" + std::to_string(::getpid()) + "-" + std::to_string(height) + "-" + std::to_string(crop));
    le::forge::BundleSpec s;
    s.nt = 50;
    s.H = height;
    s.W = height == 1080 ? 1920 : 1280;
    s.crop = crop;
    s.frames = 8;
    s.jpegDriver = false;  // the driver as a movie, as shipped bundles carry it
    s.mp4Driver = true;
    s.directorKeys = {"b1", "b4"};
    W = s.W;
    H = s.H;
    bundle = (root / "bundle").string();
    engine = (root / "engine").string();
    le::forge::writeBundle(bundle, s);
    le::forge::MotionDirOptions m;
    m.nt = s.nt;
    le::forge::writeMotionDir(engine, m);
  }
  ~Fixture() {
    std::error_code ec;
    std::filesystem::remove_all(root, ec);
  }
};

Fixture& fixture(int height, int crop) {
  static std::map<std::pair<int, int>, std::unique_ptr<Fixture>> all;
  auto& f = all[{height, crop}];
  if (!f) f = std::make_unique<Fixture>(height, crop);
  return *f;
}

std::vector<int16_t> speechPcm(double seconds) {
  const std::vector<float>& s = le::bench::speech30s();
  std::vector<int16_t> out(size_t(seconds * 16000));
  for (size_t i = 0; i < out.size(); ++i) out[i] = int16_t(std::max(-1.f, std::min(1.f, s[i])) * 32767.f);
  return out;
}

void BM_UttSpeech(benchmark::State& state) {
  const int height = int(state.range(0)), crop = int(state.range(1));
  Fixture& f = fixture(height, crop);
  setenv("LE_UTT_PIPELINE_PASTE", state.range(2) ? "1" : "0", 1);
  le_ctx* ctx = le_create(f.bundle.c_str(), "b1", 0, nullptr);
  if (!ctx) {
    state.SkipWithError(le_last_error());
    return;
  }
  le_utt_opts o{};
  o.motion_dir = f.engine.c_str();
  o.steady_model = state.range(3) ? "b4" : "-";
  o.eager = -1;
  le_utt* u = le::bench::readyLive(state, ctx, o);
  if (!u) return;
  const std::vector<int16_t> pcm = speechPcm(10.0);
  const int speech = int((pcm.size() + 639) / 640);
  const size_t bytes = size_t(f.W) * f.H * 3;
  std::vector<uint8_t> frame(bytes);
  double fpsSum = 0, firstSum = 0, idleMsSum = 0;
  int64_t runs = 0, interruptFrames = 0;
  for (auto _ : state) {
    // Speech: from the first push to the last speech frame pulled.
    const Clock::time_point t0 = Clock::now();
    le_utt_push_audio(u, pcm.data(), int(pcm.size()));
    le_utt_end_utterance(u);
    int got = 0;
    Clock::time_point first{}, last{};
    le_utt_frame_info info{};
    while (got < speech) {
      if (le_utt_pull_frame(u, frame.data(), bytes, &info) != 1) {
        std::this_thread::sleep_for(std::chrono::microseconds(200));
        continue;
      }
      if (info.kind != 1) continue;
      if (got++ == 0) first = Clock::now();
      last = Clock::now();
    }
    fpsSum += (speech - 1) / std::chrono::duration<double>(last - first).count();
    firstSum += std::chrono::duration<double, std::milli>(first - t0).count();
    // An interrupt after a second of the next utterance: frames and time to idle.
    le_utt_push_audio(u, pcm.data(), int(pcm.size()));
    for (int k = 0; k < 25;) {
      if (le_utt_pull_frame(u, frame.data(), bytes, &info) == 1 && info.kind == 1) ++k;
    }
    const Clock::time_point ti = Clock::now();
    le_utt_interrupt(u);
    for (;;) {
      if (le_utt_pull_frame(u, frame.data(), bytes, &info) != 1) continue;
      ++interruptFrames;
      if (info.kind == 0) break;
    }
    idleMsSum += std::chrono::duration<double, std::milli>(Clock::now() - ti).count();
    ++runs;
  }
  state.counters["speech_fps"] = fpsSum / double(runs);
  state.counters["first_frame_ms"] = firstSum / double(runs);
  state.counters["interrupt_to_idle_frames"] = double(interruptFrames) / double(runs);
  state.counters["interrupt_to_idle_ms"] = idleMsSum / double(runs);
  le_utt_destroy(u);
  le_destroy(ctx);
  unsetenv("LE_UTT_PIPELINE_PASTE");
}
BENCHMARK(BM_UttSpeech)
    ->ArgNames({"H", "crop", "pipe", "batch"})
    ->Args({720, 64, 0, 0})
    ->Args({720, 64, 1, 0})
    ->Args({1080, 64, 0, 0})
    ->Args({1080, 64, 1, 0})
    ->Args({1080, 64, 1, 1})
    ->Args({720, 512, 0, 0})
    ->Args({720, 512, 1, 1})
    ->Iterations(2)
    ->Unit(benchmark::kMillisecond)
    ->UseRealTime();

// Idle video alone: driver frames at the host's pace, pulled as fast as possible.
void BM_UttIdle(benchmark::State& state) {
  Fixture& f = fixture(int(state.range(0)), 64);
  le_ctx* ctx = le_create(f.bundle.c_str(), "b1", 0, nullptr);
  le_utt_opts o{};
  o.motion_dir = f.engine.c_str();
  o.steady_model = "-";
  le_utt* u = ctx ? le_utt_create(ctx, &o) : nullptr;
  if (!u) {
    state.SkipWithError(ctx ? le_utt_last_error() : le_last_error());
    le_destroy(ctx);
    return;
  }
  const size_t bytes = size_t(f.W) * f.H * 3;
  std::vector<uint8_t> frame(bytes);
  for (auto _ : state) {
    le_utt_frame_info info{};
    while (le_utt_pull_frame(u, frame.data(), bytes, &info) != 1) {
    }
  }
  state.counters["fps"] = benchmark::Counter(double(state.iterations()), benchmark::Counter::kIsRate);
  le_utt_destroy(u);
  le_destroy(ctx);
}
BENCHMARK(BM_UttIdle)->Arg(720)->Arg(1080)->Unit(benchmark::kMillisecond)->UseRealTime()->MinTime(2.0);

}  // namespace

BENCHMARK_MAIN();
