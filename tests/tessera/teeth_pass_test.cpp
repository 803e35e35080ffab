// The teeth pass over forged donors: the candidate head against a direct
// convolution, retrieval against a donor pasted into the crop, the shift
// against a hand-computed centroid, the one-frame delay and its candidate
// list, the blend through the delivery mask, the standalone runs against
// the pass driven directly, and the refusals.
#include <gtest/gtest.h>

#include <cmath>
#include <cstring>
#include <random>
#include <string>
#include <vector>

#include "forge/forge_donors.h"
#include "forge/forge_head.h"
#include "le/le_tessera.h"
#include "support/errors.h"
#include "tessera/le_tessera.h"

namespace {

using le::tessera::BankData;
using le::tessera::FrameResult;
using le::tessera::HeadWeights;
using le::tessera::Pending;
using le::tessera::ServeConfig;
using le::tessera::TeethPass;
using le::test::errorOf;

std::vector<uint8_t> headBytes() {
  le::forge::HeadCheckpoint c;
  c.arch = le::forge::HeadArch::Eight;
  c.seed = 3;
  const std::string s = le::forge::headCheckpointBytes(c);
  return {s.begin(), s.end()};
}

ServeConfig smallConfig() {
  ServeConfig c;
  c.kshort = 6;
  c.cut = 12;
  c.K = 6;
  c.hysteresis = 3;
  c.lookahead = 2;
  return c;
}

struct Rig {
  le::forge::DonorBank bank = le::forge::forgeDonors({.n = 16, .canvas = 64, .seed = 5});
  HeadWeights weights = le::tessera::loadHeadPt(headBytes());
  const le::tessera::GeometryStamp& st = bank.stamp;
  int canvas = bank.stamp.canvas_w;

  BankData data() const {
    BankData b;
    b.donors = bank.donorRgb;
    b.cent = bank.cent;
    b.c_canon = {bank.cCanon[0], bank.cCanon[1]};
    b.aperture = bank.aperture;
    b.stamp = bank.stamp;
    b.n_donors = bank.n;
    return b;
  }
  TeethPass pass(const ServeConfig& c = smallConfig()) const { return TeethPass(data(), weights, c); }

  // A crop showing donor d at its canonical alignment in the window moved by
  // (dy, dx), on a grey ground, with the mask full over that window.
  void frame(TeethPass& p, int d, int dy, int dx, std::vector<uint8_t>& crop, std::vector<uint8_t>& mask) const {
    crop.assign(size_t(canvas) * canvas * 3, 90);
    mask.assign(size_t(canvas) * canvas, 0);
    std::vector<uint8_t> win(size_t(st.window_h) * st.window_w * 3);
    const int32_t dd = d;
    p.gatherWindowsU8(&dd, 1, 0, 0, win.data());
    for (int r = 0; r < st.window_h; ++r)
      for (int c = 0; c < st.window_w; ++c) {
        const size_t at = size_t(st.window_y0 + dy + r) * canvas + size_t(st.window_x0 + dx + c);
        std::memcpy(&crop[at * 3], &win[(size_t(r) * st.window_w + c) * 3], 3);
        mask[at] = 255;
      }
  }
};

// ---- Candidate head --------------------------------------------------------

void refConv(const std::vector<double>& in, int ip, int h, int w, const std::vector<float>& wt,
             const std::vector<float>& bias, int op, bool relu, std::vector<double>& out) {
  out.assign(size_t(op) * h * w, 0.0);
  for (int o = 0; o < op; ++o)
    for (int y = 0; y < h; ++y)
      for (int x = 0; x < w; ++x) {
        double s = bias[size_t(o)];
        for (int c = 0; c < ip; ++c)
          for (int ky = -1; ky <= 1; ++ky)
            for (int kx = -1; kx <= 1; ++kx) {
              if (y + ky < 0 || y + ky >= h || x + kx < 0 || x + kx >= w) continue;
              s += double(wt[size_t(((o * ip + c) * 3 + ky + 1) * 3 + kx + 1)]) *
                   in[size_t(c * h + y + ky) * w + size_t(x + kx)];
            }
        out[size_t(o * h + y) * w + size_t(x)] = relu ? std::max(0.0, s) : s;
      }
}

TEST(TeethHead, WeightsAndCompositeMatchADirectConvolution) {
  Rig rig;
  TeethPass pass = rig.pass();
  const int H = rig.st.window_h, W = rig.st.window_w, Hh = H / 2, Wh = W / 2, HW = H * W;
  const std::vector<int32_t> donors = {3, 9, 14};
  const int L = int(donors.size());
  std::vector<uint8_t> win(size_t(L) * HW * 3);
  pass.gatherWindowsU8(donors.data(), L, 1, -1, win.data());
  std::mt19937 rng(9);
  std::vector<float> crop(3 * size_t(HW));
  for (float& v : crop) v = float(rng() % 256) / 255.0f;
  std::vector<uint8_t> support(static_cast<size_t>(HW));
  for (auto& s : support) s = rng() % 4 != 0;
  std::vector<float> weights(size_t(L) * HW), composite(3 * size_t(HW));
  pass.headForward(win.data(), L, crop.data(), support.data(), weights.data(), composite.data());

  // The reference, in double.
  const HeadWeights& hw = rig.weights;
  auto avg = [&](auto at, int c, int y, int x) {
    return (at(c, 2 * y, 2 * x) + at(c, 2 * y, 2 * x + 1) + at(c, 2 * y + 1, 2 * x) + at(c, 2 * y + 1, 2 * x + 1)) / 4.0;
  };
  auto cropAt = [&](int c, int y, int x) { return double(crop[size_t(c * H + y) * W + size_t(x)]); };
  std::vector<std::vector<double>> logit(static_cast<size_t>(L));
  for (int l = 0; l < L; ++l) {
    auto donAt = [&](int c, int y, int x) { return win[((size_t(l) * H + y) * W + size_t(x)) * 3 + size_t(c)] / 255.0; };
    std::vector<double> in(7 * size_t(Hh) * Wh), a, b;
    for (int y = 0; y < Hh; ++y)
      for (int x = 0; x < Wh; ++x) {
        double diff = 0;
        for (int c = 0; c < 3; ++c) {
          const double dv = avg(donAt, c, y, x), cv = avg(cropAt, c, y, x);
          in[size_t(c * Hh + y) * Wh + size_t(x)] = dv;
          in[size_t((3 + c) * Hh + y) * Wh + size_t(x)] = cv;
          diff += std::fabs(dv - cv);
        }
        in[size_t(6 * Hh + y) * Wh + size_t(x)] = diff / 3;
      }
    refConv(in, 7, Hh, Wh, hw.cand0w, hw.cand0b, 16, true, a);
    refConv(a, 16, Hh, Wh, hw.cand2w, hw.cand2b, 16, true, b);
    refConv(b, 16, Hh, Wh, hw.cand4w, hw.cand4b, 1, false, logit[size_t(l)]);
  }
  auto src = [](int i, int n, int* i0, int* i1) {
    const double s = std::max(0.0, (i + 0.5) * 0.5 - 0.5);
    *i0 = int(s);
    *i1 = std::min(n - 1, *i0 + 1);
    return s - *i0;
  };
  for (int y = 0; y < H; ++y)
    for (int x = 0; x < W; ++x) {
      int y0, y1, x0, x1;
      const double fy = src(y, Hh, &y0, &y1), fx = src(x, Wh, &x0, &x1);
      std::vector<double> z(static_cast<size_t>(L));
      double mx = -1e300, sum = 0;
      for (int l = 0; l < L; ++l) {
        const auto& g = logit[size_t(l)];
        auto at = [&](int yy, int xx) { return g[size_t(yy) * Wh + size_t(xx)]; };
        z[size_t(l)] = (1 - fy) * ((1 - fx) * at(y0, x0) + fx * at(y0, x1)) + fy * ((1 - fx) * at(y1, x0) + fx * at(y1, x1));
        mx = std::max(mx, z[size_t(l)]);
      }
      for (double& v : z) sum += (v = std::exp(v - mx));
      const size_t i = size_t(y) * W + size_t(x);
      for (int l = 0; l < L; ++l) ASSERT_NEAR(weights[size_t(l) * HW + i], z[size_t(l)] / sum, 1e-5) << l << " " << i;
      for (int c = 0; c < 3; ++c) {
        double want = crop[size_t(c) * HW + i];
        if (support[i]) {
          want = 0;
          for (int l = 0; l < L; ++l) want += z[size_t(l)] / sum * win[(size_t(l) * HW + i) * 3 + size_t(c)] / 255.0;
        }
        ASSERT_NEAR(composite[size_t(c) * HW + i], want, 1e-5) << c << " " << i;
      }
    }
}

// ---- Retrieval and the shift ---------------------------------------------

TEST(TeethRetrieval, TheDonorPastedIntoTheCropScoresBest) {
  Rig rig;
  for (int d : {0, 5, 11, 15})
    for (auto [dy, dx] : {std::pair{0, 0}, std::pair{1, -2}, std::pair{-2, 2}}) {
      TeethPass pass = rig.pass();  // no teeth mask carried over from another case
      std::vector<uint8_t> crop, mask;
      rig.frame(pass, d, dy, dx, crop, mask);
      std::vector<int32_t> cands;
      pass.retrieve(crop.data(), mask.data(), dy, dx, cands);
      ASSERT_EQ(cands.size(), size_t(smallConfig().K));
      EXPECT_EQ(cands[0], d) << "shift " << dy << "," << dx;
    }
}

TEST(TeethRetrieval, FewerDonorsThanKRepeatTheLastKept) {
  Rig rig;
  ServeConfig c = smallConfig();
  c.aperture_tol = 1e9;  // every donor passes the aperture test
  c.kshort = 3;
  c.K = 10;
  TeethPass pass = rig.pass(c);
  std::vector<uint8_t> crop, mask;
  rig.frame(pass, 7, 0, 0, crop, mask);
  std::vector<int32_t> cands;
  pass.retrieve(crop.data(), mask.data(), 0, 0, cands);
  ASSERT_EQ(cands.size(), 10u);
  EXPECT_EQ(cands[0], 7);
  for (size_t k = 3; k < 10; ++k) EXPECT_EQ(cands[k], cands[2]);
  EXPECT_NE(cands[1], cands[0]);
  EXPECT_NE(cands[2], cands[1]);
}

TEST(TeethShift, CentroidRoundsHalvesToEvenAndStaysWithinThePad) {
  Rig rig;
  const int cv = rig.canvas;
  // Pixels >= 128 over rows 40..43, columns 30..35: centroid (32.5, 41.5);
  // values of 127 just outside do not count.
  std::vector<uint8_t> mask(size_t(cv) * cv, 0);
  for (int y = 39; y <= 44; ++y)
    for (int x = 29; x <= 36; ++x) mask[size_t(y) * cv + size_t(x)] = 127;
  for (int y = 40; y <= 43; ++y)
    for (int x = 30; x <= 35; ++x) mask[size_t(y) * cv + size_t(x)] = (x + y) % 2 ? 128 : 255;
  struct Case {
    double cx, cy;
    int rows, cols;
  } cases[] = {
      {31.5, 39.5, 2, 1},    // 2.0, 1.0
      {31.0, 39.0, 2, 2},    // 2.5 -> 2, 1.5 -> 2
      {33.0, 43.0, -2, 0},   // -1.5 -> -2, -0.5 -> 0
      {32.5, 41.0, 0, 0},    // 0.5 -> 0, 0.0
  };
  for (const Case& k : cases) {
    BankData b = rig.data();
    b.c_canon = {k.cx, k.cy};
    TeethPass pass(std::move(b), rig.weights, smallConfig());
    int32_t rows = 99, cols = 99;
    std::string reason;
    ASSERT_TRUE(pass.deriveShift(mask.data(), nullptr, &rows, &cols, &reason)) << reason;
    EXPECT_EQ(rows, k.rows) << k.cx << "," << k.cy;
    EXPECT_EQ(cols, k.cols) << k.cx << "," << k.cy;
  }
  // Three rows below c_canon with pad 2; a given shift is taken as it is.
  BankData b = rig.data();
  ASSERT_EQ(b.stamp.pad, 2);
  b.c_canon = {32.5, 38.5};
  TeethPass pass(std::move(b), rig.weights, smallConfig());
  int32_t rows = 0, cols = 0;
  std::string reason;
  EXPECT_FALSE(pass.deriveShift(mask.data(), nullptr, &rows, &cols, &reason));
  EXPECT_EQ(reason, "shift-out-of-range");
  const int32_t given[2] = {-2, 2};
  EXPECT_TRUE(pass.deriveShift(mask.data(), given, &rows, &cols, &reason));
  EXPECT_EQ(rows, -2);
  EXPECT_EQ(cols, 2);
  const std::vector<uint8_t> empty(size_t(cv) * cv, 127);
  EXPECT_FALSE(pass.deriveShift(empty.data(), nullptr, &rows, &cols, &reason));
  EXPECT_EQ(reason, "empty-pi");
}

// ---- The stream: delay, pass-through, list, blend ------------------------------

TEST(TeethStream, OneFrameBehindWithPassThroughReasons) {
  Rig rig;
  TeethPass pass = rig.pass();
  std::vector<uint8_t> crop, mask;
  rig.frame(pass, 4, 0, 0, crop, mask);
  const std::vector<uint8_t> noMask(mask.size(), 0);
  const int32_t far[2] = {rig.st.pad + 1, 0};
  FrameResult out;
  out.reason = "untouched";
  EXPECT_FALSE(pass.push(0, crop.data(), noMask.data(), nullptr, out));
  EXPECT_EQ(out.reason, "untouched");
  ASSERT_TRUE(pass.push(1, crop.data(), mask.data(), far, out));  // emits frame 0
  EXPECT_TRUE(out.passThrough);
  EXPECT_EQ(out.reason, "empty-pi");
  EXPECT_TRUE(out.window.empty());
  EXPECT_EQ(out.candidates, 0.0f);
  ASSERT_TRUE(pass.push(2, crop.data(), mask.data(), nullptr, out));  // emits frame 1
  EXPECT_TRUE(out.passThrough);
  EXPECT_EQ(out.reason, "shift-out-of-range");
  ASSERT_TRUE(pass.flush(out));  // frame 2
  EXPECT_FALSE(out.passThrough);
  EXPECT_EQ(out.reason, "");
  EXPECT_EQ(out.window.size(), size_t(rig.st.window_h) * rig.st.window_w * 3);
  EXPECT_EQ(out.candidates, float(smallConfig().K));
  EXPECT_EQ(pass.stats().frames, 1);
  out.reason = "untouched";
  EXPECT_FALSE(pass.flush(out));
  EXPECT_EQ(out.reason, "untouched");
}

// The list the pass should build, written from the rule.
std::vector<int32_t> expectedList(const std::vector<int32_t>& prev, const std::vector<int32_t>& ahead,
                                  const std::vector<int32_t>& cur, size_t K) {
  auto has = [](const std::vector<int32_t>& v, int32_t d) { return std::find(v.begin(), v.end(), d) != v.end(); };
  std::vector<int32_t> out = prev;
  for (int32_t d : ahead)
    if (!has(prev, d)) out.push_back(d);
  for (int32_t d : cur)
    if (!has(ahead, d) && !has(prev, d)) out.push_back(d);
  out.resize(std::min(out.size(), K));
  return out;
}

TEST(TeethStream, PreviousSelectionLeadsTheListUntilAFrameIndexGap) {
  Rig rig;
  TeethPass pass = rig.pass();
  Pending p;
  rig.frame(pass, 2, 0, 0, p.crop, p.mask);
  p.shiftValid = true;
  FrameResult out;
  const size_t K = size_t(smallConfig().K);
  p.frameIndex = 5;
  p.candidates = {1, 2, 3, 4, 5, 6};
  const std::vector<int32_t> ahead5 = {9, 1, 8};
  pass.emit(p, &ahead5, out);
  EXPECT_EQ(pass.candidateList(), expectedList({}, {9, 1}, p.candidates, K));  // look-ahead cut to 2
  const std::vector<int32_t> prev = pass.previousSelection();
  ASSERT_EQ(prev.size(), 3u);

  p.frameIndex = 6;  // consecutive: the previous selection leads
  p.candidates = {10, 11, prev[0], 12, 13, 14};
  const std::vector<int32_t> ahead6 = {prev[1], 15};
  pass.emit(p, &ahead6, out);
  EXPECT_EQ(pass.candidateList(), expectedList(prev, ahead6, p.candidates, K));

  p.frameIndex = 8;  // a gap: look-ahead and own candidates only
  p.candidates = {7, 6, 5, 4, 3, 2};
  pass.emit(p, nullptr, out);
  EXPECT_EQ(pass.candidateList(), p.candidates);
}

TEST(TeethStream, MaskZeroKeepsTheCropAndFullMaskTakesTheComposite) {
  Rig rig;
  TeethPass pass = rig.pass(), twin = rig.pass();
  std::vector<uint8_t> crop, mask;
  rig.frame(pass, 6, 1, 0, crop, mask);
  // Scribble over the crop's window so the crop differs from every donor.
  std::mt19937 rng(4);
  for (auto& v : crop) v = uint8_t(v ^ (rng() % 64));
  const auto& st = rig.st;
  const int H = st.window_h, W = st.window_w, HW = H * W;
  for (int r = 0; r < H; ++r)
    for (int c = 0; c < W; ++c) mask[size_t(st.window_y0 + r) * rig.canvas + size_t(st.window_x0 + c)] = uint8_t((r * W + c) % 3 * 127 + (c % 3 == 2));
  const int32_t shift[2] = {1, 0};
  FrameResult out;
  pass.push(0, crop.data(), mask.data(), shift, out);
  ASSERT_TRUE(pass.flush(out));
  ASSERT_FALSE(out.passThrough);

  // The composite the blend should have used: the same candidates, windows
  // and support through the head of a twin pass.
  std::vector<int32_t> cands;
  twin.retrieve(crop.data(), mask.data(), 1, 0, cands);
  ASSERT_EQ(cands, pass.candidateList());
  std::vector<uint8_t> win(cands.size() * HW * 3);
  twin.gatherWindowsU8(cands.data(), int(cands.size()), 1, 0, win.data());
  std::vector<float> cropF(3 * size_t(HW)), weights(cands.size() * HW), comp(3 * size_t(HW));
  for (int r = 0; r < H; ++r)
    for (int c = 0; c < W; ++c)
      for (int k = 0; k < 3; ++k)
        cropF[size_t(k * H + r) * W + size_t(c)] =
            crop[(size_t(st.window_y0 + r) * rig.canvas + size_t(st.window_x0 + c)) * 3 + size_t(k)] / 255.0f;
  twin.headForward(win.data(), int(cands.size()), cropF.data(), pass.lastSupport(), weights.data(), comp.data());
  int zeros = 0, fulls = 0, supportFull = 0;
  for (int r = 0; r < H; ++r)
    for (int c = 0; c < W; ++c) {
      const uint8_t m = mask[size_t(st.window_y0 + r) * rig.canvas + size_t(st.window_x0 + c)];
      const size_t i = size_t(r) * W + size_t(c);
      for (int k = 0; k < 3; ++k) {
        const uint8_t got = out.window[i * 3 + size_t(k)];
        const uint8_t cropByte = crop[(size_t(st.window_y0 + r) * rig.canvas + size_t(st.window_x0 + c)) * 3 + size_t(k)];
        const float a = m / 255.0f, v = (1 - a) * cropF[size_t(k) * HW + i] + a * comp[size_t(k) * HW + i];
        ASSERT_EQ(got, uint8_t(std::nearbyint(std::clamp(v, 0.0f, 1.0f) * 255.0f))) << r << "," << c;
        if (m == 0) {
          ASSERT_EQ(got, cropByte);
        }
        if (m == 255) {
          ASSERT_EQ(got, uint8_t(std::nearbyint(std::clamp(comp[size_t(k) * HW + i], 0.0f, 1.0f) * 255.0f)));
        }
      }
      zeros += m == 0;
      fulls += m == 255;
      supportFull += m == 255 && pass.lastSupport()[i];
    }
  EXPECT_GT(zeros, 0);
  EXPECT_GT(fulls, 0);
  EXPECT_GT(supportFull, 0);
}

// ---- Standalone runs ---------------------------------------------------------

const char* kHeadJson =
    R"({"retrieval": {"kshort": 6, "aperture_tol": 0.3, "cut": 12, "K": 6}, "temporal": {"hysteresis": 3, "lookahead": 2}})";

TEST(TeethRun, MatchesThePassDrivenDirectly) {
  Rig rig;
  const auto& st = rig.st;
  const int nF = 7;
  TeethPass scratch = rig.pass();
  const size_t canvas = size_t(rig.canvas) * rig.canvas, window = size_t(st.window_h) * st.window_w * 3;
  std::vector<uint8_t> crops, masks;
  std::vector<int32_t> shifts;
  for (int k = 0; k < nF; ++k) {
    std::vector<uint8_t> c, m;
    const int dy = k % 3 - 1, dx = (k * 2) % 5 - 2;
    rig.frame(scratch, (k * 5) % 16, dy, dx, c, m);
    if (k == 3) std::fill(m.begin(), m.end(), 0);  // passes through ("empty-pi" / "shift-out-of-range")
    crops.insert(crops.end(), c.begin(), c.end());
    masks.insert(masks.end(), m.begin(), m.end());
    shifts.push_back(k == 3 ? st.pad + 1 : dy);
    shifts.push_back(dx);
  }
  const std::vector<uint8_t> head = headBytes();
  const ServeConfig cfg = ServeConfig::fromHeadMemberJson(kHeadJson);
  int32_t stamp[12];
  for (int i = 0; i < 12; ++i) stamp[i] = st.at(i);
  for (bool withShifts : {false, true}) {
    TeethPass pass(rig.data(), le::tessera::loadHeadPt(head), cfg);
    std::vector<uint8_t> wantWin(nF * window, 0);
    std::vector<int32_t> wantFlag(nF, -1);
    FrameResult out;
    int e = 0;
    auto take = [&] {
      wantFlag[size_t(e)] = out.passThrough;
      if (!out.passThrough) std::memcpy(&wantWin[size_t(e) * window], out.window.data(), window);
      ++e;
    };
    for (int k = 0; k < nF; ++k)
      if (pass.push(k, &crops[k * canvas * 3], &masks[k * canvas], withShifts ? &shifts[2 * size_t(k)] : nullptr, out))
        take();
    if (pass.flush(out)) take();
    ASSERT_EQ(e, nF);
    EXPECT_EQ(wantFlag[3], 1);

    std::vector<uint8_t> win(nF * window, 0);
    std::vector<int32_t> flags(nF, -1);
    char err[256] = "";
    const auto& b = rig.bank;
    const int rc = withShifts ? le_tessera_run_shift(b.donorRgb.data(), b.n, b.cent.data(), b.cCanon.data(),
                                                     b.aperture.data(), stamp, head.data(), int(head.size()), kHeadJson,
                                                     crops.data(), masks.data(), shifts.data(), nF, win.data(),
                                                     flags.data(), err, sizeof err)
                              : le_tessera_run(b.donorRgb.data(), b.n, b.cent.data(), b.cCanon.data(), b.aperture.data(),
                                               stamp, head.data(), int(head.size()), kHeadJson, crops.data(),
                                               masks.data(), nF, win.data(), flags.data(), err, sizeof err);
    ASSERT_EQ(rc, 0) << err;
    EXPECT_EQ(flags, wantFlag);
    EXPECT_EQ(win, wantWin);
  }
}

// ---- Refusals ------------------------------------------------------------------

TEST(TeethRefusals, InconsistentBanksStampsAndConfigurations) {
  Rig rig;
  BankData b = rig.data();
  b.donors.pop_back();
  const size_t need = rig.bank.donorRgb.size();
  EXPECT_EQ(errorOf([&] { TeethPass{b, rig.weights, smallConfig()}; }),
            "teeth: reference track is " + std::to_string(need - 1) + " bytes, the stamp requires " +
                std::to_string(need) +
                " (n * stored_h * stored_w * 3) \xE2\x80\x94 a decoder that delivered a different pixel format would "
                "land here");
  b = rig.data();
  b.aperture.pop_back();
  EXPECT_EQ(errorOf([&] { TeethPass{b, rig.weights, smallConfig()}; }), "teeth: bank sidecar arrays disagree with n_donors");
  b = rig.data();
  b.cent.push_back(1.0);
  EXPECT_EQ(errorOf([&] { TeethPass{b, rig.weights, smallConfig()}; }), "teeth: bank sidecar arrays disagree with n_donors");
  b = rig.data();
  b.stamp.pad = 0;
  EXPECT_EQ(errorOf([&] { TeethPass{b, rig.weights, smallConfig()}; }),
            "teeth: GeometryStamp incoherent: pad/shift_margin must be positive;");
  b = rig.data();
  b.cent[3] = NAN;
  EXPECT_EQ(errorOf([&] { TeethPass{b, rig.weights, smallConfig()}; }),
            "teeth: bank sidecar cent holds a value that is not finite");
  HeadWeights w = rig.weights;
  w.cand2w.pop_back();
  EXPECT_EQ(errorOf([&] { TeethPass{rig.data(), w, smallConfig()}; }),
            "teeth: head weights lack the candidate head of BlendHead(16)");

  struct Bad {
    int32_t ServeConfig::*field;
    int32_t value;
    const char* text;
  } bad[] = {
      {&ServeConfig::K, 0, "teeth: serving config K=0 is outside 1..1024"},
      {&ServeConfig::K, 1025, "teeth: serving config K=1025 is outside 1..1024"},
      {&ServeConfig::kshort, 0, "teeth: serving config kshort=0 must be at least 1"},
      {&ServeConfig::cut, -3, "teeth: serving config cut=-3 must be at least 1"},
      {&ServeConfig::hysteresis, -1, "teeth: serving config hysteresis=-1 must not be negative"},
      {&ServeConfig::lookahead, -1, "teeth: serving config lookahead=-1 must not be negative"},
  };
  for (const Bad& k : bad) {
    ServeConfig c = smallConfig();
    c.*k.field = k.value;
    EXPECT_EQ(errorOf([&] { TeethPass{rig.data(), rig.weights, c}; }), k.text);
  }
}

TEST(TeethRun, ReportsThroughTheErrorBuffer) {
  Rig rig;
  const auto& b = rig.bank;
  const std::vector<uint8_t> head = headBytes();
  int32_t stamp[12];
  for (int i = 0; i < 12; ++i) stamp[i] = rig.st.at(i);
  auto run = [&](const uint8_t* donors, int n, const int32_t* stp, int nFrames, char* err, int cap) {
    std::vector<uint8_t> crop(size_t(rig.canvas) * rig.canvas * 3), mask(size_t(rig.canvas) * rig.canvas), win(4096);
    int32_t flag = 0;
    return le_tessera_run(donors, n, b.cent.data(), b.cCanon.data(), b.aperture.data(), stp, head.data(),
                          int(head.size()), kHeadJson, crop.data(), mask.data(), nFrames, win.data(), &flag, err, cap);
  };
  char err[512];
  std::memset(err, 'x', sizeof err);
  EXPECT_EQ(run(b.donorRgb.data(), 0, stamp, 1, err, sizeof err), 1);
  EXPECT_STREQ(err, "teeth: le_tessera_run given n_donors=0, outside 1..1024");
  EXPECT_EQ(run(nullptr, b.n, stamp, 1, err, sizeof err), 1);
  EXPECT_STREQ(err, "teeth: le_tessera_run given a null donors");
  EXPECT_EQ(run(b.donorRgb.data(), b.n, stamp, -1, err, sizeof err), 1);
  EXPECT_STREQ(err, "teeth: le_tessera_run given n_frames=-1");
  int32_t badStamp[12];
  std::memcpy(badStamp, stamp, sizeof badStamp);
  badStamp[4] = 0;  // window_w
  EXPECT_EQ(run(b.donorRgb.data(), b.n, badStamp, 1, err, sizeof err), 1);
  EXPECT_TRUE(le::test::startsWith(err, "teeth: GeometryStamp incoherent: window dims must be positive;")) << err;
  // At most cap - 1 bytes and a NUL; nothing for a null buffer or cap <= 0.
  std::memset(err, 'x', sizeof err);
  EXPECT_EQ(run(nullptr, b.n, stamp, 1, err, 6), 1);
  EXPECT_EQ(std::string(err, 6), std::string("teeth\0", 6));
  EXPECT_EQ(err[6], 'x');
  std::memset(err, 'x', sizeof err);
  EXPECT_EQ(run(nullptr, b.n, stamp, 1, err, 0), 1);
  EXPECT_EQ(err[0], 'x');
  EXPECT_EQ(run(nullptr, b.n, stamp, 1, nullptr, 64), 1);
  // No frames: nothing to emit, success.
  EXPECT_EQ(run(b.donorRgb.data(), b.n, stamp, 0, err, sizeof err), 0);
}

}  // namespace
