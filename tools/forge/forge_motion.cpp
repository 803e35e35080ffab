#include "forge/forge_motion.h"

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <stdexcept>

#include "audio/le_motion.h"
#include "forge/forge.h"
#include "forge/forge_internal.h"
#include "forge/forge_onnx.h"

namespace le::forge {

namespace {

namespace fs = std::filesystem;
using onnxb::Attr;
using onnxb::Model;
using namespace le::motion;
using detail::writeFloats;

BundleSpec keypointSpec(const MotionDirOptions& opt) {
  BundleSpec s = opt.portrait.empty() ? BundleSpec{} : demoSpec(opt.portrait);
  s.nt = opt.nt;
  s.seed = opt.seed;
  return s;
}

// kPoseBins logits whose softmax expectation decodes (b * 3 - 97.5) to about `deg`.
void poseLogits(float deg, float* out) {
  const double c = (deg + 97.5) / 3.0, sigma = 1.5;
  for (int b = 0; b < kPoseBins; ++b) out[b] = float(-(b - c) * (b - c) / (2 * sigma * sigma));
}

std::vector<float> hann() {
  std::vector<float> w(kFft);
  for (int n = 0; n < kFft; ++n) w[n] = float(0.5 - 0.5 * std::cos(2 * M_PI * n / kFft));
  return w;
}

// Triangular mel filters over 0..8 kHz, kBins bins x kMel bands (bin-major).
std::vector<float> melBank() {
  auto mel = [](double f) { return 2595.0 * std::log10(1.0 + f / 700.0); };
  auto hz = [](double m) { return 700.0 * (std::pow(10.0, m / 2595.0) - 1.0); };
  std::vector<double> edges(82);
  for (int i = 0; i < 82; ++i) edges[i] = hz(mel(0) + (mel(8000) - mel(0)) * i / 81.0);
  std::vector<float> w(kBins * kMel, 0.f);
  for (int k = 0; k < kMel; ++k) {
    bool any = false;
    for (int b = 0; b < kBins; ++b) {
      const double f = b * double(kRate) / kFft;
      double v = 0;
      if (f > edges[k] && f < edges[k + 1]) v = (f - edges[k]) / (edges[k + 1] - edges[k]);
      else if (f >= edges[k + 1] && f < edges[k + 2]) v = (edges[k + 2] - f) / (edges[k + 2] - edges[k + 1]);
      if (v > 0) any = true;
      w[size_t(b) * kMel + k] = float(v);
    }
    // Low bands narrower than one bin take the bin nearest their centre.
    if (!any) w[size_t(std::lround(edges[k + 1] * kFft / kRate)) * kMel + k] = 1.f;
  }
  return w;
}

// De-normalised audio feature k = gain(k) * energy + bias(k); feature 0 is the energy itself.
float featGain(int k) { return k == 0 ? 1.f : float(0.5 * std::cos(0.37 * k)); }
float featBias(int k) { return k == 0 ? 0.f : float(std::sin(0.11 * k)); }
float fstd(int k) { return float(2.0 + 0.5 * std::sin(0.7 * k)); }
float fmean(int k) { return float(-8.0 + std::cos(0.3 * k)); }

void writeAudioNet(const fs::path& p) {
  Model m("hubert_student", 17);
  m.input(kAudioIn, onnxb::kFloat, {1, kMel, kMelFrames});
  m.output(kAudioOut, onnxb::kFloat, {1, kNetRows, kFeat});
  std::vector<float> W(kFeat), B(kFeat);
  for (int k = 0; k < kFeat; ++k) {
    W[k] = featGain(k) / fstd(k);
    B[k] = (featBias(k) - fmean(k)) / fstd(k);
  }
  const std::string e = m.node("ReduceMean", {kAudioIn}, {m.fresh("energy")}, {Attr::ints("axes", {1}), Attr::i("keepdims", 1)});
  const std::string et = m.node("Transpose", {e}, {m.fresh("energy_t")}, {Attr::ints("perm", {0, 2, 1})});  // 1 x 21 x 1
  const std::string axes = m.initI64("axes1", {1}, {1});
  const std::string a = m.node("Slice", {et, m.initI64("s0", {0}, {1}), m.initI64("e0", {kNetRows}, {1}), axes}, {m.fresh("a")});
  const std::string b = m.node("Slice", {et, m.initI64("s1", {1}, {1}), m.initI64("e1", {kMelFrames}, {1}), axes}, {m.fresh("b")});
  const std::string sum = m.node("Add", {a, b}, {m.fresh("sum")});
  const std::string mid = m.node("Mul", {sum, m.init("half", {0.5f}, {})}, {m.fresh("mid")});  // 1 x 20 x 1
  const std::string proj = m.node("MatMul", {mid, m.init("W", W, {1, kFeat})}, {m.fresh("proj")});
  m.node("Add", {proj, m.init("B", B, {kFeat})}, {kAudioOut});
  m.save(p.string());
}

void writeGenerator(const fs::path& p, const std::vector<float>& chVec) {
  Model m("lmdm", 17);
  m.input(kGenRef, onnxb::kFloat, {1, kMot});
  m.input(kGenCond, onnxb::kFloat, {1, kChunk, kCond});
  m.output(kGenOut, onnxb::kFloat, {1, kChunk, kMot});
  const std::vector<float> D = motionLipDirection();
  // Lip expression is absolute (character + opening); everything else relaxes
  // half way back to the character each chunk, so chunks cannot drift.
  std::vector<float> keep(kMot), base(kMot);
  for (int q = 0; q < kMot; ++q) {
    const bool lip = q >= kMotExp && D[q] != 0.f;
    keep[q] = lip ? 0.f : 0.5f;
    base[q] = lip ? chVec[q] : 0.5f * chVec[q];
  }
  const std::string e = m.node("Slice", {kGenCond, m.initI64("s", {0}, {1}), m.initI64("e", {1}, {1}), m.initI64("ax", {2}, {1})},
                               {m.fresh("energy")});  // 1 x 80 x 1
  const std::string shifted = m.node("Sub", {e, m.init("quiet", {kMotionQuiet}, {})}, {m.fresh("shifted")});
  const std::string scaled = m.node("Mul", {shifted, m.init("inv_range", {1.f / (kMotionLoud - kMotionQuiet)}, {})}, {m.fresh("scaled")});
  const std::string open = m.node("Clip", {scaled, m.init("zero", {0.f}, {}), m.init("one", {1.f}, {})}, {m.fresh("open")});
  const std::string lip = m.node("Mul", {open, m.init("D", D, {1, 1, kMot})}, {m.fresh("lip")});
  const std::string kept = m.node("Mul", {kGenRef, m.init("keep", keep, {kMot})}, {m.fresh("kept")});
  const std::string b = m.node("Add", {kept, m.init("base", base, {kMot})}, {m.fresh("base_row")});
  m.node("Add", {lip, b}, {kGenOut});
  m.save(p.string());
}

void writeStitch(const fs::path& p) {
  Model m("stitch", 17);
  m.input(kStitchSrc, onnxb::kFloat, {1, kKp / 3, 3});
  m.input(kStitchDrv, onnxb::kFloat, {1, kKp / 3, 3});
  m.output(kStitchOut, onnxb::kFloat, {1, kKp / 3, 3});
  const std::string d = m.node("Sub", {kStitchSrc, kStitchDrv}, {m.fresh("d")});
  const std::string pull = m.node("Mul", {d, m.init("pull", {kMotionStitchPull}, {})}, {m.fresh("pull")});
  m.node("Add", {kStitchDrv, pull}, {kStitchOut});
  m.save(p.string());
}

}  // namespace

std::vector<float> motionCharacterVector(const std::vector<float>& rec) {
  std::vector<float> v(kMot);
  v[kMotScale] = rec[kRecScale] - 1.f;
  std::copy_n(rec.begin() + kRecPitch, kPoseBins, v.begin() + kMotPitch);
  std::copy_n(rec.begin() + kRecYaw, kPoseBins, v.begin() + kMotYaw);
  std::copy_n(rec.begin() + kRecRoll, kPoseBins, v.begin() + kMotRoll);
  std::copy_n(rec.begin() + kRecT, 3, v.begin() + kMotT);
  std::copy_n(rec.begin() + kRecExp, kKp, v.begin() + kMotExp);
  return v;
}

std::array<float, 3> motionSourcePose(int frame) {
  return {float(2.0 + 0.5 * std::sin(0.9 * frame)), float(-1.5 + 0.5 * std::cos(0.7 * frame)), 1.0f};
}

std::vector<float> motionLipDirection() {
  std::vector<float> D(kMot, 0.f);
  auto at = [&](int row, int c) -> float& { return D[kMotExp + 3 * row + c]; };
  // Rows follow the engine's lip set; y grows downwards.
  at(6, 1) = -0.02f;   // upper lip up
  at(12, 0) = -0.02f;  // corners apart
  at(14, 0) = 0.02f;
  at(17, 1) = 0.06f;   // lower lip and chin down
  at(19, 1) = 0.06f;
  at(20, 1) = 0.03f;
  // A little head motion with loudness: scale, a nod, a forward shift.
  D[kMotScale] = 0.02f;
  for (int b = 0; b < kPoseBins; ++b) D[kMotPitch + b] = 0.05f * float(b - 32) / 33.f;
  D[kMotT] = 0.01f;
  return D;
}

std::string motionMetaText(const MotionDirOptions& opt) {
  char buf[256];
  std::snprintf(buf, sizeof buf, "{\n  \"nt\": %d,\n  \"n_src\": %d,\n  \"n_emo\": %d,\n  \"s_bridge\": %.9g", opt.nt, opt.nt,
                opt.nEmo, double(opt.sBridge));
  std::string s = buf;
  if (opt.deltaPitch != 0.f) {
    std::snprintf(buf, sizeof buf, ",\n  \"delta_pitch\": %.9g", double(opt.deltaPitch));
    s += buf;
  }
  return s + "\n}\n";
}

std::vector<float> motionSourceRecords(const MotionDirOptions& opt) {
  const std::vector<float> kp = targetKeypoints(keypointSpec(opt));
  std::vector<float> rec(size_t(opt.nt) * kRec, 0.f);
  for (int i = 0; i < opt.nt; ++i) {
    float* r = &rec[size_t(i) * kRec];
    std::copy_n(kp.begin() + ptrdiff_t(i) * kKp, kKp, r + kRecKp);
    const auto pose = motionSourcePose(i);
    poseLogits(pose[0], r + kRecPitch);
    poseLogits(pose[1], r + kRecYaw);
    poseLogits(pose[2], r + kRecRoll);
    r[kRecScale] = 1.f;
  }
  return rec;
}

void writeMotionDir(const std::string& dirStr, const MotionDirOptions& opt) {
  if (opt.nt < 1 || opt.nEmo < 1) throw std::runtime_error("forge: motion dir needs nt >= 1 and n_emo >= 1");
  const fs::path dir(dirStr);
  std::error_code ec;
  fs::create_directories(dir, ec);
  {
    std::ofstream f(dir / "meta.json", std::ios::trunc);
    f << motionMetaText(opt);
    if (!f) throw std::runtime_error("forge: cannot write meta.json");
  }
  writeFloats(dir / "hubert_stft_window.bin", hann());
  writeFloats(dir / "hubert_stft_binmat.bin", melBank());
  std::vector<float> mean(kFeat), sd(kFeat);
  for (int k = 0; k < kFeat; ++k) {
    mean[k] = fmean(k);
    sd[k] = fstd(k);
  }
  writeFloats(dir / "hubert_fmean.bin", mean);
  writeFloats(dir / "hubert_fstd.bin", sd);
  std::vector<float> emo(size_t(opt.nEmo) * kEmo);
  for (size_t i = 0; i < emo.size(); ++i) emo[i] = float(std::sin(0.5 * double(i)) * 0.1);
  writeFloats(dir / "emo.bin", emo);

  const std::vector<float> src = motionSourceRecords(opt);
  const std::vector<float> ch(src.begin(), src.begin() + kRec);  // the character is the identity's first frame
  writeFloats(dir / "ch_xs_info.bin", ch);
  writeFloats(dir / "ch_sc.bin", std::vector<float>(ch.begin() + kRecKp, ch.begin() + kRecKp + kKp));
  writeFloats(dir / "ch_eye_open.bin", {0.3f, 0.3f});
  writeFloats(dir / "ch_eye_ball.bin", {0.f, 0.f, 0.f, 0.f, 0.f, 0.f});
  writeFloats(dir / "src_xs_info.bin", src);

  const std::vector<float> chVec = motionCharacterVector(ch);
  const std::vector<float> D = motionLipDirection();
  std::vector<float> mm(2 * kMot);
  for (int q = 0; q < kMot; ++q) {
    const float pad = D[q] == 0.f ? 1.f : 0.f;
    mm[q] = chVec[q] + std::min(0.f, 0.9f * D[q]) - pad;
    mm[kMot + q] = chVec[q] + std::max(0.f, 0.9f * D[q]) + pad;
  }
  writeFloats(dir / "v_min_max.bin", mm);
  writeFloats(dir / (opt.descriptiveTarget ? "target_keypoints.bin" : "xs_target.bin"), targetKeypoints(keypointSpec(opt)));

  writeAudioNet(dir / "hubert_student.onnx");
  writeGenerator(dir / "lmdm.onnx", chVec);
  writeStitch(dir / "stitch.onnx");
}

}  // namespace le::forge
