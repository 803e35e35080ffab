#include "ops/gridsample_fast.h"

#include <immintrin.h>

#include <algorithm>
#include <climits>
#include <cmath>
#include <cstddef>
#include <stdexcept>
#include <string>

#include "onnxruntime_cxx_api.h"
#include "ops/le_custom_op.h"
#include "ops/le_grid_simd.h"
#include "ops/le_warp.h"

namespace le {

namespace {

constexpr int kBandRows = 16;

// One output pixel's taps and weights. The coordinate is clamped to [-1, W]
// before the floor: beyond that both taps land on the same border pixel anyway,
// and the clamp keeps NaN or huge grid values from reaching the int conversion.
struct Taps {
  int xa, xb, ya, yb;
  float w00, w01, w10, w11;
};

inline Taps tapsAt(float gx, float gy, int H, int W) {
  float x = (gx + 1.0f) * (float(W) * 0.5f) - 0.5f;
  float y = (gy + 1.0f) * (float(H) * 0.5f) - 0.5f;
  x = std::fmin(std::fmax(x, -1.0f), float(W));  // fmax/fmin drop a NaN operand
  y = std::fmin(std::fmax(y, -1.0f), float(H));
  const float xf = std::floor(x), yf = std::floor(y);
  const int x0 = int(xf), y0 = int(yf);
  const float fx = x - xf, fy = y - yf;
  Taps t;
  t.xa = std::clamp(x0, 0, W - 1);
  t.xb = std::clamp(x0 + 1, 0, W - 1);
  t.ya = std::clamp(y0, 0, H - 1);
  t.yb = std::clamp(y0 + 1, 0, H - 1);
  t.w00 = (1.0f - fx) * (1.0f - fy);
  t.w01 = fx * (1.0f - fy);
  t.w10 = (1.0f - fx) * fy;
  t.w11 = fx * fy;
  return t;
}

inline void scalarPixel(const float* src, const float* grid, float* dst, int C, int H, int W, size_t outPlane,
                        size_t p) {
  const Taps t = tapsAt(grid[2 * p], grid[2 * p + 1], H, W);
  const size_t plane = size_t(H) * size_t(W);
  const size_t i00 = size_t(t.ya) * W + t.xa, i01 = size_t(t.ya) * W + t.xb;
  const size_t i10 = size_t(t.yb) * W + t.xa, i11 = size_t(t.yb) * W + t.xb;
  for (int c = 0; c < C; ++c) {
    const float* s = src + size_t(c) * plane;
    dst[size_t(c) * outPlane + p] = t.w00 * s[i00] + t.w01 * s[i01] + t.w10 * s[i10] + t.w11 * s[i11];
  }
}

void gsScalar(const float* src, const float* grid, float* dst, int C, int H, int W, int Wo, size_t outPlane, int r0,
              int r1) {
  for (int row = r0; row < r1; ++row)
    for (int col = 0; col < Wo; ++col) scalarPixel(src, grid, dst, C, H, W, outPlane, size_t(row) * Wo + col);
}

// 8 adjacent output pixels of a row at once: taps and weights once per pixel,
// then plane by plane four gathers and a chain of fused multiply-adds.
__attribute__((target("avx2,fma"))) void gs_avx2(const float* src, const float* grid, float* dst, int C, int H, int W,
                                                  int Wo, size_t outPlane, int r0, int r1) {
  const size_t plane = size_t(H) * size_t(W);
  const __m256 one = _mm256_set1_ps(1.0f);
  const __m256 halfW = _mm256_set1_ps(float(W) * 0.5f), halfH = _mm256_set1_ps(float(H) * 0.5f);
  const __m256 minusHalf = _mm256_set1_ps(-0.5f), minusOne = _mm256_set1_ps(-1.0f);
  const __m256 maxX = _mm256_set1_ps(float(W)), maxY = _mm256_set1_ps(float(H));
  const __m256i zero = _mm256_setzero_si256(), oneI = _mm256_set1_epi32(1);
  const __m256i lastX = _mm256_set1_epi32(W - 1), lastY = _mm256_set1_epi32(H - 1), rowStride = _mm256_set1_epi32(W);
  const int vecEnd = Wo - Wo % 8;
  for (int row = r0; row < r1; ++row) {
    const size_t rowBase = size_t(row) * Wo;
    for (int col = 0; col < vecEnd; col += 8) {
      const size_t p = rowBase + col;
      __m256 gx, gy;
      loadGridPairs(grid + 2 * p, gx, gy);
      __m256 x = _mm256_fmadd_ps(_mm256_add_ps(gx, one), halfW, minusHalf);
      __m256 y = _mm256_fmadd_ps(_mm256_add_ps(gy, one), halfH, minusHalf);
      // max/min return the second operand when the first is NaN: a NaN lands on the border.
      x = _mm256_min_ps(_mm256_max_ps(x, minusOne), maxX);
      y = _mm256_min_ps(_mm256_max_ps(y, minusOne), maxY);
      const __m256 xf = _mm256_floor_ps(x), yf = _mm256_floor_ps(y);
      const __m256 fx = _mm256_sub_ps(x, xf), fy = _mm256_sub_ps(y, yf);
      const __m256i x0 = _mm256_cvttps_epi32(xf), y0 = _mm256_cvttps_epi32(yf);
      const __m256i xa = _mm256_max_epi32(_mm256_min_epi32(x0, lastX), zero);
      const __m256i xb = _mm256_max_epi32(_mm256_min_epi32(_mm256_add_epi32(x0, oneI), lastX), zero);
      const __m256i ya = _mm256_mullo_epi32(_mm256_max_epi32(_mm256_min_epi32(y0, lastY), zero), rowStride);
      const __m256i yb =
          _mm256_mullo_epi32(_mm256_max_epi32(_mm256_min_epi32(_mm256_add_epi32(y0, oneI), lastY), zero), rowStride);
      const __m256i i00 = _mm256_add_epi32(ya, xa), i01 = _mm256_add_epi32(ya, xb);
      const __m256i i10 = _mm256_add_epi32(yb, xa), i11 = _mm256_add_epi32(yb, xb);
      const __m256 gfx = _mm256_sub_ps(one, fx), gfy = _mm256_sub_ps(one, fy);
      const __m256 w00 = _mm256_mul_ps(gfx, gfy), w01 = _mm256_mul_ps(fx, gfy);
      const __m256 w10 = _mm256_mul_ps(gfx, fy), w11 = _mm256_mul_ps(fx, fy);
      const float* s = src;
      float* d = dst + p;
      for (int c = 0; c < C; ++c, s += plane, d += outPlane) {
        __m256 acc = _mm256_mul_ps(w01, _mm256_i32gather_ps(s, i01, 4));
        acc = _mm256_fmadd_ps(w00, _mm256_i32gather_ps(s, i00, 4), acc);
        acc = _mm256_fmadd_ps(w10, _mm256_i32gather_ps(s, i10, 4), acc);
        acc = _mm256_fmadd_ps(w11, _mm256_i32gather_ps(s, i11, 4), acc);
        _mm256_storeu_ps(d, acc);
      }
    }
    for (int col = vecEnd; col < Wo; ++col) scalarPixel(src, grid, dst, C, H, W, outPlane, rowBase + col);
  }
}

struct BandArgs {
  const float* src;
  const float* grid;
  float* dst;
  int C, H, W, Ho, Wo;
  int band;
};

void runBand(void* user, size_t task) {
  const auto* a = static_cast<const BandArgs*>(user);
  const int r0 = int(task) * a->band;
  gridsample_fast_band(a->src, a->grid, a->dst, a->C, a->H, a->W, a->Ho, a->Wo, r0, r0 + a->band);
}

[[noreturn]] void refuse(const std::string& why) {
  throw std::runtime_error("com.corvane::GridSampleFast: " + why);
}

std::string shapeText(const std::vector<int64_t>& s) {
  std::string t = "[";
  for (size_t i = 0; i < s.size(); ++i) {
    if (i) t += ',';
    t += std::to_string(s[i]);
  }
  t += ']';
  return t;
}

struct GridSampleFastKernel {
  void Compute(OrtKernelContext* context) {
    Ort::KernelContext ctx(context);
    const Ort::ConstValue X = ctx.GetInput(0);
    const Ort::ConstValue G = ctx.GetInput(1);
    const std::vector<int64_t> xs = X.GetTensorTypeAndShapeInfo().GetShape();
    const std::vector<int64_t> gs = G.GetTensorTypeAndShapeInfo().GetShape();
    // The rewrite cannot see shapes, so the node checks what it is handed rather
    // than read past a tensor: X [N,C,H,W], grid [N,Ho,Wo,2].
    if (xs.size() != 4 || gs.size() != 4 || gs[3] != 2 || gs[0] != xs[0])
      refuse("expects X [N,C,H,W] and grid [N,Ho,Wo,2]; got X " + shapeText(xs) + " and grid " + shapeText(gs));
    const int64_t N = xs[0], C = xs[1], H = xs[2], W = xs[3], Ho = gs[1], Wo = gs[2];
    const std::vector<int64_t> ys{N, C, Ho, Wo};
    Ort::UnownedValue Y = ctx.GetOutput(0, ys);
    if (N == 0 || C == 0 || Ho == 0 || Wo == 0) return;
    if (H == 0 || W == 0) refuse("cannot sample an empty image " + shapeText(xs));
    if (H > INT_MAX || W > INT_MAX || Ho > INT_MAX || Wo > INT_MAX || C > INT_MAX)
      refuse("tensor too large: X " + shapeText(xs) + ", grid " + shapeText(gs));
    BandArgs args{X.GetTensorData<float>(), G.GetTensorData<float>(), Y.GetTensorMutableData<float>(),
                  int(C), int(H), int(W), int(Ho), int(Wo), kBandRows};
    const size_t tasks = size_t((Ho + kBandRows - 1) / kBandRows);
    for (int64_t n = 0; n < N; ++n) {
      ctx.ParallelFor(runBand, tasks, 0, &args);
      args.src += size_t(C * H * W);
      args.dst += size_t(C * Ho * Wo);
      args.grid += size_t(Ho * Wo * 2);
    }
  }

  OrtStatusPtr ComputeV2(OrtKernelContext* context) { return computeToStatus(*this, context); }
};

struct GridSampleFastOp : FloatCpuOp<GridSampleFastOp, GridSampleFastKernel, 2> {
  const char* GetName() const { return "GridSampleFast"; }
};

}  // namespace

bool gridsampleFastHasVectorPath() { return cpuHasAvx2Fma(); }

void gridsample_fast_band_path(const float* src, const float* grid, float* dst, int C, int H, int W, int Ho, int Wo,
                               int rowBegin, int rowEnd, bool vector) {
  const int r0 = std::max(rowBegin, 0), r1 = std::min(rowEnd, Ho);
  if (r0 >= r1 || Wo <= 0 || C <= 0 || H <= 0 || W <= 0) return;
  const size_t outPlane = size_t(Ho) * size_t(Wo);
  // The gathers index a plane with 32-bit offsets.
  if (vector && cpuHasAvx2Fma() && int64_t(H) * W <= INT_MAX)
    gs_avx2(src, grid, dst, C, H, W, Wo, outPlane, r0, r1);
  else
    gsScalar(src, grid, dst, C, H, W, Wo, outPlane, r0, r1);
}

void gridsample_fast_band(const float* src, const float* grid, float* dst, int C, int H, int W, int Ho, int Wo,
                          int rowBegin, int rowEnd) {
  gridsample_fast_band_path(src, grid, dst, C, H, W, Ho, Wo, rowBegin, rowEnd, true);
}

void gridsample_fast(const float* src, const float* grid, float* dst, int C, int H, int W, int Ho, int Wo) {
  gridsample_fast_band(src, grid, dst, C, H, W, Ho, Wo, 0, Ho);
}

Ort::CustomOpDomain& corvaneDomain() {
  // The operator outlives the domain that points at it (statics die in reverse).
  static GridSampleFastOp gridSampleFast;
  static Ort::CustomOpDomain domain = [] {
    Ort::CustomOpDomain d("com.corvane");
    d.Add(&gridSampleFast);
    addWarpDirector(d);
    return d;
  }();
  return domain;
}

void registerGridSampleFast(Ort::SessionOptions& so) { so.Add(corvaneDomain()); }

}  // namespace le
