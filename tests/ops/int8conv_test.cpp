#include <gtest/gtest.h>

#include <onnx/onnx_pb.h>
#include <onnxruntime_cxx_api.h>

#include <algorithm>
#include <cmath>
#include <cstring>
#include <functional>
#include <limits>
#include <random>
#include <string>
#include <thread>
#include <vector>

#include "base/le_ort.h"
#include "forge/forge_int8.h"
#include "forge/forge_onnx.h"
#include "ops/int8conv_vnni.h"

namespace {

namespace ob = le::forge::onnxb;
using le::Int8ConvPath;

struct Case {
  const char* name;
  int64_t N, C, H, W, M, kH, kW;
  int64_t sH, sW, dH, dW;
  int64_t pT, pL, pB, pR;
  int64_t group;
  float xLo, xHi;  // X is uniform in [xLo, xHi]
};

void PrintTo(const Case& c, std::ostream* os) { *os << c.name; }

int64_t outSize(int64_t in, int64_t p0, int64_t p1, int64_t d, int64_t k, int64_t s) {
  return (in + p0 + p1 - d * (k - 1) - 1) / s + 1;
}

struct Conv {
  Case c;
  std::vector<float> x, scale, bias;
  std::vector<int8_t> w;
  int64_t Ho = 0, Wo = 0;

  explicit Conv(const Case& k, unsigned seed) : c(k) {
    std::mt19937 rng(seed);
    std::uniform_real_distribution<float> xd(c.xLo, c.xHi), sd(0.001f, 0.01f), bd(-1.0f, 1.0f);
    std::uniform_int_distribution<int> wd(-128, 127);
    x.resize(size_t(c.N * c.C * c.H * c.W));
    for (float& v : x) v = xd(rng);
    w.resize(size_t(c.M * (c.C / c.group) * c.kH * c.kW));
    for (int8_t& v : w) v = int8_t(wd(rng));
    scale.resize(size_t(c.M));
    bias.resize(size_t(c.M));
    for (float& v : scale) v = sd(rng);
    for (float& v : bias) v = bd(rng);
    Ho = outSize(c.H, c.pT, c.pB, c.dH, c.kH, c.sH);
    Wo = outSize(c.W, c.pL, c.pR, c.dW, c.kW, c.sW);
  }

  std::vector<uint8_t> model() const {
    ob::Model m("int8conv", 17);
    m.domain("com.corvane.int8", 1);
    m.input("x", ob::kFloat, {c.N, c.C, c.H, c.W});
    m.initI8("w", w, {c.M, c.C / c.group, c.kH, c.kW});
    m.init("scale", scale, {c.M});
    m.init("bias", bias, {c.M});
    m.node("Int8ConvVNNI", {"x", "w", "scale", "bias"}, {"y"},
           {ob::Attr::ints("strides", {c.sH, c.sW}), ob::Attr::ints("pads", {c.pT, c.pL, c.pB, c.pR}),
            ob::Attr::ints("dilations", {c.dH, c.dW}), ob::Attr::i("group", c.group)},
           "conv", "com.corvane.int8");
    m.output("y", ob::kFloat, {c.N, c.M, Ho, Wo});
    const std::string b = m.bytes();
    return {b.begin(), b.end()};
  }

  // The contract written out directly: quantise X (range from 0, ties to even),
  // dequantise, and convolve in double with zero padding. tol gets a bound per
  // output for the float rounding of the operator's last steps.
  std::vector<double> reference(std::vector<double>& tol) const {
    float lo = 0.0f, hi = 0.0f;
    for (float v : x) lo = std::min(lo, v), hi = std::max(hi, v);
    float sx = (hi - lo) / 255.0f;
    if (!(sx > 0.0f)) sx = 1.0f;
    const float zp = std::clamp(std::nearbyint(-lo / sx), 0.0f, 255.0f);
    std::vector<double> deq(x.size());
    for (size_t i = 0; i < x.size(); ++i)
      deq[i] = double(std::clamp(std::nearbyint(x[i] / sx) + zp, 0.0f, 255.0f) - zp) * sx;
    const int64_t Cg = c.C / c.group, Mg = c.M / c.group;
    std::vector<double> y(size_t(c.N * c.M * Ho * Wo));
    tol.assign(y.size(), 0.0);
    for (int64_t n = 0; n < c.N; ++n)
      for (int64_t m = 0; m < c.M; ++m)
        for (int64_t oy = 0; oy < Ho; ++oy)
          for (int64_t ox = 0; ox < Wo; ++ox) {
            double s = 0;
            for (int64_t ci = 0; ci < Cg; ++ci)
              for (int64_t ky = 0; ky < c.kH; ++ky)
                for (int64_t kx = 0; kx < c.kW; ++kx) {
                  const int64_t iy = oy * c.sH - c.pT + ky * c.dH, ix = ox * c.sW - c.pL + kx * c.dW;
                  if (iy < 0 || iy >= c.H || ix < 0 || ix >= c.W) continue;
                  const int64_t ch = (m / Mg) * Cg + ci;
                  s += deq[size_t(((n * c.C + ch) * c.H + iy) * c.W + ix)] *
                       w[size_t(((m * Cg + ci) * c.kH + ky) * c.kW + kx)];
                }
            const size_t i = size_t(((n * c.M + m) * Ho + oy) * Wo + ox);
            const double core = s * scale[size_t(m)];
            y[i] = core + bias[size_t(m)];
            tol[i] = 1e-6 * (std::fabs(core) + std::fabs(bias[size_t(m)])) + 1e-9;
          }
    return y;
  }
};

std::unique_ptr<Ort::Session> open(const std::vector<uint8_t>& bytes) {
  Ort::SessionOptions so;
  so.SetIntraOpNumThreads(2);
  so.SetInterOpNumThreads(1);
  le::registerInt8ConvVNNI(so);
  return le::ort::open(bytes, so);
}

std::vector<float> run(Ort::Session& s, const std::vector<float>& x, const std::vector<int64_t>& xs) {
  Ort::Value in = Ort::Value::CreateTensor<float>(le::ort::cpuMemory(), const_cast<float*>(x.data()), x.size(),
                                                  xs.data(), xs.size());
  const char* inName = "x";
  const char* outName = "y";
  auto out = s.Run(Ort::RunOptions{nullptr}, &inName, &in, 1, &outName, 1);
  const auto info = out[0].GetTensorTypeAndShapeInfo();
  const float* p = out[0].GetTensorData<float>();
  return std::vector<float>(p, p + info.GetElementCount());
}

// Every path this processor has, the portable one first.
std::vector<Int8ConvPath> pathsHere() {
  std::vector<Int8ConvPath> out;
  for (Int8ConvPath p : {Int8ConvPath::Portable, Int8ConvPath::Avx2, Int8ConvPath::AvxVnni, Int8ConvPath::Avx512Vnni}) {
    le::int8ConvForcePath(p);
    if (le::int8ConvActivePath() == p) out.push_back(p);
  }
  le::int8ConvForcePath(Int8ConvPath::Auto);
  return out;
}

class Int8ConvCases : public ::testing::TestWithParam<Case> {
 protected:
  void TearDown() override { le::int8ConvForcePath(Int8ConvPath::Auto); }
};

TEST_P(Int8ConvCases, MatchesDequantisedFloatConvOnEveryPath) {
  const Conv conv(GetParam(), 7);
  const auto& c = conv.c;
  std::vector<double> tol;
  const std::vector<double> ref = conv.reference(tol);
  auto session = open(conv.model());
  std::vector<float> portable;
  for (Int8ConvPath p : pathsHere()) {
    SCOPED_TRACE(le::int8ConvPathName(p));
    le::int8ConvForcePath(p);
    const std::vector<float> y = run(*session, conv.x, {c.N, c.C, c.H, c.W});
    ASSERT_EQ(y.size(), ref.size());
    if (p == Int8ConvPath::Portable) {
      for (size_t i = 0; i < y.size(); ++i) ASSERT_NEAR(y[i], ref[i], tol[i]) << "output " << i;
      portable = y;
    } else {
      // Same int32 sums, same float steps: the vector path must not differ by a bit.
      ASSERT_EQ(0, std::memcmp(y.data(), portable.data(), y.size() * sizeof(float)));
    }
  }
  if (pathsHere().size() == 1) GTEST_LOG_(INFO) << "no vector path on this processor: only the portable path ran";
}

// Widths of 19 and more give the vector kernel full tiles of 4 and remainders;
// M of 40 gives blocks of 8 in a pair and one alone.
INSTANTIATE_TEST_SUITE_P(
    Shapes, Int8ConvCases,
    ::testing::Values(
        //    name            N  C   H   W   M  kH kW sH sW dH dW pT pL pB pR grp  xLo   xHi
        Case{"pad1_3x3",      1, 8,  9,  19, 16, 3, 3, 1, 1, 1, 1, 1, 1, 1, 1, 1, -1.3f, 2.1f},
        Case{"odd_stride2",   1, 5,  11, 23, 11, 3, 3, 2, 2, 1, 1, 0, 1, 2, 1, 1, -0.4f, 0.9f},
        Case{"dilated",       1, 7,  12, 21, 9,  3, 3, 1, 1, 2, 2, 2, 2, 2, 2, 1, -2.0f, 0.5f},
        Case{"groups_batch",  2, 6,  8,  20, 10, 3, 3, 1, 1, 1, 1, 1, 1, 1, 1, 2, -1.0f, 1.0f},
        Case{"depthwise",     1, 12, 10, 25, 12, 3, 3, 2, 2, 1, 1, 1, 1, 1, 1, 12, -0.7f, 1.5f},
        Case{"pointwise_n3",  3, 33, 5,  9,  20, 1, 1, 1, 1, 1, 1, 0, 0, 0, 0, 1, -3.0f, 3.0f},
        Case{"rect_mixed",    1, 16, 13, 27, 40, 5, 3, 2, 1, 1, 2, 2, 1, 2, 1, 1, -1.0f, 4.0f},
        Case{"all_border",    1, 3,  2,  3,  5,  3, 3, 1, 1, 1, 1, 1, 1, 1, 1, 1, -1.0f, 1.0f},
        Case{"positive_x",    1, 4,  7,  22, 8,  3, 3, 1, 1, 1, 1, 1, 1, 1, 1, 1, 0.2f, 3.0f}),
    [](const ::testing::TestParamInfo<Case>& i) { return std::string(i.param.name); });

TEST(Int8Conv, AllZeroInputGivesTheBias) {
  Conv conv(Case{"zero", 2, 6, 9, 17, 12, 3, 3, 1, 1, 1, 1, 1, 1, 1, 1, 3, 0.0f, 0.0f}, 3);
  auto session = open(conv.model());
  for (Int8ConvPath p : pathsHere()) {
    SCOPED_TRACE(le::int8ConvPathName(p));
    le::int8ConvForcePath(p);
    const std::vector<float> y = run(*session, conv.x, {2, 6, 9, 17});
    const size_t plane = size_t(conv.Ho * conv.Wo);
    ASSERT_EQ(y.size(), 2 * 12 * plane);
    for (size_t i = 0; i < y.size(); ++i) ASSERT_EQ(y[i], conv.bias[(i / plane) % 12]) << i;
  }
  le::int8ConvForcePath(Int8ConvPath::Auto);
}

// Several threads run one session at once, all of them on its first run: the
// weights are prepared once and every result is the single-threaded one.
TEST(Int8Conv, ConcurrentFirstRunsAgree) {
  const Conv conv(Case{"conc", 1, 16, 12, 20, 24, 3, 3, 1, 1, 1, 1, 1, 1, 1, 1, 1, -1.0f, 1.0f}, 5);
  const std::vector<int64_t> xs{1, 16, 12, 20};
  const std::vector<uint8_t> bytes = conv.model();
  const std::vector<float> expect = run(*open(bytes), conv.x, xs);
  auto session = open(bytes);
  std::vector<std::vector<float>> got(4);
  std::vector<std::thread> threads;
  for (auto& g : got) threads.emplace_back([&] { g = run(*session, conv.x, xs); });
  for (auto& t : threads) t.join();
  for (const auto& g : got) EXPECT_EQ(g, expect);
}

// Weights fed as a graph input may change from run to run: each run must use
// its own, not the first run's.
TEST(Int8Conv, WeightsFedAtRunTimeAreNotKept) {
  Conv conv(Case{"wIn", 1, 4, 6, 11, 8, 3, 3, 1, 1, 1, 1, 1, 1, 1, 1, 1, -1.0f, 1.0f}, 9);
  ob::Model m("win", 17);
  m.domain("com.corvane.int8", 1);
  m.input("x", ob::kFloat, {1, 4, 6, 11});
  m.input("w", ob::kInt8, {8, 4, 3, 3});
  m.init("scale", conv.scale, {8});
  m.init("bias", conv.bias, {8});
  m.node("Int8ConvVNNI", {"x", "w", "scale", "bias"}, {"y"}, {ob::Attr::ints("pads", {1, 1, 1, 1})}, "conv",
         "com.corvane.int8");
  m.output("y", ob::kFloat, {1, 8, 6, 11});
  const std::string b = m.bytes();
  auto s = open({b.begin(), b.end()});
  for (int round = 0; round < 2; ++round) {
    if (round == 1)
      for (int8_t& v : conv.w) v = int8_t(-v / 2);
    const int64_t xs[4] = {1, 4, 6, 11}, ws[4] = {8, 4, 3, 3};
    Ort::Value in[2] = {
        Ort::Value::CreateTensor<float>(le::ort::cpuMemory(), conv.x.data(), conv.x.size(), xs, 4),
        Ort::Value::CreateTensor<int8_t>(le::ort::cpuMemory(), conv.w.data(), conv.w.size(), ws, 4)};
    const char* inNames[2] = {"x", "w"};
    const char* outName = "y";
    auto out = s->Run(Ort::RunOptions{nullptr}, inNames, in, 2, &outName, 1);
    const float* y = out[0].GetTensorData<float>();
    std::vector<double> tol;
    const std::vector<double> want = conv.reference(tol);
    for (size_t i = 0; i < want.size(); ++i) ASSERT_NEAR(y[i], want[i], tol[i]) << "round " << round << ", " << i;
  }
}

// ---- models the operator must refuse with a message ------------------------------

struct Bad {
  const char* name;
  std::function<void(ob::Model&)> build;  // adds initializers and the node over input x [1,4,6,6]
  std::vector<float> x;                   // empty: ones
  const char* expect;                     // part of the error text
};

void conv(ob::Model& m, std::vector<int64_t> wDims, int64_t scales, int64_t biases, std::vector<ob::Attr> attrs) {
  int64_t n = 1;
  for (int64_t d : wDims) n *= d;
  m.initI8("w", std::vector<int8_t>(size_t(n), 1), wDims);
  m.init("s", std::vector<float>(size_t(scales), 0.5f), {scales});
  m.init("b", std::vector<float>(size_t(biases), 0.0f), {biases});
  m.node("Int8ConvVNNI", {"x", "w", "s", "b"}, {"y"}, attrs, "conv", "com.corvane.int8");
}

void PrintTo(const Bad& b, std::ostream* os) { *os << b.name; }

class Int8ConvRefuses : public ::testing::TestWithParam<Bad> {};

TEST_P(Int8ConvRefuses, WithAClearError) {
  const Bad& bad = GetParam();
  ob::Model m("bad", 17);
  m.domain("com.corvane.int8", 1);
  m.input("x", ob::kFloat, {1, 4, 6, 6});
  bad.build(m);
  m.output("y", ob::kFloat, {"n", "m", "h", "w"});
  const std::string b = m.bytes();
  std::vector<float> x = bad.x.empty() ? std::vector<float>(144, 1.0f) : bad.x;
  std::string error;
  try {
    auto s = open({b.begin(), b.end()});
    run(*s, x, {1, 4, 6, 6});
  } catch (const Ort::Exception& e) {
    error = e.what();
  }
  EXPECT_NE(error.find("com.corvane.int8::Int8ConvVNNI: "), std::string::npos) << error;
  EXPECT_NE(error.find(bad.expect), std::string::npos) << error;
}

std::vector<float> withNaN() {
  std::vector<float> x(144, 1.0f);
  x[77] = std::numeric_limits<float>::quiet_NaN();
  return x;
}

INSTANTIATE_TEST_SUITE_P(
    Models, Int8ConvRefuses,
    ::testing::Values(
        Bad{"weight_rank", [](ob::Model& m) { conv(m, {8, 4, 9}, 8, 8, {}); }, {}, "W must be [M,C/group,kH,kW]"},
        Bad{"group_does_not_divide_c", [](ob::Model& m) { conv(m, {6, 1, 3, 3}, 6, 6, {ob::Attr::i("group", 3)}); },
            {}, "which group=3 does not divide"},
        Bad{"channels_disagree", [](ob::Model& m) { conv(m, {8, 3, 3, 3}, 8, 8, {}); }, {}, "channels per group"},
        Bad{"scales_length", [](ob::Model& m) { conv(m, {8, 4, 3, 3}, 7, 8, {}); }, {}, "weight scales must be [M]"},
        Bad{"bias_length", [](ob::Model& m) { conv(m, {8, 4, 3, 3}, 8, 9, {}); }, {}, "bias must be [M]"},
        Bad{"m_not_divisible", [](ob::Model& m) { conv(m, {5, 2, 3, 3}, 5, 5, {ob::Attr::i("group", 2)}); }, {},
            "M=5 output channels"},
        Bad{"kernel_too_large", [](ob::Model& m) { conv(m, {2, 4, 9, 3}, 2, 2, {}); }, {}, "larger than the padded"},
        Bad{"zero_stride", [](ob::Model& m) { conv(m, {2, 4, 3, 3}, 2, 2, {ob::Attr::ints("strides", {0, 1})}); },
            {}, "attribute strides"},
        Bad{"three_pads", [](ob::Model& m) { conv(m, {2, 4, 3, 3}, 2, 2, {ob::Attr::ints("pads", {1, 1, 1})}); }, {},
            "attribute pads needs 4 values"},
        Bad{"huge_pads",
            [](ob::Model& m) { conv(m, {2, 4, 3, 3}, 2, 2, {ob::Attr::ints("pads", {1, 1, 1, 1LL << 40})}); },
            {}, "attribute pads"},
        Bad{"float_group", [](ob::Model& m) { conv(m, {2, 4, 3, 3}, 2, 2, {ob::Attr::f("group", 1.0f)}); }, {},
            "attribute group must be an int"},
        Bad{"auto_pad", [](ob::Model& m) { conv(m, {2, 4, 3, 3}, 2, 2, {ob::Attr::s("auto_pad", "SAME_UPPER")}); },
            {}, "auto_pad=SAME_UPPER"},
        Bad{"sum_overflows_int32",
            [](ob::Model& m) { conv(m, {1, 4, 129, 129}, 1, 1, {ob::Attr::ints("pads", {64, 64, 64, 64})}); },
            {}, "an int32 sum holds exactly"},
        Bad{"nan_input", [](ob::Model& m) { conv(m, {2, 4, 3, 3}, 2, 2, {}); }, withNaN(), "NaN or an infinity"}),
    [](const ::testing::TestParamInfo<Bad>& i) { return std::string(i.param.name); });

// ---- the forge's helper ----------------------------------------------------------

TEST(ForgeInt8Conv, DeterministicNodesOneDomainAndRunnable) {
  auto build = [](uint32_t seed) {
    auto m = std::make_unique<ob::Model>("f", 17);
    m->input("x", ob::kFloat, {1, 8, 10, 10});
    const std::string h = le::forge::int8Conv(*m, "x", 8, 16, 3, 1, 2, seed, "a");
    const std::string y = le::forge::int8Conv(*m, h, 16, 16, 1, 0, 16, seed + 1, "b");
    m->output(y, ob::kFloat, {1, 16, 10, 10});
    return m;
  };
  const auto m1 = build(11), m2 = build(11), m3 = build(12);
  EXPECT_EQ(m1->bytes(), m2->bytes());
  EXPECT_NE(m1->bytes(), m3->bytes());
  int imports = 0;
  for (const auto& op : m1->proto().opset_import()) imports += op.domain() == "com.corvane.int8";
  EXPECT_EQ(imports, 1);
  EXPECT_THROW(le::forge::int8Conv(*build(1), "x", 6, 8, 3, 1, 4, 1, "bad"), std::runtime_error);

  // The first node alone, against the reference built from its own initializers.
  const onnx::GraphProto& g = m1->graph();
  Case c{"forge", 1, 8, 10, 10, 16, 3, 3, 1, 1, 1, 1, 1, 1, 1, 1, 2, -1.0f, 2.0f};
  Conv ref(c, 4);
  for (const auto& t : g.initializer()) {
    const std::string& raw = t.raw_data();
    if (t.name() == "a/w") ref.w.assign(raw.begin(), raw.end());
    if (t.name() == "a/scale") std::memcpy(ref.scale.data(), raw.data(), raw.size());
    if (t.name() == "a/bias") std::memcpy(ref.bias.data(), raw.data(), raw.size());
  }
  ASSERT_EQ(ref.w.size(), size_t(16 * 4 * 9));
  ob::Model single("f1", 17);
  single.input("x", ob::kFloat, {1, 8, 10, 10});
  single.output(le::forge::int8Conv(single, "x", 8, 16, 3, 1, 2, 11, "a"), ob::kFloat, {1, 16, 10, 10});
  const std::string bytes = single.bytes();
  auto s = open({bytes.begin(), bytes.end()});
  const int64_t xs[4] = {1, 8, 10, 10};
  Ort::Value in = Ort::Value::CreateTensor<float>(le::ort::cpuMemory(), ref.x.data(), ref.x.size(), xs, 4);
  const char* inName = "x";
  const char* outName = "a/y";
  auto out = s->Run(Ort::RunOptions{nullptr}, &inName, &in, 1, &outName, 1);
  const float* y = out[0].GetTensorData<float>();
  std::vector<double> tol;
  const std::vector<double> want = ref.reference(tol);
  for (size_t i = 0; i < want.size(); ++i) ASSERT_NEAR(y[i], want[i], tol[i]) << i;
}

}  // namespace
