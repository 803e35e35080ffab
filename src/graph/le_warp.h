// The director's warp block (a source cone of the image and its second
// differences, one bilinear GridSample of that stack, Slices and a Mul/Sub/Add
// recombination into a cubic sample) replaced at load by one
// com.corvane::WarpDirector node that reads P_rgb and the grid directly.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

namespace le {

struct WarpBlock {
  std::string tip;   // the Concat output the GridSample samples
  std::string grid;  // the GridSample's second input
  std::string exit;  // the one tensor through which the block's result leaves it
  int64_t nodeCount = 0;
};

// Finds the block; false with `reason` saying why when the graph has none.
bool findWarpBlock(const std::vector<uint8_t>& model, WarpBlock* out, std::string& reason);

// Replaces the block and the source cone that only fed it by one node;
// returns the number of nodes removed, 0 (model untouched) with a reason.
size_t rewriteWarpBlockToCustomOp(std::vector<uint8_t>& model, std::string& reason);

}  // namespace le
