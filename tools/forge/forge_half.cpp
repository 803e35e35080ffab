// The forge writes halves with the library's own scalar conversion
// (le::f32ToF16: round to nearest, ties to even, subnormals kept).
#include "compose/le_simd.h"
#include "forge_internal.h"

namespace le::forge::detail {
uint16_t f32ToF16(float v) { return le::f32ToF16(v); }
}  // namespace le::forge::detail

namespace le::forge {
uint16_t toHalf(float v) { return le::f32ToF16(v); }
}  // namespace le::forge
