// Vector helpers the sampling operators share (included by their .cpp files).
#pragma once

#include <immintrin.h>

namespace le {

inline bool cpuHasAvx2Fma() {
  static const bool has = __builtin_cpu_supports("avx2") && __builtin_cpu_supports("fma");
  return has;
}

// Eight (x, y) grid pairs from p -> eight x and eight y in pixel order.
__attribute__((target("avx2,fma"))) inline void loadGridPairs(const float* p, __m256& gx, __m256& gy) {
  const __m256 a = _mm256_loadu_ps(p), b = _mm256_loadu_ps(p + 8);
  gx = _mm256_castpd_ps(
      _mm256_permute4x64_pd(_mm256_castps_pd(_mm256_shuffle_ps(a, b, _MM_SHUFFLE(2, 0, 2, 0))), 0xD8));
  gy = _mm256_castpd_ps(
      _mm256_permute4x64_pd(_mm256_castps_pd(_mm256_shuffle_ps(a, b, _MM_SHUFFLE(3, 1, 3, 1))), 0xD8));
}

}  // namespace le
