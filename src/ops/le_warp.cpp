#include "ops/le_warp.h"

#include <immintrin.h>

#include <algorithm>
#include <climits>
#include <cmath>
#include <cstddef>
#include <stdexcept>
#include <string>
#include <vector>

#include "onnxruntime_cxx_api.h"
#include "ops/le_custom_op.h"
#include "ops/le_grid_simd.h"

namespace le {

namespace {

constexpr int kBandRows = 16;

// The block this node replaces adds, at each bilinear tap, the image and its
// second differences with curvature weights E = t(1-t)/2. Written out over
// the 4x4 neighbourhood of the two taps, that is one separable filter: the
// four weights of one axis, from the tap fraction f (clamped position) and
// the curvature E (unclamped position). They sum to 1.
struct AxisWeights {
  float w[4];
};

inline AxisWeights axisWeights(float f, float e) {
  const float g = 1.0f - f;
  return {{-e * g, g + e * (2.0f - 3.0f * f), f - e * (1.0f - 3.0f * f), -e * f}};
}

// Position in pixels of a normalised coordinate, its curvature weight, and the
// first tap and fraction on the clamped position. A non-finite position has no
// fraction: its curvature is 0 (fmax/fmin put a NaN on the first pixel).
struct Axis {
  int i0;
  float f, e;
};

inline Axis axisAt(float g, int n) {
  const float x = ((g + 1.0f) * float(n) - 1.0f) * 0.5f;
  float t = x - std::floor(x);
  if (!(t >= 0.0f && t < 1.0f)) t = 0.0f;
  const float xc = std::fmin(std::fmax(x, 0.0f), float(n - 1));
  const float fl = std::floor(xc);
  return {int(fl), xc - fl, (1.0f - t) * t * 0.5f};
}

void warpScalar(const float* src, const float* grid, float* dst, int W, int H, int r0, int r1) {
  const size_t plane = size_t(H) * size_t(W);
  for (int row = r0; row < r1; ++row) {
    for (int col = 0; col < W; ++col) {
      const size_t p = size_t(row) * W + col;
      const Axis ax = axisAt(grid[2 * p], W), ay = axisAt(grid[2 * p + 1], H);
      const AxisWeights wx = axisWeights(ax.f, ax.e), wy = axisWeights(ay.f, ay.e);
      int cols[4];
      size_t rows[4];
      for (int k = 0; k < 4; ++k) {
        cols[k] = std::clamp(ax.i0 - 1 + k, 0, W - 1);
        rows[k] = size_t(std::clamp(ay.i0 - 1 + k, 0, H - 1)) * W;
      }
      for (int c = 0; c < 3; ++c) {
        const float* s = src + size_t(c) * plane;
        float acc = 0.0f;
        for (int b = 0; b < 4; ++b) {
          const float* r = s + rows[b];
          acc += wy.w[b] * (wx.w[0] * r[cols[0]] + wx.w[1] * r[cols[1]] + wx.w[2] * r[cols[2]] + wx.w[3] * r[cols[3]]);
        }
        dst[size_t(c) * plane + p] = acc;
      }
    }
  }
}

struct VecAxis {
  __m256i idx[4];  // clamped tap indices, first at i0 - 1
  __m256 w[4];
};

__attribute__((target("avx2,fma"))) inline VecAxis vecAxis(__m256 g, int n) {
  const __m256 one = _mm256_set1_ps(1.0f), half = _mm256_set1_ps(0.5f);
  const __m256 x = _mm256_mul_ps(_mm256_fmsub_ps(_mm256_add_ps(g, one), _mm256_set1_ps(float(n)), one), half);
  __m256 t = _mm256_sub_ps(x, _mm256_floor_ps(x));
  // Keep t only where 0 <= t < 1 (ordered compares are false for NaN).
  const __m256 ok = _mm256_and_ps(_mm256_cmp_ps(t, _mm256_setzero_ps(), _CMP_GE_OQ), _mm256_cmp_ps(t, one, _CMP_LT_OQ));
  t = _mm256_and_ps(t, ok);
  const __m256 e = _mm256_mul_ps(_mm256_mul_ps(_mm256_sub_ps(one, t), t), half);
  // max returns its second operand when the first is NaN.
  const __m256 xc = _mm256_min_ps(_mm256_max_ps(x, _mm256_setzero_ps()), _mm256_set1_ps(float(n - 1)));
  const __m256 fl = _mm256_floor_ps(xc);
  const __m256 f = _mm256_sub_ps(xc, fl);
  const __m256 gf = _mm256_sub_ps(one, f);
  const __m256 two = _mm256_set1_ps(2.0f), three = _mm256_set1_ps(3.0f);
  VecAxis a;
  a.w[0] = _mm256_mul_ps(_mm256_sub_ps(_mm256_setzero_ps(), e), gf);
  a.w[1] = _mm256_fmadd_ps(e, _mm256_fnmadd_ps(three, f, two), gf);
  a.w[2] = _mm256_fnmadd_ps(e, _mm256_fnmadd_ps(three, f, one), f);
  a.w[3] = _mm256_mul_ps(_mm256_sub_ps(_mm256_setzero_ps(), e), f);
  const __m256i i0 = _mm256_cvttps_epi32(fl);
  const __m256i zero = _mm256_setzero_si256(), last = _mm256_set1_epi32(n - 1);
  for (int k = 0; k < 4; ++k)
    a.idx[k] = _mm256_max_epi32(_mm256_min_epi32(_mm256_add_epi32(i0, _mm256_set1_epi32(k - 1)), last), zero);
  return a;
}

// 8 adjacent output pixels at once: weights and indices once per pixel, then
// per plane 16 gathers of the 4x4 neighbourhood.
__attribute__((target("avx2,fma"))) void warpAvx2(const float* src, const float* grid, float* dst, int W, int H,
                                                   int r0, int r1) {
  const size_t plane = size_t(H) * size_t(W);
  const __m256i stride = _mm256_set1_epi32(W);
  const int vecEnd = W - W % 8;
  for (int row = r0; row < r1; ++row) {
    const size_t rowBase = size_t(row) * W;
    for (int col = 0; col < vecEnd; col += 8) {
      const size_t p = rowBase + col;
      __m256 gx, gy;
      loadGridPairs(grid + 2 * p, gx, gy);
      const VecAxis ax = vecAxis(gx, W), ay = vecAxis(gy, H);
      __m256i idx[4][4];
      for (int r = 0; r < 4; ++r) {
        const __m256i off = _mm256_mullo_epi32(ay.idx[r], stride);
        for (int k = 0; k < 4; ++k) idx[r][k] = _mm256_add_epi32(off, ax.idx[k]);
      }
      for (int c = 0; c < 3; ++c) {
        const float* s = src + size_t(c) * plane;
        __m256 acc = _mm256_setzero_ps();
        for (int r = 0; r < 4; ++r) {
          __m256 h = _mm256_mul_ps(ax.w[0], _mm256_i32gather_ps(s, idx[r][0], 4));
          h = _mm256_fmadd_ps(ax.w[1], _mm256_i32gather_ps(s, idx[r][1], 4), h);
          h = _mm256_fmadd_ps(ax.w[2], _mm256_i32gather_ps(s, idx[r][2], 4), h);
          h = _mm256_fmadd_ps(ax.w[3], _mm256_i32gather_ps(s, idx[r][3], 4), h);
          acc = _mm256_fmadd_ps(ay.w[r], h, acc);
        }
        _mm256_storeu_ps(dst + size_t(c) * plane + p, acc);
      }
    }
    if (vecEnd < W) {
      // The row's tail, pixel by pixel.
      for (int col = vecEnd; col < W; ++col) {
        const size_t p = rowBase + col;
        const Axis x1 = axisAt(grid[2 * p], W), y1 = axisAt(grid[2 * p + 1], H);
        const AxisWeights wx = axisWeights(x1.f, x1.e), wy = axisWeights(y1.f, y1.e);
        for (int c = 0; c < 3; ++c) {
          const float* s = src + size_t(c) * plane;
          float acc = 0.0f;
          for (int r = 0; r < 4; ++r) {
            const float* rr = s + size_t(std::clamp(y1.i0 - 1 + r, 0, H - 1)) * W;
            float h = 0.0f;
            for (int k = 0; k < 4; ++k) h += wx.w[k] * rr[std::clamp(x1.i0 - 1 + k, 0, W - 1)];
            acc += wy.w[r] * h;
          }
          dst[size_t(c) * plane + p] = acc;
        }
      }
    }
  }
}

struct BandArgs {
  const float* src;
  const float* grid;
  float* dst;
  int W, H;
};

void runBand(void* user, size_t task) {
  const auto* a = static_cast<const BandArgs*>(user);
  const int r0 = int(task) * kBandRows;
  warpDirectorBand(a->src, a->grid, a->dst, a->W, a->H, r0, r0 + kBandRows);
}

std::string shapeText(const std::vector<int64_t>& s) {
  std::string t = "[";
  for (size_t i = 0; i < s.size(); ++i) t += (i ? "," : "") + std::to_string(s[i]);
  return t + "]";
}

struct WarpDirectorKernel {
  void Compute(OrtKernelContext* context) {
    Ort::KernelContext ctx(context);
    const Ort::ConstValue P = ctx.GetInput(0);
    const Ort::ConstValue G = ctx.GetInput(1);
    const std::vector<int64_t> ps = P.GetTensorTypeAndShapeInfo().GetShape();
    const std::vector<int64_t> gs = G.GetTensorTypeAndShapeInfo().GetShape();
    if (ps.size() != 4)
      throw std::runtime_error("com.corvane::WarpDirector: expects P [N,3,H,W]; got " + shapeText(ps));
    const int64_t N = ps[0], C = ps[1], H = ps[2], W = ps[3];
    Ort::UnownedValue Y = ctx.GetOutput(0, ps);
    if (C != 3)
      throw std::runtime_error(
          "com.corvane::WarpDirector: this node warps the director's 3-channel source and the graph handed it C=" +
          std::to_string(C) + ". REFUSING rather than writing a frame nobody asked for.");
    // The grid is read at every output pixel: it must be [N,H,W,2] or the
    // kernel would read past it.
    if (gs.size() != 4 || gs[0] != N || gs[1] != H || gs[2] != W || gs[3] != 2)
      throw std::runtime_error("com.corvane::WarpDirector: expects grid [N,H,W,2] for P " + shapeText(ps) +
                               "; got " + shapeText(gs));
    if (N == 0 || H == 0 || W == 0) return;
    if (H * W > INT_MAX / 4)
      throw std::runtime_error("com.corvane::WarpDirector: image too large " + shapeText(ps));
    BandArgs args{P.GetTensorData<float>(), G.GetTensorData<float>(), Y.GetTensorMutableData<float>(), int(W),
                  int(H)};
    const size_t tasks = size_t((H + kBandRows - 1) / kBandRows);
    for (int64_t n = 0; n < N; ++n) {
      ctx.ParallelFor(runBand, tasks, 0, &args);
      args.src += size_t(3 * H * W);
      args.dst += size_t(3 * H * W);
      args.grid += size_t(2 * H * W);
    }
  }

  OrtStatusPtr ComputeV2(OrtKernelContext* context) { return computeToStatus(*this, context); }
};

struct WarpDirectorOp : FloatCpuOp<WarpDirectorOp, WarpDirectorKernel, 2> {
  const char* GetName() const { return "WarpDirector"; }
};

}  // namespace

void addWarpDirector(Ort::CustomOpDomain& domain) {
  static WarpDirectorOp op;
  domain.Add(&op);
}

void warpDirectorBandPath(const float* src, const float* grid, float* dst, int W, int H, int rowBegin, int rowEnd,
                          bool vector) {
  const int r0 = std::max(rowBegin, 0), r1 = std::min(rowEnd, H);
  if (r0 >= r1 || W <= 0) return;
  if (vector && cpuHasAvx2Fma())
    warpAvx2(src, grid, dst, W, H, r0, r1);
  else
    warpScalar(src, grid, dst, W, H, r0, r1);
}

void warpDirectorBand(const float* src, const float* grid, float* dst, int W, int H, int rowBegin, int rowEnd) {
  warpDirectorBandPath(src, grid, dst, W, H, rowBegin, rowEnd, true);
}

void warpDirector(const float* src, const float* grid, float* dst, int W, int H) {
  warpDirectorBand(src, grid, dst, W, H, 0, H);
}

}  // namespace le
