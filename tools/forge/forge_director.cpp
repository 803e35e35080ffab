// The director graphs. One graph per options set, written with the onnxb builder:
//
//   source cone   P_rgb -> edge Pad -> three depthwise Convs (Dxx, Dyy, Dxxyy)
//                 -> one Concat [P, Dxx, Dyy, Dxxyy] (the cone's tip, 12 channels)
//   flow          per (half-resolution) pixel p: d(p) = sum_k w_k(p) (kd_k - ks_k) / max(sum_k w_k(p), 1),
//                 w_k = exp(-|p - kd_k|^2 / sigma^2), evaluated as two MatMuls
//   warp block    GridSample(tip, p - d) -> Slices -> Mul/Sub/Add recombination into a
//                 Catmull-Rom sample (curvature weights from the grid), one exit
//   face          clamp(warp + colour bias), the bias a blend of pooled64 channel energies
//   mouth layer   the face darkened by the lip opening: a low-resolution blob, a Conv,
//                 the head's cubic x2 Resize (then a linear x2 when the blob is at 1/4)
//   compose       alpha = Clip(GridSample(source-pose mouth ellipse, same grid)),
//                 rgb = alpha * mouth + (1 - alpha) * face, the 1 a Constant node
//
// With equal keypoints the flow and the opening are exactly zero, so the output is
// the clamped, biased source frame (directorIdentityCrop).
#include <onnx/onnx_pb.h>

#include <cmath>
#include <stdexcept>
#include <tuple>

#include "forge.h"
#include "forge/forge_onnx.h"
#include "forge_internal.h"

namespace le::forge {
namespace {

using onnxb::Attr;
using onnxb::Dim;
using onnxb::Model;

// Weight of pooled channel k in colour c.
// Colour c is the energy difference of two far-apart pooled channels: a wide average
// would cancel out, since the energy swings within a few channels.
double biasWeight(int k, int c) {
  return k == 7 * c + 3 ? kDirectorBiasScale : (k == 7 * c + 40 ? -kDirectorBiasScale : 0.0);
}

// Graph-building helpers over one model.
struct G {
  Model& m;
  explicit G(Model& model) : m(model) {}

  std::string f(float v) { return m.init(m.fresh("c"), {v}, {}); }
  std::string ints(const std::vector<int64_t>& v) { return m.initI64(m.fresh("i"), v, {int64_t(v.size())}); }
  std::string op(const std::string& type, const std::vector<std::string>& in, const std::vector<Attr>& attrs = {},
                 const std::string& name = "", const std::string& out = "") {
    return m.node(type, in, {out.empty() ? m.fresh("t") : out}, attrs, name);
  }
  std::string add(const std::string& a, const std::string& b) { return op("Add", {a, b}); }
  std::string sub(const std::string& a, const std::string& b) { return op("Sub", {a, b}); }
  std::string mul(const std::string& a, const std::string& b) { return op("Mul", {a, b}); }
  std::string mulf(const std::string& a, float v) { return mul(a, f(v)); }
  std::string addf(const std::string& a, float v) { return add(a, f(v)); }
  std::string slice(const std::string& x, int64_t axis, int64_t b, int64_t e) {
    return op("Slice", {x, ints({b}), ints({e}), ints({axis})});
  }
  std::string reshape(const std::string& x, const std::vector<int64_t>& shape) { return op("Reshape", {x, ints(shape)}); }
  std::string concat(const std::vector<std::string>& in, int64_t axis, const std::string& name = "",
                     const std::string& out = "") {
    return op("Concat", in, {Attr::i("axis", axis)}, name, out);
  }
  std::string clip(const std::string& x, float lo, float hi, const std::string& name = "", const std::string& out = "") {
    return op("Clip", {x, f(lo), f(hi)}, {}, name, out);
  }
  std::string sumLast(const std::string& x) { return op("ReduceSum", {x, ints({-1})}, {Attr::i("keepdims", 1)}); }
  std::string gridSample(const std::string& x, const std::string& grid, const std::string& name) {
    return op("GridSample", {x, grid},
              {Attr::s("mode", "bilinear"), Attr::s("padding_mode", "border"), Attr::i("align_corners", 0)}, name);
  }
  // A row-major n x n plane of per-pixel (x, y) as [n*n, 1] each, from the 1-D coordinates v [n].
  std::pair<std::string, std::string> plane(const std::string& v, int64_t n) {
    const std::string shape = ints({n, n});
    const std::string xs = op("Expand", {reshape(v, {1, n}), shape});
    const std::string ys = op("Expand", {reshape(v, {n, 1}), shape});
    return {reshape(xs, {n * n, 1}), reshape(ys, {n * n, 1})};
  }
  // Pixel indices 0..n-1 as floats, mapped by a * i + b.
  std::string axis(int64_t n, double a, double b) {
    const std::string r = op("Range", {f(0.f), f(float(n)), f(1.f)});
    return addf(mulf(r, float(a)), float(b));
  }
  // One depthwise 3x3 Conv over three channels with the same kernel on each.
  std::string dw3(const std::string& x, const float k[9], const std::string& name) {
    std::vector<float> w;
    for (int c = 0; c < 3; ++c) w.insert(w.end(), k, k + 9);
    const std::string wn = m.init(m.fresh(name.substr(1)), w, {3, 1, 3, 3});
    return op("Conv", {x, wn}, {Attr::i("group", 3), Attr::ints("kernel_shape", {3, 3})}, name);
  }
};

void addConstantOne(Model& m, const std::string& out) {
  m.node("Constant", {}, {out}, {}, "/compose/one");
  auto* n = m.graph().mutable_node(m.graph().node_size() - 1);
  auto* a = n->add_attribute();
  a->set_name("value");
  a->set_type(onnx::AttributeProto::TENSOR);
  auto* t = a->mutable_t();
  t->set_data_type(onnx::TensorProto::FLOAT);
  const float one = 1.0f;
  t->set_raw_data(std::string(reinterpret_cast<const char*>(&one), 4));
}

std::string build(const BundleSpec& spec, const DirectorOptions& o) {
  const int64_t S = spec.crop;
  if (S < 4 || S % 2) throw std::runtime_error("forge: a director needs an even crop of at least 4, got " + std::to_string(S));
  if (o.batch < 1) throw std::runtime_error("forge: director batch must be >= 1");
  if (o.kpRows < 16) throw std::runtime_error("forge: director keypoint rows must be >= 16 (the lips are rows 12..15)");
  const int64_t P = S * S, H2 = S / 2;
  const Dim B = o.symbolicBatch ? Dim("batch") : Dim(o.batch);
  const Dim R = o.symbolicKpRows ? Dim("kp_rows") : Dim(o.kpRows);

  Model m("le_forge_director");
  G g(m);
  const std::string pooledName = o.featSynth ? "pooled" : "pooled64";
  const std::string kdName = o.featSynth ? "kd" : "kp_driving", ksName = o.featSynth ? "ks" : "kp_source";
  if (o.featSynth) m.input("fs_red", onnxb::kFloat, {B, 64, 64, 64});
  m.input(pooledName, onnxb::kFloat, {B, 64, 32, 32});
  if (!o.featSynth) m.input("P_rgb", onnxb::kFloat, {B, 3, S, S});
  if (o.variant == DirectorVariant::HasLipDelivery) m.input("lip_delivery", onnxb::kFloat, {B, 1, S, S});
  m.input(kdName, onnxb::kFloat, {B, R, 3});
  m.input(ksName, onnxb::kFloat, {B, R, 3});
  m.output("rgb", onnxb::kFloat, {B, 3, S, S});

  // --- the source image: P_rgb, or (FeatSynth) three feature channels brought to the crop.
  std::string src = "P_rgb";
  if (o.featSynth) {
    const std::string feat = g.op("Sigmoid", {g.slice("fs_red", 1, 0, 3)});
    const std::string scales = m.init(m.fresh("fs_scales"), {1.f, 1.f, float(S) / 64.f, float(S) / 64.f}, {4});
    src = g.op("Resize", {feat, "", scales},
               {Attr::s("mode", "linear"), Attr::s("coordinate_transformation_mode", "half_pixel")}, "/fs/up");
  }

  // --- source cone: the image and its second differences (edge replicated), one Concat.
  {
    const std::string padded =
        g.op("Pad", {src, g.ints({0, 0, 1, 1, 0, 0, 1, 1})}, {Attr::s("mode", "edge")}, "/cone/pad");
    const float kxx[9] = {0, 0, 0, 1, -2, 1, 0, 0, 0}, kyy[9] = {0, 1, 0, 0, -2, 0, 0, 1, 0},
                kxy[9] = {1, -2, 1, -2, 4, -2, 1, -2, 1};
    const std::string dxx = g.dw3(padded, kxx, "/cone/dxx"), dyy = g.dw3(padded, kyy, "/cone/dyy"),
                      dxy = g.dw3(padded, kxy, "/cone/dxxyy");
    g.concat({src, dxx, dyy, dxy}, 1, "/cone/stack", "warp_tip");
    if (o.variant == DirectorVariant::TwoPrgbConcats) g.concat({src, src}, 1, "/hostile/second_concat");
    if (o.variant == DirectorVariant::ShapeOfPrgb) g.op("Shape", {src}, {}, "/hostile/shape");
    if (o.variant == DirectorVariant::EscapingCone)
      g.op("ReduceMean", {dxx}, {Attr::i("keepdims", 1)}, "/hostile/escape");
  }

  // --- pixel coordinates: grid units (align_corners 0 pixel centres) and keypoint units
  // (-1 first pixel, +1 last pixel); u = g * S / (S - 1).
  const std::string gv = g.axis(S, 2.0 / S, 1.0 / S - 1.0);
  const std::string uv = g.mulf(gv, float(double(S) / double(S - 1)));
  const auto [gx, gy] = g.plane(gv, S);
  const auto [ux, uy] = g.plane(uv, S);
  const std::string grid0 = g.concat({gx, gy}, 1);  // [P, 2]
  const std::string upix = g.concat({ux, uy}, 1);   // [P, 2]
  // Centres of an image at 1/2^level resolution, in keypoint units, for half_pixel x2 upsampling.
  auto lowPlane = [&](int level) {
    const int64_t n = S >> level, f = int64_t(1) << level;
    const std::string v = g.axis(n, 2.0 * f / double(S - 1), double(f - 1) / double(S - 1) - 1.0);
    const auto [x, y] = g.plane(v, n);
    return std::tuple<std::string, std::string, std::string>{x, y, g.concat({x, y}, 1)};
  };

  // --- keypoints and the flow, evaluated at half resolution and brought up linearly (it is smooth).
  const std::string cd = g.slice(kdName, 2, 0, 2), cs = g.slice(ksName, 2, 0, 2);  // [B, R, 2]
  const float is2 = 1.f / (kDirectorSigma * kDirectorSigma);
  std::string grid, gridFlat;
  {
    const auto [hx, hy, hpix] = lowPlane(1);
    const std::string ones = g.op("Expand", {m.init(m.fresh("one"), {1.f}, {1, 1}), g.ints({H2 * H2, 1})});
    const std::string A = g.concat({hx, hy, g.sumLast(g.mul(hpix, hpix)), ones}, 1);  // [P2, 4]
    const std::string delta = g.mulf(g.sub(cd, cs), float(double(S - 1) / double(S)));  // in grid units
    const std::string onesR = g.addf(g.mulf(g.slice(delta, 2, 0, 1), 0.f), 1.f);
    const std::string D = g.concat({delta, onesR}, 2);  // [B, R, 3]
    const std::string k1 = g.mulf(g.op("Transpose", {cd}, {Attr::ints("perm", {0, 2, 1})}), 2.f * is2);
    const std::string c2 = g.op("Transpose", {g.sumLast(g.mul(cd, cd))}, {Attr::ints("perm", {0, 2, 1})});
    const std::string k2 = g.mulf(c2, -is2);
    const std::string k3 = g.addf(g.mulf(c2, 0.f), -is2);
    const std::string K = g.concat({k1, k3, k2}, 1);  // [B, 4, R]: rows match A's columns
    const std::string W = g.op("Exp", {g.op("MatMul", {A, K}, {}, "/flow/logits")});  // [B, P2, R]
    const std::string F = g.op("MatMul", {W, D}, {}, "/flow/sum");                      // [B, P2, 3]
    const std::string den = g.op("Max", {g.slice(F, 2, 2, 3), g.f(1.f)});
    const std::string d = g.reshape(g.op("Div", {g.slice(F, 2, 0, 2), den}), {-1, H2, H2, 2});
    const std::string scales = m.init("flow_scales", {1.f, 2.f, 2.f, 1.f}, {4});
    const std::string up = g.op("Resize", {d, "", scales},
                                {Attr::s("mode", "linear"), Attr::s("coordinate_transformation_mode", "half_pixel")},
                                "/flow/up");
    gridFlat = g.sub(grid0, g.reshape(up, {-1, P, 2}));  // [B, P, 2]
    grid = g.op("Reshape", {gridFlat, g.ints({-1, S, S, 2})}, {}, "/flow/grid", "warp_grid");
  }

  // --- curvature weights of the sample position: E = t (1 - t) / 2, t its fraction;
  // computed from the grid tensor alone, as the warp block's weights are.
  auto curvature = [&](int64_t c) {
    const std::string pos = g.addf(g.mulf(g.slice(grid, 3, c, c + 1), float(S) / 2.f), float(S - 1) / 2.f);
    const std::string t = g.sub(pos, g.op("Floor", {pos}));
    return g.reshape(g.mulf(g.sub(t, g.mul(t, t)), 0.5f), {-1, 1, S, S});
  };
  const std::string ex4 = curvature(0), ey4 = curvature(1);
  const std::string exy = g.mul(ex4, ey4);

  // --- the warp block: one GridSample of the tip, recombined into a cubic sample.
  std::string warped;
  {
    const std::string smp =
        o.variant == DirectorVariant::ZerosPadding
            ? g.op("GridSample", {"warp_tip", grid},
                   {Attr::s("mode", "bilinear"), Attr::s("padding_mode", "zeros"), Attr::i("align_corners", 0)},
                   "/warp/sample")
            : g.gridSample("warp_tip", grid, "/warp/sample");
    if (o.variant == DirectorVariant::TwoTipSamplers) g.gridSample("warp_tip", grid, "/hostile/second_sample");
    const std::string s0 = g.slice(smp, 1, 0, 3), sx = g.slice(smp, 1, 3, 6), sy = g.slice(smp, 1, 6, 9),
                      sxy = g.slice(smp, 1, 9, 12);
    const std::string t1 = g.sub(s0, g.mul(sx, ex4));
    const std::string t2 = g.sub(t1, g.mul(sy, ey4));
    const std::string out = g.op("Add", {g.mul(sxy, exy), t2}, {}, "/warp/combine", "warp_out");
    if (o.variant == DirectorVariant::TwoExits) g.op("Identity", {s0}, {}, "/hostile/second_exit");
    // Not an Add: the block ends at warp_out (ExitArithmetic feeds the bias Add directly).
    warped = o.variant == DirectorVariant::ExitArithmetic ? out : g.clip(out, 0.f, 1.f, "/warp/clamp");
  }

  // --- colour bias from the pooled features: channel means blended into R, G, B.
  std::string face;
  {
    const std::string flat = g.reshape(pooledName, {-1, 64, 1024});
    const std::string means =
        g.op("ReduceMean", {g.mul(flat, flat)}, {Attr::ints("axes", {2}), Attr::i("keepdims", 0)});  // channel energy
    std::vector<float> wb(64 * 3);
    for (int k = 0; k < 64; ++k)
      for (int c = 0; c < 3; ++c) wb[size_t(k) * 3 + c] = float(biasWeight(k, c));
    const std::string wn = m.init("blend_w", wb, {64, 3});
    const std::string bias = g.op(o.legacyBlend ? "MatMul" : "Gemm", {means, wn}, {}, "/s2/blend");
    face = g.clip(g.add(warped, g.reshape(bias, {-1, 3, 1, 1})), 0.f, 1.f, "/face/clamp", "face");
  }

  // --- compose alpha: a soft ellipse around the source mouth, carried by the same flow.
  std::string alpha;
  {
    const std::string lips = g.slice(cs, 1, 12, 16);
    const std::string centre = g.op("ReduceMean", {lips}, {Attr::ints("axes", {1}), Attr::i("keepdims", 1)});
    const std::string width = g.op("Abs", {g.slice(g.sub(g.slice(cs, 1, 14, 15), g.slice(cs, 1, 12, 13)), 2, 0, 1)});
    const std::string ax = g.addf(g.mulf(width, 0.75f), 0.02f), ay = g.addf(g.mulf(width, 0.45f), 0.02f);
    const std::string inv = g.op("Reciprocal", {g.concat({ax, ay}, 2)});  // [B, 1, 2]
    const std::string v = g.mul(g.sub(upix, centre), inv);                  // [B, P, 2]
    const std::string q = g.sumLast(g.mul(v, v));
    const std::string soft = g.clip(g.mulf(g.sub(g.f(1.2f), q), 2.5f), 0.f, 1.f);
    const std::string alphaGrid =
        o.variant == DirectorVariant::LoneGrid ? g.reshape(gridFlat, {-1, S, S, 2}) : grid;
    const std::string moved = g.gridSample(g.reshape(soft, {-1, 1, S, S}), alphaGrid, "/compose/alpha_warp");
    alpha = g.clip(moved, 0.f, 1.f, "/compose/alpha", "compose_alpha");
  }

  // --- mouth layer: the face darkened between the lips by how far they opened.
  std::string mouth;
  {
    const int level = S % 4 == 0 ? 2 : 1;  // the blob at a quarter of the crop when it divides
    const int64_t n = S >> level;
    const std::string hpix = std::get<2>(lowPlane(level));
    const std::string up = g.slice(cd, 1, 13, 14), lo = g.slice(cd, 1, 15, 16);
    const std::string gapD = g.slice(g.sub(lo, up), 2, 1, 2);
    const std::string gapS = g.slice(g.sub(g.slice(cs, 1, 15, 16), g.slice(cs, 1, 13, 14)), 2, 1, 2);
    // The jaw opens the mouth too: a chin dropped below the nose (rows 17 and 19,
    // which every audio engine moves) counts like lips parted, so an engine that
    // moves only the jaw still opens this mouth.
    auto rowY = [&](const std::string& kp, int r) { return g.slice(g.slice(kp, 1, r, r + 1), 2, 1, 2); };
    auto drop = [&](const std::string& kp) {
      return g.sub(g.mulf(g.add(rowY(kp, 17), rowY(kp, 19)), 0.5f), rowY(kp, 11));
    };
    const std::string jaw = g.op("Relu", {g.sub(drop(cd), drop(cs))});
    const std::string open = g.add(g.op("Relu", {g.sub(gapD, gapS)}), jaw);  // [B, 1, 1], 0 for equal keypoints
    const std::string centre = g.mulf(g.add(up, lo), 0.5f);
    const std::string width = g.op("Abs", {g.slice(g.sub(g.slice(cd, 1, 14, 15), g.slice(cd, 1, 12, 13)), 2, 0, 1)});
    const std::string inv = g.op("Reciprocal", {g.concat({g.addf(g.mulf(width, 0.3f), 0.01f), g.addf(g.mulf(open, 0.5f), 0.01f)}, 2)});
    const std::string v = g.mul(g.sub(hpix, centre), inv);
    const std::string blob = g.op("Exp", {g.mulf(g.sumLast(g.mul(v, v)), -1.f)});  // [B, P2, 1]
    const std::string amount = g.op("Min", {g.mulf(open, kDirectorShadeGain), g.f(kDirectorShadeMax)});
    const std::string blobLow = g.reshape(g.mul(blob, amount), {-1, 1, n, n});
    // A binomial blur with int8 weights through the library's int8 operator: a
    // closed mouth (blob 0) stays exactly 0, since the bias is 0 and an input
    // that is never negative quantises with zero point 0.
    std::string low = blobLow;
    if (o.int8Blur) {
      std::vector<int8_t> w8 = {8, 16, 8, 16, 32, 16, 8, 16, 8};
      m.domain("com.corvane.int8", 1);
      const std::string w = m.initI8("mouth_int8_w", w8, {1, 1, 3, 3});
      const std::string sc = m.init("mouth_int8_scale", {1.f / 128.f}, {1});
      const std::string bi = m.init("mouth_int8_bias", {0.f}, {1});
      low = m.node("Int8ConvVNNI", {blobLow, w, sc, bi}, {"mouth_int8_y"},
                   {Attr::ints("pads", {1, 1, 1, 1}), Attr::ints("strides", {1, 1}), Attr::ints("dilations", {1, 1}),
                    Attr::i("group", 1)},
                   "/mouth/int8_blur", "com.corvane.int8");
    }
    const std::vector<float> smooth = {1 / 16.f, 2 / 16.f, 1 / 16.f, 2 / 16.f, 4 / 16.f, 2 / 16.f, 1 / 16.f, 2 / 16.f, 1 / 16.f};
    const std::string sm = g.op("Conv", {low, m.init("head_smooth_w", smooth, {1, 1, 3, 3})},
                                {Attr::ints("kernel_shape", {3, 3}), Attr::ints("pads", {1, 1, 1, 1})}, "/head/smooth");
    const std::string scales =
        m.init("head_scales", {1.f, 1.f, 2.f, o.variant == DirectorVariant::OffScales ? 2.0001f : 2.f}, {4});
    std::string shade = g.op("Resize", {sm, "", scales},
                             {Attr::s("mode", "cubic"), Attr::s("coordinate_transformation_mode", "half_pixel")},
                             "/head/up", "head_shade");
    if (level == 2)
      shade = g.op("Resize", {shade, "", m.init("head_scales2", {1.f, 1.f, 2.f, 2.f}, {4})},
                   {Attr::s("mode", "linear"), Attr::s("coordinate_transformation_mode", "half_pixel")}, "/head/up2");
    if (o.variant == DirectorVariant::TwoCubicResizes) {
      // A second Conv-fed cubic x2 Resize, brought back down so the output keeps its size.
      const std::string again = g.op("Conv", {low, m.init("head_smooth_w2", smooth, {1, 1, 3, 3})},
                                     {Attr::ints("kernel_shape", {3, 3}), Attr::ints("pads", {1, 1, 1, 1})},
                                     "/hostile/smooth2");
      const std::string up2 = g.op("Resize", {again, "", m.init("head_scales3", {1.f, 1.f, 2.f, 2.f}, {4})},
                                   {Attr::s("mode", "cubic"), Attr::s("coordinate_transformation_mode", "half_pixel")},
                                   "/hostile/up_cubic");
      g.op("ReduceMean", {up2}, {Attr::i("keepdims", 1)}, "/hostile/cubic_sink");
    }
    // Towards a dark red cavity rather than black.
    const std::string cavity = m.init("mouth_cavity", {0.22f, 0.07f, 0.07f}, {1, 3, 1, 1});
    mouth = g.add(g.sub(face, g.mul(face, shade)), g.mul(shade, cavity));
  }

  // --- compose tail.
  addConstantOne(m, "compose_one");
  const std::string rest = g.op("Sub", {"compose_one", alpha}, {}, "/compose/one_minus");
  const std::string a = g.op("Mul", {alpha, mouth}, {}, "/compose/mouth");
  const std::string b = g.op("Mul", {rest, face}, {}, "/compose/face");
  g.op("Add", {a, b}, {}, "/compose/tail", "rgb");

  std::string bytes = m.bytes();
  if (o.truncated) bytes.resize(bytes.size() * 2 / 3);
  return bytes;
}

}  // namespace

std::string directorBytes(const BundleSpec& spec, const DirectorOptions& opt) { return build(spec, opt); }

void writeDirector(const std::string& path, const BundleSpec& spec, const DirectorOptions& opt) {
  const std::string b = build(spec, opt);
  detail::writeFile(path, b.data(), b.size());
}

DirectorOptions directorOptionsForKey(const BundleSpec& spec, const std::string& key) {
  size_t i = 1;
  while (i < key.size() && key[i] >= '0' && key[i] <= '9') ++i;
  if (key.size() < 2 || key[0] != 'b' || i == 1 || i > 6 || (i < key.size() && (key[i] != '_' || i + 1 == key.size())))
    throw std::runtime_error("forge: director key '" + key + "' is not b<batch>[_suffix]");
  DirectorOptions o;
  o.batch = std::stoi(key.substr(1, i - 1));
  if (o.batch < 1) throw std::runtime_error("forge: director key '" + key + "' has batch 0");
  o.featSynth = spec.prior == Prior::FeatSynth;
  o.legacyBlend = spec.directorLegacyBlend;
  return o;
}

std::vector<double> directorColourBias(const BundleSpec& spec, int si) {
  const std::vector<float> pooled = detail::decodeHalves(pooledFeatures(spec, si));
  std::vector<double> bias(3, 0.0);
  for (int k = 0; k < 64; ++k) {
    double mean = 0;
    for (int j = 0; j < 1024; ++j) {
      const double v = pooled[size_t(k) * 1024 + j];
      mean += v * v;
    }
    mean /= 1024.0;
    for (int c = 0; c < 3; ++c) bias[c] += mean * biasWeight(k, c);
  }
  return bias;
}

std::vector<float> directorIdentityCrop(const BundleSpec& spec, int si) {
  const std::vector<float> p = detail::decodeHalves(sourceFrame(spec, si));
  const std::vector<double> bias = directorColourBias(spec, si);
  const size_t plane = size_t(spec.crop) * spec.crop;
  std::vector<float> out(p.size());
  for (size_t i = 0; i < p.size(); ++i) {
    const double v = double(p[i]) + bias[i / plane];
    out[i] = float(v < 0 ? 0 : (v > 1 ? 1 : v));
  }
  return out;
}

}  // namespace le::forge
