// Vector kernels with per-processor dispatch (Highway).
//
// Every wrapper below calls the best compiled variant of the kernel of the
// same name with an upper-case initial (F16ToF32, F32ToF16, RoundF16Mul,
// Rgb8ToPlanarF16, RetrieveTermPooled, RetrieveTermExactRange,
// RetrieveTermExact, Conv3x3Range in le_simd.cpp; Yuv420RowToRgb24 in
// le_yuv2rgb_simd.cpp).
// The choice is Highway's dynamic dispatch: made on the first call, cached,
// thread-safe. All kernels are pure functions of their arguments, never
// allocate, and write only their output ranges.
#pragma once

#include <cstddef>
#include <cstdint>
#include <vector>

namespace le {

// Scalar float -> half (IEEE binary16 bits), outside the dispatch: round to
// nearest, ties to even, subnormal results, signed zero below the subnormal
// range. Values of magnitude >= 65520, infinities AND NaN become infinity of
// the same sign (0x7C00 / 0xFC00) -- unlike the vector kernel, which keeps a
// NaN a NaN.
uint16_t f32ToF16(float f);

namespace simd {

// dst[i] = src[i] (half bits) as float, i < n. Exact for every half,
// subnormals, infinities and NaN included (NaN comes out quiet, payload kept).
void f16ToF32(const uint16_t* src, float* dst, size_t n);

// dst[i] = src[i] rounded to half, i < n: RNE, subnormals, overflow to
// infinity, NaN stays NaN (quiet, sign and top 10 payload bits kept -- the
// F16C rule, reproduced bit for bit on targets without F16C).
void f32ToF16(const float* src, uint16_t* dst, size_t n);

// out[i] = float(half(a[i])) * b[i] in single precision, i < n.
void roundF16Mul(const float* a, const float* b, float* out, size_t n);

// For c in 0..2 and i < n: dst[c*planeStride + i] = half(rgb[3i + c] / 255.f).
void rgb8ToPlanarF16(const uint8_t* rgb, uint16_t* dst, size_t planeStride,
                     size_t n);

// Teeth retrieval terms. a and b hold 3 planes of n half values each (plane
// c at a + c*n); per pixel i the term is
//   m_i = half((half(|a0-b0|) + half(|a1-b1|) + half(|a2-b2|)) / 3)
//   term_i = half(m_i * w_i)
// (half(x): x rounded to half and back to float; float32 arithmetic). The
// terms are summed in float32 in a fixed order that does not depend on the
// vector width: 16 partial sums, term i going to partial (i - first) % 16
// in index order, then the partials added 0..15 -- so every target gives the
// same bits as the scalar twin.
// Pooled: w is half, the whole range [0, n).
float retrieveTermPooled(const uint16_t* a, const uint16_t* b, const uint16_t* w, size_t n);
// Exact: w is float32, pixels first..end-1 (planes still n apart).
float retrieveTermExactRange(const uint16_t* a, const uint16_t* b, const float* w, size_t n,
                             size_t first, size_t end);
float retrieveTermExact(const uint16_t* a, const uint16_t* b, const float* w, size_t n);

// 3x3 convolution, stride 1, one pixel of zero padding. in: batch x
// inPlanes x h x w; weights: outPlanes x inPlanes x 3 x 3; out: batch x
// outPlanes x h x w. Computes work items first..end-1 of (batch x outPlanes),
// item t being batch t / outPlanes, output plane t % outPlanes. Per pixel:
// bias, then the taps added in (input plane, kernel row, kernel column)
// order, taps in the padding skipped (the vector code adds w * 0 for them at
// the row ends, which can only change the sign of an exact zero). Targets
// with FMA fuse each multiply-add, so they may differ from the scalar twin
// in the last bits.
void conv3x3Range(const float* in, size_t batch, size_t inPlanes, size_t h, size_t w,
                  const float* weights, const float* bias, size_t outPlanes, float* out,
                  size_t first, size_t end);

// One row of 4:2:0 video to packed RGB24 (limited-range BT.601 integer
// coefficients). Pixel x uses Y = y[x], U = u[chromaStep*(x/2)],
// V = v[chromaStep*(x/2)]; chromaStep is 1 (separate planes) or 2
// (interleaved, v = u + 1 for NV12). Other chromaStep values are honoured by
// the scalar rule. Reads no byte the scalar rule would not read.
void yuv420RowToRgb24(const uint8_t* y, const uint8_t* u, const uint8_t* v,
                      int width, int chromaStep, uint8_t* rgb);

// Highway name of the best target the processor supports (lowest set bit of
// hwy::SupportedTargets()), e.g. "AVX3_DL"; "Unknown" when Highway has none.
const char* target();

// ---- For tests and benchmarks --------------------------------------------

// Highway name of a single target bit (HWY_AVX2 etc.).
const char* targetName(int64_t targetBit);

// The targets the kernels were compiled for AND the processor supports,
// best first (Highway target bits). Unaffected by ScopedTarget.
std::vector<int64_t> compiledTargets();

// The target bit the wrappers dispatch to right now.
int64_t dispatchedTarget();

// Forces every Highway dispatch in the process (through
// hwy::SetSupportedTargetsForTest) to `targetBit` for the lifetime of the
// object, then restores normal dispatch. Not for concurrent use with other
// threads that call kernels; one at a time (nesting is not supported).
// Throws std::invalid_argument when the target is not in compiledTargets().
class ScopedTarget {
 public:
  explicit ScopedTarget(int64_t targetBit);
  ~ScopedTarget();
  ScopedTarget(const ScopedTarget&) = delete;
  ScopedTarget& operator=(const ScopedTarget&) = delete;
};

// Plain one-element-at-a-time loops with exactly the rules of the vector
// kernels (the kernels' remainder code). Benchmarks compare against them.
namespace scalar {
uint16_t f32ToF16(float f);   // keeps NaN a NaN (vector rule)
float f16ToF32(uint16_t h);
void f16ToF32(const uint16_t* src, float* dst, size_t n);
void f32ToF16(const float* src, uint16_t* dst, size_t n);
void roundF16Mul(const float* a, const float* b, float* out, size_t n);
void rgb8ToPlanarF16(const uint8_t* rgb, uint16_t* dst, size_t planeStride,
                     size_t n);
void yuv420RowToRgb24(const uint8_t* y, const uint8_t* u, const uint8_t* v,
                      int width, int chromaStep, uint8_t* rgb);
float retrieveTermPooled(const uint16_t* a, const uint16_t* b, const uint16_t* w, size_t n);
float retrieveTermExactRange(const uint16_t* a, const uint16_t* b, const float* w, size_t n,
                             size_t first, size_t end);
float retrieveTermExact(const uint16_t* a, const uint16_t* b, const float* w, size_t n);
void conv3x3Range(const float* in, size_t batch, size_t inPlanes, size_t h, size_t w,
                  const float* weights, const float* bias, size_t outPlanes, float* out,
                  size_t first, size_t end);
}  // namespace scalar

// Inline single-element rules shared by the kernels' remainder code (both
// kernel translation units) and the scalar loops above.
namespace detail {

inline uint32_t floatBits(float f) {
  uint32_t b;
  __builtin_memcpy(&b, &f, 4);
  return b;
}
inline float bitsFloat(uint32_t b) {
  float f;
  __builtin_memcpy(&f, &b, 4);
  return f;
}

// Half bits of |x| (x = float bits with the sign cleared), finite or not;
// NaN -> quiet NaN with the top 10 payload bits (the F16C rule).
inline uint32_t halfMagnitude(uint32_t x) {
  if (x >= 0x47800000u) {  // >= 65536, infinity, NaN
    return x > 0x7F800000u ? (0x7E00u | ((x >> 13) & 0x3FFu)) : 0x7C00u;
  }
  if (x < 0x38800000u) {  // below 2^-14: subnormal half or zero
    const uint32_t e = x >> 23;
    if (e < 102) return 0;  // below 2^-25 (2^-25 itself ties to even 0)
    const uint32_t m = (x & 0x7FFFFFu) | 0x800000u;
    const uint32_t s = 126 - e;  // 14..24
    uint32_t q = m >> s;
    const uint32_t rem = m & ((1u << s) - 1);
    const uint32_t half = 1u << (s - 1);
    q += (rem > half || (rem == half && (q & 1u))) ? 1u : 0u;
    return q;  // may carry into 0x400, the smallest normal
  }
  // Normal half (a carry may reach the exponent, and 31 means infinity).
  return (x + 0xC8000FFFu + ((x >> 13) & 1u)) >> 13;
}

// Vector rule: NaN stays NaN.
inline uint16_t f32ToF16KeepNaN(float f) {
  const uint32_t b = floatBits(f);
  return static_cast<uint16_t>(((b >> 16) & 0x8000u) |
                               halfMagnitude(b & 0x7FFFFFFFu));
}

// Exact for every half; NaN comes out quiet with its payload (F16C rule).
inline float f16ToF32(uint16_t h) {
  const uint32_t sign = (uint32_t(h) & 0x8000u) << 16;
  const uint32_t e = (uint32_t(h) >> 10) & 0x1Fu;
  uint32_t m = uint32_t(h) & 0x3FFu;
  uint32_t bits;
  if (e == 0) {
    if (m == 0) {
      bits = sign;
    } else {
      uint32_t exp = 113;
      while (!(m & 0x400u)) {
        m <<= 1;
        --exp;
      }
      bits = sign | (exp << 23) | ((m & 0x3FFu) << 13);
    }
  } else if (e == 31) {
    bits = sign | 0x7F800000u | (m << 13) | (m ? 0x400000u : 0u);
  } else {
    bits = sign | ((e + 112) << 23) | (m << 13);
  }
  return bitsFloat(bits);
}

inline float roundHalf(float v) { return f16ToF32(f32ToF16KeepNaN(v)); }

// One retrieval term (see retrieveTermPooled); pixel i of planes n apart.
inline float retrieveTerm(const uint16_t* a, const uint16_t* b, size_t n, size_t i, float w) {
  float s = 0.0f;
  for (size_t c = 0; c < 3; ++c) {
    const float d = roundHalf(__builtin_fabsf(f16ToF32(a[c * n + i]) - f16ToF32(b[c * n + i])));
    s = c == 0 ? d : s + d;
  }
  return roundHalf(roundHalf(s / 3.0f) * w);
}

// The partial sums every retrieval-term kernel keeps (see above).
inline constexpr size_t kTermLanes = 16;

inline float sumTermLanes(const float* lanes) {
  float total = lanes[0];
  for (size_t k = 1; k < kTermLanes; ++k) total += lanes[k];
  return total;
}

// One output pixel of conv3x3Range; src is the item's first input plane.
inline float conv3x3Pixel(const float* src, size_t inPlanes, size_t h, size_t w,
                          const float* wo, float bias, size_t y, size_t x) {
  const size_t plane = h * w;
  const size_t ky0 = y == 0 ? 1 : 0, ky1 = y + 1 < h ? 3 : 2;
  const size_t kx0 = x == 0 ? 1 : 0, kx1 = x + 1 < w ? 3 : 2;
  float acc = bias;
  for (size_t ic = 0; ic < inPlanes; ++ic) {
    for (size_t ky = ky0; ky < ky1; ++ky) {
      const float* row = src + ic * plane + (y + ky - 1) * w;
      const float* wk = wo + ic * 9 + ky * 3;
      for (size_t kx = kx0; kx < kx1; ++kx) acc += wk[kx] * row[x + kx - 1];
    }
  }
  return acc;
}

inline uint8_t clampByte(int v) {
  return static_cast<uint8_t>(v < 0 ? 0 : (v > 255 ? 255 : v));
}

inline void yuvPixel(int Y, int U, int V, uint8_t* out) {
  const int C = Y - 16, D = U - 128, E = V - 128;
  out[0] = clampByte((298 * C + 409 * E + 128) >> 8);
  out[1] = clampByte((298 * C - 100 * D - 208 * E + 128) >> 8);
  out[2] = clampByte((298 * C + 516 * D + 128) >> 8);
}

inline void yuvScalarRange(const uint8_t* y, const uint8_t* u,
                           const uint8_t* v, int x0, int x1, int chromaStep,
                           uint8_t* rgb) {
  for (int x = x0; x < x1; ++x) {
    const size_t c = size_t(chromaStep) * size_t(x / 2);
    yuvPixel(y[x], u[c], v[c], rgb + 3 * size_t(x));
  }
}

}  // namespace detail

}  // namespace simd
}  // namespace le

// ---- Paste row kernel (le_paste_simd.cpp) ---------------------------------
namespace le {
namespace simd {

// Blends pixels x0..x1 (inclusive) of one frame row with the 8x8 Lanczos
// resampling of `rgbx` (side x side pixels, 4 floats each: R, G, B, unused).
// Pixel x reads the crop at the fixed-point position (10 fraction bits)
// u = rowX + colX[x - x0], v = rowY + colY[x - x0]; `lanczos` holds 8 taps
// for each of 32 phases, `bilinear` 2 taps per phase (for the mask). Pixels
// outside the crop or with a zero mask weight are left alone. Nothing is
// written when x1 < x0.
void pasteLanczos8Row(const float* rgbx, int side, const uint8_t* mask,
                      const float* lanczos, const float* bilinear,
                      const int* colX, const int* colY, int rowX, int rowY,
                      int x0, int x1, uint8_t* frameRow);

namespace scalar {
void pasteLanczos8Row(const float* rgbx, int side, const uint8_t* mask,
                      const float* lanczos, const float* bilinear,
                      const int* colX, const int* colY, int rowX, int rowY,
                      int x0, int x1, uint8_t* frameRow);
}  // namespace scalar

}  // namespace simd
}  // namespace le
