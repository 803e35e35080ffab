#include "audio/le_a2x.h"

#include <algorithm>
#include <chrono>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <limits>
#include <stdexcept>

#include "audio/le_a2x_w2v.h"
#include "base/le_env.h"
#include "base/le_error.h"
#include "base/le_file.h"
#include "base/le_ort.h"
#include "bundle/le_bundle.h"
#include "compose/le_pool.h"
#include "compose/le_simd.h"
#include "le/le_a2x.h"

namespace le::a2x {

namespace {

// Runs a session and adds the time spent inside it to acc.
struct OrtClock {
  uint64_t& acc;
  std::chrono::steady_clock::time_point t0 = std::chrono::steady_clock::now();
  ~OrtClock() {
    acc += static_cast<uint64_t>(
        std::chrono::duration_cast<std::chrono::nanoseconds>(std::chrono::steady_clock::now() - t0).count());
  }
};

size_t elementCount(const Ort::Value& v) { return v.GetTensorTypeAndShapeInfo().GetElementCount(); }

}  // namespace

void normaliseWindow(float* w, size_t n) {
  if (n == 0) return;
  double sum = 0;
  for (size_t i = 0; i < n; ++i) sum += w[i];
  double mean = sum / double(n);
  double var = 0;
  for (size_t i = 0; i < n; ++i) {
    double d = double(w[i]) - mean;
    var += d * d;
  }
  var /= double(n);
  double inv = 1.0 / std::sqrt(var + 1e-7);
  for (size_t i = 0; i < n; ++i) w[i] = static_cast<float>((double(w[i]) - mean) * inv);
}

double shortWindowPos(int f, int64_t windowStart) {
  int s = f < kLegacyFrames ? 0 : 100 * (f / 100 - 1);
  int i = f - s;
  return (double(kHop) * s - double(windowStart)) / kShortColumn + i * kShortStride;
}

int posRow(int i, int P) {
  if (i < P) return i;
  int half = P / 2;
  return half + (i - P) % (P - half);
}

int walkIndex(int64_t start, int dir, int64_t k, bool loop, int nt) {
  if (nt <= 1) return 0;
  int64_t g = start + int64_t(dir) * k;
  if (loop) return static_cast<int>(((g % nt) + nt) % nt);
  int64_t P = 2 * int64_t(nt - 1);
  int64_t gp = ((g % P) + P) % P;
  return static_cast<int>(gp <= nt - 1 ? gp : P - gp);
}

int rightContextFromEnv() {
  const auto x = env::leadingInt("LE_A2X_W2V_RIGHT");
  if (!x) return 12;
  if (*x < 0) return 0;
  return static_cast<int>(std::min<long>(*x, 1 << 20));
}

int64_t Utterance::usable() const {
  int64_t n = static_cast<int64_t>(samples.size());
  return finished ? n : (n / kBlock) * kBlock;
}

int Utterance::total() const {
  return static_cast<int>((static_cast<int64_t>(samples.size()) + kHop - 1) / kHop);
}

void Utterance::clear() {
  samples.clear();
  finished = false;
  feat.clear();
  enc.clear();
  wn.clear();
  deltas.clear();
  featDone = encDone = decDone = 0;
  pulled = 0;
}

// ------------------------------------------------------------------ creation

Engine::Engine(const std::string& dir, int threads) {
  threads_ = threads > 0 ? threads : pool::threads();
  Ort::SessionOptions so = sessionOptions(threads_, "enc/dec");

  std::string metaText;
  try {
    metaText = readText(dir + "/a2x_meta.json");
  } catch (const std::exception&) {
    throw std::runtime_error("le_a2x_create: a2x_meta.json missing in " + dir);
  }
  meta_ = parseMeta(metaText);
  right_ = rightContextFromEnv();

  try {
    std::string pos = readText(dir + "/a2x_pos.f32");
    std::string norm = readText(dir + "/a2x_norm.f32");
    std::string xs = readText(resolveMember(dir, "xs_target.bin"));
    size_t posFloats = pos.size() / 4;
    posRows_ = static_cast<int>(posFloats / size_t(meta_.h));
    nt_ = static_cast<int>(xs.size() / 4 / kDelta);
    if (posRows_ < 2 || norm.size() / 4 < 2 * kDelta || nt_ < 1) throw std::runtime_error("short");
    pos_.resize(size_t(posRows_) * meta_.h);
    std::memcpy(pos_.data(), pos.data(), pos_.size() * 4);
    norm_.resize(2 * kDelta);
    std::memcpy(norm_.data(), norm.data(), norm_.size() * 4);
    xsTarget_.resize(size_t(nt_) * kDelta);
    std::memcpy(xsTarget_.data(), xs.data(), xsTarget_.size() * 4);
  } catch (const std::exception&) {
    throw std::runtime_error("le_a2x_create: pos/norm/xs_target read failed");
  }

  const char* w2v = env::text("W2V_ONNX");
  if (!w2v) throw std::runtime_error("le_a2x_create: $W2V_ONNX not set");
  try {
    w2v_ = &sharedExtractor(w2v);
  } catch (const std::exception& e) {
    std::fprintf(stderr, "[le_a2x] shared w2v load failed (%s): %s\n", w2v, e.what());
    throw std::runtime_error("le_a2x_create: shared w2v load failed");
  }
  pair_ = sharedShortPair(w2v);

  enc_ = openGeluSafe(resolveMember(dir, "a2x_enc_stream.onnx"), so);
  dec_ = openGeluSafe(resolveMember(dir, "a2x_dec.onnx"), so);
  size_t encOuts = enc_->GetOutputCount();
  if (encOuts < 1) throw std::runtime_error("le_a2x_create: a2x_enc_stream.onnx declares no output");
  encOut0_ = ort::ioName(*enc_, 0, false);
  if (encOuts >= 2) {
    encOut1_ = ort::ioName(*enc_, 1, false);
    hasWn_ = true;
  }
  if (meta_.width >= 0 && meta_.width != width_)
    std::fprintf(stderr,
                 "[le_a2x] WARNING: a2x_meta width=%d but the encoder declares %zu output(s) \xE2\x80\x94 serving the "
                 "GRAPH (width=%d). Repackage this bundle.\n",
                 meta_.width, encOuts, width_);

  // The decoder's I/O is bound once over fixed buffers.
  const int h = meta_.h;
  dCtx_.assign(h, 0.f);
  dPrev_.assign(kDelta, 0.f);
  dH_.assign(h, 0.f);
  dX_.assign(kDelta, 0.f);
  dHOut_.assign(h, 0.f);
  bakPrev_.assign(kDelta, 0.f);
  bakH_.assign(h, 0.f);
  const int64_t sh[2] = {1, h}, sd[2] = {1, kDelta};
  dIn_.push_back(Ort::Value::CreateTensor<float>(ort::cpuMemory(), dCtx_.data(), dCtx_.size(), sh, 2));
  dIn_.push_back(Ort::Value::CreateTensor<float>(ort::cpuMemory(), dPrev_.data(), dPrev_.size(), sd, 2));
  dIn_.push_back(Ort::Value::CreateTensor<float>(ort::cpuMemory(), dH_.data(), dH_.size(), sh, 2));
  dOut_.push_back(Ort::Value::CreateTensor<float>(ort::cpuMemory(), dX_.data(), dX_.size(), sd, 2));
  dOut_.push_back(Ort::Value::CreateTensor<float>(ort::cpuMemory(), dHOut_.data(), dHOut_.size(), sh, 2));

  int n = meta_.silencePrime;
  if (const auto p = env::leadingInt("LE_A2X_SILENCE_PRIME"))
    n = static_cast<int>(std::clamp<long>(*p, -1, 1 << 20));
  if (n > 0) {
    try {
      prime(n);
      std::fprintf(stderr, "[le_a2x] silence-primed AR state cached (%d frames)\n", n);
    } catch (const std::exception& e) {
      primed_ = false;
      primedPrev_.clear();
      primedH_.clear();
      std::fprintf(stderr, "[le_a2x] silence-prime failed (%s) -- legacy zero state\n", e.what());
    }
  }
  startUtterance(u_);
  sayCadenceOnce(threads_);
}

Engine::~Engine() = default;

void Engine::startUtterance(Utterance& u) const {
  u.clear();
  if (primed_) {
    u.prev = primedPrev_;
    u.hid = primedH_;
  } else {
    u.prev.assign(kDelta, 0.f);
    u.hid.assign(meta_.h, 0.f);
  }
}

void Engine::prime(int n) {
  Utterance t;
  startUtterance(t);
  t.samples.assign(size_t(n) * kHop, 0.f);
  t.finished = true;
  extend(t, n);
  primedPrev_ = t.prev;
  primedH_ = t.hid;
  primed_ = true;
}

// ------------------------------------------------------------------ cadence

int Engine::featLimit(const Utterance& u) const {
  if (u.finished) return u.total();
  int64_t f = u.usable() / kHop - right_;
  if (f <= 0) return 0;
  // A short-window block is complete only as a whole.
  if (pair_) f = (f / kBlockFrames) * kBlockFrames;
  return static_cast<int>(f);
}

int Engine::ready(const Utterance& u) const {
  if (u.finished) return u.total();
  // Frames need their encoder look-ahead on top of complete features.
  return std::max(0, featLimit(u) - meta_.window * meta_.layers);
}

void Engine::push(const float* s, int n) {
  if (n <= 0) return;
  // After finish the last frame is final (its tail was read as zeros).
  if (u_.finished) throw std::runtime_error("push after finish (reset for a new utterance)");
  size_t at = u_.samples.size();
  u_.samples.resize(at + size_t(n));
  float* d = u_.samples.data() + at;
  // A non-finite sample would poison every window it falls in and, through the
  // decoder state, every later frame of the utterance: it counts as silence.
  for (int i = 0; i < n; ++i) d[i] = std::isfinite(s[i]) ? s[i] : 0.f;
}

void Engine::extend(Utterance& u, int target) {
  int T = std::min(target, ready(u));
  if (T <= u.decDone) return;
  int need = std::min(T + meta_.window * meta_.layers, featLimit(u));
  if (u.featDone < need) {
    if (pair_)
      fillShort(u, need);
    else
      fillLegacy(u, need);
  }
  while (u.encDone < T) encodeGroup(u, u.encDone, std::min(T, u.encDone + kEncGroup));
  while (u.decDone < T) decodeFrame(u);
}

bool Engine::extendReported(int target) {
  Utterance& u = u_;
  const int f0 = u.featDone, e0 = u.encDone, d0 = u.decDone;
  std::copy(u.prev.begin(), u.prev.end(), bakPrev_.begin());
  std::copy(u.hid.begin(), u.hid.end(), bakH_.begin());
  try {
    extend(u, target);
    return true;
  } catch (const std::exception& e) {
    u.featDone = f0;
    u.encDone = e0;
    u.decDone = d0;
    std::copy(bakPrev_.begin(), bakPrev_.end(), u.prev.begin());
    std::copy(bakH_.begin(), bakH_.end(), u.hid.begin());
    try {
      api::setErr<api::A2xFamily>("le_a2x extend", e.what());
    } catch (...) {
    }
    return false;
  }
}

int Engine::avail() {
  extendReported(u_.decDone + (pair_ ? kBlockFrames : kEncGroup));
  return u_.decDone - u_.pulled;
}

int Engine::pull(int* si, float* xs, float* xd, float* wn, int n) {
  if (n <= 0) return 0;
  extendReported(u_.pulled + n);
  int k = std::min(n, u_.decDone - u_.pulled);
  for (int j = 0; j < k; ++j) {
    int f = u_.pulled + j;
    int s = walkIndex(walkStart_, walkDir_, f, walkLoop_, nt_);
    const float* src = xsTarget_.data() + size_t(s) * kDelta;
    const float* d = u_.deltas.data() + size_t(f) * kDelta;
    if (si) si[j] = s;
    for (int c = 0; c < kDelta; ++c) {
      if (xs) xs[size_t(j) * kDelta + c] = src[c];
      if (xd) xd[size_t(j) * kDelta + c] = src[c] + d[c];
    }
    if (wn) wn[j] = hasWn_ ? u_.wn[size_t(f)] : 0.f;
  }
  u_.pulled += k;
  return k;
}

int Engine::reset(int start, int dir, int loop) {
  int d = dir < 0 ? -1 : 1;
  int64_t s = start;
  if (start < 0) {
    // Continue from the position the next frame would have taken.
    s = walkStart_ + int64_t(walkDir_) * u_.pulled;
    if (nt_ > 1) {
      int64_t period = walkLoop_ ? nt_ : 2 * int64_t(nt_ - 1);
      s = ((s % period) + period) % period;
    }
  }
  walkStart_ = s;
  walkDir_ = d;
  walkLoop_ = loop != 0;
  startUtterance(u_);
  return d;
}

int Engine::deltas(const float* audio, int n, float* out, float* wn, int cap) {
  // A scratch utterance kept across calls: its tables keep their capacity.
  Utterance& t = scratch_;
  startUtterance(t);
  if (n > 0) {
    t.samples.resize(size_t(n));
    for (int i = 0; i < n; ++i) t.samples[i] = std::isfinite(audio[i]) ? audio[i] : 0.f;
  }
  t.finished = true;
  int frames = t.total();
  if (frames > cap) throw std::runtime_error("cap below the clip's frame count");
  t.feat.reserve(size_t(frames + kBlockFrames) * kFeatRow);
  t.enc.reserve(size_t(frames) * meta_.h);
  t.deltas.reserve(size_t(frames) * kDelta);
  extend(t, frames);
  if (frames > 0) std::memcpy(out, t.deltas.data(), size_t(frames) * kDelta * sizeof(float));
  if (wn) {
    for (int k = 0; k < cap; ++k) wn[k] = (k < frames && hasWn_) ? t.wn[k] : 0.f;
  }
  return frames;
}

// ------------------------------------------------------------------ features

void Engine::fillLegacy(Utterance& u, int target) {
  Extractor& x = *w2v_;
  // Zero beyond the audio that counts (whole blocks while streaming), so that a
  // window never depends on how the host happened to split its pushes.
  const int64_t have = static_cast<int64_t>(u.finished ? u.samples.size() : u.usable());
  window_.resize(kLegacyWindow);
  static const char* inN[] = {"input_values"};
  static const char* outN[] = {"audio_emb"};
  while (u.featDone < target) {
    const int f = u.featDone;
    const int s = f < kLegacyFrames ? 0 : 100 * (f / 100 - 1);
    const int end = std::min(target, s + kLegacyFrames);
    const int64_t a = int64_t(s) * kHop;
    for (int64_t i = 0; i < kLegacyWindow; ++i) {
      int64_t p = a + i;
      window_[size_t(i)] = p < have ? u.samples[size_t(p)] : 0.f;
    }
    normaliseWindow(window_.data(), window_.size());
    const int64_t shape[2] = {1, kLegacyWindow};
    Ort::Value in = Ort::Value::CreateTensor<float>(ort::cpuMemory(), window_.data(), window_.size(), shape, 2);
    std::vector<Ort::Value> out;
    {
      OrtClock clk{ortNs_};
      out = x.session->Run(Ort::RunOptions{nullptr}, inN, &in, 1, outN, 1);
    }
    auto dims = out[0].GetTensorTypeAndShapeInfo().GetShape();
    if (dims.size() < 2 || dims.back() != kFeatDim ||
        elementCount(out[0]) % size_t(kFeatRow) != 0 || elementCount(out[0]) / kFeatRow < size_t(end - s))
      throw std::runtime_error("le_a2x: w2v audio_emb is not layers x frames x 768 with enough frames");
    const size_t rows = elementCount(out[0]) / kFeatRow;
    const float* o = out[0].GetTensorData<float>();
    u.feat.resize(size_t(end) * kFeatRow);
    for (int fr = f; fr < end; ++fr) {
      size_t i = size_t(fr - s);
      float* dst = u.feat.data() + size_t(fr) * kFeatRow;
      for (int l = 0; l < kFeatLayers; ++l)
        std::memcpy(dst + size_t(l) * kFeatDim, o + (size_t(l) * rows + i) * kFeatDim, kFeatDim * sizeof(float));
    }
    u.featDone = end;
  }
}

void Engine::fillShort(Utterance& u, int target) {
  ShortPair& p = *pair_;
  const int64_t have = static_cast<int64_t>(u.finished ? u.samples.size() : u.usable());
  window_.resize(kShortWindow);
  headIn_.resize(size_t(kBlockFrames) * kShortChannels);
  const char* tIn[] = {p.trunkIn.c_str()};
  const char* tOut[] = {p.trunkOut.c_str()};
  const char* hIn[] = {p.headIn.c_str()};
  const char* hOut[] = {p.headOut.c_str()};
  while (u.featDone < target) {
    const int b = u.featDone;
    const int64_t E = int64_t(b + right_ + kBlockFrames) * kHop;
    if (!u.finished && E > have) break;
    const int64_t ws = E - kShortWindow;
    for (int64_t i = 0; i < kShortWindow; ++i) {
      int64_t s = ws + i;
      window_[size_t(i)] = (s >= 0 && s < have) ? u.samples[size_t(s)] : 0.f;
    }
    normaliseWindow(window_.data(), window_.size());
    const int64_t shape[2] = {1, kShortWindow};
    Ort::Value in = Ort::Value::CreateTensor<float>(ort::cpuMemory(), window_.data(), window_.size(), shape, 2);
    std::vector<Ort::Value> tr;
    {
      OrtClock clk{ortNs_};
      tr = p.trunk->Run(Ort::RunOptions{nullptr}, tIn, &in, 1, tOut, 1);
    }
    auto info = tr[0].GetTensorTypeAndShapeInfo();
    auto dims = info.GetShape();
    if (dims.size() < 2 || dims[dims.size() - 2] != kShortChannels || dims.back() < 1)
      throw std::runtime_error("w2v_win: trunk output is not 640 channels x columns");
    const int64_t C = dims.back();
    const bool half = info.GetElementType() == ONNX_TENSOR_ELEMENT_DATA_TYPE_FLOAT16;
    if (!half && info.GetElementType() != ONNX_TENSOR_ELEMENT_DATA_TYPE_FLOAT)
      throw std::runtime_error("w2v_win: trunk output is neither float16 nor float");
    const uint16_t* th = half ? reinterpret_cast<const uint16_t*>(tr[0].GetTensorRawData()) : nullptr;
    const float* tf = half ? nullptr : tr[0].GetTensorData<float>();
    // Only two columns per frame are read: convert just those.
    for (int k = 0; k < kBlockFrames; ++k) {
      const double pos = shortWindowPos(b + k, ws);
      const double fl = std::floor(pos);
      if (fl < 0 || fl >= double(C)) throw std::runtime_error("w2v_win: trunk pos out of range");
      const size_t c0 = static_cast<size_t>(fl);
      const size_t c1 = std::min<size_t>(c0 + 1, size_t(C) - 1);
      const float w = static_cast<float>(pos - fl);
      float* row = headIn_.data() + size_t(k) * kShortChannels;
      for (int ch = 0; ch < kShortChannels; ++ch) {
        const size_t at = size_t(ch) * size_t(C);
        const float v0 = half ? simd::scalar::f16ToF32(th[at + c0]) : tf[at + c0];
        const float v1 = half ? simd::scalar::f16ToF32(th[at + c1]) : tf[at + c1];
        row[ch] = v0 * (1.f - w) + v1 * w;
      }
    }
    const int64_t hshape[2] = {kBlockFrames, kShortChannels};
    Ort::Value hin = Ort::Value::CreateTensor<float>(ort::cpuMemory(), headIn_.data(), headIn_.size(), hshape, 2);
    std::vector<Ort::Value> ho;
    {
      OrtClock clk{ortNs_};
      ho = p.head->Run(Ort::RunOptions{nullptr}, hIn, &hin, 1, hOut, 1);
    }
    if (elementCount(ho[0]) != size_t(kBlockFrames) * kFeatRow)
      throw std::runtime_error("w2v_win: head output is not 8 x 12 x 768");
    u.feat.resize(size_t(b + kBlockFrames) * kFeatRow);
    std::memcpy(u.feat.data() + size_t(b) * kFeatRow, ho[0].GetTensorData<float>(),
                size_t(kBlockFrames) * kFeatRow * sizeof(float));
    u.featDone = b + kBlockFrames;
  }
}

// ------------------------------------------------------------------ encoder, decoder

void Engine::encodeGroup(Utterance& u, int c0, int c1) {
  const int L = meta_.layers, h = meta_.h;
  const int featAvail = u.finished ? std::min(u.featDone, u.total()) : u.featDone;
  const int a = std::max(0, c0 - meta_.left * L);
  const int b = std::min(c1 + meta_.window * L, featAvail);
  if (b < c1) throw std::runtime_error("le_a2x: encoder group beyond the frames with features");
  const int count = b - a;
  posBuf_.resize(size_t(count) * h);
  for (int t = 0; t < count; ++t)
    std::memcpy(posBuf_.data() + size_t(t) * h, pos_.data() + size_t(posRow(a + t, posRows_)) * h,
                size_t(h) * sizeof(float));
  attnBuf_.resize(size_t(count) * count);
  const float ninf = -std::numeric_limits<float>::infinity();
  for (int j = 0; j < count; ++j)
    for (int k = 0; k < count; ++k)
      attnBuf_[size_t(j) * count + k] = (k >= j - meta_.left && k <= j + meta_.window) ? 0.f : ninf;
  const int64_t fs[4] = {1, count, kFeatLayers, kFeatDim};
  const int64_t ps[3] = {1, count, h};
  const int64_t as[4] = {1, 1, count, count};
  Ort::Value in[3] = {
      Ort::Value::CreateTensor<float>(ort::cpuMemory(), u.feat.data() + size_t(a) * kFeatRow, size_t(count) * kFeatRow, fs,
                                      4),
      Ort::Value::CreateTensor<float>(ort::cpuMemory(), posBuf_.data(), posBuf_.size(), ps, 3),
      Ort::Value::CreateTensor<float>(ort::cpuMemory(), attnBuf_.data(), attnBuf_.size(), as, 4)};
  static const char* inN[] = {"feat", "pos_window", "attn"};
  const char* outN[2] = {encOut0_.c_str(), encOut1_.c_str()};
  std::vector<Ort::Value> out;
  {
    OrtClock clk{ortNs_};
    out = enc_->Run(Ort::RunOptions{nullptr}, inN, in, 3, outN, hasWn_ ? 2 : 1);
  }
  if (elementCount(out[0]) != size_t(count) * h)
    throw std::runtime_error("le_a2x: encoder output is not frames x h");
  u.enc.resize(size_t(c1) * h);
  std::memcpy(u.enc.data() + size_t(c0) * h, out[0].GetTensorData<float>() + size_t(c0 - a) * h,
              size_t(c1 - c0) * h * sizeof(float));
  if (hasWn_) {
    if (elementCount(out[1]) != size_t(count)) throw std::runtime_error("le_a2x: encoder wn is not one per frame");
    u.wn.resize(size_t(c1));
    std::memcpy(u.wn.data() + c0, out[1].GetTensorData<float>() + (c0 - a), size_t(c1 - c0) * sizeof(float));
  }
  u.encDone = c1;
}

void Engine::decodeFrame(Utterance& u) {
  const int k = u.decDone, h = meta_.h;
  std::memcpy(dCtx_.data(), u.enc.data() + size_t(k) * h, size_t(h) * sizeof(float));
  std::memcpy(dPrev_.data(), u.prev.data(), kDelta * sizeof(float));
  std::memcpy(dH_.data(), u.hid.data(), size_t(h) * sizeof(float));
  static const char* inN[] = {"ctx_t", "prev", "h"};
  static const char* outN[] = {"x", "h_out"};
  {
    OrtClock clk{ortNs_};
    dec_->Run(Ort::RunOptions{nullptr}, inN, dIn_.data(), 3, outN, dOut_.data(), 2);
  }
  u.deltas.resize(size_t(k + 1) * kDelta);
  float* d = u.deltas.data() + size_t(k) * kDelta;
  for (int c = 0; c < kDelta; ++c) d[c] = dX_[c] * norm_[kDelta + c] + norm_[c];
  std::memcpy(u.prev.data(), dX_.data(), kDelta * sizeof(float));
  std::memcpy(u.hid.data(), dHOut_.data(), size_t(h) * sizeof(float));
  u.decDone = k + 1;
}

}  // namespace le::a2x

// ------------------------------------------------------------------ C interface

struct le_a2x {
  le::a2x::Engine engine;
  le_a2x(const std::string& dir, int threads) : engine(dir, threads) {}
};

namespace {

using le::api::A2xFamily;
using le::api::guarded;

// A null handle is refused with the function's own name.
le::a2x::Engine& need(le_a2x* e) {
  if (!e) throw std::runtime_error("NULL engine");
  return e->engine;
}
const le::a2x::Engine& need(const le_a2x* e) {
  if (!e) throw std::runtime_error("NULL engine");
  return e->engine;
}

int framesOf(int n) { return static_cast<int>((int64_t(n) + le::a2x::kHop - 1) / le::a2x::kHop); }

// A clip longer than the caller's buffer: nothing is computed, -2.
int capTooSmall(const char* fn, int cap, int need) {
  le::api::setErr<A2xFamily>(fn, "cap " + std::to_string(cap) + " < " + std::to_string(need) + " frames");
  return -2;
}

}  // namespace

extern "C" {

le_a2x* le_a2x_create(const char* dir, int threads) {
  std::string& err = le::api::errorText<A2xFamily>();
  err.clear();
  try {
    if (!dir) throw std::runtime_error("NULL dir");
    return new le_a2x(dir, threads);
  } catch (const std::exception& ex) {
    // Creation's own refusals already carry the function's name.
    static const char kPrefix[] = "le_a2x_create: ";
    try {
      if (std::strncmp(ex.what(), kPrefix, sizeof kPrefix - 1) == 0)
        err = ex.what();
      else
        le::api::setErr<A2xFamily>("le_a2x_create", ex.what());
    } catch (...) {
    }
  } catch (...) {
    try { le::api::setErr<A2xFamily>("le_a2x_create", "unknown failure"); } catch (...) {}
  }
  return nullptr;
}

int le_a2x_push(le_a2x* e, const float* samples, int n) {
  return guarded<A2xFamily>("le_a2x_push", 0, [&] {
    auto& en = need(e);
    if (n > 0 && !samples) throw std::runtime_error("NULL samples");
    en.push(samples, n);
    return 1;
  });
}

void le_a2x_finish(le_a2x* e) {
  guarded<A2xFamily>("le_a2x_finish", 0, [&] {
    need(e).finish();
    return 1;
  });
}

int le_a2x_total(const le_a2x* e) {
  return guarded<A2xFamily>("le_a2x_total", -1, [&] { return need(e).total(); });
}

int le_a2x_avail(le_a2x* e) {
  return guarded<A2xFamily>("le_a2x_avail", -1, [&] { return need(e).avail(); });
}

int le_a2x_pull(le_a2x* e, int* si, float* xs, float* xd, int n) {
  return guarded<A2xFamily>("le_a2x_pull", -1, [&] { return need(e).pull(si, xs, xd, nullptr, n); });
}

int le_a2x_pull_wn(le_a2x* e, int* si, float* xs, float* xd, float* wn, int n) {
  return guarded<A2xFamily>("le_a2x_pull_wn", -1, [&] { return need(e).pull(si, xs, xd, wn, n); });
}

int le_a2x_deltas(le_a2x* e, const float* audio, int n, float* out, int cap) {
  return guarded<A2xFamily>("le_a2x_deltas", -1, [&] {
    auto& en = need(e);
    if (n < 0 || (n > 0 && !audio) || cap < 0 || (cap > 0 && !out))
      throw std::runtime_error("NULL audio/out or negative n/cap");
    if (int need = framesOf(n); need > cap) return capTooSmall("le_a2x_deltas", cap, need);
    return en.deltas(audio, n, out, nullptr, cap);
  });
}

int le_a2x_deltas_wn(le_a2x* e, const float* audio, int n, float* out, float* wn, int cap) {
  le::api::errorText<A2xFamily>().clear();
  if (e && !e->engine.hasWn()) {
    le::api::errorText<A2xFamily>() = "le_a2x_deltas_wn: encoder declares no wn output";
    return -3;
  }
  return guarded<A2xFamily>("le_a2x_deltas_wn", -1, [&] {
    auto& en = need(e);
    if (n < 0 || (n > 0 && !audio) || cap < 0 || (cap > 0 && (!out || !wn)))
      throw std::runtime_error("NULL audio/out/wn or negative n/cap");
    if (int need = framesOf(n); need > cap) return capTooSmall("le_a2x_deltas_wn", cap, need);
    return en.deltas(audio, n, out, wn, cap);
  });
}

int le_a2x_reset(le_a2x* e, int start, int dir, int loop) {
  return guarded<A2xFamily>("le_a2x_reset", 0, [&] { return need(e).reset(start, dir, loop); });
}

void le_a2x_set_eager(le_a2x* e, int eager) {
  guarded<A2xFamily>("le_a2x_set_eager", 0, [&] {
    need(e).setEager(eager);
    return 1;
  });
}

int le_a2x_width(const le_a2x* e) {
  return guarded<A2xFamily>("le_a2x_width", 0, [&] { return need(e).width(); });
}

int le_a2x_nt(const le_a2x* e) {
  return guarded<A2xFamily>("le_a2x_nt", 0, [&] { return need(e).nt(); });
}

int le_a2x_preload_w2v(const char* path) {
  return guarded<A2xFamily>("le_a2x_preload_w2v", 0, [&] {
    const char* p = path ? path : le::env::text("W2V_ONNX");
    if (!p || !*p) throw std::runtime_error("no path and $W2V_ONNX unset");
    le::a2x::sharedExtractor(p);
    return 1;
  });
}

const char* le_a2x_last_error(void) { return le::api::errorText<A2xFamily>().c_str(); }

void le_a2x_destroy(le_a2x* e) { delete e; }

}  // extern "C"
