// One rendered and pasted frame through the exported interface: le_render_kp_crop
// then le_paste_crop, crop 512 onto a 1920x1080 driver frame, over the forge's
// director. The time is split into the director's session run (what the
// renderer itself measures around Session::Run) and everything else the
// library does for the frame (member conversion, driver frame copy, paste).
#include <benchmark/benchmark.h>


#include <memory>
#include <string>
#include <vector>

#include "capi/le_ctx.h"
#include "bench_bundle.h"
#include "forge/forge.h"
#include "le/le.h"

namespace {

le::forge::BundleSpec renderSpec() {
  le::forge::BundleSpec spec;
  spec.nt = 4;
  spec.W = 1920;
  spec.H = 1080;
  spec.crop = 512;
  spec.frames = 8;
  spec.directorKeys = {"b1"};
  return spec;
}

using Bundle = le::bench::ForgedBundle;

const Bundle& bundle() {
  static Bundle b("le-bench-render", renderSpec());
  return b;
}

// Arg: intra-op workers of the director (the host's threads argument).
void BM_RenderKpCropAndPaste(benchmark::State& state) {
  const Bundle& b = bundle();
  le_ctx* ctx = le_create(b.dir.c_str(), "b1", int(state.range(0)), nullptr);
  if (!ctx) {
    state.SkipWithError(le_last_error());
    return;
  }
  const le::forge::DriveTables drive = le::forge::driveTables(b.spec);
  std::vector<unsigned char> out(size_t(b.spec.W) * b.spec.H * 3);
  // The first render opens the director; it is not part of a frame's cost.
  if (!le_render_kp_crop(ctx, 0, drive.xs.data(), drive.xd.data())) {
    state.SkipWithError(le_last_error());
    le_destroy(ctx);
    return;
  }
  const double run0 = ctx->renderer->runMsTotal();
  const int64_t count0 = ctx->renderer->runCount();
  int row = 0;
  for (auto _ : state) {
    const int si = drive.si[size_t(row)];
    const float* crop = le_render_kp_crop(ctx, si, drive.xs.data() + 63 * row, drive.xd.data() + 63 * row);
    if (!crop || !le_paste_crop(ctx, si, crop, out.data(), out.size())) {
      state.SkipWithError(le_last_error());
      break;
    }
    benchmark::DoNotOptimize(out.data());
    row = (row + 1) % b.spec.frames;
  }
  const int64_t runs = ctx->renderer->runCount() - count0;
  if (runs > 0) {
    const double directorMs = (ctx->renderer->runMsTotal() - run0) / double(runs);
    state.counters["director_ms"] = directorMs;
    state.counters["frames"] = double(runs);
  }
  le_destroy(ctx);
}
BENCHMARK(BM_RenderKpCropAndPaste)->Arg(1)->Arg(2)->Unit(benchmark::kMillisecond)->UseRealTime()->MinTime(3.0);

// The paste alone, to separate it from the rest of the library's per-frame work.
void BM_PasteCrop(benchmark::State& state) {
  const Bundle& b = bundle();
  le_ctx* ctx = le_create(b.dir.c_str(), "b1", 2, nullptr);
  if (!ctx) {
    state.SkipWithError(le_last_error());
    return;
  }
  std::vector<float> crop(size_t(3) * b.spec.crop * b.spec.crop, 0.5f);
  std::vector<unsigned char> out(size_t(b.spec.W) * b.spec.H * 3);
  int si = 0;
  for (auto _ : state) {
    if (!le_paste_crop(ctx, si, crop.data(), out.data(), out.size())) {
      state.SkipWithError(le_last_error());
      break;
    }
    benchmark::DoNotOptimize(out.data());
    si = (si + 1) % b.spec.nt;
  }
  le_destroy(ctx);
}
BENCHMARK(BM_PasteCrop)->Unit(benchmark::kMillisecond)->UseRealTime()->MinTime(2.0);

}  // namespace

BENCHMARK_MAIN();
