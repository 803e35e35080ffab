#include "forge/forge_onnx.h"

#include <onnx/onnx_pb.h>

#include <stdexcept>

#include "forge/forge_internal.h"

namespace le::forge::onnxb {

namespace {

void setShape(onnx::ValueInfoProto* vi, Elem type, const std::vector<Dim>& dims) {
  auto* tt = vi->mutable_type()->mutable_tensor_type();
  tt->set_elem_type(type);
  auto* shape = tt->mutable_shape();
  for (const Dim& d : dims) {
    auto* dim = shape->add_dim();
    if (d.param.empty())
      dim->set_dim_value(d.size);
    else
      dim->set_dim_param(d.param);
  }
}

onnx::TensorProto* newInit(onnx::GraphProto& g, const std::string& name, Elem type, const std::vector<int64_t>& dims) {
  auto* t = g.add_initializer();
  t->set_name(name);
  t->set_data_type(type);
  for (int64_t d : dims) t->add_dims(d);
  return t;
}

size_t count(const std::vector<int64_t>& dims) {
  size_t n = 1;
  for (int64_t d : dims) n *= size_t(d);
  return n;
}

}  // namespace

Model::Model(std::string graphName, int64_t opset) : model_(new onnx::ModelProto) {
  model_->set_ir_version(8);
  model_->set_producer_name("le-forge");
  auto* op = model_->add_opset_import();
  op->set_domain("");
  op->set_version(opset);
  model_->mutable_graph()->set_name(std::move(graphName));
}

Model::~Model() { delete model_; }

void Model::domain(const std::string& name, int64_t version) {
  auto* op = model_->add_opset_import();
  op->set_domain(name);
  op->set_version(version);
}

void Model::input(const std::string& name, Elem type, const std::vector<Dim>& dims) {
  auto* vi = model_->mutable_graph()->add_input();
  vi->set_name(name);
  setShape(vi, type, dims);
}

void Model::output(const std::string& name, Elem type, const std::vector<Dim>& dims) {
  auto* vi = model_->mutable_graph()->add_output();
  vi->set_name(name);
  setShape(vi, type, dims);
}

std::string Model::init(const std::string& name, const std::vector<float>& data, const std::vector<int64_t>& dims) {
  if (data.size() != count(dims)) throw std::runtime_error("forge onnx: initializer " + name + " has the wrong size");
  auto* t = newInit(*model_->mutable_graph(), name, kFloat, dims);
  t->set_raw_data(std::string(reinterpret_cast<const char*>(data.data()), data.size() * sizeof(float)));
  return name;
}

std::string Model::initI64(const std::string& name, const std::vector<int64_t>& data, const std::vector<int64_t>& dims) {
  if (data.size() != count(dims)) throw std::runtime_error("forge onnx: initializer " + name + " has the wrong size");
  auto* t = newInit(*model_->mutable_graph(), name, kInt64, dims);
  t->set_raw_data(std::string(reinterpret_cast<const char*>(data.data()), data.size() * sizeof(int64_t)));
  return name;
}

std::string Model::initI32(const std::string& name, const std::vector<int32_t>& data, const std::vector<int64_t>& dims) {
  if (data.size() != count(dims)) throw std::runtime_error("forge onnx: initializer " + name + " has the wrong size");
  auto* t = newInit(*model_->mutable_graph(), name, kInt32, dims);
  t->set_raw_data(std::string(reinterpret_cast<const char*>(data.data()), data.size() * sizeof(int32_t)));
  return name;
}

std::string Model::initI8(const std::string& name, const std::vector<int8_t>& data, const std::vector<int64_t>& dims) {
  if (data.size() != count(dims)) throw std::runtime_error("forge onnx: initializer " + name + " has the wrong size");
  auto* t = newInit(*model_->mutable_graph(), name, kInt8, dims);
  t->set_raw_data(std::string(reinterpret_cast<const char*>(data.data()), data.size()));
  return name;
}

std::string Model::node(const std::string& op, const std::vector<std::string>& inputs,
                        const std::vector<std::string>& outputs, const std::vector<Attr>& attrs,
                        const std::string& name, const std::string& domain) {
  if (outputs.empty()) throw std::runtime_error("forge onnx: node " + op + " without outputs");
  auto* n = model_->mutable_graph()->add_node();
  n->set_op_type(op);
  n->set_name(name.empty() ? fresh("/" + op) : name);
  if (!domain.empty()) n->set_domain(domain);
  for (const auto& i : inputs) n->add_input(i);
  for (const auto& o : outputs) n->add_output(o);
  for (const Attr& a : attrs) {
    auto* ap = n->add_attribute();
    ap->set_name(a.name);
    if (auto* v = std::get_if<int64_t>(&a.value)) {
      ap->set_type(onnx::AttributeProto::INT);
      ap->set_i(*v);
    } else if (auto* fv = std::get_if<float>(&a.value)) {
      ap->set_type(onnx::AttributeProto::FLOAT);
      ap->set_f(*fv);
    } else if (auto* sv = std::get_if<std::string>(&a.value)) {
      ap->set_type(onnx::AttributeProto::STRING);
      ap->set_s(*sv);
    } else if (auto* iv = std::get_if<std::vector<int64_t>>(&a.value)) {
      ap->set_type(onnx::AttributeProto::INTS);
      for (int64_t x : *iv) ap->add_ints(x);
    } else if (auto* fl = std::get_if<std::vector<float>>(&a.value)) {
      ap->set_type(onnx::AttributeProto::FLOATS);
      for (float x : *fl) ap->add_floats(x);
    }
  }
  return outputs.front();
}

std::string Model::fresh(const std::string& stem) { return stem + "_" + std::to_string(++counter_); }

onnx::ModelProto& Model::proto() { return *model_; }
onnx::GraphProto& Model::graph() { return *model_->mutable_graph(); }

std::string Model::bytes() const {
  std::string out;
  if (!model_->SerializeToString(&out)) throw std::runtime_error("forge onnx: cannot encode the model");
  return out;
}

void Model::save(const std::string& path) const {
  const std::string b = bytes();
  detail::writeFile(path, b.data(), b.size(), "forge onnx");
}

}  // namespace le::forge::onnxb
