// The int8 convolution's vector code. Each instruction set gets its own target
// region so the library still builds for generic x86-64 and picks a path at run
// time; the interior kernel is the same source in every region.
#include <immintrin.h>

#include <algorithm>
#include <cstring>

#include "ops/int8conv_internal.h"

namespace le::int8conv {

// ---- 8-wide range scan -----------------------------------------------------

#pragma GCC push_options
#pragma GCC target("avx")

bool rangeAvx(const float* x, size_t n, float& lo, float& hi) {
  __m256 vlo = _mm256_setzero_ps(), vhi = _mm256_setzero_ps(), bad = _mm256_setzero_ps();
  size_t i = 0;
  for (; i + 8 <= n; i += 8) {
    const __m256 v = _mm256_loadu_ps(x + i);
    vlo = _mm256_min_ps(vlo, v);
    vhi = _mm256_max_ps(vhi, v);
    // v - v is NaN exactly for NaN and the infinities.
    const __m256 d = _mm256_sub_ps(v, v);
    bad = _mm256_or_ps(bad, _mm256_cmp_ps(d, d, _CMP_UNORD_Q));
  }
  alignas(32) float l[8], h[8];
  _mm256_store_ps(l, vlo);
  _mm256_store_ps(h, vhi);
  bool finite = _mm256_movemask_ps(bad) == 0;
  float a = 0.0f, b = 0.0f;
  for (int k = 0; k < 8; ++k) {
    a = std::min(a, l[k]);
    b = std::max(b, h[k]);
  }
  for (; i < n; ++i) {
    const float v = x[i];
    finite = finite && (v - v == 0.0f);
    a = std::min(a, v);
    b = std::max(b, v);
  }
  lo = a;
  hi = b;
  return finite;
}

#pragma GCC pop_options

// ---- interior kernels ------------------------------------------------------

// Without a byte dot product: split each 32-bit lane into its even and odd
// bytes widened to 16 bits (activations zero-extended, weights sign-extended)
// and let the 16-bit multiply-add pair them. Every pair sum fits its 32-bit
// lane, so the result is exactly the byte dot product's.
#pragma GCC push_options
#pragma GCC target("avx2")

namespace {
inline __m256i dotAvx2(__m256i acc, __m256i a, __m256i w) {
  const __m256i low = _mm256_set1_epi16(0x00FF);
  const __m256i aEven = _mm256_and_si256(a, low), aOdd = _mm256_srli_epi16(a, 8);
  const __m256i wEven = _mm256_srai_epi16(_mm256_slli_epi16(w, 8), 8), wOdd = _mm256_srai_epi16(w, 8);
  return _mm256_add_epi32(acc, _mm256_add_epi32(_mm256_madd_epi16(aEven, wEven), _mm256_madd_epi16(aOdd, wOdd)));
}
}  // namespace

#define LE_I8_NS avx2k
#define LE_I8_DOT(acc, a, w) dotAvx2(acc, a, w)
#include "ops/int8conv_span.inc"
#undef LE_I8_DOT
#undef LE_I8_NS

#pragma GCC pop_options

#pragma GCC push_options
#pragma GCC target("avx2,avxvnni")
#define LE_I8_NS avxvnnik
#define LE_I8_DOT(acc, a, w) _mm256_dpbusd_avx_epi32(acc, a, w)
#include "ops/int8conv_span.inc"
#undef LE_I8_DOT
#undef LE_I8_NS
#pragma GCC pop_options

#pragma GCC push_options
#pragma GCC target("avx2,avx512f,avx512vl,avx512vnni")
#define LE_I8_NS avx512vnnik
#define LE_I8_DOT(acc, a, w) _mm256_dpbusd_epi32(acc, a, w)
#include "ops/int8conv_span.inc"
#undef LE_I8_DOT
#undef LE_I8_NS
#pragma GCC pop_options

void spanAvx2(const Geometry& g, const uint8_t* act, const Weights& w, int64_t oy, int64_t oxBegin, int64_t oxEnd,
              const Epilogue& e) {
  avx2k::span(g, act, w, oy, oxBegin, oxEnd, e);
}

void spanAvxVnni(const Geometry& g, const uint8_t* act, const Weights& w, int64_t oy, int64_t oxBegin, int64_t oxEnd,
                 const Epilogue& e) {
  avxvnnik::span(g, act, w, oy, oxBegin, oxEnd, e);
}

void spanAvx512Vnni(const Geometry& g, const uint8_t* act, const Weights& w, int64_t oy, int64_t oxBegin,
                    int64_t oxEnd, const Epilogue& e) {
  avx512vnnik::span(g, act, w, oy, oxBegin, oxEnd, e);
}

}  // namespace le::int8conv
