// Locating the source cone's boundary: the one Concat that reads P_rgb.
#include <gtest/gtest.h>

#include <set>
#include <string>
#include <vector>

#include "forge/forge.h"
#include "forge/forge_onnx.h"
#include "graph/gridsample_fast.h"
#include "graph/source_cone.h"
#include "graph_test_util.h"

namespace ob = le::forge::onnxb;

namespace {
std::vector<uint8_t> toVec(const std::string& s) { return {s.begin(), s.end()}; }

// P_rgb feeds `concats` Concat nodes (and one Add that is not a cut point).
std::vector<uint8_t> coneModel(int concats, bool emptyOutput = false) {
  ob::Model m("cone");
  m.input("P_rgb", ob::kFloat, {1, 3, 4, 4});
  m.output("y", ob::kFloat, {1, 3, 4, 4});
  m.node("Add", {"P_rgb", "P_rgb"}, {"twice"});
  for (int i = 0; i < concats; ++i)
    m.node("Concat", {"P_rgb", "twice"}, {emptyOutput ? "" : "tip_" + std::to_string(i)}, {ob::Attr::i("axis", 1)});
  m.node("Identity", {"twice"}, {"y"});
  return toVec(m.bytes());
}
}  // namespace

TEST(SourceCone, FindsTheOneConcatReadingTheSourceFrame) {
  std::string name = "stale";
  EXPECT_EQ(le::findSourceConeBoundary(coneModel(1), name), 1u);
  EXPECT_EQ(name, "tip_0");

  name = "stale";
  EXPECT_EQ(le::findSourceConeBoundary(coneModel(2), name), 2u);
  EXPECT_EQ(name, "");
  EXPECT_EQ(le::findSourceConeBoundary(coneModel(0), name), 0u);
  EXPECT_EQ(le::findSourceConeBoundary(coneModel(1, true), name), 0u);  // no output to cut at
  EXPECT_EQ(le::findSourceConeBoundary({}, name), 0u);

  // The forged director carries exactly one such Concat.
  le::forge::BundleSpec spec;
  EXPECT_EQ(le::findSourceConeBoundary(toVec(le::forge::directorBytes(spec)), name), 1u);
  EXPECT_FALSE(name.empty());
}

namespace {

using Bytes = std::vector<uint8_t>;

Bytes director(le::forge::DirectorVariant v) {
  le::forge::BundleSpec spec;
  spec.crop = 24;
  le::forge::DirectorOptions o;
  o.variant = v;
  return toVec(le::forge::directorBytes(spec, o));
}

// One run with named float inputs; returns the named output.
std::vector<float> runNamed(const Bytes& b, const std::vector<std::pair<std::string, std::vector<int64_t>>>& shapes,
                            const std::vector<const std::vector<float>*>& data, const char* out,
                            std::vector<int64_t>* outShape = nullptr) {
  Ort::SessionOptions so;
  so.SetIntraOpNumThreads(1);
  le::registerGridSampleFast(so);
  le::registerInt8ConvVNNI(so);
  Ort::Session s(le::test::ortEnv(), b.data(), b.size(), so);
  Ort::MemoryInfo mem = Ort::MemoryInfo::CreateCpu(OrtArenaAllocator, OrtMemTypeDefault);
  std::vector<const char*> names;
  std::vector<Ort::Value> values;
  for (size_t i = 0; i < shapes.size(); ++i) {
    names.push_back(shapes[i].first.c_str());
    values.push_back(Ort::Value::CreateTensor<float>(mem, const_cast<float*>(data[i]->data()), data[i]->size(),
                                                     shapes[i].second.data(), shapes[i].second.size()));
  }
  auto r = s.Run(Ort::RunOptions{nullptr}, names.data(), values.data(), names.size(), &out, 1);
  if (outShape) *outShape = r[0].GetTensorTypeAndShapeInfo().GetShape();
  const float* p = r[0].GetTensorData<float>();
  return std::vector<float>(p, p + r[0].GetTensorTypeAndShapeInfo().GetElementCount());
}

}  // namespace

// The prep graph and the per-frame graph together compute what the whole
// director computes.
TEST(SourceCone, PrepAndPerFrameGraphsRenderTheUnsplitDirector) {
  le::forge::BundleSpec spec;
  spec.crop = 24;
  const Bytes full = director(le::forge::DirectorVariant::Standard);
  std::string tip;
  ASSERT_EQ(le::findSourceConeBoundary(full, tip), 1u);
  Bytes prep, perFrame;
  std::string reason;
  ASSERT_TRUE(le::buildSourceConePrep(full, tip, prep, reason)) << reason;

  const le::test::DirectorFeed f = le::test::directorFeed(spec, 7);
  std::vector<int64_t> dims;
  const std::vector<float> boundary = runNamed(prep, {{"P_rgb", {1, 3, 24, 24}}}, {&f.prgb}, tip.c_str(), &dims);
  ASSERT_EQ(dims, (std::vector<int64_t>{1, 12, 24, 24}));
  ASSERT_TRUE(le::buildSourceConePerFrame(full, tip, dims.data(), 4, perFrame, reason)) << reason;
  const std::vector<float> split =
      runNamed(perFrame,
               {{"pooled64", {1, 64, 32, 32}}, {tip, dims}, {"kp_driving", {1, 21, 3}}, {"kp_source", {1, 21, 3}}},
               {&f.pooled, &boundary, &f.kpDriving, &f.kpSource}, "rgb");
  EXPECT_LT(le::test::maxAbsDiff(split, le::test::runDirector(full, 24, f)), 1e-5f);

  // Neither graph keeps weights it does not read (the runtime warns about each).
  for (const Bytes* b : {&prep, &perFrame}) {
    const auto m = le::test::parseModel(*b);
    std::set<std::string> read;
    for (const auto& n : m.graph().node()) read.insert(n.input().begin(), n.input().end());
    for (const auto& i : m.graph().initializer()) EXPECT_TRUE(read.count(i.name())) << i.name();
  }
}

TEST(SourceCone, RefusesConesThatCannotBeCutOut) {
  const struct {
    le::forge::DirectorVariant v;
    std::string reason;
  } cases[] = {
      {le::forge::DirectorVariant::ShapeOfPrgb, "P_rgb is also read outside the cone by Shape"},
      {le::forge::DirectorVariant::EscapingCone, "escapes to ReduceMean"},
  };
  for (const auto& c : cases) {
    const Bytes b = director(c.v);
    std::string tip, reason;
    ASSERT_EQ(le::findSourceConeBoundary(b, tip), 1u);
    Bytes out;
    EXPECT_FALSE(le::buildSourceConePrep(b, tip, out, reason));
    EXPECT_NE(reason.find(c.reason), std::string::npos) << reason;
    const int64_t dims[4] = {1, 12, 24, 24};
    EXPECT_FALSE(le::buildSourceConePerFrame(b, tip, dims, 4, out, reason));
    EXPECT_NE(reason.find(c.reason), std::string::npos) << reason;
  }
  // A cone that reads a second graph input, and one leaf nothing produces.
  for (const char* leaf : {"extra", "ghost"}) {
    ob::Model m("cone");
    m.input("P_rgb", ob::kFloat, {1, 3, 4, 4});
    m.input("extra", ob::kFloat, {1, 3, 4, 4});
    m.output("y", ob::kFloat, {1, 6, 4, 4});
    m.node("Add", {"P_rgb", leaf}, {"mixed"});
    m.node("Concat", {"P_rgb", "mixed"}, {"y"}, {ob::Attr::i("axis", 1)});
    Bytes out;
    std::string reason;
    EXPECT_FALSE(le::buildSourceConePrep(toVec(m.bytes()), "y", out, reason));
    EXPECT_EQ(reason, std::string(leaf) == "extra" ? "cone reads graph input 'extra'"
                                                   : "cone leaf 'ghost' has no producer");
  }
  Bytes out;
  std::string reason;
  EXPECT_FALSE(le::buildSourceConePrep({}, "y", out, reason));
  EXPECT_EQ(reason, "no graph");
}
