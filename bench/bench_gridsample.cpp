// GridSampleFast against ONNX Runtime's own GridSample: the same node (bilinear,
// border, align_corners 0), the same tensors (12 channels of 512x512, a 512x512
// grid), once as forged and once after the load-time rewrite. BM_Ratio reports
// speedup = standard time / fast time measured in the same loop.
#include <benchmark/benchmark.h>
#include <onnxruntime_cxx_api.h>

#include <chrono>
#include <memory>
#include <random>

#include "forge/forge_onnx.h"
#include "graph/gridsample_fast.h"
#include "ops/gridsample_fast.h"

namespace {

namespace ob = le::forge::onnxb;
constexpr int64_t kC = 12, kS = 512;
constexpr int kThreads = 2;

struct Fixture {
  Ort::Env env{ORT_LOGGING_LEVEL_WARNING, "bench"};
  std::vector<float> x, grid, y;
  std::unique_ptr<Ort::Session> standard, fast;
  Ort::MemoryInfo mem = Ort::MemoryInfo::CreateCpu(OrtArenaAllocator, OrtMemTypeDefault);

  Fixture() : x(size_t(kC * kS * kS)), grid(size_t(kS * kS * 2)), y(x.size()) {
    std::mt19937 rng(1);
    std::uniform_real_distribution<float> u(0, 1), d(-0.02f, 0.02f);
    for (float& v : x) v = u(rng);
    // A gentle warp of the identity grid, as the director's motion field is.
    for (int64_t r = 0; r < kS; ++r)
      for (int64_t c = 0; c < kS; ++c) {
        grid[size_t(2 * (r * kS + c))] = (2.0f * c + 1) / kS - 1 + d(rng);
        grid[size_t(2 * (r * kS + c) + 1)] = (2.0f * r + 1) / kS - 1 + d(rng);
      }
    ob::Model m("gs", 17);
    m.input("x", ob::kFloat, {1, kC, kS, kS});
    m.input("grid", ob::kFloat, {1, kS, kS, 2});
    m.node("GridSample", {"x", "grid"}, {"y"},
           {ob::Attr::s("mode", "bilinear"), ob::Attr::s("padding_mode", "border"), ob::Attr::i("align_corners", 0)});
    m.output("y", ob::kFloat, {1, kC, kS, kS});
    const std::string s = m.bytes();
    std::vector<uint8_t> bytes(s.begin(), s.end());
    standard = open(bytes, false);
    if (le::rewriteGridSampleToFast(bytes) != 1) throw std::runtime_error("bench: rewrite did not apply");
    fast = open(bytes, true);
  }

  std::unique_ptr<Ort::Session> open(const std::vector<uint8_t>& bytes, bool custom) {
    Ort::SessionOptions so;
    so.SetIntraOpNumThreads(kThreads);
    so.SetInterOpNumThreads(1);
    so.SetGraphOptimizationLevel(GraphOptimizationLevel::ORT_ENABLE_ALL);
    so.AddConfigEntry("session.intra_op.allow_spinning", "0");
    if (custom) le::registerGridSampleFast(so);
    return std::make_unique<Ort::Session>(env, bytes.data(), bytes.size(), so);
  }

  void run(Ort::Session& s) {
    const int64_t xs[4] = {1, kC, kS, kS}, gs[4] = {1, kS, kS, 2};
    Ort::Value in[2] = {Ort::Value::CreateTensor<float>(mem, x.data(), x.size(), xs, 4),
                        Ort::Value::CreateTensor<float>(mem, grid.data(), grid.size(), gs, 4)};
    Ort::Value out = Ort::Value::CreateTensor<float>(mem, y.data(), y.size(), xs, 4);
    const char* inNames[2] = {"x", "grid"};
    const char* outNames[1] = {"y"};
    s.Run(Ort::RunOptions{nullptr}, inNames, in, 2, outNames, &out, 1);
  }
};

Fixture& fx() {
  static Fixture f;
  return f;
}

void BM_OrtGridSample(benchmark::State& st) {
  auto& f = fx();
  for (auto _ : st) f.run(*f.standard);
}
BENCHMARK(BM_OrtGridSample)->Unit(benchmark::kMillisecond)->UseRealTime();

void BM_GridSampleFast(benchmark::State& st) {
  auto& f = fx();
  for (auto _ : st) f.run(*f.fast);
}
BENCHMARK(BM_GridSampleFast)->Unit(benchmark::kMillisecond)->UseRealTime();

// The kernel alone on one thread, both processor paths.
void BM_KernelOneThread(benchmark::State& st) {
  auto& f = fx();
  const bool vec = st.range(0) != 0;
  for (auto _ : st)
    le::gridsample_fast_band_path(f.x.data(), f.grid.data(), f.y.data(), kC, kS, kS, kS, kS, 0, kS, vec);
  st.SetLabel(vec ? (le::gridsampleFastHasVectorPath() ? "avx2+fma" : "scalar (no avx2)") : "scalar");
}
BENCHMARK(BM_KernelOneThread)->Arg(0)->Arg(1)->Unit(benchmark::kMillisecond)->UseRealTime();

void BM_Ratio(benchmark::State& st) {
  auto& f = fx();
  using clk = std::chrono::steady_clock;
  double tStd = 0, tFast = 0;
  for (auto _ : st) {
    auto t0 = clk::now();
    f.run(*f.standard);
    auto t1 = clk::now();
    f.run(*f.fast);
    auto t2 = clk::now();
    tStd += std::chrono::duration<double>(t1 - t0).count();
    tFast += std::chrono::duration<double>(t2 - t1).count();
  }
  st.counters["speedup"] = tFast > 0 ? tStd / tFast : 0;
}
BENCHMARK(BM_Ratio)->Unit(benchmark::kMillisecond)->UseRealTime()->MinTime(2.0);

}  // namespace

BENCHMARK_MAIN();
