#include "graph/gridsample_fast.h"

#include <algorithm>
#include <cstring>
#include <stdexcept>

namespace le {

namespace {

[[noreturn]] void badVarint() { throw std::runtime_error("onnx: bad varint"); }
[[noreturn]] void truncated() { throw std::runtime_error("onnx: truncated"); }

// Base-128, least significant group first; at most 10 bytes (the shift may
// reach 63). Running out of bytes or an 11th byte is malformed.
uint64_t readVarint(const uint8_t*& p, const uint8_t* end) {
  uint64_t v = 0;
  for (int i = 0; i < 10; ++i) {
    if (p >= end) badVarint();
    const uint8_t b = *p++;
    v |= uint64_t(b & 0x7f) << (7 * i);
    if (!(b & 0x80)) return v;
  }
  badVarint();
}

// Singular fields follow the wire format's rule: the last occurrence wins.
std::string lastStr(GsSlice msg, uint32_t field) {
  GsReader r(msg);
  GsField f;
  std::string s;
  while (r.next(f))
    if (f.field == field && f.wire == 2) s = f.payload.str();
  return s;
}

void putTag(std::vector<uint8_t>& out, uint32_t field, uint32_t wire) {
  gsPutVarint(out, (uint64_t(field) << 3) | wire);
}

void putVarintField(std::vector<uint8_t>& out, uint32_t field, uint64_t v) {
  putTag(out, field, 0);
  gsPutVarint(out, v);
}

void putStr(std::vector<uint8_t>& out, uint32_t field, const std::string& s) {
  gsPutBytes(out, field, s.data(), s.size());
}

void putMsg(std::vector<uint8_t>& out, uint32_t field, const std::vector<uint8_t>& msg) {
  gsPutBytes(out, field, msg.data(), msg.size());
}

bool importsDomain(GsSlice model, const std::string& domain) {
  GsReader r(model);
  GsField f;
  while (r.next(f))
    if (f.field == onnxf::kModelOpset && f.wire == 2 && lastStr(f.payload, onnxf::kOpsetDomain) == domain) return true;
  return false;
}

void putOpsetImport(std::vector<uint8_t>& out, const std::string& domain, int64_t version) {
  std::vector<uint8_t> op;
  putStr(op, onnxf::kOpsetDomain, domain);
  putVarintField(op, onnxf::kOpsetVersion, uint64_t(version));
  putMsg(out, onnxf::kModelOpset, op);
}

// A node attribute as the rewrites see it (last occurrence of each field wins).
struct AttrView {
  std::string name;
  bool hasI = false;
  int64_t i = 0;
  bool hasS = false;
  std::string s;
};

AttrView readAttr(GsSlice attr) {
  AttrView a;
  GsReader r(attr);
  GsField f;
  while (r.next(f)) {
    if (f.field == onnxf::kAttrName && f.wire == 2) a.name = f.payload.str();
    else if (f.field == onnxf::kAttrI && f.wire == 0) a.hasI = true, a.i = int64_t(f.varint);
    else if (f.field == onnxf::kAttrS && f.wire == 2) a.hasS = true, a.s = f.payload.str();
  }
  return a;
}

constexpr const char* kCorvane = "com.corvane";

}  // namespace

// ---------------------------------------------------------------- reading

bool GsReader::next(GsField& f) {
  if (pos_ >= end_) return false;
  const uint8_t* start = pos_;
  const uint64_t tag = readVarint(pos_, end_);
  f.field = uint32_t(tag >> 3);
  f.wire = uint32_t(tag & 7);
  f.varint = 0;
  f.payload = {};
  switch (f.wire) {
    case 0:
      f.varint = readVarint(pos_, end_);
      break;
    case 1:
    case 5: {
      const size_t skip = f.wire == 1 ? 8 : 4;
      if (size_t(end_ - pos_) < skip) truncated();
      pos_ += skip;
      break;
    }
    case 2: {
      const uint64_t len = readVarint(pos_, end_);
      // Compared against what is left, so a huge length cannot wrap the pointer.
      if (len > uint64_t(end_ - pos_)) truncated();
      f.payload = {pos_, size_t(len)};
      pos_ += len;
      break;
    }
    default:
      throw std::runtime_error("onnx: bad wire type");
  }
  f.raw = {start, size_t(pos_ - start)};
  return true;
}

GsSlice gsGraphOf(const std::vector<uint8_t>& model) {
  GsReader r(GsSlice::of(model));
  GsField f;
  while (r.next(f))
    if (f.field == onnxf::kModelGraph && f.wire == 2) return f.payload;
  return {};
}

std::string gsFirstStr(GsSlice msg, uint32_t field) {
  GsReader r(msg);
  GsField f;
  while (r.next(f))
    if (f.field == field && f.wire == 2) return f.payload.str();
  return {};
}

void gsAllStr(GsSlice msg, uint32_t field, std::vector<std::string>& out) {
  GsReader r(msg);
  GsField f;
  while (r.next(f))
    if (f.field == field && f.wire == 2) out.push_back(f.payload.str());
}

GsSlice hcPayload(GsSlice msg) {
  GsReader r(msg);
  GsField f;
  if (r.next(f) && f.wire == 2) return f.payload;
  return {};
}

void hcTensorDims(GsSlice tensor, std::vector<int64_t>& dims) {
  GsReader r(tensor);
  GsField f;
  while (r.next(f)) {
    if (f.field != onnxf::kTensorDims) continue;
    if (f.wire == 0) {
      dims.push_back(int64_t(f.varint));
    } else if (f.wire == 2) {  // packed
      const uint8_t* p = f.payload.p;
      const uint8_t* end = p + f.payload.n;
      while (p < end) dims.push_back(int64_t(readVarint(p, end)));
    }
  }
}

bool hcTensorFloats(GsSlice tensor, std::vector<float>& values) {
  GsReader r(tensor);
  GsField f;
  int64_t dataType = 0;
  std::vector<float> fromFloatData;
  GsSlice raw;
  bool hasRaw = false;
  while (r.next(f)) {
    if (f.field == onnxf::kTensorDataType && f.wire == 0) {
      dataType = int64_t(f.varint);
    } else if (f.field == onnxf::kTensorFloatData && f.wire == 2) {
      if (f.payload.n % 4) truncated();
      const size_t k = f.payload.n / 4, at = fromFloatData.size();
      fromFloatData.resize(at + k);
      if (k) std::memcpy(fromFloatData.data() + at, f.payload.p, k * 4);
    } else if (f.field == onnxf::kTensorFloatData && f.wire == 5) {
      float v;
      std::memcpy(&v, f.raw.p + f.raw.n - 4, 4);
      fromFloatData.push_back(v);
    } else if (f.field == onnxf::kTensorRawData && f.wire == 2) {
      raw = f.payload;
      hasRaw = true;
    }
  }
  if (dataType != 1) return false;
  if (hasRaw) {
    if (raw.n % 4) truncated();
    fromFloatData.resize(raw.n / 4);
    if (raw.n) std::memcpy(fromFloatData.data(), raw.p, raw.n);
  }
  if (fromFloatData.empty()) return false;
  values.insert(values.end(), fromFloatData.begin(), fromFloatData.end());
  return true;
}

GsSlice hcConstValue(GsSlice node) {
  GsReader r(node);
  GsField f;
  while (r.next(f)) {
    if (f.field != onnxf::kNodeAttr || f.wire != 2) continue;
    if (gsFirstStr(f.payload, onnxf::kAttrName) != "value") continue;
    GsReader ar(f.payload);
    GsField af;
    while (ar.next(af))
      if (af.field == onnxf::kAttrT && af.wire == 2) return af.payload;
  }
  return {};
}

GsNodeInfo gsReadNode(const GsField& nodeField) {
  GsNodeInfo n;
  n.raw = nodeField.raw;
  GsReader nr(nodeField.payload);
  GsField nf;
  while (nr.next(nf)) {
    if (nf.wire != 2) continue;
    if (nf.field == onnxf::kNodeInput) n.inputs.push_back(nf.payload.str());
    else if (nf.field == onnxf::kNodeOutput) n.outputs.push_back(nf.payload.str());
    else if (nf.field == onnxf::kNodeOpType) n.op_type = nf.payload.str();
    else if (nf.field == onnxf::kNodeName) n.name = nf.payload.str();
    else if (nf.field == onnxf::kNodeAttr) n.attrs.emplace_back(gsFirstStr(nf.payload, onnxf::kAttrName), nf.payload);
  }
  return n;
}

void gsReadGraph(GsSlice graph, std::vector<GsNodeInfo>& nodes, std::set<std::string>& initializers,
                 std::set<std::string>& inputs) {
  GsReader r(graph);
  GsField f;
  while (r.next(f)) {
    if (f.wire != 2) continue;
    if (f.field == onnxf::kGraphNode) {
      nodes.push_back(gsReadNode(f));
    } else if (f.field == onnxf::kGraphInit) {
      initializers.insert(gsFirstStr(f.payload, onnxf::kTensorName));
    } else if (f.field == onnxf::kGraphInput) {
      inputs.insert(gsFirstStr(f.payload, 1));
    }
  }
}

std::set<std::string> gsGraphOutputs(GsSlice graph) {
  std::set<std::string> out;
  GsReader r(graph);
  GsField f;
  while (r.next(f))
    if (f.wire == 2 && f.field == onnxf::kGraphOutput) out.insert(gsFirstStr(f.payload, 1));
  return out;
}

// ---------------------------------------------------------------- writing

void gsPutVarint(std::vector<uint8_t>& out, uint64_t v) {
  while (v >= 0x80) {
    out.push_back(uint8_t(v | 0x80));
    v >>= 7;
  }
  out.push_back(uint8_t(v));
}

void gsPutBytes(std::vector<uint8_t>& out, uint32_t field, const void* data, size_t len) {
  putTag(out, field, 2);
  gsPutVarint(out, len);
  const auto* b = static_cast<const uint8_t*>(data);
  if (len) out.insert(out.end(), b, b + len);
}

void gsPutRaw(std::vector<uint8_t>& out, GsSlice s) {
  if (s.n) out.insert(out.end(), s.p, s.p + s.n);
}

void gsPutTensorValueInfo(std::vector<uint8_t>& out, uint32_t field, const std::string& name, const int64_t* dims,
                          uint32_t rank) {
  std::vector<uint8_t> shape;
  for (uint32_t d = 0; d < rank; ++d) {
    std::vector<uint8_t> dim;
    if (dims && dims[d] > 0) {
      putVarintField(dim, 1, uint64_t(dims[d]));
    } else {
      putStr(dim, 2, "le_hoist_d" + std::to_string(d));
    }
    putMsg(shape, 1, dim);
  }
  std::vector<uint8_t> tensorType;
  putVarintField(tensorType, 1, 1);  // FLOAT
  putMsg(tensorType, 2, shape);
  std::vector<uint8_t> type;
  putMsg(type, 1, tensorType);
  std::vector<uint8_t> vi;
  putStr(vi, 1, name);
  putMsg(vi, 2, type);
  putMsg(out, field, vi);
}

void hcNode(std::vector<uint8_t>& graphOut, const std::string& opType, const std::vector<std::string>& inputs,
            const std::string& output, const std::string& name, const std::vector<uint8_t>& attrBytes) {
  std::vector<uint8_t> node;
  for (const std::string& in : inputs) putStr(node, onnxf::kNodeInput, in);
  putStr(node, onnxf::kNodeOutput, output);
  putStr(node, onnxf::kNodeName, name);
  putStr(node, onnxf::kNodeOpType, opType);
  node.insert(node.end(), attrBytes.begin(), attrBytes.end());
  putMsg(graphOut, onnxf::kGraphNode, node);
}

void hcAttrI(std::vector<uint8_t>& nodeAttrs, const std::string& name, int64_t v) {
  std::vector<uint8_t> a;
  putStr(a, onnxf::kAttrName, name);
  putVarintField(a, onnxf::kAttrI, uint64_t(v));
  putVarintField(a, onnxf::kAttrType, 2);
  putMsg(nodeAttrs, onnxf::kNodeAttr, a);
}

void hcAttrIs(std::vector<uint8_t>& nodeAttrs, const std::string& name, const int64_t* values, size_t count) {
  std::vector<uint8_t> a;
  putStr(a, onnxf::kAttrName, name);
  for (size_t k = 0; k < count; ++k) putVarintField(a, onnxf::kAttrInts, uint64_t(values[k]));
  putVarintField(a, onnxf::kAttrType, 7);
  putMsg(nodeAttrs, onnxf::kNodeAttr, a);
}

void hcAttrS(std::vector<uint8_t>& nodeAttrs, const std::string& name, const std::string& v) {
  std::vector<uint8_t> a;
  putStr(a, onnxf::kAttrName, name);
  putStr(a, onnxf::kAttrS, v);
  putVarintField(a, onnxf::kAttrType, 3);
  putMsg(nodeAttrs, onnxf::kNodeAttr, a);
}

void hcInit(std::vector<uint8_t>& graphOut, const std::string& name, int32_t dataType, const std::vector<int64_t>& dims,
            const void* data, size_t bytes) {
  std::vector<uint8_t> t;
  t.reserve(bytes + name.size() + 16 + dims.size() * 10);
  for (int64_t d : dims) putVarintField(t, onnxf::kTensorDims, uint64_t(d));
  putVarintField(t, onnxf::kTensorDataType, uint64_t(uint32_t(dataType)));
  putStr(t, onnxf::kTensorName, name);
  gsPutBytes(t, onnxf::kTensorRawData, data, bytes);
  putMsg(graphOut, onnxf::kGraphInit, t);
}

void gsRebuild(const std::vector<uint8_t>& model, const GsGraphEdit& edit, std::vector<uint8_t>& out) {
  out.clear();
  out.reserve(model.size() + 256 + (edit.appendGraph ? edit.appendGraph->size() : 0));
  const GsSlice m = GsSlice::of(model);
  // Only the first graph field is the graph the rewrites read (gsGraphOf).
  bool graphDone = false;
  GsReader r(m);
  GsField f;
  while (r.next(f)) {
    if (graphDone || f.field != onnxf::kModelGraph || f.wire != 2) {
      gsPutRaw(out, f.raw);
      continue;
    }
    graphDone = true;
    std::vector<uint8_t> g;
    g.reserve(f.payload.n + 256 + (edit.appendGraph ? edit.appendGraph->size() : 0));
    size_t nodeIndex = 0;
    GsReader gr(f.payload);
    GsField gf;
    while (gr.next(gf)) {
      if (gf.wire != 2) {
        gsPutRaw(g, gf.raw);
        continue;
      }
      switch (gf.field) {
        case onnxf::kGraphNode: {
          const size_t i = nodeIndex++;
          if (edit.replaceNode && i < edit.replaceNode->size() && !(*edit.replaceNode)[i].empty()) {
            const auto& rep = (*edit.replaceNode)[i];
            g.insert(g.end(), rep.begin(), rep.end());
          } else if (!(edit.dropNode && i < edit.dropNode->size() && (*edit.dropNode)[i])) {
            gsPutRaw(g, gf.raw);
          }
          break;
        }
        case onnxf::kGraphInput: {
          const bool prgb = lastStr(gf.payload, 1) == "P_rgb";
          const bool keep = edit.onlyPrgbInput ? (prgb && !edit.dropPrgbInput) : !(edit.dropPrgbInput && prgb);
          if (keep) gsPutRaw(g, gf.raw);
          break;
        }
        case onnxf::kGraphOutput:
          if (!edit.dropOutputs) gsPutRaw(g, gf.raw);
          break;
        case onnxf::kGraphValueInfo:
          if (!(edit.valueName && lastStr(gf.payload, 1) == *edit.valueName)) gsPutRaw(g, gf.raw);
          break;
        case onnxf::kGraphInit:
          if (!(edit.dropInits && edit.dropInits->count(lastStr(gf.payload, onnxf::kTensorName)))) gsPutRaw(g, gf.raw);
          break;
        default:
          gsPutRaw(g, gf.raw);
      }
    }
    if (edit.appendGraph) g.insert(g.end(), edit.appendGraph->begin(), edit.appendGraph->end());
    if (edit.valueName && edit.valueField != 0)
      gsPutTensorValueInfo(g, edit.valueField, *edit.valueName, edit.valueDims, edit.valueRank);
    putMsg(out, onnxf::kModelGraph, g);
  }
  if (edit.importDomain && !importsDomain(m, *edit.importDomain))
    putOpsetImport(out, *edit.importDomain, edit.importVersion);
}

size_t gsDropUnusedInitializers(std::vector<uint8_t>& model) {
  const GsSlice graph = gsGraphOf(model);
  if (graph.empty()) return 0;
  std::vector<GsNodeInfo> nodes;
  std::set<std::string> inits, inputs;
  gsReadGraph(graph, nodes, inits, inputs);
  std::set<std::string> read = gsGraphOutputs(graph);
  read.insert(inputs.begin(), inputs.end());
  for (const GsNodeInfo& n : nodes) {
    read.insert(n.inputs.begin(), n.inputs.end());
    for (const auto& a : n.attrs) {
      GsReader r(a.second);
      GsField f;
      while (r.next(f))
        if (f.field == 6 || f.field == 11) return 0;  // a subgraph (g / graphs)
    }
  }
  std::set<std::string> unused;
  for (const std::string& i : inits)
    if (!read.count(i)) unused.insert(i);
  if (unused.empty()) return 0;
  GsGraphEdit edit;
  edit.dropInits = &unused;
  std::vector<uint8_t> out;
  gsRebuild(model, edit, out);
  model.swap(out);
  return unused.size();
}

// ---------------------------------------------------------------- GridSample rewrite

bool gsIsRewritableGridSample(GsSlice node) {
  std::string opType, domain;
  bool modeOk = false, paddingOk = false, alignOk = true;
  GsReader r(node);
  GsField f;
  while (r.next(f)) {
    if (f.wire != 2) continue;
    if (f.field == onnxf::kNodeOpType) {
      opType = f.payload.str();
    } else if (f.field == onnxf::kNodeDomain) {
      domain = f.payload.str();
    } else if (f.field == onnxf::kNodeAttr) {
      const AttrView a = readAttr(f.payload);
      if (a.name == "mode") modeOk = a.hasS && (a.s == "bilinear" || a.s == "linear");
      else if (a.name == "padding_mode") paddingOk = a.hasS && a.s == "border";
      else if (a.name == "align_corners") alignOk = a.i == 0;
    }
  }
  return opType == "GridSample" && (domain.empty() || domain == "ai.onnx") && modeOk && paddingOk && alignOk;
}

namespace {

// Re-types every node `match` accepts: its own fields in their order, less
// op_type, domain and (when asked) its attributes, then the new op_type and
// domain; every other byte of the model is copied. Returns the count.
size_t retypeNodes(std::vector<uint8_t>& model, bool (*match)(GsSlice), bool dropAttrs, const std::string& opType,
                   const std::string& domain) {
  const GsSlice graph = gsGraphOf(model);
  if (graph.empty()) return 0;
  std::vector<std::vector<uint8_t>> replace;
  size_t count = 0, index = 0;
  GsReader r(graph);
  GsField f;
  while (r.next(f)) {
    if (f.field != onnxf::kGraphNode || f.wire != 2) continue;
    const size_t i = index++;
    if (!match(f.payload)) continue;
    std::vector<uint8_t> node;
    node.reserve(f.payload.n + 32);
    GsReader nr(f.payload);
    GsField nf;
    while (nr.next(nf))
      if (!(nf.field == onnxf::kNodeOpType || nf.field == onnxf::kNodeDomain || (dropAttrs && nf.field == onnxf::kNodeAttr)))
        gsPutRaw(node, nf.raw);
    putStr(node, onnxf::kNodeOpType, opType);
    if (!domain.empty()) putStr(node, onnxf::kNodeDomain, domain);
    replace.resize(i + 1);
    putMsg(replace[i], onnxf::kGraphNode, node);
    ++count;
  }
  if (count == 0) return 0;
  GsGraphEdit edit;
  edit.replaceNode = &replace;
  if (!domain.empty()) {
    edit.importDomain = &domain;
    edit.importVersion = 1;
  }
  std::vector<uint8_t> out;
  gsRebuild(model, edit, out);
  model.swap(out);
  return count;
}

}  // namespace

size_t rewriteGridSampleToFast(std::vector<uint8_t>& model) {
  return retypeNodes(model, gsIsRewritableGridSample, true, "GridSampleFast", kCorvane);
}

bool gsIsStudentBlendMatMul(GsSlice node) {
  std::string name, opType, domain;
  size_t inputs = 0;
  bool attrs = false;
  GsReader r(node);
  GsField f;
  while (r.next(f)) {
    if (f.field == onnxf::kNodeAttr) attrs = true;
    if (f.wire != 2) continue;
    if (f.field == onnxf::kNodeName) name = f.payload.str();
    else if (f.field == onnxf::kNodeOpType) opType = f.payload.str();
    else if (f.field == onnxf::kNodeDomain) domain = f.payload.str();
    else if (f.field == onnxf::kNodeInput) ++inputs;
  }
  return name == "/s2/blend" && opType == "MatMul" && (domain.empty() || domain == "ai.onnx") && inputs == 2 &&
         !attrs;
}

size_t normaliseStudentBlend(std::vector<uint8_t>& model) {
  return retypeNodes(model, gsIsStudentBlendMatMul, false, "Gemm", "");
}

bool graphHasBakedGridSampleFast(const std::vector<uint8_t>& model) {
  GsReader r(gsGraphOf(model));
  GsField f;
  while (r.next(f)) {
    if (f.field != onnxf::kGraphNode || f.wire != 2) continue;
    if (lastStr(f.payload, onnxf::kNodeOpType) == "GridSampleFast" && lastStr(f.payload, onnxf::kNodeDomain) == kCorvane)
      return true;
  }
  return false;
}

}  // namespace le
