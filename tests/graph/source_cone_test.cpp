// Locating the source cone's boundary: the one Concat that reads P_rgb.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "forge/forge.h"
#include "forge/forge_onnx.h"
#include "graph/gridsample_fast.h"

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
