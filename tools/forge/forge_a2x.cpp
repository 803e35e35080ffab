#include "forge/forge_a2x.h"

#include <cmath>
#include <cstdio>
#include <filesystem>
#include <stdexcept>

#include "forge/forge.h"
#include "forge/forge_internal.h"
#include "forge/forge_onnx.h"

namespace le::forge {

namespace {

using onnxb::Attr;
using onnxb::Model;

constexpr int kLayers = 12, kDim = 768, kLegacyWindow = 128000, kLegacyFrames = 200;
constexpr int kShortWindow = 32000, kChannels = 640;

std::vector<float> featureGains() {
  std::vector<float> g(size_t(kLayers) * kDim);
  for (int l = 0; l < kLayers; ++l)
    for (int c = 0; c < kDim; ++c) g[size_t(l) * kDim + c] = a2xFeatureGain(l, c);
  return g;
}

// Mean square per column of `spacing` samples, then the mean over 8 columns
// from each column on (zero past the end): energy of 640 samples per column.
// x is [1, N]; returns a [1, 1, columns] tensor name.
std::string columnEnergy(Model& m, const std::string& x, int spacing) {
  std::string sq = m.node("Mul", {x, x}, {m.fresh("sq")});
  std::string cols = m.node("Reshape", {sq, m.initI64(m.fresh("colshape"), {-1, spacing}, {2})}, {m.fresh("cols")});
  std::string ms = m.node("ReduceMean", {cols}, {m.fresh("ms")}, {Attr::ints("axes", {1}), Attr::i("keepdims", 0)});
  std::string ms3 = m.node("Reshape", {ms, m.initI64(m.fresh("c3"), {1, 1, -1}, {3})}, {m.fresh("ms3")});
  std::string k = m.init(m.fresh("box"), std::vector<float>(8, 1.f / 8.f), {1, 1, 8});
  return m.node("Conv", {ms3, k}, {m.fresh("energy")}, {Attr::ints("pads", {0, 7}), Attr::ints("kernel_shape", {8})});
}

void writeLegacyExtractor(const std::string& path) {
  Model m("a2x_w2v_legacy");
  m.input("input_values", onnxb::kFloat, {1, kLegacyWindow});
  std::string e = columnEnergy(m, "input_values", 80);
  const int columns = kLegacyWindow / 80;
  std::string flat = m.node("Reshape", {e, m.initI64("flat_shape", {columns}, {1})}, {"energy_flat"});
  std::vector<int64_t> i0(kLegacyFrames), i1(kLegacyFrames);
  std::vector<float> w0(kLegacyFrames), w1(kLegacyFrames);
  for (int i = 0; i < kLegacyFrames; ++i) {
    double p = i * (1598.0 / 199.0);
    double fl = std::floor(p);
    i0[i] = int64_t(fl);
    i1[i] = std::min<int64_t>(int64_t(fl) + 1, columns - 1);
    w1[i] = float(p - fl);
    w0[i] = 1.f - w1[i];
  }
  std::string g0 = m.node("Gather", {flat, m.initI64("pos0", i0, {kLegacyFrames})}, {"g0"});
  std::string g1 = m.node("Gather", {flat, m.initI64("pos1", i1, {kLegacyFrames})}, {"g1"});
  std::string a = m.node("Mul", {g0, m.init("w0", w0, {kLegacyFrames})}, {"a0"});
  std::string b = m.node("Mul", {g1, m.init("w1", w1, {kLegacyFrames})}, {"a1"});
  std::string fe = m.node("Add", {a, b}, {"frame_energy"});
  std::string fe3 = m.node("Reshape", {fe, m.initI64("fe_shape", {1, kLegacyFrames, 1}, {3})}, {"fe3"});
  m.node("Mul", {fe3, m.init("gains", featureGains(), {kLayers, 1, kDim})}, {"audio_emb"});
  m.output("audio_emb", onnxb::kFloat, {kLayers, kLegacyFrames, kDim});
  m.save(path);
}

float channelGain(int k) { return 0.5f + float((k * 37) % 101) / 101.f; }

void writeTrunk(const std::string& path, const A2xDirOptions& opt) {
  Model m("a2x_w2v_trunk");
  if (opt.trunkFixedLength)
    m.input("input_values", onnxb::kFloat, {1, kShortWindow});
  else
    m.input("input_values", onnxb::kFloat, {1, "samples"});
  std::string e = columnEnergy(m, "input_values", opt.trunkColumnSamples);
  std::vector<float> cg(kChannels);
  for (int k = 0; k < kChannels; ++k) cg[k] = channelGain(k);
  std::string ch = m.node("Mul", {e, m.init("channel_gain", cg, {1, kChannels, 1})}, {"channels"});
  m.node("Cast", {ch}, {"trunk_out"}, {Attr::i("to", onnxb::kFloat16)});
  m.output("trunk_out", onnxb::kFloat16, {1, kChannels, "columns"});
  m.save(path);
}

void writeHead(const std::string& path) {
  Model m("a2x_w2v_head");
  m.input("trunk_rows", onnxb::kFloat, {8, kChannels});
  std::vector<float> w(kChannels);
  for (int k = 0; k < kChannels; ++k) w[k] = 1.f / (kChannels * channelGain(k));
  std::string e = m.node("MatMul", {"trunk_rows", m.init("unmix", w, {kChannels, 1})}, {"energy"});
  std::string e3 = m.node("Reshape", {e, m.initI64("e3_shape", {8, 1, 1}, {3})}, {"e3"});
  m.node("Mul", {e3, m.init("gains", featureGains(), {1, kLayers, kDim})}, {"audio_emb"});
  m.output("audio_emb", onnxb::kFloat, {8, kLayers, kDim});
  m.save(path);
}

void writeEncoder(const std::string& path, const A2xDirOptions& opt) {
  const int h = opt.h;
  Model m("a2x_enc_stream");
  m.input("feat", onnxb::kFloat, {1, "frames", kLayers, kDim});
  m.input("pos_window", onnxb::kFloat, {1, "frames", h});
  m.input("attn", onnxb::kFloat, {1, 1, "frames", "frames"});
  std::string zero = m.initI64("zero", {0}, {});
  std::string l0 = m.node("Gather", {"feat", zero}, {"layer0"}, {Attr::i("axis", 2)});
  std::string c0 = m.node("Gather", {l0, zero}, {"energy"}, {Attr::i("axis", 2)});
  std::string s = m.node("Reshape", {c0, m.initI64("col_shape", {1, 1, -1, 1}, {4})}, {"s0"});
  std::string band = m.node("Softmax", {"attn"}, {"band"}, {Attr::i("axis", -1)});
  std::string e4 = s;
  for (int l = 0; l < opt.layers; ++l) s = m.node("MatMul", {band, s}, {"s" + std::to_string(l + 1)});
  std::string sf = m.node("Reshape", {s, m.initI64("f_shape", {1, -1, 1}, {3})}, {"smooth"});
  std::vector<float> wc(h, 0.f), pm(h, 0.25f);
  wc[0] = 1.f;
  pm[0] = 0.f;
  std::string a = m.node("Mul", {sf, m.init("wc", wc, {1, 1, h})}, {"ctx_energy"});
  std::string b = m.node("Mul", {"pos_window", m.init("pm", pm, {1, 1, h})}, {"ctx_pos"});
  std::string ctx = m.node("Add", {a, b}, {"ctx0"});
  if (opt.encFailAbove > 0.f) {
    // A data-dependent failure: an out-of-range Gather when any energy is high.
    std::string mx = m.node("ReduceMax", {e4}, {"emax"}, {Attr::i("keepdims", 0)});
    std::string gt = m.node("Greater", {mx, m.init("thr", {opt.encFailAbove}, {})}, {"too_loud"});
    std::string gi = m.node("Cast", {gt}, {"too_loud_i"}, {Attr::i("to", onnxb::kInt64)});
    std::string idx = m.node("Mul", {gi, m.initI64("five", {5}, {})}, {"trap_idx"});
    std::string tv = m.node("Gather", {m.init("trap", {0.f, 0.f}, {2}), idx}, {"trap_v"});
    std::string t0 = m.node("Mul", {tv, m.init("nil", {0.f}, {})}, {"trap_0"});
    ctx = m.node("Add", {ctx, t0}, {"ctx1"});
  }
  m.node("Identity", {ctx}, {"ctx"});
  m.output("ctx", onnxb::kFloat, {1, "frames", h});
  if (opt.wn) {
    m.node("Reshape", {s, m.initI64("wn_shape", {1, -1}, {2})}, {"wn"});
    m.output("wn", onnxb::kFloat, {1, "frames"});
  }
  m.save(path);
}

void writeDecoder(const std::string& path, const A2xDirOptions& opt) {
  const int h = opt.h;
  Model m("a2x_dec");
  m.input("ctx_t", onnxb::kFloat, {1, h});
  m.input("prev", onnxb::kFloat, {1, 63});
  m.input("h", onnxb::kFloat, {1, h});
  std::string keep = m.node("Mul", {"h", m.init("keep", {0.3f}, {})}, {"h_keep"});
  std::string take = m.node("Mul", {"ctx_t", m.init("take", {0.7f}, {})}, {"h_take"});
  m.node("Add", {keep, take}, {"h_out"});
  std::string one = m.initI64("one", {1}, {1});
  std::string e0 = m.node("Slice", {"h_out", m.initI64("s0", {0}, {1}), one, one}, {"open"});
  std::string p1 = m.node("Slice", {"h_out", one, m.initI64("s2", {2}, {1}), one}, {"pos1"});
  std::string lip = m.node("Mul", {e0, m.init("lip", a2xLipPattern(), {1, 63})}, {"lip_x"});
  std::vector<float> nod(63, 0.f);
  nod[10 * 3 + 1] = 0.1f;  // nose bridge y
  std::string en = m.node("Mul", {e0, p1}, {"open_pos"});
  std::string nd = m.node("Mul", {en, m.init("nod", nod, {1, 63})}, {"nod_x"});
  std::string xa = m.node("Add", {lip, nd}, {"x_new"});
  std::string xs = m.node("Mul", {xa, m.init("fresh_w", {0.85f}, {})}, {"x_fresh"});
  std::string xp = m.node("Mul", {"prev", m.init("prev_w", {0.15f}, {})}, {"x_prev"});
  m.node("Add", {xs, xp}, {"x"});
  m.output("x", onnxb::kFloat, {1, 63});
  m.output("h_out", onnxb::kFloat, {1, h});
  m.save(path);
}

}  // namespace

float a2xFeatureGain(int layer, int channel) {
  if (layer == 0 && channel == 0) return 1.f;
  detail::Rng r(0xA2A2u, uint64_t(layer) * kDim + uint64_t(channel));
  return float(0.1 + r.uni());
}

std::vector<float> a2xLipPattern() {
  std::vector<float> p(63, 0.f);
  p[12 * 3 + 0] = 0.15f;   // left mouth corner moves in
  p[14 * 3 + 0] = -0.15f;  // right mouth corner moves in
  p[13 * 3 + 1] = -0.4f;   // upper lip up
  p[15 * 3 + 1] = 1.0f;    // lower lip down
  p[18 * 3 + 1] = 0.6f;    // the chin follows
  p[17 * 3 + 1] = 0.3f;
  p[19 * 3 + 1] = 0.3f;
  return p;
}

float a2xNormScale(int c) { return 0.04f * (1.f + 0.25f * float(c % 3)); }

A2xDirFiles writeA2xDir(const std::string& dir, const A2xDirOptions& opt) {
  if (opt.h < 2 || opt.posRows < 0 || opt.nt < 0 || opt.layers < 0 || opt.trunkColumnSamples < 1)
    throw std::runtime_error("forge a2x: bad options");
  std::filesystem::create_directories(dir);
  A2xDirFiles files;

  std::string meta = "{\n  \"h\": " + std::to_string(opt.h);
  if (opt.writeWindow) meta += ",\n  \"window\": " + std::to_string(opt.window);
  if (opt.writeLeft) meta += ",\n  \"left\": " + std::to_string(opt.left);
  meta += ",\n  \"layers\": " + std::to_string(opt.layers);
  if (opt.metaWidth >= 0) meta += ",\n  \"width\": " + std::to_string(opt.metaWidth);
  meta += ",\n  \"silence_prime\": " + std::to_string(opt.silencePrime) + "\n}\n";
  detail::writeFile(dir + "/a2x_meta.json", meta.data(), meta.size(), "forge a2x");

  std::vector<float> pos(size_t(opt.posRows) * opt.h, 0.f);
  for (int r = 0; r < opt.posRows; ++r)
    for (int c = 1; c < opt.h; ++c) pos[size_t(r) * opt.h + c] = float(std::sin(0.37 * r * c + 0.1 * c));
  detail::writeFloats(dir + "/a2x_pos.f32", pos, "forge a2x");

  std::vector<float> norm(126, 0.f);
  for (int c = 0; c < 63; ++c) norm[63 + c] = a2xNormScale(c);
  detail::writeFloats(dir + "/a2x_norm.f32", norm, "forge a2x");

  BundleSpec spec;
  spec.nt = opt.nt;
  spec.seed = opt.seed;
  std::vector<float> xs = opt.nt > 0 ? targetKeypoints(spec) : std::vector<float>{};
  detail::writeFloats(dir + (opt.descriptiveNames ? "/target_keypoints.bin" : "/xs_target.bin"), xs, "forge a2x");

  writeEncoder(dir + (opt.descriptiveNames ? "/audio_motion_encoder.onnx" : "/a2x_enc_stream.onnx"), opt);
  writeDecoder(dir + (opt.descriptiveNames ? "/audio_motion_decoder.onnx" : "/a2x_dec.onnx"), opt);

  files.w2v = dir + "/w2v.onnx";
  writeLegacyExtractor(files.w2v);
  if (opt.shortWindow) {
    files.trunk = dir + (opt.oldPairNames ? "/w2v_trunk32.onnx" : "/audio_encoder_fp16_window_trunk.onnx");
    files.head = dir + (opt.oldPairNames ? "/w2v_head32.onnx" : "/audio_encoder_fp16_window_head.onnx");
    writeTrunk(files.trunk, opt);
    writeHead(files.head);
  }
  return files;
}

}  // namespace le::forge
