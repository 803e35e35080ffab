// The warp block as one WarpDirector node: the rewritten director renders
// what the standard block renders, and every graph that does not fit is left
// as it was with the reason.
#include <gtest/gtest.h>

#include <algorithm>
#include <string>
#include <vector>

#include "graph/le_warp.h"
#include "graph_test_util.h"

namespace {

using le::forge::DirectorVariant;
using Bytes = std::vector<uint8_t>;

Bytes director(DirectorVariant v, int crop = 24) {
  le::forge::BundleSpec spec;
  spec.crop = crop;
  le::forge::DirectorOptions o;
  o.variant = v;
  return le::test::toBytes(le::forge::directorBytes(spec, o));
}

// Well-formed graphs: the node replaces the block, the cone goes with it, the
// rest of the graph stays and the output matches the standard block.
class WarpRewrite : public ::testing::TestWithParam<DirectorVariant> {};

TEST_P(WarpRewrite, RendersWhatTheStandardBlockRenders) {
  le::forge::BundleSpec spec;
  spec.crop = 24;
  const Bytes before = director(GetParam());
  Bytes after = before;
  std::string reason;
  const size_t removed = le::rewriteWarpBlockToCustomOp(after, reason);
  ASSERT_GT(removed, 0u) << reason;

  const auto m = le::test::parseModel(after);
  int warpNodes = 0, imports = 0;
  for (const auto& n : m.graph().node()) {
    if (n.op_type() == "WarpDirector") {
      ++warpNodes;
      EXPECT_EQ(n.domain(), "com.corvane");
      EXPECT_EQ(n.input(0), "P_rgb");
      EXPECT_EQ(n.output(0), "warp_out");
    }
    for (const auto& o : n.output()) EXPECT_NE(o, "warp_tip") << "the cone's tip survived";
    EXPECT_EQ(n.name().rfind("/cone/", 0), std::string::npos) << n.name() << " survived";
    EXPECT_EQ(n.name().rfind("/warp/sample", 0), std::string::npos);
  }
  for (const auto& op : m.opset_import()) imports += op.domain() == "com.corvane";
  EXPECT_EQ(warpNodes, 1);
  EXPECT_EQ(imports, 1);
  EXPECT_EQ(le::test::parseModel(before).graph().node_size() - int(removed) + 1, m.graph().node_size());

  for (unsigned seed : {1u, 2u}) {
    const le::test::DirectorFeed f = le::test::directorFeed(spec, seed);
    EXPECT_LT(le::test::maxAbsDiff(le::test::runDirector(before, 24, f), le::test::runDirector(after, 24, f)), 1e-4f);
  }
  // A second pass finds no cone left to take.
  EXPECT_EQ(le::rewriteWarpBlockToCustomOp(after, reason), 0u);
}

// LoneGrid: the grid's producer must survive the dead-node sweep (the new node
// reads it). ExitArithmetic: the bias Add after the exit belongs to the graph.
INSTANTIATE_TEST_SUITE_P(Directors, WarpRewrite,
                         ::testing::Values(DirectorVariant::Standard, DirectorVariant::LoneGrid,
                                           DirectorVariant::ExitArithmetic));

TEST(WarpRewrite, RefusesWhatDoesNotFitAndLeavesItUntouched) {
  const struct {
    DirectorVariant v;
    std::string reason;
  } cases[] = {
      {DirectorVariant::TwoPrgbConcats, "not one Concat consuming P_rgb"},
      {DirectorVariant::TwoTipSamplers, "two GridSamples on the cone's tip"},
      {DirectorVariant::ZerosPadding, "the fused GridSample is not bilinear/border/align_corners=0"},
      {DirectorVariant::TwoExits, "the recombination has 2 exits, not 1"},
  };
  for (const auto& c : cases) {
    const Bytes before = director(c.v);
    Bytes after = before;
    std::string reason;
    EXPECT_EQ(le::rewriteWarpBlockToCustomOp(after, reason), 0u);
    EXPECT_EQ(reason, c.reason);
    EXPECT_EQ(after, before);
  }
  le::WarpBlock b;
  std::string reason;
  EXPECT_FALSE(le::findWarpBlock(director(DirectorVariant::Standard), nullptr, reason));
  EXPECT_EQ(reason, "no out param");
  EXPECT_FALSE(le::findWarpBlock({}, &b, reason));
  EXPECT_EQ(reason, "no graph");
  ASSERT_TRUE(le::findWarpBlock(director(DirectorVariant::Standard), &b, reason));
  EXPECT_EQ(b.tip, "warp_tip");
  EXPECT_EQ(b.grid, "warp_grid");
  EXPECT_EQ(b.exit, "warp_out");

  // Malformed bytes fail with the reader's text rather than being guessed at.
  Bytes cut = director(DirectorVariant::Standard);
  cut.resize(cut.size() / 2);
  EXPECT_THROW(le::rewriteWarpBlockToCustomOp(cut, reason), std::runtime_error);
}

}  // namespace
