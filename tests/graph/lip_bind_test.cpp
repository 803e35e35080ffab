// Binding the lip contour: the bound graph's alpha is exactly Min(alpha,
// lip_delivery) of the graph as it was, so all ones renders the same frame.
#include <gtest/gtest.h>

#include <random>
#include <string>
#include <vector>

#include "graph/lip_bind.h"
#include "graph_test_util.h"

namespace {

using Bytes = std::vector<uint8_t>;
constexpr int kS = 24;

Bytes director(le::forge::DirectorVariant v = le::forge::DirectorVariant::Standard) {
  le::forge::BundleSpec spec;
  spec.crop = kS;
  le::forge::DirectorOptions o;
  o.variant = v;
  return le::test::toBytes(le::forge::directorBytes(spec, o));
}

// The model with one more graph output, so a run can see an inner tensor.
Bytes exposing(const Bytes& b, const std::string& tensor) {
  onnx::ModelProto m = le::test::parseModel(b);
  auto* o = m.mutable_graph()->add_output();
  o->set_name(tensor);
  o->mutable_type()->mutable_tensor_type()->set_elem_type(onnx::TensorProto::FLOAT);
  std::string s;
  m.SerializeToString(&s);
  return le::test::toBytes(s);
}

TEST(LipBind, BoundAlphaIsTheMinimumOfTheEllipseAndTheContour) {
  const Bytes before = director();
  Bytes after = before;
  std::string reason;
  int w = 0, h = 0;
  ASSERT_EQ(le::rewriteBindLipContour(after, reason, &w, &h), 1u) << reason;
  EXPECT_EQ(w, kS);
  EXPECT_EQ(h, kS);
  const auto m = le::test::parseModel(after);
  int alphaReaders = 0;
  for (const auto& n : m.graph().node())
    for (const auto& in : n.input()) alphaReaders += in == "compose_alpha";
  EXPECT_EQ(alphaReaders, 1);  // the Min
  const auto& in = m.graph().input(m.graph().input_size() - 1);
  ASSERT_EQ(in.name(), "lip_delivery");
  ASSERT_EQ(in.type().tensor_type().shape().dim_size(), 4);
  EXPECT_EQ(in.type().tensor_type().shape().dim(1).dim_value(), 1);
  EXPECT_EQ(in.type().tensor_type().shape().dim(3).dim_value(), kS);

  le::forge::BundleSpec spec;
  spec.crop = kS;
  le::test::DirectorFeed f = le::test::directorFeed(spec, 3);
  const std::vector<float> plain = le::test::runDirector(before, kS, f);
  f.lip.assign(size_t(kS * kS), 1.0f);
  EXPECT_EQ(le::test::runDirector(after, kS, f), plain);

  // With a contour, the alpha every reader sees is the minimum.
  std::mt19937 rng(4);
  std::uniform_real_distribution<float> u(0.f, 1.f);
  for (float& v : f.lip) v = u(rng);
  le::test::DirectorFeed unbound = f;
  unbound.lip.clear();
  const std::vector<float> alpha = le::test::runDirector(exposing(before, "compose_alpha"), kS, unbound, 1, 1);
  const std::vector<float> bound = le::test::runDirector(exposing(after, "tessera_lipdel_alpha"), kS, f, 1, 1);
  ASSERT_EQ(alpha.size(), f.lip.size());
  for (size_t i = 0; i < alpha.size(); ++i) ASSERT_EQ(bound[i], std::min(alpha[i], f.lip[i])) << i;
}

TEST(LipBind, RefusalsLeaveTheGraphAsItWas) {
  namespace ob = le::forge::onnxb;
  ob::Model plain("plain");
  plain.input("P_rgb", ob::kFloat, {1, 3, 4, 4});
  plain.output("rgb", ob::kFloat, {1, 3, 4, 4});
  plain.node("Relu", {"P_rgb"}, {"rgb"});
  const struct {
    Bytes model;
    std::string reason;
  } cases[] = {
      {director(le::forge::DirectorVariant::HasLipDelivery), "the graph already carries an input named lip_delivery"},
      {le::test::toBytes(plain.bytes()), "the graph does not carry the unified compose tail"},
      {{}, "no graph"},
  };
  for (const auto& c : cases) {
    Bytes b = c.model;
    std::string reason;
    int w = -1, h = -1;
    EXPECT_EQ(le::rewriteBindLipContour(b, reason, &w, &h), 0u);
    EXPECT_EQ(reason, c.reason);
    EXPECT_EQ(b, c.model);
    EXPECT_EQ(w, 0);
  }
}

}  // namespace
