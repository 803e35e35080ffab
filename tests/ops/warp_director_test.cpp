// WarpDirector against the block it replaces, written out literally: bilinear
// taps of the image and of its second differences, recombined with the
// curvature weights.
#include <gtest/gtest.h>

#include <onnxruntime_cxx_api.h>

#include <algorithm>
#include <cmath>
#include <limits>
#include <random>
#include <vector>

#include "forge/forge_onnx.h"
#include "ops/gridsample_fast.h"
#include "ops/le_warp.h"
#include "support/ort.h"

namespace {

// The four-tap formulation, one pixel, one plane.
float literal(const float* p, int W, int H, float gx, float gy) {
  auto at = [&](int i, int j) { return p[std::clamp(i, 0, H - 1) * W + std::clamp(j, 0, W - 1)]; };
  const double x = ((gx + 1.0) * W - 1.0) * 0.5, y = ((gy + 1.0) * H - 1.0) * 0.5;
  const double tx = x - std::floor(x), ty = y - std::floor(y);
  const double ex = (1 - tx) * tx * 0.5, ey = (1 - ty) * ty * 0.5;
  const double xc = std::clamp(x, 0.0, W - 1.0), yc = std::clamp(y, 0.0, H - 1.0);
  const int x0 = int(std::floor(xc)), y0 = int(std::floor(yc));
  const double fx = xc - x0, fy = yc - y0;
  const int xs[2] = {x0, std::min(x0 + 1, W - 1)}, ys[2] = {y0, std::min(y0 + 1, H - 1)};
  const double w[4] = {(1 - fx) * (1 - fy), fx * (1 - fy), (1 - fx) * fy, fx * fy};
  double S = 0, Sx = 0, Sy = 0, Sxy = 0;
  for (int k = 0; k < 4; ++k) {
    const int i = ys[k / 2], j = xs[k % 2];
    auto dyy = [&](int jj) { return at(i - 1, jj) - 2.0 * at(i, jj) + at(i + 1, jj); };
    S += w[k] * at(i, j);
    Sx += w[k] * (at(i, j - 1) - 2.0 * at(i, j) + at(i, j + 1));
    Sy += w[k] * dyy(j);
    Sxy += w[k] * (dyy(j - 1) - 2.0 * dyy(j) + dyy(j + 1));
  }
  return float(ex * ey * Sxy + ((S - Sx * ex) - Sy * ey));
}

TEST(WarpDirectorKernel, MatchesTheLiteralBlockOnBothPaths) {
  // 13 columns: the vector path covers 8 and the scalar tail 5; grids reach
  // well past the borders.
  const int W = 13, H = 9;
  std::mt19937 rng(3);
  std::uniform_real_distribution<float> u(0.f, 1.f), g(-1.4f, 1.4f);
  std::vector<float> src(3 * W * H), grid(2 * W * H);
  for (float& v : src) v = u(rng);
  for (float& v : grid) v = g(rng);
  for (bool vec : {false, true}) {
    SCOPED_TRACE(vec ? "vector" : "scalar");
    std::vector<float> out(src.size(), -1.f);
    le::warpDirectorBandPath(src.data(), grid.data(), out.data(), W, H, 0, H, vec);
    for (int c = 0; c < 3; ++c)
      for (int p = 0; p < W * H; ++p)
        ASSERT_NEAR(out[c * W * H + p], literal(src.data() + c * W * H, W, H, grid[2 * p], grid[2 * p + 1]), 2e-5f)
            << c << "," << p;
    // Non-finite grid values stay inside the image.
    std::vector<float> bad(grid.size(), std::numeric_limits<float>::quiet_NaN());
    for (size_t i = 0; i < bad.size(); i += 3) bad[i] = std::numeric_limits<float>::infinity();
    le::warpDirectorBandPath(src.data(), bad.data(), out.data(), W, H, 0, H, vec);
  }

  // Along one axis it is Catmull-Rom: samples 0, 0, 1, 0 at t = 0.25.
  const std::vector<float> row = {0, 0, 1, 0, 0, 0, 0, 0, 0, 0};
  std::vector<float> plane3(30);
  for (int c = 0; c < 3; ++c) std::copy(row.begin(), row.end(), plane3.begin() + 10 * c);
  std::vector<float> one(20, 0.f), o(30);
  const float x = 1.25f;  // between columns 1 and 2
  for (int k = 0; k < 10; ++k) {
    one[2 * k] = (2.f * x + 1.f) / 10.f - 1.f;
    one[2 * k + 1] = 0.f;
  }
  le::warpDirector(plane3.data(), one.data(), o.data(), 10, 1);
  EXPECT_NEAR(o[0], 0.2265625f, 1e-6f);
}

TEST(WarpDirectorKernel, RefusesAnythingButThreeChannels) {
  namespace ob = le::forge::onnxb;
  for (int64_t C : {3, 4}) {
    ob::Model m("warp", 17);
    m.domain("com.corvane", 1);
    m.input("P", ob::kFloat, {1, C, 4, 4});
    m.input("g", ob::kFloat, {1, 4, 4, 2});
    m.node("WarpDirector", {"P", "g"}, {"y"}, {}, "w", "com.corvane");
    m.output("y", ob::kFloat, {1, C, 4, 4});
    const std::string b = m.bytes();
    Ort::SessionOptions so;
    le::registerGridSampleFast(so);
    Ort::Session s(le::test::ortEnv(), b.data(), b.size(), so);
    std::vector<float> p(size_t(C) * 16, 0.5f), grid(32, 0.1f);
    const int64_t ps[4] = {1, C, 4, 4}, gs[4] = {1, 4, 4, 2};
    Ort::MemoryInfo mem = Ort::MemoryInfo::CreateCpu(OrtArenaAllocator, OrtMemTypeDefault);
    Ort::Value in[2] = {Ort::Value::CreateTensor<float>(mem, p.data(), p.size(), ps, 4),
                        Ort::Value::CreateTensor<float>(mem, grid.data(), grid.size(), gs, 4)};
    const char* names[2] = {"P", "g"};
    const char* out = "y";
    if (C == 3) {
      // A constant image warps to the same constant.
      auto r = s.Run(Ort::RunOptions{nullptr}, names, in, 2, &out, 1);
      for (size_t i = 0; i < 48; ++i) EXPECT_NEAR(r[0].GetTensorData<float>()[i], 0.5f, 1e-6f);
      continue;
    }
    try {
      s.Run(Ort::RunOptions{nullptr}, names, in, 2, &out, 1);
      FAIL() << "C=4 ran";
    } catch (const Ort::Exception& e) {
      EXPECT_NE(std::string(e.what()).find("the graph handed it C=4. REFUSING rather than writing a frame nobody asked for."),
                std::string::npos)
          << e.what();
    }
  }
}

}  // namespace
