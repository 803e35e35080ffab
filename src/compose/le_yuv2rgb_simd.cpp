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
// with vectors (pairs of pixels per 16-bit lane in full vectors and then in
// single blocks, then groups of 4), the pixels after the last group of 4 in
// scalar code with the same formula.
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

// Saturating pack of two i16 vectors to bytes, block by block: each 16-byte
// block holds 8 lanes of `a` then 8 lanes of `b` from the same block of
// each. Every target we compile for is x86, where this is one instruction.
HWY_INLINE hn::Vec128<uint8_t> PackBlocksU8(hn::Vec128<int16_t> a,
                                            hn::Vec128<int16_t> b) {
  return hn::Vec128<uint8_t>{_mm_packus_epi16(a.raw, b.raw)};
}
#if HWY_TARGET <= HWY_AVX2
HWY_INLINE hn::Vec256<uint8_t> PackBlocksU8(hn::Vec256<int16_t> a,
                                            hn::Vec256<int16_t> b) {
  return hn::Vec256<uint8_t>{_mm256_packus_epi16(a.raw, b.raw)};
}
#endif
#if HWY_TARGET <= HWY_AVX3
HWY_INLINE hn::Vec512<uint8_t> PackBlocksU8(hn::Vec512<int16_t> a,
                                            hn::Vec512<int16_t> b) {
  return hn::Vec512<uint8_t>{_mm512_packus_epi16(a.raw, b.raw)};
}
#endif

// Constants of YuvPairs, each one vector of the widest target (a narrower
// vector loads its first lanes).
enum YuvConst { kLo, k144, k112, k272, k153, kRB, k48, k100, kGB, kBB, k42, kConsts };
struct YuvTables {
  // shuf[3 * part + channel]: for output byte k of part `part` of a block's
  // 48 output bytes, the byte of that channel's packed block it takes (0x80:
  // the byte belongs to another channel). Output byte o of the block is
  // channel o % 3 of pixel p = o / 3, which the pack left at byte p / 2
  // (even p) or 8 + p / 2 (odd p). Repeated over the four blocks.
  alignas(64) uint8_t shuf[9][64];
  alignas(64) int16_t k[kConsts][32];
  constexpr YuvTables() : shuf{}, k{} {
    for (int part = 0; part < 3; ++part)
      for (int c = 0; c < 3; ++c)
        for (int i = 0; i < 64; ++i) {
          const int o = 16 * part + i % 16, p = o / 3;
          shuf[3 * part + c][i] =
              static_cast<uint8_t>(o % 3 == c ? (p % 2 == 0 ? p / 2 : 8 + p / 2) : 0x80);
        }
    const int16_t values[kConsts] = {0xFF, 144, 112, 272, 153, -20128, 48, 100, 6112, -1056, 42};
    for (int c = 0; c < kConsts; ++c)
      for (int i = 0; i < 32; ++i) k[c][i] = values[c];
  }
};
alignas(64) static constexpr YuvTables kYuv{};

// The value of v, hidden from the optimiser. Constants it can see it turns
// into chains of shifts and adds for each multiply, and rebuilds from
// immediates inside the loop; hidden, they are loaded once per row and
// stay in registers (or on the stack as memory operands).
template <class V>
HWY_INLINE V Opaque(V v) {
  asm("" : "+v"(v.raw));
  return v;
}

// The constants of YuvPairs for vectors of the tag D16, loaded once per row.
template <class D16>
struct PairConsts {
  using D8 = hn::Repartition<uint8_t, D16>;
  hn::Vec<D16> k[kConsts];
  hn::Vec<D8> shuf[9];
  explicit PairConsts(D16 d) {
    for (int c = 0; c < kConsts; ++c) k[c] = Opaque(hn::Load(d, kYuv.k[c]));
    for (int i = 0; i < 9; ++i) shuf[i] = Opaque(hn::Load(D8(), kYuv.shuf[i]));
  }
};

// Converts 2*Lanes(d) pixels starting at the even pixel x (d: int16 lanes,
// a full vector or one block). Lane j pairs the pixels 2j and 2j+1 with
// their one chroma sample, so the chroma terms are computed once per pair
// and never widened: luma splits into even and odd pixels (the low and high
// byte of a 16-bit lane). Each channel is the split formula of YuvGroup
// with its constants folded into the chroma terms:
//   R = Y + (V - 144) + ((42Y + 153V - 20128) >> 8)
//   G = Y + (112 - V) + ((42Y - 100U + 48V + 6112) >> 8)
//   B = Y + (2U - 272) + ((42Y + 4U - 1056) >> 8)
// The bracketed sums equal those of YuvGroup (within [-20128, 29597]); the
// products may wrap in 16 bits on the way, which modular arithmetic undoes.
// The saturating pack is the clamp; it leaves each block as 8 even then 8
// odd pixels, and the interleaving shuffles take them from there.
// Reads y[x, x+2N) and
//  - kPlanar: u[x/2, x/2+N) and v[x/2, x/2+N);
//  - kNV12: u[x, x+2N) (N UV pairs);
//  - kStep2: u[x, x+2N) and v[x, x+2N), one byte past the last sample used.
template <class D16>
HWY_INLINE void YuvPairs(D16 d, const PairConsts<D16>& pc,
                         const uint8_t* HWY_RESTRICT y, const uint8_t* u,
                         const uint8_t* v, ChromaMode mode, size_t x,
                         uint8_t* HWY_RESTRICT rgb) {
  const hn::Repartition<uint8_t, D16> d8;  // 2N bytes
  const hn::RebindToUnsigned<D16> du16;
  const hn::Rebind<uint8_t, D16> dh8;      // N bytes
  const auto K = [&](YuvConst c) { return pc.k[c]; };
  const auto lo = hn::BitCast(du16, K(kLo));

  hn::Vec<D16> U, V;
  if (mode == kPlanar) {
    U = hn::PromoteTo(d, hn::LoadU(dh8, u + x / 2));
    V = hn::PromoteTo(d, hn::LoadU(dh8, v + x / 2));
  } else if (mode == kNV12) {
    const auto uv = hn::BitCast(du16, hn::LoadU(d8, u + x));
    U = hn::BitCast(d, hn::And(uv, lo));
    V = hn::BitCast(d, hn::ShiftRight<8>(uv));
  } else {
    U = hn::BitCast(d, hn::And(hn::BitCast(du16, hn::LoadU(d8, u + x)), lo));
    V = hn::BitCast(d, hn::And(hn::BitCast(du16, hn::LoadU(d8, v + x)), lo));
  }
  const auto yy = hn::BitCast(du16, hn::LoadU(d8, y + x));
  const auto Ye = hn::BitCast(d, hn::And(yy, lo));
  const auto Yo = hn::BitCast(d, hn::ShiftRight<8>(yy));

  const auto rA = hn::Sub(V, K(k144));
  const auto gA = hn::Sub(K(k112), V);
  const auto bA = hn::Sub(hn::Add(U, U), K(k272));
  const auto rB = hn::Add(hn::Mul(V, K(k153)), K(kRB));
  const auto gB = hn::Add(hn::Sub(hn::Mul(V, K(k48)), hn::Mul(U, K(k100))), K(kGB));
  const auto bB = hn::Add(hn::ShiftLeft<2>(U), K(kBB));

  const auto te = hn::Mul(Ye, K(k42));
  const auto to = hn::Mul(Yo, K(k42));
  const auto channel = [&](hn::Vec<D16> A, hn::Vec<D16> B) {
    const auto e = hn::Add(hn::Add(Ye, A), hn::ShiftRight<8>(hn::Add(te, B)));
    const auto o = hn::Add(hn::Add(Yo, A), hn::ShiftRight<8>(hn::Add(to, B)));
    return PackBlocksU8(e, o);
  };
  const auto R = channel(rA, rB), G = channel(gA, gB), B = channel(bA, bB);
  const auto part = [&](int k) {
    const auto S = [&](int c) { return pc.shuf[3 * k + c]; };
    return hn::Or(hn::Or(hn::TableLookupBytesOr0(R, S(0)), hn::TableLookupBytesOr0(G, S(1))),
                  hn::TableLookupBytesOr0(B, S(2)));
  };
  hn::detail::StoreTransposedBlocks3(part(0), part(1), part(2), d8, rgb + 3 * x);
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
    // kStep2 reads u/v[x+n-1], one byte past the group's last sample; the
    // scalar rule reads up to index 2*((w-1)/2), never further, so neither
    // do we.
    const size_t lastChroma = 2 * ((w - 1) / 2);
    const auto fits = [&](size_t xx, size_t n) {
      return xx + n <= w && (mode != kStep2 || xx + n - 1 <= lastChroma);
    };
    const hn::ScalableTag<int16_t> d;
    const size_t N = hn::Lanes(d);
    if (fits(x, 2 * N)) {
      const PairConsts<hn::ScalableTag<int16_t>> pc(d);
      for (; fits(x, 2 * N); x += 2 * N) YuvPairs(d, pc, y, u, v, mode, x, rgb);
    }
    if (N > 8 && fits(x, 16)) {
      const hn::Full128<int16_t> d8;
      const PairConsts<hn::Full128<int16_t>> pc(d8);
      for (; fits(x, 16); x += 16) YuvPairs(d8, pc, y, u, v, mode, x, rgb);
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
