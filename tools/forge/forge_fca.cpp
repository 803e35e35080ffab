#include "forge/forge_fca.h"

#include <cmath>
#include <filesystem>
#include <stdexcept>

#include "forge/forge.h"
#include "forge/forge_onnx.h"

namespace le::forge {

namespace {

namespace fs = std::filesystem;
using onnxb::Attr;
using onnxb::Model;

constexpr int kWin = 128000, kFrames = 200, kHop = 640, kDim = 768, kCtx = 7, kKp = 63, kHidden = 384;

bool averaged(int layer) { return layer >= 4 && layer <= 9; }

void writeExtractor(const fs::path& p, int layers) {
  Model m("fca_extractor", 17);
  m.input("input_values", onnxb::kFloat, {1, kWin});
  m.output("audio_emb", onnxb::kFloat, {layers, 1, kFrames, kDim});
  std::vector<float> G(size_t(layers) * kDim), B(G.size());
  for (int l = 0; l < layers; ++l)
    for (int c = 0; c < kDim; ++c) {
      G[size_t(l) * kDim + c] = fcaGain(l, c);
      B[size_t(l) * kDim + c] = fcaBias(l, c);
    }
  const std::string fr = m.node("Reshape", {"input_values", m.initI64("frames_shape", {1, kFrames, kHop}, {3})},
                                {m.fresh("frames")});
  const std::string sq = m.node("Mul", {fr, fr}, {m.fresh("sq")});
  const std::string ms = m.node("ReduceMean", {sq}, {m.fresh("ms")}, {Attr::ints("axes", {2}), Attr::i("keepdims", 1)});
  const std::string rms = m.node("Sqrt", {ms}, {m.fresh("rms")});  // 1 x 200 x 1
  const std::string g = m.node("Mul", {rms, m.init("G", G, {layers, 1, 1, kDim})}, {m.fresh("gained")});
  m.node("Add", {g, m.init("B", B, {layers, 1, 1, kDim})}, {"audio_emb"});
  m.save(p.string());
}

void writeDeltaModel(const fs::path& p, const std::vector<int64_t>& hDims) {
  Model m("fca_delta", 17);
  std::vector<onnxb::Dim> hd(hDims.begin(), hDims.end());
  m.input("cond", onnxb::kFloat, {1, kCtx, kDim});
  m.input("prev", onnxb::kFloat, {1, kKp});
  m.input("h", onnxb::kFloat, hd);
  m.output("m", onnxb::kFloat, {1, kKp});
  m.output("hn", onnxb::kFloat, {1, kHidden});
  const std::string e = m.node("Slice", {"cond", m.initI64("s", {1, 0}, {2}), m.initI64("e", {3, kFcaEnergyChannels}, {2}),
                                         m.initI64("ax", {1, 2}, {2})},
                               {m.fresh("energy")});  // 1 x 2 x 32
  const std::string loud3 =
      m.node("ReduceMean", {e}, {m.fresh("loud3")}, {Attr::ints("axes", {1, 2}), Attr::i("keepdims", 1)});
  const std::string loud = m.node("Reshape", {loud3, m.initI64("one_one", {1, 1}, {2})}, {m.fresh("loud")});
  const std::string scaled = m.node("Mul", {loud, m.init("gain", {kFcaOpenGain}, {})}, {m.fresh("scaled")});
  const std::string open = m.node("Clip", {scaled, m.init("zero", {0.f}, {}), m.init("one", {1.f}, {})}, {m.fresh("open")});
  const std::string h2 = m.node("Reshape", {"h", m.initI64("h_shape", {1, kHidden}, {2})}, {m.fresh("h2")});
  const std::string hm = m.node("ReduceMean", {h2}, {m.fresh("hmean")}, {Attr::ints("axes", {1}), Attr::i("keepdims", 1)});
  // Drive = 0.6 open + 0.1 mean(h): the opening and its slower envelope.
  const std::string a = m.node("Mul", {open, m.init("w_open", {0.6f}, {})}, {m.fresh("a")});
  const std::string b = m.node("Mul", {hm, m.init("w_env", {0.1f}, {})}, {m.fresh("b")});
  const std::string drive = m.node("Add", {a, b}, {m.fresh("drive")});
  const std::string lip = m.node("Mul", {drive, m.init("D", fcaLipDirection(), {1, kKp})}, {m.fresh("lip")});
  const std::string carry = m.node("Mul", {"prev", m.init("w_prev", {0.3f}, {})}, {m.fresh("carry")});
  m.node("Add", {lip, carry}, {"m"});
  const std::string hh = m.node("Mul", {h2, m.init("half_h", {0.5f}, {})}, {m.fresh("hh")});
  const std::string ho = m.node("Mul", {open, m.init("half_o", {0.5f}, {})}, {m.fresh("ho")});
  m.node("Add", {hh, ho}, {"hn"});
  m.save(p.string());
}

}  // namespace

float fcaGain(int layer, int channel) {
  if (channel >= kFcaEnergyChannels) return 0.f;
  if (!averaged(layer)) return 50.f;
  return float((1.0 + 0.2 * (layer - 6.5)) * (0.5 + channel / 32.0));
}

float fcaBias(int layer, int channel) {
  if (!averaged(layer)) return 7.f;
  if (channel < kFcaEnergyChannels) return float(0.05 * (layer - 6.5));
  return float(std::sin(0.013 * channel * (layer + 1)));
}

std::vector<float> fcaLipDirection() {
  std::vector<float> d(kKp, 0.f);
  d[3 * kLipRows[0] + 0] = 0.01f;   // left corner inward
  d[3 * kLipRows[1] + 1] = -0.04f;  // upper lip up
  d[3 * kLipRows[2] + 0] = -0.01f;  // right corner inward
  d[3 * kLipRows[3] + 1] = 0.08f;   // lower lip down
  return d;
}

FcaModelPaths writeFcaModels(const std::string& dir, const FcaModelOptions& opt) {
  std::error_code ec;
  fs::create_directories(dir, ec);
  if (ec) throw std::runtime_error("forge: cannot create " + dir + ": " + ec.message());
  FcaModelPaths p{(fs::path(dir) / kFcaExtractorFile).string(), (fs::path(dir) / kFcaModelFile).string()};
  writeExtractor(p.extractor, opt.layers);
  writeDeltaModel(p.model, opt.hDims);
  return p;
}

}  // namespace le::forge
