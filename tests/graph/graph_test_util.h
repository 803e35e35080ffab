// Forged models shared by the graph tests.
#pragma once

#include <onnx/onnx_pb.h>

#include <cstdint>
#include <string>
#include <vector>

#include "forge/forge_onnx.h"
#include "support/director.h"

namespace le::test {

inline std::vector<uint8_t> toBytes(const std::string& s) { return std::vector<uint8_t>(s.begin(), s.end()); }

inline onnx::ModelProto parseModel(const std::vector<uint8_t>& b) {
  onnx::ModelProto m;
  if (!m.ParseFromArray(b.data(), int(b.size()))) throw std::runtime_error("test: model does not parse");
  return m;
}

// A model with a bit of everything: several opset imports, initializers of
// three element types, attributes of every kind (including a tensor), value
// infos, symbolic and fixed dimensions, and one rewritable GridSample.
inline std::vector<uint8_t> richModel() {
  namespace ob = le::forge::onnxb;
  ob::Model m("rich", 17);
  m.domain("com.example", 3);
  m.proto().set_doc_string("forged for the reader tests");
  auto* meta = m.proto().add_metadata_props();
  meta->set_key("k");
  meta->set_value("v");
  m.input("P_rgb", ob::kFloat, {1, 3, 8, 8});
  m.input("grid", ob::kFloat, {"n", 8, 8, 2});
  m.input("extra", ob::kFloat, {1, 3, 8, 8});
  m.init("w", {0.5f, -1.25f, 3.0f}, {3});
  m.initI64("shape", {1, -1}, {2});
  m.initI32("idx", {7}, {1});
  auto* c = m.graph().add_node();
  c->set_op_type("Constant");
  c->set_name("const0");
  c->add_output("cst");
  auto* a = c->add_attribute();
  a->set_name("value");
  a->set_type(onnx::AttributeProto::TENSOR);
  auto* t = a->mutable_t();
  t->set_data_type(1);
  t->add_dims(2);
  t->add_float_data(1.5f);
  t->add_float_data(-2.0f);
  m.node("GridSample", {"P_rgb", "grid"}, {"warped"},
         {ob::Attr::s("mode", "bilinear"), ob::Attr::s("padding_mode", "border"), ob::Attr::i("align_corners", 0)},
         "gs0");
  m.node("Add", {"warped", "extra"}, {"sum"}, {}, "add0");
  m.node("Mystery", {"sum"}, {"out"},
         {ob::Attr::i("i", -3), ob::Attr::f("f", 0.25f), ob::Attr::s("s", "txt"), ob::Attr::ints("is", {1, -2, 300}),
          ob::Attr::floats("fs", {0.5f, 1e9f})},
         "myst0", "com.example");
  auto* vi = m.graph().add_value_info();
  vi->set_name("sum");
  vi->mutable_type()->mutable_tensor_type()->set_elem_type(1);
  m.output("out", ob::kFloat, {1, 3, 8, 8});
  return toBytes(m.bytes());
}

}  // namespace le::test
