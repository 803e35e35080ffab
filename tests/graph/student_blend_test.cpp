// The student blend normalisation: exactly the two-input, attribute-free
// MatMul named "/s2/blend" becomes a Gemm, everything else keeps its bytes,
// and a legacy director renders, after the rewrite, exactly what the same
// director built with a Gemm renders.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "bundle/le_bundle.h"
#include "driver/le_driver.h"
#include "forge/forge.h"
#include "graph/gridsample_fast.h"
#include "graph_test_util.h"
#include "render/le_renderer.h"
#include "support/tmpdir.h"

namespace {

namespace ob = le::forge::onnxb;
using Bytes = std::vector<uint8_t>;

struct Case {
  const char* name;
  const char* op;
  std::vector<std::string> inputs;
  std::vector<ob::Attr> attrs;
  const char* domain;
  bool rewritten;
};

TEST(StudentBlend, RewritesOnlyThePlainBlendMatMul) {
  const std::vector<Case> cases = {
      {"/s2/blend", "MatMul", {"a", "w"}, {}, "", true},
      {"/s2/blend", "MatMul", {"a", "w"}, {}, "ai.onnx", true},
      {"/s2/blend", "MatMul", {"a", "w"}, {ob::Attr::i("x", 1)}, "", false},
      {"/s2/blend", "MatMul", {"a", "w", "w"}, {}, "", false},
      {"/s2/blend", "MatMul", {"a", "w"}, {}, "com.example", false},
      {"/s2/blend", "Gemm", {"a", "w"}, {}, "", false},
      {"/s2/blend_other", "MatMul", {"a", "w"}, {}, "", false},
  };
  ob::Model m("blend", 17);
  m.domain("com.example", 1);
  m.input("a", ob::kFloat, {2, 3});
  m.init("w", std::vector<float>(9, 0.5f), {3, 3});
  int k = 0;
  for (const Case& c : cases) m.node(c.op, c.inputs, {"y" + std::to_string(k++)}, c.attrs, c.name, c.domain);
  m.output("y0", ob::kFloat, {2, 3});
  const Bytes before = le::test::toBytes(m.bytes());
  Bytes model = before;
  ASSERT_EQ(le::normaliseStudentBlend(model), 2u);

  const onnx::ModelProto a = le::test::parseModel(before), b = le::test::parseModel(model);
  ASSERT_EQ(b.graph().node_size(), int(cases.size()));
  for (size_t i = 0; i < cases.size(); ++i) {
    SCOPED_TRACE(i);
    const auto& was = a.graph().node(int(i));
    const auto& now = b.graph().node(int(i));
    if (cases[i].rewritten) {
      EXPECT_EQ(now.op_type(), "Gemm");
      EXPECT_EQ(now.domain(), "");
      EXPECT_EQ(now.name(), was.name());
      ASSERT_EQ(now.input_size(), 2);
      EXPECT_EQ(now.input(0), "a");
      EXPECT_EQ(now.input(1), "w");
      EXPECT_EQ(now.output(0), was.output(0));
      EXPECT_EQ(now.attribute_size(), 0);
    } else {
      EXPECT_EQ(now.SerializeAsString(), was.SerializeAsString());
    }
  }
  EXPECT_EQ(b.opset_import_size(), a.opset_import_size());
  const Bytes once = model;
  EXPECT_EQ(le::normaliseStudentBlend(model), 0u);
  EXPECT_EQ(model, once);
}

TEST(StudentBlend, LegacyDirectorRendersAsTheGemmOne) {
  le::test::TmpDir t;
  std::vector<std::vector<float>> crops;
  for (bool legacy : {false, true}) {
    le::forge::BundleSpec spec;
    spec.nt = 3;
    spec.W = 40;
    spec.H = 32;
    spec.crop = 16;
    spec.directorKeys = {"b1"};
    spec.directorLegacyBlend = legacy;
    const std::string dir = t.str(legacy ? "legacy" : "gemm");
    le::forge::writeBundle(dir, spec);
    const le::Manifest m = le::loadManifest(dir);
    le::Identity id(m, le::openIdentityPrior);
    testing::internal::CaptureStderr();
    le::Renderer r(m, id, "b1", 1, "");
    const std::string log = testing::internal::GetCapturedStderr();
    EXPECT_EQ(log.find("[le] L3 student blend MatMul -> Gemm load-time normalisation: 1 node(s) (b1)") !=
                  std::string::npos,
              legacy)
        << log;
    const le::forge::DriveTables d = le::forge::driveTables(spec);
    const float* crop = r.render(&d.si[1], d.xs.data() + 63, d.xd.data() + 63, 1);
    crops.emplace_back(crop, crop + 3 * spec.crop * spec.crop);
  }
  EXPECT_EQ(crops[0], crops[1]);
}

}  // namespace
