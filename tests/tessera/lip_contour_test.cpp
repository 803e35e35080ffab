// The lip contour: template refusals, the polygon with and without its map,
// the rasteriser against point-in-polygon, the chamfer feather against a
// shortest-path distance, the delivery masks against pi, and the forged
// templates.
#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <cstdlib>
#include <new>
#include <queue>
#include <random>
#include <string>
#include <vector>

#include "forge/forge.h"
#include "support/errors.h"
#include "tessera/le_lip_contour.h"

// Counts allocations on threads that ask for it (the per-frame calls must make none).
// The replacements pair malloc with free; the compiler cannot see that pairing.
#if defined(__GNUC__) && !defined(__clang__)
#pragma GCC diagnostic push
#pragma GCC diagnostic ignored "-Wmismatched-new-delete"
#endif
namespace {
thread_local bool gCounting = false;
thread_local size_t gAllocs = 0;
void* counted(std::size_t n) noexcept {
  if (gCounting) ++gAllocs;
  return std::malloc(n ? n : 1);
}
}  // namespace
// Every plain form is replaced, so that no block crosses between these and a
// sanitizer's own allocator; the aligned forms stay paired among themselves.
void* operator new(std::size_t n) {
  if (void* p = counted(n)) return p;
  throw std::bad_alloc();
}
void* operator new[](std::size_t n) {
  if (void* p = counted(n)) return p;
  throw std::bad_alloc();
}
void* operator new(std::size_t n, const std::nothrow_t&) noexcept { return counted(n); }
void* operator new[](std::size_t n, const std::nothrow_t&) noexcept { return counted(n); }
void operator delete(void* p) noexcept { std::free(p); }
void operator delete[](void* p) noexcept { std::free(p); }
void operator delete(void* p, std::size_t) noexcept { std::free(p); }
void operator delete[](void* p, std::size_t) noexcept { std::free(p); }
void operator delete(void* p, const std::nothrow_t&) noexcept { std::free(p); }
void operator delete[](void* p, const std::nothrow_t&) noexcept { std::free(p); }
#if defined(__GNUC__) && !defined(__clang__)
#pragma GCC diagnostic pop
#endif

namespace {

using le::tessera::Box;
using le::tessera::LipContour;
using le::tessera::UnifiedPi;
using le::test::errorOf;

const std::string kTri = R"("u_canon": [[-1, 0], [1, 0], [0, 1]])";
std::string tpl(const std::string& body) { return "{" + body + "}"; }
std::string base(const std::string& more = "") {
  return tpl(R"("format": "lip-template-v1", "canvas": 64, "feather_px": 2, )" + kTri + more);
}
std::string withMap(const std::string& map) { return base(R"(, "lip_map": )" + map); }
std::string wRows(int rows, int width, const std::string& cell = "0") {
  std::string s = "[";
  for (int i = 0; i < rows; ++i) {
    s += i ? ", [" : "[";
    for (int j = 0; j < width; ++j) s += (j ? ", " : "") + cell;
    s += "]";
  }
  return s + "]";
}
const std::string kW = wRows(6, 8), kB = "[0, 0, 0, 0, 0, 0]";
std::string mapBody(const std::string& more) {
  return R"({"schema": "lip-map-v1", "kind": "anchor-linear", )" + more + "}";
}

struct Refusal {
  std::string text;
  std::string reason;
};
class LipTemplateRefusal : public ::testing::TestWithParam<Refusal> {};

TEST_P(LipTemplateRefusal, ThrowsItsMessage) {
  EXPECT_EQ(errorOf([&] { LipContour::fromTemplateJson(GetParam().text, 64); }),
            "lip_template.v1.json: " + GetParam().reason);
}

INSTANTIATE_TEST_SUITE_P(
    Cases, LipTemplateRefusal,
    ::testing::Values(
        Refusal{"  ", "is not parseable JSON (teeth: JSON truncated)"},
        Refusal{"{\"format\": ", "is not parseable JSON (teeth: JSON truncated)"},
        Refusal{"[1]", "is not a JSON object"},
        Refusal{"{}", "carries no string `format`"},
        Refusal{tpl(R"("format": 1)"), "carries no string `format`"},
        Refusal{tpl(R"("format": "lip-template-v2")"),
                "declares format 'lip-template-v2', not 'lip-template-v1' — this runtime cannot read it"},
        Refusal{tpl(R"("format": "lip-template-v1", "edge": "inward")"),
                "declares edge 'inward', and the contour feather is OUTWARD — refusing to serve a mask this runtime "
                "does not compute"},
        Refusal{tpl(R"("format": "lip-template-v1")"), "carries no numeric `canvas`"},
        Refusal{tpl(R"("format": "lip-template-v1", "canvas": "64")"), "carries no numeric `canvas`"},
        Refusal{tpl(R"("format": "lip-template-v1", "canvas": 128)"),
                "was baked on a 128 canvas but this bundle composes on 64 — refusing to deform a polygon onto a "
                "canvas it does not name"},
        Refusal{tpl(R"("format": "lip-template-v1", "canvas": 64)"), "carries no numeric `feather_px`"},
        Refusal{tpl(R"("format": "lip-template-v1", "canvas": 64, "feather_px": 0)"),
                "declares feather_px 0.000000, which is not positive"},
        Refusal{tpl(R"("format": "lip-template-v1", "canvas": 64, "feather_px": -1.5)"),
                "declares feather_px -1.500000, which is not positive"},
        Refusal{tpl(R"("format": "lip-template-v1", "canvas": 64, "feather_px": 2)"),
                "carries no non-empty `u_canon` array"},
        Refusal{tpl(R"("format": "lip-template-v1", "canvas": 64, "feather_px": 2, "u_canon": [])"),
                "carries no non-empty `u_canon` array"},
        Refusal{tpl(R"("format": "lip-template-v1", "canvas": 64, "feather_px": 2, "u_canon": [[0, 0], [1]])"),
                "u_canon row 1 is not a 2-vector — this is not an nv x 2 template"},
        Refusal{tpl(R"("format": "lip-template-v1", "canvas": 64, "feather_px": 2, "u_canon": [[0, nan]])"),
                "u_canon row 0 is not a 2-vector — this is not an nv x 2 template"},
        Refusal{base(R"(, "lip_idx": [])"), "carries a `lip_idx` that is not a non-empty array"},
        Refusal{base(R"(, "lip_idx": {})"), "carries a `lip_idx` that is not a non-empty array"},
        Refusal{base(R"(, "lip_idx": [12, 21])"), "lip_idx names keypoint row 21, and a kd row is 0..20"},
        Refusal{base(R"(, "lip_idx": [-1])"), "lip_idx names keypoint row -1, and a kd row is 0..20"},
        Refusal{base(R"(, "lip_idx": [1, "2"])"), "lip_idx entry 1 is not a number"},
        Refusal{base(R"(, "lip_idx": [0, 1, 2, 3, 4, 5, 6, 7, 8])"),
                "carries a `lip_idx` of 9 rows, and the contour anchors to at most 8"},
        Refusal{withMap("5"), "lip_map is not a JSON object"},
        Refusal{withMap("{}"), "lip_map declares schema '?', not 'lip-map-v1' — this runtime cannot evaluate it"},
        Refusal{withMap(R"({"schema": "lip-map-v2"})"),
                "lip_map declares schema 'lip-map-v2', not 'lip-map-v1' — this runtime cannot evaluate it"},
        Refusal{withMap(R"({"schema": "lip-map-v1", "kind": "mlp"})"), "lip_map kind is not 'anchor-linear'"},
        Refusal{withMap(mapBody(R"("lip_idx": [0, 1, 2, 3, 4, 5, 6, 7, 8])")), "lip_map lip_idx is not 1..8 kd rows"},
        Refusal{withMap(mapBody(R"("lip_idx": [])")), "lip_map lip_idx is not 1..8 kd rows"},
        Refusal{withMap(mapBody(R"("lip_idx": [3.5])")), "lip_map lip_idx names a row outside 0..20"},
        Refusal{withMap(mapBody(R"("lip_idx": [21])")), "lip_map lip_idx names a row outside 0..20"},
        Refusal{withMap(mapBody(R"("W": [])")), "lip_map carries no W/b arrays"},
        Refusal{withMap(mapBody(R"("W": )" + wRows(5, 8) + R"(, "b": )" + kB)),
                "lip_map W/b have 5/6 rows, not 2*nv=6"},
        Refusal{withMap(mapBody(R"("W": )" + kW + R"(, "b": [0])")), "lip_map W/b have 6/1 rows, not 2*nv=6"},
        Refusal{withMap(mapBody(R"("lip_idx": [1, 2], "W": )" + kW + R"(, "b": )" + kB)),
                "lip_map W row 0 is not 4 wide"},
        Refusal{withMap(mapBody(R"("W": )" + wRows(6, 8, "1e999") + R"(, "b": )" + kB)),
                "lip_map carries a non-finite coefficient"},
        Refusal{withMap(mapBody(R"("W": )" + kW + R"(, "b": [0, 0, 0, 0, 0, nan])")),
                "lip_map carries a non-finite coefficient"},
        Refusal{withMap(mapBody(R"("W": )" + kW + R"(, "b": )" + kB + R"(, "canvas": 128)")),
                "lip_map was fitted on another canvas than this bundle composes on"}));

TEST(LipContour, AcceptedVariantsAndDefaults) {
  const LipContour a = LipContour::fromTemplateJson(base(), 64);
  EXPECT_EQ(a.canvas, 64);
  EXPECT_EQ(a.nv, 3);
  EXPECT_FLOAT_EQ(a.feather_px, 2.0f);
  EXPECT_EQ(a.lip_idx, (std::vector<int32_t>{17, 18, 19, 20}));
  EXPECT_FALSE(a.hasMap());
  EXPECT_NO_THROW(LipContour::fromTemplateJson(base(R"(, "edge": 1)"), 64));
  EXPECT_NO_THROW(LipContour::fromTemplateJson(base(R"(, "edge": "outward")"), 64));
  const LipContour m = LipContour::fromTemplateJson(withMap(mapBody(R"("W": )" + kW + R"(, "b": )" + kB)), 64);
  EXPECT_TRUE(m.hasMap());
  EXPECT_EQ(m.cols, 8);
  EXPECT_EQ(m.lip_idx, (std::vector<int32_t>{17, 18, 19, 20}));
  LipContour c = a;
  const double W[12] = {}, b[6] = {};
  const int32_t rows[2] = {3, 4};
  EXPECT_EQ(errorOf([&] { c.attachMap(W, b, 5, 4, rows, 2); }),
            "lip_template.v1.json: lip_map shape does not match the template");
  EXPECT_EQ(errorOf([&] { c.attachMap(W, b, 6, 2, rows, 2); }),
            "lip_template.v1.json: lip_map shape does not match the template");
}

std::vector<float> randomKp(std::mt19937& rng) {
  std::uniform_real_distribution<float> u(-0.6f, 0.6f);
  std::vector<float> kp(63);
  for (float& v : kp) v = u(rng);
  return kp;
}

TEST(LipContour, PolygonWithAndWithoutTheMap) {
  std::mt19937 rng(21);
  const double canon[8] = {-1, -0.5, 1, -0.4, 0.8, 1.2, -0.9, 0.7};
  const int32_t anchors[3] = {2, 9, 14};
  const int S = 200;
  LipContour plain(S, 3.0f, canon, 4, anchors, 3);
  LipContour mapped = plain;
  const int32_t mapRows[2] = {5, 11};
  std::vector<double> W(8 * 4), b(8);
  std::uniform_real_distribution<double> u(-2, 2);
  for (double& w : W) w = u(rng);
  for (double& x : b) x = u(rng);
  mapped.attachMap(W.data(), b.data(), 8, 4, mapRows, 2);
  for (int trial = 0; trial < 5; ++trial) {
    const auto kp = randomKp(rng);
    auto pix = [&](int row, int k) { return (double(kp[row * 3 + k]) + 1) * S / 2; };
    // plain: the canonical polygon scaled by the spread of the anchors around their mean
    double mx = 0, my = 0, sx = 0, sy = 0;
    for (int r : anchors) mx += pix(r, 0) / 3, my += pix(r, 1) / 3;
    for (int r : anchors) sx = std::max(sx, std::abs(pix(r, 0) - mx)), sy = std::max(sy, std::abs(pix(r, 1) - my));
    double got[8];
    plain.polygon(kp.data(), got);
    for (int v = 0; v < 4; ++v) {
      EXPECT_NEAR(got[2 * v], sx * canon[2 * v] + mx, 1e-9);
      EXPECT_NEAR(got[2 * v + 1], sy * canon[2 * v + 1] + my, 1e-9);
    }
    // mapped: b + W phi around the map anchors' mean
    const double mmx = (pix(5, 0) + pix(11, 0)) / 2, mmy = (pix(5, 1) + pix(11, 1)) / 2;
    const double phi[4] = {pix(5, 0) - mmx, pix(5, 1) - mmy, pix(11, 0) - mmx, pix(11, 1) - mmy};
    mapped.polygon(kp.data(), got);
    for (int i = 0; i < 8; ++i) {
      double want = b[i] + (i % 2 ? mmy : mmx);
      for (int j = 0; j < 4; ++j) want += W[i * 4 + j] * phi[j];
      EXPECT_NEAR(got[i], want, 1e-9);
    }
  }
  // W zero, b the canonical polygon scaled: b translated to the anchor mean.
  LipContour fixedShape = plain;
  std::vector<double> zero(8 * 8, 0.0), scaled(8);
  for (int i = 0; i < 8; ++i) scaled[i] = 10 * canon[i];
  const int32_t four[4] = {17, 18, 19, 20};
  fixedShape.attachMap(zero.data(), scaled.data(), 8, 8, four, 4);
  const auto kp = randomKp(rng);
  double mx = 0, my = 0;
  for (int r : four) mx += (kp[r * 3] + 1.0) * S / 8, my += (kp[r * 3 + 1] + 1.0) * S / 8;
  double got[8];
  fixedShape.polygon(kp.data(), got);
  for (int v = 0; v < 4; ++v) {
    EXPECT_NEAR(got[2 * v], scaled[2 * v] + mx, 1e-9);
    EXPECT_NEAR(got[2 * v + 1], scaled[2 * v + 1] + my, 1e-9);
  }
}

// Even-odd point-in-polygon and distance to the outline.
bool inside(const std::vector<double>& v, double x, double y) {
  bool in = false;
  const size_t n = v.size() / 2;
  for (size_t i = 0, j = n - 1; i < n; j = i++) {
    const double xi = v[2 * i], yi = v[2 * i + 1], xj = v[2 * j], yj = v[2 * j + 1];
    if ((yi > y) != (yj > y) && x < (xj - xi) * (y - yi) / (yj - yi) + xi) in = !in;
  }
  return in;
}
double edgeDistance(const std::vector<double>& v, double x, double y) {
  double best = 1e30;
  const size_t n = v.size() / 2;
  for (size_t i = 0; i < n; ++i) {
    const size_t j = (i + 1) % n;
    const double ax = v[2 * i], ay = v[2 * i + 1], dx = v[2 * j] - ax, dy = v[2 * j + 1] - ay;
    const double t = std::clamp(((x - ax) * dx + (y - ay) * dy) / std::max(1e-12, dx * dx + dy * dy), 0.0, 1.0);
    best = std::min(best, std::hypot(x - ax - t * dx, y - ay - t * dy));
  }
  return best;
}

// Star-shaped polygons (concave) with vertices on whole pixels, so the raster
// and the reference see the same outline.
std::vector<double> starPolygon(std::mt19937& rng, int nv, double cx, double cy, double r0, double r1) {
  std::uniform_real_distribution<double> u(r0, r1);
  std::vector<double> v;
  for (int i = 0; i < nv; ++i) {
    const double a = 2 * M_PI * i / nv, r = u(rng);
    v.push_back(std::round(cx + r * std::cos(a)));
    v.push_back(std::round(cy + r * std::sin(a)));
  }
  return v;
}

TEST(LipContour, ScanlineFillMatchesPointInPolygon) {
  std::mt19937 rng(31);
  const int S = 96;
  for (int trial = 0; trial < 12; ++trial) {
    const int nv = 3 + trial;
    const double canon[2 * 16] = {};
    const int32_t a[1] = {0};
    LipContour lc(S, 3.0f, canon, nv, a, 1);
    // some polygons poke out of the canvas, so the box clips them
    const auto v = starPolygon(rng, nv, 20 + 5 * trial, 48, 8, 30);
    const Box b = lc.box(v.data());
    ASSERT_FALSE(b.empty());
    const int w = b.x1 - b.x0, h = b.y1 - b.y0;
    std::vector<uint8_t> raster(size_t(w) * h, 7);
    lc.fillScanline(v.data(), b, raster.data());
    int checked = 0;
    for (int y = 0; y < h; ++y)
      for (int x = 0; x < w; ++x) {
        const double px = x + b.x0, py = y + b.y0;
        const uint8_t got = raster[size_t(y) * w + x];
        ASSERT_TRUE(got == 0 || got == 255);
        if (edgeDistance(v, px, py) < 1.0) continue;
        ++checked;
        ASSERT_EQ(got, inside(v, px, py) ? 255 : 0) << "trial " << trial << " pixel " << px << "," << py;
      }
    EXPECT_GT(checked, w * h / 3);
  }
}

// A triangle worked by hand: the 16.16 spans end at the floor of the sloped
// edge (7 - 7r/3 with the step truncated) and Bresenham's outline adds its own
// pixels: (5,1), (3,2), (1,3), (0,3).
TEST(LipContour, ScanlineFillOfAHandWorkedTriangle) {
  const double tri[6] = {20, 30, 27, 30, 20, 33};
  const int32_t a[1] = {0};
  LipContour lc(64, 1.0f, tri, 3, a, 1);
  const Box b = lc.box(tri);
  ASSERT_EQ(b.x0, 17);
  ASSERT_EQ(b.y0, 27);
  const int w = b.x1 - b.x0, h = b.y1 - b.y0;
  std::vector<uint8_t> raster(size_t(w) * h);
  lc.fillScanline(tri, b, raster.data());
  const int lastX[4] = {7, 5, 3, 1};  // per row of the triangle: filled columns 0..lastX
  for (int y = 0; y < h; ++y)
    for (int x = 0; x < w; ++x) {
      const int ty = y - 3, tx = x - 3;
      const bool want = ty >= 0 && ty < 4 && tx >= 0 && tx <= lastX[ty];
      EXPECT_EQ(raster[size_t(y) * w + x], want ? 255 : 0) << tx << "," << ty;
    }
}

// The chamfer distance is the shortest 8-connected path with steps 0.955 and
// 1.3693 to a filled pixel, within the box.
std::vector<double> pathDistance(const std::vector<uint8_t>& filled, int w, int h) {
  std::vector<double> d(filled.size(), 1e10);
  using Item = std::pair<double, int>;
  std::priority_queue<Item, std::vector<Item>, std::greater<Item>> q;
  for (size_t i = 0; i < filled.size(); ++i)
    if (filled[i]) d[i] = 0, q.push({0.0, int(i)});
  while (!q.empty()) {
    auto [dist, i] = q.top();
    q.pop();
    if (dist > d[i]) continue;
    const int x = i % w, y = i / w;
    for (int dy = -1; dy <= 1; ++dy)
      for (int dx = -1; dx <= 1; ++dx) {
        const int nx = x + dx, ny = y + dy;
        if ((!dx && !dy) || nx < 0 || ny < 0 || nx >= w || ny >= h) continue;
        const double nd = dist + ((dx && dy) ? double(1.3693f) : double(0.955f));
        if (nd < d[size_t(ny) * w + nx] - 1e-12) d[size_t(ny) * w + nx] = nd, q.push({nd, ny * w + nx});
      }
  }
  return d;
}

TEST(LipContour, FeatherFollowsTheChamferDistance) {
  std::mt19937 rng(41);
  const int S = 80;
  for (int trial = 0; trial < 6; ++trial) {
    const int nv = 5 + trial;
    const double canon[2 * 16] = {};
    const int32_t a[1] = {0};
    const float feather = 2.0f + 1.5f * trial;
    LipContour lc(S, feather, canon, nv, a, 1);
    const auto v = starPolygon(rng, nv, 40, 30 + 4 * trial, 6, 20);
    const Box b = lc.box(v.data());
    const int w = b.x1 - b.x0, h = b.y1 - b.y0;
    std::vector<uint8_t> raster(size_t(w) * h);
    lc.fillScanline(v.data(), b, raster.data());
    const auto d = pathDistance(raster, w, h);
    std::vector<float> out(S * S, -3.0f);
    lc.contourF32(v.data(), b, out.data());
    for (int y = 0; y < S; ++y)
      for (int x = 0; x < S; ++x) {
        const float got = out[size_t(y) * S + x];
        if (x < b.x0 || x >= b.x1 || y < b.y0 || y >= b.y1) {
          ASSERT_EQ(got, -3.0f);  // nothing outside the box is touched
          continue;
        }
        const double dist = d[size_t(y - b.y0) * w + (x - b.x0)];
        const double t = std::min(1.0, 1 - dist / feather);
        const double want = t <= 0 ? 0 : t * t * (3 - 2 * t);
        ASSERT_NEAR(got, want, 5e-5) << "trial " << trial << " pixel " << x << "," << y;
      }
  }
}

TEST(LipContour, OneStepOutsideWithFeatherFour) {
  // A 9 x 5 rectangle; the pixel right of its right edge is one straight step out.
  const double rect[8] = {10, 10, 18, 10, 18, 14, 10, 14};
  const int32_t a[1] = {0};
  LipContour lc(32, 4.0f, rect, 4, a, 1);
  std::vector<float> out(32 * 32, 0.0f);
  lc.contourF32(rect, lc.box(rect), out.data());
  EXPECT_EQ(out[12 * 32 + 14], 1.0f);  // inside
  EXPECT_EQ(out[10 * 32 + 18], 1.0f);  // on the outline
  const double t = 1 - 0.955 / 4;
  EXPECT_NEAR(out[12 * 32 + 19], t * t * (3 - 2 * t), 1e-5);
  EXPECT_NEAR(out[12 * 32 + 19], 0.856, 5e-4);
  const double td = 1 - 1.3693 / 4;  // diagonally off a corner
  EXPECT_NEAR(out[9 * 32 + 9], td * td * (3 - 2 * td), 1e-5);
  EXPECT_EQ(out[12 * 32 + 23], 0.0f);  // 5 steps out: beyond the feather
}

// A template at rest and a drive frame, on the forged identity.
struct Forged {
  le::forge::BundleSpec spec;
  std::vector<float> target;
  le::forge::DriveTables drive;
  explicit Forged(le::forge::LipTemplate kind, int crop = 128) {
    spec.crop = crop, spec.W = 160, spec.H = 160, spec.nt = 2, spec.frames = 8;
    spec.lipTemplate = kind;
    spec.nestedBlocks = true;
    target = le::forge::targetKeypoints(spec);
    drive = le::forge::driveTables(spec);
  }
};

TEST(LipContour, ForgedTemplatesFollowTheLips) {
  const Forged plainId(le::forge::LipTemplate::Plain), mappedId(le::forge::LipTemplate::Mapped);
  LipContour plain = LipContour::fromTemplateJson(le::forge::lipTemplateText(plainId.spec), 128);
  LipContour mapped = LipContour::fromTemplateJson(le::forge::lipTemplateText(mappedId.spec), 128);
  EXPECT_FALSE(plain.hasMap());
  EXPECT_TRUE(mapped.hasMap());
  EXPECT_EQ(plain.nv, le::forge::kLipVertices);
  EXPECT_EQ(mapped.lip_idx, (std::vector<int32_t>{12, 13, 14, 15}));
  // at rest the map reproduces the plain polygon
  std::vector<double> p(2 * plain.nv), m(2 * plain.nv);
  plain.polygon(plainId.target.data(), p.data());
  mapped.polygon(mappedId.target.data(), m.data());
  for (size_t i = 0; i < p.size(); ++i) EXPECT_NEAR(m[i], p[i], 1e-6) << i;
  // on every drive frame both polygons hold the lip keypoints and the mouth centre
  for (int f = 0; f < plainId.spec.frames; ++f) {
    const float* kp = &plainId.drive.xd[size_t(f) * 63];
    for (LipContour* lc : {&plain, &mapped}) {
      std::vector<double> v(2 * lc->nv);
      lc->polygon(kp, v.data());
      double cx = 0, cy = 0;
      for (int r : {12, 13, 14, 15}) {
        const double x = (kp[r * 3] + 1.0) * 64, y = (kp[r * 3 + 1] + 1.0) * 64;
        cx += x / 4, cy += y / 4;
        if (r == 13 || r == 15) {
          EXPECT_TRUE(inside(v, x, y)) << "frame " << f << " row " << r;
        }
      }
      EXPECT_TRUE(inside(v, cx, cy)) << "frame " << f;
    }
  }
}

TEST(LipContour, DeliveryMasksAreTheSmallerOfContourAndPi) {
  const Forged id(le::forge::LipTemplate::Mapped, 96);
  const int S = 96;
  LipContour lc = LipContour::fromTemplateJson(le::forge::lipTemplateText(id.spec), S);
  const UnifiedPi pi = UnifiedPi::fromManifestJson(le::forge::manifestText(id.spec), S);
  std::vector<float> contour(S * S), lip(S * S), gate(S * S);
  std::vector<uint8_t> delivered(S * S, 1), shifted(S * S, 2), piOnly(S * S);
  for (int f = 0; f < id.spec.frames; ++f) {
    SCOPED_TRACE(f);
    const float* kp = &id.drive.xd[size_t(f) * 63];
    std::fill(contour.begin(), contour.end(), 5.0f);
    lc.contourF32Canvas(kp, contour.data());
    std::vector<double> v(2 * lc.nv);
    lc.polygon(kp, v.data());
    const Box cb = lc.box(v.data()), sb = pi.supportBox(kp);
    pi.lipMask(kp, lip.data());
    pi.propTeethGate(kp, gate.data());
    lc.deliveredU8(kp, pi, delivered.data());
    bool anyLeft = false;
    for (int y = 0; y < S; ++y)
      for (int x = 0; x < S; ++x) {
        const size_t at = size_t(y) * S + x;
        const bool inC = x >= cb.x0 && x < cb.x1 && y >= cb.y0 && y < cb.y1;
        const bool inS = x >= sb.x0 && x < sb.x1 && y >= sb.y0 && y < sb.y1;
        if (!inC) {
          ASSERT_EQ(contour[at], 0.0f);  // cleared outside the contour box
        }
        const uint8_t want =
            inC && inS && contour[at] > 0 ? UnifiedPi::toU8(std::min(contour[at], std::max(lip[at], gate[at]))) : 0;
        ASSERT_EQ(delivered[at], want) << x << "," << y;
        anyLeft = anyLeft || want;
      }
    EXPECT_TRUE(anyLeft);
    // the streaming form: pi with its shift, shrunk in place, gives the same bytes and pi's own shift
    const double canon[2] = {40.25, 61.5};
    int r1 = 0, c1 = 0, r2 = 0, c2 = 0;
    const bool piOk = pi.piU8AndShift(kp, canon, piOnly.data(), &r1, &c1);
    EXPECT_EQ(lc.deliveredU8AndShift(kp, pi, canon, shifted.data(), &r2, &c2), piOk && anyLeft);
    EXPECT_EQ(shifted, delivered);
    EXPECT_EQ(r2, r1);
    EXPECT_EQ(c2, c1);
  }
}

TEST(LipContour, OffCanvasPolygonsGiveEmptyMasks) {
  const Forged id(le::forge::LipTemplate::Plain, 64);
  LipContour lc = LipContour::fromTemplateJson(le::forge::lipTemplateText(id.spec), 64);
  const UnifiedPi pi = UnifiedPi::fromManifestJson(le::forge::manifestText(id.spec), 64);
  std::vector<float> kp(id.target.begin(), id.target.begin() + 63);
  for (int r = 12; r <= 15; ++r) kp[r * 3] += 5.0f;  // the lips far right of the canvas
  std::vector<double> v(2 * lc.nv);
  lc.polygon(kp.data(), v.data());
  EXPECT_TRUE(lc.box(v.data()).empty());
  std::vector<uint8_t> out(64 * 64, 9);
  lc.deliveredU8(kp.data(), pi, out.data());
  EXPECT_EQ(*std::max_element(out.begin(), out.end()), 0);
  std::vector<uint8_t> mask(64 * 64, 200);
  EXPECT_FALSE(lc.shrinkU8InPlace(kp.data(), Box{10, 10, 30, 20}, mask.data()));
  for (int y = 0; y < 64; ++y)
    for (int x = 0; x < 64; ++x)
      ASSERT_EQ(mask[size_t(y) * 64 + x], (x >= 10 && x < 30 && y >= 10 && y < 20) ? 0 : 200);
  // keypoints that are not numbers, or absurdly far, draw nothing and never hang
  std::vector<float> out2(64 * 64, 4.0f);
  for (float bad : {NAN, INFINITY, 3e7f}) {
    for (int r = 12; r <= 15; ++r) kp[r * 3] = bad;
    lc.contourF32Canvas(kp.data(), out2.data());
    EXPECT_EQ(*std::max_element(out2.begin(), out2.end()), 0.0f);
  }
}

TEST(LipContour, PerFrameCallsAllocateNothingOnceGrown) {
  const Forged id(le::forge::LipTemplate::Mapped, 128);
  LipContour lc = LipContour::fromTemplateJson(le::forge::lipTemplateText(id.spec), 128);
  const UnifiedPi pi = UnifiedPi::fromManifestJson(le::forge::manifestText(id.spec), 128);
  std::vector<float> out(128 * 128);
  std::vector<uint8_t> bytes(128 * 128);
  const double canon[2] = {64, 80};
  int r = 0, c = 0;
  auto all = [&](int f) {
    const float* kp = &id.drive.xd[size_t(f) * 63];
    lc.contourF32Canvas(kp, out.data());
    lc.deliveredU8(kp, pi, bytes.data());
    lc.deliveredU8AndShift(kp, pi, canon, bytes.data(), &r, &c);
  };
  for (int f = 0; f < id.spec.frames; ++f) all(f);  // grows the scratch to the largest box
  gCounting = true;
  gAllocs = 0;
  for (int f = 0; f < id.spec.frames; ++f) all(f);
  gCounting = false;
  EXPECT_EQ(gAllocs, 0u);
}

}  // namespace
