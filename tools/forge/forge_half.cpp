// The forge converts halves with the library's own kernels: le::f32ToF16 (round
// to nearest, ties to even, subnormals kept) one way, le::simd::f16ToF32 back.
#include "compose/le_simd.h"
#include "forge_internal.h"

namespace le::forge::detail {
std::vector<float> decodeHalves(const std::vector<uint16_t>& h) {
  std::vector<float> f(h.size());
  le::simd::f16ToF32(h.data(), f.data(), h.size());
  return f;
}
}  // namespace le::forge::detail

namespace le::forge {
uint16_t toHalf(float v) { return le::f32ToF16(v); }
}  // namespace le::forge
