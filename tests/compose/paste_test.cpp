// Paste compositor against an independent reference of the per-pixel rule
// (double arithmetic, textbook Lanczos / Keys / bilinear kernels, direct 2-D
// unsharp convolution), plus the row kernel at every compiled target.
#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <random>
#include <stdexcept>
#include <string>
#include <vector>

#include "compose/le_paste.h"
#include "compose/le_simd.h"
#include "support/errors.h"
#include "support/env.h"

namespace {

using le::test::errorOf;
using le::test::ScopedEnv;

constexpr double kPi = 3.14159265358979323846;

// ---- Reference kernels ----------------------------------------------------

double sinc(double x) { return x == 0 ? 1.0 : std::sin(kPi * x) / (kPi * x); }

// 8 normalised Lanczos-4 taps for fractional offset t; tap i at offset i - 3.
std::vector<double> refLanczos(double t) {
  std::vector<double> w(8);
  double s = 0;
  for (int i = 0; i < 8; ++i) {
    const double x = (i - 3) - t;
    w[i] = std::fabs(x) < 4 ? sinc(x) * sinc(x / 4) : 0.0;
    s += w[i];
  }
  for (auto& v : w) v /= s;
  return w;
}

double keys(double x) {
  const double a = -0.75;
  x = std::fabs(x);
  if (x <= 1) return ((a + 2) * x - (a + 3)) * x * x + 1;
  if (x < 2) return ((a * x - 5 * a) * x + 8 * a) * x - 4 * a;
  return 0;
}
std::vector<double> refCubic(double t) {
  return {keys(t + 1), keys(t), keys(1 - t), keys(2 - t)};
}
std::vector<double> refBilinear(double t) { return {1 - t, t}; }

// Mirror without repeating the edge pixel, folded until inside.
int refReflect(int k, int S) {
  if (S == 1) return 0;
  while (k < 0 || k >= S) {
    if (k < 0) k = -k;
    if (k >= S) k = 2 * S - 2 - k;
  }
  return k;
}

// Unsharp of one plane by direct 2-D convolution with the outer product of
// the Gaussian taps.
std::vector<double> refUnsharp(const std::vector<double>& plane, int S, int ksize,
                               double sigma, double amount) {
  std::vector<double> g(ksize);
  double sum = 0;
  for (int i = 0; i < ksize; ++i) {
    const double d = i - ksize / 2;
    g[i] = std::exp(-d * d / (2 * sigma * sigma));
    sum += g[i];
  }
  for (auto& v : g) v /= sum;
  std::vector<double> out(plane.size());
  const int h = ksize / 2;
  for (int y = 0; y < S; ++y) {
    for (int x = 0; x < S; ++x) {
      double blur = 0;
      for (int i = 0; i < ksize; ++i) {
        for (int j = 0; j < ksize; ++j) {
          blur += g[i] * g[j] * plane[refReflect(y + i - h, S) * S + refReflect(x + j - h, S)];
        }
      }
      const double v = (1 + amount) * plane[y * S + x] - amount * blur;
      out[y * S + x] = std::clamp(v, 0.0, 255.0);
    }
  }
  return out;
}

struct CropCase {
  int S = 0;
  std::vector<uint8_t> mask;
  std::vector<float> crop;  // 3 planes, 0..1
  le::Unsharp u;
};

// The per-pixel rule on whole frames. planes: the sharpened planes.
void refComposite(const std::vector<std::vector<double>>& planes, int S,
                  const std::vector<uint8_t>& mask, int mode, const float* M,
                  std::vector<uint8_t>& frame, int W, int H) {
  const double det = double(M[4]) * M[0] - double(M[1]) * M[3];
  if (det == 0) return;
  const double inv = 1 / det;
  const double dxY = -M[1] * inv, dyY = M[0] * inv;
  const double offX = -(double(M[2]) * M[4] * inv + M[5] * dxY);
  const double offY = -(M[2] * (-M[3] * inv) + M[5] * dyY);
  const int taps = mode == 0 ? 8 : mode == 1 ? 4 : 2;
  const int first = mode == 0 ? -3 : mode == 1 ? -1 : 0;
  auto weights = [&](double t) {
    return mode == 0 ? refLanczos(t) : mode == 1 ? refCubic(t) : refBilinear(t);
  };
  auto maskAt = [&](int r, int c) -> double {
    return r >= 0 && r < S && c >= 0 && c < S ? mask[r * S + c] : 0.0;
  };
  for (int Y = 0; Y < H; ++Y) {
    for (int X = 0; X < W; ++X) {
      const long u = std::lrint(X * double(M[4]) * inv * 1024) +
                     std::lrint((Y * dxY + offX) * 1024) + 16;
      const long v = std::lrint(X * -double(M[3]) * inv * 1024) +
                     std::lrint((Y * dyY + offY) * 1024) + 16;
      if (u < -1024 || v < -1024) continue;
      const int ix = int(std::floor(u / 1024.0)), iy = int(std::floor(v / 1024.0));
      if (ix >= S || iy >= S) continue;
      // Phase: nearest 1/32 step of the fraction (the +16 above).
      const double tx = int(std::floor((u - 1024.0 * ix) / 32.0)) / 32.0;
      const double ty = int(std::floor((v - 1024.0 * iy) / 32.0)) / 32.0;
      const double m = (maskAt(iy, ix) * (1 - tx) + maskAt(iy, ix + 1) * tx) * (1 - ty) +
                       (maskAt(iy + 1, ix) * (1 - tx) + maskAt(iy + 1, ix + 1) * tx) * ty;
      const double alpha = std::nearbyint(m) / 255;
      if (alpha <= 0) continue;
      const auto wx = weights(tx), wy = weights(ty);
      for (int c = 0; c < 3; ++c) {
        double col = 0;
        for (int r = 0; r < taps; ++r) {
          for (int k = 0; k < taps; ++k) {
            const int row = iy + first + r, cc = ix + first + k;
            if (row < 0 || row >= S || cc < 0 || cc >= S) continue;
            col += wy[r] * wx[k] * planes[c][row * S + cc];
          }
        }
        uint8_t& d = frame[(size_t(Y) * W + X) * 3 + c];
        d = uint8_t(std::clamp(d * (1 - alpha) + alpha * col, 0.0, 255.0));
      }
    }
  }
}

std::vector<std::vector<double>> refPlanes(const CropCase& s, float scale) {
  std::vector<std::vector<double>> out;
  const size_t SS = size_t(s.S) * s.S;
  for (int c = 0; c < 3; ++c) {
    std::vector<double> p(SS);
    for (size_t i = 0; i < SS; ++i) p[i] = double(scale * s.crop[c * SS + i]);
    out.push_back(refUnsharp(p, s.S, s.u.ksize, s.u.sigma, s.u.amount));
  }
  return out;
}

// A textured crop (smooth gradients plus noise) and a mask with a fully
// hidden border, a feathered ring and a fully shown centre.
CropCase makeSetup(int S, std::mt19937& rng, le::Unsharp u = {0.8f, 1.5f, 7}) {
  CropCase s;
  s.S = S;
  s.u = u;
  std::uniform_real_distribution<float> noise(-0.2f, 0.2f);
  s.crop.resize(3 * size_t(S) * S);
  for (int c = 0; c < 3; ++c) {
    for (int y = 0; y < S; ++y) {
      for (int x = 0; x < S; ++x) {
        const float base = 0.5f + 0.4f * std::sin(0.7f * x + 1.3f * c) * std::cos(0.45f * y);
        s.crop[(c * S + y) * S + x] = std::clamp(base + noise(rng), -0.05f, 1.05f);
      }
    }
  }
  s.mask.resize(size_t(S) * S);
  std::uniform_int_distribution<int> any(0, 255);
  for (int y = 0; y < S; ++y) {
    for (int x = 0; x < S; ++x) {
      const int e = std::min(std::min(x, y), std::min(S - 1 - x, S - 1 - y));
      s.mask[y * S + x] = e < 2 ? 0 : e < 5 ? uint8_t(any(rng)) : 255;
    }
  }
  return s;
}

std::vector<uint8_t> randomFrame(int W, int H, std::mt19937& rng) {
  std::vector<uint8_t> f(size_t(W) * H * 3);
  std::uniform_int_distribution<int> d(0, 255);
  for (auto& b : f) b = uint8_t(d(rng));
  return f;
}

size_t countDiff(const std::vector<uint8_t>& a, const std::vector<uint8_t>& b) {
  size_t n = 0;
  for (size_t i = 0; i < a.size(); ++i) n += a[i] != b[i];
  return n;
}

int maxDiff(const std::vector<uint8_t>& a, const std::vector<uint8_t>& b) {
  int m = 0;
  for (size_t i = 0; i < a.size(); ++i) m = std::max(m, std::abs(int(a[i]) - int(b[i])));
  return m;
}

// Rotation by `deg` and scale `s` about the crop centre, landing at (cx, cy).
std::vector<float> placement(double deg, double s, double cx, double cy, int S) {
  const double a = deg * kPi / 180, c = std::cos(a) * s, n = std::sin(a) * s;
  const double h = (S - 1) / 2.0;
  return {float(c), float(-n), float(cx - c * h + n * h),
          float(n), float(c), float(cy - n * h - c * h)};
}

// ---- Tables and construction -----------------------------------------------

TEST(Paste, TablesMatchTextbookKernels) {
  std::mt19937 rng(1);
  CropCase s = makeSetup(8, rng, {1.0f, 2.0f, 13});
  le::Paste p(s.mask, 8, s.u);
  ASSERT_EQ(p.lanczos().size(), 256u);
  ASSERT_EQ(p.cubic().size(), 128u);
  ASSERT_EQ(p.bilinear().size(), 64u);
  for (int ph = 0; ph < 32; ++ph) {
    const double t = ph / 32.0;
    const auto L = refLanczos(t), C = refCubic(t), B = refBilinear(t);
    for (int i = 0; i < 8; ++i) EXPECT_NEAR(p.lanczos()[8 * ph + i], L[i], 2e-6) << ph << " " << i;
    for (int i = 0; i < 4; ++i) EXPECT_NEAR(p.cubic()[4 * ph + i], C[i], 2e-6) << ph << " " << i;
    for (int i = 0; i < 2; ++i) EXPECT_FLOAT_EQ(p.bilinear()[2 * ph + i], float(B[i]));
  }
  ASSERT_EQ(p.gauss().size(), 13u);
  double sum = 0;
  for (int i = 0; i < 13; ++i) {
    sum += p.gauss()[i];
    EXPECT_FLOAT_EQ(p.gauss()[i], p.gauss()[12 - i]);
    EXPECT_NEAR(p.gauss()[i] / p.gauss()[6], std::exp(-(i - 6.0) * (i - 6.0) / 8.0), 1e-6);
  }
  EXPECT_NEAR(sum, 1.0, 1e-6);
  EXPECT_EQ(p.padded(), 8 + 12);
  EXPECT_FLOAT_EQ(p.amount(), 1.0f);
}

TEST(Paste, ConstructorRejectsBadInput) {
  const le::Unsharp ok{1.0f, 2.0f, 13};
  EXPECT_EQ(errorOf([&] { le::Paste(std::vector<uint8_t>(15), 4, ok); }), "paste: mask size");
  EXPECT_EQ(errorOf([&] { le::Paste(std::vector<uint8_t>(17), 4, ok); }), "paste: mask size");
  EXPECT_EQ(errorOf([&] { le::Paste(std::vector<uint8_t>(), 0, ok); }), "paste: mask size");
  EXPECT_EQ(errorOf([&] { le::Paste(std::vector<uint8_t>(16), 4, {1.0f, 2.0f, 12}); }),
            "paste: ksize must be odd");
  EXPECT_EQ(errorOf([&] { le::Paste(std::vector<uint8_t>(16), 4, {1.0f, 2.0f, -3}); }),
            "paste: ksize must be odd");
  // A sigma of 0 has no Gaussian: the kernel degenerates to the centre tap
  // instead of dividing by zero.
  le::Paste z(std::vector<uint8_t>(16), 4, {1.0f, 0.0f, 5});
  for (int i = 0; i < 5; ++i) EXPECT_EQ(z.gauss()[i], i == 2 ? 1.0f : 0.0f);
}

TEST(Paste, EnvironmentPicksModeAndShrinksKernel) {
  std::vector<uint8_t> m(100, 255);
  const le::Unsharp u{1.0f, 2.0f, 13};
  struct Case { const char* fast; int mode; };
  for (const Case c : {Case{nullptr, 0}, Case{"1", 1}, Case{"2", 2}, Case{"0", 0},
                       Case{"3", 0}, Case{"-1", 0}, Case{"x", 0}, Case{"", 0}}) {
    ScopedEnv e("LE_PASTE_FAST", c.fast);
    EXPECT_EQ(le::Paste(m, 10, u).mode(), c.mode) << (c.fast ? c.fast : "unset");
  }
  struct KCase { const char* ks; int ksize; };
  for (const KCase c : {KCase{nullptr, 13}, KCase{"7", 7}, KCase{"3", 3}, KCase{"13", 13},
                        KCase{"15", 13}, KCase{"8", 13}, KCase{"1", 13}, KCase{"seven", 13}}) {
    ScopedEnv e("LE_PASTE_KSIZE", c.ks);
    le::Paste p(m, 10, u);
    EXPECT_EQ(p.ksize(), c.ksize) << (c.ks ? c.ks : "unset");
    EXPECT_EQ(p.padded(), 10 + c.ksize - 1);
    EXPECT_EQ(p.gauss().size(), size_t(c.ksize));
  }
}

// ---- Unsharp ------------------------------------------------------------------

TEST(Paste, UnsharpMatchesDirectConvolution) {
  std::mt19937 rng(7);
  ScopedEnv e("LE_PASTE_FAST", "2");
  // Small sides fold the reflection more than once; 70 rows spans two parts.
  for (const auto& [S, u] : std::vector<std::pair<int, le::Unsharp>>{
           {1, {1.3f, 2.0f, 13}}, {3, {1.3f, 2.0f, 13}}, {6, {0.7f, 1.0f, 5}},
           {17, {1.3f, 2.0f, 13}}, {70, {2.0f, 3.0f, 9}}}) {
    CropCase s = makeSetup(S, rng, u);
    le::Paste p(s.mask, S, u);
    std::vector<uint8_t> frame(8 * 8 * 3);
    const float M[6] = {1, 0, 0, 0, 1, 0};
    p.composite(s.crop.data(), 255.0f, M, frame.data(), 8, 8);
    const auto ref = refPlanes(s, 255.0f);
    for (int c = 0; c < 3; ++c) {
      double worst = 0;
      for (size_t i = 0; i < ref[c].size(); ++i) {
        worst = std::max(worst, std::fabs(ref[c][i] - p.plane(c)[i]));
      }
      EXPECT_LT(worst, 2e-3) << "S " << S << " plane " << c;
    }
  }
  // amount 0: the planes are the scaled crop, clamped.
  CropCase s = makeSetup(12, rng, {0.0f, 2.0f, 7});
  le::Paste p(s.mask, 12, s.u);
  std::vector<uint8_t> frame(4 * 4 * 3);
  const float M[6] = {1, 0, 0, 0, 1, 0};
  p.composite(s.crop.data(), 255.0f, M, frame.data(), 4, 4);
  for (int c = 0; c < 3; ++c) {
    for (size_t i = 0; i < 144; ++i) {
      EXPECT_FLOAT_EQ(p.plane(c)[i], std::clamp(255.0f * s.crop[c * 144 + i], 0.0f, 255.0f));
    }
  }
}

// ---- Whole composites against the reference -------------------------------------

TEST(Paste, AllModesMatchReferenceOnRandomPlacements) {
  std::mt19937 rng(42);
  const int W = 64, H = 48;
  std::uniform_real_distribution<double> ang(-180, 180), sc(0.6, 1.8), pos(-30, 90);
  int changed = 0;
  size_t offByOne = 0, drawn = 0;
  for (int mode = 0; mode < 3; ++mode) {
    ScopedEnv e("LE_PASTE_FAST", std::to_string(mode).c_str());
    for (int trial = 0; trial < 12; ++trial) {
      const int S = 12 + 4 * (trial % 4);
      CropCase s = makeSetup(S, rng);
      std::vector<float> M;
      switch (trial) {
        case 0: M = {1, 0, 5, 0, 1, 7}; break;                    // plain shift
        case 1: M = {1, 0, -S / 2.0f, 0, 1, H - S / 2.0f}; break;  // half off
        case 2: M = placement(90, 1, W, H, S); break;            // corner
        case 3: M = {1.5f, 0.3f, 10.25f, -0.2f, 1.1f, 3.75f}; break;  // shear
        default: M = placement(ang(rng), sc(rng), pos(rng) * W / 64, pos(rng) * H / 64, S);
      }
      le::Paste p(s.mask, S, s.u);
      ASSERT_EQ(p.mode(), mode);
      auto frame = randomFrame(W, H, rng);
      const auto before = frame;
      auto want = frame;
      p.composite(s.crop.data(), 255.0f, M.data(), frame.data(), W, H);
      refComposite(refPlanes(s, 255.0f), S, s.mask, mode, M.data(), want, W, H);
      EXPECT_LE(maxDiff(frame, want), 1) << "mode " << mode << " trial " << trial;
      changed += frame != before;
      offByOne += countDiff(frame, want);
      drawn += countDiff(frame, before);
    }
  }
  EXPECT_GE(changed, 24);  // the comparisons above are not vacuous
  // Float against double arithmetic may move a truncation by one now and
  // then; a systematic slip (a rounding rule, a weight) shows up as many.
  EXPECT_LE(offByOne * 1000, drawn) << offByOne << " of " << drawn;
}

TEST(Paste, LargeFrameSplitsRowsAndMatchesReference) {
  // Enough rows and crop lines for several parts on a multi-thread pool.
  std::mt19937 rng(5);
  const int W = 150, H = 160, S = 140;
  CropCase s = makeSetup(S, rng, {1.3f, 2.0f, 5});
  for (int mode : {0, 1}) {
    ScopedEnv e("LE_PASTE_FAST", std::to_string(mode).c_str());
    le::Paste p(s.mask, S, s.u);
    const auto M = placement(17, 1.05, 75, 80, S);
    auto frame = randomFrame(W, H, rng);
    auto want = frame;
    p.composite(s.crop.data(), 255.0f, M.data(), frame.data(), W, H);
    refComposite(refPlanes(s, 255.0f), S, s.mask, mode, M.data(), want, W, H);
    EXPECT_LE(maxDiff(frame, want), 1) << "mode " << mode;
  }
}

TEST(Paste, TranslationCopiesSharpenedCropExactly) {
  std::mt19937 rng(3);
  const int S = 20, W = 40, H = 36, tx = 9, ty = 6;
  CropCase s = makeSetup(S, rng);
  std::fill(s.mask.begin(), s.mask.end(), 255);
  for (int mode = 0; mode < 3; ++mode) {
    ScopedEnv e("LE_PASTE_FAST", std::to_string(mode).c_str());
    le::Paste p(s.mask, S, s.u);
    auto frame = randomFrame(W, H, rng);
    const auto before = frame;
    const float M[6] = {1, 0, float(tx), 0, 1, float(ty)};
    p.composite(s.crop.data(), 255.0f, M, frame.data(), W, H);
    for (int Y = 0; Y < H; ++Y) {
      for (int X = 0; X < W; ++X) {
        const int x = X - tx, y = Y - ty;
        for (int c = 0; c < 3; ++c) {
          const size_t i = (size_t(Y) * W + X) * 3 + c;
          if (x < 0 || y < 0 || x >= S || y >= S) {
            ASSERT_EQ(frame[i], before[i]) << X << "," << Y;
          } else if (x < S - 1 && y < S - 1) {  // the last row/column blends
            ASSERT_EQ(frame[i], uint8_t(p.plane(c)[y * S + x])) << X << "," << Y << " mode " << mode;
          }
        }
      }
    }
    // An all-zero mask leaves everything alone.
    le::Paste hidden(std::vector<uint8_t>(S * S, 0), S, s.u);
    auto f2 = before;
    hidden.composite(s.crop.data(), 255.0f, M, f2.data(), W, H);
    EXPECT_EQ(f2, before);
  }
}

TEST(Paste, DegenerateAndOffFrameTransformsDrawNothing) {
  std::mt19937 rng(9);
  const int S = 16, W = 32, H = 24;
  CropCase s = makeSetup(S, rng);
  std::fill(s.mask.begin(), s.mask.end(), 255);
  for (int mode = 0; mode < 3; ++mode) {
    ScopedEnv e("LE_PASTE_FAST", std::to_string(mode).c_str());
    le::Paste p(s.mask, S, s.u);
    const float nan = NAN, inf = INFINITY;
    const std::vector<std::vector<float>> nothing = {
        {1, 2, 0, 2, 4, 0},             // det 0
        {0, 0, 5, 0, 0, 5},             // all collapsed
        {1, 0, 100, 0, 1, 0},           // right of the frame
        {1, 0, -30, 0, 1, -30},         // above-left
        {1, 0, nan, 0, 1, 0},           // not a number
        {inf, 0, 0, 0, 1, 0},
    };
    for (const auto& M : nothing) {
      auto frame = randomFrame(W, H, rng);
      const auto before = frame;
      p.composite(s.crop.data(), 255.0f, M.data(), frame.data(), W, H);
      EXPECT_EQ(frame, before) << "mode " << mode << " M " << M[0] << " " << M[2];
    }
    // Nearly singular or huge maps: no crash, no integer overflow (the
    // sanitizer builds check the latter).
    for (const auto& M : std::vector<std::vector<float>>{{1e-20f, 0, 3, 0, 1e-20f, 3},
                                                        {1e6f, 1, 0, 1, 1e-6f, 0},
                                                        {3e4f, 0, -2e5f, 0, 3e4f, -2e5f}}) {
      auto frame = randomFrame(W, H, rng);
      p.composite(s.crop.data(), 255.0f, M.data(), frame.data(), W, H);
    }
  }
}

TEST(Paste, CompositeOntoEqualsCopyThenComposite) {
  // The one-pass paste against the two steps it replaces, byte for byte:
  // placements inside, across the edges and off the frame, degenerate and
  // non-finite maps, a frame tall enough for several row parts, and the
  // frame pasted onto itself.
  std::mt19937 rng(21);
  const int W = 96, H = 300, S = 40;
  CropCase s = makeSetup(S, rng);
  const float nan = NAN;
  const std::vector<std::vector<float>> maps = {
      placement(12, 1.2, 48, 150, S),   // inside, rows above and below
      placement(-30, 0.9, 5, 10, S),    // across the top-left corner
      placement(75, 1.4, 90, 295, S),   // across the bottom-right corner
      {1, 0, 0, 0, 1, 0},               // first rows only
      {1, 0, 500, 0, 1, 40},            // off the frame: nothing drawn
      {1, 2, 0, 2, 4, 0},               // det 0
      {1, 0, nan, 0, 1, 0},             // not a number
  };
  for (int mode = 0; mode < 3; ++mode) {
    ScopedEnv e("LE_PASTE_FAST", std::to_string(mode).c_str());
    le::Paste twoStep(s.mask, S, s.u), onePass(s.mask, S, s.u);
    for (size_t k = 0; k < maps.size(); ++k) {
      const auto driver = randomFrame(W, H, rng);
      auto want = driver;
      twoStep.composite(s.crop.data(), 255.0f, maps[k].data(), want.data(), W, H);
      if (k < 3) ASSERT_NE(want, driver) << "map " << k << " draws";
      std::vector<uint8_t> got(driver.size(), 0xA5);  // every byte must be written
      onePass.compositeOnto(driver.data(), s.crop.data(), 255.0f, maps[k].data(), got.data(), W, H);
      EXPECT_EQ(got, want) << "mode " << mode << " map " << k;
      auto self = driver;
      onePass.compositeOnto(self.data(), s.crop.data(), 255.0f, maps[k].data(), self.data(), W, H);
      EXPECT_EQ(self, want) << "in place, mode " << mode << " map " << k;
    }
  }
}

TEST(Paste, SideAbove1024FailsOnComposite) {
  const int S = 1025;
  le::Paste p(std::vector<uint8_t>(size_t(S) * S, 255), S, {1.0f, 2.0f, 3});
  std::vector<float> crop(3 * size_t(S) * S, 0.5f);
  std::vector<uint8_t> frame(8 * 8 * 3);
  const float M[6] = {1, 0, 0, 0, 1, 0};
  try {
    p.composite(crop.data(), 255.0f, M, frame.data(), 8, 8);
    FAIL() << "no throw";
  } catch (const std::runtime_error& e) {
    EXPECT_STREQ(e.what(), "paste: side > 1024");
  }
}

void compositeThriceAndExit() {
  std::vector<uint8_t> m(64, 255);
  le::Paste p(m, 8, {1.0f, 2.0f, 13});
  std::vector<float> crop(3 * 64, 0.5f);
  std::vector<uint8_t> frame(16 * 16 * 3);
  const float M[6] = {1, 0, 2, 0, 1, 2};
  const float off[6] = {1, 0, 99, 0, 1, 2};
  p.composite(crop.data(), 255.0f, off, frame.data(), 16, 16);  // draws nothing
  p.composite(crop.data(), 255.0f, M, frame.data(), 16, 16);
  p.composite(crop.data(), 255.0f, M, frame.data(), 16, 16);
  std::exit(0);
}

TEST(PasteDeathTest, ExecutorLinePrintedOncePerProcess) {
  GTEST_FLAG_SET(death_test_style, "threadsafe");
  EXPECT_EXIT(compositeThriceAndExit(),
      testing::ExitedWithCode(0),
      "^\\[le-paste\\] executor=cpu \\(side=8, ksize=13, threads=[0-9]+\\) "
      "\xE2\x80\x94 1080p frame\n$");
}

// ---- The row kernel ----------------------------------------------------------

TEST(PasteKernel, EveryTargetMatchesScalar) {
  std::mt19937 rng(11);
  const int S = 24, n = 200;
  std::uniform_real_distribution<float> val(0, 255);
  std::vector<float> rgbx(4 * S * S);
  for (auto& v : rgbx) v = val(rng);
  std::vector<uint8_t> mask(S * S);
  std::uniform_int_distribution<int> mb(0, 3), any(0, 255);
  for (auto& m : mask) { const int k = mb(rng); m = k == 0 ? 0 : k == 1 ? 255 : uint8_t(any(rng)); }
  le::Paste tables(mask, S, {1.0f, 2.0f, 3});
  // Positions all over the crop and past every edge (fixed point, 10 bits).
  std::uniform_int_distribution<int> pos(-2 * 1024, (S + 1) * 1024);
  std::vector<int> colX(n), colY(n);
  for (int i = 0; i < n; ++i) { colX[i] = pos(rng); colY[i] = pos(rng) / 2; }
  const int rowX = 16, rowY = 16 + pos(rng) / 2;
  const auto frame0 = randomFrame(n + 10, 1, rng);
  auto want = frame0;
  le::simd::scalar::pasteLanczos8Row(rgbx.data(), S, mask.data(), tables.lanczos().data(),
                                     tables.bilinear().data(), colX.data(), colY.data(),
                                     rowX, rowY, 5, 5 + n - 1, want.data());
  ASSERT_NE(want, frame0);
  ASSERT_FALSE(le::simd::compiledTargets().empty());
  for (int64_t t : le::simd::compiledTargets()) {
    le::simd::ScopedTarget st(t);
    auto got = frame0;
    le::simd::pasteLanczos8Row(rgbx.data(), S, mask.data(), tables.lanczos().data(),
                               tables.bilinear().data(), colX.data(), colY.data(), rowX,
                               rowY, 5, 5 + n - 1, got.data());
    EXPECT_LE(maxDiff(got, want), 1) << le::simd::targetName(t);
    // Untouched outside [x0, x1].
    for (int b = 0; b < 15; ++b) EXPECT_EQ(got[b], frame0[b]);
    for (size_t b = 3 * (5 + n); b < got.size(); ++b) EXPECT_EQ(got[b], frame0[b]);
    // x1 < x0: nothing at all.
    auto none = frame0;
    le::simd::pasteLanczos8Row(rgbx.data(), S, mask.data(), tables.lanczos().data(),
                               tables.bilinear().data(), colX.data(), colY.data(), rowX,
                               rowY, 5, 4, none.data());
    EXPECT_EQ(none, frame0) << le::simd::targetName(t);
  }
  auto none = frame0;
  le::simd::scalar::pasteLanczos8Row(rgbx.data(), S, mask.data(), tables.lanczos().data(),
                                     tables.bilinear().data(), colX.data(), colY.data(),
                                     rowX, rowY, 9, 3, none.data());
  EXPECT_EQ(none, frame0);
}

}  // namespace
