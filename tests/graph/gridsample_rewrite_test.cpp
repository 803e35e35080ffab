#include <gtest/gtest.h>

#include "graph/gridsample_fast.h"
#include "graph_test_util.h"

namespace {

namespace ob = le::forge::onnxb;
using Bytes = std::vector<uint8_t>;
using ob::Attr;

struct Case {
  std::string name;
  std::vector<Attr> attrs;
  std::string domain;
  bool rewritable;
};

std::vector<Case> cases() {
  const Attr bil = Attr::s("mode", "bilinear"), lin = Attr::s("mode", "linear"), border = Attr::s("padding_mode", "border");
  return {
      {"ok_align0", {bil, border, Attr::i("align_corners", 0)}, "", true},
      {"ok_no_align", {border, bil}, "", true},
      {"ok_linear_aionnx", {lin, border}, "ai.onnx", true},
      {"nearest", {Attr::s("mode", "nearest"), border}, "", false},
      {"no_mode", {border}, "", false},
      {"zeros", {bil, Attr::s("padding_mode", "zeros")}, "", false},
      {"no_padding", {bil}, "", false},
      {"align1", {bil, border, Attr::i("align_corners", 1)}, "", false},
      {"other_domain", {bil, border}, "com.example", false},
      {"mode_as_int", {Attr::i("mode", 0), border}, "", false},
  };
}

// One GridSample per case, each feeding the next, plus a non-GridSample node.
Bytes caseModel(bool importCorvane) {
  ob::Model m("gs", 17);
  if (importCorvane) m.domain("com.corvane", 1);
  m.domain("com.example", 1);
  m.input("x", ob::kFloat, {1, 2, 4, 4});
  m.input("grid", ob::kFloat, {1, 4, 4, 2});
  std::string cur = "x";
  for (const Case& c : cases()) cur = m.node("GridSample", {cur, "grid"}, {c.name + "_out"}, c.attrs, c.name, c.domain);
  m.node("Relu", {cur}, {"y"}, {}, "relu");
  m.output("y", ob::kFloat, {1, 2, 4, 4});
  return le::test::toBytes(m.bytes());
}

TEST(GridSampleRewrite, RewritesExactlyTheMatchingNodes) {
  const Bytes before = caseModel(false);
  Bytes model = before;
  EXPECT_FALSE(le::graphHasBakedGridSampleFast(model));
  EXPECT_EQ(le::rewriteGridSampleToFast(model), 3u);
  EXPECT_TRUE(le::graphHasBakedGridSampleFast(model));

  const onnx::ModelProto a = le::test::parseModel(before), b = le::test::parseModel(model);
  const auto cs = cases();
  ASSERT_EQ(b.graph().node_size(), int(cs.size()) + 1);
  for (size_t i = 0; i < cs.size(); ++i) {
    const auto& was = a.graph().node(int(i));
    const auto& now = b.graph().node(int(i));
    SCOPED_TRACE(cs[i].name);
    if (cs[i].rewritable) {
      EXPECT_EQ(now.op_type(), "GridSampleFast");
      EXPECT_EQ(now.domain(), "com.corvane");
      EXPECT_EQ(now.name(), was.name());
      EXPECT_EQ(now.input().size(), 2);
      EXPECT_EQ(now.input(0), was.input(0));
      EXPECT_EQ(now.input(1), "grid");
      EXPECT_EQ(now.output(0), was.output(0));
      EXPECT_EQ(now.attribute_size(), 0);
    } else {
      EXPECT_EQ(now.SerializeAsString(), was.SerializeAsString());
    }
  }
  EXPECT_EQ(b.graph().node(int(cs.size())).SerializeAsString(), a.graph().node(int(cs.size())).SerializeAsString());
  EXPECT_EQ(b.graph().input_size(), 2);
  EXPECT_EQ(b.graph().output_size(), 1);
  ASSERT_EQ(b.opset_import_size(), 3);
  EXPECT_EQ(b.opset_import(2).domain(), "com.corvane");
  EXPECT_EQ(b.opset_import(2).version(), 1);
  EXPECT_EQ(b.ir_version(), a.ir_version());
  EXPECT_EQ(b.producer_name(), a.producer_name());

  // A second pass finds nothing left, and leaves the bytes alone.
  const Bytes once = model;
  EXPECT_EQ(le::rewriteGridSampleToFast(model), 0u);
  EXPECT_EQ(model, once);

  // Already importing the domain: no second import.
  Bytes imported = caseModel(true);
  EXPECT_EQ(le::rewriteGridSampleToFast(imported), 3u);
  const onnx::ModelProto c = le::test::parseModel(imported);
  int corvane = 0;
  for (const auto& op : c.opset_import()) corvane += op.domain() == "com.corvane";
  EXPECT_EQ(corvane, 1);
}

TEST(GridSampleRewrite, NothingToDoLeavesTheModelAlone) {
  ob::Model m("plain", 17);
  m.input("x", ob::kFloat, {1});
  m.node("Relu", {"x"}, {"y"});
  m.output("y", ob::kFloat, {1});
  Bytes model = le::test::toBytes(m.bytes());
  const Bytes before = model;
  EXPECT_EQ(le::rewriteGridSampleToFast(model), 0u);
  EXPECT_EQ(model, before);
  Bytes noGraph{0x08, 0x08};  // ir_version only
  EXPECT_EQ(le::rewriteGridSampleToFast(noGraph), 0u);
  EXPECT_EQ(noGraph, (Bytes{0x08, 0x08}));
  Bytes empty;
  EXPECT_EQ(le::rewriteGridSampleToFast(empty), 0u);
  EXPECT_FALSE(le::graphHasBakedGridSampleFast(empty));
  Bytes bad{0x3a, 0x05, 0x0a};  // graph field longer than the model
  EXPECT_THROW(
      {
        try {
          le::rewriteGridSampleToFast(bad);
        } catch (const std::runtime_error& e) {
          EXPECT_STREQ(e.what(), "onnx: truncated");
          throw;
        }
      },
      std::runtime_error);
}

TEST(GridSampleRewrite, BakedNeedsBothNameAndDomainOnOneNode) {
  auto bakedOf = [](const std::vector<std::pair<std::string, std::string>>& nodes) {
    ob::Model m("b", 17);
    m.input("x", ob::kFloat, {1});
    std::string cur = "x";
    for (const auto& [op, dom] : nodes) cur = m.node(op, {cur}, {m.fresh("t")}, {}, "", dom);
    return le::graphHasBakedGridSampleFast(le::test::toBytes(m.bytes()));
  };
  EXPECT_FALSE(bakedOf({{"GridSampleFast", "com.example"}}));
  EXPECT_FALSE(bakedOf({{"GridSampleFast", ""}}));
  EXPECT_FALSE(bakedOf({{"GridSampleFast", "com.example"}, {"WarpDirector", "com.corvane"}}));
  EXPECT_TRUE(bakedOf({{"Relu", ""}, {"GridSampleFast", "com.corvane"}}));
}

}  // namespace
