// The unified compose geometry (pi): the soft mouth mask the director composes
// each crop with, recomputed from the same keypoints so that the teeth pass
// places its donors in the frame the director used. Keypoints are 21 rows of
// (x, y, z) float32 in normalised canvas coordinates (-1 first pixel, +1 last).
#pragma once

#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

namespace le::tessera {

// Columns x0 .. x1-1, rows y0 .. y1-1.
struct Box {
  int32_t x0 = 0, y0 = 0, x1 = 0, y1 = 0;
  bool empty() const { return x1 <= x0 || y1 <= y0; }
  // The part on an n x n canvas (empty, never inverted, when none is).
  Box clippedTo(int32_t n) const {
    Box c;
    c.x0 = x0 < 0 ? 0 : (x0 > n ? n : x0);
    c.y0 = y0 < 0 ? 0 : (y0 > n ? n : y0);
    c.x1 = x1 < c.x0 ? c.x0 : (x1 > n ? n : x1);
    c.y1 = y1 < c.y0 ? c.y0 : (y1 > n ? n : y1);
    return c;
  }
};

// An elliptical region in normalised units; k = 256 * sqrt(ax * ay).
struct EllParams {
  float cx = 0, cy = 0, ax = 0, ay = 0, k = 0;
};

// One of the geometries banks were built with (pad_x, pad_y, down).
struct CorpusGeometry {
  const char* name;
  float pad_x, pad_y, down;
};
extern const CorpusGeometry kCorpusGeometries[3];

class UnifiedPi {
 public:
  int32_t canvas = 0;
  std::string mode;
  bool corner_recovery = false;
  float prop_gate_scale = 0;
  std::vector<int32_t> lip_idx;
  float pad_x = 0, pad_y = 0, down = 0;
  std::vector<float> xs, ys;  // normalised coordinate of each column / row

  // The geometry of the manifest's `unified` block, for a canvas of this side.
  static UnifiedPi fromManifestJson(std::string_view manifestText, int canvas);
  // The base geometry with the corpus row whose canonical centroid over the
  // bundle's own target keypoints (frameCount x 63 floats) lies within 8 px of
  // cCanon (x, y in pixels) and clearly nearer than the others.
  static UnifiedPi corpusFromManifestJson(std::string_view manifestText, int canvas, const float* keypointFrames,
                                          int frameCount, const double cCanon[2], std::string* chosenName);

  EllParams lipParams(const float* kp) const;
  EllParams gateParams(const float* kp, float* opening) const;

  // Full-canvas float masks (canvas^2 each).
  void ellMask(const float* kp, float padX, float padY, float minAx, float minAy, float scale, float down,
               float* out) const;
  void lipMask(const float* kp, float* out) const;
  void propTeethGate(const float* kp, float* out) const;

  Box ellBox(const EllParams& p) const;
  Box supportBox(const float* kp) const;

  // pi as bytes (canvas^2). The boxed variants touch only the support box
  // beyond the clearing and allocate nothing.
  void piU8(const float* kp, uint8_t* out) const;
  void piU8Boxed(const float* kp, uint8_t* out) const;
  void piU8ShrunkBy(const float* kp, const float* limit, const Box& box, uint8_t* out) const;

  static bool piU8Centroid(const uint8_t* pi, int canvas, double* x, double* y);
  bool piU8Centroid(const uint8_t* pi, double* x, double* y) const { return piU8Centroid(pi, canvas, x, y); }
  bool piU8Centroid(const uint8_t* pi, const Box& box, double* x, double* y) const;

  bool piU8AndShift(const float* kp, const double cCanon[2], uint8_t* out, int* shiftRows, int* shiftCols) const;
  // Mean pi centroid over the frames whose pi is not empty.
  void canonicalCentroid(const float* keypointFrames, int frameCount, double* x, double* y) const;

  // [0, 1] clamp, x255, nearest with halves to even; NaN gives 0.
  static uint8_t toU8(float v);
  // The soft ellipse value at a point (normalised units).
  static float ellValue(float x, float y, const EllParams& p);

 private:
  struct LipStats {
    float mx, my, sx, sy;
  };
  LipStats lipStats(const float* kp) const;
  float recoveryScale(const float* kp, const LipStats& s) const;
  static float opening(float sy);
};

namespace detail {
// Which corpus row the three centroid distances (table order) name: its index,
// or a throw with the summary of all three. Exposed for tests.
int pickCorpus(const double dist[3], const double cCanon[2]);
}  // namespace detail

}  // namespace le::tessera
