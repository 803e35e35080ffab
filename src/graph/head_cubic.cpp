#include "graph/head_cubic.h"

#include <cmath>
#include <cstring>
#include <map>
#include <stdexcept>
#include <set>
#include <string>

#include "graph/gridsample_fast.h"

namespace le {

void hcTaps(double t, double a, double taps[4]) {
  const double d[4] = {t + 1.0, t, 1.0 - t, 2.0 - t};
  double sum = 0;
  for (int k = 0; k < 4; ++k) {
    const double x = d[k];
    taps[k] = x <= 1.0 ? ((a + 2.0) * x - (a + 3.0)) * x * x + 1.0 : (((x - 5.0) * x + 8.0) * x) * a - 4.0 * a;
    sum += taps[k];
  }
  for (int k = 0; k < 4; ++k) taps[k] /= sum;
}

namespace {

constexpr int64_t kMaxChannels = 1 << 20;

using Node = GsNodeInfo;

GsSlice findAttr(const Node& n, const char* name) {
  for (const auto& [key, payload] : n.attrs)
    if (key == name) return payload;
  return {};
}

bool hasAttr(const Node& n, const char* name) {
  for (const auto& a : n.attrs)
    if (a.first == name) return true;
  return false;
}

std::string attrS(const Node& n, const char* name, bool* present = nullptr) {
  if (present) *present = hasAttr(n, name);
  return gsFirstStr(findAttr(n, name), onnxf::kAttrS);
}

// A float attribute (field f, fixed32); dflt when absent.
float attrF(const Node& n, const char* name, float dflt) {
  GsReader r(findAttr(n, name));
  GsField f;
  float v = dflt;
  while (r.next(f))
    if (f.field == onnxf::kAttrF && f.wire == 5) std::memcpy(&v, f.raw.p + f.raw.n - 4, 4);
  return v;
}

int64_t attrI(const Node& n, const char* name, int64_t dflt) {
  GsReader r(findAttr(n, name));
  GsField f;
  int64_t v = dflt;
  while (r.next(f))
    if (f.field == onnxf::kAttrI && f.wire == 0) v = int64_t(f.varint);
  return v;
}

struct Graph {
  std::vector<Node> nodes;
  std::map<std::string, GsSlice> tensors;  // initializers and Constant values by name
  std::vector<std::string> outputs;        // the graph's own outputs
};

Graph readGraph(GsSlice graph) {
  Graph g;
  GsReader r(graph);
  GsField f;
  while (r.next(f)) {
    if (f.wire != 2) continue;
    if (f.field == onnxf::kGraphInit) {
      g.tensors[gsFirstStr(f.payload, onnxf::kTensorName)] = f.payload;
    } else if (f.field == onnxf::kGraphOutput) {
      g.outputs.push_back(gsFirstStr(f.payload, 1));
    } else if (f.field == onnxf::kGraphNode) {
      g.nodes.push_back(gsReadNode(f));
    }
  }
  for (const Node& n : g.nodes)
    if (n.op_type == "Constant" && n.outputs.size() == 1) {
      const GsSlice v = hcConstValue(hcPayload(n.raw));
      if (!v.empty()) g.tensors[n.outputs[0]] = v;
    }
  return g;
}

// The channel count the rewrite works on, or 0 when the node is not eligible.
int64_t eligibleChannels(const Graph& g, const Node& n) {
  if (n.op_type != "Resize") return 0;
  bool present = false;
  if (attrS(n, "mode") != "cubic" || attrS(n, "coordinate_transformation_mode") != "half_pixel") return 0;
  const std::string karp = attrS(n, "keep_aspect_ratio_policy", &present);
  if (present && karp != "stretch") return 0;
  for (const char* unset : {"exclude_outside", "antialias", "axes"})
    if (hasAttr(n, unset)) return 0;
  if (n.inputs.size() != 3 || !n.inputs[1].empty() || n.outputs.size() != 1) return 0;
  const auto scales = g.tensors.find(n.inputs[2]);
  std::vector<float> s;
  if (scales == g.tensors.end() || !hcTensorFloats(scales->second, s) || s != std::vector<float>{1.f, 1.f, 2.f, 2.f})
    return 0;
  // Its input comes from exactly one Conv with a rank-4 constant weight.
  const Node* producer = nullptr;
  int producers = 0;
  for (const Node& p : g.nodes)
    for (const std::string& o : p.outputs)
      if (o == n.inputs[0]) producer = &p, ++producers;
  if (producers != 1 || producer->op_type != "Conv" || producer->inputs.size() < 2) return 0;
  const auto w = g.tensors.find(producer->inputs[1]);
  if (w == g.tensors.end()) return 0;
  std::vector<int64_t> dims;
  hcTensorDims(w->second, dims);
  if (dims.size() != 4) return 0;
  // The Resize upsamples what the Conv puts out: its output channels.
  const int64_t C = dims[0];
  if (C < 1 || C > kMaxChannels || attrI(*producer, "group", 1) < 1) return 0;
  return C;
}

void putInts(std::vector<uint8_t>& attrs, const char* name, std::initializer_list<int64_t> v) {
  const std::vector<int64_t> values(v);
  hcAttrIs(attrs, name, values.data(), values.size());
}

}  // namespace

std::size_t rewriteHeadCubicResize(std::vector<std::uint8_t>& model) {
  try {
    const GsSlice graph = gsGraphOf(model);
    if (graph.empty()) return 0;
    const Graph g = readGraph(graph);
    int eligible = 0;
    size_t at = 0;
    int64_t C = 0;
    for (size_t i = 0; i < g.nodes.size(); ++i)
      if (const int64_t c = eligibleChannels(g, g.nodes[i]); c > 0) ++eligible, at = i, C = c;
    if (eligible != 1) return 0;

    const Node& rz = g.nodes[at];
    const std::string P = rz.name.empty() ? std::string("/Resize") : rz.name;
    const std::string R = "rz" + std::to_string(at);
    const double a = attrF(rz, "cubic_coeff_a", -0.75f);

    // The five-tap filters of the two phases: even output pixels sample 0.75
    // past the tap before, odd ones 0.25 past their own.
    double t0[4], t1[4];
    hcTaps(0.75, a, t0);
    hcTaps(0.25, a, t1);
    const double phase[2][5] = {{t0[0], t0[1], t0[2], t0[3], 0.0}, {0.0, t1[0], t1[1], t1[2], t1[3]}};
    std::vector<float> w(size_t(4 * C) * 25);
    for (int64_t c = 0; c < C; ++c)
      for (int py = 0; py < 2; ++py)
        for (int px = 0; px < 2; ++px) {
          float* k = w.data() + size_t(4 * c + 2 * py + px) * 25;
          for (int y = 0; y < 5; ++y)
            for (int x = 0; x < 5; ++x) k[y * 5 + x] = float(phase[py][y] * phase[px][x]);
        }
    const int64_t pads[8] = {0, 0, 2, 2, 0, 0, 2, 2};

    std::vector<uint8_t> inits;
    hcInit(inits, R + "_pads", 7, {8}, pads, sizeof pads);
    hcInit(inits, R + "_dw_w", 1, {4 * C, 1, 5, 5}, w.data(), w.size() * sizeof(float));

    std::vector<std::vector<uint8_t>> replace(at + 1);
    std::vector<uint8_t>& out = replace[at];
    std::vector<uint8_t> attrs;
    hcAttrS(attrs, "mode", "edge");
    hcNode(out, "Pad", {rz.inputs[0], R + "_pads"}, R + "_padout", P + "/pad", attrs);
    attrs.clear();
    putInts(attrs, "dilations", {1, 1});
    hcAttrI(attrs, "group", C);
    putInts(attrs, "kernel_shape", {5, 5});
    putInts(attrs, "pads", {0, 0, 0, 0});
    putInts(attrs, "strides", {1, 1});
    hcNode(out, "Conv", {R + "_padout", R + "_dw_w"}, R + "_convout", P + "/dwconv", attrs);
    attrs.clear();
    hcAttrI(attrs, "blocksize", 2);
    hcAttrS(attrs, "mode", "CRD");
    hcNode(out, "DepthToSpace", {R + "_convout"}, rz.outputs[0], P + "/d2s", attrs);

    GsGraphEdit edit;
    edit.replaceNode = &replace;
    edit.appendGraph = &inits;
    // The scales go with the Resize when nothing else reads them: the runtime
    // warns about every unused initializer at each load.
    const std::string& scales = rz.inputs[2];
    bool used = false;
    for (size_t i = 0; i < g.nodes.size(); ++i)
      for (const std::string& in : g.nodes[i].inputs) used = used || (i != at && in == scales);
    for (const std::string& o : g.outputs) used = used || o == scales;
    std::vector<uint8_t> drop(g.nodes.size(), 0);
    const std::set<std::string> unused{scales};
    if (!used) {
      edit.dropInits = &unused;
      for (size_t i = 0; i < g.nodes.size(); ++i)
        if (g.nodes[i].op_type == "Constant" && g.nodes[i].outputs.size() == 1 && g.nodes[i].outputs[0] == scales)
          drop[i] = 1;
      edit.dropNode = &drop;
    }
    std::vector<uint8_t> rebuilt;
    gsRebuild(model, edit, rebuilt);
    model.swap(rebuilt);
    return 1;
  } catch (const std::exception&) {
    return 0;  // a graph this rewrite cannot read is left as it came
  }
}

}  // namespace le
