// The unified compose geometry: the manifest block and its refusals, the
// masks against a per-pixel evaluation of the formula in double precision,
// the boxed and centroid paths against the full-canvas ones, corpus matching.
#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <random>
#include <string>
#include <vector>

#include "forge/forge.h"
#include "support/errors.h"
#include "tessera/le_tessera_pi.h"

namespace {

using le::tessera::Box;
using le::tessera::UnifiedPi;
using le::test::errorOf;

std::string manifestWith(const std::string& pi, const std::string& extra = "") {
  return R"({"format": "le-bundle-v0", "unified": {)" + extra + R"("pi": )" + pi + "}}";
}
const std::string kPi =
    R"({"mode": "prop", "prop_gate_scale": 1.15, "lip_idx": [12, 13, 14, 15], "lip_geom_params": [0.1, 0.08, 0.074]})";

// Keypoints with a mouth around (cx, cy): corners, upper and lower lip.
std::vector<float> mouth(float cx, float cy, float halfWidth, float open, std::mt19937& rng) {
  std::uniform_real_distribution<float> u(-0.8f, 0.8f), j(-0.004f, 0.004f);
  std::vector<float> kp(63);
  for (float& v : kp) v = u(rng);
  const float pts[4][2] = {{cx - halfWidth, cy}, {cx, cy - 0.01f}, {cx + halfWidth, cy}, {cx, cy + open}};
  for (int i = 0; i < 4; ++i) kp[(12 + i) * 3] = pts[i][0] + j(rng), kp[(12 + i) * 3 + 1] = pts[i][1] + j(rng);
  return kp;
}

// The formula, independently, in double precision.
struct Ref {
  const UnifiedPi& u;
  double mx = 0, my = 0, sx = 0, sy = 0;
  Ref(const UnifiedPi& pi, const float* kp) : u(pi) {
    for (int r : u.lip_idx) mx += kp[r * 3], my += kp[r * 3 + 1];
    mx /= u.lip_idx.size(), my /= u.lip_idx.size();
    for (int r : u.lip_idx) sx = std::max(sx, std::abs(kp[r * 3] - mx)), sy = std::max(sy, std::abs(kp[r * 3 + 1] - my));
  }
  static double smooth(double t) {
    if (t <= 0) return 0;
    t = std::min(1.0, t);
    return t * t * (3 - 2 * t);
  }
  static double ell(double x, double y, double cx, double cy, double ax, double ay) {
    const double d = std::hypot((x - cx) / ax, (y - cy) / ay);
    return smooth(std::sqrt(ax * ay) * 256 * (1 - d) / 10);
  }
  double coord(int i) const { return u.canvas == 1 ? -1.0 : i * 2.0 / (u.canvas - 1) - 1; }
  double lip(int c, int r) const {
    const double ax = std::max(0.1, sx + u.pad_x), ay = std::max(0.1, sy + u.pad_y);
    return ell(coord(c), coord(r), mx, my + u.down, ax, ay);
  }
  double opening() const { return smooth((sy - 0.02) / 0.01); }
  double gate(int c, int r) const {
    const double s = u.prop_gate_scale;
    return ell(coord(c), coord(r), mx, my, std::max(0.004, sx) * s, std::max(0.004, sy) * s) * opening();
  }
  double pi(int c, int r) const { return std::clamp(std::max(lip(c, r), gate(c, r)), 0.0, 1.0); }
};

TEST(UnifiedPi, ReadsTheForgedBundlesBlock) {
  le::forge::BundleSpec s;
  s.nestedBlocks = true;
  s.crop = 48;
  const UnifiedPi u = UnifiedPi::fromManifestJson(le::forge::manifestText(s), 48);
  EXPECT_EQ(u.canvas, 48);
  EXPECT_EQ(u.mode, "prop");
  EXPECT_FALSE(u.corner_recovery);
  EXPECT_FLOAT_EQ(u.prop_gate_scale, 1.15f);
  EXPECT_EQ(u.lip_idx, (std::vector<int32_t>{12, 13, 14, 15}));
  EXPECT_FLOAT_EQ(u.pad_x, 0.1f);
  EXPECT_FLOAT_EQ(u.pad_y, 0.08f);
  EXPECT_FLOAT_EQ(u.down, 0.074f);
  ASSERT_EQ(u.xs.size(), 48u);
  EXPECT_FLOAT_EQ(u.xs[0], -1.0f);
  EXPECT_FLOAT_EQ(u.xs[47], 1.0f);
  EXPECT_EQ(u.ys, u.xs);
  // the block states the canvas: another engine canvas is refused
  EXPECT_EQ(errorOf([&] { UnifiedPi::fromManifestJson(le::forge::manifestText(s), 64); }),
            "teeth-pi: engine renders at canvas 64 but unified.crop.canvas is 48.000000");
  EXPECT_EQ(UnifiedPi::fromManifestJson(manifestWith(kPi), 1).xs, std::vector<float>{-1.0f});
}

TEST(UnifiedPi, CornerRecoveryValues) {
  auto with = [](const std::string& v) {
    return manifestWith(R"({"mode": "prop", "corner_recovery": )" + v +
                        R"(, "prop_gate_scale": 1, "lip_idx": [1], "lip_geom_params": [0, 0, 0]})");
  };
  EXPECT_TRUE(UnifiedPi::fromManifestJson(with("true"), 8).corner_recovery);
  EXPECT_FALSE(UnifiedPi::fromManifestJson(with("false"), 8).corner_recovery);
  EXPECT_TRUE(UnifiedPi::fromManifestJson(with("\"lip_landmark_half\""), 8).corner_recovery);
  for (const char* bad : {"\"yes\"", "1", "null"})
    EXPECT_EQ(errorOf([&] { UnifiedPi::fromManifestJson(with(bad), 8); }),
              "teeth-pi: unknown unified.pi.corner_recovery — a compose-mask geometry a consumer cannot name must "
              "never be guessed")
        << bad;
}

struct PiRefusal {
  std::string text;
  int canvas;
  std::string message;
};

class UnifiedPiRefusal : public ::testing::TestWithParam<PiRefusal> {};

TEST_P(UnifiedPiRefusal, ThrowsItsMessage) {
  EXPECT_EQ(errorOf([&] { UnifiedPi::fromManifestJson(GetParam().text, GetParam().canvas); }), GetParam().message);
}

const std::string kNoBlock =
    "teeth-pi: manifest has no `unified` block — this bundle predates the unified compose and cannot state the pi "
    "geometry it was baked with; refusing to guess one";

INSTANTIATE_TEST_SUITE_P(
    Cases, UnifiedPiRefusal,
    ::testing::Values(
        PiRefusal{"", 64, "teeth: manifest.json is not readable JSON: teeth: JSON truncated"},
        PiRefusal{R"({"format": "le-bundle-v0"})", 64, kNoBlock},
        PiRefusal{R"({"unified": [1]})", 64, kNoBlock},
        PiRefusal{R"({"unified": {}})", 64, "teeth: member JSON lacks key 'pi'"},
        PiRefusal{manifestWith("7"), 64, "teeth: member JSON lacks key 'mode'"},
        PiRefusal{manifestWith(R"({"mode": 1})"), 64, "teeth-pi: unified.pi.mode is not a string"},
        PiRefusal{manifestWith(R"({"mode": "ellipse"})"), 64,
                  "teeth-pi: unified.pi.mode 'ellipse' is a compose-mask geometry this port cannot name — fail loud, "
                  "never adapt (the stamped-geometry rule)"},
        PiRefusal{manifestWith(R"({"mode": "prop"})"), 64, "teeth: member JSON lacks key 'prop_gate_scale'"},
        PiRefusal{manifestWith(R"({"mode": "prop", "prop_gate_scale": 1})"), 64,
                  "teeth: member JSON lacks key 'lip_idx'"},
        PiRefusal{manifestWith(R"({"mode": "prop", "prop_gate_scale": 1, "lip_idx": []})"), 64,
                  "teeth-pi: unified.pi.lip_idx is not a non-empty array"},
        PiRefusal{manifestWith(R"({"mode": "prop", "prop_gate_scale": 1, "lip_idx": [12, 21]})"), 64,
                  "teeth-pi: unified.pi.lip_idx entry 1 is not a keypoint row 0..20"},
        PiRefusal{manifestWith(R"({"mode": "prop", "prop_gate_scale": 1, "lip_idx": [12]})"), 64,
                  "teeth: member JSON lacks key 'lip_geom_params'"},
        PiRefusal{manifestWith(R"({"mode": "prop", "prop_gate_scale": 1, "lip_idx": [12], "lip_geom_params": [1, 2]})"),
                  64, "teeth-pi: unified.pi.lip_geom_params must be [pad_x, pad_y, down]"},
        PiRefusal{manifestWith(R"({"mode": "prop", "prop_gate_scale": 0, "lip_idx": [12], "lip_geom_params": [1, 2, 3]})"),
                  64, "teeth-pi: unified.pi.prop_gate_scale 0 is not a positive finite scale"},
        PiRefusal{manifestWith(kPi, R"("crop": {"canvas": 256}, )"), 512,
                  "teeth-pi: engine renders at canvas 512 but unified.crop.canvas is 256.000000"}));

// The masks and pi against the formula evaluated per pixel in double.
TEST(UnifiedPi, MasksFollowTheFormula) {
  std::mt19937 rng(3);
  for (bool recovery : {false, true}) {
    UnifiedPi u = UnifiedPi::fromManifestJson(manifestWith(kPi), 72);
    u.corner_recovery = recovery;
    for (int trial = 0; trial < 6; ++trial) {
      SCOPED_TRACE(testing::Message() << "recovery " << recovery << " trial " << trial);
      const auto kp = mouth(0.1f * (trial - 3), 0.2f, 0.15f + 0.02f * trial, 0.005f * trial * trial, rng);
      const Ref ref(u, kp.data());
      const int n = u.canvas;
      std::vector<float> lip(n * n), gate(n * n);
      std::vector<uint8_t> pi(n * n), boxed(n * n, 77);
      u.lipMask(kp.data(), lip.data());
      u.propTeethGate(kp.data(), gate.data());
      u.piU8(kp.data(), pi.data());
      u.piU8Boxed(kp.data(), boxed.data());
      // With corner recovery the ellipse grows until every lip point is 5 ramp units inside.
      double v = 1;
      if (recovery) {
        const double ax = std::max(0.1, ref.sx + u.pad_x), ay = std::max(0.1, ref.sy + u.pad_y);
        double r = 0;
        for (int row : u.lip_idx)
          r = std::max(r, std::hypot((kp[row * 3] - ref.mx) / ax, (kp[row * 3 + 1] - ref.my - u.down) / ay));
        v = std::max(1.0, 5 / (256 * std::sqrt(ax * ay)) + r);
        const le::tessera::EllParams p = u.lipParams(kp.data());
        for (int row : u.lip_idx)
          EXPECT_GE(UnifiedPi::ellValue(kp[row * 3], kp[row * 3 + 1], p), Ref::smooth(0.5) - 1e-4);
      }
      int mismatches = 0;
      for (int r = 0; r < n; ++r)
        for (int c = 0; c < n; ++c) {
          const size_t at = size_t(r) * n + c;
          const double ax = std::max(0.1, ref.sx + u.pad_x) * v, ay = std::max(0.1, ref.sy + u.pad_y) * v;
          const double wantLip = Ref::ell(ref.coord(c), ref.coord(r), ref.mx, ref.my + u.down, ax, ay);
          const double wantPi = std::clamp(std::max(wantLip, ref.gate(c, r)), 0.0, 1.0) * 255;
          mismatches += std::abs(lip[at] - wantLip) > 2e-5;
          mismatches += std::abs(gate[at] - ref.gate(c, r)) > 2e-5;
          mismatches += std::abs(pi[at] - wantPi) > 0.5 + 5e-3;
        }
      EXPECT_EQ(mismatches, 0);
      EXPECT_EQ(boxed, pi);  // nothing of pi lies outside the support box
    }
  }
}

TEST(UnifiedPi, ClosedMouthHasNoTeethGate) {
  std::mt19937 rng(5);
  const UnifiedPi u = UnifiedPi::fromManifestJson(manifestWith(kPi), 40);
  auto kp = mouth(0, 0.3f, 0.2f, 0.005f, rng);  // every lip row within 0.02 of the mean height
  std::vector<float> gate(40 * 40, 1), lip(40 * 40);
  u.propTeethGate(kp.data(), gate.data());
  EXPECT_EQ(*std::max_element(gate.begin(), gate.end()), 0.0f);
  u.lipMask(kp.data(), lip.data());
  std::vector<uint8_t> pi(40 * 40);
  u.piU8(kp.data(), pi.data());
  for (size_t i = 0; i < pi.size(); ++i) ASSERT_EQ(pi[i], UnifiedPi::toU8(lip[i])) << i;
  float opening = -1;
  u.gateParams(kp.data(), &opening);
  EXPECT_EQ(opening, 0.0f);
}

TEST(UnifiedPi, QuantisationRoundsHalvesToEven) {
  EXPECT_EQ(UnifiedPi::toU8(0.5f), 128);  // 127.5
  float v = 126.5f / 255.0f;              // a float whose product with 255 is exactly 126.5
  while (v * 255.0f < 126.5f) v = std::nextafter(v, 1.0f);
  while (v * 255.0f > 126.5f) v = std::nextafter(v, 0.0f);
  ASSERT_EQ(v * 255.0f, 126.5f);
  EXPECT_EQ(UnifiedPi::toU8(v), 126);
  EXPECT_EQ(UnifiedPi::toU8(-1.0f), 0);
  EXPECT_EQ(UnifiedPi::toU8(7.0f), 255);
  EXPECT_EQ(UnifiedPi::toU8(NAN), 0);
}

TEST(UnifiedPi, ShrunkByIsTheSmallerOfLimitAndPiInsideBothBoxes) {
  std::mt19937 rng(9);
  const UnifiedPi u = UnifiedPi::fromManifestJson(manifestWith(kPi), 64);
  const auto kp = mouth(0.05f, 0.25f, 0.2f, 0.06f, rng);
  const int n = 64;
  std::vector<float> limit(n * n), lip(n * n), gate(n * n);
  std::uniform_real_distribution<float> lv(-0.3f, 1.2f);
  for (float& x : limit) x = lv(rng);
  u.lipMask(kp.data(), lip.data());
  u.propTeethGate(kp.data(), gate.data());
  const Box box{20, 25, 50, 45};
  std::vector<uint8_t> out(n * n, 9);
  u.piU8ShrunkBy(kp.data(), limit.data(), box, out.data());
  const Box sb = u.supportBox(kp.data());
  for (int r = 0; r < n; ++r)
    for (int c = 0; c < n; ++c) {
      const size_t at = size_t(r) * n + c;
      const bool in = c >= std::max(box.x0, sb.x0) && c < std::min(box.x1, sb.x1) && r >= std::max(box.y0, sb.y0) &&
                      r < std::min(box.y1, sb.y1);
      const uint8_t want = in && limit[at] > 0 ? UnifiedPi::toU8(std::min(limit[at], std::max(lip[at], gate[at]))) : 0;
      ASSERT_EQ(out[at], want) << c << "," << r;
    }
}

TEST(UnifiedPi, CentroidAndShift) {
  std::mt19937 rng(11);
  const UnifiedPi u = UnifiedPi::fromManifestJson(manifestWith(kPi), 96);
  const auto kp = mouth(-0.1f, 0.3f, 0.2f, 0.05f, rng);
  const int n = 96;
  std::vector<uint8_t> pi(n * n);
  u.piU8(kp.data(), pi.data());
  double sx = 0, sy = 0, cnt = 0;
  for (int r = 0; r < n; ++r)
    for (int c = 0; c < n; ++c)
      if (pi[size_t(r) * n + c] >= 128) sx += c, sy += r, ++cnt;
  ASSERT_GT(cnt, 0);
  double x = 0, y = 0;
  ASSERT_TRUE(u.piU8Centroid(pi.data(), &x, &y));
  EXPECT_DOUBLE_EQ(x, sx / cnt);
  EXPECT_DOUBLE_EQ(y, sy / cnt);
  double bx = 0, by = 0;
  ASSERT_TRUE(u.piU8Centroid(pi.data(), Box{-5, -5, n + 9, n + 9}, &bx, &by));  // a box larger than the canvas
  EXPECT_DOUBLE_EQ(bx, x);
  EXPECT_FALSE(u.piU8Centroid(pi.data(), Box{0, 0, 3, 3}, &bx, &by));
  // Shifts round halves to even: +0.5 -> 0, +1.5 -> 2, -2.5 -> -2.
  const double halves[][2] = {{0.5, 1.5}, {-2.5, 3.25}};
  for (const auto& h : halves) {
    const double canon[2] = {x - h[0], y - h[1]};
    int rows = 99, cols = 99;
    std::vector<uint8_t> out(n * n);
    ASSERT_TRUE(u.piU8AndShift(kp.data(), canon, out.data(), &rows, &cols));
    EXPECT_EQ(cols, int(std::nearbyint(h[0])));
    EXPECT_EQ(rows, int(std::nearbyint(h[1])));
    EXPECT_EQ(out, pi);
  }
  // No pi at all (the mouth far off the canvas): outputs untouched.
  const auto away = mouth(9.0f, 9.0f, 0.2f, 0.05f, rng);
  const double canon[2] = {0, 0};
  int rows = 42, cols = 43;
  std::vector<uint8_t> out(n * n);
  EXPECT_FALSE(u.piU8AndShift(away.data(), canon, out.data(), &rows, &cols));
  EXPECT_EQ(rows, 42);
  EXPECT_EQ(cols, 43);
}

// The spec'd distance table of the corpus match, with its messages.
TEST(UnifiedPi, CorpusPickByDistance) {
  using le::tessera::detail::pickCorpus;
  const double canon[2] = {100.256, 200.0};
  const double clear[3] = {4.5, 1.0, 9.0};
  EXPECT_EQ(pickCorpus(clear, canon), 1);
  const double ambiguous[3] = {3.9, 1.0, 20.0};
  EXPECT_EQ(errorOf([&] { pickCorpus(ambiguous, canon); }),
            "teeth-pi: corpus pi geometry is AMBIGUOUS (best two within 3.00px) — v2=1.00px v1=3.90px v3=20.00px — "
            "refusing to guess the bank frame");
  const double far[3] = {8.01, 12.0, 8.01};
  EXPECT_EQ(errorOf([&] { pickCorpus(far, canon); }),
            "teeth-pi: no corpus pi geometry matches this bank's c_canon (100.26,200.00) within 8.00px — v1=8.01px "
            "v3=8.01px v2=12.00px — the bank's pi frame is unknown and donors will NOT be placed against a frame "
            "nobody can name");
  const double tie[3] = {5.0, 2.0, 5.0};  // equal distances keep table order; 3 apart is clear
  EXPECT_EQ(pickCorpus(tie, canon), 1);
}

TEST(UnifiedPi, CorpusMatchNamesTheGeometryTheCentroidCameFrom) {
  le::forge::BundleSpec s;
  s.nestedBlocks = true, s.crop = 256, s.nt = 3, s.W = 320, s.H = 240;
  const std::string text = le::forge::manifestText(s);
  const std::vector<float> frames = le::forge::targetKeypoints(s);
  // The corpus rows' centroids, each from its own geometry.
  double cx[3], cy[3];
  for (int i = 0; i < 3; ++i) {
    UnifiedPi g = UnifiedPi::fromManifestJson(text, 256);
    g.pad_x = le::tessera::kCorpusGeometries[i].pad_x;
    g.pad_y = le::tessera::kCorpusGeometries[i].pad_y;
    g.down = le::tessera::kCorpusGeometries[i].down;
    g.canonicalCentroid(frames.data(), s.nt, &cx[i], &cy[i]);
  }
  ASSERT_GT(std::hypot(cx[0] - cx[1], cy[0] - cy[1]), 4.0) << "v1 and v2 centroids too close for this test";
  const double canon[2] = {cx[0] + 0.5, cy[0] - 0.5};
  std::string name;
  const UnifiedPi got = UnifiedPi::corpusFromManifestJson(text, 256, frames.data(), s.nt, canon, &name);
  // the forged face keeps the other rows' centroids well away from v1's
  ASSERT_GE(std::hypot(cx[1] - canon[0], cy[1] - canon[1]) - std::hypot(0.5, 0.5), 3.0);
  ASSERT_GE(std::hypot(cx[2] - canon[0], cy[2] - canon[1]) - std::hypot(0.5, 0.5), 3.0);
  EXPECT_EQ(name, "v1");
  EXPECT_FLOAT_EQ(got.pad_x, 0.05f);
  EXPECT_FLOAT_EQ(got.down, 0.015f);
  EXPECT_EQ(got.lip_idx, (std::vector<int32_t>{12, 13, 14, 15}));
  // v2 and v3 differ only in the lip ellipse's width, which moves no centroid far
  const double atV2[2] = {cx[1], cy[1]};
  ASSERT_LT(std::hypot(cx[1] - cx[2], cy[1] - cy[2]), 3.0);
  EXPECT_TRUE(le::test::startsWith(
      errorOf([&] { UnifiedPi::corpusFromManifestJson(text, 256, frames.data(), s.nt, atV2, &name); }),
      "teeth-pi: corpus pi geometry is AMBIGUOUS (best two within 3.00px) — v2=0.00px v3="));
  const double nowhere[2] = {1.0, 1.0};
  EXPECT_TRUE(le::test::startsWith(
      errorOf([&] { UnifiedPi::corpusFromManifestJson(text, 256, frames.data(), s.nt, nowhere, &name); }),
      "teeth-pi: no corpus pi geometry matches this bank's c_canon (1.00,1.00) within 8.00px — "));
  EXPECT_EQ(errorOf([&] { UnifiedPi::corpusFromManifestJson(text, 256, nullptr, 0, canon, &name); }),
            "teeth-pi: the corpus frame is identified from the bundle's own xs_target and none was supplied — "
            "refusing to fall back to the stamped geometry, which is the GRAPH's compose field");
  std::vector<float> gone(63, 40.0f);  // pi empty on the only frame
  EXPECT_EQ(errorOf([&] { UnifiedPi::corpusFromManifestJson(text, 256, gone.data(), 1, canon, &name); }),
            "teeth-pi: pi is empty on every source frame — cannot derive the canonical centroid this bundle's frame "
            "is identified by");
}

}  // namespace
