// Vector kernel Yuv420RowToRgb24 (one row of 4:2:0 video to packed
// RGB24, limited-range ITU-R BT.601 integer coefficients), dispatched like the
// kernels of le_simd.cpp over the targets of compose/le_simd_targets.h.
//
// Per pixel x: Y = y[x], U = u[s*(x/2)], V = v[s*(x/2)] (s = chromaStep),
// C = Y-16, D = U-128, E = V-128, in 32-bit integers:
//   R = (298C + 409E + 128) >> 8
//   G = (298C - 100D - 208E + 128) >> 8
//   B = (298C + 516D + 128) >> 8
// each clamped to [0, 255] (arithmetic shift). Groups of pixels are converted
// with vectors (full vectors of 16-bit lanes, then groups of 4), the pixels
// after the last group of 4 in scalar code with the same formula.
#include "compose/le_simd_targets.h"

#undef HWY_TARGET_INCLUDE
#define HWY_TARGET_INCLUDE "compose/le_yuv2rgb_simd.cpp"
#include "hwy/foreach_target.h"  // IWYU pragma: keep
#include "hwy/highway.h"

#include "compose/le_simd.h"

static_assert(HWY_TARGETS == (HWY_AVX3_DL | HWY_AVX3 | HWY_AVX2 | HWY_SSE4 |
                              HWY_SSSE3),
              "unexpected Highway target set");

HWY_BEFORE_NAMESPACE();
namespace le {
namespace simd {
namespace HWY_NAMESPACE {
namespace hn = hwy::HWY_NAMESPACE;

// Chroma layouts of a group.
enum ChromaMode { kPlanar = 1, kStep2 = 2, kNV12 = 3 };

// Converts Lanes(d) pixels starting at the even pixel x, in 16-bit lanes so a
// vector holds twice the pixels of 32-bit arithmetic. The products of the
// formula do not fit 16 bits, so each coefficient is split into a multiple of
// 256 (added after the shift, exact because it divides out) and a remainder:
//   R = C + E      + ((42C + 153E + 128) >> 8)
//   G = C - E      + ((42C - 100D + 48E + 128) >> 8)
//   B = C + 2D     + ((42C + 4D + 128) >> 8)
// The bracketed sums stay within [-20128, 29597] for every 8-bit Y, U, V.
// d: int16 lanes. Reads y[x, x+N) and
//  - kPlanar (chromaStep 1): u[x/2, x/2 + N/2) and v[x/2, x/2 + N/2);
//  - kNV12 (chromaStep 2, v == u + 1): u[x, x+N), i.e. the N/2 UV pairs;
//  - kStep2 (chromaStep 2, separate u and v): u[x, x+N) and v[x, x+N), one
//    byte past the last sample used: the caller keeps that byte in the row.
template <class D16>
HWY_INLINE void YuvGroup(D16 d, const uint8_t* HWY_RESTRICT y,
                         const uint8_t* u, const uint8_t* v, ChromaMode mode,
                         size_t x, uint8_t* HWY_RESTRICT rgb) {
  const hn::Rebind<uint8_t, D16> d8;                   // N bytes
  const hn::RebindToUnsigned<D16> du16;                // N u16
  const hn::Half<decltype(du16)> dh16;                 // N/2 u16
  const hn::Rebind<uint8_t, decltype(dh16)> dh8;       // N/2 bytes

  // One chroma value per pixel pair, c_j in N/2 u16 lanes -> N bytes c0 c0 c1
  // c1 ...: c | c << 8 holds the pair as two bytes, in order.
  const auto dup = [&](hn::Vec<decltype(dh16)> c) {
    return hn::PromoteTo(d, hn::BitCast(d8, hn::Or(c, hn::ShiftLeft<8>(c))));
  };
  hn::Vec<decltype(dh16)> cu, cv;
  const auto lo = hn::Set(dh16, uint16_t{0xFF});
  if (mode == kPlanar) {
    cu = hn::PromoteTo(dh16, hn::LoadU(dh8, u + x / 2));
    cv = hn::PromoteTo(dh16, hn::LoadU(dh8, v + x / 2));
  } else if (mode == kNV12) {  // u16 lane j = U_j | V_j << 8
    const auto uv = hn::BitCast(dh16, hn::LoadU(d8, u + x));
    cu = hn::And(uv, lo);
    cv = hn::ShiftRight<8>(uv);
  } else {  // the samples are the even bytes of [x, x+N)
    cu = hn::And(hn::BitCast(dh16, hn::LoadU(d8, u + x)), lo);
    cv = hn::And(hn::BitCast(dh16, hn::LoadU(d8, v + x)), lo);
  }
  const auto C = hn::Sub(hn::PromoteTo(d, hn::LoadU(d8, y + x)), hn::Set(d, int16_t{16}));
  const auto D = hn::Sub(dup(cu), hn::Set(d, int16_t{128}));
  const auto E = hn::Sub(dup(cv), hn::Set(d, int16_t{128}));
  const auto c42 = hn::Add(hn::Mul(C, hn::Set(d, int16_t{42})), hn::Set(d, int16_t{128}));
  const auto R = hn::Add(hn::Add(C, E),
                         hn::ShiftRight<8>(hn::Add(c42, hn::Mul(E, hn::Set(d, int16_t{153})))));
  const auto G = hn::Add(hn::Sub(C, E),
                         hn::ShiftRight<8>(hn::Add(hn::Sub(c42, hn::Mul(D, hn::Set(d, int16_t{100}))),
                                                   hn::Mul(E, hn::Set(d, int16_t{48})))));
  const auto B = hn::Add(hn::Add(C, hn::Add(D, D)),
                         hn::ShiftRight<8>(hn::Add(c42, hn::ShiftLeft<2>(D))));
  // Saturating narrowing = the clamp to [0, 255].
  hn::StoreInterleaved3(hn::DemoteTo(d8, R), hn::DemoteTo(d8, G),
                        hn::DemoteTo(d8, B), d8, rgb + 3 * x);
}

void Yuv420RowToRgb24(const uint8_t* HWY_RESTRICT y, const uint8_t* u,
                      const uint8_t* v, int width, int chromaStep,
                      uint8_t* HWY_RESTRICT rgb) {
  if (width <= 0) return;
  size_t x = 0;
  if (chromaStep == 1 || chromaStep == 2) {
    const size_t w = static_cast<size_t>(width);
    const ChromaMode mode =
        chromaStep == 1 ? kPlanar : (v == u + 1 ? kNV12 : kStep2);
    // kStep2 reads u/v[x+N-1], one byte past the group's last sample; the
    // scalar rule reads up to index 2*((w-1)/2), never further, so neither
    // do we.
    const size_t lastChroma = 2 * ((w - 1) / 2);
    const auto fits = [&](size_t xx, size_t N) {
      return xx + N <= w && (mode != kStep2 || xx + N - 1 <= lastChroma);
    };
    const hn::ScalableTag<int16_t> d;
    const size_t N = hn::Lanes(d);
    if (N > 4) {
      for (; fits(x, N); x += N) YuvGroup(d, y, u, v, mode, x, rgb);
    }
    const hn::FixedTag<int16_t, 4> d4;
    for (; fits(x, 4); x += 4) YuvGroup(d4, y, u, v, mode, x, rgb);
  }
  detail::yuvScalarRange(y, u, v, static_cast<int>(x), width, chromaStep, rgb);
}

// NOLINTNEXTLINE(google-readability-namespace-comments)
}  // namespace HWY_NAMESPACE
}  // namespace simd
}  // namespace le
HWY_AFTER_NAMESPACE();

#if HWY_ONCE
namespace le {
namespace simd {

HWY_EXPORT(Yuv420RowToRgb24);

void yuv420RowToRgb24(const uint8_t* y, const uint8_t* u, const uint8_t* v,
                      int width, int chromaStep, uint8_t* rgb) {
  HWY_DYNAMIC_DISPATCH(Yuv420RowToRgb24)(y, u, v, width, chromaStep, rgb);
}

}  // namespace simd
}  // namespace le
#endif  // HWY_ONCE
