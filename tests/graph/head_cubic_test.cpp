// The head cubic rewrite against the runtime's own cubic Resize: the same
// output to fp32 round-off, and any graph that does not fit left untouched.
#include <gtest/gtest.h>

#include <cmath>
#include <random>
#include <string>
#include <vector>

#include "graph/head_cubic.h"
#include "graph_test_util.h"
#include "support/ort.h"

namespace {

namespace ob = le::forge::onnxb;
using Bytes = std::vector<uint8_t>;
using ob::Attr;

constexpr int64_t kC = 2, kH = 7, kW = 5;

struct Variant {
  std::vector<Attr> resize = {Attr::s("mode", "cubic"), Attr::s("coordinate_transformation_mode", "half_pixel")};
  std::vector<float> scales = {1.f, 1.f, 2.f, 2.f};
  bool convProducer = true;
  int resizes = 1;
};

// x -> Conv (C in, C out, 1x1) -> Resize x2 [-> a second Resize] -> y
Bytes model(const Variant& v) {
  ob::Model m("head", 17);
  m.input("x", ob::kFloat, {1, kC, kH, kW});
  std::vector<float> w(kC * kC);
  for (size_t i = 0; i < w.size(); ++i) w[i] = 0.3f + 0.2f * float(i);
  m.init("w", w, {kC, kC, 1, 1});
  m.init("scales", v.scales, {4});
  std::string cur = v.convProducer ? m.node("Conv", {"x", "w"}, {"feat"}, {Attr::ints("kernel_shape", {1, 1})}, "/head/conv")
                                   : m.node("Relu", {"x"}, {"feat"}, {}, "/head/relu");
  for (int k = 0; k < v.resizes; ++k) {
    if (k > 0) cur = m.node("Conv", {cur, "w"}, {"feat2"}, {Attr::ints("kernel_shape", {1, 1})}, "/head/conv2");
    cur = m.node("Resize", {cur, "", "scales"}, {k + 1 == v.resizes ? "y" : "mid"}, v.resize, "/head/up" + std::to_string(k));
  }
  const int64_t f = v.resizes == 1 ? 2 : 4;
  m.output("y", ob::kFloat, {1, kC, kH * f, kW * f});
  return le::test::toBytes(m.bytes());
}

std::vector<float> run(const Bytes& bytes, const std::vector<float>& x) {
  Ort::SessionOptions so;
  so.SetIntraOpNumThreads(1);
  so.SetGraphOptimizationLevel(GraphOptimizationLevel::ORT_DISABLE_ALL);
  Ort::Session s(le::test::ortEnv(), bytes.data(), bytes.size(), so);
  const int64_t shape[4] = {1, kC, kH, kW};
  Ort::MemoryInfo mem = Ort::MemoryInfo::CreateCpu(OrtArenaAllocator, OrtMemTypeDefault);
  Ort::Value in = Ort::Value::CreateTensor<float>(mem, const_cast<float*>(x.data()), x.size(), shape, 4);
  const char* inName = "x";
  const char* outName = "y";
  auto out = s.Run(Ort::RunOptions{nullptr}, &inName, &in, 1, &outName, 1);
  const float* p = out[0].GetTensorData<float>();
  return std::vector<float>(p, p + out[0].GetTensorTypeAndShapeInfo().GetElementCount());
}

TEST(HeadCubic, TapsArePhaseMirrorsThatSumToOne) {
  for (double a : {-0.75, -0.5}) {
    double e[4], o[4];
    le::hcTaps(0.75, a, e);
    le::hcTaps(0.25, a, o);
    EXPECT_NEAR(e[0] + e[1] + e[2] + e[3], 1.0, 1e-15);
    for (int k = 0; k < 4; ++k) EXPECT_NEAR(e[k], o[3 - k], 1e-15) << k;
  }
}

TEST(HeadCubic, SameOutputAsTheCubicResize) {
  std::mt19937 rng(5);
  std::uniform_real_distribution<float> u(-1.f, 1.f);
  std::vector<float> x(size_t(kC * kH * kW));
  for (float& v : x) v = u(rng);
  for (float a : {-0.75f, -0.5f}) {
    Variant v;
    if (a != -0.75f) v.resize.push_back(Attr::f("cubic_coeff_a", a));
    const Bytes before = model(v);
    Bytes after = before;
    ASSERT_EQ(le::rewriteHeadCubicResize(after), 1u);
    const onnx::ModelProto p = le::test::parseModel(after);
    ASSERT_EQ(p.graph().node_size(), 4);
    EXPECT_EQ(p.graph().node(1).op_type(), "Pad");
    EXPECT_EQ(p.graph().node(2).op_type(), "Conv");
    EXPECT_EQ(p.graph().node(3).op_type(), "DepthToSpace");
    EXPECT_EQ(p.graph().node(3).output(0), "y");
    const std::vector<float> want = run(before, x), got = run(after, x);
    ASSERT_EQ(got.size(), want.size());
    for (size_t i = 0; i < got.size(); ++i) ASSERT_NEAR(got[i], want[i], 2e-6f) << "a " << a << " at " << i;
    EXPECT_EQ(le::rewriteHeadCubicResize(after), 0u);  // nothing eligible is left
  }
}

TEST(HeadCubic, LeavesEveryOtherShapeAlone) {
  std::vector<Variant> refused(5);
  refused[0].resizes = 2;                                 // two eligible nodes
  refused[1].scales = {1.f, 1.f, 2.f, 2.0001f};           // not exactly x2
  refused[2].resize[0] = Attr::s("mode", "linear");       // not cubic
  refused[3].convProducer = false;                        // not fed by a Conv
  refused[4].resize.push_back(Attr::i("exclude_outside", 0));  // set, even to its default
  for (size_t i = 0; i < refused.size(); ++i) {
    const Bytes before = model(refused[i]);
    Bytes m = before;
    EXPECT_EQ(le::rewriteHeadCubicResize(m), 0u) << i;
    EXPECT_EQ(m, before) << i;
  }
  Bytes junk = {0x3a, 0x05, 0x0a, 0x03, 0xff};  // a graph field whose node runs past the end
  EXPECT_EQ(le::rewriteHeadCubicResize(junk), 0u);
  // The same refusals on whole forged directors.
  for (auto v : {le::forge::DirectorVariant::TwoCubicResizes, le::forge::DirectorVariant::OffScales}) {
    le::forge::BundleSpec spec;
    spec.crop = 16;
    le::forge::DirectorOptions o;
    o.variant = v;
    const Bytes before = le::test::toBytes(le::forge::directorBytes(spec, o));
    Bytes m = before;
    EXPECT_EQ(le::rewriteHeadCubicResize(m), 0u);
    EXPECT_EQ(m, before);
  }
}

}  // namespace
