// The lip contour: a polygon deformed from the current keypoints (the
// template lip_template.v1.json) and its outward-feathered mask. The renderer
// limits the director's compose alpha with it; the teeth pass shrinks pi with
// it so that teeth never land outside the lips.
//
// One LipContour serves one thread: the per-frame calls draw into scratch the
// contour owns, grown on first use and never shrunk, so that after the first
// frames they allocate nothing.
#pragma once

#include <cstdint>
#include <string_view>
#include <vector>

#include "tessera/le_tessera_pi.h"

namespace le::tessera {

class LipContour {
 public:
  static constexpr int kMaxAnchors = 8;

  int32_t canvas = 0;            // compose canvas side the template was baked on
  float feather_px = 0;          // outward feather width, pixels
  int32_t nv = 0;                // polygon vertices
  std::vector<double> u_canon;   // 2*nv: canonical polygon in units of the lip spread
  std::vector<int32_t> lip_idx;  // 1..8 anchor keypoint rows, each 0..20
  std::vector<double> W, b;      // anchor-linear map (2*nv x cols, 2*nv); empty without one
  int32_t cols = 0;              // 2 x map anchor rows

  // Reads a template for a compose canvas of this side; every refusal throws
  // "lip_template.v1.json: " + the reason.
  static LipContour fromTemplateJson(std::string_view templateText, int canvas);

  LipContour(int canvas, float feather_px, const double* u_canon, int nv, const int32_t* lip_idx, int count);

  // Installs the anchor-linear map: rows must be 2*nv, cols 2*count, count 1..8.
  void attachMap(const double* W, const double* b, int rows, int cols, const int32_t* lip_idx, int count);
  bool hasMap() const { return !W.empty(); }

  // 2*nv vertex coordinates (x, y per vertex) in canvas pixels.
  void polygon(const float* kp, double* out) const;
  // The polygon's bounds grown by the feather plus 2, on the canvas; empty
  // when a vertex is not finite or lies absurdly far off the canvas.
  Box box(const double* vertices) const;
  // Fills raster, (x1-x0) x (y1-y0) bytes in box coordinates: 255 inside and
  // on the outline, 0 elsewhere.
  void fillScanline(const double* vertices, const Box& box, uint8_t* raster);
  // The feathered mask into the canvas-sized out, inside box only.
  void contourF32(const double* vertices, const Box& box, float* out);
  // Clears out (canvas^2 floats) and draws the mask of these keypoints.
  void contourF32Canvas(const float* kp, float* out);

  // pi limited by the contour, as bytes (canvas^2); pi must share the canvas.
  void deliveredU8(const float* kp, const UnifiedPi& pi, uint8_t* out);
  // Limits mask (canvas^2 bytes) inside box by the contour; true when any
  // pixel of the overlap stays non-zero.
  bool shrinkU8InPlace(const float* kp, const Box& box, uint8_t* mask);
  // pi with its shift to cCanon, then shrunk by the contour over pi's support
  // box; true when the centroid exists and the shrunk mask is not empty.
  bool deliveredU8AndShift(const float* kp, const UnifiedPi& pi, const double cCanon[2], uint8_t* out,
                           int* shiftRows, int* shiftCols);

 private:
  struct Edge {
    int32_t top, bot;
    int64_t x, step;  // 16.16 fixed point
  };
  bool saneVertices(const double* vertices) const;

  std::vector<uint8_t> raster_;  // box-sized
  std::vector<float> dist_;      // box-sized
  std::vector<float> mask_;      // canvas-sized
  std::vector<double> verts_;    // 2*nv
  std::vector<Edge> edges_;
  std::vector<int64_t> cross_;
};

}  // namespace le::tessera
