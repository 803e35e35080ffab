#include <gtest/gtest.h>

#include <onnxruntime_cxx_api.h>

#include <cmath>
#include <limits>
#include <random>

#include "forge/forge_onnx.h"
#include "graph/gridsample_fast.h"
#include "ops/gridsample_fast.h"
#include "ops/int8conv_vnni.h"
#include "support/ort.h"

namespace {

namespace ob = le::forge::onnxb;

std::vector<float> randomVec(size_t n, float lo, float hi, unsigned seed) {
  std::mt19937 rng(seed);
  std::uniform_real_distribution<float> d(lo, hi);
  std::vector<float> v(n);
  for (float& x : v) x = d(rng);
  return v;
}

TEST(GridSampleFastKernel, SamplingGeometry) {
  for (bool vec : {false, true}) {
    SCOPED_TRACE(vec ? "vector" : "scalar");
    // All-zero grid on a 2x2 image: the mean of the four pixels everywhere.
    const std::vector<float> img{1, 2, 3, 0, 20, 30, 40, 50};  // C=2
    std::vector<float> grid(2 * 2 * 2, 0.0f), out(8, -1.0f);
    le::gridsample_fast_band_path(img.data(), grid.data(), out.data(), 2, 2, 2, 2, 2, 0, 2, vec);
    for (int p = 0; p < 4; ++p) {
      EXPECT_FLOAT_EQ(out[p], 1.5f);
      EXPECT_FLOAT_EQ(out[4 + p], 35.0f);
    }

    // Border: gx = -1 and far outside read column 0 exactly; gx = 1 and beyond read the last column.
    // 9 pixels per row so the vector path covers 8 and the scalar tail one.
    const int H = 3, W = 5, Wo = 9;
    const std::vector<float> src = randomVec(H * W, 0, 1, 1);
    const float xs[Wo] = {-1.0f, -5.0f, -1e30f, 1.0f, 7.0f, 1e30f, std::numeric_limits<float>::infinity(),
                          -std::numeric_limits<float>::infinity(), -1.0f};
    std::vector<float> g(H * Wo * 2), o(H * Wo);
    for (int r = 0; r < H; ++r)
      for (int c = 0; c < Wo; ++c) {
        g[2 * (r * Wo + c)] = xs[c];
        g[2 * (r * Wo + c) + 1] = (2.0f * r + 1.0f) / H - 1.0f;  // row centres
      }
    le::gridsample_fast_band_path(src.data(), g.data(), o.data(), 1, H, W, H, Wo, 0, H, vec);
    for (int r = 0; r < H; ++r) {
      const float first = src[r * W], last = src[r * W + W - 1];
      // Row centres carry float round-off in y, hence the small tolerance.
      for (int c : {0, 1, 2, 7, 8}) EXPECT_NEAR(o[r * Wo + c], first, 1e-6f) << r << "," << c;
      for (int c : {3, 4, 5, 6}) EXPECT_NEAR(o[r * Wo + c], last, 1e-6f) << r << "," << c;
    }
    // NaN lands on the border instead of reaching an int conversion.
    std::vector<float> nan(H * Wo * 2, std::numeric_limits<float>::quiet_NaN());
    le::gridsample_fast_band_path(src.data(), nan.data(), o.data(), 1, H, W, H, Wo, 0, H, vec);
    for (float v : o) EXPECT_TRUE(std::isfinite(v));
  }
}

TEST(GridSampleFastKernel, BandsAndPathsAgree) {
  // 17 rows: the band starting at 16 computes one row and touches nothing else.
  const int C = 3, H = 17, W = 21, Ho = 17, Wo = 19;
  const std::vector<float> src = randomVec(size_t(C) * H * W, 0, 1, 2);
  const std::vector<float> grid = randomVec(size_t(Ho) * Wo * 2, -1.3f, 1.3f, 3);
  std::vector<float> full(size_t(C) * Ho * Wo), band(full.size(), -7.0f), scalar(full.size());
  le::gridsample_fast(src.data(), grid.data(), full.data(), C, H, W, Ho, Wo);
  le::gridsample_fast_band(src.data(), grid.data(), band.data(), C, H, W, Ho, Wo, 16, 32);
  for (int c = 0; c < C; ++c)
    for (int r = 0; r < Ho; ++r)
      for (int x = 0; x < Wo; ++x) {
        const size_t i = (size_t(c) * Ho + r) * Wo + x;
        if (r == 16) EXPECT_EQ(band[i], full[i]);
        else EXPECT_EQ(band[i], -7.0f);
      }
  le::gridsample_fast_band(src.data(), grid.data(), band.data(), C, H, W, Ho, Wo, 5, 5);   // empty range
  le::gridsample_fast_band(src.data(), grid.data(), band.data(), C, H, W, Ho, Wo, -9, 0);  // clipped to nothing
  EXPECT_EQ(band[0], -7.0f);

  // The scalar loop against the vector path (and both against a double reference).
  le::gridsample_fast_band_path(src.data(), grid.data(), scalar.data(), C, H, W, Ho, Wo, 0, Ho, false);
  if (!le::gridsampleFastHasVectorPath()) GTEST_LOG_(INFO) << "no AVX2+FMA here: both runs took the scalar loop";
  for (size_t i = 0; i < full.size(); ++i) ASSERT_NEAR(full[i], scalar[i], 1e-6f) << i;
  for (int r = 0; r < Ho; ++r)
    for (int x = 0; x < Wo; ++x) {
      const double gx = grid[2 * (r * Wo + x)], gy = grid[2 * (r * Wo + x) + 1];
      const double px = std::clamp(((gx + 1) * W - 1) / 2, 0.0, W - 1.0);
      const double py = std::clamp(((gy + 1) * H - 1) / 2, 0.0, H - 1.0);
      const int x0 = int(px), y0 = int(py), x1 = std::min(x0 + 1, W - 1), y1 = std::min(y0 + 1, H - 1);
      const double fx = px - x0, fy = py - y0;
      for (int c = 0; c < C; ++c) {
        const float* s = src.data() + size_t(c) * H * W;
        const double ref = (1 - fx) * (1 - fy) * s[y0 * W + x0] + fx * (1 - fy) * s[y0 * W + x1] +
                           (1 - fx) * fy * s[y1 * W + x0] + fx * fy * s[y1 * W + x1];
        ASSERT_NEAR(full[(size_t(c) * Ho + r) * Wo + x], ref, 1e-5) << c << "," << r << "," << x;
      }
    }
}

// ---------------------------------------------------------------- against ONNX Runtime's own GridSample

std::vector<uint8_t> gridSampleModel(int64_t opset, const std::string& mode) {
  ob::Model m("gs", opset);
  m.input("x", ob::kFloat, {"n", "c", "h", "w"});
  m.input("grid", ob::kFloat, {"gn", "ho", "wo", 2});
  m.node("GridSample", {"x", "grid"}, {"y"},
         {ob::Attr::s("mode", mode), ob::Attr::s("padding_mode", "border"), ob::Attr::i("align_corners", 0)}, "gs");
  m.output("y", ob::kFloat, {"n", "c", "ho", "wo"});
  const std::string b = m.bytes();
  return std::vector<uint8_t>(b.begin(), b.end());
}

std::vector<float> run(const std::vector<uint8_t>& model, bool custom, const std::vector<float>& x,
                       const std::vector<int64_t>& xs, const std::vector<float>& g, const std::vector<int64_t>& gs) {
  Ort::SessionOptions so;
  so.SetIntraOpNumThreads(2);
  so.SetGraphOptimizationLevel(GraphOptimizationLevel::ORT_ENABLE_ALL);
  if (custom) {
    le::registerGridSampleFast(so);
    le::registerInt8ConvVNNI(so);
  }
  Ort::Session s(le::test::ortEnv(), model.data(), model.size(), so);
  const auto mem = Ort::MemoryInfo::CreateCpu(OrtArenaAllocator, OrtMemTypeDefault);
  Ort::Value in[2] = {
      Ort::Value::CreateTensor<float>(mem, const_cast<float*>(x.data()), x.size(), xs.data(), xs.size()),
      Ort::Value::CreateTensor<float>(mem, const_cast<float*>(g.data()), g.size(), gs.data(), gs.size())};
  const char* inNames[2] = {"x", "grid"};
  const char* outNames[1] = {"y"};
  auto out = s.Run(Ort::RunOptions{nullptr}, inNames, in, 2, outNames, 1);
  const auto shape = out[0].GetTensorTypeAndShapeInfo().GetShape();
  EXPECT_EQ(shape, (std::vector<int64_t>{xs[0], xs[1], gs[1], gs[2]}));
  const float* p = out[0].GetTensorData<float>();
  return std::vector<float>(p, p + out[0].GetTensorTypeAndShapeInfo().GetElementCount());
}

TEST(GridSampleFastOracle, MatchesTheStandardOperator) {
  struct Shape {
    int64_t n, c, h, w, ho, wo;
    int64_t opset;
    const char* mode;
  };
  const Shape shapes[] = {
      {1, 3, 16, 16, 16, 16, 17, "bilinear"},  // the director's case: grid as large as the image
      {1, 12, 20, 13, 17, 11, 17, "bilinear"},  // other sizes, W not a multiple of 8, 2 bands
      {2, 1, 9, 33, 40, 24, 20, "linear"},      // batch 2, opset 20 spelling, upsampling grid
  };
  unsigned seed = 10;
  for (const Shape& s : shapes) {
    SCOPED_TRACE(std::to_string(s.c) + "x" + std::to_string(s.h) + "x" + std::to_string(s.w));
    const std::vector<int64_t> xs{s.n, s.c, s.h, s.w}, gs{s.n, s.ho, s.wo, 2};
    const auto x = randomVec(size_t(s.n * s.c * s.h * s.w), 0, 1, ++seed);
    auto g = randomVec(size_t(s.n * s.ho * s.wo * 2), -1.4f, 1.4f, ++seed);
    g[0] = -1.0f, g[1] = 1.0f, g[2] = 3.0f, g[3] = -2.5f;  // exact edges and far outside
    std::vector<uint8_t> model = gridSampleModel(s.opset, s.mode);
    const auto ref = run(model, false, x, xs, g, gs);
    ASSERT_EQ(le::rewriteGridSampleToFast(model), 1u);
    ASSERT_TRUE(le::graphHasBakedGridSampleFast(model));
    const auto fast = run(model, true, x, xs, g, gs);
    ASSERT_EQ(fast.size(), ref.size());
    float worst = 0;
    for (size_t i = 0; i < ref.size(); ++i) worst = std::max(worst, std::fabs(fast[i] - ref[i]));
    EXPECT_LE(worst, 1e-4f);
  }
}

TEST(GridSampleFastOracle, RefusesShapesItCannotServe) {
  std::vector<uint8_t> model = gridSampleModel(17, "bilinear");
  ASSERT_EQ(le::rewriteGridSampleToFast(model), 1u);
  const std::vector<float> x(2 * 3 * 4 * 4, 0.5f), g(1 * 4 * 4 * 2, 0.0f);
  try {
    run(model, true, x, {2, 3, 4, 4}, g, {1, 4, 4, 2});  // grid batch differs from the image's
    FAIL() << "a batch mismatch ran";
  } catch (const Ort::Exception& e) {
    EXPECT_NE(std::string(e.what()).find("com.corvane::GridSampleFast: expects X [N,C,H,W] and grid [N,Ho,Wo,2]; got "
                                         "X [2,3,4,4] and grid [1,4,4,2]"),
              std::string::npos)
        << e.what();
  }
  // Without registration the rewritten model cannot load: the op lives only in our domain.
  Ort::SessionOptions so;
  EXPECT_THROW(Ort::Session(le::test::ortEnv(), model.data(), model.size(), so), Ort::Exception);
}

}  // namespace
