// The lip contour template of a forged identity: a lip-shaped polygon around
// the forged mouth keypoints (rows 12..15), plain or through an anchor-linear map.
#include <algorithm>
#include <charconv>
#include <cmath>
#include <stdexcept>

#include "forge_internal.h"

namespace le::forge {

// Corners a little outside the mouth-corner keypoints, a cupid's bow above
// the upper-lip keypoint, the lower outline just below the lower-lip one.
const double kLipCanon[kLipVertices][2] = {
    {-1.08, -0.27}, {-0.85, -0.50}, {-0.55, -0.66}, {-0.25, -0.72}, {0.00, -0.62}, {0.25, -0.72}, {0.55, -0.66},
    {0.85, -0.50},  {1.08, -0.27},  {0.85, 0.30},   {0.50, 0.80},   {0.00, 1.05},  {-0.50, 0.80}, {-0.85, 0.30},
};

namespace {

std::string num(double v) {
  if (v == 0) return "0";
  char buf[64];
  auto r = std::to_chars(buf, buf + sizeof buf, v);  // shortest text that reads back as v
  return std::string(buf, r.ptr);
}

// The map: feature vector (px - mx, py - my) per anchor in kLipRows order,
// i.e. columns L.x L.y U.x U.y R.x R.y D.x D.y.
void fitMap(const float* kp, int crop, std::vector<double>& W, std::vector<double>& b) {
  double px[4], py[4], mx = 0, my = 0;
  for (int a = 0; a < 4; ++a) {
    px[a] = (double(kp[kLipRows[a] * 3]) + 1.0) * crop / 2.0;
    py[a] = (double(kp[kLipRows[a] * 3 + 1]) + 1.0) * crop / 2.0;
    mx += px[a] / 4, my += py[a] / 4;
  }
  double sx = 1e-6, sy = 1e-6;
  for (int a = 0; a < 4; ++a) sx = std::max(sx, std::abs(px[a] - mx)), sy = std::max(sy, std::abs(py[a] - my));
  const double halfWidth = (px[2] - px[0]) / 2;  // corner to corner
  const double height = py[3] - py[1];           // upper lip to lower lip
  const int cols = 8;
  W.assign(size_t(2) * kLipVertices * cols, 0.0);
  b.assign(size_t(2) * kLipVertices, 0.0);
  for (int v = 0; v < kLipVertices; ++v) {
    const double tx = kLipCanon[v][0] * sx, ty = kLipCanon[v][1] * sy;  // rest offsets from the mean
    double* wx = &W[size_t(2 * v) * cols];
    double* wy = &W[size_t(2 * v + 1) * cols];
    if (std::abs(halfWidth) > 1e-3) {
      wx[4] = tx / halfWidth / 2, wx[0] = -tx / halfWidth / 2;
    } else {
      b[2 * v] = tx;
    }
    if (std::abs(height) > 1e-3) {
      wy[7] = ty / height, wy[3] = -ty / height;
    } else {
      b[2 * v + 1] = ty;
    }
  }
}

}  // namespace

std::string lipTemplateText(const BundleSpec& spec, const std::vector<float>& target) {
  if (spec.lipTemplate == LipTemplate::None) throw std::runtime_error("forge: this spec carries no lip template");
  if (target.size() < size_t(kKpFloats)) throw std::runtime_error("forge: lip template wants target keypoints");
  const int S = spec.crop;
  std::string t = "{\n  \"format\": \"lip-template-v1\",\n  \"edge\": \"outward\",\n  \"canvas\": " + num(S) +
                  ",\n  \"feather_px\": " + num(std::max(1.0, S / 64.0)) + ",\n  \"lip_idx\": [12, 13, 14, 15],\n" +
                  "  \"u_canon\": [";
  for (int v = 0; v < kLipVertices; ++v)
    t += std::string(v ? ", " : "") + "[" + num(kLipCanon[v][0]) + ", " + num(kLipCanon[v][1]) + "]";
  t += "]";
  if (spec.lipTemplate == LipTemplate::Mapped) {
    std::vector<double> W, b;
    fitMap(target.data(), S, W, b);
    t += ",\n  \"lip_map\": {\n    \"schema\": \"lip-map-v1\",\n    \"kind\": \"anchor-linear\",\n"
         "    \"lip_idx\": [12, 13, 14, 15],\n    \"canvas\": " + num(S) + ",\n    \"W\": [";
    for (int i = 0; i < 2 * kLipVertices; ++i) {
      t += std::string(i ? ",\n      [" : "\n      [");
      for (int j = 0; j < 8; ++j) t += std::string(j ? ", " : "") + num(W[size_t(i) * 8 + j]);
      t += "]";
    }
    t += "],\n    \"b\": [";
    for (int i = 0; i < 2 * kLipVertices; ++i) t += std::string(i ? ", " : "") + num(b[i]);
    t += "]\n  }";
  }
  return t + "\n}\n";
}

std::string lipTemplateText(const BundleSpec& spec) {
  detail::validateSpec(spec);
  if (spec.lipTemplate == LipTemplate::None) throw std::runtime_error("forge: this spec carries no lip template");
  return lipTemplateText(spec, targetKeypoints(spec));
}

}  // namespace le::forge
