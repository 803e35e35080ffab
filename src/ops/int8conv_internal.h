// Shared pieces of the int8 convolution: the shapes of one call, the prepared
// weights, the output step, and the per-instruction-set interior kernels.
#pragma once

#include <cstddef>
#include <cstdint>
#include <vector>

namespace le::int8conv {

// One call's shapes, fixed after validation. Quantised activations are stored
// position-major: pixel (iy, ix) of image n starts at ((n*H + iy)*W + ix)*Ps,
// group g's channels at +g*Cgp, padded from Cg up to Cgp with the zero point.
struct Geometry {
  int64_t N = 0, C = 0, H = 0, W = 0;
  int64_t M = 0, G = 1, Cg = 0, Mg = 0;
  int64_t kH = 1, kW = 1, T = 1;
  int64_t sH = 1, sW = 1, dH = 1, dW = 1, pT = 0, pL = 0;
  int64_t Ho = 0, Wo = 0;
  int64_t Cgp = 0, C4 = 0;  // channels per group rounded up to 4, and in quads
  int64_t MB = 0;           // output channels per group in blocks of 8 lanes
  int64_t Ps = 0;           // bytes per quantised pixel (G * Cgp)
  // Output rows [oy0, oy1) and columns [ox0, ox1) whose taps all fall inside X.
  int64_t oy0 = 0, oy1 = 0, ox0 = 0, ox1 = 0;
};

// The weights rearranged once per kernel.
struct Weights {
  std::vector<int64_t> shape;   // W's [M, Cg, kH, kW] they were made from
  std::vector<int8_t> rows;     // [M][T][Cgp]: one tap's channels together (scalar loop)
  std::vector<int8_t> blocks;   // [G][MB][T][C4][8 lanes][4]: 8 output channels per vector
  std::vector<int32_t> prefix;  // [M][(kH+1)*(kW+1)]: 2-D prefix sums of the per-tap weight sums
  std::vector<int32_t> full;    // [M]: the weight sum over every tap
};

// What turns an int32 sum into an output value for one image.
struct Epilogue {
  int32_t zp = 0;
  const float* mul = nullptr;   // [M]: sx * scale[m]
  const float* bias = nullptr;  // [M]
  float* y = nullptr;           // the image's output, [M][Ho*Wo]
  int64_t plane = 0;            // Ho * Wo
};

// Y[m0+i][pix0+p] = (acc[p*accStride + i] - zp*wsum[i]) * mul + bias for
// i < mCount, p < pixCount. Kept out of line so that every processor path runs
// the same machine code for the float part and the outputs match bit for bit.
void emit(const Epilogue& e, int64_t m0, int mCount, int64_t pix0, int pixCount, const int32_t* acc, int accStride,
          const int32_t* wsum);

// Interior outputs [oxBegin, oxEnd) of row oy, all taps inside the image; act is
// the image's quantised activations. One per instruction set.
using SpanFn = void (*)(const Geometry& g, const uint8_t* act, const Weights& w, int64_t oy, int64_t oxBegin,
                        int64_t oxEnd, const Epilogue& e);
void spanAvx2(const Geometry& g, const uint8_t* act, const Weights& w, int64_t oy, int64_t oxBegin, int64_t oxEnd,
              const Epilogue& e);
void spanAvxVnni(const Geometry& g, const uint8_t* act, const Weights& w, int64_t oy, int64_t oxBegin, int64_t oxEnd,
                 const Epilogue& e);
void spanAvx512Vnni(const Geometry& g, const uint8_t* act, const Weights& w, int64_t oy, int64_t oxBegin,
                    int64_t oxEnd, const Epilogue& e);

// Min and max of x[0, n) with both starting at 0, 8 lanes at a time; false
// when a value is not finite. The portable variant is the plain loop.
bool rangeAvx(const float* x, size_t n, float& lo, float& hi);

}  // namespace le::int8conv
