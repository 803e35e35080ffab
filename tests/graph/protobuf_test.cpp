#include <gtest/gtest.h>

#include <cstring>
#include <random>
#include <stdexcept>

#include "graph/gridsample_fast.h"
#include "graph_test_util.h"

namespace {

using le::GsField;
using le::GsReader;
using le::GsSlice;
using Bytes = std::vector<uint8_t>;

std::string errorOf(const Bytes& b) {
  try {
    GsReader r(GsSlice::of(b));
    GsField f;
    while (r.next(f)) {
    }
    return "";
  } catch (const std::runtime_error& e) {
    return e.what();
  }
}

template <class M>
Bytes encode(const M& msg) {
  std::string s;
  msg.SerializeToString(&s);
  return le::test::toBytes(s);
}

TEST(GsReader, WireFormatLimits) {
  EXPECT_EQ(errorOf({}), "");
  EXPECT_EQ(errorOf({0x80}), "onnx: bad varint");        // ends inside the tag
  EXPECT_EQ(errorOf({0x08}), "onnx: bad varint");        // varint value missing
  EXPECT_EQ(errorOf({0x08, 0x80}), "onnx: bad varint");  // varint value cut
  EXPECT_EQ(errorOf({0x0a, 0x02, 'a'}), "onnx: truncated");
  EXPECT_EQ(errorOf({0x0a, 0x01, 'a'}), "");
  EXPECT_EQ(errorOf({0x0a}), "onnx: bad varint");  // length missing
  EXPECT_EQ(errorOf({0x09, 1, 2, 3, 4, 5, 6, 7}), "onnx: truncated");
  EXPECT_EQ(errorOf({0x09, 1, 2, 3, 4, 5, 6, 7, 8}), "");
  EXPECT_EQ(errorOf({0x0d, 1, 2, 3}), "onnx: truncated");
  EXPECT_EQ(errorOf({0x0d, 1, 2, 3, 4}), "");
  for (uint8_t wire : {3, 4, 6, 7}) EXPECT_EQ(errorOf({uint8_t(0x08 | wire), 0}), "onnx: bad wire type") << int(wire);
  // A length near 2^64 must not wrap the cursor.
  EXPECT_EQ(errorOf({0x0a, 0xff, 0xff, 0xff, 0xff, 0xff, 0xff, 0xff, 0xff, 0xff, 0x01, 'a'}), "onnx: truncated");

  // A length that would wrap the cursor back to the start of the slice.
  Bytes wrap{0x0a};
  le::gsPutVarint(wrap, UINT64_MAX - 10);
  ASSERT_EQ(wrap.size(), 11u);
  GsReader wr(GsSlice::of(wrap));
  GsField wf;
  EXPECT_THROW(wr.next(wf), std::runtime_error);

  // 10 varint bytes are the limit; an 11th is malformed, for tags and values alike.
  Bytes ten{0x08, 0xff, 0xff, 0xff, 0xff, 0xff, 0xff, 0xff, 0xff, 0xff, 0x01};
  GsReader r(GsSlice::of(ten));
  GsField f;
  ASSERT_TRUE(r.next(f));
  EXPECT_EQ(f.field, 1u);
  EXPECT_EQ(f.wire, 0u);
  EXPECT_EQ(f.varint, UINT64_MAX);
  EXPECT_EQ(f.raw.p, ten.data());
  EXPECT_EQ(f.raw.n, ten.size());
  EXPECT_FALSE(r.next(f));
  EXPECT_EQ(errorOf({0x08, 0x80, 0x80, 0x80, 0x80, 0x80, 0x80, 0x80, 0x80, 0x80, 0x80, 0x00}), "onnx: bad varint");
  EXPECT_EQ(errorOf({0x88, 0x80, 0x80, 0x80, 0x80, 0x80, 0x80, 0x80, 0x80, 0x80, 0x00, 0x00}), "onnx: bad varint");

  // Payload and raw extent of a length-delimited field in the middle of a message.
  Bytes msg{0x08, 0x05, 0x12, 0x03, 'a', 'b', 'c', 0x18, 0x01};
  GsReader m(GsSlice::of(msg));
  ASSERT_TRUE(m.next(f));
  ASSERT_TRUE(m.next(f));
  EXPECT_EQ(f.field, 2u);
  EXPECT_EQ(f.wire, 2u);
  EXPECT_EQ(f.payload.str(), "abc");
  EXPECT_EQ(f.raw.p, msg.data() + 2);
  EXPECT_EQ(f.raw.n, 5u);
  ASSERT_TRUE(m.next(f));
  EXPECT_EQ(f.varint, 1u);
  EXPECT_FALSE(m.next(f));
}

TEST(GsReader, GraphSummaryAndTensorHelpers) {
  const Bytes model = le::test::richModel();
  const GsSlice graph = le::gsGraphOf(model);
  ASSERT_FALSE(graph.empty());
  EXPECT_EQ(le::gsFirstStr(graph, 2), "rich");  // GraphProto.name
  EXPECT_EQ(le::gsFirstStr(graph, 99), "");

  std::vector<le::GsNodeInfo> nodes;
  std::set<std::string> inits, inputs;
  le::gsReadGraph(graph, nodes, inits, inputs);
  ASSERT_EQ(nodes.size(), 4u);
  EXPECT_EQ(nodes[0].op_type, "Constant");
  EXPECT_EQ(nodes[1].op_type, "GridSample");
  EXPECT_EQ(nodes[1].inputs, (std::vector<std::string>{"P_rgb", "grid"}));
  EXPECT_EQ(nodes[1].outputs, (std::vector<std::string>{"warped"}));
  EXPECT_EQ(nodes[3].op_type, "Mystery");
  EXPECT_EQ(inits, (std::set<std::string>{"w", "shape", "idx"}));
  EXPECT_EQ(inputs, (std::set<std::string>{"P_rgb", "grid", "extra"}));

  // A node's raw extent is the whole graph field; hcPayload opens it.
  onnx::NodeProto n;
  const GsSlice np = le::hcPayload(nodes[1].raw);
  ASSERT_TRUE(n.ParseFromArray(np.p, int(np.n)));
  EXPECT_EQ(n.name(), "gs0");
  std::vector<std::string> strs;
  le::gsAllStr(np, 1, strs);
  EXPECT_EQ(strs, (std::vector<std::string>{"P_rgb", "grid"}));

  // The Constant's tensor: packed float_data.
  const GsSlice t = le::hcConstValue(le::hcPayload(nodes[0].raw));
  std::vector<int64_t> dims;
  std::vector<float> vals;
  le::hcTensorDims(t, dims);
  EXPECT_EQ(dims, (std::vector<int64_t>{2}));
  ASSERT_TRUE(le::hcTensorFloats(t, vals));
  EXPECT_EQ(vals, (std::vector<float>{1.5f, -2.0f}));
  EXPECT_TRUE(le::hcConstValue(le::hcPayload(nodes[2].raw)).empty());

  // raw_data replaces float_data; one fixed32 per field is read too; other types refuse.
  onnx::TensorProto tp;
  tp.set_data_type(1);
  tp.add_dims(1);
  tp.add_dims(-4);
  tp.add_float_data(9.0f);
  const float raw[2] = {0.25f, 4.0f};
  tp.set_raw_data(std::string(reinterpret_cast<const char*>(raw), sizeof raw));
  Bytes tb = encode(tp);
  vals.clear();
  dims.clear();
  ASSERT_TRUE(le::hcTensorFloats(GsSlice::of(tb), vals));
  EXPECT_EQ(vals, (std::vector<float>{0.25f, 4.0f}));
  le::hcTensorDims(GsSlice::of(tb), dims);
  EXPECT_EQ(dims, (std::vector<int64_t>{1, -4}));
  Bytes unpacked{0x10, 0x01, 0x25};  // data_type 1, float_data as a single fixed32
  const float three = 3.0f;
  unpacked.resize(7);
  std::memcpy(unpacked.data() + 3, &three, 4);
  vals.clear();
  ASSERT_TRUE(le::hcTensorFloats(GsSlice::of(unpacked), vals));
  EXPECT_EQ(vals, (std::vector<float>{3.0f}));
  tp.set_data_type(7);
  tb = encode(tp);
  EXPECT_FALSE(le::hcTensorFloats(GsSlice::of(tb), vals));
  Bytes noValues{0x10, 0x01};
  EXPECT_FALSE(le::hcTensorFloats(GsSlice::of(noValues), vals));

  EXPECT_TRUE(le::gsGraphOf(Bytes{0x08, 0x08}).empty());  // ir_version only
}

TEST(GsWriter, MatchesTheStandardEncoder) {
  Bytes v;
  le::gsPutVarint(v, 0);
  le::gsPutVarint(v, 127);
  le::gsPutVarint(v, 300);
  le::gsPutVarint(v, UINT64_MAX);
  EXPECT_EQ(v, (Bytes{0x00, 0x7f, 0xac, 0x02, 0xff, 0xff, 0xff, 0xff, 0xff, 0xff, 0xff, 0xff, 0xff, 0x01}));

  // A node with every attribute kind the writers make, and an initializer.
  onnx::GraphProto ref;
  auto* n = ref.add_node();
  n->add_input("a");
  n->add_input("b");
  n->add_output("y");
  n->set_name("conv0");
  n->set_op_type("Conv");
  auto* ai = n->add_attribute();
  ai->set_name("group");
  ai->set_i(-2);
  ai->set_type(onnx::AttributeProto::INT);
  auto* ais = n->add_attribute();
  ais->set_name("pads");
  for (int64_t x : {int64_t(2), int64_t(0), int64_t(-1), int64_t(1) << 40}) ais->add_ints(x);
  ais->set_type(onnx::AttributeProto::INTS);
  auto* as = n->add_attribute();
  as->set_name("auto_pad");
  as->set_s("NOTSET");
  as->set_type(onnx::AttributeProto::STRING);
  auto* t = ref.add_initializer();
  t->add_dims(2);
  t->add_dims(1);
  t->set_data_type(1);
  t->set_name("w");
  const float w[2] = {1.0f, -0.5f};
  t->set_raw_data(std::string(reinterpret_cast<const char*>(w), sizeof w));

  Bytes attrs, mine;
  le::hcAttrI(attrs, "group", -2);
  const int64_t pads[4] = {2, 0, -1, 1LL << 40};
  le::hcAttrIs(attrs, "pads", pads, 4);
  le::hcAttrS(attrs, "auto_pad", "NOTSET");
  le::hcNode(mine, "Conv", {"a", "b"}, "y", "conv0", attrs);
  le::hcInit(mine, "w", 1, {2, 1}, w, sizeof w);
  EXPECT_EQ(mine, encode(ref));

  // Value info: positive dims as values, the rest as named parameters.
  const int64_t dims[4] = {1, 64, -1, 0};
  Bytes vi;
  le::gsPutTensorValueInfo(vi, 11, "boundary", dims, 4);
  onnx::GraphProto g;
  ASSERT_TRUE(g.ParseFromArray(vi.data(), int(vi.size())));
  ASSERT_EQ(g.input_size(), 1);
  const auto& in = g.input(0);
  EXPECT_EQ(in.name(), "boundary");
  EXPECT_EQ(in.type().tensor_type().elem_type(), 1);
  const auto& sh = in.type().tensor_type().shape();
  ASSERT_EQ(sh.dim_size(), 4);
  EXPECT_EQ(sh.dim(0).dim_value(), 1);
  EXPECT_EQ(sh.dim(1).dim_value(), 64);
  EXPECT_EQ(sh.dim(2).dim_param(), "le_hoist_d2");
  EXPECT_EQ(sh.dim(3).dim_param(), "le_hoist_d3");
  EXPECT_EQ(vi, encode(g));
  Bytes allParams;
  le::gsPutTensorValueInfo(allParams, 12, "o", nullptr, 2);
  ASSERT_TRUE(g.ParseFromArray(allParams.data(), int(allParams.size())));
  EXPECT_EQ(g.output(0).type().tensor_type().shape().dim(1).dim_param(), "le_hoist_d1");
}

TEST(GsRebuild, EmptyEditIsByteExactAndEditsApply) {
  const Bytes model = le::test::richModel();
  Bytes out;
  le::gsRebuild(model, le::GsGraphEdit{}, out);
  EXPECT_EQ(out, model);

  // Drop a node and P_rgb, declare a boundary input replacing its value_info.
  const std::vector<uint8_t> drop{0, 0, 1, 0};
  const std::string name = "sum";
  const int64_t dims[2] = {3, -1};
  le::GsGraphEdit e;
  e.dropNode = &drop;
  e.dropPrgbInput = true;
  e.valueName = &name;
  e.valueDims = dims;
  e.valueRank = 2;
  e.valueField = 11;
  le::gsRebuild(model, e, out);
  onnx::ModelProto m = le::test::parseModel(out);
  const onnx::ModelProto orig = le::test::parseModel(model);
  EXPECT_EQ(m.opset_import_size(), 2);
  EXPECT_EQ(m.doc_string(), orig.doc_string());
  ASSERT_EQ(m.graph().node_size(), 3);
  EXPECT_EQ(m.graph().node(2).name(), "myst0");
  EXPECT_EQ(m.graph().node(2).SerializeAsString(), orig.graph().node(3).SerializeAsString());
  ASSERT_EQ(m.graph().input_size(), 3);
  EXPECT_EQ(m.graph().input(0).name(), "grid");
  EXPECT_EQ(m.graph().input(2).name(), "sum");
  EXPECT_EQ(m.graph().input(2).type().tensor_type().shape().dim(1).dim_param(), "le_hoist_d1");
  EXPECT_EQ(m.graph().value_info_size(), 0);
  EXPECT_EQ(m.graph().initializer_size(), 3);
  EXPECT_EQ(m.graph().output_size(), 1);

  le::GsGraphEdit only;
  only.onlyPrgbInput = true;
  only.dropOutputs = true;
  le::gsRebuild(model, only, out);
  m = le::test::parseModel(out);
  ASSERT_EQ(m.graph().input_size(), 1);
  EXPECT_EQ(m.graph().input(0).name(), "P_rgb");
  EXPECT_EQ(m.graph().output_size(), 0);
  EXPECT_EQ(m.graph().node_size(), 4);
  only.dropPrgbInput = true;
  le::gsRebuild(model, only, out);
  EXPECT_EQ(le::test::parseModel(out).graph().input_size(), 0);

  // The general hooks: a node replaced in place, an initializer appended, a domain imported once.
  std::vector<Bytes> replace(2);
  Bytes noAttrs, init;
  le::hcNode(replace[1], "Identity", {"P_rgb"}, "warped", "id0", noAttrs);
  const float v = 2.0f;
  le::hcInit(init, "two", 1, {1}, &v, 4);
  const std::string dom = "com.example", dom2 = "com.other";
  le::GsGraphEdit h;
  h.replaceNode = &replace;
  h.appendGraph = &init;
  h.importDomain = &dom;
  le::gsRebuild(model, h, out);
  m = le::test::parseModel(out);
  EXPECT_EQ(m.opset_import_size(), 2);
  EXPECT_EQ(m.graph().node(1).op_type(), "Identity");
  EXPECT_EQ(m.graph().node(2).op_type(), "Add");
  EXPECT_EQ(m.graph().initializer(3).name(), "two");
  h.importDomain = &dom2;
  h.importVersion = 5;
  le::gsRebuild(model, h, out);
  m = le::test::parseModel(out);
  ASSERT_EQ(m.opset_import_size(), 3);
  EXPECT_EQ(m.opset_import(2).domain(), "com.other");
  EXPECT_EQ(m.opset_import(2).version(), 5);
}

// Every operation on hostile bytes either succeeds or fails with a reader error.
void exerciseAll(const Bytes& b) {
  try {
    const GsSlice g = le::gsGraphOf(b);
    std::vector<le::GsNodeInfo> nodes;
    std::set<std::string> inits, inputs;
    le::gsReadGraph(g, nodes, inits, inputs);
    for (const auto& n : nodes) {
      const GsSlice p = le::hcPayload(n.raw);
      (void)le::gsIsRewritableGridSample(p);
      const GsSlice t = le::hcConstValue(p);
      std::vector<int64_t> dims;
      std::vector<float> vals;
      le::hcTensorDims(t, dims);
      (void)le::hcTensorFloats(t, vals);
    }
  } catch (const std::runtime_error& e) {
    const std::string w = e.what();
    EXPECT_TRUE(w == "onnx: bad varint" || w == "onnx: truncated" || w == "onnx: bad wire type") << w;
  }
  for (int step = 0; step < 3; ++step) {
    try {
      Bytes copy = b, out;
      if (step == 0) (void)le::graphHasBakedGridSampleFast(copy);
      if (step == 1) (void)le::rewriteGridSampleToFast(copy);
      if (step == 2) le::gsRebuild(copy, le::GsGraphEdit{}, out);
    } catch (const std::runtime_error& e) {
      const std::string w = e.what();
      EXPECT_TRUE(w == "onnx: bad varint" || w == "onnx: truncated" || w == "onnx: bad wire type") << w;
    }
  }
}

TEST(GsReader, TruncatedAndCorruptedModelsNeverCrash) {
  const Bytes model = le::test::richModel();
  int threw = 0;
  for (size_t k = 0; k < model.size(); ++k) {
    const Bytes cut(model.begin(), model.begin() + std::ptrdiff_t(k));  // exactly sized: overreads show
    exerciseAll(cut);
    try {
      Bytes c = cut;
      le::rewriteGridSampleToFast(c);
    } catch (const std::runtime_error&) {
      ++threw;
    }
  }
  EXPECT_GT(threw, 0);  // cutting inside the graph is noticed, not silently accepted
  std::mt19937 rng(7);
  for (int i = 0; i < 400; ++i) {
    Bytes bad = model;
    for (int k = 0; k < 3; ++k) bad[rng() % bad.size()] = uint8_t(rng());
    exerciseAll(bad);
  }
  // Deeply nested length-delimited fields are walked without recursion.
  Bytes nested{0x08, 0x01};
  for (int i = 0; i < 2000; ++i) {
    Bytes outer;
    le::gsPutBytes(outer, 7, nested.data(), nested.size());
    nested.swap(outer);
  }
  exerciseAll(nested);
}

}  // namespace
