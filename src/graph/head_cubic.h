// The head's cubic x2 upsampling as three standard nodes: an edge Pad of 2, a
// depthwise 5x5 Conv that produces the four output phases of each channel,
// and a DepthToSpace (block 2, CRD). Same filter to fp32 round-off, on kernels
// every execution provider has, where a cubic Resize is slow or unclaimed.
#pragma once

#include <cstddef>
#include <cstdint>
#include <vector>

namespace le {

// The four cubic-convolution weights (coefficient a) of a sample at fraction t
// between its second and third tap, normalised to sum 1; in double.
void hcTaps(double t, double a, double taps[4]);

// Replaces the graph's one eligible cubic x2 Resize (half_pixel, fed by a
// Conv); 1 when replaced, 0 (model untouched) with none, several, or anything
// unexpected.
std::size_t rewriteHeadCubicResize(std::vector<std::uint8_t>& model);

}  // namespace le
