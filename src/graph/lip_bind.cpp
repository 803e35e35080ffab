#include "graph/lip_bind.h"

#include <map>
#include <set>

#include "graph/gridsample_fast.h"

namespace le {

namespace {

const char* const kInput = "lip_delivery";
const char* const kMinName = "tessera_lipdel_min";
const char* const kMinOut = "tessera_lipdel_alpha";

struct Graph {
  std::vector<GsNodeInfo> nodes;
  std::set<std::string> inits, inputs;
  std::map<std::string, size_t> producer;
  std::vector<std::string> outputs;  // in order
  std::map<std::string, std::vector<int64_t>> inputDims;  // -1 for a symbolic dimension
};

std::vector<int64_t> valueInfoDims(GsSlice vi) {
  std::vector<int64_t> dims;
  const GsSlice type = [&] {
    GsReader r(vi);
    GsField f;
    GsSlice t;
    while (r.next(f))
      if (f.field == 2 && f.wire == 2) t = f.payload;
    return t;
  }();
  auto sub = [](GsSlice msg, uint32_t field) {
    GsReader r(msg);
    GsField f;
    GsSlice out;
    while (r.next(f))
      if (f.field == field && f.wire == 2) out = f.payload;
    return out;
  };
  const GsSlice shape = sub(sub(type, 1), 2);  // tensor_type.shape
  GsReader r(shape);
  GsField f;
  while (r.next(f)) {
    if (f.field != 1 || f.wire != 2) continue;
    int64_t d = -1;
    GsReader dr(f.payload);
    GsField df;
    while (dr.next(df))
      if (df.field == 1 && df.wire == 0) d = int64_t(df.varint);
    dims.push_back(d);
  }
  return dims;
}

void read(const std::vector<uint8_t>& model, Graph& g) {
  const GsSlice graph = gsGraphOf(model);
  gsReadGraph(graph, g.nodes, g.inits, g.inputs);
  for (size_t i = 0; i < g.nodes.size(); ++i)
    for (const std::string& o : g.nodes[i].outputs)
      if (!o.empty()) g.producer.emplace(o, i);
  GsReader r(graph);
  GsField f;
  while (r.next(f)) {
    if (f.wire != 2) continue;
    if (f.field == onnxf::kGraphOutput) g.outputs.push_back(gsFirstStr(f.payload, 1));
    if (f.field == onnxf::kGraphInput) g.inputDims[gsFirstStr(f.payload, 1)] = valueInfoDims(f.payload);
  }
}

const GsNodeInfo* producerOf(const Graph& g, const std::string& t) {
  const auto p = g.producer.find(t);
  return p == g.producer.end() ? nullptr : &g.nodes[p->second];
}

// A Constant node holding the single float 1.0.
bool isConstantOne(const Graph& g, const std::string& t) {
  const GsNodeInfo* n = producerOf(g, t);
  if (!n || n->op_type != "Constant") return false;
  std::vector<float> v;
  return hcTensorFloats(hcConstValue(hcPayload(n->raw)), v) && v.size() == 1 && v[0] == 1.0f;
}

// The alpha of a compose tail node: its inputs are Mul(alpha, x) and
// Mul(1 - alpha, y), the one a Constant; "" when the node is not that.
std::string tailAlpha(const Graph& g, const GsNodeInfo& tail, size_t* alphaMul) {
  if (tail.inputs.size() != 2) return "";
  const GsNodeInfo* m[2] = {producerOf(g, tail.inputs[0]), producerOf(g, tail.inputs[1])};
  if (!m[0] || !m[1] || m[0]->op_type != "Mul" || m[1]->op_type != "Mul") return "";
  for (int a = 0; a < 2; ++a) {
    const GsNodeInfo& other = *m[1 - a];
    for (const std::string& alpha : m[a]->inputs)
      for (const std::string& rest : other.inputs) {
        const GsNodeInfo* sub = producerOf(g, rest);
        if (sub && sub->op_type == "Sub" && sub->inputs.size() == 2 && sub->inputs[1] == alpha &&
            isConstantOne(g, sub->inputs[0])) {
          *alphaMul = g.producer.at(m[a]->outputs[0]);
          return alpha;
        }
      }
  }
  return "";
}

// The node re-encoded with `from` read as `to`.
void renamedNode(const GsNodeInfo& n, const std::string& from, const std::string& to, std::vector<uint8_t>& out) {
  std::vector<uint8_t> node;
  GsReader r(hcPayload(n.raw));
  GsField f;
  while (r.next(f)) {
    if (f.field == onnxf::kNodeInput && f.wire == 2 && f.payload.view() == from)
      gsPutBytes(node, onnxf::kNodeInput, to.data(), to.size());
    else
      gsPutRaw(node, f.raw);
  }
  gsPutBytes(out, onnxf::kGraphNode, node.data(), node.size());
}

std::string selfCheck(const std::vector<uint8_t>& model, const std::string& alpha) {
  Graph g;
  read(model, g);
  if (!g.inputs.count(kInput)) return "self-check: the input did not survive the rebuild";
  size_t readers = 0;
  bool oldRead = false;
  size_t mins = 0;
  for (const GsNodeInfo& n : g.nodes) {
    for (const std::string& in : n.inputs) {
      if (in == kMinOut) ++readers;
      if (in == alpha && n.name != kMinName) oldRead = true;
    }
    if (n.name == kMinName && n.op_type == "Min" && n.inputs.size() == 2 && n.inputs[0] == alpha &&
        n.inputs[1] == kInput)
      ++mins;
  }
  if (readers != 2 || oldRead)
    return "self-check: rewire did not take: " + std::to_string(readers) + " consumers of " + kMinOut +
           (oldRead ? ", one still reads the alpha" : "") +
           " — refusing a graph that would serve the ellipse with the input attached and ignored";
  if (mins != 1) return "self-check: the Min node did not survive the rebuild";
  std::set<std::string> known(g.inputs.begin(), g.inputs.end());
  known.insert(g.inits.begin(), g.inits.end());
  for (size_t i = 0; i < g.nodes.size(); ++i) {
    for (const std::string& in : g.nodes[i].inputs) {
      if (in.empty() || known.count(in)) continue;
      const auto p = g.producer.find(in);
      return "self-check: node " + g.nodes[i].name + " reads '" + in + "' produced at " +
             (p == g.producer.end() ? std::string("no node") : std::to_string(p->second));
    }
    known.insert(g.nodes[i].outputs.begin(), g.nodes[i].outputs.end());
  }
  return "";
}

}  // namespace

size_t rewriteBindLipContour(std::vector<uint8_t>& model, std::string& reason, int* canvasW, int* canvasH) {
  reason.clear();
  if (canvasW) *canvasW = 0;
  if (canvasH) *canvasH = 0;
  if (gsGraphOf(model).empty()) {
    reason = "no graph";
    return 0;
  }
  Graph g;
  read(model, g);
  if (g.inputs.count(kInput)) {
    reason = std::string("the graph already carries an input named ") + kInput;
    return 0;
  }

  // From the first output back through a few Identity/Cast nodes, then the
  // producers breadth-first until a node is the compose tail.
  std::string start = g.outputs.empty() ? std::string() : g.outputs[0];
  for (int k = 0; k < 4; ++k) {
    const GsNodeInfo* n = producerOf(g, start);
    if (!n || (n->op_type != "Identity" && n->op_type != "Cast") || n->inputs.empty()) break;
    start = n->inputs[0];
  }
  std::string alpha;
  size_t alphaMul = 0;
  std::vector<std::string> queue{start};
  std::set<std::string> seen;
  for (size_t q = 0; q < queue.size() && alpha.empty(); ++q) {
    if (!seen.insert(queue[q]).second) continue;
    const GsNodeInfo* n = producerOf(g, queue[q]);
    if (!n) continue;
    alpha = tailAlpha(g, *n, &alphaMul);
    for (const std::string& in : n->inputs) queue.push_back(in);
  }
  if (alpha.empty()) {
    reason = "the graph does not carry the unified compose tail";
    return 0;
  }
  const GsNodeInfo* clip = producerOf(g, alpha);
  if (!clip) {
    reason = "the compose alpha '" + alpha + "' has no producer node";
    return 0;
  }
  if (clip->op_type != "Clip") {
    reason = "the graph does not carry the unified compose tail";
    return 0;
  }

  // The canvas: a square constant beside the alpha, else P_rgb's height.
  int64_t side = 0;
  for (const std::string& in : g.nodes[alphaMul].inputs) {
    if (in == alpha || !g.inits.count(in)) continue;
    std::vector<int64_t> dims;
    GsReader r(gsGraphOf(model));
    GsField f;
    while (r.next(f))
      if (f.field == onnxf::kGraphInit && f.wire == 2 && gsFirstStr(f.payload, onnxf::kTensorName) == in)
        hcTensorDims(f.payload, dims);
    if (dims.size() >= 2 && dims[dims.size() - 1] == dims[dims.size() - 2] && dims.back() > 0) side = dims.back();
  }
  if (side <= 0) {
    const auto p = g.inputDims.find("P_rgb");
    if (p != g.inputDims.end() && p->second.size() == 4 && p->second[2] > 0) side = p->second[2];
  }
  if (side <= 0 || side > (1 << 20)) {
    reason = "cannot read the compose canvas off the graph";
    return 0;
  }

  int64_t batch = 0;
  for (const char* name : {"pooled64", "kp_driving"}) {
    const auto p = g.inputDims.find(name);
    if (batch == 0 && p != g.inputDims.end() && !p->second.empty() && p->second[0] > 0) batch = p->second[0];
  }

  // Readers of the alpha read the Min's output; the Min goes just ahead of
  // the first of them.
  std::vector<std::vector<uint8_t>> replace(g.nodes.size());
  bool first = true;
  for (size_t i = 0; i < g.nodes.size(); ++i) {
    bool reads = false;
    for (const std::string& in : g.nodes[i].inputs) reads = reads || in == alpha;
    if (!reads) continue;
    if (first) {
      hcNode(replace[i], "Min", {alpha, kInput}, kMinOut, kMinName, {});
      first = false;
    }
    renamedNode(g.nodes[i], alpha, kMinOut, replace[i]);
  }
  const std::string input = kInput;
  const int64_t dims[4] = {batch, 1, side, side};
  GsGraphEdit edit;
  edit.replaceNode = &replace;
  edit.valueName = &input;
  edit.valueDims = dims;
  edit.valueRank = 4;
  edit.valueField = onnxf::kGraphInput;
  std::vector<uint8_t> out;
  gsRebuild(model, edit, out);

  reason = selfCheck(out, alpha);
  if (!reason.empty()) return 0;
  model.swap(out);
  if (canvasW) *canvasW = int(side);
  if (canvasH) *canvasH = int(side);
  return 1;
}

}  // namespace le
