#include "audio/le_motion.h"

#include <algorithm>
#include <chrono>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <stdexcept>

#include "audio/le_engine_meta.h"
#include "base/le_env.h"
#include "base/le_error.h"
#include "base/le_file.h"
#include "base/le_ort.h"
#include "bundle/le_bundle.h"
#include "compose/le_pool.h"
#include "le/le_motion.h"

namespace le {

namespace motion {

std::array<std::complex<float>, kFft / 2> fftTwiddles() {
  std::array<std::complex<float>, kFft / 2> t{};
  for (int k = 0; k < kFft / 2; ++k) {
    const double a = -2.0 * M_PI * k / kFft;
    t[k] = {float(std::cos(a)), float(std::sin(a))};
  }
  return t;
}

void fft512(std::complex<float>* x, const std::complex<float>* tw) {
  // Bit-reversal permutation, then log2(512) butterfly stages.
  for (int i = 1, j = 0; i < kFft; ++i) {
    int bit = kFft >> 1;
    for (; j & bit; bit >>= 1) j ^= bit;
    j ^= bit;
    if (i < j) std::swap(x[i], x[j]);
  }
  for (int len = 2; len <= kFft; len <<= 1) {
    const int half = len >> 1, step = kFft / len;
    for (int i = 0; i < kFft; i += len) {
      for (int j = 0; j < half; ++j) {
        const std::complex<float> v = x[i + j + half] * tw[j * step];
        x[i + j + half] = x[i + j] - v;
        x[i + j] += v;
      }
    }
  }
}

void magnitudes(const float* samples, const float* window, const std::complex<float>* tw,
                std::complex<float>* scratch, float* mag) {
  for (int i = 0; i < kFft; ++i) scratch[i] = {samples[i] * window[i], 0.f};
  fft512(scratch, tw);
  for (int b = 0; b < kBins; ++b) mag[b] = std::abs(scratch[b]);
}

void melEnergies(const float* mag, const float* binmat, float* mel) {
  std::fill(mel, mel + kMel, 0.f);
  for (int b = 0; b < kBins; ++b) {
    const float m = mag[b];
    const float* row = binmat + size_t(b) * kMel;
    for (int k = 0; k < kMel; ++k) mel[k] += m * row[k];
  }
}

void reflectPad(const float* in, int n, int pad, float* out) {
  std::copy(in, in + n, out + pad);
  for (int k = 0; k < pad; ++k) {
    out[pad - 1 - k] = in[k + 1];
    out[pad + n + k] = in[n - 2 - k];
  }
}

void analyseWindow(const float* samples, const float* window, const float* binmat,
                   const std::complex<float>* tw, float* padded, std::complex<float>* fftScratch,
                   float* mag, float* mel) {
  reflectPad(samples, kWinSamples, kReflect, padded);
  float bands[kMel];
  for (int t = 0; t < kMelFrames; ++t) {
    magnitudes(padded + t * kMelStep, window, tw, fftScratch, mag);
    melEnergies(mag, binmat, bands);
    for (int k = 0; k < kMel; ++k) mel[k * kMelFrames + t] = std::log(bands[k] + 1e-8f);
  }
}

float decodeAngle(const float* logits) {
  float mx = logits[0];
  for (int b = 1; b < 66; ++b) mx = std::max(mx, logits[b]);
  double sum = 0, acc = 0;
  for (int b = 0; b < 66; ++b) {
    const double p = std::exp(double(logits[b]) - mx);
    sum += p;
    acc += p * b;
  }
  return float(acc / sum * 3.0 - 97.5);
}

void rotation(float pitch, float yaw, float roll, float R[9]) {
  const double k = M_PI / 180.0;
  const double cp = std::cos(pitch * k), sp = std::sin(pitch * k);
  const double cy = std::cos(yaw * k), sy = std::sin(yaw * k);
  const double cr = std::cos(roll * k), sr = std::sin(roll * k);
  const double m[9] = {cy * cr, cy * sr, -sy,
                       sp * sy * cr - sr * cp, cp * cr + sp * sy * sr, sp * cy,
                       sp * sr + cp * sy * cr, cp * sy * sr - cr * sp, cp * cy};
  for (int i = 0; i < 9; ++i) R[i] = float(m[i]);
}

int Walk::next(int nt) {
  const int r = cur;
  if (nt < 1) return r;
  if (loop) {
    cur = ((cur + dir) % nt + nt) % nt;
  } else {
    int nx = cur + dir;
    if (nx < 0) {
      dir = 1;
      nx = nt < 2 ? cur : 1;
    } else if (nx >= nt) {
      dir = -1;
      nx = nt < 2 ? cur : nt - 2;
    }
    cur = nx;
  }
  return r;
}

}  // namespace motion

using namespace motion;

namespace {

// A member with an exact float count: "cannot open", "<path>: <got> floats, expected <n>".
std::vector<float> readFloats(const std::string& path, size_t n) {
  RawFile f(path);
  const uint64_t got = f.size() / sizeof(float);
  if (got != n || f.size() % sizeof(float) != 0)
    throw std::runtime_error(path + ": " + std::to_string(got) + " floats, expected " + std::to_string(n));
  std::vector<float> v(n);
  if (f.read(v.data(), n * sizeof(float)) != n * sizeof(float)) throw std::runtime_error("short read " + path);
  return v;
}

double secondsSince(std::chrono::steady_clock::time_point t0) {
  return std::chrono::duration<double>(std::chrono::steady_clock::now() - t0).count();
}

}  // namespace

struct MotionEngine::Impl {
  std::unique_ptr<Ort::Session> audio, gen, stitch;
  std::vector<Ort::Value> audioIn, audioOut, genIn, genOut, stIn, stOut;
};

namespace {

std::unique_ptr<Ort::Session> openSession(const std::string& dir, const char* file, int threads,
                                          const std::string& ep) {
  ort::SessionSpec spec;
  spec.intraThreads = threads;
  spec.level = GraphOptimizationLevel::ORT_ENABLE_ALL;
  spec.spinning = env::is("LE_ORT_SPIN", "1");
  Ort::SessionOptions so = ort::sessionOptions(spec);
  if (!ep.empty()) {
    if (ep.rfind("coreml", 0) != 0) throw std::runtime_error("le_motion: unknown ep '" + ep + "'");
    ort::appendCoreml(so, ort::coremlUnits(ep), coremlCacheDir(dir));
  }
  return ort::open(dir + "/" + file, so);
}

}  // namespace

MotionEngine::MotionEngine(const std::string& dir, int threads, const std::string& ep) : impl_(new Impl) {
  const motion::Meta meta = motion::parseMeta(readText(dir + "/meta.json"));
  nt_ = meta.nt;
  nEmo_ = meta.nEmo;
  sBridge_ = meta.sBridge;
  deltaPitch_ = meta.deltaPitch;

  auto member = [&](const char* name, size_t n) { return readFloats(dir + "/" + name, n); };
  window_ = member("hubert_stft_window.bin", kFft);
  binmat_ = member("hubert_stft_binmat.bin", size_t(kBins) * kMel);
  fmean_ = member("hubert_fmean.bin", kFeat);
  fstd_ = member("hubert_fstd.bin", kFeat);
  emo_ = member("emo.bin", size_t(nEmo_) * kEmo);
  chXs_ = member("ch_xs_info.bin", kRec);
  chSc_ = member("ch_sc.bin", kKp);
  eyeOpen_ = member("ch_eye_open.bin", 2);
  eyeBall_ = member("ch_eye_ball.bin", 6);
  vMinMax_ = member("v_min_max.bin", 2 * kMot);
  srcXs_ = member("src_xs_info.bin", size_t(nt_) * kRec);
  xsTarget_ = readFloats(resolveMember(dir, "xs_target.bin"), size_t(nt_) * kKp);
  // A zero source scale would turn every lip offset into NaN.
  if (!(srcXs_[kRecScale] != 0.f) || !std::isfinite(chXs_[kRecScale] / srcXs_[kRecScale]))
    throw std::runtime_error("src_xs_info.bin: frame 0 has scale 0");
  scaleRatio_ = chXs_[kRecScale] / srcXs_[kRecScale];

  if (threads <= 0) threads = pool::threads();
  impl_->audio = openSession(dir, "hubert_student.onnx", threads, ep);
  impl_->gen = openSession(dir, "lmdm.onnx", threads, ep);
  impl_->stitch = openSession(dir, "stitch.onnx", threads, ep);

  // Reference motion vector of the character.
  chRef_[kMotScale] = chXs_[kRecScale] - 1.f;
  std::copy_n(chXs_.begin() + kRecPitch, kPoseBins, chRef_.begin() + kMotPitch);
  std::copy_n(chXs_.begin() + kRecYaw, kPoseBins, chRef_.begin() + kMotYaw);
  std::copy_n(chXs_.begin() + kRecRoll, kPoseBins, chRef_.begin() + kMotRoll);
  std::copy_n(chXs_.begin() + kRecT, 3, chRef_.begin() + kMotT);
  std::copy_n(chXs_.begin() + kRecExp, kKp, chRef_.begin() + kMotExp);

  twiddles_ = fftTwiddles();
  winSamples_.assign(kWinSamples, 0.f);
  padded_.assign(kPadded, 0.f);
  mag_.assign(kBins, 0.f);
  mel_.assign(size_t(kMel) * kMelFrames, 0.f);
  net_.assign(size_t(kNetRows) * kFeat, 0.f);
  winRows_.assign(size_t(kWinFrames) * kCond, 0.f);
  chunkCond_.assign(size_t(kChunk) * kCond, 0.f);
  chunkOut_.assign(size_t(kChunk) * kMot, 0.f);
  smoothScratch_.assign(size_t(kChunk + 2) * kMot, 0.f);
  fftScratch_.assign(kFft, {0.f, 0.f});
  saved_.assign(size_t(kFade) * kMot, 0.f);

  Impl& I = *impl_;
  const Ort::MemoryInfo& mem = ort::cpuMemory();
  const int64_t melShape[3] = {1, kMel, kMelFrames}, featShape[3] = {1, kNetRows, kFeat};
  const int64_t refShape[2] = {1, kMot}, condShape[3] = {1, kChunk, kCond}, predShape[3] = {1, kChunk, kMot};
  const int64_t kpShape[3] = {1, 21, 3};
  I.audioIn.push_back(Ort::Value::CreateTensor<float>(mem, mel_.data(), mel_.size(), melShape, 3));
  I.audioOut.push_back(Ort::Value::CreateTensor<float>(mem, net_.data(), net_.size(), featShape, 3));
  I.genIn.push_back(Ort::Value::CreateTensor<float>(mem, ref_.data(), ref_.size(), refShape, 2));
  I.genIn.push_back(Ort::Value::CreateTensor<float>(mem, chunkCond_.data(), chunkCond_.size(), condShape, 3));
  I.genOut.push_back(Ort::Value::CreateTensor<float>(mem, chunkOut_.data(), chunkOut_.size(), predShape, 3));
  I.stIn.push_back(Ort::Value::CreateTensor<float>(mem, stIn_s_.data(), stIn_s_.size(), kpShape, 3));
  I.stIn.push_back(Ort::Value::CreateTensor<float>(mem, stIn_d_.data(), stIn_d_.size(), kpShape, 3));
  I.stOut.push_back(Ort::Value::CreateTensor<float>(mem, stOut_.data(), stOut_.size(), kpShape, 3));

  if (const char* d = env::text("LE_MOTION_DUMP")) dumpDir_ = d;
  audio_.reserve(size_t(kRate) * 30);
  reset(0, 1, 0);
}

MotionEngine::~MotionEngine() = default;

void MotionEngine::dump(const char* name, const float* data, size_t n, bool append) const {
  if (dumpDir_.empty()) return;
  // Debug output only: a dump that cannot be written is skipped.
  if (FILE* f = std::fopen((dumpDir_ + "/" + name).c_str(), append ? "ab" : "wb")) {
    if (n) std::fwrite(data, sizeof(float), n, f);
    std::fclose(f);
  }
}

int64_t MotionEngine::framesPushed() const { return (int64_t(audio_.size()) + kHop - 1) / kHop; }

void MotionEngine::push(const float* samples, int n) {
  if (finished_) throw std::runtime_error("already finished");
  const size_t old = audio_.size();
  audio_.resize(old + size_t(n));
  float* dst = audio_.data() + old;
  // Full scale is [-1, 1]; a NaN or infinite sample would poison every later frame.
  for (int i = 0; i < n; ++i) {
    const float v = samples[i];
    dst[i] = std::isfinite(v) ? std::clamp(v, -1.f, 1.f) : 0.f;
  }
}

void MotionEngine::dropProvisional() {
  if (nProv_ == 0) return;
  nFeat_ -= nProv_;
  nProv_ = 0;
  cond_.resize(size_t(nFeat_) * kCond);
}

bool MotionEngine::windowReady(int w) const {
  if (int64_t(audio_.size()) >= int64_t(kHop) * w + kWinNeed) return true;
  return finished_ && w < total_;
}

void MotionEngine::runWindow(int w, bool provisional) {
  const int64_t start = int64_t(kHop) * w - kWinLead;
  const int64_t have = int64_t(audio_.size());
  for (int i = 0; i < kWinSamples; ++i) {
    const int64_t idx = start + i;
    winSamples_[i] = (idx >= 0 && idx < have) ? audio_[size_t(idx)] : 0.f;
  }
  analyseWindow(winSamples_.data(), window_.data(), binmat_.data(), twiddles_.data(), padded_.data(),
                fftScratch_.data(), mag_.data(), mel_.data());
  const char* inNames[1] = {kAudioIn};
  const char* outNames[1] = {kAudioOut};
  const auto t0 = std::chrono::steady_clock::now();
  impl_->audio->Run(Ort::RunOptions{nullptr}, inNames, impl_->audioIn.data(), 1, outNames, impl_->audioOut.data(), 1);
  ortSeconds_ += secondsSince(t0);
  for (int r = 0; r < kNetRows; ++r) {
    float* row = net_.data() + size_t(r) * kFeat;
    for (int k = 0; k < kFeat; ++k) row[k] = row[k] * fstd_[k] + fmean_[k];
  }
  if (w == 0) {
    dump("mel0.bin", mel_.data(), mel_.size());
    dump("feat0.bin", net_.data(), net_.size());
  }
  for (int j = 0; j < kWinFrames; ++j) {
    float* row = winRows_.data() + size_t(j) * kCond;
    const float* a = net_.data() + size_t(6 + 2 * j) * kFeat;
    const float* b = net_.data() + size_t(7 + 2 * j) * kFeat;
    for (int k = 0; k < kFeat; ++k) row[k] = 0.5f * (a[k] + b[k]);
    const float* emo = emo_.data() + size_t((w + j) % nEmo_) * kEmo;
    std::copy(emo, emo + kEmo, row + 1024);
    std::copy(eyeOpen_.begin(), eyeOpen_.end(), row + 1032);
    std::copy(eyeBall_.begin(), eyeBall_.end(), row + 1034);
    std::copy(chSc_.begin(), chSc_.end(), row + 1040);
  }
  // Commit: the rows go in only once everything above has succeeded.
  cond_.resize(size_t(w + kWinFrames) * kCond);
  std::copy(winRows_.begin(), winRows_.end(), cond_.begin() + ptrdiff_t(w) * kCond);
  nFeat_ = w + kWinFrames;
  if (provisional)
    nProv_ += kWinFrames;
  else
    nextWin_ = w + kWinFrames;
}

bool MotionEngine::chunkReady() const {
  const int committed = nFeat_ - nProv_;
  const int64_t first = int64_t(kStride) * chunks_;
  if (committed >= first + kChunk) return true;
  return finished_ && first < std::min(total_, committed);
}

void MotionEngine::runChunk(int c) {
  const int first = kStride * c;
  for (int r = 0; r < kChunk; ++r) {
    const int f = std::min(first + r, nFeat_ - 1);
    std::copy_n(cond_.data() + size_t(f) * kCond, kCond, chunkCond_.data() + size_t(r) * kCond);
  }
  const char* inNames[2] = {kGenRef, kGenCond};
  const char* outNames[1] = {kGenOut};
  const auto t0 = std::chrono::steady_clock::now();
  impl_->gen->Run(Ort::RunOptions{nullptr}, inNames, impl_->genIn.data(), 2, outNames, impl_->genOut.data(), 1);
  ortSeconds_ += secondsSince(t0);
  if (c == 0) {
    dump("lmdm0_kp.bin", ref_.data(), ref_.size());
    dump("lmdm0_aud.bin", chunkCond_.data(), chunkCond_.size());
    dump("lmdm0_pred.bin", chunkOut_.data(), chunkOut_.size());
  }

  const int oldLen = c == 0 ? 0 : motionLen_;
  const int newLen = c == 0 ? kChunk : oldLen + (kChunk - kFade);
  motion_.resize(size_t(newLen) * kMot);  // the only step that may throw; state untouched so far
  float* seq = motion_.data();
  const float* out = chunkOut_.data();
  int sFrom, sTo;  // frames whose first 202 components are smoothed, inclusive
  if (c == 0) {
    std::copy(out, out + size_t(kChunk) * kMot, seq);
    sFrom = 0;
    sTo = kChunk - 1;
  } else {
    for (int k = 0; k < kFade; ++k) {
      float* o = seq + size_t(oldLen - kFade + k) * kMot;
      const float* nw = out + size_t(k) * kMot;
      const float a = 1.f - k / 10.f, b = k / 10.f;
      for (int q = 0; q < kMot; ++q) o[q] = o[q] * a + nw[q] * b;
    }
    std::copy(out + size_t(kFade) * kMot, out + size_t(kChunk) * kMot, seq + size_t(oldLen) * kMot);
    sFrom = oldLen - kFade;
    sTo = oldLen;
  }
  // Smooth from a copy of the unsmoothed neighbours.
  const int cFrom = std::max(sFrom - 1, 0), cTo = std::min(sTo + 1, newLen - 1);
  std::copy(seq + size_t(cFrom) * kMot, seq + size_t(cTo + 1) * kMot, smoothScratch_.data());
  for (int i = sFrom; i <= sTo; ++i) {
    const int lo = std::max(i - 1, 0), hi = std::min(i + 1, newLen - 1);
    float* dst = seq + size_t(i) * kMot;
    for (int q = 0; q < kSmooth; ++q) {
      float s = 0;
      for (int j = lo; j <= hi; ++j) s += smoothScratch_[size_t(j - cFrom) * kMot + q];
      dst[q] = s / float(hi - lo + 1);
    }
  }
  motionLen_ = newLen;
  std::copy_n(seq + size_t(newLen - 11) * kMot, kMot, ref_.data());
}

void MotionEngine::rollback() {
  if (!provMotion_) return;
  motionLen_ = committedLen_;
  motion_.resize(size_t(committedLen_) * kMot);
  if (committedLen_ >= kFade)
    std::copy(saved_.begin(), saved_.end(), motion_.begin() + ptrdiff_t(committedLen_ - kFade) * kMot);
  ref_ = savedRef_;
  provMotion_ = false;
}

void MotionEngine::buildFinal() {
  const int n = std::min(motionLen_, total_);
  dump("res_post.bin", motion_.data(), size_t(n) * kMot);
  final_.resize(size_t(n) * kMot);
  const float* src = motion_.data();
  for (int i = 0; i < n; ++i) {
    const int lo = std::max(i - 1, 0), hi = std::min(i + 1, n - 1);
    float* dst = final_.data() + size_t(i) * kMot;
    for (int q = 0; q < kSmooth; ++q) {
      float s = 0;
      for (int j = lo; j <= hi; ++j) s += src[size_t(j) * kMot + q];
      dst[q] = s / float(hi - lo + 1);
    }
    std::copy(src + size_t(i) * kMot + kSmooth, src + size_t(i + 1) * kMot, dst + kSmooth);
    // fmin/fmax: a NaN from a network lands on the bound instead of travelling on.
    for (int q = 0; q < kMot; ++q) dst[q] = std::fmin(std::fmax(dst[q], vMinMax_[q]), vMinMax_[kMot + q]);
  }
  dump("final.bin", final_.data(), final_.size());
  hasFinal_ = true;
}

void MotionEngine::pump() {
  while (windowReady(nextWin_)) {
    dropProvisional();
    runWindow(nextWin_, false);
  }
  while (chunkReady()) {
    rollback();
    runChunk(chunks_);
    ++chunks_;
    committedLen_ = motionLen_;
  }
  if (finished_ && !hasFinal_) {
    dropProvisional();
    rollback();
    buildFinal();
  }
}

void MotionEngine::provisionalPass() {
  const auto t0 = std::chrono::steady_clock::now();
  dropProvisional();
  rollback();
  const int64_t A = framesPushed();
  try {
    for (int w = nextWin_; w < A; w += kWinFrames) runWindow(w, true);
    savedRef_ = ref_;
    if (committedLen_ >= kFade)
      std::copy_n(motion_.data() + size_t(committedLen_ - kFade) * kMot, size_t(kFade) * kMot, saved_.data());
    for (int c = chunks_; int64_t(kStride) * c < nFeat_; ++c) {
      provMotion_ = true;
      runChunk(c);
    }
  } catch (...) {
    dropProvisional();
    rollback();
    throw;
  }
  provLimit_ = int(std::max<int64_t>(provLimit_, A - 1));
  lastA_ = A;
  chunksAtPass_ = chunks_;
  const double ms = secondsSince(t0) * 1000.0;
  passMs_ = passTimed_ ? 0.7 * passMs_ + 0.3 * ms : ms;
  passTimed_ = true;
}

void MotionEngine::maybeProvisional() {
  if (eager_ == 0 || finished_) return;
  const int64_t A = framesPushed();
  bool run = chunks_ != chunksAtPass_;
  int64_t T;
  if (eager_ > 0) {
    T = eager_;
    if (emitted_ == 0 && A > lastA_) run = true;
  } else if (emitted_ == 0) {
    T = 1;
  } else {
    T = std::clamp(int64_t(passMs_ / 40.0 + 0.999), int64_t(1), int64_t(8));
  }
  if (A - lastA_ >= T) run = true;
  if (run) provisionalPass();
}

int MotionEngine::countAvail() const {
  int n;
  if (hasFinal_)
    n = int(final_.size() / kMot) - emitted_;
  else if (eager_ == 0)
    n = std::min(nFeat_ - nProv_ - 1, (provMotion_ ? committedLen_ : motionLen_) - 11) - emitted_;
  else
    n = std::min(motionLen_ - 1, provLimit_) - emitted_;
  return std::max(0, n);
}

int MotionEngine::avail() {
  pump();
  maybeProvisional();
  return countAvail();
}

void MotionEngine::finish() {
  if (finished_) return;
  dropProvisional();
  rollback();
  finished_ = true;
  total_ = int(framesPushed());
  if (!dumpDir_.empty()) {
    pump();
    dump("cond.bin", cond_.data(), cond_.size());
  }
}

void MotionEngine::motionAt(int i, float* m) const {
  if (hasFinal_) {
    std::copy_n(final_.data() + size_t(i) * kMot, kMot, m);
    return;
  }
  const int lo = std::max(i - 1, 0), hi = std::min(i + 1, motionLen_ - 1);
  for (int q = 0; q < kSmooth; ++q) {
    float s = 0;
    for (int j = lo; j <= hi; ++j) s += motion_[size_t(j) * kMot + q];
    m[q] = s / float(hi - lo + 1);
  }
  std::copy_n(motion_.data() + size_t(i) * kMot + kSmooth, kMot - kSmooth, m + kSmooth);
  for (int q = 0; q < kMot; ++q) m[q] = std::fmin(std::fmax(m[q], vMinMax_[q]), vMinMax_[kMot + q]);
}

void MotionEngine::emit(int i, int s, float* xs, float* xd) {
  float m[kMot];
  motionAt(i, m);
  const float* ref = emitted_ == 0 ? m + kMotExp : exprRef_.data();
  const float* r = srcXs_.data() + size_t(s) * kRec;
  float e[kKp];
  std::copy(r, r + kKp, e);
  for (int j : kLip)
    for (int c = 0; c < 3; ++c) {
      const int k = 3 * j + c;
      e[k] = (m[kMotExp + k] - ref[k]) * scaleRatio_ + r[k];
    }
  const float pitch = decodeAngle(r + kRecPitch), yaw = decodeAngle(r + kRecYaw), roll = decodeAngle(r + kRecRoll);
  float Rs[9], Rd[9];
  rotation(pitch, yaw, roll, Rs);
  rotation(pitch + deltaPitch_, yaw, roll, Rd);
  const float scale = r[kRecScale];
  const float t[3] = {r[kRecT], r[kRecT + 1], 0.f};
  for (int j = 0; j < 21; ++j) {
    const float* x = r + 63 + 3 * j;
    for (int c = 0; c < 3; ++c) {
      const float ps = x[0] * Rs[c] + x[1] * Rs[3 + c] + x[2] * Rs[6 + c];
      const float pd = x[0] * Rd[c] + x[1] * Rd[3 + c] + x[2] * Rd[6 + c];
      stIn_s_[3 * j + c] = scale * (ps + r[3 * j + c]) + t[c];
      stIn_d_[3 * j + c] = scale * (pd + e[3 * j + c]) + t[c];
    }
  }
  const char* inNames[2] = {kStitchSrc, kStitchDrv};
  const char* outNames[1] = {kStitchOut};
  const auto t0 = std::chrono::steady_clock::now();
  impl_->stitch->Run(Ort::RunOptions{nullptr}, inNames, impl_->stIn.data(), 2, outNames, impl_->stOut.data(), 1);
  ortSeconds_ += secondsSince(t0);
  const float* target = xsTarget_.data() + size_t(s) * kKp;
  for (int k = 0; k < kKp; ++k) {
    xs[k] = target[k];
    xd[k] = (stOut_[k] - stIn_s_[k]) * sBridge_ + target[k];
  }
  if (emitted_ == 0) std::copy(m + kMotExp, m + kMot, exprRef_.begin());
  if (!dumpDir_.empty()) {
    dump("xs.bin", xs, kKp, true);
    dump("xd.bin", xd, kKp, true);
    dump("xsla.bin", stIn_s_.data(), kKp, true);
    dump("xdla.bin", stOut_.data(), kKp, true);
  }
}

int MotionEngine::pull(int* si, float* xs, float* xd, int n) {
  pump();
  maybeProvisional();
  const int k = std::min(n, countAvail());
  for (int f = 0; f < k; ++f) {
    const int s = walk_.cur;
    try {
      emit(emitted_, s, xs + size_t(f) * kKp, xd + size_t(f) * kKp);
    } catch (...) {
      if (f == 0) throw;
      return f;  // the frames already written stay delivered
    }
    if (si) si[f] = s;
    walk_.next(nt_);
    ++emitted_;
  }
  return k;
}

void MotionEngine::reset(int start, int dir, int loop) {
  audio_.clear();
  cond_.clear();
  nFeat_ = nProv_ = nextWin_ = 0;
  motion_.clear();
  motionLen_ = chunks_ = committedLen_ = 0;
  provMotion_ = false;
  ref_ = chRef_;
  savedRef_ = chRef_;
  finished_ = false;
  total_ = 0;
  final_.clear();
  hasFinal_ = false;
  emitted_ = 0;
  walk_.cur = std::clamp(start, 0, nt_ - 1);
  walk_.dir = dir < 0 ? -1 : 1;
  walk_.loop = loop != 0;
  exprRef_.fill(0.f);
  eager_ = 0;
  provLimit_ = -1;
  lastA_ = 0;
  chunksAtPass_ = 0;
  passMs_ = 0;
  passTimed_ = false;
}

void MotionEngine::setEager(int eager) {
  eager_ = eager;
  if (eager_ == 0) {
    // Provisional work is only ever shown in eager mode.
    dropProvisional();
    rollback();
  }
}

}  // namespace le

// ------------------------------------------------------------ exported interface

namespace le::api {
struct MotionFamily {};
}  // namespace le::api

struct le_motion {
  le::MotionEngine engine;
  le_motion(const char* dir, int threads, const char* ep) : engine(dir, threads, ep ? ep : "") {}
};

using le::api::guarded;
using le::api::MotionFamily;

namespace {
// A null handle is refused with the function's own name.
template <class M>
auto& need(M* m) {
  if (!m) throw std::runtime_error("NULL engine");
  return m->engine;
}
}  // namespace

extern "C" {

LE_API le_motion* le_motion_create(const char* motion_dir, int threads, const char* ep) {
  return guarded<MotionFamily>("le_motion_create", static_cast<le_motion*>(nullptr), [&]() -> le_motion* {
    if (!motion_dir) throw std::runtime_error("NULL motion_dir");
    return new le_motion(motion_dir, threads, ep);
  });
}

LE_API int le_motion_push(le_motion* m, const float* samples, int n) {
  return guarded<MotionFamily>("le_motion_push", 0, [&]() -> int {
    if (!m || !samples || n < 0 || m->engine.finished()) throw std::runtime_error("bad args / already finished");
    m->engine.push(samples, n);
    return 1;
  });
}

LE_API int le_motion_finish(le_motion* m) {
  return guarded<MotionFamily>("le_motion_finish", 0, [&]() -> int {
    need(m).finish();
    return 1;
  });
}

LE_API int le_motion_avail(le_motion* m) {
  return guarded<MotionFamily>("le_motion_avail", 0, [&]() -> int { return need(m).avail(); });
}

LE_API int le_motion_pull(le_motion* m, int* si, float* xs, float* xd, int n) {
  return guarded<MotionFamily>("le_motion_pull", 0, [&]() -> int {
    if (!m || !xs || !xd || n <= 0) throw std::runtime_error("bad args");
    return m->engine.pull(si, xs, xd, n);
  });
}

LE_API void le_motion_reset(le_motion* m, int start, int dir, int loop) {
  guarded<MotionFamily>("le_motion_reset", 0, [&]() -> int {
    need(m).reset(start, dir, loop);
    return 1;
  });
}

LE_API void le_motion_set_eager(le_motion* m, int eager) {
  guarded<MotionFamily>("le_motion_set_eager", 0, [&]() -> int {
    need(m).setEager(eager);
    return 1;
  });
}

LE_API int le_motion_total(const le_motion* m) {
  return guarded<MotionFamily>("le_motion_total", 0, [&]() -> int { return need(m).total(); });
}

LE_API int le_motion_nt(const le_motion* m) {
  return guarded<MotionFamily>("le_motion_nt", 0, [&]() -> int { return need(m).nt(); });
}

LE_API const char* le_motion_last_error(void) { return le::api::errorText<MotionFamily>().c_str(); }

// Cannot fail, so it leaves the error text alone.
LE_API void le_motion_destroy(le_motion* m) { delete m; }

}  // extern "C"
