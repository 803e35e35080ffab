// The whole-clip delta engine on the forged models: real-time factor for a
// 30-second clip (the speech fixture repeated), split into the library's own
// arithmetic (windows, normalisation, layer mean, mean removal, context stack)
// and time inside ONNX Runtime. Arg: intra-op threads (0 = the worker pool's size).
#include <benchmark/benchmark.h>

#include "bench_speech.h"

#include <unistd.h>

#include <chrono>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <iterator>

#include "audio/le_fca.h"
#include "forge/forge_fca.h"

namespace {

const le::forge::FcaModelPaths& models() {
  static const le::forge::FcaModelPaths p = [] {
    const auto d = std::filesystem::temp_directory_path() / ("le-bench-fca-" + std::to_string(::getpid()));
    auto paths = le::forge::writeFcaModels(d.string());
    return paths;
  }();
  return p;
}

const std::vector<float>& clip30() { return le::bench::speech30s(); }

void BM_FcaRealTime(benchmark::State& state) {
  le::FcaEngine e(models().extractor, models().model, int(state.range(0)));
  const auto& audio = clip30();
  const int T = int(le::fca::frames(int64_t(audio.size())));
  std::vector<float> out(size_t(T) * 63);
  double wall = 0, ort = 0;
  for (auto _ : state) {
    e.clearCounters();
    const auto t0 = std::chrono::steady_clock::now();
    if (e.deltas(audio.data(), int(audio.size()), out.data(), T) != T) state.SkipWithError("deltas failed");
    wall += std::chrono::duration<double>(std::chrono::steady_clock::now() - t0).count();
    ort += e.ortSeconds();
    benchmark::DoNotOptimize(out.data());
  }
  const double n = double(state.iterations()), clipSec = double(audio.size()) / 16000.0;
  state.counters["rtf"] = wall / n / clipSec;
  state.counters["x_realtime"] = clipSec / (wall / n);
  state.counters["own_ms"] = (wall - ort) / n * 1000.0;
  state.counters["ort_ms"] = ort / n * 1000.0;
}
BENCHMARK(BM_FcaRealTime)->Arg(1)->Arg(0)->Unit(benchmark::kMillisecond)->UseRealTime();

}  // namespace
BENCHMARK_MAIN();
