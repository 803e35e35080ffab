#include "tessera/le_lip_contour.h"

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <cstring>
#include <stdexcept>
#include <string>

#include "tessera/le_bundle_tessera.h"

namespace le::tessera {

namespace {

using json::JVal;

constexpr int kKpRows = 21;
constexpr float kStraight = 0.955f;   // chamfer weight, horizontal and vertical neighbours
constexpr float kDiagonal = 1.3693f;  // chamfer weight, diagonal neighbours
constexpr float kFar = 1e10f;

[[noreturn]] void refuse(const std::string& reason) {
  throw std::runtime_error("lip_template.v1.json: " + reason);
}

std::string printed(double v, const char* fmt) {
  char buf[64];
  std::snprintf(buf, sizeof buf, fmt, v);
  return buf;
}

int32_t clampI(double v, int32_t lo, int32_t hi) {
  if (!(v >= lo)) return lo;
  if (v > hi) return hi;
  return static_cast<int32_t>(v);
}

float featherValue(float d, float feather) {
  const float t = 1.0f - d / feather;
  if (!(t > 0.0f)) return 0.0f;
  const float e = std::min(1.0f, t);
  return e * e * (3.0f - 2.0f * e);
}

void checkAnchors(const int32_t* idx, int count, const char* tooMany, const char* outside) {
  if (!idx || count < 1 || count > LipContour::kMaxAnchors) refuse(tooMany);
  for (int i = 0; i < count; ++i)
    if (idx[i] < 0 || idx[i] >= kKpRows) refuse(outside);
}

}  // namespace

LipContour::LipContour(int canvasSide, float feather, const double* canon, int vertices, const int32_t* idx,
                       int count)
    : canvas(canvasSide), feather_px(feather), nv(vertices) {
  if (canvasSide < 1) refuse("canvas " + std::to_string(canvasSide) + " is not a positive side");
  if (!(feather > 0.0f)) refuse("declares feather_px " + printed(feather, "%.6f") + ", which is not positive");
  if (!canon || vertices < 1) refuse("carries no non-empty `u_canon` array");
  if (count > kMaxAnchors)
    refuse("carries a `lip_idx` of " + std::to_string(count) + " rows, and the contour anchors to at most " +
           std::to_string(kMaxAnchors));
  if (!idx || count < 1) refuse("carries a `lip_idx` that is not a non-empty array");
  for (int i = 0; i < count; ++i)
    if (idx[i] < 0 || idx[i] >= kKpRows)
      refuse("lip_idx names keypoint row " + std::to_string(idx[i]) + ", and a kd row is 0..20");
  u_canon.assign(canon, canon + size_t(2) * vertices);
  lip_idx.assign(idx, idx + count);
  verts_.resize(size_t(2) * vertices);
  edges_.reserve(size_t(vertices));
  cross_.reserve(size_t(vertices));
}

void LipContour::attachMap(const double* Wm, const double* bv, int rows, int columns, const int32_t* idx,
                           int count) {
  if (rows != 2 * nv || count < 1 || count > kMaxAnchors || columns != 2 * count || !Wm || !bv || !idx)
    refuse("lip_map shape does not match the template");
  checkAnchors(idx, count, "lip_map lip_idx is not 1..8 kd rows", "lip_map lip_idx names a row outside 0..20");
  const size_t n = size_t(rows) * size_t(columns);
  for (size_t i = 0; i < n; ++i)
    if (!std::isfinite(Wm[i])) refuse("lip_map carries a non-finite coefficient");
  for (int i = 0; i < rows; ++i)
    if (!std::isfinite(bv[i])) refuse("lip_map carries a non-finite coefficient");
  W.assign(Wm, Wm + n);
  b.assign(bv, bv + rows);
  cols = columns;
  lip_idx.assign(idx, idx + count);
}

void LipContour::polygon(const float* kp, double* out) const {
  const int na = int(lip_idx.size());
  double px[kMaxAnchors], py[kMaxAnchors], mx = 0, my = 0;
  const double half = canvas / 2.0;
  for (int a = 0; a < na; ++a) {
    px[a] = (double(kp[lip_idx[a] * 3 + 0]) + 1.0) * half;
    py[a] = (double(kp[lip_idx[a] * 3 + 1]) + 1.0) * half;
    mx += px[a];
    my += py[a];
  }
  mx /= na;
  my /= na;
  if (hasMap()) {
    double phi[2 * kMaxAnchors];
    for (int a = 0; a < na; ++a) phi[2 * a] = px[a] - mx, phi[2 * a + 1] = py[a] - my;
    for (int i = 0; i < 2 * nv; ++i) {
      const double* w = &W[size_t(i) * cols];
      double v = b[i];
      for (int j = 0; j < cols; ++j) v += w[j] * phi[j];
      out[i] = v + ((i & 1) ? my : mx);
    }
    return;
  }
  double sx = 0, sy = 0;
  for (int a = 0; a < na; ++a) sx = std::max(sx, std::abs(px[a] - mx)), sy = std::max(sy, std::abs(py[a] - my));
  sx = std::max(sx, 1e-6);
  sy = std::max(sy, 1e-6);
  for (int v = 0; v < nv; ++v) {
    out[2 * v] = sx * u_canon[2 * v] + mx;
    out[2 * v + 1] = sy * u_canon[2 * v + 1] + my;
  }
}

// Keypoints thrown far off the canvas (or not numbers at all) describe no
// lip; the bound keeps every integer step of the rasteriser small and finite.
bool LipContour::saneVertices(const double* v) const {
  const double lo = -16.0 * canvas - 64.0, hi = 17.0 * canvas + 64.0;
  for (int i = 0; i < 2 * nv; ++i)
    if (!(v[i] >= lo && v[i] <= hi)) return false;
  return true;
}

Box LipContour::box(const double* v) const {
  if (!saneVertices(v)) return Box{};
  double minX = v[0], maxX = v[0], minY = v[1], maxY = v[1];
  for (int i = 1; i < nv; ++i) {
    minX = std::min(minX, v[2 * i]), maxX = std::max(maxX, v[2 * i]);
    minY = std::min(minY, v[2 * i + 1]), maxY = std::max(maxY, v[2 * i + 1]);
  }
  const double g = double(feather_px) + 2.0;
  Box bx;
  bx.x0 = clampI(std::floor(minX - g), 0, canvas);
  bx.y0 = clampI(std::floor(minY - g), 0, canvas);
  bx.x1 = std::max(bx.x0, clampI(std::ceil(maxX + g) + 1, 0, canvas));
  bx.y1 = std::max(bx.y0, clampI(std::ceil(maxY + g) + 1, 0, canvas));
  return bx;
}

void LipContour::fillScanline(const double* v, const Box& bx, uint8_t* raster) {
  const int w = bx.x1 - bx.x0, h = bx.y1 - bx.y0;
  if (w <= 0 || h <= 0) return;
  std::memset(raster, 0, size_t(w) * h);
  if (!saneVertices(v)) return;
  auto vx = [&](int i) { return int32_t(std::nearbyint(v[2 * i])) - bx.x0; };
  auto vy = [&](int i) { return int32_t(std::nearbyint(v[2 * i + 1])) - bx.y0; };

  // Outline: every edge, the closing one included, with Bresenham's line.
  for (int i = 0; i < nv; ++i) {
    const int j = (i + 1) % nv;
    int x0 = vx(i), y0 = vy(i);
    const int x1 = vx(j), y1 = vy(j);
    if ((x0 < 0 && x1 < 0) || (x0 >= w && x1 >= w) || (y0 < 0 && y1 < 0) || (y0 >= h && y1 >= h)) continue;
    const int dx = std::abs(x1 - x0), sx = x0 < x1 ? 1 : -1;
    const int dy = -std::abs(y1 - y0), sy = y0 < y1 ? 1 : -1;
    int err = dx + dy;
    for (;;) {
      if (x0 >= 0 && x0 < w && y0 >= 0 && y0 < h) raster[size_t(y0) * w + x0] = 255;
      if (x0 == x1 && y0 == y1) break;
      const int e2 = 2 * err;
      if (e2 >= dy) err += dy, x0 += sx;
      if (e2 <= dx) err += dx, y0 += sy;
    }
  }

  // Interior: even-odd spans between the edges crossing each row, in 16.16.
  edges_.clear();
  int32_t lowTop = INT32_MAX, highBot = INT32_MIN;
  for (int i = 0; i < nv; ++i) {
    const int j = (i + 1) % nv;
    int32_t xa = vx(i), ya = vy(i), xb = vx(j), yb = vy(j);
    if (ya == yb) continue;
    if (ya > yb) std::swap(xa, xb), std::swap(ya, yb);
    const int64_t x = int64_t(xa) * 65536, step = (int64_t(xb - xa) * 65536) / (yb - ya);
    edges_.push_back(Edge{ya, yb, x, step});
    lowTop = std::min(lowTop, ya);
    highBot = std::max(highBot, yb);
  }
  if (edges_.empty()) return;
  const int r0 = std::max(0, lowTop), r1 = std::min(h, highBot);
  for (int row = r0; row < r1; ++row) {
    cross_.clear();
    for (const Edge& e : edges_)
      if (e.top <= row && row < e.bot) cross_.push_back(e.x + e.step * (row - e.top));
    std::sort(cross_.begin(), cross_.end());
    uint8_t* line = raster + size_t(row) * w;
    for (size_t k = 0; k + 1 < cross_.size(); k += 2) {
      const int64_t a = (cross_[k] + 65535) >> 16, c = cross_[k + 1] >> 16;  // ceil, floor
      const int64_t from = std::max<int64_t>(0, a), to = std::min<int64_t>(w - 1, c);
      if (from <= to) std::memset(line + from, 255, size_t(to - from + 1));
    }
  }
}

void LipContour::contourF32(const double* v, const Box& given, float* out) {
  // out is the canvas: a box reaching past it is drawn only where it lies on it.
  const Box bx = given.clippedTo(canvas);
  const int w = bx.x1 - bx.x0, h = bx.y1 - bx.y0;
  if (w <= 0 || h <= 0) return;
  const size_t n = size_t(w) * h;
  if (raster_.size() < n) raster_.resize(n);
  if (dist_.size() < n) dist_.resize(n);
  fillScanline(v, bx, raster_.data());
  float* d = dist_.data();
  for (size_t i = 0; i < n; ++i) d[i] = raster_[i] ? 0.0f : kFar;

  // Two-pass 3x3 chamfer distance; neighbours outside the box do not count.
  // Each pass takes the neighbouring row first (independent per pixel, so it
  // vectorises) and then sweeps along the row, the only serial dependency.
  for (int y = 0; y < h; ++y) {
    float* row = d + size_t(y) * w;
    if (y > 0) {
      const float* up = row - w;
      row[0] = std::min(row[0], up[0] + kStraight);
      if (w > 1) row[0] = std::min(row[0], up[1] + kDiagonal);
      for (int x = 1; x + 1 < w; ++x)
        row[x] = std::min(std::min(row[x], up[x] + kStraight), std::min(up[x - 1], up[x + 1]) + kDiagonal);
      if (w > 1) row[w - 1] = std::min(std::min(row[w - 1], up[w - 1] + kStraight), up[w - 2] + kDiagonal);
    }
    for (int x = 1; x < w; ++x) row[x] = std::min(row[x], row[x - 1] + kStraight);
  }
  for (int y = h - 1; y >= 0; --y) {
    float* row = d + size_t(y) * w;
    if (y + 1 < h) {
      const float* dn = row + w;
      row[0] = std::min(row[0], dn[0] + kStraight);
      if (w > 1) row[0] = std::min(row[0], dn[1] + kDiagonal);
      for (int x = 1; x + 1 < w; ++x)
        row[x] = std::min(std::min(row[x], dn[x] + kStraight), std::min(dn[x - 1], dn[x + 1]) + kDiagonal);
      if (w > 1) row[w - 1] = std::min(std::min(row[w - 1], dn[w - 1] + kStraight), dn[w - 2] + kDiagonal);
    }
    for (int x = w - 2; x >= 0; --x) row[x] = std::min(row[x], row[x + 1] + kStraight);
  }

  const float feather = feather_px;
  for (int y = 0; y < h; ++y) {
    const float* row = d + size_t(y) * w;
    float* o = out + size_t(bx.y0 + y) * canvas + bx.x0;
    for (int x = 0; x < w; ++x) o[x] = featherValue(row[x], feather);
  }
}

void LipContour::contourF32Canvas(const float* kp, float* out) {
  polygon(kp, verts_.data());
  const Box bx = box(verts_.data());
  std::fill(out, out + size_t(canvas) * canvas, 0.0f);
  contourF32(verts_.data(), bx, out);
}

void LipContour::deliveredU8(const float* kp, const UnifiedPi& pi, uint8_t* out) {
  if (pi.canvas != canvas)
    throw std::runtime_error("lip contour: pi composes on a " + std::to_string(pi.canvas) +
                             " canvas and the contour on " + std::to_string(canvas));
  polygon(kp, verts_.data());
  const Box bx = box(verts_.data());
  if (bx.empty()) {
    std::memset(out, 0, size_t(canvas) * canvas);
    return;
  }
  if (mask_.size() < size_t(canvas) * canvas) mask_.resize(size_t(canvas) * canvas);
  contourF32(verts_.data(), bx, mask_.data());
  pi.piU8ShrunkBy(kp, mask_.data(), bx, out);
}

bool LipContour::shrinkU8InPlace(const float* kp, const Box& given, uint8_t* mask) {
  const Box g = given.clippedTo(canvas);
  polygon(kp, verts_.data());
  const Box cb = box(verts_.data());
  Box ov;
  ov.x0 = std::max(cb.x0, g.x0);
  ov.y0 = std::max(cb.y0, g.y0);
  ov.x1 = std::min(cb.x1, g.x1);
  ov.y1 = std::min(cb.y1, g.y1);
  if (ov.empty()) {
    for (int y = g.y0; y < g.y1; ++y) std::memset(mask + size_t(y) * canvas + g.x0, 0, size_t(g.x1 - g.x0));
    return false;
  }
  if (mask_.size() < size_t(canvas) * canvas) mask_.resize(size_t(canvas) * canvas);
  contourF32(verts_.data(), cb, mask_.data());
  bool any = false;
  for (int y = g.y0; y < g.y1; ++y) {
    uint8_t* row = mask + size_t(y) * canvas;
    const float* c = mask_.data() + size_t(y) * canvas;
    const bool rowIn = y >= ov.y0 && y < ov.y1;
    for (int x = g.x0; x < g.x1; ++x) {
      if (!rowIn || x < ov.x0 || x >= ov.x1) {
        row[x] = 0;
        continue;
      }
      row[x] = std::min(row[x], UnifiedPi::toU8(c[x]));
      any = any || row[x] != 0;
    }
  }
  return any;
}

bool LipContour::deliveredU8AndShift(const float* kp, const UnifiedPi& pi, const double cCanon[2], uint8_t* out,
                                     int* shiftRows, int* shiftCols) {
  if (pi.canvas != canvas)
    throw std::runtime_error("lip contour: pi composes on a " + std::to_string(pi.canvas) +
                             " canvas and the contour on " + std::to_string(canvas));
  const bool centred = pi.piU8AndShift(kp, cCanon, out, shiftRows, shiftCols);
  const bool kept = shrinkU8InPlace(kp, pi.supportBox(kp), out);
  return centred && kept;
}

LipContour LipContour::fromTemplateJson(std::string_view text, int canvas) {
  JVal doc;
  try {
    json::JParser ps(text);
    ps.ws();
    doc = ps.val();
  } catch (const std::exception& e) {
    refuse(std::string("is not parseable JSON (") + e.what() + ")");
  }
  if (!doc.isObj()) refuse("is not a JSON object");

  const JVal* format = doc.find("format");
  if (!format || !format->isStr()) refuse("carries no string `format`");
  if (format->str != "lip-template-v1")
    refuse("declares format '" + format->str + "', not 'lip-template-v1' — this runtime cannot read it");

  if (const JVal* edge = doc.find("edge"); edge && edge->isStr() && edge->str != "outward")
    refuse("declares edge '" + edge->str +
           "', and the contour feather is OUTWARD — refusing to serve a mask this runtime does not compute");

  const JVal* cv = doc.find("canvas");
  if (!cv || !cv->isNum()) refuse("carries no numeric `canvas`");
  int32_t side = 0;
  if (!json::truncI32(cv->num, &side) || side != canvas)
    refuse("was baked on a " + (json::truncI32(cv->num, &side) ? std::to_string(side) : printed(cv->num, "%g")) +
           " canvas but this bundle composes on " + std::to_string(canvas) +
           " — refusing to deform a polygon onto a canvas it does not name");

  const JVal* fp = doc.find("feather_px");
  if (!fp || !fp->isNum()) refuse("carries no numeric `feather_px`");
  if (!(fp->num > 0.0)) refuse("declares feather_px " + printed(fp->num, "%.6f") + ", which is not positive");
  // The width is kept as a float: past its range it would feather the whole canvas.
  if (!std::isfinite(float(fp->num)))
    refuse("declares feather_px " + printed(fp->num, "%g") + ", which no float width holds");

  const JVal* uc = doc.find("u_canon");
  if (!uc || !uc->isArr() || uc->arr.empty()) refuse("carries no non-empty `u_canon` array");
  std::vector<double> canon;
  canon.reserve(uc->arr.size() * 2);
  for (size_t i = 0; i < uc->arr.size(); ++i) {
    const JVal& r = uc->arr[i];
    // Two finite numbers: anything else would put a vertex nowhere.
    if (!r.isArr() || r.arr.size() != 2 || !r.arr[0].isNum() || !r.arr[1].isNum() || !std::isfinite(r.arr[0].num) ||
        !std::isfinite(r.arr[1].num))
      refuse("u_canon row " + std::to_string(i) + " is not a 2-vector — this is not an nv x 2 template");
    canon.push_back(r.arr[0].num);
    canon.push_back(r.arr[1].num);
  }

  std::vector<int32_t> idx = {17, 18, 19, 20};
  if (const JVal* li = doc.find("lip_idx")) {
    if (!li->isArr() || li->arr.empty()) refuse("carries a `lip_idx` that is not a non-empty array");
    idx.clear();
    for (size_t i = 0; i < li->arr.size(); ++i) {
      const JVal& x = li->arr[i];
      if (!x.isNum()) refuse("lip_idx entry " + std::to_string(i) + " is not a number");
      int32_t row = 0;
      if (!json::truncI32(x.num, &row)) refuse("lip_idx names keypoint row " + printed(x.num, "%g") + ", and a kd row is 0..20");
      if (row < 0 || row > 20) refuse("lip_idx names keypoint row " + std::to_string(row) + ", and a kd row is 0..20");
      idx.push_back(row);
    }
  }

  LipContour lc(canvas, float(fp->num), canon.data(), int(uc->arr.size()), idx.data(), int(idx.size()));

  if (const JVal* map = doc.find("lip_map")) {
    if (!map->isObj()) refuse("lip_map is not a JSON object");
    const JVal* schema = map->find("schema");
    if (!schema || !schema->isStr() || schema->str != "lip-map-v1")
      refuse("lip_map declares schema '" + (schema && schema->isStr() ? schema->str : std::string("?")) +
             "', not 'lip-map-v1' — this runtime cannot evaluate it");
    const JVal* kind = map->find("kind");
    if (!kind || !kind->isStr() || kind->str != "anchor-linear") refuse("lip_map kind is not 'anchor-linear'");
    std::vector<int32_t> midx = {17, 18, 19, 20};
    if (const JVal* ml = map->find("lip_idx")) {
      if (!ml->isArr() || ml->arr.empty() || ml->arr.size() > size_t(kMaxAnchors))
        refuse("lip_map lip_idx is not 1..8 kd rows");
      midx.clear();
      for (const JVal& x : ml->arr) {
        if (!x.isNum() || !std::isfinite(x.num) || x.num != std::floor(x.num) || x.num < 0 || x.num > 20)
          refuse("lip_map lip_idx names a row outside 0..20");
        midx.push_back(int32_t(x.num));
      }
    }
    const JVal* Wj = map->find("W");
    const JVal* bj = map->find("b");
    if (!Wj || !bj || !Wj->isArr() || !bj->isArr()) refuse("lip_map carries no W/b arrays");
    const size_t rows = size_t(2) * size_t(lc.nv);
    if (Wj->arr.size() != rows || bj->arr.size() != rows)
      refuse("lip_map W/b have " + std::to_string(Wj->arr.size()) + "/" + std::to_string(bj->arr.size()) +
             " rows, not 2*nv=" + std::to_string(rows));
    const size_t width = 2 * midx.size();
    for (size_t i = 0; i < rows; ++i)
      if (!Wj->arr[i].isArr() || Wj->arr[i].arr.size() != width)
        refuse("lip_map W row " + std::to_string(i) + " is not " + std::to_string(width) + " wide");
    std::vector<double> Wm, bv;
    Wm.reserve(rows * width);
    bv.reserve(rows);
    // A coefficient that is not a finite number has no value to deform with.
    for (size_t i = 0; i < rows; ++i)
      for (const JVal& x : Wj->arr[i].arr) {
        if (!x.isNum() || !std::isfinite(x.num)) refuse("lip_map carries a non-finite coefficient");
        Wm.push_back(x.num);
      }
    for (const JVal& x : bj->arr) {
      if (!x.isNum() || !std::isfinite(x.num)) refuse("lip_map carries a non-finite coefficient");
      bv.push_back(x.num);
    }
    if (const JVal* mc = map->find("canvas")) {
      int32_t mside = 0;
      if (!mc->isNum() || !json::truncI32(mc->num, &mside) || mside != canvas)
        refuse("lip_map was fitted on another canvas than this bundle composes on");
    }
    lc.attachMap(Wm.data(), bv.data(), int(rows), int(width), midx.data(), int(midx.size()));
  }
  return lc;
}

}  // namespace le::tessera
