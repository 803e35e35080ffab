// The forged directors: run each with ONNX Runtime directly, and check the graph
// shapes that the load-time rewrites look for.
#include <gtest/gtest.h>
#include <onnx/onnx_pb.h>
#include <onnxruntime_cxx_api.h>

#include <algorithm>
#include <cmath>
#include <functional>
#include <map>
#include <set>
#include <utility>

#include "compose/le_simd.h"
#include "forge/forge.h"
#include "ops/int8conv_vnni.h"
#include "support/files.h"
#include "support/ort.h"
#include "support/tmpdir.h"

namespace {

using le::forge::BundleSpec;
using le::forge::DirectorOptions;

Ort::Session open(const std::string& bytes) {
  Ort::SessionOptions so;
  so.SetIntraOpNumThreads(1);
  le::registerInt8ConvVNNI(so);  // the mouth blur is the library's int8 node
  return Ort::Session(le::test::ortEnv(), bytes.data(), bytes.size(), so);
}

std::vector<float> halves(const std::vector<uint16_t>& h) {
  std::vector<float> f(h.size());
  le::simd::f16ToF32(h.data(), f.data(), h.size());
  return f;
}

// One run: slot j renders source frame si[j] with keypoints ks[j] / kd[j] (63 floats each).
std::vector<float> render(const std::string& bytes, const BundleSpec& spec, const std::vector<int>& si,
                          const std::vector<std::vector<float>>& ks, const std::vector<std::vector<float>>& kd,
                          bool featSynth = false) {
  const int64_t B = int64_t(si.size()), S = spec.crop;
  std::vector<float> pooled, prior, kdv, ksv;
  for (int64_t j = 0; j < B; ++j) {
    auto p = halves(le::forge::pooledFeatures(spec, si[j]));
    pooled.insert(pooled.end(), p.begin(), p.end());
    auto s = halves(featSynth ? le::forge::fsRedFeatures(spec, si[j]) : le::forge::sourceFrame(spec, si[j]));
    prior.insert(prior.end(), s.begin(), s.end());
    ksv.insert(ksv.end(), ks[j].begin(), ks[j].end());
    kdv.insert(kdv.end(), kd[j].begin(), kd[j].end());
  }
  const auto mem = Ort::MemoryInfo::CreateCpu(OrtArenaAllocator, OrtMemTypeDefault);
  const std::vector<int64_t> sp{B, 64, 32, 32}, sk{B, 21, 3},
      sx = featSynth ? std::vector<int64_t>{B, 64, 64, 64} : std::vector<int64_t>{B, 3, S, S};
  std::vector<Ort::Value> in;
  in.push_back(Ort::Value::CreateTensor<float>(mem, pooled.data(), pooled.size(), sp.data(), 4));
  in.push_back(Ort::Value::CreateTensor<float>(mem, prior.data(), prior.size(), sx.data(), 4));
  in.push_back(Ort::Value::CreateTensor<float>(mem, kdv.data(), kdv.size(), sk.data(), 3));
  in.push_back(Ort::Value::CreateTensor<float>(mem, ksv.data(), ksv.size(), sk.data(), 3));
  const char* names[] = {featSynth ? "pooled" : "pooled64", featSynth ? "fs_red" : "P_rgb",
                         featSynth ? "kd" : "kp_driving", featSynth ? "ks" : "kp_source"};
  const char* outName = "rgb";
  Ort::Session s = open(bytes);
  auto out = s.Run(Ort::RunOptions{nullptr}, names, in.data(), 4, &outName, 1);
  EXPECT_EQ(out[0].GetTensorTypeAndShapeInfo().GetShape(), (std::vector<int64_t>{B, 3, S, S}));
  const float* o = out[0].GetTensorData<float>();
  return std::vector<float>(o, o + B * 3 * S * S);
}

std::vector<float> kpOf(const std::vector<float>& table, int i) {
  return std::vector<float>(table.begin() + i * 63, table.begin() + i * 63 + 63);
}

float maxDiff(const float* a, const float* b, size_t n) {
  float m = 0;
  for (size_t i = 0; i < n; ++i) m = std::max(m, std::fabs(a[i] - b[i]));
  return m;
}

BundleSpec small() {
  BundleSpec s;
  s.crop = 48;
  s.nt = 4;
  s.seed = 7;
  return s;
}

TEST(ForgeDirector, EqualKeypointsReproduceTheSourceFramePerBatchSlot) {
  const BundleSpec spec = small();
  const size_t n = 3 * size_t(spec.crop) * spec.crop;
  const auto kp = le::forge::targetKeypoints(spec);
  // The bias is there and differs between frames, so the reference is not the bare source.
  const auto b0 = le::forge::directorColourBias(spec, 0), b1 = le::forge::directorColourBias(spec, 1);
  EXPECT_GT(std::fabs(b0[0] - b1[0]) + std::fabs(b0[1] - b1[1]) + std::fabs(b0[2] - b1[2]), 1e-3);

  const auto one = render(le::forge::directorBytes(spec), spec, {2}, {kpOf(kp, 2)}, {kpOf(kp, 2)});
  EXPECT_LT(maxDiff(one.data(), le::forge::directorIdentityCrop(spec, 2).data(), n), 1e-3f);

  DirectorOptions b4;
  b4.batch = 4;
  const std::vector<int> si{3, 0, 1, 2};
  std::vector<std::vector<float>> k;
  for (int i : si) k.push_back(kpOf(kp, i));
  const auto four = render(le::forge::directorBytes(spec, b4), spec, si, k, k);
  for (int j = 0; j < 4; ++j)
    EXPECT_LT(maxDiff(four.data() + j * n, le::forge::directorIdentityCrop(spec, si[j]).data(), n), 1e-3f) << j;

  // The steady-chunk key: batch 24, legacy blend (same numbers through the MatMul).
  BundleSpec legacy = spec;
  legacy.directorLegacyBlend = true;
  const DirectorOptions b24 = le::forge::directorOptionsForKey(legacy, "b24_fp32");
  ASSERT_EQ(b24.batch, 24);
  std::vector<int> si24(24);
  std::vector<std::vector<float>> k24;
  for (int j = 0; j < 24; ++j) si24[j] = j % spec.nt, k24.push_back(kpOf(kp, j % spec.nt));
  const auto many = render(le::forge::directorBytes(legacy, b24), legacy, si24, k24, k24);
  for (int j : {0, 13, 23})
    EXPECT_LT(maxDiff(many.data() + j * n, le::forge::directorIdentityCrop(spec, si24[j]).data(), n), 1e-3f) << j;
}

TEST(ForgeDirector, OpeningTheLipsMovesTheMouthAndNotTheCorners) {
  const BundleSpec spec = small();
  const int S = spec.crop;
  const size_t plane = size_t(S) * S;
  const auto kp = le::forge::targetKeypoints(spec);
  const auto ks = kpOf(kp, 1);
  auto kd = ks;
  kd[15 * 3 + 1] += 0.05f;   // lower lip down
  kd[13 * 3 + 1] -= 0.01f;   // upper lip up
  for (int c : {17, 18, 19}) kd[c * 3 + 1] += 0.04f;
  const std::string model = le::forge::directorBytes(spec);
  const auto base = render(model, spec, {1}, {ks}, {ks});
  const auto open = render(model, spec, {1}, {ks}, {kd});

  auto px = [&](float u) { return int(std::lround((u + 1) * 0.5 * (S - 1))); };
  const int mx = px(0.5f * (ks[13 * 3] + ks[15 * 3])), my = px(0.5f * (ks[13 * 3 + 1] + ks[15 * 3 + 1]));
  float mouthChange = 0, cornerChange = 0;
  double lumBase = 0, lumOpen = 0;
  for (int c = 0; c < 3; ++c)
    for (int y = 0; y < S; ++y)
      for (int x = 0; x < S; ++x) {
        const size_t i = c * plane + size_t(y) * S + x;
        const float d = std::fabs(open[i] - base[i]);
        if (std::abs(x - mx) <= S / 8 && std::abs(y - my) <= S / 8) mouthChange = std::max(mouthChange, d);
        if ((x < 4 || x >= S - 4) && (y < 4 || y >= S - 4)) cornerChange = std::max(cornerChange, d);
        if (std::abs(x - mx) <= 1 && std::abs(y - my) <= 1) lumBase += base[i], lumOpen += open[i];
      }
  EXPECT_GT(mouthChange, 0.05f);
  EXPECT_LT(cornerChange, 1e-3f);
  EXPECT_LT(lumOpen, lumBase - 0.1);  // the parted lips show a darker interior
  for (float v : open) ASSERT_TRUE(v >= 0.f && v <= 1.f);

  // Each batch slot follows its own keypoints: an open slot beside a closed one.
  DirectorOptions b4;
  b4.batch = 4;
  const auto four = render(le::forge::directorBytes(spec, b4), spec, {1, 1, 1, 1}, {ks, ks, ks, ks}, {ks, kd, ks, kd});
  EXPECT_LT(maxDiff(four.data(), base.data(), 3 * plane), 1e-5f);
  EXPECT_LT(maxDiff(four.data() + 3 * plane, open.data(), 3 * plane), 1e-5f);
}

TEST(ForgeDirector, FeatSynthVariantRunsOnItsOwnInputs) {
  BundleSpec spec = small();
  spec.prior = le::forge::Prior::FeatSynth;
  const DirectorOptions o = le::forge::directorOptionsForKey(spec, "b1");
  ASSERT_TRUE(o.featSynth);
  const auto kp = le::forge::targetKeypoints(spec);
  const std::string model = le::forge::directorBytes(spec, o);
  const auto a = render(model, spec, {0}, {kpOf(kp, 0)}, {kpOf(kp, 0)}, true);
  const auto b = render(model, spec, {1}, {kpOf(kp, 0)}, {kpOf(kp, 0)}, true);
  for (float v : a) ASSERT_TRUE(v >= 0.f && v <= 1.f);
  EXPECT_GT(maxDiff(a.data(), b.data(), a.size()), 1e-2f);  // the features drive the picture
}

// The cubic sample the warp block must equal, written from its definition: bilinear
// taps of the image and its edge-replicated second differences, recombined with the
// curvature weights of the unclamped position.
std::vector<float> cubicWarp(const std::vector<float>& P, const float* grid, int S) {
  auto at = [&](int c, int i, int j) {
    return P[size_t(c) * S * S + size_t(std::clamp(i, 0, S - 1)) * S + std::clamp(j, 0, S - 1)];
  };
  auto dyy = [&](int c, int i, int j) { return at(c, i - 1, j) - 2 * at(c, i, j) + at(c, i + 1, j); };
  std::vector<float> out(3 * size_t(S) * S);
  for (int p = 0; p < S * S; ++p) {
    const double x = ((grid[2 * p] + 1.0) * S - 1) * 0.5, y = ((grid[2 * p + 1] + 1.0) * S - 1) * 0.5;
    const double tx = x - std::floor(x), ty = y - std::floor(y), ex = (1 - tx) * tx * 0.5, ey = (1 - ty) * ty * 0.5;
    const double xc = std::clamp(x, 0.0, S - 1.0), yc = std::clamp(y, 0.0, S - 1.0);
    const int x0 = int(xc), y0 = int(yc), x1 = std::min(x0 + 1, S - 1), y1 = std::min(y0 + 1, S - 1);
    const double fx = xc - x0, fy = yc - y0;
    const int ti[4] = {y0, y0, y1, y1}, tj[4] = {x0, x1, x0, x1};
    const double w[4] = {(1 - fx) * (1 - fy), fx * (1 - fy), (1 - fx) * fy, fx * fy};
    for (int c = 0; c < 3; ++c) {
      double s0 = 0, sx = 0, sy = 0, sxy = 0;
      for (int k = 0; k < 4; ++k) {
        const int i = ti[k], j = tj[k];
        s0 += w[k] * at(c, i, j);
        sx += w[k] * (at(c, i, j - 1) - 2 * at(c, i, j) + at(c, i, j + 1));
        sy += w[k] * dyy(c, i, j);
        sxy += w[k] * (dyy(c, i, j - 1) - 2 * dyy(c, i, j) + dyy(c, i, j + 1));
      }
      out[size_t(c) * S * S + p] = float(ex * ey * sxy + ((s0 - sx * ex) - sy * ey));
    }
  }
  return out;
}

TEST(ForgeDirector, WarpBlockIsTheCubicSampleOfItsGrid) {
  const BundleSpec spec = small();
  const int S = spec.crop;
  onnx::ModelProto m;
  ASSERT_TRUE(m.ParseFromString(le::forge::directorBytes(spec)));
  for (const char* name : {"warp_grid", "warp_out"}) m.mutable_graph()->add_output()->set_name(name);
  const std::string bytes = m.SerializeAsString();

  const auto kp = le::forge::targetKeypoints(spec);
  const auto ks = kpOf(kp, 0);
  auto kd = ks;
  kd[15 * 3 + 1] += 0.06f, kd[11 * 3] += 0.05f, kd[3] -= 0.04f;  // lip, nose and brow move apart
  const auto P = halves(le::forge::sourceFrame(spec, 0));
  std::vector<float> pooled = halves(le::forge::pooledFeatures(spec, 0));
  const auto mem = Ort::MemoryInfo::CreateCpu(OrtArenaAllocator, OrtMemTypeDefault);
  const std::vector<int64_t> sp{1, 64, 32, 32}, sx{1, 3, S, S}, sk{1, 21, 3};
  std::vector<float> pv = P;
  std::vector<Ort::Value> in;
  in.push_back(Ort::Value::CreateTensor<float>(mem, pooled.data(), pooled.size(), sp.data(), 4));
  in.push_back(Ort::Value::CreateTensor<float>(mem, pv.data(), pv.size(), sx.data(), 4));
  in.push_back(Ort::Value::CreateTensor<float>(mem, kd.data(), 63, sk.data(), 3));
  in.push_back(Ort::Value::CreateTensor<float>(mem, const_cast<float*>(ks.data()), 63, sk.data(), 3));
  const char* names[] = {"pooled64", "P_rgb", "kp_driving", "kp_source"};
  const char* outs[] = {"warp_grid", "warp_out"};
  Ort::Session s = open(bytes);
  auto out = s.Run(Ort::RunOptions{nullptr}, names, in.data(), 4, outs, 2);
  const float* grid = out[0].GetTensorData<float>();
  const float* warp = out[1].GetTensorData<float>();
  const auto want = cubicWarp(P, grid, S);
  EXPECT_LT(maxDiff(warp, want.data(), want.size()), 1e-4f);
  // The flow is not trivial: some pixels sample half a pixel or more away from themselves.
  float moved = 0;
  for (int p = 0; p < S * S; ++p) {
    const float gx0 = (2.f * float(p % S) + 1.f) / float(S) - 1.f;
    moved = std::max(moved, std::fabs(grid[2 * p] - gx0) * S / 2);
  }
  EXPECT_GT(moved, 0.5f);
}

// ---- structure ----

onnx::ModelProto parse(const std::string& bytes) {
  onnx::ModelProto m;
  EXPECT_TRUE(m.ParseFromString(bytes));
  return m;
}
bool reads(const onnx::NodeProto& n, const std::string& t) {
  return std::find(n.input().begin(), n.input().end(), t) != n.input().end();
}
std::string attrS(const onnx::NodeProto& n, const std::string& name) {
  for (const auto& a : n.attribute())
    if (a.name() == name) return a.s();
  return "<absent>";
}
const onnx::NodeProto* producer(const onnx::GraphProto& g, const std::string& t) {
  for (const auto& n : g.node())
    for (const auto& o : n.output())
      if (o == t) return &n;
  return nullptr;
}
bool isInit(const onnx::GraphProto& g, const std::string& t) {
  for (const auto& i : g.initializer())
    if (i.name() == t) return true;
  return false;
}

TEST(ForgeDirector, GraphCarriesTheShapesTheRewritesLookFor) {
  const BundleSpec spec = small();
  DirectorOptions legacy;
  legacy.legacyBlend = true;
  const onnx::ModelProto m = parse(le::forge::directorBytes(spec, legacy));
  const onnx::GraphProto& g = m.graph();

  // Source cone: one Concat reads P_rgb; every other reader of P_rgb feeds that Concat.
  std::vector<const onnx::NodeProto*> concats;
  for (const auto& n : g.node())
    if (n.op_type() == "Concat" && reads(n, "P_rgb")) concats.push_back(&n);
  ASSERT_EQ(concats.size(), 1u);
  const std::string tip = concats[0]->output(0);
  std::set<const onnx::NodeProto*> cone;
  std::function<void(const std::string&)> walk = [&](const std::string& t) {
    const onnx::NodeProto* p = producer(g, t);
    if (!p || p->op_type() == "Constant" || !cone.insert(p).second) return;
    for (const auto& i : p->input()) walk(i);
  };
  walk(tip);
  for (const auto& n : g.node()) {
    if (reads(n, "P_rgb")) {
      EXPECT_TRUE(cone.count(&n)) << n.op_type() << " reads P_rgb outside the cone";
    }
    if (cone.count(&n)) continue;
    for (const auto* c : cone)
      for (const auto& o : c->output()) {
        if (o != tip) {
          EXPECT_FALSE(reads(n, o)) << "cone value " << o << " escapes to " << n.op_type();
        }
      }
  }

  // Two GridSamples, both bilinear / border / align_corners 0; one samples the tip.
  int gridSamples = 0;
  const onnx::NodeProto* warp = nullptr;
  for (const auto& n : g.node()) {
    if (n.op_type() != "GridSample") continue;
    ++gridSamples;
    EXPECT_EQ(attrS(n, "mode"), "bilinear");
    EXPECT_EQ(attrS(n, "padding_mode"), "border");
    for (const auto& a : n.attribute()) {
      if (a.name() == "align_corners") {
        EXPECT_EQ(a.i(), 0);
      }
    }
    if (n.input(0) == tip) {
      EXPECT_EQ(std::exchange(warp, &n), nullptr);
    }
  }
  EXPECT_EQ(gridSamples, 2);
  ASSERT_NE(warp, nullptr);

  // The block: Slices of the sample, closed over Mul/Sub/Add readers, leaves by one tensor.
  std::set<const onnx::NodeProto*> block{warp};
  std::set<std::string> set;
  for (const auto& n : g.node())
    if (n.op_type() == "Slice" && reads(n, warp->output(0))) block.insert(&n), set.insert(n.output(0));
  for (bool grew = true; grew;) {
    grew = false;
    for (const auto& n : g.node()) {
      if (block.count(&n) || (n.op_type() != "Mul" && n.op_type() != "Sub" && n.op_type() != "Add")) continue;
      if (std::any_of(n.input().begin(), n.input().end(), [&](const std::string& i) { return set.count(i) > 0; }))
        block.insert(&n), set.insert(n.output(0)), grew = true;
    }
  }
  EXPECT_EQ(block.size(), 11u);  // GridSample, 4 Slices, 3 Mul, 2 Sub, 1 Add
  std::set<std::string> exits;
  for (const auto& n : g.node())
    if (!block.count(&n))
      for (const auto& i : n.input())
        if (set.count(i)) exits.insert(i);
  EXPECT_EQ(exits.size(), 1u);

  // The head: one cubic Resize, half_pixel, scales [1,1,2,2], fed by a Conv with constant weights.
  int resizes = 0;
  for (const auto& n : g.node()) {
    if (n.op_type() != "Resize" || attrS(n, "mode") != "cubic") continue;
    ++resizes;
    EXPECT_EQ(attrS(n, "coordinate_transformation_mode"), "half_pixel");
    ASSERT_EQ(n.input_size(), 3);
    EXPECT_EQ(n.input(1), "");
    for (const auto& i : g.initializer())
      if (i.name() == n.input(2)) {
        ASSERT_EQ(i.raw_data().size(), 16u);
        const float* f = reinterpret_cast<const float*>(i.raw_data().data());
        EXPECT_EQ(std::vector<float>(f, f + 4), (std::vector<float>{1, 1, 2, 2}));
      }
    const onnx::NodeProto* conv = producer(g, n.input(0));
    ASSERT_NE(conv, nullptr);
    EXPECT_EQ(conv->op_type(), "Conv");
    EXPECT_TRUE(isInit(g, conv->input(1)));
  }
  EXPECT_EQ(resizes, 1);

  // Compose tail: rgb = Mul(alpha, .) + Mul(Sub(Constant 1.0, alpha), .), alpha from a Clip read twice.
  const onnx::NodeProto* tail = producer(g, "rgb");
  ASSERT_NE(tail, nullptr);
  EXPECT_EQ(tail->op_type(), "Add");
  const onnx::NodeProto* ma = producer(g, tail->input(0));
  const onnx::NodeProto* mb = producer(g, tail->input(1));
  ASSERT_TRUE(ma && mb);
  ASSERT_EQ(ma->op_type(), "Mul");
  ASSERT_EQ(mb->op_type(), "Mul");
  const std::string alpha = ma->input(0);
  EXPECT_EQ(producer(g, alpha)->op_type(), "Clip");
  const onnx::NodeProto* rest = producer(g, mb->input(0));
  ASSERT_EQ(rest->op_type(), "Sub");
  EXPECT_EQ(rest->input(1), alpha);
  const onnx::NodeProto* one = producer(g, rest->input(0));
  ASSERT_EQ(one->op_type(), "Constant");
  ASSERT_EQ(one->attribute(0).t().raw_data().size(), 4u);
  EXPECT_EQ(*reinterpret_cast<const float*>(one->attribute(0).t().raw_data().data()), 1.0f);
  EXPECT_EQ(std::count_if(g.node().begin(), g.node().end(), [&](const auto& n) { return reads(n, alpha); }), 2);

  // The blend: a plain two-input MatMul "/s2/blend" in the legacy variant, a Gemm otherwise.
  auto blend = [](const onnx::GraphProto& gr) {
    const onnx::NodeProto* b = nullptr;
    for (const auto& n : gr.node()) {
      if (n.name() == "/s2/blend") {
        EXPECT_EQ(std::exchange(b, &n), nullptr);
      }
    }
    return b;
  };
  const onnx::NodeProto* lb = blend(g);
  ASSERT_NE(lb, nullptr);
  EXPECT_EQ(lb->op_type(), "MatMul");
  EXPECT_EQ(lb->input_size(), 2);
  EXPECT_EQ(lb->attribute_size(), 0);
  std::function<bool(const std::string&)> fromPooled = [&](const std::string& t) {
    const onnx::NodeProto* p = producer(g, t);
    return p && (reads(*p, "pooled64") || std::any_of(p->input().begin(), p->input().end(), fromPooled));
  };
  EXPECT_TRUE(fromPooled(lb->input(0)));
  EXPECT_FALSE(fromPooled(lb->input(1)));
  const onnx::ModelProto cur = parse(le::forge::directorBytes(spec));
  ASSERT_NE(blend(cur.graph()), nullptr);
  EXPECT_EQ(blend(cur.graph())->op_type(), "Gemm");
}

TEST(ForgeDirector, ContractBreakingVariantsDeclareWhatTheyShould) {
  const BundleSpec spec = small();
  auto shapeOf = [](Ort::Session& s, const std::string& name) {
    Ort::AllocatorWithDefaultOptions al;
    for (size_t i = 0; i < s.GetInputCount(); ++i)
      if (s.GetInputNameAllocated(i, al).get() == name)
        return s.GetInputTypeInfo(i).GetTensorTypeAndShapeInfo().GetShape();
    return std::vector<int64_t>{};
  };
  for (int rows : {22, 20}) {
    DirectorOptions o;
    o.kpRows = rows;
    Ort::Session s = open(le::forge::directorBytes(spec, o));  // loads: the refusal is the host's
    EXPECT_EQ(shapeOf(s, "kp_driving"), (std::vector<int64_t>{1, rows, 3}));
    EXPECT_EQ(shapeOf(s, "kp_source"), (std::vector<int64_t>{1, rows, 3}));
  }
  DirectorOptions symRows;
  symRows.symbolicKpRows = true;
  const onnx::ModelProto mr = parse(le::forge::directorBytes(spec, symRows));
  for (const auto& in : mr.graph().input()) {
    if (in.name() == "kp_driving") {
      EXPECT_EQ(in.type().tensor_type().shape().dim(1).dim_param(), "kp_rows");
    }
  }
  Ort::Session sr = open(mr.SerializeAsString());
  EXPECT_EQ(shapeOf(sr, "kp_driving"), (std::vector<int64_t>{1, -1, 3}));

  DirectorOptions symBatch;
  symBatch.symbolicBatch = true;
  Ort::Session sb = open(le::forge::directorBytes(spec, symBatch));
  EXPECT_EQ(shapeOf(sb, "pooled64"), (std::vector<int64_t>{-1, 64, 32, 32}));
  // A symbolic batch still computes per slot: two frames through it match the identity crops.
  {
    const auto kp = le::forge::targetKeypoints(spec);
    const auto two = render(le::forge::directorBytes(spec, symBatch), spec, {0, 3}, {kpOf(kp, 0), kpOf(kp, 3)},
                            {kpOf(kp, 0), kpOf(kp, 3)});
    const size_t n = 3 * size_t(spec.crop) * spec.crop;
    EXPECT_LT(maxDiff(two.data() + n, le::forge::directorIdentityCrop(spec, 3).data(), n), 1e-3f);
  }

  DirectorOptions cut;
  cut.truncated = true;
  const std::string bytes = le::forge::directorBytes(spec, cut);
  EXPECT_LT(bytes.size(), le::forge::directorBytes(spec).size());
  EXPECT_THROW(open(bytes), Ort::Exception);
}

TEST(ForgeDirector, BundleWritesOneModelPerKey) {
  le::test::TmpDir dir;
  BundleSpec spec = small();
  spec.descriptiveNames = true;
  spec.directorKeys = {"b1", "b24_fp32"};
  le::forge::writeBundle(dir.path().string(), spec);
  const std::string b1 = le::test::readFile(dir / "render_model.batch1.onnx");
  EXPECT_EQ(b1, le::forge::directorBytes(spec));
  const onnx::ModelProto m24 = parse(le::test::readFile(dir / "render_model.batch24.fp32.onnx"));
  EXPECT_EQ(m24.graph().input(0).type().tensor_type().shape().dim(0).dim_value(), 24);

  spec.directorKeys = {"b1", "x4"};
  const std::string other = dir / "other";
  EXPECT_THROW(le::forge::writeBundle(other, spec), std::runtime_error);
  EXPECT_FALSE(std::filesystem::exists(other + "/manifest.json"));  // refused before anything is written
  for (const char* bad : {"b", "b4_", "bx", "b0"}) EXPECT_THROW(le::forge::directorOptionsForKey(spec, bad), std::runtime_error) << bad;
}

}  // namespace
