// Vector kernels with per-processor dispatch (Highway).
//
// Every wrapper below calls the best compiled variant of the kernel of the
// same name with an upper-case initial (F16ToF32, F32ToF16, RoundF16Mul,
// Rgb8ToPlanarF16 in le_simd.cpp; Yuv420RowToRgb24 in le_yuv2rgb_simd.cpp).
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
