// Each le::simd wrapper (at the dispatched target, and at
// every other compiled target the processor supports) against a plain scalar
// loop over the same data. The label names the target; compare the
// ".../scalar" row with the ".../dispatch" row of the same kernel.
#include <benchmark/benchmark.h>

#include <cstdint>
#include <cstring>
#include <functional>
#include <memory>
#include <random>
#include <string>
#include <vector>

#include "compose/le_simd.h"

namespace {

constexpr size_t kSide = 512;
constexpr size_t kPixels = kSide * kSide;  // one 512x512 crop
constexpr size_t kValues = kPixels * 3;    // 512*512*3 values
constexpr int kRowW = 1920, kRows = 1080;  // one 1080p frame of 4:2:0 video

struct Data {
  std::vector<float> f32a, f32b, f32out;
  std::vector<uint16_t> f16, f16out;
  std::vector<uint8_t> rgb;
  std::vector<uint8_t> y, u, v, uv, rgbFrame;
  Data() {
    std::mt19937 rng(42);
    std::uniform_real_distribution<float> dist(-4.0f, 4.0f);
    f32a.resize(kValues);
    f32b.resize(kValues);
    f32out.resize(kValues);
    f16.resize(kValues);
    f16out.resize(kValues);
    rgb.resize(kValues);
    for (size_t i = 0; i < kValues; ++i) {
      f32a[i] = dist(rng);
      f32b[i] = dist(rng);
      f16[i] = le::f32ToF16(dist(rng));
      rgb[i] = uint8_t(rng());
    }
    y.resize(size_t(kRowW) * kRows);
    u.resize(size_t(kRowW / 2) * (kRows / 2));
    v.resize(u.size());
    uv.resize(2 * u.size());
    for (auto& b : y) b = uint8_t(rng());
    for (size_t i = 0; i < u.size(); ++i) {
      u[i] = uint8_t(rng());
      v[i] = uint8_t(rng());
      uv[2 * i] = u[i];
      uv[2 * i + 1] = v[i];
    }
    rgbFrame.resize(size_t(kRowW) * kRows * 3);
  }
};

Data& data() {
  static Data d;
  return d;
}

// -1: plain scalar loop; 0: the wrappers as dispatched; otherwise a forced target.
using Kernel = std::function<void(Data&, bool scalar)>;

void runKernel(benchmark::State& state, const Kernel& k, int64_t target, size_t bytesPerIter) {
  Data& d = data();
  const bool scalar = target == -1;
  std::unique_ptr<le::simd::ScopedTarget> forced;
  if (target > 0) forced = std::make_unique<le::simd::ScopedTarget>(target);
  state.SetLabel(scalar ? std::string("scalar loop")
                        : std::string(le::simd::targetName(le::simd::dispatchedTarget())));
  for (auto _ : state) {
    k(d, scalar);
    benchmark::ClobberMemory();
  }
  state.SetBytesProcessed(int64_t(state.iterations()) * int64_t(bytesPerIter));
}

void yuvFrame(Data& d, bool scalar, bool nv12) {
  auto fn = scalar ? &le::simd::scalar::yuv420RowToRgb24 : &le::simd::yuv420RowToRgb24;
  for (int r = 0; r < kRows; ++r) {
    const size_t c = size_t(r / 2) * (kRowW / 2);
    const uint8_t* y = d.y.data() + size_t(r) * kRowW;
    uint8_t* out = d.rgbFrame.data() + size_t(r) * kRowW * 3;
    if (nv12) {
      fn(y, d.uv.data() + 2 * c, d.uv.data() + 2 * c + 1, kRowW, 2, out);
    } else {
      fn(y, d.u.data() + c, d.v.data() + c, kRowW, 1, out);
    }
  }
}

struct Entry {
  const char* name;
  Kernel k;
  size_t bytes;  // input + output bytes per iteration
};

const Entry kEntries[] = {
    {"f16ToF32",
     [](Data& d, bool s) {
       if (s) {
         le::simd::scalar::f16ToF32(d.f16.data(), d.f32out.data(), kValues);
       } else {
         le::simd::f16ToF32(d.f16.data(), d.f32out.data(), kValues);
       }
     },
     kValues * 6},
    {"f32ToF16",
     [](Data& d, bool s) {
       if (s) {
         le::simd::scalar::f32ToF16(d.f32a.data(), d.f16out.data(), kValues);
       } else {
         le::simd::f32ToF16(d.f32a.data(), d.f16out.data(), kValues);
       }
     },
     kValues * 6},
    {"roundF16Mul",
     [](Data& d, bool s) {
       (s ? le::simd::scalar::roundF16Mul : le::simd::roundF16Mul)(d.f32a.data(), d.f32b.data(),
                                                                   d.f32out.data(), kValues);
     },
     kValues * 12},
    {"rgb8ToPlanarF16",
     [](Data& d, bool s) {
       (s ? le::simd::scalar::rgb8ToPlanarF16 : le::simd::rgb8ToPlanarF16)(
           d.rgb.data(), d.f16out.data(), kPixels, kPixels);
     },
     kValues * 3},
    {"yuv420RowToRgb24_I420_1080p", [](Data& d, bool s) { yuvFrame(d, s, false); },
     size_t(kRowW) * kRows * 9 / 2},
    {"yuv420RowToRgb24_NV12_1080p", [](Data& d, bool s) { yuvFrame(d, s, true); },
     size_t(kRowW) * kRows * 9 / 2},
};

int registerAll() {
  const auto targets = le::simd::compiledTargets();
  for (const Entry& e : kEntries) {
    const Entry* ep = &e;
    benchmark::RegisterBenchmark((std::string(e.name) + "/scalar").c_str(),
                                 [ep](benchmark::State& s) { runKernel(s, ep->k, -1, ep->bytes); })
        ->Unit(benchmark::kMicrosecond);
    benchmark::RegisterBenchmark((std::string(e.name) + "/dispatch").c_str(),
                                 [ep](benchmark::State& s) { runKernel(s, ep->k, 0, ep->bytes); })
        ->Unit(benchmark::kMicrosecond);
    for (int64_t t : targets) {
      benchmark::RegisterBenchmark(
          (std::string(e.name) + "/" + le::simd::targetName(t)).c_str(),
          [ep, t](benchmark::State& s) { runKernel(s, ep->k, t, ep->bytes); })
          ->Unit(benchmark::kMicrosecond);
    }
  }
  return 0;
}

const int kRegistered = registerAll();

}  // namespace

BENCHMARK_MAIN();
