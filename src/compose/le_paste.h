// Paste compositor: draws a rendered S x S float crop back onto a full RGB
// frame through a per-frame 2x3 affine transform, after an unsharp mask,
// blended by a fixed 8-bit feathered mask.
#pragma once

#include <cmath>
#include <cstddef>
#include <cstdint>
#include <vector>

namespace le {

// Parameters of the paste compositor's unsharp filter.
struct Unsharp {
  float amount = 1.3f;
  float sigma = 2.0f;
  std::int32_t ksize = 13;
};


class Paste {
 public:
  // Takes ownership of `mask` (side*side bytes, row-major, 255 = crop shown).
  // Throws "paste: mask size" or "paste: ksize must be odd".
  Paste(std::vector<uint8_t> mask, int side, const Unsharp& unsharp);

  // Draws `crop` (3 planes of side*side floats, channel-first, each value
  // multiplied by `scale`) onto `frame` (W*H*3 bytes RGB, no row padding) in
  // place. `M` is the 2x3 row-major crop->frame transform. A degenerate
  // transform or a crop entirely off the frame draws nothing. Throws
  // "paste: side > 1024". One caller at a time per object.
  void composite(const float* crop, float scale, const float* M,
                 unsigned char* frame, int W, int H);

  // The same picture as copying `src` (W*H*3 bytes) into `frame` and then
  // calling composite, in one pass over the frame: each row is copied just
  // before it is blended, while it is in cache, and the copy is split over
  // the worker pool with the blend. Every row of `frame` is written, also
  // when nothing is drawn. `src` may equal `frame` but must not otherwise
  // overlap it. A refused crop ("paste: side > 1024") leaves `frame` as it
  // was.
  void compositeOnto(const unsigned char* src, const float* crop, float scale,
                     const float* M, unsigned char* frame, int W, int H);

  // ---- Read-only views, for tests and diagnostics ------------------------
  int side() const { return side_; }
  int ksize() const { return ksize_; }
  int padded() const { return padded_; }
  float amount() const { return amount_; }
  int mode() const { return mode_; }
  const std::vector<uint8_t>& mask() const { return mask_; }
  const std::vector<float>& gauss() const { return gauss_; }
  const std::vector<float>& lanczos() const { return lanczos_; }
  const std::vector<float>& bilinear() const { return bilinear_; }
  const std::vector<float>& cubic() const { return cubic_; }
  // The scaled and sharpened planes of the last composite (S*S each).
  const std::vector<float>& plane(int c) const { return planes_[c]; }

 private:
  // Where the crop lands on a W x H frame: the frame rows and columns it
  // may touch, and the inverse map of a frame pixel to crop coordinates.
  struct Placement {
    int x0, x1, y0, y1;
    double dxY, dyY, offX, offY;
  };
  // False when nothing is drawn (a degenerate or non-finite transform, or a
  // crop entirely off the frame); otherwise fills `at` and colX_/colY_.
  bool place(const float* M, int W, int H, Placement& at);
  void fillPlanes(const float* crop, float scale);
  void unsharpPlane(std::vector<float>& plane);
  // Blends frame rows y0..y1; with `src`, copies each of those rows from it
  // first.
  void compositeTail(const unsigned char* src, unsigned char* frame, int W,
                     const Placement& at);

  int side_ = 0;
  int ksize_ = 0;
  int padded_ = 0;
  float amount_ = 0.f;
  int mode_ = 0;
  std::vector<uint8_t> mask_;
  std::vector<float> gauss_;
  std::vector<float> lanczos_;
  std::vector<float> bilinear_;
  std::vector<float> cubic_;
  std::vector<float> planes_[3];
  std::vector<float> padBuf_;
  std::vector<float> rowBlur_;
  std::vector<float> rgbx_;
  std::vector<int> colX_;
  std::vector<int> colY_;
  std::vector<int> reflect_;  // padded index -> plane index, per axis
};

// The parts of the per-pixel rule shared by every resampling mode and by the
// row kernel's variants.
namespace paste_detail {

// Bilinear mask weight at (ix, iy) with the phase weights bx, by (mask
// entries outside the crop count 0), rounded to nearest-even, over 255.
inline float maskAlpha(const uint8_t* mask, int side, int ix, int iy,
                       const float* bx, const float* by) {
  const auto at = [&](int r, int c) -> float {
    return (r >= 0 && r < side && c >= 0 && c < side)
               ? static_cast<float>(mask[static_cast<size_t>(r) * side + c])
               : 0.0f;
  };
  const float m = (at(iy, ix) * bx[0] + at(iy, ix + 1) * bx[1]) * by[0] +
                  (at(iy + 1, ix) * bx[0] + at(iy + 1, ix + 1) * bx[1]) * by[1];
  return std::nearbyint(m) / 255.0f;
}

// Where a frame pixel lands on the crop and how much of the crop shows there:
// u, v are the fixed-point crop coordinates (10 fraction bits, phases of 5).
// False when the pixel is off the crop or fully masked, and then nothing is
// drawn. Every resampling mode and every kernel target uses this one rule.
struct CropHit {
  int ix, iy;  // integer crop position
  int px, py;  // phase, 0..31
  float alpha;
};
inline bool cropHit(int u, int v, int side, const uint8_t* mask, const float* bilinear, CropHit& h) {
  if (u < -1024 || v < -1024) return false;
  h.ix = u >> 10;
  h.iy = v >> 10;
  if (h.ix >= side || h.iy >= side) return false;
  h.px = (u >> 5) & 31;
  h.py = (v >> 5) & 31;
  h.alpha = maskAlpha(mask, side, h.ix, h.iy, bilinear + 2 * h.px, bilinear + 2 * h.py);
  return h.alpha > 0.0f;
}

// 8x8 colour with every tap tested against the crop.
inline void colourChecked(const float* rgbx, int side, int ix, int iy,
                          const float* wx, const float* wy, float out[3]) {
  float acc[3] = {0.0f, 0.0f, 0.0f};
  for (int r = 0; r < 8; ++r) {
    const int row = iy - 3 + r;
    if (row < 0 || row >= side) continue;
    float rs[3] = {0.0f, 0.0f, 0.0f};
    for (int c = 0; c < 8; ++c) {
      const int col = ix - 3 + c;
      if (col < 0 || col >= side) continue;
      const float* p = rgbx + 4 * (static_cast<size_t>(row) * side + col);
      for (int k = 0; k < 3; ++k) rs[k] += wx[c] * p[k];
    }
    for (int k = 0; k < 3; ++k) acc[k] += wy[r] * rs[k];
  }
  for (int k = 0; k < 3; ++k) out[k] = acc[k];
}

// Clamp to [0, 255] (NaN -> 0) and truncate toward zero.
inline uint8_t toByte(float o) {
  o = o > 0.0f ? (o < 255.0f ? o : 255.0f) : 0.0f;
  return static_cast<uint8_t>(o);
}

inline void blend(uint8_t* px, float alpha, const float colour[3]) {
  const float keep = 1.0f - alpha;
  for (int c = 0; c < 3; ++c) {
    px[c] = toByte(static_cast<float>(px[c]) * keep + alpha * colour[c]);
  }
}

}  // namespace paste_detail

}  // namespace le
