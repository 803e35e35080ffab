#include "tessera/le_tessera_pi.h"

#include <algorithm>
#include <climits>
#include <cmath>
#include <cstdio>
#include <cstring>
#include <stdexcept>

#include "tessera/le_bundle_tessera.h"

namespace le::tessera {

const CorpusGeometry kCorpusGeometries[3] = {
    {"v1", 0.05f, 0.08f, 0.015f},
    {"v2", 0.10f, 0.08f, 0.074f},
    {"v3", 0.14f, 0.08f, 0.074f},
};

namespace {

using json::JVal;

constexpr int kKpRows = 21;

std::string fixed(double v, int decimals) {
  char buf[64];
  std::snprintf(buf, sizeof buf, "%.*f", decimals, v);
  return buf;
}

std::string shortNum(double v) {
  char buf[64];
  std::snprintf(buf, sizeof buf, "%g", v);
  return buf;
}

float smoothstep01(float t) {
  const float e = std::min(1.0f, t);
  return e * e * (3.0f - 2.0f * e);
}

// A double into [lo, hi] as an int; NaN gives lo, so a wild keypoint never
// reaches an out-of-range conversion.
int32_t clampI(double v, int32_t lo, int32_t hi) {
  if (!(v >= lo)) return lo;
  if (v > hi) return hi;
  return static_cast<int32_t>(v);
}

Box intersect(const Box& a, const Box& b) {
  Box c;
  c.x0 = std::max(a.x0, b.x0);
  c.y0 = std::max(a.y0, b.y0);
  c.x1 = std::max(c.x0, std::min(a.x1, b.x1));
  c.y1 = std::max(c.y0, std::min(a.y1, b.y1));
  return c;
}

EllParams makeEll(float cx, float cy, float ax, float ay) {
  EllParams p;
  p.cx = cx;
  p.cy = cy;
  p.ax = ax;
  p.ay = ay;
  p.k = 256.0f * std::sqrt(ax * ay);
  return p;
}

}  // namespace

float UnifiedPi::ellValue(float x, float y, const EllParams& p) {
  const float dx = (x - p.cx) / p.ax, dy = (y - p.cy) / p.ay;
  const float d = std::sqrt(dx * dx + dy * dy);
  const float t = p.k * (1.0f - d) / 10.0f;
  if (!(t > 0.0f)) return 0.0f;
  return smoothstep01(t);
}

uint8_t UnifiedPi::toU8(float v) {
  if (!(v > 0.0f)) return 0;
  if (v > 1.0f) v = 1.0f;
  return static_cast<uint8_t>(std::nearbyint(v * 255.0f));
}

float UnifiedPi::opening(float sy) {
  const float o = (sy - 0.02f) / 0.01f;
  if (!(o > 0.0f)) return 0.0f;
  return smoothstep01(o);
}

UnifiedPi::LipStats UnifiedPi::lipStats(const float* kp) const {
  double sumX = 0, sumY = 0;
  for (int32_t r : lip_idx) {
    sumX += kp[r * 3 + 0];
    sumY += kp[r * 3 + 1];
  }
  LipStats s;
  s.mx = float(sumX / double(lip_idx.size()));
  s.my = float(sumY / double(lip_idx.size()));
  s.sx = 0;
  s.sy = 0;
  for (int32_t r : lip_idx) {
    s.sx = std::max(s.sx, std::abs(kp[r * 3 + 0] - s.mx));
    s.sy = std::max(s.sy, std::abs(kp[r * 3 + 1] - s.my));
  }
  return s;
}

// Grows the lip ellipse just enough that every lip point lies inside it with
// five units of margin on the 256-pixel ramp scale.
float UnifiedPi::recoveryScale(const float* kp, const LipStats& s) const {
  const float ax = std::max(0.1f, s.sx + pad_x), ay = std::max(0.1f, s.sy + pad_y);
  const float k = 256.0f * std::sqrt(ax * ay);
  float r = 0;
  for (int32_t row : lip_idx) {
    const float dx = (kp[row * 3 + 0] - s.mx) / ax, dy = (kp[row * 3 + 1] - (s.my + down)) / ay;
    r = std::max(r, std::sqrt(dx * dx + dy * dy));
  }
  return std::max(1.0f, 5.0f / k + r);
}

EllParams UnifiedPi::lipParams(const float* kp) const {
  const LipStats s = lipStats(kp);
  const float v = corner_recovery ? recoveryScale(kp, s) : 1.0f;
  return makeEll(s.mx, s.my + down, std::max(0.1f, s.sx + pad_x) * v, std::max(0.1f, s.sy + pad_y) * v);
}

EllParams UnifiedPi::gateParams(const float* kp, float* openingOut) const {
  const LipStats s = lipStats(kp);
  if (openingOut) *openingOut = opening(s.sy);
  return makeEll(s.mx, s.my, std::max(0.004f, s.sx) * prop_gate_scale, std::max(0.004f, s.sy) * prop_gate_scale);
}

void UnifiedPi::ellMask(const float* kp, float padX, float padY, float minAx, float minAy, float scale, float dn,
                        float* out) const {
  const LipStats s = lipStats(kp);
  float ax = std::max(minAx, s.sx + padX), ay = std::max(minAy, s.sy + padY);
  if (scale != 1.0f) ax *= scale, ay *= scale;
  const EllParams p = makeEll(s.mx, s.my + dn, ax, ay);
  for (int r = 0; r < canvas; ++r)
    for (int c = 0; c < canvas; ++c) out[size_t(r) * canvas + c] = ellValue(xs[c], ys[r], p);
}

void UnifiedPi::lipMask(const float* kp, float* out) const {
  const LipStats s = lipStats(kp);
  const float v = corner_recovery ? recoveryScale(kp, s) : 1.0f;
  ellMask(kp, pad_x, pad_y, 0.1f, 0.1f, v, down, out);
}

void UnifiedPi::propTeethGate(const float* kp, float* out) const {
  ellMask(kp, 0.0f, 0.0f, 0.004f, 0.004f, prop_gate_scale, 0.0f, out);
  const float o = opening(lipStats(kp).sy);
  const size_t n = size_t(canvas) * canvas;
  for (size_t i = 0; i < n; ++i) out[i] *= o;
}

Box UnifiedPi::ellBox(const EllParams& p) const {
  const int32_t n = canvas;
  if (n < 2) return Box{0, 0, n, n};
  const double g = (n - 1) / 2.0;
  const double cx = p.cx, cy = p.cy, ax = p.ax, ay = p.ay;
  Box b;
  b.y0 = clampI(std::floor((cy - ay + 1) * g) - 1, 0, n);
  b.x0 = clampI(std::floor((cx - ax + 1) * g) - 1, 0, n);
  b.y1 = std::max(b.y0, clampI(std::ceil((cy + ay + 1) * g) + 2, 0, n));
  b.x1 = std::max(b.x0, clampI(std::ceil((cx + ax + 1) * g) + 2, 0, n));
  return b;
}

Box UnifiedPi::supportBox(const float* kp) const {
  const Box a = ellBox(lipParams(kp));
  const Box b = ellBox(gateParams(kp, nullptr));
  return Box{std::min(a.x0, b.x0), std::min(a.y0, b.y0), std::max(a.x1, b.x1), std::max(a.y1, b.y1)};
}

void UnifiedPi::piU8(const float* kp, uint8_t* out) const {
  const EllParams lip = lipParams(kp);
  float o = 0;
  const EllParams gate = gateParams(kp, &o);
  for (int r = 0; r < canvas; ++r)
    for (int c = 0; c < canvas; ++c)
      out[size_t(r) * canvas + c] = toU8(std::max(ellValue(xs[c], ys[r], lip), ellValue(xs[c], ys[r], gate) * o));
}

void UnifiedPi::piU8Boxed(const float* kp, uint8_t* out) const {
  std::memset(out, 0, size_t(canvas) * canvas);
  const Box b = supportBox(kp).clippedTo(canvas);
  const EllParams lip = lipParams(kp);
  float o = 0;
  const EllParams gate = gateParams(kp, &o);
  for (int r = b.y0; r < b.y1; ++r)
    for (int c = b.x0; c < b.x1; ++c)
      out[size_t(r) * canvas + c] = toU8(std::max(ellValue(xs[c], ys[r], lip), ellValue(xs[c], ys[r], gate) * o));
}

void UnifiedPi::piU8ShrunkBy(const float* kp, const float* limit, const Box& box, uint8_t* out) const {
  std::memset(out, 0, size_t(canvas) * canvas);
  const Box b = intersect(supportBox(kp), box).clippedTo(canvas);
  if (b.empty()) return;
  const EllParams lip = lipParams(kp);
  float o = 0;
  const EllParams gate = gateParams(kp, &o);
  for (int r = b.y0; r < b.y1; ++r)
    for (int c = b.x0; c < b.x1; ++c) {
      const size_t at = size_t(r) * canvas + c;
      const float lim = limit[at];
      if (!(lim > 0.0f)) continue;
      out[at] = toU8(std::min(lim, std::max(ellValue(xs[c], ys[r], lip), ellValue(xs[c], ys[r], gate) * o)));
    }
}

bool UnifiedPi::piU8Centroid(const uint8_t* pi, int n, double* x, double* y) {
  int64_t count = 0, sx = 0, sy = 0;
  for (int r = 0; r < n; ++r)
    for (int c = 0; c < n; ++c)
      if (pi[size_t(r) * n + c] >= 128) ++count, sx += c, sy += r;
  if (count == 0) return false;
  *x = double(sx) / double(count);
  *y = double(sy) / double(count);
  return true;
}

bool UnifiedPi::piU8Centroid(const uint8_t* pi, const Box& box, double* x, double* y) const {
  const Box b = box.clippedTo(canvas);
  int64_t count = 0, sx = 0, sy = 0;
  for (int r = b.y0; r < b.y1; ++r)
    for (int c = b.x0; c < b.x1; ++c)
      if (pi[size_t(r) * canvas + c] >= 128) ++count, sx += c, sy += r;
  if (count == 0) return false;
  *x = double(sx) / double(count);
  *y = double(sy) / double(count);
  return true;
}

bool UnifiedPi::piU8AndShift(const float* kp, const double cCanon[2], uint8_t* out, int* shiftRows,
                             int* shiftCols) const {
  const Box b = supportBox(kp);
  piU8Boxed(kp, out);
  double x = 0, y = 0;
  if (!piU8Centroid(out, b, &x, &y)) return false;
  const double dr = std::nearbyint(y - cCanon[1]), dc = std::nearbyint(x - cCanon[0]);
  // A c_canon that is not a number names no shift at all.
  if (!std::isfinite(dr) || !std::isfinite(dc)) return false;
  *shiftRows = clampI(dr, -INT_MAX, INT_MAX);
  *shiftCols = clampI(dc, -INT_MAX, INT_MAX);
  return true;
}

void UnifiedPi::canonicalCentroid(const float* frames, int frameCount, double* x, double* y) const {
  std::vector<uint8_t> pi(size_t(canvas) * canvas);
  double sx = 0, sy = 0;
  int count = 0;
  for (int f = 0; frames && f < frameCount; ++f) {
    const float* kp = frames + size_t(f) * kKpRows * 3;
    // The boxed pi equals the full one: nothing lies outside the support box.
    piU8Boxed(kp, pi.data());
    double cx = 0, cy = 0;
    if (piU8Centroid(pi.data(), supportBox(kp), &cx, &cy)) sx += cx, sy += cy, ++count;
  }
  if (count == 0)
    throw std::runtime_error(
        "teeth-pi: pi is empty on every source frame — cannot derive the canonical centroid this bundle's frame is "
        "identified by");
  *x = sx / count;
  *y = sy / count;
}

UnifiedPi UnifiedPi::fromManifestJson(std::string_view manifestText, int canvas) {
  if (canvas < 1) throw std::runtime_error("teeth-pi: canvas " + std::to_string(canvas) + " is not a positive side");
  const JVal doc = json::parseDocument(manifestText, "manifest.json");
  const JVal* unified = doc.find("unified");
  if (!unified || !unified->isObj())
    throw std::runtime_error(
        "teeth-pi: manifest has no `unified` block — this bundle predates the unified compose and cannot state the "
        "pi geometry it was baked with; refusing to guess one");
  const JVal& pi = json::reqKey(*unified, "pi");
  UnifiedPi u;
  u.canvas = canvas;

  const JVal& mode = json::reqKey(pi, "mode");
  if (!mode.isStr()) throw std::runtime_error("teeth-pi: unified.pi.mode is not a string");
  if (mode.str != "prop")
    throw std::runtime_error("teeth-pi: unified.pi.mode '" + mode.str +
                             "' is a compose-mask geometry this port cannot name — fail loud, never adapt (the "
                             "stamped-geometry rule)");
  u.mode = mode.str;

  if (const JVal* cr = pi.find("corner_recovery")) {
    if (cr->isBool()) u.corner_recovery = cr->b;
    else if (cr->isStr() && cr->str == "lip_landmark_half") u.corner_recovery = true;
    else
      throw std::runtime_error(
          "teeth-pi: unknown unified.pi.corner_recovery — a compose-mask geometry a consumer cannot name must never "
          "be guessed");
  }

  json::reqKey(pi, "prop_gate_scale");
  const double gs = json::reqNumber(pi, "prop_gate_scale", "unified.pi");
  // Zero, negative or non-finite scales give a gate whose every pixel is NaN
  // or full; no bundle can have been baked with one.
  if (!(gs > 0.0) || !std::isfinite(float(gs)))
    throw std::runtime_error("teeth-pi: unified.pi.prop_gate_scale " + shortNum(gs) + " is not a positive finite scale");
  u.prop_gate_scale = float(gs);

  const JVal& li = json::reqKey(pi, "lip_idx");
  if (!li.isArr() || li.arr.empty()) throw std::runtime_error("teeth-pi: unified.pi.lip_idx is not a non-empty array");
  for (size_t i = 0; i < li.arr.size(); ++i) {
    int32_t row = -1;
    // Rows index one keypoint set; anything else would read outside it.
    if (!li.arr[i].isNum() || !json::truncI32(li.arr[i].num, &row) || row < 0 || row >= kKpRows)
      throw std::runtime_error("teeth-pi: unified.pi.lip_idx entry " + std::to_string(i) +
                               " is not a keypoint row 0..20");
    u.lip_idx.push_back(row);
  }

  const JVal& gp = json::reqKey(pi, "lip_geom_params");
  bool gpOk = gp.isArr() && gp.arr.size() == 3;
  for (size_t i = 0; gpOk && i < 3; ++i) gpOk = gp.arr[i].isNum() && std::isfinite(float(gp.arr[i].num));
  if (!gpOk) throw std::runtime_error("teeth-pi: unified.pi.lip_geom_params must be [pad_x, pad_y, down]");
  u.pad_x = float(gp.arr[0].num);
  u.pad_y = float(gp.arr[1].num);
  u.down = float(gp.arr[2].num);

  if (const JVal* crop = unified->find("crop"); crop && crop->isObj()) {
    if (const JVal* cv = crop->find("canvas")) {
      int32_t side = 0;
      if (!json::truncI32(cv->num, &side) || side != canvas)
        throw std::runtime_error("teeth-pi: engine renders at canvas " + std::to_string(canvas) +
                                 " but unified.crop.canvas is " + fixed(cv->num, 6));
    }
  }

  u.xs.resize(size_t(canvas));
  for (int i = 0; i < canvas; ++i) u.xs[i] = canvas == 1 ? -1.0f : float(i * 2.0 / (canvas - 1) - 1.0);
  u.ys = u.xs;
  return u;
}

namespace detail {

int pickCorpus(const double dist[3], const double cCanon[2]) {
  // NaN sorts last, so a c_canon that is not a number matches nothing.
  auto key = [&](int i) { return std::isnan(dist[i]) ? HUGE_VAL : dist[i]; };
  int order[3] = {0, 1, 2};
  for (int i = 1; i < 3; ++i)  // insertion: equal distances keep table order
    for (int j = i; j > 0 && key(order[j]) < key(order[j - 1]); --j) std::swap(order[j], order[j - 1]);
  std::string summary;
  for (int i : order) summary += std::string(" ") + kCorpusGeometries[i].name + "=" + fixed(dist[i], 2) + "px";
  const double best = key(order[0]), second = key(order[1]);
  if (!(best <= 8.0))
    throw std::runtime_error("teeth-pi: no corpus pi geometry matches this bank's c_canon (" + fixed(cCanon[0], 2) +
                             "," + fixed(cCanon[1], 2) + ") within " + fixed(8.0, 2) + "px —" + summary +
                             " — the bank's pi frame is unknown and donors will NOT be placed against a frame nobody "
                             "can name");
  if (second - best < 3.0)
    throw std::runtime_error("teeth-pi: corpus pi geometry is AMBIGUOUS (best two within " + fixed(3.0, 2) + "px) —" +
                             summary + " — refusing to guess the bank frame");
  return order[0];
}

}  // namespace detail

UnifiedPi UnifiedPi::corpusFromManifestJson(std::string_view manifestText, int canvas, const float* keypointFrames,
                                            int frameCount, const double cCanon[2], std::string* chosenName) {
  if (!keypointFrames || frameCount <= 0)
    throw std::runtime_error(
        "teeth-pi: the corpus frame is identified from the bundle's own xs_target and none was supplied — refusing "
        "to fall back to the stamped geometry, which is the GRAPH's compose field");
  UnifiedPi base = fromManifestJson(manifestText, canvas);
  double dist[3];
  for (int i = 0; i < 3; ++i) {
    UnifiedPi cand = base;
    cand.pad_x = kCorpusGeometries[i].pad_x;
    cand.pad_y = kCorpusGeometries[i].pad_y;
    cand.down = kCorpusGeometries[i].down;
    double x = 0, y = 0;
    cand.canonicalCentroid(keypointFrames, frameCount, &x, &y);
    dist[i] = std::hypot(x - cCanon[0], y - cCanon[1]);
  }
  const int best = detail::pickCorpus(dist, cCanon);
  base.pad_x = kCorpusGeometries[best].pad_x;
  base.pad_y = kCorpusGeometries[best].pad_y;
  base.down = kCorpusGeometries[best].down;
  if (chosenName) *chosenName = kCorpusGeometries[best].name;
  return base;
}

}  // namespace le::tessera
