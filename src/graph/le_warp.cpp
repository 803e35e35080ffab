#include "graph/le_warp.h"

#include <set>

#include "graph/gridsample_fast.h"
#include "graph/source_cone.h"

namespace le {

namespace {

const char* const kPrgb = "P_rgb";

bool isSampler(const GsNodeInfo& n) { return n.op_type == "GridSample" || n.op_type == "GridSampleFast"; }

bool readsAny(const GsNodeInfo& n, const std::set<std::string>& set) {
  for (const std::string& in : n.inputs)
    if (!in.empty() && set.count(in)) return true;
  return false;
}

// Tensors computed from the grid alone (with constants): the recombination's
// weights are. Arithmetic downstream of the block mixes in other values (a
// colour bias, a mask, a gain) and must stay outside it.
std::set<std::string> gridOnlyTensors(const std::vector<GsNodeInfo>& nodes, const std::set<std::string>& inits,
                                      const std::string& grid) {
  std::set<std::string> gridOnly{grid}, constant(inits.begin(), inits.end());
  for (bool changed = true; changed;) {
    changed = false;
    for (const GsNodeInfo& n : nodes) {
      if (n.outputs.empty() || gridOnly.count(n.outputs[0]) || constant.count(n.outputs[0])) continue;
      bool allKnown = true, fromGrid = false;
      for (const std::string& in : n.inputs) {
        if (in.empty() || constant.count(in)) continue;
        if (gridOnly.count(in)) fromGrid = true;
        else allKnown = false;
      }
      if (!allKnown) continue;
      for (const std::string& o : n.outputs) (fromGrid ? gridOnly : constant).insert(o);
      changed = true;
    }
  }
  return gridOnly;
}

struct Analysis {
  WarpBlock block;
  size_t sampler = 0;          // index of the GridSample
  std::vector<uint8_t> marks;  // the block's nodes
};

bool analyse(const std::vector<uint8_t>& model, Analysis& a, std::string& reason) {
  const GsSlice graph = gsGraphOf(model);
  if (graph.empty()) {
    reason = "no graph";
    return false;
  }
  std::string tip;
  if (findSourceConeBoundary(model, tip) != 1 || tip.empty()) {
    reason = std::string("not one Concat consuming ") + kPrgb;
    return false;
  }
  std::vector<GsNodeInfo> nodes;
  std::set<std::string> inits, inputs;
  gsReadGraph(graph, nodes, inits, inputs);
  const std::set<std::string> outputs = gsGraphOutputs(graph);

  size_t found = 0, gs = 0;
  for (size_t i = 0; i < nodes.size(); ++i)
    if (isSampler(nodes[i]) && !nodes[i].inputs.empty() && nodes[i].inputs[0] == tip) {
      ++found;
      gs = i;
    }
  if (found == 0) {
    reason = "no GridSample consuming '" + tip + "'";
    return false;
  }
  if (found > 1) {
    reason = "two GridSamples on the cone's tip";
    return false;
  }
  const GsNodeInfo& s = nodes[gs];
  if (s.op_type == "GridSample" && !gsIsRewritableGridSample(hcPayload(s.raw))) {
    reason = "the fused GridSample is not bilinear/border/align_corners=0";
    return false;
  }
  if (s.outputs.empty() || s.outputs[0].empty()) {
    reason = "the fused GridSample has no output";
    return false;
  }
  const std::string grid = s.inputs.size() > 1 ? s.inputs[1] : std::string();
  if (grid.empty()) {
    reason = "the grid has no producer";
    return false;
  }

  // The block: the sampler, the Slices of its output, then the arithmetic on
  // what they produce, as far as it combines block values with grid weights.
  std::vector<uint8_t> marks(nodes.size(), 0);
  marks[gs] = 1;
  const std::string sampled = s.outputs[0];
  std::set<std::string> set;
  for (size_t i = 0; i < nodes.size(); ++i)
    if (!marks[i] && nodes[i].op_type == "Slice" && readsAny(nodes[i], {sampled})) {
      marks[i] = 1;
      set.insert(nodes[i].outputs.begin(), nodes[i].outputs.end());
    }
  const std::set<std::string> gridOnly = gridOnlyTensors(nodes, inits, grid);
  for (bool changed = true; changed;) {
    changed = false;
    for (size_t i = 0; i < nodes.size(); ++i) {
      const GsNodeInfo& n = nodes[i];
      if (marks[i] || (n.op_type != "Mul" && n.op_type != "Sub" && n.op_type != "Add") || !readsAny(n, set)) continue;
      bool weightsOnly = true;
      for (const std::string& in : n.inputs)
        if (!in.empty() && !set.count(in) && !gridOnly.count(in)) weightsOnly = false;
      if (!weightsOnly) continue;
      marks[i] = 1;
      set.insert(n.outputs.begin(), n.outputs.end());
      changed = true;
    }
  }

  std::set<std::string> exits;
  for (const std::string& t : set) {
    if (t.empty() || t == sampled) continue;
    bool leaves = outputs.count(t) > 0;
    for (size_t i = 0; i < nodes.size() && !leaves; ++i)
      if (!marks[i] && readsAny(nodes[i], {t})) leaves = true;
    if (leaves) exits.insert(t);
  }
  if (exits.size() != 1) {
    reason = "the recombination has " + std::to_string(exits.size()) + " exits, not 1";
    return false;
  }
  a.block.tip = tip;
  a.block.grid = grid;
  a.block.exit = *exits.begin();
  a.block.nodeCount = 0;
  for (uint8_t m : marks) a.block.nodeCount += m;
  a.sampler = gs;
  a.marks = std::move(marks);
  return true;
}

}  // namespace

bool findWarpBlock(const std::vector<uint8_t>& model, WarpBlock* out, std::string& reason) {
  reason.clear();
  if (!out) {
    reason = "no out param";
    return false;
  }
  Analysis a;
  if (!analyse(model, a, reason)) return false;
  *out = a.block;
  return true;
}

size_t rewriteWarpBlockToCustomOp(std::vector<uint8_t>& model, std::string& reason) {
  reason.clear();
  Analysis a;
  if (!analyse(model, a, reason)) return 0;

  std::vector<GsNodeInfo> nodes;
  std::set<std::string> inits, inputs;
  const GsSlice graph = gsGraphOf(model);
  gsReadGraph(graph, nodes, inits, inputs);
  const std::set<std::string> outputs = gsGraphOutputs(graph);
  size_t again = nodes.size();
  for (size_t i = 0; i < nodes.size(); ++i)
    if (isSampler(nodes[i]) && !nodes[i].inputs.empty() && nodes[i].inputs[0] == a.block.tip) again = i;
  if (again != a.sampler) {
    reason = "the GridSample moved between passes";
    return 0;
  }

  // Dead nodes: the source cone, the weights only the block read. The new
  // node's own inputs count as read, so a grid that only the block read keeps
  // its producer.
  std::vector<uint8_t>& drop = a.marks;
  for (bool changed = true; changed;) {
    changed = false;
    std::set<std::string> live{kPrgb, a.block.grid};
    for (size_t i = 0; i < nodes.size(); ++i)
      if (!drop[i])
        for (const std::string& in : nodes[i].inputs) live.insert(in);
    for (size_t i = 0; i < nodes.size(); ++i) {
      if (drop[i]) continue;
      bool used = false;
      for (const std::string& o : nodes[i].outputs)
        if (live.count(o) || outputs.count(o)) used = true;
      if (!used) {
        drop[i] = 1;
        changed = true;
      }
    }
  }

  std::vector<uint8_t> domainField;
  const std::string domain = "com.corvane";
  gsPutBytes(domainField, onnxf::kNodeDomain, domain.data(), domain.size());
  std::vector<std::vector<uint8_t>> replace(nodes.size());
  hcNode(replace[a.sampler], "WarpDirector", {kPrgb, a.block.grid}, a.block.exit, "le_warp_director", domainField);

  GsGraphEdit edit;
  edit.dropNode = &drop;
  edit.replaceNode = &replace;
  edit.importDomain = &domain;
  edit.importVersion = 1;
  std::vector<uint8_t> out;
  gsRebuild(model, edit, out);
  model.swap(out);
  gsDropUnusedInitializers(model);
  size_t removed = 0;
  for (uint8_t d : drop) removed += d;
  return removed;
}

}  // namespace le
