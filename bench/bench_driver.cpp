// Driver video throughput: sequential cursor pulls over a forged 1920x1080 H.264
// driver, and the 4:2:0 row kernel against the library-free reference converter.
#include <benchmark/benchmark.h>

#include <chrono>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <memory>
#include <random>
#include <string>
#include <thread>
#include <vector>

#include <unistd.h>

extern "C" {
#include <libswscale/swscale.h>
}

#include "compose/le_simd.h"
#include "driver/le_driver.h"
#include "forge/forge.h"

namespace {

constexpr int kW = 1920, kH = 1080, kFrames = 60;

// One forged driver per process, removed at exit.
struct Movie {
  std::filesystem::path dir;
  std::string path;
  Movie() {
    const char* root = std::getenv("LE_TEST_TMP");
    dir = std::filesystem::path(root && *root ? root : "/tmp") / ("le-bench-driver-" + std::to_string(::getpid()));
    std::filesystem::create_directories(dir);
    path = (dir / "driver_1080p.mp4").string();
    le::forge::BundleSpec s;
    s.nt = kFrames;
    s.W = kW;
    s.H = kH;
    s.crop = 512;
    le::forge::DriverMovieOptions o;
    o.crf = 18;
    le::forge::writeDriverMp4(path, s, o);
  }
  ~Movie() {
    std::error_code ec;
    std::filesystem::remove_all(dir, ec);
  }
};

const Movie& movie() {
  static Movie m;
  return m;
}

// Sequential pulls into a caller buffer. Arg: milliseconds the consumer spends on
// each frame (0: as fast as the decoder goes; 40: a 25 fps paste stage).
void BM_CursorPull1080p(benchmark::State& state) {
  const std::string& path = movie().path;
  ::setenv("LE_DRIVER_HWDEC", "0", 1);
  auto cursor = le::DriverCursor::over(le::driver::openMp4(path, kFrames, kW, kH), 2, 11);
  std::vector<unsigned char> frame(cursor->frameBytes());
  cursor->pull(frame.data());  // decoder warmed up, threads started
  const auto work = std::chrono::milliseconds(state.range(0));
  const std::uint64_t wait0 = cursor->waitNanos();
  const auto t0 = std::chrono::steady_clock::now();
  for (auto _ : state) {
    benchmark::DoNotOptimize(cursor->pull(frame.data()));
    if (work.count() > 0) std::this_thread::sleep_for(work);
  }
  const double total = std::chrono::duration<double, std::nano>(std::chrono::steady_clock::now() - t0).count();
  state.counters["fps"] = benchmark::Counter(double(state.iterations()), benchmark::Counter::kIsRate);
  state.counters["wait_share"] = double(cursor->waitNanos() - wait0) / total;
  state.counters["seeks"] = double(cursor->seeks());
  state.counters["resident_MiB"] = double(cursor->residentBytes()) / (1 << 20);
}
BENCHMARK(BM_CursorPull1080p)->Arg(0)->Iterations(180)->Unit(benchmark::kMillisecond)->UseRealTime();
BENCHMARK(BM_CursorPull1080p)->Arg(40)->Iterations(60)->Unit(benchmark::kMillisecond)->UseRealTime();

struct Planes {
  std::vector<std::uint8_t> y, u, v, uv, rgb;
  Planes()
      : y(std::size_t(kW) * kH), u(std::size_t(kW / 2) * (kH / 2)), v(u.size()), uv(2 * u.size()),
        rgb(std::size_t(kW) * kH * 3) {
    std::mt19937 rng(5);
    for (auto* p : {&y, &u, &v})
      for (auto& b : *p) b = std::uint8_t(rng());
    for (std::size_t i = 0; i < u.size(); ++i) {
      uv[2 * i] = u[i];
      uv[2 * i + 1] = v[i];
    }
  }
};

// nv12: the interleaved chroma plane (chroma step 2), as the hardware
// decoder delivers it; otherwise separate U and V planes (step 1).
void convertSimd(Planes& p, bool nv12 = false) {
  for (int r = 0; r < kH; ++r) {
    const std::size_t c = std::size_t(r / 2) * (kW / 2);
    std::uint8_t* out = &p.rgb[std::size_t(r) * kW * 3];
    if (nv12)
      le::simd::yuv420RowToRgb24(&p.y[std::size_t(r) * kW], &p.uv[2 * c], &p.uv[2 * c + 1], kW, 2, out);
    else
      le::simd::yuv420RowToRgb24(&p.y[std::size_t(r) * kW], &p.u[c], &p.v[c], kW, 1, out);
  }
}

struct Sws {
  bool nv12;
  SwsContext* ctx;
  explicit Sws(bool nv12Source = false)
      : nv12(nv12Source),
        ctx(sws_getContext(kW, kH, nv12 ? AV_PIX_FMT_NV12 : AV_PIX_FMT_YUV420P, kW, kH, AV_PIX_FMT_RGB24,
                           SWS_BILINEAR, nullptr, nullptr, nullptr)) {}
  ~Sws() { sws_freeContext(ctx); }
  void run(Planes& p) {
    const std::uint8_t* src[3] = {p.y.data(), nv12 ? p.uv.data() : p.u.data(), p.v.data()};
    const int srcStride[3] = {kW, nv12 ? kW : kW / 2, kW / 2};
    std::uint8_t* dst[1] = {p.rgb.data()};
    const int dstStride[1] = {kW * 3};
    sws_scale(ctx, src, srcStride, 0, kH, dst, dstStride);
  }
};

void BM_Yuv420Frame_Kernel(benchmark::State& state) {
  Planes p;
  for (auto _ : state) {
    convertSimd(p);
    benchmark::DoNotOptimize(p.rgb.data());
  }
  state.SetLabel(le::simd::target());
}
BENCHMARK(BM_Yuv420Frame_Kernel)->Unit(benchmark::kMicrosecond);

void BM_Yuv420Frame_Swscale(benchmark::State& state) {
  Planes p;
  Sws sws;
  for (auto _ : state) {
    sws.run(p);
    benchmark::DoNotOptimize(p.rgb.data());
  }
}
BENCHMARK(BM_Yuv420Frame_Swscale)->Unit(benchmark::kMicrosecond);

// Both converters interleaved on the same frame in the same loop: the ratio is
// immune to the machine getting busier between two separate runs. Arg: 1 for
// an NV12 source (both sides read the interleaved chroma plane).
void BM_Yuv420Frame_Ratio(benchmark::State& state) {
  const bool nv12 = state.range(0) != 0;
  Planes p;
  Sws sws(nv12);
  state.SetLabel(std::string(nv12 ? "nv12 " : "yuv420p ") + le::simd::target());
  double kernelNs = 0, swsNs = 0;
  for (auto _ : state) {
    auto t0 = std::chrono::steady_clock::now();
    convertSimd(p, nv12);
    benchmark::DoNotOptimize(p.rgb.data());
    auto t1 = std::chrono::steady_clock::now();
    sws.run(p);
    benchmark::DoNotOptimize(p.rgb.data());
    auto t2 = std::chrono::steady_clock::now();
    kernelNs += std::chrono::duration<double, std::nano>(t1 - t0).count();
    swsNs += std::chrono::duration<double, std::nano>(t2 - t1).count();
  }
  const double n = double(state.iterations());
  state.counters["kernel_us"] = kernelNs / n / 1e3;
  state.counters["swscale_us"] = swsNs / n / 1e3;
  state.counters["swscale_over_kernel"] = swsNs / kernelNs;
}
BENCHMARK(BM_Yuv420Frame_Ratio)->Arg(0)->Arg(1)->Unit(benchmark::kMicrosecond);

}  // namespace

BENCHMARK_MAIN();
