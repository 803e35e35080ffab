// LipContour::contourF32Canvas per frame on a 512 canvas: the forged demo-size
// identity's mapped lip template driven by its drive keypoints (mouth opening
// and closing), against the baseline of clearing the 512 x 512 float canvas
// alone, which every call must do. Prints microseconds per call and the ratio.
#include <benchmark/benchmark.h>

#include <algorithm>
#include <cstdio>
#include <vector>

#include "forge/forge.h"
#include "tessera/le_lip_contour.h"

namespace {

constexpr int kS = 512;

struct Data {
  le::forge::BundleSpec spec;
  std::vector<float> xd;
  std::string lip;
  int frames = 0;
  Data() {
    spec.crop = kS, spec.W = 640, spec.H = 640, spec.nt = 4, spec.frames = 50;
    spec.lipTemplate = le::forge::LipTemplate::Mapped;
    xd = le::forge::driveTables(spec).xd;
    lip = le::forge::lipTemplateText(spec);
    frames = spec.frames;
  }
};

Data& data() {
  static Data d;
  return d;
}

double gClearUs = 0, gContourUs = 0;

void BM_ClearCanvas(benchmark::State& st) {
  std::vector<float> out(size_t(kS) * kS);
  for (auto _ : st) {
    std::fill(out.begin(), out.end(), 0.0f);
    benchmark::DoNotOptimize(out.data());
    benchmark::ClobberMemory();
  }
  st.SetItemsProcessed(st.iterations());
}
BENCHMARK(BM_ClearCanvas)->Unit(benchmark::kMicrosecond);

void BM_ContourF32Canvas(benchmark::State& st) {
  Data& d = data();
  le::tessera::LipContour lc = le::tessera::LipContour::fromTemplateJson(d.lip, kS);
  std::vector<float> out(size_t(kS) * kS);
  int f = 0;
  for (auto _ : st) {
    lc.contourF32Canvas(&d.xd[size_t(f) * 63], out.data());
    benchmark::DoNotOptimize(out.data());
    benchmark::ClobberMemory();
    f = (f + 1) % d.frames;
  }
  st.SetItemsProcessed(st.iterations());
  std::vector<double> v(2 * lc.nv);
  lc.polygon(d.xd.data(), v.data());
  const le::tessera::Box b = lc.box(v.data());
  st.counters["verts"] = lc.nv;
  st.counters["box_px"] = double(b.x1 - b.x0) * (b.y1 - b.y0);
}
BENCHMARK(BM_ContourF32Canvas)->Unit(benchmark::kMicrosecond);

// Collects the per-call times to print the ratio after the run.
class RatioReporter : public benchmark::ConsoleReporter {
 public:
  void ReportRuns(const std::vector<Run>& runs) override {
    for (const Run& r : runs) {
      if (r.run_type != Run::RT_Iteration) continue;
      const double us = r.GetAdjustedRealTime();  // in the benchmark's unit: microseconds
      if (r.benchmark_name() == "BM_ClearCanvas") gClearUs = us;
      if (r.benchmark_name() == "BM_ContourF32Canvas") gContourUs = us;
    }
    ConsoleReporter::ReportRuns(runs);
  }
};

}  // namespace

int main(int argc, char** argv) {
  benchmark::Initialize(&argc, argv);
  RatioReporter reporter;
  benchmark::RunSpecifiedBenchmarks(&reporter);
  if (gClearUs > 0 && gContourUs > 0)
    std::printf("contourF32Canvas %.2f us per frame = %.2fx clearing the %dx%d canvas alone (%.2f us)\n", gContourUs,
                gContourUs / gClearUs, kS, kS, gClearUs);
  benchmark::Shutdown();
  return 0;
}
