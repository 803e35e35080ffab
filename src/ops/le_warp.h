// com.corvane::WarpDirector: the director's cubic-quality warp of its 3-channel
// source image as one node. Bilinear interpolation of the image and of its
// second differences at the four bilinear taps, recombined with weights from
// the sample's fractional position: a separable cubic (coefficient -0.5) with
// edge replication, computed straight from the source.
#pragma once

namespace Ort {
struct CustomOpDomain;
}

namespace le {

// Adds the operator to a domain (the "com.corvane" domain that also carries
// GridSampleFast; it is created once per process).
void addWarpDirector(Ort::CustomOpDomain& domain);

// One image: 3 planes of H*W floats, grid [H, W, 2] of normalised (x, y), 3 planes out.
void warpDirector(const float* src, const float* grid, float* dst, int W, int H);
// Output rows [rowBegin, rowEnd) of all three planes (clipped to [0, H)).
void warpDirectorBand(const float* src, const float* grid, float* dst, int W, int H, int rowBegin, int rowEnd);
// The same with the processor path chosen by the caller (false = scalar); the
// vector path falls back to scalar on a processor without AVX2+FMA.
void warpDirectorBandPath(const float* src, const float* grid, float* dst, int W, int H, int rowBegin, int rowEnd,
                          bool vector);

}  // namespace le
