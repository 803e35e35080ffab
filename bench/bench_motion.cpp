// The motion engine on the forged motion directory: real-time factor for a
// 30-second clip (the speech fixture repeated), split into the library's own
// arithmetic and time inside ONNX Runtime, and first-frame latency.
#include <benchmark/benchmark.h>

#include "bench_speech.h"

#include <chrono>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <cstring>
#include <unistd.h>

#include "audio/le_motion.h"
#include "forge/forge_motion.h"

namespace {

const std::string& motionDir() {
  static const std::string dir = [] {
    const std::string d = (std::filesystem::temp_directory_path() / ("le-bench-motion-" + std::to_string(::getpid()))).string();
    le::forge::writeMotionDir(d);
    return d;
  }();
  return dir;
}

const std::vector<float>& clip30() { return le::bench::speech30s(); }

// Streams the clip in 20 ms pieces and pulls as it goes.
void BM_MotionRealTime(benchmark::State& state) {
  le::MotionEngine e(motionDir(), 1, "");
  const auto& audio = clip30();
  std::vector<int> si(256);
  std::vector<float> xs(256 * 63), xd(256 * 63);
  double wall = 0, ort = 0;
  for (auto _ : state) {
    e.reset(0, 1, 0);
    e.clearOrtSeconds();
    const auto t0 = std::chrono::steady_clock::now();
    for (size_t at = 0; at < audio.size(); at += 320) {
      e.push(audio.data() + at, int(std::min<size_t>(320, audio.size() - at)));
      e.pull(si.data(), xs.data(), xd.data(), 256);
    }
    e.finish();
    while (e.pull(si.data(), xs.data(), xd.data(), 256) > 0) {}
    wall += std::chrono::duration<double>(std::chrono::steady_clock::now() - t0).count();
    ort += e.ortSeconds();
  }
  const double n = double(state.iterations()), clipSec = double(audio.size()) / 16000.0;
  state.counters["rtf"] = wall / n / clipSec;
  state.counters["x_realtime"] = clipSec / (wall / n);
  state.counters["own_ms"] = (wall - ort) / n * 1000.0;
  state.counters["ort_ms"] = ort / n * 1000.0;
}
BENCHMARK(BM_MotionRealTime)->Unit(benchmark::kMillisecond)->UseRealTime();

// Wall time from the first sample to the first pullable frame, pushing in real-time
// sized pieces (20 ms) with no waiting: eager off (a full 80-frame chunk), a fixed
// threshold, and the adaptive one. `audio_ms` is how much audio had to be pushed.
void BM_MotionFirstFrame(benchmark::State& state) {
  const int eager = int(state.range(0));
  le::MotionEngine e(motionDir(), 1, "");
  const auto& audio = clip30();
  double audioMs = 0;
  for (auto _ : state) {
    e.reset(0, 1, 0);
    e.setEager(eager);
    size_t at = 0;
    while (at < audio.size()) {
      e.push(audio.data() + at, 320);
      at += 320;
      if (e.avail() > 0) break;
    }
    audioMs += double(at) / 16.0;
  }
  state.counters["audio_ms"] = audioMs / double(state.iterations());
}
BENCHMARK(BM_MotionFirstFrame)->Arg(0)->Arg(1)->Arg(4)->Arg(-1)->Unit(benchmark::kMillisecond)->UseRealTime();

}  // namespace
BENCHMARK_MAIN();
