// A small builder for the forge's ONNX models, over the standard protobuf
// encoder. Every model the forge writes (directors, audio engines) is a
// deterministic, hand-designed graph put together with it.
#pragma once

#include <cstdint>
#include <string>
#include <utility>
#include <variant>
#include <vector>

namespace onnx {
class ModelProto;
class GraphProto;
class NodeProto;
}  // namespace onnx

namespace le::forge::onnxb {

// ONNX tensor element types used here.
enum Elem : int32_t { kFloat = 1, kUint8 = 2, kInt8 = 3, kInt32 = 6, kInt64 = 7, kBool = 9, kFloat16 = 10 };

// A dimension: a fixed size, or a symbolic name (dim_param) when `param` is set.
struct Dim {
  int64_t size = 0;
  std::string param;
  Dim(int64_t s) : size(s) {}              // NOLINT: implicit on purpose
  Dim(const char* p) : param(p) {}         // NOLINT
  Dim(std::string p) : param(std::move(p)) {}  // NOLINT
};

struct Attr {
  std::string name;
  std::variant<int64_t, float, std::string, std::vector<int64_t>, std::vector<float>> value;
  static Attr i(std::string n, int64_t v) { return {std::move(n), v}; }
  static Attr f(std::string n, float v) { return {std::move(n), v}; }
  static Attr s(std::string n, std::string v) { return {std::move(n), std::move(v)}; }
  static Attr ints(std::string n, std::vector<int64_t> v) { return {std::move(n), std::move(v)}; }
  static Attr floats(std::string n, std::vector<float> v) { return {std::move(n), std::move(v)}; }
};

class Model {
 public:
  // opset: the default-domain version; more domains with `domain`.
  explicit Model(std::string graphName, int64_t opset = 17);
  ~Model();
  Model(const Model&) = delete;
  Model& operator=(const Model&) = delete;

  void domain(const std::string& name, int64_t version);
  void input(const std::string& name, Elem type, const std::vector<Dim>& dims);
  void output(const std::string& name, Elem type, const std::vector<Dim>& dims);
  // Initializers; each returns its name for chaining.
  std::string init(const std::string& name, const std::vector<float>& data, const std::vector<int64_t>& dims);
  std::string initI64(const std::string& name, const std::vector<int64_t>& data, const std::vector<int64_t>& dims);
  std::string initI32(const std::string& name, const std::vector<int32_t>& data, const std::vector<int64_t>& dims);
  std::string initI8(const std::string& name, const std::vector<int8_t>& data, const std::vector<int64_t>& dims);
  // A node; returns its first output name. Empty `name` gets a generated unique one.
  std::string node(const std::string& op, const std::vector<std::string>& inputs,
                   const std::vector<std::string>& outputs, const std::vector<Attr>& attrs = {},
                   const std::string& name = "", const std::string& domain = "");
  // A fresh tensor name with a readable stem ("t" -> "t_17").
  std::string fresh(const std::string& stem = "t");

  onnx::ModelProto& proto();
  onnx::GraphProto& graph();
  // The standard encoder's bytes; save() writes them to a file (throws std::runtime_error).
  std::string bytes() const;
  void save(const std::string& path) const;

 private:
  onnx::ModelProto* model_;
  int64_t counter_ = 0;
};

}  // namespace le::forge::onnxb
