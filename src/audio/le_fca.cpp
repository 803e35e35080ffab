#include "audio/le_fca.h"

#include <algorithm>
#include <chrono>
#include <cmath>
#include <functional>
#include <new>
#include <queue>
#include <stdexcept>
#include <vector>

#include "base/le_error.h"
#include "base/le_ort.h"
#include "compose/le_pool.h"
#include "le/le_fca.h"

namespace le {

using namespace fca;

namespace {

double secondsSince(std::chrono::steady_clock::time_point t0) {
  return std::chrono::duration<double>(std::chrono::steady_clock::now() - t0).count();
}

std::string shapeText(const std::vector<int64_t>& s) {
  std::string t = "[";
  for (size_t i = 0; i < s.size(); ++i) t += (i ? "," : "") + std::to_string(s[i]);
  return t + "]";
}

// The declared shape of a named input or output; throws when the model lacks it.
std::vector<int64_t> ioShape(Ort::Session& s, bool input, const char* name, const char* what) {
  const size_t count = input ? s.GetInputCount() : s.GetOutputCount();
  for (size_t i = 0; i < count; ++i) {
    if (ort::ioName(s, i, input) != name) continue;
    const auto info = input ? s.GetInputTypeInfo(i) : s.GetOutputTypeInfo(i);
    if (info.GetONNXType() != ONNX_TYPE_TENSOR)
      throw std::runtime_error(std::string("le_fca: ") + what + " " + (input ? "input" : "output") + " \"" + name +
                               "\" is not a tensor");
    const auto t = info.GetTensorTypeAndShapeInfo();
    if (t.GetElementType() != ONNX_TENSOR_ELEMENT_DATA_TYPE_FLOAT)
      throw std::runtime_error(std::string("le_fca: ") + what + " " + (input ? "input" : "output") + " \"" + name +
                               "\" is not float32");
    return t.GetShape();
  }
  throw std::runtime_error(std::string("le_fca: ") + what + " has no " + (input ? "input" : "output") + " \"" +
                           name + "\"");
}

// A declared dimension agrees with `want` when it is symbolic (< 0) or equal.
bool fits(const std::vector<int64_t>& s, const std::vector<int64_t>& want) {
  if (s.size() != want.size()) return false;
  for (size_t i = 0; i < s.size(); ++i)
    if (s[i] >= 0 && want[i] >= 0 && s[i] != want[i]) return false;
  return true;
}

// Every buffer of one clip, sized from its frame count T.
struct ClipBuffers {
  std::vector<float> feat, result, window, cond;
};

// Sized before any model runs, so a clip too long for memory fails first.
ClipBuffers clipBuffers(int n, int T) {
  ClipBuffers b;
  try {
    b.feat.resize(size_t(T) * kDim);
    b.result.resize(size_t(T) * kKp);
    b.window.resize(kWin);
    b.cond.resize(size_t(kCtx) * kDim);
  } catch (const std::bad_alloc&) {
    throw std::runtime_error("a clip of " + std::to_string(n) + " samples (" + std::to_string(T) +
                             " frames) needs more memory than is available");
  }
  return b;
}

// The kWin samples from s0 (zeros past the clip's end), scaled to zero mean and
// unit variance. Non-finite samples count as silence: one bad sample must not
// turn the window's variance, and through the running speech mean every later
// frame, into NaN.
void normaliseWindow(const float* audio, int n, int64_t s0, float* window) {
  double sum = 0;
  for (int i = 0; i < kWin; ++i) {
    const int64_t s = s0 + i;
    const float x = s < n ? audio[s] : 0.f;
    window[i] = std::isfinite(x) ? x : 0.f;
    sum += window[i];
  }
  const double mean = sum / kWin;
  double var = 0;
  for (int i = 0; i < kWin; ++i) var += (window[i] - mean) * (window[i] - mean);
  var /= kWin;
  const double scale = 1.0 / std::sqrt(var + kVarEps);
  for (int i = 0; i < kWin; ++i) window[i] = float((window[i] - mean) * scale);
}

// Clip frame f's feature row: the mean of layers 4..9 at window frame i of the
// extractor output hs. A non-finite value is refused.
void layerMean(const float* hs, int i, int f, float* row) {
  const size_t layerStride = size_t(kWinFrames) * kDim;
  std::fill(row, row + kDim, 0.f);
  for (int l = kLayerFirst; l <= kLayerLast; ++l) {
    const float* src = hs + l * layerStride + size_t(i) * kDim;
    for (int c = 0; c < kDim; ++c) row[c] += src[c];
  }
  for (int c = 0; c < kDim; ++c) {
    row[c] /= float(kLayerLast - kLayerFirst + 1);
    if (!std::isfinite(row[c]))
      throw std::runtime_error("le_fca: extractor produced a non-finite feature at frame " + std::to_string(f));
  }
}

// Subtracts from each row the running mean of the speech rows so far, in
// place: a frame's norm is taken before its row changes. A row is speech when
// its norm is above the running 20th percentile (above 0 for the first 7).
void removeSpeechMean(float* feat, int T) {
  fca::Percentile20 pct{size_t(T)};
  std::vector<double> speechSum(kDim, 0.0);
  int64_t speech = 0;
  for (int t = 0; t < T; ++t) {
    float* row = feat + size_t(t) * kDim;
    double ss = 0;
    for (int c = 0; c < kDim; ++c) ss += double(row[c]) * row[c];
    const double e = std::sqrt(ss);
    const double p = pct.add(e);
    if (t <= 6 ? e > 0 : e > p) {
      for (int c = 0; c < kDim; ++c) speechSum[c] += row[c];
      ++speech;
    }
    const double div = double(std::max<int64_t>(1, speech));
    for (int c = 0; c < kDim; ++c) row[c] = float(row[c] - speechSum[c] / div);
  }
}

// Rows t-1 .. t+5 of feat into cond, clamped at the clip's ends.
void stackContext(const float* feat, int T, int t, float* cond) {
  for (int k = 0; k < kCtx; ++k) {
    const int r = std::clamp(t - 1 + k, 0, T - 1);
    std::copy_n(feat + size_t(r) * kDim, kDim, cond + size_t(k) * kDim);
  }
}

}  // namespace

namespace fca {

Percentile20::Percentile20(size_t reserve) {
  std::vector<double> a, b;
  a.reserve(reserve);
  b.reserve(reserve);
  low_ = decltype(low_)(std::less<double>(), std::move(a));
  high_ = decltype(high_)(std::greater<double>(), std::move(b));
}

double Percentile20::add(double e) {
  const size_t t = low_.size() + high_.size();
  if (low_.empty() || e <= low_.top()) low_.push(e);
  else high_.push(e);
  const size_t want = t / 5 + 1;
  while (low_.size() > want) { high_.push(low_.top()); low_.pop(); }
  while (low_.size() < want) { low_.push(high_.top()); high_.pop(); }
  const size_t rem = t % 5;
  if (rem == 0) return low_.top();
  const double lo = low_.top(), hi = high_.top();
  return lo + (double(rem) / 5.0) * (hi - lo);
}

}  // namespace fca

struct FcaEngine::Impl {
  std::unique_ptr<Ort::Session> ext, model;
  const Ort::MemoryInfo& mem = ort::cpuMemory();
  std::vector<int64_t> hShape;
};

FcaEngine::FcaEngine(const std::string& extractorPath, const std::string& modelPath, int threads)
    : impl_(std::make_unique<Impl>()) {
  Impl& m = *impl_;
  ort::SessionSpec spec;
  spec.intraThreads = threads < 1 ? pool::threads() : threads;
  spec.level = GraphOptimizationLevel::ORT_ENABLE_ALL;  // level 99
  spec.spinning = true;  // the runtime's own default: this engine never asked for spinning off
  const Ort::SessionOptions so = ort::sessionOptions(spec);
  m.ext = ort::open(extractorPath, so);
  m.model = ort::open(modelPath, so);

  // Refuse models whose tensors disagree with what the feature path feeds and reads.
  const auto in = ioShape(*m.ext, true, kExtIn, "extractor");
  if (!fits(in, {1, kWin}))
    throw std::runtime_error("le_fca: extractor input \"input_values\" is " + shapeText(in) + ", expected [1,128000]");
  const auto out = ioShape(*m.ext, false, kExtOut, "extractor");
  if (!fits(out, {-1, 1, kWinFrames, kDim}) || (out[0] >= 0 && out[0] <= kLayerLast))
    throw std::runtime_error("le_fca: extractor output \"audio_emb\" is " + shapeText(out) +
                             ", expected [layers,1,200,768] with at least 10 layers");
  layers_ = int(out[0]);  // < 0: known after the first window
  const auto cond = ioShape(*m.model, true, kCond, "delta model");
  if (!fits(cond, {1, kCtx, kDim}))
    throw std::runtime_error("le_fca: delta model input \"cond\" is " + shapeText(cond) + ", expected [1,7,768]");
  const auto prev = ioShape(*m.model, true, kPrev, "delta model");
  if (!fits(prev, {1, kKp}))
    throw std::runtime_error("le_fca: delta model input \"prev\" is " + shapeText(prev) + ", expected [1,63]");
  m.hShape = ioShape(*m.model, true, kH, "delta model");
  int64_t hCount = 1;
  for (int64_t& d : m.hShape) hCount *= (d = d < 0 ? 1 : d);  // symbolic dimensions take 1
  if (hCount != kHidden)
    throw std::runtime_error("le_fca: delta model input \"h\" holds " + std::to_string(hCount) + " values, expected 384");
  ioShape(*m.model, false, kM, "delta model");
  ioShape(*m.model, false, kHn, "delta model");
}

FcaEngine::~FcaEngine() = default;

int FcaEngine::deltas(const float* audio, int n, float* out, int cap) {
  if (n < 1) return 0;
  if (!audio || !out) throw std::runtime_error("NULL audio/out");
  const int64_t T64 = frames(n);
  if (cap < T64) return -1;
  const int T = int(T64);

  ClipBuffers b = clipBuffers(n, T);
  features(audio, n, T, b.feat.data(), b.window.data());
  removeSpeechMean(b.feat.data(), T);
  recurrence(b.feat.data(), T, b.cond.data(), b.result.data());
  // Only a clip that succeeded reaches the caller's buffer.
  std::copy(b.result.begin(), b.result.end(), out);
  return T;
}

// One extractor window per 100 frames; a later window fills only the rows the
// earlier ones left, and never its own first 50.
void FcaEngine::features(const float* audio, int n, int T, float* feat, float* window) {
  Impl& m = *impl_;
  const char* extIn[1] = {kExtIn};
  const char* extOut[1] = {kExtOut};
  const int64_t winShape[2] = {1, kWin};
  Ort::Value winTensor = Ort::Value::CreateTensor<float>(m.mem, window, kWin, winShape, 2);
  int filled = 0;
  for (int w = 0; filled < T; ++w) {
    const int f0 = w * kStepFrames;
    const int from = w == 0 ? 0 : std::max(filled, f0 + kFillFrom);
    const int to = std::min(f0 + kWinFrames, T);
    normaliseWindow(audio, n, int64_t(f0) * kHop, window);

    const auto t0 = std::chrono::steady_clock::now();
    auto outs = m.ext->Run(Ort::RunOptions{nullptr}, extIn, &winTensor, 1, extOut, 1);
    ortSeconds_ += secondsSince(t0);
    ++extractorRuns_;
    const auto shape = outs[0].GetTensorTypeAndShapeInfo().GetShape();
    if (shape.size() != 4 || shape[0] <= kLayerLast || shape[1] != 1 || shape[2] != kWinFrames || shape[3] != kDim)
      throw std::runtime_error("le_fca: extractor produced \"audio_emb\" " + shapeText(shape) +
                               ", expected [layers,1,200,768] with at least 10 layers");
    layers_ = int(shape[0]);
    const float* hs = outs[0].GetTensorData<float>();
    for (int f = from; f < to; ++f) layerMean(hs, f - f0, f, feat + size_t(f) * kDim);
    filled = to;
  }
}

// The delta model, one step per frame, fed its own previous delta and state.
void FcaEngine::recurrence(const float* feat, int T, float* cond, float* result) {
  Impl& m = *impl_;
  const char* inNames[3] = {kCond, kPrev, kH};
  const char* outNames[2] = {kM, kHn};
  const int64_t condShape[3] = {1, kCtx, kDim};
  const int64_t prevShape[2] = {1, kKp};
  float prev[kKp] = {}, h[kHidden] = {};
  Ort::Value ins[3] = {
      Ort::Value::CreateTensor<float>(m.mem, cond, size_t(kCtx) * kDim, condShape, 3),
      Ort::Value::CreateTensor<float>(m.mem, prev, kKp, prevShape, 2),
      Ort::Value::CreateTensor<float>(m.mem, h, kHidden, m.hShape.data(), m.hShape.size())};
  for (int t = 0; t < T; ++t) {
    stackContext(feat, T, t, cond);
    const auto t0 = std::chrono::steady_clock::now();
    auto outs = m.model->Run(Ort::RunOptions{nullptr}, inNames, ins, 3, outNames, 2);
    ortSeconds_ += secondsSince(t0);
    ++modelRuns_;
    if (outs[0].GetTensorTypeAndShapeInfo().GetElementCount() != size_t(kKp) ||
        outs[1].GetTensorTypeAndShapeInfo().GetElementCount() != size_t(kHidden))
      throw std::runtime_error("le_fca: delta model outputs \"m\"/\"hn\" do not hold 63/384 values");
    const float* mo = outs[0].GetTensorData<float>();
    const float* hn = outs[1].GetTensorData<float>();
    std::copy_n(mo, kKp, result + size_t(t) * kKp);
    std::copy_n(mo, kKp, prev);
    std::copy_n(hn, kHidden, h);
  }
}

}  // namespace le

// ------------------------------------------------------------ exported interface

namespace le::api {
struct FcaFamily {};
}  // namespace le::api

struct le_fca {
  le::FcaEngine engine;
  le_fca(const char* extractor, const char* model, int threads) : engine(extractor, model, threads) {}
};

using le::api::FcaFamily;
using le::api::guarded;

extern "C" {

LE_API le_fca* le_fca_create(const char* extractor_path, const char* model_path, int threads) {
  return guarded<FcaFamily>("le_fca_create", static_cast<le_fca*>(nullptr), [&]() -> le_fca* {
    if (!extractor_path || !model_path) throw std::runtime_error("NULL extractor_path/model_path");
    return new le_fca(extractor_path, model_path, threads);
  });
}

LE_API int le_fca_deltas(le_fca* e, const float* audio, int n, float* out, int cap) {
  return guarded<FcaFamily>("le_fca_deltas", -1, [&]() -> int {
    if (!e) throw std::runtime_error("NULL engine");
    if (n < 1) return 0;
    if (!audio || !out) throw std::runtime_error("NULL audio/out");
    const int64_t T = le::fca::frames(n);
    if (cap < T)
      throw std::runtime_error("cap " + std::to_string(cap) + " < " + std::to_string(T) + " frames");
    return e->engine.deltas(audio, n, out, cap);
  });
}

LE_API const char* le_fca_last_error(void) { return le::api::errorText<FcaFamily>().c_str(); }

// Cannot fail, so it leaves the error text alone.
LE_API void le_fca_destroy(le_fca* e) { delete e; }

}  // extern "C"
