// Vector kernel PasteLanczos8Row (one frame row of the paste compositor's
// default mode), dispatched like the kernels of le_simd.cpp over the targets
// of compose/le_simd_targets.h.
//
// Per pixel: fixed-point crop position (10 fraction bits), bilinear mask
// weight rounded to a byte, 8x8 Lanczos colour (rows outer, columns inner,
// taps outside the crop count 0 and the rest are not renormalised), then
// dst*(1 - alpha) + alpha*colour clamped and truncated. Interior pixels take
// the whole footprint from the interleaved RGBX image with float vectors
// (one or more pixels per vector); pixels near the crop edge, the mask and
// the blend are scalar code shared with the scalar kernel.
#include "compose/le_simd_targets.h"


#undef HWY_TARGET_INCLUDE
#define HWY_TARGET_INCLUDE "compose/le_paste_simd.cpp"
#include "hwy/foreach_target.h"  // IWYU pragma: keep
#include "hwy/highway.h"

#include "compose/le_paste.h"
#include "compose/le_simd.h"

static_assert(HWY_TARGETS == (HWY_AVX3_DL | HWY_AVX3 | HWY_AVX2 | HWY_SSE4 |
                              HWY_SSSE3),
              "unexpected Highway target set");

HWY_BEFORE_NAMESPACE();
namespace le {
namespace simd {
namespace HWY_NAMESPACE {
namespace hn = hwy::HWY_NAMESPACE;

void PasteLanczos8Row(const float* HWY_RESTRICT rgbx, int side,
                      const uint8_t* HWY_RESTRICT mask,
                      const float* HWY_RESTRICT lanczos,
                      const float* HWY_RESTRICT bilinear,
                      const int* HWY_RESTRICT colX,
                      const int* HWY_RESTRICT colY, int rowX, int rowY, int x0,
                      int x1, uint8_t* HWY_RESTRICT frameRow) {
  // Up to four RGBX pixels per vector: a footprint row is K = 8 / (N / 4)
  // vectors, each multiplied by its columns' weights repeated over 4 lanes.
  const hn::CappedTag<float, 16> d;
  using V = hn::Vec<decltype(d)>;
  const size_t N = hn::Lanes(d);
  const size_t K = 32 / N;
  // Per-phase weights, each repeated 4 times (lane order of the footprint
  // row); expanded on the first interior pixel of the row.
  HWY_ALIGN float wide[32 * 32];
  bool wideReady = false;
  HWY_ALIGN float lanes[16];

  for (int x = x0; x <= x1; ++x) {
    const size_t k = static_cast<size_t>(x - x0);
    const int u = rowX + colX[k];
    const int v = rowY + colY[k];
    paste_detail::CropHit h;
    if (!paste_detail::cropHit(u, v, side, mask, bilinear, h)) continue;
    const int ix = h.ix, iy = h.iy, px = h.px, py = h.py;
    const float alpha = h.alpha;
    const float* wx = lanczos + 8 * px;
    const float* wy = lanczos + 8 * py;
    float colour[3];
    if (u >= 3072 && v >= 3072 && ix + 4 < side && iy + 4 < side) {
      if (!wideReady) {
        for (int p = 0; p < 32; ++p) {
          for (int i = 0; i < 8; ++i) {
            for (int l = 0; l < 4; ++l) wide[p * 32 + 4 * i + l] = lanczos[8 * p + i];
          }
        }
        wideReady = true;
      }
      const float* w = wide + 32 * px;
      V W[8];
      for (size_t j = 0; j < K; ++j) W[j] = hn::Load(d, w + j * N);
      const size_t stride = 4 * static_cast<size_t>(side);
      const float* p = rgbx + 4 * (static_cast<size_t>(iy - 3) * side + (ix - 3));
      V acc = hn::Zero(d);
      for (int r = 0; r < 8; ++r, p += stride) {
        V rs = hn::Mul(W[0], hn::LoadU(d, p));
        for (size_t j = 1; j < K; ++j) rs = hn::MulAdd(W[j], hn::LoadU(d, p + j * N), rs);
        acc = hn::MulAdd(hn::Set(d, wy[r]), rs, acc);
      }
      hn::Store(acc, d, lanes);
      for (int c = 0; c < 3; ++c) {
        float s = lanes[c];
        for (size_t g = 4; g < N; g += 4) s += lanes[g + c];
        colour[c] = s;
      }
    } else {
      paste_detail::colourChecked(rgbx, side, ix, iy, wx, wy, colour);
    }
    paste_detail::blend(frameRow + 3 * static_cast<size_t>(x), alpha, colour);
  }
}

// NOLINTNEXTLINE(google-readability-namespace-comments)
}  // namespace HWY_NAMESPACE
}  // namespace simd
}  // namespace le
HWY_AFTER_NAMESPACE();

#if HWY_ONCE
namespace le {
namespace simd {

HWY_EXPORT(PasteLanczos8Row);

void pasteLanczos8Row(const float* rgbx, int side, const uint8_t* mask,
                      const float* lanczos, const float* bilinear,
                      const int* colX, const int* colY, int rowX, int rowY,
                      int x0, int x1, uint8_t* frameRow) {
  HWY_DYNAMIC_DISPATCH(PasteLanczos8Row)(rgbx, side, mask, lanczos, bilinear,
                                         colX, colY, rowX, rowY, x0, x1,
                                         frameRow);
}

namespace scalar {

void pasteLanczos8Row(const float* rgbx, int side, const uint8_t* mask,
                      const float* lanczos, const float* bilinear,
                      const int* colX, const int* colY, int rowX, int rowY,
                      int x0, int x1, uint8_t* frameRow) {
  for (int x = x0; x <= x1; ++x) {
    const size_t k = static_cast<size_t>(x - x0);
    const int u = rowX + colX[k];
    const int v = rowY + colY[k];
    paste_detail::CropHit h;
    if (!paste_detail::cropHit(u, v, side, mask, bilinear, h)) continue;
    const int ix = h.ix, iy = h.iy, px = h.px, py = h.py;
    const float alpha = h.alpha;
    float colour[3];
    paste_detail::colourChecked(rgbx, side, ix, iy, lanczos + 8 * px,
                               lanczos + 8 * py, colour);
    paste_detail::blend(frameRow + 3 * static_cast<size_t>(x), alpha, colour);
  }
}

}  // namespace scalar
}  // namespace simd
}  // namespace le
#endif  // HWY_ONCE
