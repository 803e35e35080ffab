// The frame size the JPEG frame harness reads at, shared with the seed writer
// so that its seed frames match and reach the copy.
#pragma once

namespace le::fuzz {

constexpr int kJpgW = 40, kJpgH = 24;

}  // namespace le::fuzz
