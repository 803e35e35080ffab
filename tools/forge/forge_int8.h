// Int8 convolution nodes for forged models: deterministic int8 weights, one
// scale and one bias per output channel, and the com.corvane.int8 node.
#pragma once

#include <cstdint>
#include <string>

#include "forge/forge_onnx.h"

namespace le::forge {

// Appends to m an Int8ConvVNNI node over x ([N, C, H, W]): a k x k kernel, stride
// 1, dilation 1, `pad` on every side, `group` groups, M output channels. The
// weights, scales and bias come from `seed` alone (the same seed gives the same
// bytes) and are named after `name`, which also names the node. Imports the
// domain "com.corvane.int8" once per model. Returns the output tensor's name.
// Throws std::runtime_error when C or M is not a positive multiple of group, or
// k < 1, or pad < 0.
std::string int8Conv(onnxb::Model& m, const std::string& x, int64_t C, int64_t M, int64_t k, int64_t pad,
                     int64_t group, uint32_t seed, const std::string& name);

}  // namespace le::forge
