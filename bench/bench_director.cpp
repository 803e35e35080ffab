// The forged director at crop 512, one frame per run, 2 intra-op workers: the
// session's run time with each load-time rewrite on and off, and the renderer
// with the source cone hoisted (or taken by the warp node) over a source index
// that moves by one frame per render.
#include <benchmark/benchmark.h>


#include <cstdlib>
#include <memory>
#include <random>
#include <string>
#include <vector>

#include "base/le_ort.h"
#include "bench_bundle.h"
#include "bundle/le_bundle.h"
#include "driver/le_driver.h"
#include "forge/forge.h"
#include "forge/forge_onnx.h"
#include "graph/gridsample_fast.h"
#include "graph/head_cubic.h"
#include "graph/le_warp.h"
#include "ops/gridsample_fast.h"
#include "ops/int8conv_vnni.h"
#include "render/le_renderer.h"

namespace {

constexpr int kS = 512;
constexpr int kThreads = 2;

// Which rewrites a variant applies, in the renderer's order.
enum Variant { kNone, kGridSample, kGridSampleHead, kWarpGridSampleHead };
const char* const kVariantNames[] = {"no rewrite (runtime GridSample, cubic Resize)", "GridSampleFast",
                                     "GridSampleFast + head cubic", "WarpDirector + GridSampleFast + head cubic"};

std::vector<uint8_t> variantBytes(Variant v) {
  le::forge::BundleSpec spec;
  spec.crop = kS;
  const std::string s = le::forge::directorBytes(spec);
  std::vector<uint8_t> b(s.begin(), s.end());
  std::string reason;
  if (v == kWarpGridSampleHead) le::rewriteWarpBlockToCustomOp(b, reason);
  if (v != kNone) le::rewriteGridSampleToFast(b);
  if (v == kGridSampleHead || v == kWarpGridSampleHead) le::rewriteHeadCubicResize(b);
  return b;
}

// Args: the variant, the intra-op workers.
void BM_DirectorRun(benchmark::State& state) {
  const Variant v = Variant(state.range(0));
  const int threads = int(state.range(1));
  state.SetLabel(kVariantNames[v]);
  const std::vector<uint8_t> bytes = variantBytes(v);
  le::ort::SessionSpec spec;
  spec.intraThreads = threads;
  spec.level = ORT_ENABLE_ALL;
  Ort::SessionOptions so = le::ort::sessionOptions(spec);
  le::registerGridSampleFast(so);
  le::registerInt8ConvVNNI(so);
  auto session = le::ort::open(bytes, so);
  le::forge::BundleSpec bs;
  bs.crop = kS;
  std::mt19937 rng(1);
  std::uniform_real_distribution<float> u(0.f, 1.f), d(-0.03f, 0.03f);
  std::vector<float> pooled(65536), prgb(size_t(3) * kS * kS), kd, ks;
  for (float& x : pooled) x = u(rng);
  for (float& x : prgb) x = u(rng);
  const std::vector<float> kp = le::forge::targetKeypoints(bs);
  ks.assign(kp.begin(), kp.begin() + 63);
  kd = ks;
  for (float& x : kd) x += d(rng);
  const Ort::MemoryInfo& mem = le::ort::cpuMemory();
  const int64_t pooledShape[4] = {1, 64, 32, 32}, pShape[4] = {1, 3, kS, kS}, kpShape[3] = {1, 21, 3};
  std::vector<float> out(size_t(3) * kS * kS);
  Ort::IoBinding binding(*session);
  std::vector<Ort::Value> values;
  values.push_back(Ort::Value::CreateTensor<float>(mem, pooled.data(), pooled.size(), pooledShape, 4));
  values.push_back(Ort::Value::CreateTensor<float>(mem, prgb.data(), prgb.size(), pShape, 4));
  values.push_back(Ort::Value::CreateTensor<float>(mem, kd.data(), kd.size(), kpShape, 3));
  values.push_back(Ort::Value::CreateTensor<float>(mem, ks.data(), ks.size(), kpShape, 3));
  values.push_back(Ort::Value::CreateTensor<float>(mem, out.data(), out.size(), pShape, 4));
  binding.BindInput("pooled64", values[0]);
  binding.BindInput("P_rgb", values[1]);
  binding.BindInput("kp_driving", values[2]);
  binding.BindInput("kp_source", values[3]);
  binding.BindOutput("rgb", values[4]);
  session->Run(Ort::RunOptions{nullptr}, binding);  // warm-up
  for (auto _ : state) session->Run(Ort::RunOptions{nullptr}, binding);
}
BENCHMARK(BM_DirectorRun)
    ->ArgsProduct({{kNone, kGridSample, kGridSampleHead, kWarpGridSampleHead}, {1, kThreads}})
    ->Unit(benchmark::kMillisecond)
    ->UseRealTime()
    ->MinTime(2.0);

// The head alone at the forged director's size (a 128 x 128 plane from a
// Conv, upsampled x2 by a cubic Resize): the runtime's Resize against the
// rewrite's Pad + depthwise Conv + DepthToSpace. Arg: 0 Resize, 1 rewritten.
void BM_HeadCubic(benchmark::State& state) {
  namespace ob = le::forge::onnxb;
  constexpr int64_t n = kS / 4;
  ob::Model m("head", 17);
  m.input("x", ob::kFloat, {1, 1, n, n});
  m.init("w", {1 / 16.f, 2 / 16.f, 1 / 16.f, 2 / 16.f, 4 / 16.f, 2 / 16.f, 1 / 16.f, 2 / 16.f, 1 / 16.f}, {1, 1, 3, 3});
  m.init("scales", {1.f, 1.f, 2.f, 2.f}, {4});
  m.node("Conv", {"x", "w"}, {"c"}, {ob::Attr::ints("kernel_shape", {3, 3}), ob::Attr::ints("pads", {1, 1, 1, 1})});
  m.node("Resize", {"c", "", "scales"}, {"y"},
         {ob::Attr::s("mode", "cubic"), ob::Attr::s("coordinate_transformation_mode", "half_pixel")});
  m.output("y", ob::kFloat, {1, 1, 2 * n, 2 * n});
  const std::string str = m.bytes();
  std::vector<uint8_t> bytes(str.begin(), str.end());
  if (state.range(0) == 1 && le::rewriteHeadCubicResize(bytes) != 1) {
    state.SkipWithError("head not rewritten");
    return;
  }
  state.SetLabel(state.range(0) ? "Pad + Conv5x5(dw) + DepthToSpace" : "runtime cubic Resize");
  le::ort::SessionSpec spec;
  spec.intraThreads = kThreads;
  spec.level = ORT_ENABLE_ALL;
  Ort::SessionOptions so = le::ort::sessionOptions(spec);
  auto session = le::ort::open(bytes, so);
  std::vector<float> x(size_t(n * n)), y(size_t(4 * n * n));
  std::mt19937 rng(2);
  std::uniform_real_distribution<float> u(0.f, 1.f);
  for (float& v : x) v = u(rng);
  const int64_t xs[4] = {1, 1, n, n}, ys[4] = {1, 1, 2 * n, 2 * n};
  Ort::IoBinding binding(*session);
  Ort::Value in = Ort::Value::CreateTensor<float>(le::ort::cpuMemory(), x.data(), x.size(), xs, 4);
  Ort::Value out = Ort::Value::CreateTensor<float>(le::ort::cpuMemory(), y.data(), y.size(), ys, 4);
  binding.BindInput("x", in);
  binding.BindOutput("y", out);
  session->Run(Ort::RunOptions{nullptr}, binding);
  for (auto _ : state) session->Run(Ort::RunOptions{nullptr}, binding);
}
BENCHMARK(BM_HeadCubic)->Arg(0)->Arg(1)->Unit(benchmark::kMicrosecond)->UseRealTime();

le::forge::BundleSpec rendererSpec() {
  le::forge::BundleSpec spec;
  spec.nt = 8;
  spec.W = 640;
  spec.H = 360;
  spec.crop = kS;
  spec.frames = 8;
  spec.directorKeys = {"b1"};
  return spec;
}

// Arg 0: the renderer as built by default (source cone hoisted), or 1:
// LE_WARP_NODE=1 (the warp node takes the cone); arg 1: intra-op workers. The
// source frame bounces 0..nt-1..0, one step per render.
void BM_Renderer(benchmark::State& state) {
  static const le::bench::ForgedBundle b("le-bench-director", rendererSpec());
  const bool warp = state.range(0) == 1;
  const int threads = int(state.range(1));
  if (warp) ::setenv("LE_WARP_NODE", "1", 1);
  else ::unsetenv("LE_WARP_NODE");
  const le::Manifest m = le::loadManifest(b.dir.string());
  const le::Identity id(m, le::openIdentityPrior);
  le::Renderer r(m, id, "b1", threads, "");
  ::unsetenv("LE_WARP_NODE");
  state.SetLabel(r.hoisted() ? "hoisted source cone" : (warp ? "warp node" : "unhoisted"));
  const le::forge::DriveTables drive = le::forge::driveTables(b.spec);
  int si = 0, step = 1, row = 0;
  r.render(&si, drive.xs.data(), drive.xd.data(), 1);
  const double run0 = r.runMsTotal();
  const int64_t count0 = r.runCount(), hits0 = r.ringHits(), misses0 = r.ringMisses();
  for (auto _ : state) {
    si += step;
    if (si == b.spec.nt - 1 || si == 0) step = -step;
    r.render(&si, drive.xs.data() + 63 * row, drive.xd.data() + 63 * row, 1);
    row = (row + 1) % b.spec.frames;
  }
  const int64_t runs = r.runCount() - count0;
  state.counters["director_ms"] = (r.runMsTotal() - run0) / double(runs > 0 ? runs : 1);
  const int64_t hits = r.ringHits() - hits0, misses = r.ringMisses() - misses0;
  if (hits + misses > 0) state.counters["hit_rate"] = double(hits) / double(hits + misses);
}
BENCHMARK(BM_Renderer)->ArgsProduct({{0, 1}, {1, kThreads}})->Unit(benchmark::kMillisecond)->UseRealTime()->MinTime(3.0);

}  // namespace

BENCHMARK_MAIN();
