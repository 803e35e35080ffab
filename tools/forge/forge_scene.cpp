// The procedural scene behind every forged identity: a portrait (the real demo
// portrait or a generated face), its face box and keypoints, and the looping
// sway that places it on each driver frame. Source frames, paste transforms and
// keypoints are all derived from this one model, so they agree with each other.
#include <algorithm>
#include <cmath>
#include <stdexcept>

#include "forge_internal.h"

namespace le::forge {

// Hand-placed on third_party/demo/astronaut.png (512 x 512), pixel-centre coordinates.
const float kAstronautKp[21][2] = {
    {191.0f, 93.5f},  {201.0f, 90.0f},  {212.5f, 92.5f},   // left brow: outer, mid, inner
    {233.5f, 93.5f},  {245.0f, 91.0f},  {257.5f, 93.5f},   // right brow: inner, mid, outer
    {193.5f, 100.5f}, {210.0f, 102.5f},                    // left eye: outer, inner
    {237.5f, 103.5f}, {253.5f, 102.5f},                    // right eye: inner, outer
    {223.5f, 105.0f}, {222.5f, 127.5f},                    // nose bridge, nose tip
    {202.5f, 140.0f}, {223.5f, 141.0f}, {248.5f, 140.0f}, {225.0f, 152.5f},  // mouth
    {180.0f, 125.0f}, {207.5f, 170.0f}, {225.0f, 175.0f}, {242.5f, 168.5f}, {260.0f, 130.0f},  // jaw
};

namespace detail {
namespace {

constexpr double kPi = 3.14159265358979323846;

// Relative depth of each keypoint (nose forward, jaw back).
constexpr double kKpZ[21] = {0.05, 0.06, 0.06, 0.06, 0.06, 0.05, 0.01, 0.03, 0.03, 0.01, 0.08,
                             0.16, 0.04, 0.09, 0.04, 0.08, -0.07, 0.02, 0.06, 0.02, -0.07};

// Face box of the demo portrait (edge coordinates on the 512 x 512 image).
constexpr double kAstroBoxX0 = 122, kAstroBoxY0 = 15, kAstroBoxSide = 200;

// Idealised symmetric layout for the generated face, in face-box units [0,1].
constexpr double kTemplate[21][2] = {
    {0.350, 0.390}, {0.400, 0.375}, {0.455, 0.385}, {0.545, 0.385}, {0.600, 0.375}, {0.650, 0.390},
    {0.360, 0.435}, {0.445, 0.440}, {0.555, 0.440}, {0.640, 0.435}, {0.500, 0.450}, {0.500, 0.560},
    {0.410, 0.630}, {0.500, 0.622}, {0.590, 0.630}, {0.500, 0.685}, {0.300, 0.550}, {0.420, 0.770},
    {0.500, 0.800}, {0.580, 0.770}, {0.700, 0.550},
};

double clamp01(double v) { return v < 0 ? 0 : (v > 1 ? 1 : v); }
double smooth(double e) {
  e = clamp01(e);
  return e * e * (3 - 2 * e);
}

// Coverage of an ellipse at a point with about one pixel of anti-aliasing.
double ellipseCover(double x, double y, double cx, double cy, double rx, double ry) {
  double dx = (x - cx) / rx, dy = (y - cy) / ry;
  double d = (std::sqrt(dx * dx + dy * dy) - 1.0) * std::min(rx, ry);
  return clamp01(0.5 - d);
}
// Coverage of a thick segment (capsule).
double segmentCover(double x, double y, double ax, double ay, double bx, double by, double r) {
  double vx = bx - ax, vy = by - ay, wx = x - ax, wy = y - ay;
  double t = std::clamp((wx * vx + wy * vy) / (vx * vx + vy * vy), 0.0, 1.0);
  double dx = wx - t * vx, dy = wy - t * vy;
  return clamp01(0.5 - (std::sqrt(dx * dx + dy * dy) - r));
}
void mix(double c[3], const double col[3], double a) {
  for (int k = 0; k < 3; ++k) c[k] = c[k] * (1 - a) + col[k] * a;
}

// A face-like portrait of N x N pixels with features at kTemplate.
Image proceduralPortrait(int N, uint32_t seed, double bx0, double by0, double side) {
  Rng rng(seed, 11);
  const double skin[3] = {205 + 30 * rng.uni(), 150 + 30 * rng.uni(), 120 + 30 * rng.uni()};
  const double hair[3] = {40 + 70 * rng.uni(), 28 + 40 * rng.uni(), 18 + 30 * rng.uni()};
  const double cloth[3] = {30 + 180 * rng.uni(), 40 + 120 * rng.uni(), 60 + 150 * rng.uni()};
  const double backTop[3] = {150 + 60 * rng.uni(), 155 + 60 * rng.uni(), 165 + 60 * rng.uni()};
  const double backBot[3] = {90 + 40 * rng.uni(), 95 + 40 * rng.uni(), 110 + 40 * rng.uni()};
  const double dark[3] = {35, 25, 25}, white[3] = {235, 235, 230}, lip[3] = {170, 60, 65};
  auto P = [&](int k, double& x, double& y) {
    x = bx0 + kTemplate[k][0] * side;
    y = by0 + kTemplate[k][1] * side;
  };
  const double fcx = bx0 + 0.5 * side, fcy = by0 + 0.56 * side;
  const double frx = 0.21 * side, fry = 0.27 * side;
  double e[10][2];
  for (int k = 0; k < 10; ++k) P(k, e[k][0], e[k][1]);
  double nose[2], m[4][2];
  P(11, nose[0], nose[1]);
  for (int k = 0; k < 4; ++k) P(12 + k, m[k][0], m[k][1]);

  Image img;
  img.w = img.h = N;
  img.rgb.resize(size_t(N) * N * 3);
  for (int y = 0; y < N; ++y) {
    for (int x = 0; x < N; ++x) {
      const double px = x + 0.5, py = y + 0.5, t = py / N;
      double c[3];
      for (int k = 0; k < 3; ++k) c[k] = backTop[k] * (1 - t) + backBot[k] * t;
      mix(c, cloth, ellipseCover(px, py, fcx, by0 + 1.25 * side, 0.62 * side, 0.42 * side));
      mix(c, skin, ellipseCover(px, py, fcx, fcy + 0.25 * side, 0.09 * side, 0.22 * side));  // neck
      mix(c, hair, ellipseCover(px, py, fcx, fcy - 0.06 * side, frx * 1.18, fry * 1.08));
      const double face = ellipseCover(px, py, fcx, fcy, frx, fry);
      mix(c, skin, face);
      if (face > 0) {
        // forehead hair fringe
        mix(c, hair, face * ellipseCover(px, py, fcx, fcy - 0.27 * side, frx * 1.05, 0.10 * side));
        for (int k = 0; k < 2; ++k) {  // brows
          mix(c, dark, 0.85 * segmentCover(px, py, e[3 * k][0], e[3 * k][1], e[3 * k + 1][0], e[3 * k + 1][1], 0.012 * side));
          mix(c, dark, 0.85 * segmentCover(px, py, e[3 * k + 1][0], e[3 * k + 1][1], e[3 * k + 2][0], e[3 * k + 2][1], 0.012 * side));
        }
        for (int k = 0; k < 2; ++k) {  // eyes
          const double ax = e[6 + 2 * k][0], ay = e[6 + 2 * k][1], bx = e[7 + 2 * k][0], by = e[7 + 2 * k][1];
          const double cx = (ax + bx) / 2, cy = (ay + by) / 2, rx = std::abs(bx - ax) / 2;
          mix(c, white, ellipseCover(px, py, cx, cy, rx, 0.42 * rx));
          mix(c, dark, ellipseCover(px, py, cx, cy, 0.38 * rx, 0.38 * rx));
        }
        const double shade[3] = {skin[0] * 0.78, skin[1] * 0.72, skin[2] * 0.72};
        mix(c, shade, 0.7 * ellipseCover(px, py, nose[0], nose[1], 0.035 * side, 0.022 * side));
        const double mcx = (m[0][0] + m[2][0]) / 2, mcy = (m[1][1] + m[3][1]) / 2;
        mix(c, lip, ellipseCover(px, py, mcx, mcy, (m[2][0] - m[0][0]) / 2, (m[3][1] - m[1][1]) / 2 + 0.004 * side));
        mix(c, dark, 0.8 * segmentCover(px, py, m[0][0], m[0][1], m[2][0], m[2][1], 0.004 * side + 0.3));
      }
      uint8_t* o = &img.rgb[(size_t(y) * N + x) * 3];
      for (int k = 0; k < 3; ++k) o[k] = uint8_t(std::lround(std::clamp(c[k], 0.0, 255.0)));
    }
  }
  return img;
}

void bilinear(const Image& im, double x, double y, double out[3]) {
  // x, y in pixel-centre coordinates; clamped at the borders
  x = std::clamp(x, 0.0, double(im.w - 1));
  y = std::clamp(y, 0.0, double(im.h - 1));
  int x0 = int(x), y0 = int(y);
  int x1 = std::min(x0 + 1, im.w - 1), y1 = std::min(y0 + 1, im.h - 1);
  double fx = x - x0, fy = y - y0;
  const uint8_t* p00 = &im.rgb[(size_t(y0) * im.w + x0) * 3];
  const uint8_t* p01 = &im.rgb[(size_t(y0) * im.w + x1) * 3];
  const uint8_t* p10 = &im.rgb[(size_t(y1) * im.w + x0) * 3];
  const uint8_t* p11 = &im.rgb[(size_t(y1) * im.w + x1) * 3];
  for (int k = 0; k < 3; ++k)
    out[k] = (p00[k] * (1 - fx) + p01[k] * fx) * (1 - fy) + (p10[k] * (1 - fx) + p11[k] * fx) * fy;
}

}  // namespace

void validateSpec(const BundleSpec& s) {
  auto bad = [](const std::string& what) { throw std::runtime_error("forge: bad spec: " + what); };
  if (s.nt < 1 || s.nt > 1000000) bad("nt must be in [1, 1000000]");
  if (s.W < 4 || s.H < 4 || s.W > 16384 || s.H > 16384) bad("W and H must be in [4, 16384]");
  if (s.crop < 4 || s.crop > 4096) bad("crop must be in [4, 4096]");
  if (s.frames < 0) bad("frames must be >= 0");
  if (s.msrcW < 0 || s.msrcH < 0) bad("msrcW/msrcH must be >= 0");
  if (s.ksize < 0 || (s.ksize > 0 && s.ksize % 2 == 0)) bad("ksize must be odd (or 0 for the default)");
  if (s.jpegDirName.empty() || s.jpegDirName.find("..") != std::string::npos || s.jpegDirName[0] == '/')
    bad("jpegDirName must be a relative name");
  for (const std::string* n : {&s.mp4Name, &s.hevcName})
    if (n->empty() || n->find("..") != std::string::npos || (*n)[0] == '/')
      bad("mp4Name and hevcName must be relative names");
}

Scene::Scene(const BundleSpec& s) : spec(s) {
  validateSpec(s);
  msrcW = s.msrcW > 0 ? s.msrcW : s.W;
  msrcH = s.msrcH > 0 ? s.msrcH : s.H;
  const int nt = s.nt, W = s.W, H = s.H, S = s.crop;
  Rng rng(s.seed, 1);

  if (!s.portrait.empty()) {
    portrait = loadImage(s.portrait);
    // The demo portrait's face geometry, scaled to this image (a portrait of
    // another person is assumed to be framed the same way).
    const double sx = portrait.w / 512.0, sy = portrait.h / 512.0;
    boxSide = kAstroBoxSide * std::min(sx, sy);
    boxX0 = (kAstroBoxX0 + kAstroBoxSide / 2) * sx - boxSide / 2;
    boxY0 = (kAstroBoxY0 + kAstroBoxSide / 2) * sy - boxSide / 2;
    for (int k = 0; k < 21; ++k)
      kpPortrait[k] = {(kAstronautKp[k][0] + 0.5) * sx, (kAstronautKp[k][1] + 0.5) * sy, kKpZ[k]};
    bgTop = {78, 92, 118};
    bgBottom = {34, 40, 56};
  } else {
    const int N = std::clamp(2 * S, 64, 512);
    boxSide = 0.7 * N;
    boxX0 = 0.5 * N - boxSide / 2;
    boxY0 = 0.47 * N - boxSide / 2;
    portrait = proceduralPortrait(N, s.seed, boxX0, boxY0, boxSide);
    for (int k = 0; k < 21; ++k)
      kpPortrait[k] = {boxX0 + kTemplate[k][0] * boxSide, boxY0 + kTemplate[k][1] * boxSide, kKpZ[k]};
    for (int k = 0; k < 3; ++k) {
      bgTop[k] = 60 + 120 * rng.uni();
      bgBottom[k] = 20 + 80 * rng.uni();
    }
  }
  feather = std::max(2.0, 0.03 * std::min(portrait.w, portrait.h));

  // Placement: the portrait stands on the frame's bottom edge, the crop box fits
  // with room for the sway.
  const double pw = portrait.w, ph = portrait.h;
  const double fcx = boxX0 + boxSide / 2, fcy = boxY0 + boxSide / 2;
  const double sc = std::min({0.98 * H / ph, 0.98 * W / pw, 0.62 * std::min(W, H) / boxSide});
  const double half = sc * boxSide / 2;
  const double ampX = 0.012 * H, ampY = 0.008 * H, ampRot = 1.2 * kPi / 180.0;
  const double margin = ampX + half * 0.05 + 1.0;
  auto fit = [](double v, double lo, double hi) { return lo <= hi ? std::clamp(v, lo, hi) : (lo + hi) / 2; };
  const double anchorX = fit(W * (0.5 + 0.04 * rng.sym()), half + margin, W - half - margin);
  const double anchorY = fit(H - sc * (ph - fcy) + 0.03 * H, half + margin, H - half - margin);
  const double ph1 = 2 * kPi * rng.uni(), ph2 = 2 * kPi * rng.uni(), ph3 = 2 * kPi * rng.uni();
  const double ph4 = 2 * kPi * rng.uni(), ph5 = 2 * kPi * rng.uni(), ph6 = 2 * kPi * rng.uni();

  const Affine C = Affine::scale(boxSide / S).then(Affine::translate(boxX0, boxY0));
  portraitToFrame.resize(nt);
  jitter.resize(nt);
  cropToFrame.resize(nt);
  frameToPortrait.resize(nt);
  for (int i = 0; i < nt; ++i) {
    const double w = 2 * kPi * i / nt;  // one full sway cycle per loop: the loop wraps cleanly
    const double th = ampRot * std::sin(w + ph1);
    const double tx = ampX * std::sin(w + ph2), ty = ampY * std::sin(2 * w + ph3);
    Affine T = Affine::translate(-fcx, -fcy)
                   .then(Affine::rotate(th))
                   .then(Affine::scale(sc))
                   .then(Affine::translate(anchorX + tx, anchorY + ty));
    const double js = 0.004 * std::sin(3 * w + ph4);
    const double jx = 0.006 * boxSide * std::sin(2 * w + ph5), jy = 0.006 * boxSide * std::sin(3 * w + ph6);
    Affine J = Affine::translate(-fcx, -fcy).then(Affine::scale(1 + js)).then(Affine::translate(fcx + jx, fcy + jy));
    Affine M = C.then(J).then(T);
    // Safety net: keep the whole crop inside the frame.
    double minX = 1e30, minY = 1e30, maxX = -1e30, maxY = -1e30;
    for (int c = 0; c < 4; ++c) {
      double ox, oy;
      M.apply((c & 1) ? S : 0, (c & 2) ? S : 0, ox, oy);
      minX = std::min(minX, ox), maxX = std::max(maxX, ox);
      minY = std::min(minY, oy), maxY = std::max(maxY, oy);
    }
    double dx = minX < 0 ? -minX : (maxX > W ? W - maxX : 0);
    double dy = minY < 0 ? -minY : (maxY > H ? H - maxY : 0);
    if (dx != 0 || dy != 0) {
      T = T.then(Affine::translate(dx, dy));
      M = C.then(J).then(T);
    }
    portraitToFrame[i] = T;
    jitter[i] = J;
    cropToFrame[i] = M;
    frameToPortrait[i] = T.inverse();
  }
}

void Scene::colour(int i, double fx, double fy, float out[3]) const {
  const double t = std::clamp(fy / spec.H, 0.0, 1.0);
  const double vx = fx / spec.W - 0.5, vy = fy / spec.H - 0.5;
  const double vig = 1.0 - 0.35 * (vx * vx + vy * vy);
  double bg[3];
  for (int k = 0; k < 3; ++k) bg[k] = (bgTop[k] * (1 - t) + bgBottom[k] * t) * vig;
  double px, py;
  frameToPortrait[i].apply(fx, fy, px, py);
  const double edge = std::min({px, py, portrait.w - px});  // the bust is cut by the frame, not feathered
  if (py >= portrait.h) {
    for (int k = 0; k < 3; ++k) out[k] = float(bg[k]);
    return;
  }
  const double a = smooth(edge / feather);
  if (a <= 0) {
    for (int k = 0; k < 3; ++k) out[k] = float(bg[k]);
    return;
  }
  double c[3];
  bilinear(portrait, px - 0.5, py - 0.5, c);
  for (int k = 0; k < 3; ++k) out[k] = float(bg[k] * (1 - a) + c[k] * a);
}

std::vector<uint8_t> Scene::driverFrame(int i) const {
  const int W = spec.W, H = spec.H;
  std::vector<uint8_t> f(size_t(W) * H * 3);
  float c[3];
  for (int y = 0; y < H; ++y)
    for (int x = 0; x < W; ++x) {
      colour(i, x + 0.5, y + 0.5, c);
      uint8_t* o = &f[(size_t(y) * W + x) * 3];
      for (int k = 0; k < 3; ++k) o[k] = uint8_t(std::lround(std::clamp(c[k], 0.0f, 255.0f)));
    }
  return f;
}

std::vector<uint16_t> Scene::sourceFrame(int i) const {
  const int S = spec.crop;
  const size_t plane = size_t(S) * S;
  std::vector<uint16_t> p(3 * plane);
  const Affine& M = cropToFrame[i];
  float c[3];
  for (int y = 0; y < S; ++y)
    for (int x = 0; x < S; ++x) {
      double fx, fy;
      M.apply(x + 0.5, y + 0.5, fx, fy);
      colour(i, fx, fy, c);
      for (int k = 0; k < 3; ++k)
        p[k * plane + size_t(y) * S + x] = le::f32ToF16(std::clamp(c[k] / 255.0f, 0.0f, 1.0f));
    }
  return p;
}

std::vector<float> Scene::frameTransforms() const {
  std::vector<float> m(size_t(spec.nt) * 6);
  for (int i = 0; i < spec.nt; ++i) {
    const Affine& A = cropToFrame[i];
    // pixel-centre convention: crop pixel (x, y) lands at frame point M (x, y).
    const double c = A.a * 0.5 + A.b * 0.5 + A.c - 0.5;
    const double f = A.d * 0.5 + A.e * 0.5 + A.f - 0.5;
    const double v[6] = {A.a, A.b, c, A.d, A.e, f};
    for (int k = 0; k < 6; ++k) m[size_t(i) * 6 + k] = float(v[k]);
  }
  return m;
}

std::vector<float> Scene::keypoints(int i) const {
  const int S = spec.crop;
  const Affine back = jitter[i].inverse();
  const double k = boxSide / S;
  std::vector<float> kp(63);
  for (int r = 0; r < 21; ++r) {
    double px, py;
    back.apply(kpPortrait[r][0], kpPortrait[r][1], px, py);
    const double cx = (px - boxX0) / k - 0.5, cy = (py - boxY0) / k - 0.5;  // crop pixel-centre coords
    kp[r * 3 + 0] = float(cx * 2.0 / (S - 1) - 1.0);
    kp[r * 3 + 1] = float(cy * 2.0 / (S - 1) - 1.0);
    kp[r * 3 + 2] = float(kpPortrait[r][2] / jitter[i].a);
  }
  return kp;
}

}  // namespace detail
}  // namespace le::forge
