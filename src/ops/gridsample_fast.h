// com.corvane::GridSampleFast: the library's CPU kernel for the one GridSample
// configuration the director uses (bilinear, border padding, align_corners 0),
// and the process-wide custom-op domain "com.corvane" that carries it.
#pragma once

#include <cstdint>

namespace Ort {
struct SessionOptions;
struct CustomOpDomain;
}  // namespace Ort

namespace le {

// The domain object, created once per process on first use.
Ort::CustomOpDomain& corvaneDomain();
// Adds the domain to the options; sessions made from them resolve GridSampleFast
// and WarpDirector.
void registerGridSampleFast(Ort::SessionOptions& so);

// One image: C planes of H*W floats in, grid [Ho, Wo, 2] in, C planes of Ho*Wo out.
void gridsample_fast(const float* src, const float* grid, float* dst, int C, int H, int W, int Ho, int Wo);
// Output rows [max(rowBegin, 0), min(rowEnd, Ho)) of every plane.
void gridsample_fast_band(const float* src, const float* grid, float* dst, int C, int H, int W, int Ho, int Wo,
                          int rowBegin, int rowEnd);
// The same, with the processor path chosen by the caller (false = scalar loop);
// lets the two paths be compared against each other. vector=true falls back to
// scalar on a processor without AVX2+FMA.
void gridsample_fast_band_path(const float* src, const float* grid, float* dst, int C, int H, int W, int Ho, int Wo,
                               int rowBegin, int rowEnd, bool vector);
// Whether the 8-wide vector path is used on this processor.
bool gridsampleFastHasVectorPath();

}  // namespace le
