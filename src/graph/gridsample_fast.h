// The library's own reader and writer of serialized ONNX models, and the
// GridSample -> com.corvane::GridSampleFast load-time rewrite built on them.
//
// Rewrites work on the model bytes directly: the reader walks one message's
// fields without building an object tree, and a rewrite copies every field it
// does not touch byte for byte, so whatever it never names survives unchanged.
#pragma once

#include <cstddef>
#include <cstdint>
#include <set>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

namespace le {

// A non-owning view of bytes (a message, a string or a payload inside the model).
struct GsSlice {
  const uint8_t* p = nullptr;
  size_t n = 0;

  bool empty() const { return n == 0; }
  std::string str() const { return n ? std::string(reinterpret_cast<const char*>(p), n) : std::string(); }
  std::string_view view() const {
    return n ? std::string_view(reinterpret_cast<const char*>(p), n) : std::string_view();
  }
  static GsSlice of(const std::vector<uint8_t>& v) { return {v.data(), v.size()}; }
};

// One decoded field.
struct GsField {
  uint32_t field = 0;
  uint32_t wire = 0;
  uint64_t varint = 0;  // wire type 0
  GsSlice payload;      // wire type 2
  GsSlice raw;          // tag start to value end: copy it to keep the field as it was
};

// A cursor over one message; reads one field per call. Throws std::runtime_error
// "onnx: bad varint", "onnx: truncated" or "onnx: bad wire type" on malformed bytes.
class GsReader {
 public:
  explicit GsReader(GsSlice s) : pos_(s.p), end_(s.p + s.n) {}
  bool next(GsField& f);

 private:
  const uint8_t* pos_;
  const uint8_t* end_;
};

struct GsNodeInfo {
  GsSlice raw;  // the graph's node field as it stands (tag included; hcPayload gives the NodeProto)
  std::string op_type;
  std::string name;
  std::vector<std::string> inputs;
  std::vector<std::string> outputs;
  std::vector<std::pair<std::string, GsSlice>> attrs;  // attribute payloads by name, in order
};

// Instructions for gsRebuild. The fields after valueField are this library's
// general editing hooks for rewrites that replace or add nodes.
struct GsGraphEdit {
  const std::vector<uint8_t>* dropNode = nullptr;  // one flag per node, graph order
  bool dropPrgbInput = false;                      // remove graph input "P_rgb"
  bool onlyPrgbInput = false;                      // remove every graph input but "P_rgb"
  bool dropOutputs = false;                        // remove every graph output
  const std::string* valueName = nullptr;          // a tensor to declare
  const int64_t* valueDims = nullptr;
  uint32_t valueRank = 0;
  uint32_t valueField = 0;  // 11 = input, 12 = output, 0 = nothing

  // Per node (graph order): non-empty bytes (already-encoded graph fields, e.g.
  // from hcNode) are written where that node stood, and the node is left out.
  const std::vector<std::vector<uint8_t>>* replaceNode = nullptr;
  // Encoded graph fields (nodes, initializers, ...) appended after the graph's own.
  const std::vector<uint8_t>* appendGraph = nullptr;
  // Initializers to leave out (ones the edit made unused: the runtime warns
  // about every unused initializer on each load).
  const std::set<std::string>* dropInits = nullptr;
  // A custom domain the model must import (version importVersion); added once.
  const std::string* importDomain = nullptr;
  int64_t importVersion = 1;
};

// ONNX field numbers used by the rewrites.
namespace onnxf {
inline constexpr uint32_t kModelGraph = 7, kModelOpset = 8;
inline constexpr uint32_t kOpsetDomain = 1, kOpsetVersion = 2;
inline constexpr uint32_t kGraphNode = 1, kGraphInit = 5, kGraphInput = 11, kGraphOutput = 12, kGraphValueInfo = 13;
inline constexpr uint32_t kNodeInput = 1, kNodeOutput = 2, kNodeName = 3, kNodeOpType = 4, kNodeAttr = 5, kNodeDomain = 7;
inline constexpr uint32_t kAttrName = 1, kAttrF = 2, kAttrI = 3, kAttrS = 4, kAttrT = 5, kAttrFloats = 7, kAttrInts = 8,
                          kAttrType = 20;
inline constexpr uint32_t kTensorDims = 1, kTensorDataType = 2, kTensorFloatData = 4, kTensorInt64Data = 7,
                          kTensorName = 8, kTensorRawData = 9;
}  // namespace onnxf

// Reading.
GsSlice gsGraphOf(const std::vector<uint8_t>& model);
std::string gsFirstStr(GsSlice msg, uint32_t field);
void gsAllStr(GsSlice msg, uint32_t field, std::vector<std::string>& out);
GsSlice hcPayload(GsSlice msg);
void hcTensorDims(GsSlice tensor, std::vector<int64_t>& dims);
bool hcTensorFloats(GsSlice tensor, std::vector<float>& values);
GsSlice hcConstValue(GsSlice node);
// One node of a graph, from its node field.
GsNodeInfo gsReadNode(const GsField& nodeField);
void gsReadGraph(GsSlice graph, std::vector<GsNodeInfo>& nodes, std::set<std::string>& initializers,
                 std::set<std::string>& inputs);
// The names of the graph's declared outputs.
std::set<std::string> gsGraphOutputs(GsSlice graph);

// Writing (all append).
void gsPutVarint(std::vector<uint8_t>& out, uint64_t v);
void gsPutBytes(std::vector<uint8_t>& out, uint32_t field, const void* data, size_t len);
void gsPutRaw(std::vector<uint8_t>& out, GsSlice s);
void gsPutTensorValueInfo(std::vector<uint8_t>& out, uint32_t field, const std::string& name, const int64_t* dims,
                          uint32_t rank);
void hcNode(std::vector<uint8_t>& graphOut, const std::string& opType, const std::vector<std::string>& inputs,
            const std::string& output, const std::string& name, const std::vector<uint8_t>& attrBytes);
void hcAttrI(std::vector<uint8_t>& nodeAttrs, const std::string& name, int64_t v);
void hcAttrIs(std::vector<uint8_t>& nodeAttrs, const std::string& name, const int64_t* values, size_t count);
void hcAttrS(std::vector<uint8_t>& nodeAttrs, const std::string& name, const std::string& v);
void hcInit(std::vector<uint8_t>& graphOut, const std::string& name, int32_t dataType, const std::vector<int64_t>& dims,
            const void* data, size_t bytes);
void gsRebuild(const std::vector<uint8_t>& model, const GsGraphEdit& edit, std::vector<uint8_t>& out);
// Leaves out the initializers no node reads (after a rewrite removed their
// readers), except graph inputs' defaults and outputs; a graph with subgraphs,
// which may read outer names, is left as it is. Returns how many went.
size_t gsDropUnusedInitializers(std::vector<uint8_t>& model);

// The GridSample rewrite.
bool gsIsRewritableGridSample(GsSlice node);
size_t rewriteGridSampleToFast(std::vector<uint8_t>& model);
bool graphHasBakedGridSampleFast(const std::vector<uint8_t>& model);

// The student blend: older directors compute "/s2/blend" as a MatMul, which
// some GPU compilers cannot take; a two-input MatMul without attributes is
// the same product as a Gemm (alpha 1, beta 1, no bias, no transposes).
bool gsIsStudentBlendMatMul(GsSlice node);
// Rewrites every such node to a Gemm with the same name, inputs and output;
// returns the count (0 leaves the model untouched).
size_t normaliseStudentBlend(std::vector<uint8_t>& model);

}  // namespace le
