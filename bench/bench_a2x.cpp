// The expression engine on a 30-second clip with the forge's models: real-time
// factor (compute seconds per audio second), split into time inside ONNX
// Runtime and the library's own arithmetic (windows, normalisation,
// interpolation, copies, band masks), for the legacy 8 s window and the
// short-window frontend, offline and at the live cadence (320 ms pushes).
#include <benchmark/benchmark.h>

#include "bench_speech.h"
#include <unistd.h>

#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

#include "audio/le_a2x.h"
#include "forge/forge_a2x.h"

namespace {

constexpr int kRate = 16000;
constexpr int kSeconds = 30;

const std::vector<float>& clip30() { return le::bench::speech30s(); }

std::string forgeDir(bool shortWindow) {
  std::string dir = std::filesystem::temp_directory_path() /
                    ("le-bench-a2x-" + std::to_string(::getpid()) + (shortWindow ? "-short" : "-legacy"));
  le::forge::A2xDirOptions o;
  o.shortWindow = shortWindow;
  auto files = le::forge::writeA2xDir(dir, o);
  ::setenv("W2V_ONNX", files.w2v.c_str(), 1);
  return dir;
}

void report(benchmark::State& state, double wallNs, uint64_t ortNs, int64_t runs) {
  const double audio = double(kSeconds) * double(runs);
  state.counters["rtf"] = wallNs * 1e-9 / audio;
  state.counters["rtf_ort"] = double(ortNs) * 1e-9 / audio;
  state.counters["rtf_lib"] = (wallNs - double(ortNs)) * 1e-9 / audio;
  state.counters["x_realtime"] = audio / (wallNs * 1e-9);
}

void BM_A2xOffline(benchmark::State& state) {
  const bool shortWindow = state.range(0) != 0;
  std::string dir = forgeDir(shortWindow);
  le::a2x::Engine e(dir, 1);
  auto clip = clip30();
  std::vector<float> out((clip.size() / 640 + 1) * 63);
  const uint64_t ort0 = e.ortNanos();
  double wall = 0;
  for (auto _ : state) {
    auto t0 = std::chrono::steady_clock::now();
    int n = e.deltas(clip.data(), int(clip.size()), out.data(), nullptr, int(out.size() / 63));
    wall += double(std::chrono::duration_cast<std::chrono::nanoseconds>(std::chrono::steady_clock::now() - t0).count());
    benchmark::DoNotOptimize(n);
  }
  report(state, wall, e.ortNanos() - ort0, state.iterations());
  state.SetLabel(shortWindow ? "short-window" : "legacy 8s");
  std::filesystem::remove_all(dir);
}

void BM_A2xLive(benchmark::State& state) {
  const bool shortWindow = state.range(0) != 0;
  std::string dir = forgeDir(shortWindow);
  le::a2x::Engine e(dir, 1);
  auto clip = clip30();
  std::vector<int> si(64);
  std::vector<float> xs(64 * 63), xd(64 * 63);
  const uint64_t ort0 = e.ortNanos();
  double wall = 0;
  for (auto _ : state) {
    auto t0 = std::chrono::steady_clock::now();
    e.reset(0, 1, 1);
    for (size_t at = 0; at < clip.size(); at += 5120) {
      e.push(clip.data() + at, int(std::min<size_t>(5120, clip.size() - at)));
      while (e.avail() > 0) e.pull(si.data(), xs.data(), xd.data(), nullptr, 64);
    }
    e.finish();
    while (e.pull(si.data(), xs.data(), xd.data(), nullptr, 64) > 0) {
    }
    wall += double(std::chrono::duration_cast<std::chrono::nanoseconds>(std::chrono::steady_clock::now() - t0).count());
  }
  report(state, wall, e.ortNanos() - ort0, state.iterations());
  state.SetLabel(shortWindow ? "short-window" : "legacy 8s");
  std::filesystem::remove_all(dir);
}

BENCHMARK(BM_A2xOffline)->Arg(0)->Arg(1)->Unit(benchmark::kMillisecond)->UseRealTime();
BENCHMARK(BM_A2xLive)->Arg(0)->Arg(1)->Unit(benchmark::kMillisecond)->UseRealTime();

}  // namespace

BENCHMARK_MAIN();
