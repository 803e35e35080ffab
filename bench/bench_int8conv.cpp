// Int8ConvVNNI against ONNX Runtime's own float Conv of the same shape, both as
// one-node models in sessions with 2 intra-op threads. The int8 node runs on
// the best path this processor has and on the portable path; BM_Ratio reports
// speedup = float Conv time / int8 time, each pair measured in the same loop.
#include <benchmark/benchmark.h>
#include <onnxruntime_cxx_api.h>

#include <chrono>
#include <map>
#include <memory>
#include <random>
#include <string>

#include "base/le_ort.h"
#include "forge/forge_int8.h"
#include "forge/forge_onnx.h"
#include "ops/int8conv_vnni.h"

namespace {

namespace ob = le::forge::onnxb;
constexpr int kThreads = 2;

struct Shape {
  int64_t C, S, M, k, pad;
};
// The director's working resolution (64 channels of 64x64), and a wider layer.
const Shape kShapes[] = {{64, 64, 64, 3, 1}, {256, 32, 256, 3, 1}};

struct Pair {
  Shape sh;
  std::vector<float> x, y;
  std::unique_ptr<Ort::Session> fp32, int8;

  explicit Pair(const Shape& s) : sh(s), x(size_t(s.C * s.S * s.S)), y(size_t(s.M * s.S * s.S)) {
    std::mt19937 rng(1);
    std::uniform_real_distribution<float> u(-1.0f, 1.0f);
    for (float& v : x) v = u(rng);
    {
      ob::Model m("i8", 17);
      m.input("x", ob::kFloat, {1, s.C, s.S, s.S});
      const std::string y = le::forge::int8Conv(m, "x", s.C, s.M, s.k, s.pad, 1, 3, "conv");
      m.node("Identity", {y}, {"y"});
      m.output("y", ob::kFloat, {1, s.M, s.S, s.S});
      int8 = open(m.bytes(), true);
    }
    {
      ob::Model m("f32", 17);
      m.input("x", ob::kFloat, {1, s.C, s.S, s.S});
      std::vector<float> w(size_t(s.M * s.C * s.k * s.k)), b(size_t(s.M));
      for (float& v : w) v = 0.05f * u(rng);
      for (float& v : b) v = 0.05f * u(rng);
      m.init("w", w, {s.M, s.C, s.k, s.k});
      m.init("b", b, {s.M});
      m.node("Conv", {"x", "w", "b"}, {"y"},
             {ob::Attr::ints("pads", {s.pad, s.pad, s.pad, s.pad}), ob::Attr::ints("kernel_shape", {s.k, s.k})});
      m.output("y", ob::kFloat, {1, s.M, s.S, s.S});
      fp32 = open(m.bytes(), false);
    }
  }

  static std::unique_ptr<Ort::Session> open(const std::string& bytes, bool custom) {
    Ort::SessionOptions so = le::ort::sessionOptions({kThreads, 1, GraphOptimizationLevel::ORT_ENABLE_ALL});
    if (custom) le::registerInt8ConvVNNI(so);
    return le::ort::open(std::vector<uint8_t>(bytes.begin(), bytes.end()), so);
  }

  void run(Ort::Session& s) {
    const int64_t xs[4] = {1, sh.C, sh.S, sh.S}, ys[4] = {1, sh.M, sh.S, sh.S};
    Ort::Value in = Ort::Value::CreateTensor<float>(le::ort::cpuMemory(), x.data(), x.size(), xs, 4);
    Ort::Value out = Ort::Value::CreateTensor<float>(le::ort::cpuMemory(), y.data(), y.size(), ys, 4);
    const char* inName = "x";
    const char* outName = "y";
    s.Run(Ort::RunOptions{nullptr}, &inName, &in, 1, &outName, &out, 1);
  }
};

Pair& pair(int i) {
  static std::map<int, std::unique_ptr<Pair>> pairs;
  auto& p = pairs[i];
  if (!p) p = std::make_unique<Pair>(kShapes[i]);
  return *p;
}

std::string label(int i, le::Int8ConvPath path) {
  const Shape& s = kShapes[size_t(i)];
  return "C" + std::to_string(s.C) + " " + std::to_string(s.S) + "x" + std::to_string(s.S) + " M" +
         std::to_string(s.M) + " " + le::int8ConvPathName(le::int8ConvActivePath()) +
         (path == le::Int8ConvPath::Auto ? "" : " (pinned)");
}

void BM_OrtConvFloat(benchmark::State& st) {
  auto& p = pair(int(st.range(0)));
  for (auto _ : st) p.run(*p.fp32);
  st.SetLabel(label(int(st.range(0)), le::Int8ConvPath::Auto));
}
BENCHMARK(BM_OrtConvFloat)->Arg(0)->Arg(1)->Unit(benchmark::kMillisecond)->UseRealTime();

// Arg 1: 0 = the best path here, 1 = portable.
void BM_Int8Conv(benchmark::State& st) {
  auto& p = pair(int(st.range(0)));
  const auto path = st.range(1) ? le::Int8ConvPath::Portable : le::Int8ConvPath::Auto;
  le::int8ConvForcePath(path);
  for (auto _ : st) p.run(*p.int8);
  st.SetLabel(label(int(st.range(0)), path));
  le::int8ConvForcePath(le::Int8ConvPath::Auto);
}
BENCHMARK(BM_Int8Conv)->ArgsProduct({{0, 1}, {0, 1}})->Unit(benchmark::kMillisecond)->UseRealTime();

void BM_Ratio(benchmark::State& st) {
  auto& p = pair(int(st.range(0)));
  const auto path = st.range(1) ? le::Int8ConvPath::Portable : le::Int8ConvPath::Auto;
  le::int8ConvForcePath(path);
  using clk = std::chrono::steady_clock;
  double tFloat = 0, tInt8 = 0;
  for (auto _ : st) {
    const auto t0 = clk::now();
    p.run(*p.fp32);
    const auto t1 = clk::now();
    p.run(*p.int8);
    const auto t2 = clk::now();
    tFloat += std::chrono::duration<double>(t1 - t0).count();
    tInt8 += std::chrono::duration<double>(t2 - t1).count();
  }
  st.counters["speedup"] = tInt8 > 0 ? tFloat / tInt8 : 0;
  st.SetLabel(label(int(st.range(0)), path));
  le::int8ConvForcePath(le::Int8ConvPath::Auto);
}
BENCHMARK(BM_Ratio)->ArgsProduct({{0, 1}, {0, 1}})->Unit(benchmark::kMillisecond)->UseRealTime()->MinTime(2.0);

}  // namespace

BENCHMARK_MAIN();
