#include "graph/source_cone.h"

#include <algorithm>
#include <map>

namespace le {

namespace {

const char* const kPrgb = "P_rgb";

struct Graph {
  std::vector<GsNodeInfo> nodes;
  std::set<std::string> inits, inputs;
};

// The graph's summary, or false with the reason every builder starts with.
bool readWithPrgb(const std::vector<uint8_t>& model, Graph& g, std::string& reason) {
  const GsSlice graph = gsGraphOf(model);
  if (graph.empty()) {
    reason = "no graph";
    return false;
  }
  gsReadGraph(graph, g.nodes, g.inits, g.inputs);
  if (!g.inputs.count(kPrgb)) {
    reason = "no P_rgb input";
    return false;
  }
  return true;
}

}  // namespace

size_t findSourceConeBoundary(const std::vector<uint8_t>& model, std::string& name) {
  name.clear();
  const GsSlice graph = gsGraphOf(model);
  if (graph.empty()) return 0;
  std::vector<GsNodeInfo> nodes;
  std::set<std::string> initializers, inputs;
  gsReadGraph(graph, nodes, initializers, inputs);
  size_t count = 0;
  std::string found;
  for (const GsNodeInfo& n : nodes) {
    if (n.op_type != "Concat" || n.outputs.empty() || n.outputs[0].empty()) continue;
    if (std::find(n.inputs.begin(), n.inputs.end(), kPrgb) == n.inputs.end()) continue;
    ++count;
    found = n.outputs[0];
  }
  if (count == 1) name = found;
  return count;
}

bool gsSourceCone(const std::vector<GsNodeInfo>& nodes, const std::set<std::string>& initializers,
                  const std::set<std::string>& graphInputs, const std::string& boundary, std::vector<char>& cone,
                  std::string& reason) {
  cone.assign(nodes.size(), 0);
  std::map<std::string, size_t> producer;
  for (size_t i = 0; i < nodes.size(); ++i)
    for (const std::string& o : nodes[i].outputs)
      if (!o.empty()) producer.emplace(o, i);

  std::vector<std::string> stack{boundary};
  std::set<std::string> visited;
  while (!stack.empty()) {
    const std::string name = stack.back();
    stack.pop_back();
    if (name.empty() || name == kPrgb || initializers.count(name) || !visited.insert(name).second) continue;
    const auto p = producer.find(name);
    if (p == producer.end()) {
      reason = graphInputs.count(name) ? "cone reads graph input '" + name + "'"
                                       : "cone leaf '" + name + "' has no producer";
      return false;
    }
    const GsNodeInfo& n = nodes[p->second];
    if (n.op_type == "Constant" || cone[p->second]) continue;
    cone[p->second] = 1;
    for (const std::string& in : n.inputs) stack.push_back(in);
  }

  std::set<std::string> coneOutputs;
  for (size_t i = 0; i < nodes.size(); ++i)
    if (cone[i]) coneOutputs.insert(nodes[i].outputs.begin(), nodes[i].outputs.end());
  for (size_t i = 0; i < nodes.size(); ++i) {
    if (cone[i]) continue;
    for (const std::string& in : nodes[i].inputs) {
      if (in == kPrgb) {
        reason = "P_rgb is also read outside the cone by " + nodes[i].op_type;
        return false;
      }
      if (!in.empty() && in != boundary && coneOutputs.count(in)) {
        reason = "cone value '" + in + "' escapes to " + nodes[i].op_type;
        return false;
      }
    }
  }
  return true;
}

bool buildSourceConePrep(const std::vector<uint8_t>& model, const std::string& boundary, std::vector<uint8_t>& prep,
                         std::string& reason) {
  Graph g;
  std::vector<char> cone;
  if (!readWithPrgb(model, g, reason) || !gsSourceCone(g.nodes, g.inits, g.inputs, boundary, cone, reason))
    return false;
  // The cone and the Constant nodes it reads: the runtime folds Constants
  // into initializers and warns about each one nothing reads.
  std::set<std::string> coneReads;
  for (size_t i = 0; i < g.nodes.size(); ++i)
    if (cone[i]) coneReads.insert(g.nodes[i].inputs.begin(), g.nodes[i].inputs.end());
  std::vector<uint8_t> drop(g.nodes.size(), 1);
  bool kept = false;
  for (size_t i = 0; i < g.nodes.size(); ++i) {
    const GsNodeInfo& n = g.nodes[i];
    const bool readConstant =
        n.op_type == "Constant" && !n.outputs.empty() && coneReads.count(n.outputs[0]);
    if (cone[i] || readConstant) {
      drop[i] = 0;
      kept = true;
    }
  }
  if (!kept) {
    reason = "empty cone";
    return false;
  }
  GsGraphEdit edit;
  edit.dropNode = &drop;
  edit.onlyPrgbInput = true;
  edit.dropOutputs = true;
  edit.valueName = &boundary;
  edit.valueDims = nullptr;  // symbolic: the prep session reports what it can
  edit.valueRank = 4;
  edit.valueField = onnxf::kGraphOutput;
  gsRebuild(model, edit, prep);
  // The director's other weights have no reader left here.
  gsDropUnusedInitializers(prep);
  return true;
}

bool buildSourceConePerFrame(const std::vector<uint8_t>& model, const std::string& boundary, const int64_t* dims,
                             size_t rank, std::vector<uint8_t>& perFrame, std::string& reason) {
  Graph g;
  std::vector<char> cone;
  if (!readWithPrgb(model, g, reason) || !gsSourceCone(g.nodes, g.inits, g.inputs, boundary, cone, reason))
    return false;
  std::vector<uint8_t> drop(g.nodes.size(), 0);
  for (size_t i = 0; i < g.nodes.size(); ++i) drop[i] = cone[i] ? 1 : 0;
  GsGraphEdit edit;
  edit.dropNode = &drop;
  edit.dropPrgbInput = true;
  edit.valueName = &boundary;
  edit.valueDims = dims;
  edit.valueRank = uint32_t(rank);
  edit.valueField = onnxf::kGraphInput;
  gsRebuild(model, edit, perFrame);
  gsDropUnusedInitializers(perFrame);
  return true;
}

}  // namespace le
