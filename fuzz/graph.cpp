// The ONNX reader and writer and every load-time rewrite, in the order the
// renderer applies them, over a hostile director: each step either rewrites
// the model into bytes the reader reads whole, or leaves it byte for byte as
// it was, or refuses with a std::runtime_error. No session is ever opened.
#include <cstdint>
#include <set>
#include <stdexcept>
#include <string>
#include <vector>

#include "fuzz_util.h"
#include "graph/gridsample_fast.h"
#include "graph/head_cubic.h"
#include "graph/le_warp.h"
#include "graph/lip_bind.h"
#include "graph/source_cone.h"

namespace {

using Bytes = std::vector<uint8_t>;
using le::fuzz::fail;

// The reader walks the whole graph, as the next rewrite will; "" when it reads.
std::string readError(const Bytes& model) {
  try {
    std::vector<le::GsNodeInfo> nodes;
    std::set<std::string> inits, inputs;
    le::gsReadGraph(le::gsGraphOf(model), nodes, inits, inputs);
    (void)le::gsGraphOutputs(le::gsGraphOf(model));
  } catch (const std::runtime_error& e) {
    return e.what();
  }
  return {};
}

void requireReads(const Bytes& model, const char* after) {
  if (const std::string e = readError(model); !e.empty())
    fail("graph", std::string("the model written by ") + after + " does not read: " + e);
}

// One rewrite: a count > 0 must leave a model that reads, 0 the model as it was.
template <class F>
size_t step(Bytes& model, const char* name, F&& rewrite) {
  const Bytes before = model;
  size_t n = 0;
  try {
    n = rewrite(model);
  } catch (const std::runtime_error&) {
    model = before;  // the renderer gives up on the model; go on with the input
    return 0;
  }
  if (n == 0 && model != before) fail("graph", std::string(name) + " returned 0 and changed the model");
  // Fields a rewrite does not touch are copied as they were, damage included:
  // only a model that read before must read after.
  if (n > 0 && readError(before).empty()) requireReads(model, name);
  return n;
}

// The rewrites after the warp node, as the renderer chains them.
void chain(Bytes& model, bool hoist) {
  std::string reason;
  step(model, "the GridSample rewrite", [](Bytes& m) { return le::rewriteGridSampleToFast(m); });
  step(model, "the student blend", [](Bytes& m) { return le::normaliseStudentBlend(m); });
  step(model, "the head cubic rewrite", [](Bytes& m) { return le::rewriteHeadCubicResize(m); });
  step(model, "the lip contour binding", [&](Bytes& m) {
    int w = 0, h = 0;
    return le::rewriteBindLipContour(m, reason, &w, &h);
  });
  std::string boundary;
  try {
    (void)le::graphHasBakedGridSampleFast(model);
    if (!hoist || model.empty()) return;
    if (le::findSourceConeBoundary(model, boundary) != 1) return;
    Bytes prep, perFrame;
    if (le::buildSourceConePrep(model, boundary, prep, reason)) requireReads(prep, "the source-cone prep");
    const int64_t dims[4] = {1, 12, 32, 32};
    if (le::buildSourceConePerFrame(model, boundary, dims, 4, perFrame, reason))
      requireReads(perFrame, "the source-cone per-frame split");
  } catch (const std::runtime_error&) {
  }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  Bytes model(data, data + size);
  // With the warp node (LE_WARP_NODE): the hoist is skipped once it took the cone.
  Bytes warped = model;
  std::string reason;
  if (step(warped, "the warp node rewrite", [&](Bytes& m) { return le::rewriteWarpBlockToCustomOp(m, reason); }) > 0)
    chain(warped, false);
  // Without it (the default): every other rewrite, then the hoist.
  chain(model, true);
  return 0;
}
