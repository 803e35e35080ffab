// Vector kernels F16ToF32, F32ToF16, RoundF16Mul, Rgb8ToPlanarF16, the teeth
// retrieval terms and Conv3x3Range, compiled once per x86 target by Highway
// and dispatched at run time.
//
// The target set and why it is chosen this way: compose/le_simd_targets.h.
#include "compose/le_simd_targets.h"

#undef HWY_TARGET_INCLUDE
#define HWY_TARGET_INCLUDE "compose/le_simd.cpp"
#include "hwy/foreach_target.h"  // IWYU pragma: keep
#include "hwy/highway.h"

#include "compose/le_simd.h"

static_assert(HWY_TARGETS == (HWY_AVX3_DL | HWY_AVX3 | HWY_AVX2 | HWY_SSE4 |
                              HWY_SSSE3),
              "unexpected Highway target set");
static_assert(HWY_STATIC_TARGET == HWY_SSSE3, "SSSE3 must be the fallback");

HWY_BEFORE_NAMESPACE();
namespace le {
namespace simd {
namespace HWY_NAMESPACE {
namespace hn = hwy::HWY_NAMESPACE;

// Targets without F16C (SSSE3, SSE4): Highway 1.0.3 emulates the half
// conversions there, but its DemoteTo truncates, clamps overflow to the
// largest exponent instead of infinity and loses NaN, and its PromoteTo does
// not map infinity/NaN. So on those targets we convert with integer lane
// arithmetic that reproduces the F16C results bit for bit.
#if HWY_TARGET == HWY_SSSE3 || HWY_TARGET == HWY_SSE4
#define LE_SIMD_SOFT_F16 1
#else
#define LE_SIMD_SOFT_F16 0
#endif

// Float lanes -> half bits in u16 lanes (Rebind<uint16_t, DF>).
template <class DF>
HWY_INLINE hn::Vec<hn::Rebind<uint16_t, DF>> F32ToHalfBits(DF df,
                                                           hn::Vec<DF> v) {
  const hn::Rebind<uint16_t, DF> du16;
#if LE_SIMD_SOFT_F16
  const hn::RebindToUnsigned<DF> du;
  const hn::RebindToSigned<DF> di;
  const auto bits = hn::BitCast(du, v);
  const auto sign = hn::And(bits, hn::Set(du, 0x80000000u));
  const auto x = hn::Xor(bits, sign);  // |v|
  const auto xi = hn::BitCast(di, x);  // < 2^31: signed compares are fine
  // Normal halves: rebias the exponent and round the 13 dropped bits to
  // nearest even; a carry may reach exponent 31 (infinity), as it should.
  const auto odd = hn::And(hn::ShiftRight<13>(x), hn::Set(du, 1u));
  const auto normal = hn::ShiftRight<13>(
      hn::Add(hn::Add(x, hn::Set(du, 0xC8000FFFu)), odd));
  // Below 2^-14: adding 0.5 puts the half's subnormal unit (2^-24) at the
  // float's last place, so the IEEE addition rounds to nearest even for us.
  const auto sub = hn::Sub(
      hn::BitCast(du, hn::Add(hn::BitCast(df, x), hn::Set(df, 0.5f))),
      hn::Set(du, 0x3F000000u));
  // >= 65536, infinity, NaN.
  const auto isNaN = hn::RebindMask(du, hn::Gt(xi, hn::Set(di, 0x7F800000)));
  const auto nanBits = hn::Or(hn::Set(du, 0x7E00u),
                              hn::And(hn::ShiftRight<13>(x), hn::Set(du, 0x3FFu)));
  const auto infNaN = hn::IfThenElse(isNaN, nanBits, hn::Set(du, 0x7C00u));
  const auto isBig = hn::RebindMask(du, hn::Gt(xi, hn::Set(di, 0x477FFFFF)));
  const auto isSmall = hn::RebindMask(du, hn::Lt(xi, hn::Set(di, 0x38800000)));
  auto h = hn::IfThenElse(isSmall, sub, normal);
  h = hn::IfThenElse(isBig, infNaN, h);
  h = hn::Or(h, hn::ShiftRight<16>(sign));
  return hn::DemoteTo(du16, hn::BitCast(di, h));  // all lanes <= 0xFFFF
#else
  // F16C: exact round to nearest even, overflow to infinity, NaN kept.
  const hn::Rebind<hwy::float16_t, DF> df16;
  return hn::BitCast(du16, hn::DemoteTo(df16, v));
#endif
}

// Half bits in u16 lanes -> float lanes.
template <class DF>
HWY_INLINE hn::Vec<DF> HalfBitsToF32(DF df,
                                     hn::Vec<hn::Rebind<uint16_t, DF>> h) {
#if LE_SIMD_SOFT_F16
  const hn::RebindToUnsigned<DF> du;
  const hn::RebindToSigned<DF> di;
  const auto h32 = hn::PromoteTo(du, h);
  const auto sign = hn::ShiftLeft<16>(hn::And(h32, hn::Set(du, 0x8000u)));
  const auto em = hn::And(h32, hn::Set(du, 0x7FFFu));  // exponent|mantissa
  const auto emi = hn::BitCast(di, em);
  const auto normal = hn::Add(hn::ShiftLeft<13>(em), hn::Set(du, 112u << 23));
  // Subnormal (exponent 0): mantissa * 2^-24, exact in single precision.
  const auto sub = hn::BitCast(
      du, hn::Mul(hn::ConvertTo(df, emi), hn::Set(df, 5.9604644775390625e-8f)));
  // Exponent 31: infinity, or NaN made quiet with its payload.
  auto infNaN = hn::Or(hn::ShiftLeft<13>(em), hn::Set(du, 0x7F800000u));
  infNaN = hn::IfThenElse(hn::RebindMask(du, hn::Gt(emi, hn::Set(di, 0x7C00))),
                          hn::Or(infNaN, hn::Set(du, 0x400000u)), infNaN);
  const auto isSub = hn::RebindMask(du, hn::Lt(emi, hn::Set(di, 0x0400)));
  const auto isInfNaN = hn::RebindMask(du, hn::Gt(emi, hn::Set(di, 0x7BFF)));
  auto bits = hn::IfThenElse(isSub, sub, normal);
  bits = hn::IfThenElse(isInfNaN, infNaN, bits);
  return hn::BitCast(df, hn::Or(bits, sign));
#else
  const hn::Rebind<hwy::float16_t, DF> df16;
  return hn::PromoteTo(df, hn::BitCast(df16, h));
#endif
}

void F16ToF32(const uint16_t* HWY_RESTRICT src, float* HWY_RESTRICT dst,
              size_t n) {
  const hn::ScalableTag<float> df;
  const hn::Rebind<uint16_t, decltype(df)> du16;
  const size_t N = hn::Lanes(df);
  size_t i = 0;
  for (; i + N <= n; i += N) {
    hn::StoreU(HalfBitsToF32(df, hn::LoadU(du16, src + i)), df, dst + i);
  }
  for (; i < n; ++i) dst[i] = detail::f16ToF32(src[i]);
}

void F32ToF16(const float* HWY_RESTRICT src, uint16_t* HWY_RESTRICT dst,
              size_t n) {
  const hn::ScalableTag<float> df;
  const hn::Rebind<uint16_t, decltype(df)> du16;
  const size_t N = hn::Lanes(df);
  size_t i = 0;
  for (; i + N <= n; i += N) {
    hn::StoreU(F32ToHalfBits(df, hn::LoadU(df, src + i)), du16, dst + i);
  }
  for (; i < n; ++i) dst[i] = detail::f32ToF16KeepNaN(src[i]);
}

void RoundF16Mul(const float* HWY_RESTRICT a, const float* HWY_RESTRICT b,
                 float* HWY_RESTRICT out, size_t n) {
  const hn::ScalableTag<float> df;
  const size_t N = hn::Lanes(df);
  size_t i = 0;
  for (; i + N <= n; i += N) {
    const auto r = HalfBitsToF32(df, F32ToHalfBits(df, hn::LoadU(df, a + i)));
    hn::StoreU(hn::Mul(r, hn::LoadU(df, b + i)), df, out + i);
  }
  for (; i < n; ++i) {
    out[i] = detail::f16ToF32(detail::f32ToF16KeepNaN(a[i])) * b[i];
  }
}

void Rgb8ToPlanarF16(const uint8_t* HWY_RESTRICT rgb, uint16_t* HWY_RESTRICT dst,
                     size_t planeStride, size_t n) {
  const hn::ScalableTag<uint8_t> du8;
  const hn::Half<decltype(du8)> dh8;
  const hn::RepartitionToWide<decltype(du8)> du16;  // full vector of u16
  const hn::Half<decltype(du16)> dh16;
  const hn::RepartitionToWide<decltype(du16)> du32;  // full vector of u32
  const hn::RebindToSigned<decltype(du32)> di32;
  const hn::RebindToFloat<decltype(du32)> df;
  const hn::Rebind<uint16_t, decltype(df)> dq16;  // half bits of one f32 vector
  const size_t L = hn::Lanes(du8);  // pixels per step
  const size_t Q = hn::Lanes(df);   // L / 4
  const auto k255 = hn::Set(df, 255.0f);
  uint16_t* HWY_RESTRICT planes[3] = {dst, dst + planeStride,
                                      dst + 2 * planeStride};
  size_t i = 0;
  for (; i + L <= n; i += L) {
    hn::Vec<decltype(du8)> ch[3];
    hn::LoadInterleaved3(du8, rgb + 3 * i, ch[0], ch[1], ch[2]);
    for (int c = 0; c < 3; ++c) {
      const auto w0 = hn::PromoteTo(du16, hn::LowerHalf(dh8, ch[c]));
      const auto w1 = hn::PromoteTo(du16, hn::UpperHalf(dh8, ch[c]));
      const hn::Vec<decltype(du32)> q[4] = {
          hn::PromoteTo(du32, hn::LowerHalf(dh16, w0)),
          hn::PromoteTo(du32, hn::UpperHalf(dh16, w0)),
          hn::PromoteTo(du32, hn::LowerHalf(dh16, w1)),
          hn::PromoteTo(du32, hn::UpperHalf(dh16, w1))};
      for (size_t k = 0; k < 4; ++k) {
        const auto f = hn::Div(hn::ConvertTo(df, hn::BitCast(di32, q[k])), k255);
        hn::StoreU(F32ToHalfBits(df, f), dq16, planes[c] + i + k * Q);
      }
    }
  }
  for (; i < n; ++i) {
    for (int c = 0; c < 3; ++c) {
      planes[c][i] =
          detail::f32ToF16KeepNaN(static_cast<float>(rgb[3 * i + c]) / 255.0f);
    }
  }
}

template <class DF>
HWY_INLINE hn::Vec<DF> RoundHalfVec(DF df, hn::Vec<DF> v) {
  return HalfBitsToF32(df, F32ToHalfBits(df, v));
}

template <class DF>
HWY_INLINE hn::Vec<DF> LoadWeights(DF df, const uint16_t* HWY_RESTRICT w) {
  const hn::Rebind<uint16_t, DF> du16;
  return HalfBitsToF32(df, hn::LoadU(du16, w));
}
template <class DF>
HWY_INLINE hn::Vec<DF> LoadWeights(DF df, const float* HWY_RESTRICT w) {
  return hn::LoadU(df, w);
}

// The retrieval term of pixels i..i+Lanes-1 (detail::retrieveTerm per lane).
template <class DF, typename W>
HWY_INLINE hn::Vec<DF> TermVec(DF df, const uint16_t* HWY_RESTRICT a,
                               const uint16_t* HWY_RESTRICT b, const W* HWY_RESTRICT w,
                               size_t n, size_t i) {
  const hn::Rebind<uint16_t, DF> du16;
  auto s = hn::Zero(df);
  for (size_t c = 0; c < 3; ++c) {
    const auto av = HalfBitsToF32(df, hn::LoadU(du16, a + c * n + i));
    const auto bv = HalfBitsToF32(df, hn::LoadU(du16, b + c * n + i));
    const auto d = RoundHalfVec(df, hn::Abs(hn::Sub(av, bv)));
    s = c == 0 ? d : hn::Add(s, d);
  }
  const auto m = RoundHalfVec(df, hn::Div(s, hn::Set(df, 3.0f)));
  return RoundHalfVec(df, hn::Mul(m, LoadWeights(df, w + i)));
}

HWY_INLINE float WeightAt(const uint16_t* w, size_t i) { return detail::f16ToF32(w[i]); }
HWY_INLINE float WeightAt(const float* w, size_t i) { return w[i]; }

// Sums the terms of [first, end) into the 16 fixed partials: vectors cover
// whole groups of 16 pixels (16 / Lanes accumulators, lane k of accumulator
// v being partial v*Lanes + k), the pixels after the last group go to their
// partials one by one, exactly as the scalar twin adds them.
template <typename W>
float TermSum(const uint16_t* HWY_RESTRICT a, const uint16_t* HWY_RESTRICT b,
              const W* HWY_RESTRICT w, size_t n, size_t first, size_t end) {
  constexpr size_t kL = detail::kTermLanes;
  const hn::CappedTag<float, kL> df;
  const size_t N = hn::Lanes(df);  // 4, 8 or 16 on x86: divides kL
  const size_t V = kL / N;
  hn::Vec<decltype(df)> acc[kL / 4];
  for (size_t v = 0; v < V; ++v) acc[v] = hn::Zero(df);
  size_t i = first;
  for (; end >= kL && i <= end - kL; i += kL) {
    for (size_t v = 0; v < V; ++v) acc[v] = hn::Add(acc[v], TermVec(df, a, b, w, n, i + v * N));
  }
  HWY_ALIGN float lanes[kL];
  for (size_t v = 0; v < V; ++v) hn::Store(acc[v], df, lanes + v * N);
  for (size_t k = 0; i < end; ++i, ++k) {
    lanes[k] += detail::retrieveTerm(a, b, n, i, WeightAt(w, i));
  }
  return detail::sumTermLanes(lanes);
}

float RetrieveTermPooled(const uint16_t* HWY_RESTRICT a, const uint16_t* HWY_RESTRICT b,
                         const uint16_t* HWY_RESTRICT w, size_t n) {
  return TermSum(a, b, w, n, 0, n);
}

float RetrieveTermExactRange(const uint16_t* HWY_RESTRICT a, const uint16_t* HWY_RESTRICT b,
                             const float* HWY_RESTRICT w, size_t n, size_t first, size_t end) {
  return TermSum(a, b, w, n, first, end);
}

float RetrieveTermExact(const uint16_t* HWY_RESTRICT a, const uint16_t* HWY_RESTRICT b,
                        const float* HWY_RESTRICT w, size_t n) {
  return TermSum(a, b, w, n, 0, n);
}

// The lane shifts of the two edge vectors of a row: the left one brings the
// zero padding in at lane 0, the right one at the last lane.
template <class DF>
struct EdgeShifts {
  using Idx = decltype(hn::SetTableIndices(DF(), static_cast<const int32_t*>(nullptr)));
  Idx up, down;
  decltype(hn::FirstN(DF(), 1)) first, allButLast;
  explicit EdgeShifts(DF df) {
    const size_t N = hn::Lanes(df);
    HWY_ALIGN int32_t u[64], d[64];
    for (size_t i = 0; i < N; ++i) {
      u[i] = int32_t(i == 0 ? 0 : i - 1);
      d[i] = int32_t(i + 1 < N ? i + 1 : N - 1);
    }
    up = hn::SetTableIndices(df, u);
    down = hn::SetTableIndices(df, d);
    first = hn::FirstN(df, 1);
    allButLast = hn::FirstN(df, N - 1);
  }
};

// Input row `row` at columns x + kx - 1 + lane. kEdge -1: the vector at
// x = 0 (column -1 is padding); +1: the vector ending at the last column
// (column w is padding); 0: interior, every column exists.
template <int kEdge, class DF>
HWY_INLINE hn::Vec<DF> TapLoad(DF df, const float* HWY_RESTRICT row, size_t x, size_t kx,
                               const EdgeShifts<DF>& e) {
  if (kEdge < 0 && kx == 0) {
    return hn::IfThenZeroElse(e.first, hn::TableLookupLanes(hn::LoadU(df, row + x), e.up));
  }
  if (kEdge > 0 && kx == 2) {
    return hn::IfThenElseZero(e.allButLast, hn::TableLookupLanes(hn::LoadU(df, row + x), e.down));
  }
  return hn::LoadU(df, row + x + kx - 1);
}

// kB vectors of one output row from x on, for kO consecutive output planes
// at once (each input vector loaded once serves all of them): bias, then
// every tap, in the order of detail::conv3x3Pixel. Padding taps of the edge
// vectors add w * 0, which leaves the sum as skipping them would (up to the
// sign of an exact zero).
// wp: the kO planes' weights packed tap by tap ([ic][ky][kx][o]).
template <size_t kO, size_t kB, int kEdge, class DF>
HWY_INLINE void ConvBlock(DF df, const EdgeShifts<DF>& e, const float* HWY_RESTRICT src,
                          size_t inPlanes, size_t plane, size_t w, const float* HWY_RESTRICT wp,
                          const float* HWY_RESTRICT bias, size_t y, size_t ky0, size_t ky1, size_t x,
                          float* HWY_RESTRICT dst) {
  const size_t N = hn::Lanes(df);
  hn::Vec<DF> acc[kO][kB];
  for (size_t o = 0; o < kO; ++o)
    for (size_t j = 0; j < kB; ++j) acc[o][j] = hn::Set(df, bias[o]);
  for (size_t ic = 0; ic < inPlanes; ++ic) {
    for (size_t ky = ky0; ky < ky1; ++ky) {
      const float* row = src + ic * plane + (y + ky - 1) * w;
      const float* wk = wp + (ic * 9 + ky * 3) * kO;
      for (size_t kx = 0; kx < 3; ++kx) {
        hn::Vec<DF> in[kB];
        for (size_t j = 0; j < kB; ++j) in[j] = TapLoad<kEdge>(df, row, x + j * N, kx, e);
        for (size_t o = 0; o < kO; ++o) {
          const auto wv = hn::Set(df, wk[kx * kO + o]);
          for (size_t j = 0; j < kB; ++j) acc[o][j] = hn::MulAdd(wv, in[j], acc[o][j]);
        }
      }
    }
  }
  for (size_t o = 0; o < kO; ++o)
    for (size_t j = 0; j < kB; ++j) hn::StoreU(acc[o][j], df, dst + o * plane + y * w + x + j * N);
}

// Output planes o..o+kO-1 of one batch item (wo: plane o's weights, wp the
// same packed; dst: plane o's output).
template <size_t kO, size_t kB, class DF>
HWY_INLINE void ConvPlanes(DF df, const EdgeShifts<DF>& e, const float* HWY_RESTRICT src,
                           size_t inPlanes, size_t h, size_t w, const float* HWY_RESTRICT wo,
                           const float* HWY_RESTRICT wp, const float* HWY_RESTRICT bias,
                           float* HWY_RESTRICT dst) {
  const size_t N = hn::Lanes(df);
  const size_t plane = h * w, wStride = inPlanes * 9;
  for (size_t y = 0; y < h; ++y) {
    const size_t ky0 = y == 0 ? 1 : 0, ky1 = y + 1 < h ? 3 : 2;
    if (w < N + 2) {  // narrower than two edge vectors: one pixel at a time
      for (size_t x = 0; x < w; ++x) {
        for (size_t o = 0; o < kO; ++o) {
          dst[o * plane + y * w + x] = detail::conv3x3Pixel(src, inPlanes, h, w, wo + o * wStride, bias[o], y, x);
        }
      }
      continue;
    }
    // The two edge vectors, and the interior between them; the last
    // interior vector may overlap its neighbours, recomputing lanes to the
    // same values.
    ConvBlock<kO, 1, -1>(df, e, src, inPlanes, plane, w, wp, bias, y, ky0, ky1, 0, dst);
    ConvBlock<kO, 1, +1>(df, e, src, inPlanes, plane, w, wp, bias, y, ky0, ky1, w - N, dst);
    size_t x = N;
    for (; x + kB * N <= w - N; x += kB * N) {
      ConvBlock<kO, kB, 0>(df, e, src, inPlanes, plane, w, wp, bias, y, ky0, ky1, x, dst);
    }
    for (; x + N <= w - N; x += N) {
      ConvBlock<kO, 1, 0>(df, e, src, inPlanes, plane, w, wp, bias, y, ky0, ky1, x, dst);
    }
    if (x < w - N) ConvBlock<kO, 1, 0>(df, e, src, inPlanes, plane, w, wp, bias, y, ky0, ky1, w - 2 * N, dst);
  }
}

void Conv3x3Range(const float* HWY_RESTRICT in, size_t batch, size_t inPlanes, size_t h,
                  size_t w, const float* HWY_RESTRICT weights, const float* HWY_RESTRICT bias,
                  size_t outPlanes, float* HWY_RESTRICT out, size_t first, size_t end) {
  using DF = hn::ScalableTag<float>;
  const DF df;
  const EdgeShifts<DF> e(df);
  const size_t plane = h * w;
  // Groups of four output planes share every input load; their weights are
  // packed tap by tap on the stack (up to kMaxPackedIn input planes).
  constexpr size_t kGroup = 4, kMaxPackedIn = 32;
  HWY_ALIGN float packed[kMaxPackedIn * 9 * kGroup];
  size_t packedFor = ~size_t(0);  // output plane the packing holds
  for (size_t t = first; t < end;) {
    const size_t b = t / outPlanes, o = t % outPlanes;
    const float* src = in + b * inPlanes * plane;
    const float* wo = weights + o * inPlanes * 9;
    if (o + kGroup <= outPlanes && t + kGroup <= end && inPlanes <= kMaxPackedIn) {
      if (packedFor != o) {
        for (size_t k = 0; k < inPlanes * 9; ++k)
          for (size_t g = 0; g < kGroup; ++g) packed[k * kGroup + g] = wo[g * inPlanes * 9 + k];
        packedFor = o;
      }
      ConvPlanes<kGroup, 2>(df, e, src, inPlanes, h, w, wo, packed, bias + o, out + t * plane);
      t += kGroup;
    } else {
      ConvPlanes<1, 4>(df, e, src, inPlanes, h, w, wo, wo, bias + o, out + t * plane);
      t += 1;
    }
  }
}

int64_t Which() { return HWY_TARGET; }

#undef LE_SIMD_SOFT_F16

// NOLINTNEXTLINE(google-readability-namespace-comments)
}  // namespace HWY_NAMESPACE
}  // namespace simd
}  // namespace le
HWY_AFTER_NAMESPACE();

#if HWY_ONCE

#include <stdexcept>
#include <string>

namespace le {

uint16_t f32ToF16(float f) {
  const uint32_t b = simd::detail::floatBits(f);
  const uint32_t x = b & 0x7FFFFFFFu;
  const uint32_t sign = (b >> 16) & 0x8000u;
  if (x > 0x7F800000u) return static_cast<uint16_t>(sign | 0x7C00u);  // NaN
  return static_cast<uint16_t>(sign | simd::detail::halfMagnitude(x));
}

namespace simd {

HWY_EXPORT(F16ToF32);
HWY_EXPORT(F32ToF16);
HWY_EXPORT(RoundF16Mul);
HWY_EXPORT(Rgb8ToPlanarF16);
HWY_EXPORT(RetrieveTermPooled);
HWY_EXPORT(RetrieveTermExactRange);
HWY_EXPORT(RetrieveTermExact);
HWY_EXPORT(Conv3x3Range);
HWY_EXPORT(Which);

void f16ToF32(const uint16_t* src, float* dst, size_t n) {
  HWY_DYNAMIC_DISPATCH(F16ToF32)(src, dst, n);
}

void f32ToF16(const float* src, uint16_t* dst, size_t n) {
  HWY_DYNAMIC_DISPATCH(F32ToF16)(src, dst, n);
}

void roundF16Mul(const float* a, const float* b, float* out, size_t n) {
  HWY_DYNAMIC_DISPATCH(RoundF16Mul)(a, b, out, n);
}

void rgb8ToPlanarF16(const uint8_t* rgb, uint16_t* dst, size_t planeStride,
                     size_t n) {
  HWY_DYNAMIC_DISPATCH(Rgb8ToPlanarF16)(rgb, dst, planeStride, n);
}

float retrieveTermPooled(const uint16_t* a, const uint16_t* b, const uint16_t* w, size_t n) {
  return HWY_DYNAMIC_DISPATCH(RetrieveTermPooled)(a, b, w, n);
}

float retrieveTermExactRange(const uint16_t* a, const uint16_t* b, const float* w, size_t n,
                             size_t first, size_t end) {
  if (end > n) end = n;
  if (first >= end) return 0.0f;
  return HWY_DYNAMIC_DISPATCH(RetrieveTermExactRange)(a, b, w, n, first, end);
}

float retrieveTermExact(const uint16_t* a, const uint16_t* b, const float* w, size_t n) {
  return HWY_DYNAMIC_DISPATCH(RetrieveTermExact)(a, b, w, n);
}

void conv3x3Range(const float* in, size_t batch, size_t inPlanes, size_t h, size_t w,
                  const float* weights, const float* bias, size_t outPlanes, float* out,
                  size_t first, size_t end) {
  if (end > batch * outPlanes) end = batch * outPlanes;
  if (first >= end || h == 0 || w == 0) return;
  HWY_DYNAMIC_DISPATCH(Conv3x3Range)(in, batch, inPlanes, h, w, weights, bias, outPlanes, out,
                                     first, end);
}

const char* target() {
  const int64_t t = hwy::SupportedTargets();
  if (t == 0) return "Unknown";
  return hwy::TargetName(t & -t);
}

const char* targetName(int64_t targetBit) { return hwy::TargetName(targetBit); }

namespace {
// The processor's targets, read before any ScopedTarget mocks them.
int64_t realSupportedTargets() {
  static const int64_t real = hwy::SupportedTargets();
  return real;
}
bool g_scopedActive = false;
}  // namespace

std::vector<int64_t> compiledTargets() {
  std::vector<int64_t> out;
  for (int64_t t = realSupportedTargets() & HWY_TARGETS; t != 0; t &= t - 1) {
    out.push_back(t & -t);  // lowest bit first = best first
  }
  return out;
}

int64_t dispatchedTarget() { return HWY_DYNAMIC_DISPATCH(Which)(); }

ScopedTarget::ScopedTarget(int64_t targetBit) {
  const int64_t real = realSupportedTargets();
  if (targetBit == 0 || (targetBit & (targetBit - 1)) != 0 ||
      (targetBit & real & HWY_TARGETS) == 0) {
    throw std::invalid_argument("le::simd::ScopedTarget: target " +
                                std::string(hwy::TargetName(targetBit)) +
                                " is not compiled or not supported here");
  }
  if (g_scopedActive) {
    throw std::logic_error("le::simd::ScopedTarget: nesting is not supported");
  }
  g_scopedActive = true;
  hwy::SetSupportedTargetsForTest(targetBit);  // also resets the cached choice
}

ScopedTarget::~ScopedTarget() {
  hwy::SetSupportedTargetsForTest(0);  // back to the processor's own targets
  g_scopedActive = false;
}

namespace scalar {

uint16_t f32ToF16(float f) { return detail::f32ToF16KeepNaN(f); }
float f16ToF32(uint16_t h) { return detail::f16ToF32(h); }

void f16ToF32(const uint16_t* src, float* dst, size_t n) {
  for (size_t i = 0; i < n; ++i) dst[i] = detail::f16ToF32(src[i]);
}

void f32ToF16(const float* src, uint16_t* dst, size_t n) {
  for (size_t i = 0; i < n; ++i) dst[i] = detail::f32ToF16KeepNaN(src[i]);
}

void roundF16Mul(const float* a, const float* b, float* out, size_t n) {
  for (size_t i = 0; i < n; ++i) {
    out[i] = detail::f16ToF32(detail::f32ToF16KeepNaN(a[i])) * b[i];
  }
}

void rgb8ToPlanarF16(const uint8_t* rgb, uint16_t* dst, size_t planeStride,
                     size_t n) {
  for (size_t i = 0; i < n; ++i) {
    for (size_t c = 0; c < 3; ++c) {
      dst[c * planeStride + i] =
          detail::f32ToF16KeepNaN(static_cast<float>(rgb[3 * i + c]) / 255.0f);
    }
  }
}

void yuv420RowToRgb24(const uint8_t* y, const uint8_t* u, const uint8_t* v,
                      int width, int chromaStep, uint8_t* rgb) {
  detail::yuvScalarRange(y, u, v, 0, width, chromaStep, rgb);
}

namespace {
float termSum(const uint16_t* a, const uint16_t* b, const uint16_t* w16, const float* w32,
              size_t n, size_t first, size_t end) {
  float lanes[detail::kTermLanes] = {};
  for (size_t i = first; i < end; ++i) {
    const float wi = w16 ? detail::f16ToF32(w16[i]) : w32[i];
    lanes[(i - first) % detail::kTermLanes] += detail::retrieveTerm(a, b, n, i, wi);
  }
  return detail::sumTermLanes(lanes);
}
}  // namespace

float retrieveTermPooled(const uint16_t* a, const uint16_t* b, const uint16_t* w, size_t n) {
  return termSum(a, b, w, nullptr, n, 0, n);
}

float retrieveTermExactRange(const uint16_t* a, const uint16_t* b, const float* w, size_t n,
                             size_t first, size_t end) {
  if (end > n) end = n;
  return first < end ? termSum(a, b, nullptr, w, n, first, end) : 0.0f;
}

float retrieveTermExact(const uint16_t* a, const uint16_t* b, const float* w, size_t n) {
  return termSum(a, b, nullptr, w, n, 0, n);
}

void conv3x3Range(const float* in, size_t batch, size_t inPlanes, size_t h, size_t w,
                  const float* weights, const float* bias, size_t outPlanes, float* out,
                  size_t first, size_t end) {
  if (end > batch * outPlanes) end = batch * outPlanes;
  for (size_t t = first; t < end; ++t) {
    const size_t o = t % outPlanes;
    const float* src = in + (t / outPlanes) * inPlanes * h * w;
    for (size_t y = 0; y < h; ++y) {
      for (size_t x = 0; x < w; ++x) {
        out[t * h * w + y * w + x] =
            detail::conv3x3Pixel(src, inPlanes, h, w, weights + o * inPlanes * 9, bias[o], y, x);
      }
    }
  }
}

}  // namespace scalar
}  // namespace simd
}  // namespace le

#endif  // HWY_ONCE
