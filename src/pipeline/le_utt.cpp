#include "pipeline/le_utt.h"

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <cstring>
#include <stdexcept>

#include "base/le_env.h"
#include "base/le_error.h"
#include "base/le_file.h"
#include "bundle/le_bundle.h"
#include "capi/le_ctx.h"
#include "le/le_a2x.h"
#include "le/le_motion.h"
#include "render/le_renderer.h"
#include "telemetry/le_telemetry.h"
#include "tessera/le_tessera_pi.h"
#include "tessera/le_tessera_stream.h"

namespace le::utt {

namespace {

// Telemetry is a by-product: a failure to record never disturbs the pipeline.
void tel(const char* name, double value) noexcept {
  try {
    telemetry::record(name, value);
  } catch (...) {
  }
}

double msSince(Clock::time_point t0, Clock::time_point t1 = Clock::now()) {
  return std::chrono::duration<double, std::milli>(t1 - t0).count();
}

// LE_UTT_HYBRID: unset or empty is off; a leading '0' makes the next character
// the switch (so "0" alone is off); any other first digit is on unless it is 0.
bool hybridFromEnv() {
  const char* v = env::text("LE_UTT_HYBRID");
  if (!v) return false;
  if (v[0] == '0') return v[1] != 0;
  return v[0] - '0' != 0;
}

class MotionAudio final : public AudioEngine {
 public:
  explicit MotionAudio(le_motion* m) : m_(m) {}
  ~MotionAudio() override { le_motion_destroy(m_); }
  void reset(int start, int dir) override { le_motion_reset(m_, start, dir, 1); }
  void setEager(int eager) override { le_motion_set_eager(m_, eager); }
  void push(const float* s, int n) override {
    if (n > 0) le_motion_push(m_, s, n);
  }
  void finish() override { le_motion_finish(m_); }
  int avail() override { return std::max(0, le_motion_avail(m_)); }
  int pull(int* si, float* xs, float* xd, int n) override {
    return n > 0 ? std::max(0, le_motion_pull(m_, si, xs, xd, n)) : 0;
  }
  int total() override { return le_motion_total(m_); }

 private:
  le_motion* m_;
};

class ExpressionAudio final : public AudioEngine {
 public:
  explicit ExpressionAudio(le_a2x* e) : e_(e) {}
  ~ExpressionAudio() override { le_a2x_destroy(e_); }
  void reset(int start, int dir) override { le_a2x_reset(e_, start, dir, 1); }
  void setEager(int eager) override { le_a2x_set_eager(e_, eager); }
  void push(const float* s, int n) override {
    if (n > 0) le_a2x_push(e_, s, n);
  }
  void finish() override { le_a2x_finish(e_); }
  int avail() override { return std::max(0, le_a2x_avail(e_)); }
  int pull(int* si, float* xs, float* xd, int n) override {
    return n > 0 ? std::max(0, le_a2x_pull(e_, si, xs, xd, n)) : 0;
  }
  int total() override { return le_a2x_total(e_); }

 private:
  le_a2x* e_;
};

}  // namespace

Options Options::resolve(const le_utt_opts& o, int poolThreads) {
  Options r;
  r.motionDir = o.motion_dir ? o.motion_dir : "";
  r.threads = o.threads < 1 ? poolThreads : o.threads;
  r.ep = o.ep ? o.ep : "";
  r.steadyModel = (o.steady_model && *o.steady_model) ? o.steady_model : "b24_fp32";
  if (const char* v = env::text("LE_STEADY_MODEL")) r.steadyModel = v;
  if (r.steadyModel == "-") r.steadyModel.clear();
  if (o.eager > 0) {
    r.eager = o.eager;
  } else if (o.eager == -2) {
    r.hybrid = true;
  } else {
    r.hybrid = hybridFromEnv();
  }
  r.silenceEndS = o.silence_end_s == 0 ? 0.6 : (o.silence_end_s < 0 ? -1.0 : o.silence_end_s);
  r.rampFrames = o.ramp_frames < 1 ? 6 : o.ramp_frames;
  r.interruptRampFrames = o.interrupt_ramp_frames < 1 ? 4 : o.interrupt_ramp_frames;
  r.expression = canOpen(resolveMember(r.motionDir, "a2x_enc_stream.onnx"));
  r.pipelined = r.expression;
  if (const auto p = env::leadingInt("LE_UTT_PIPELINE_PASTE")) r.pipelined = *p != 0;
  return r;
}

std::unique_ptr<AudioEngine> openAudioEngine(const Options& opts) {
  if (opts.expression) {
    le_a2x* e = le_a2x_create(opts.motionDir.c_str(), opts.threads);
    if (!e) throw std::runtime_error(le_a2x_last_error());
    return std::make_unique<ExpressionAudio>(e);
  }
  le_motion* m = le_motion_create(opts.motionDir.c_str(), opts.threads, opts.ep.empty() ? nullptr : opts.ep.c_str());
  if (!m) throw std::runtime_error(le_motion_last_error());
  return std::make_unique<MotionAudio>(m);
}

// ====================================================================== life

Pipeline::Pipeline(le_ctx& ctx, const Options& opts) : ctx_(ctx), opts_(opts) {
  nt_ = ctx.manifest.nt;
  frameBytes_ = std::size_t(ctx.manifest.W) * std::size_t(ctx.manifest.H) * 3;
  cropFloats_ = std::size_t(ctx.manifest.crop) * std::size_t(ctx.manifest.crop) * 3;
  Renderer& d = director(ctx);
  directorEp_ = d.ep();
  try {
    xsTarget_ = readRaw<float>(resolveMember(opts_.motionDir, "xs_target.bin"), std::size_t(nt_) * kKp);
  } catch (const std::exception&) {
    xsTarget_.clear();  // no idle targets: speech ends without a ramp
  }
  for (Slot& s : ring_) s.rgb.assign(frameBytes_, 0);
  batchSi_.reserve(kSpeechQueue);
  batchXs_.reserve(std::size_t(kSpeechQueue) * kKp);
  batchXd_.reserve(std::size_t(kSpeechQueue) * kKp);
  job_.si.resize(kSpeechQueue);
  job_.xs.resize(std::size_t(kSpeechQueue) * kKp);
  job_.xd.resize(std::size_t(kSpeechQueue) * kKp);
  lastEager_ = opts_.hybrid ? 3 : opts_.eager;
  if (const char* note = d.directorNote(); note && *note) noteRenderFail("director load", note, false);

  try {
    main_ = std::thread([this] { run(); });
    warm_ = std::thread([this] { warm(); });
    dispatch_ = std::thread([this] { dispatchLoop(); });
    if (opts_.pipelined) paste_ = std::thread([this] { pasteLoop(); });
  } catch (...) {
    stopThreads();
    throw;
  }
}

void Pipeline::stopThreads() {
  {
    std::lock_guard<std::mutex> lk(mu_);
    stop_ = true;
  }
  cv_.notify_all();
  pcv_.notify_all();
  tcv_.notify_all();
  for (std::thread* t : {&tess_, &paste_, &main_, &warm_})
    if (t->joinable()) t->join();
  {
    std::lock_guard<std::mutex> lk(dmu_);
    dstop_ = true;
  }
  dcv_.notify_all();
  if (dispatch_.joinable()) dispatch_.join();
  // Every feeder has ended: the crop the pass still holds is flushed, not delivered.
  dropHeld();
}

Pipeline::~Pipeline() {
  stopThreads();
  engine_.reset();
  if (env::text("LE_UTT_STAGE_REPORT")) printStageReport();
}

// ============================================================ host requests

int Pipeline::ready(std::string* failure) {
  std::lock_guard<std::mutex> lk(mu_);
  if (ready_ < 0 && failure) *failure = engineFailure_;
  return ready_;
}

void Pipeline::pushAudio(const std::int16_t* samples, int n) {
  std::lock_guard<std::mutex> lk(mu_);
  const Clock::time_point now = Clock::now();
  if (!pushedSinceTake_) firstPush_ = now;
  pushedSinceTake_ = true;
  lastPush_ = now;
  constexpr float kScale = 1.0f / 32768.0f;
  const std::size_t at = pendingAudio_.size();
  pendingAudio_.resize(at + std::size_t(n));
  for (int i = 0; i < n; ++i) pendingAudio_[at + std::size_t(i)] = float(samples[i]) * kScale;
  cv_.notify_all();
}

void Pipeline::endUtterance() {
  std::lock_guard<std::mutex> lk(mu_);
  endMark_ = true;
  cv_.notify_all();
}

void Pipeline::interrupt() {
  std::lock_guard<std::mutex> lk(mu_);
  pendingAudio_.clear();
  endMark_ = false;
  pushedSinceTake_ = false;
  droppedByInterrupt_ += (writeCount_ - readCount_) + pasteQueue_.size() + teethQueue_.size();
  readCount_ = writeCount_;
  for (std::deque<PasteJob>* q : {&pasteQueue_, &teethQueue_}) {
    for (PasteJob& j : *q) recycleLocked(std::move(j.crop));
    q->clear();
  }
  ++generation_;
  cv_.notify_all();
  pcv_.notify_all();
  tcv_.notify_all();
}

int Pipeline::framesAvailable() {
  std::lock_guard<std::mutex> lk(mu_);
  return int(writeCount_ - readCount_);
}

int Pipeline::pullFrame(void* dst, std::size_t cap, le_utt_frame_info* info) {
  std::lock_guard<std::mutex> lk(mu_);
  if (writeCount_ == readCount_) return 0;
  if (cap < frameBytes_) return -1;
  const Slot& s = ring_[readCount_ % kRing];
  std::memcpy(dst, s.rgb.data(), frameBytes_);
  if (info) *info = s.info;
  pulledAny_ = true;
  lastPulledKind_ = s.info.kind;
  lastPulledSi_ = s.info.si;
  lastPulledKp_ = s.kp;
  ++stats_.frames_pulled;
  if (s.info.kind == 1) ++stats_.speech_frames_pulled;
  ++readCount_;
  cv_.notify_all();
  return 1;
}

le_utt_stats Pipeline::stats() {
  std::lock_guard<std::mutex> lk(mu_);
  le_utt_stats s = stats_;
  s.state = state_.load();
  return s;
}

int Pipeline::renderStatus(std::string* text, std::uint64_t* failures) {
  std::lock_guard<std::mutex> lk(mu_);
  if (text) *text = failureText_;
  if (failures) *failures = failures_;
  return disabled_ ? -1 : 0;
}

// ================================================================== threads

void Pipeline::warm() {
  std::unique_ptr<AudioEngine> engine;
  try {
    engine = openAudioEngine(opts_);
  } catch (const std::exception& e) {
    std::lock_guard<std::mutex> lk(mu_);
    ready_ = -1;
    engineFailure_ = e.what();
    cv_.notify_all();
    return;
  }
  engine->setEager(opts_.hybrid ? 3 : opts_.eager);

  std::unique_ptr<Renderer> steady;
  if (!opts_.steadyModel.empty()) {
    try {
      steady = std::make_unique<Renderer>(ctx_.manifest, ctx_.identity, opts_.steadyModel, ctx_.threads, ctx_.ep);
    } catch (const std::exception&) {
      steady.reset();  // no batched director: every frame renders singly
    }
    if (steady && directorEp_.rfind("coreml-native", 0) == 0 && std::string(steady->ep()).rfind("coreml-native", 0) != 0) {
      std::fprintf(stderr,
                   "[le_utt] steady chunk renderer '%s' DROPPED (rendering b1-only): this frame graph runs on ep=%s "
                   "while the chunk graph fell back to ep=%s. A chunk that gives up the bundle's own CoreML director "
                   "costs MORE per frame than the per-frame path it was meant to amortize, and letting timing choose "
                   "between two runtimes makes the delivered pixels depend on scheduling.\n",
                   opts_.steadyModel.c_str(), directorEp_.c_str(), steady->ep());
      steady.reset();
    }
  }

  // One crop through each director, so that the first utterance does not pay
  // for the runtime's first-run work.
  if (ctx_.drive.frames > 0) {
    const int si = ctx_.drive.si[0];
    const float* xs = ctx_.drive.xs.data();
    try {
      ctx_.renderer->render(&si, xs, xs, 1);
      if (steady) steady->render(&si, xs, xs, 1);
    } catch (const std::exception& e) {
      noteRenderFail("warm-up", e.what(), false);
    }
  }

  std::lock_guard<std::mutex> lk(mu_);
  engine_ = std::move(engine);
  steady_ = std::move(steady);
  ready_ = 1;
  cv_.notify_all();
}

void Pipeline::dispatchLoop() {
  AudioEngine* engine = nullptr;
  std::vector<float> audio;
  for (;;) {
    Job w;
    {
      std::unique_lock<std::mutex> dl(dmu_);
      dcv_.wait(dl, [&] { return dstop_ || (job_.posted && !job_.done); });
      if (dstop_) return;
      audio.swap(job_.audio);
      w.finish = job_.finish;
      w.reset = job_.reset;
      w.start = job_.start;
      w.dir = job_.dir;
      w.eager = job_.eager;
      w.maxFrames = job_.maxFrames;
    }
    if (!engine) {
      std::lock_guard<std::mutex> lk(mu_);
      engine = engine_.get();  // installed before the first job was posted
    }
    // A posted job owns job_'s frame arrays until it is marked done.
    int pulled = 0, remaining = 0, total = -1;
    if (w.reset) engine->reset(w.start, w.dir);
    if (w.eager != 0) engine->setEager(w.eager);
    engine->push(audio.data(), int(audio.size()));
    audio.clear();
    if (w.finish) engine->finish();
    const int avail = engine->avail();
    const int want = std::min(avail, w.maxFrames);
    if (want > 0) pulled = engine->pull(job_.si.data(), job_.xs.data(), job_.xd.data(), want);
    remaining = std::max(0, avail - pulled);
    total = engine->total();
    {
      std::lock_guard<std::mutex> dl(dmu_);
      job_.pulled = pulled;
      job_.remaining = remaining;
      job_.total = total;
      job_.done = true;
      job_.audio.swap(audio);  // hand the emptied buffer back for reuse
    }
    std::lock_guard<std::mutex> lk(mu_);
    cv_.notify_all();
  }
}

void Pipeline::run() {
  for (;;) {
    {
      std::lock_guard<std::mutex> lk(mu_);
      if (stop_) return;
    }
    if (cycle()) continue;
    std::unique_lock<std::mutex> lk(mu_);
    if (stop_) return;
    cv_.wait_for(lk, std::chrono::milliseconds(2));
  }
}

void Pipeline::pasteLoop() {
  for (;;) {
    PasteJob j;
    {
      std::unique_lock<std::mutex> lk(mu_);
      pcv_.wait(lk, [&] { return stop_ || !pasteQueue_.empty(); });
      if (stop_) return;
      j = std::move(pasteQueue_.front());
      pasteQueue_.pop_front();
      if (j.meta.generation != generation_) {
        recycleLocked(std::move(j.crop));
        continue;
      }
      pasteBusy_ = true;
      cv_.notify_all();  // a queued job's room is free again
    }
    const Clock::time_point t0 = Clock::now();
    enqueueRaw(j.crop.empty() ? nullptr : j.crop.data(), j.meta);
    std::lock_guard<std::mutex> lk(mu_);
    ++jobsB_;
    stageBms_ += msSince(t0);
    pasteBusy_ = false;
    recycleLocked(std::move(j.crop));
    cv_.notify_all();
  }
}

void Pipeline::tessLoop() {
  for (;;) {
    PasteJob j;
    std::shared_ptr<TeethStage> st;
    {
      std::unique_lock<std::mutex> lk(mu_);
      tcv_.wait(lk, [&] { return stop_ || !teethQueue_.empty(); });
      if (stop_) return;
      j = std::move(teethQueue_.front());
      teethQueue_.pop_front();
      cv_.notify_all();  // a queued job's room is free again
      if (j.meta.generation != generation_) {
        recycleLocked(std::move(j.crop));
        continue;
      }
      teethBusy_ = true;
      if (!teethFailed_) st = teeth_;
    }
    feedTeeth(st, j.crop.empty() ? nullptr : j.crop.data(), j.meta);
    std::lock_guard<std::mutex> lk(mu_);
    teethBusy_ = false;
    recycleLocked(std::move(j.crop));
    cv_.notify_all();
  }
}

// ================================================================ main loop

bool Pipeline::cycle() {
  bool did = false;
  bool engineReady = false;
  bool interrupted = false;
  {
    std::lock_guard<std::mutex> lk(mu_);
    if (generation_ != seenGeneration_) {
      handleInterruptLocked();
      did = interrupted = true;
    }
    engineReady = ready_ == 1;
    if (takeHostInputLocked(engineReady)) did = true;
  }
  // The crop the pass holds belongs to the interrupted utterance: flushed, its result dropped.
  if (interrupted && !opts_.pipelined) dropHeld();
  if (collectJob()) did = true;
  if (engineReady && uttActive_) postJob(chooseEager());

  if (uttActive_ && !speech_.empty() && ringCount() <= kRing - 1) {
    if (disabled()) {
      // Rendering is off after a disabling failure: the frames are consumed
      // unrendered so the utterance still ends and idle video goes on.
      renderedInUtt_ += std::int64_t(speech_.size());
      speech_.clear();
      did = true;
    } else if (const int n = speechBatchDue(); n > 0) {
      renderSpeech(n);
      did = true;
    }
  }
  if (endUtteranceIfDone()) did = true;
  if (state_ == 3 && ringCount() <= kRing - 1) {
    produceRamp();
    did = true;
  }
  if (state_ == 0 && !uttActive_ && idleDue()) {
    const Kp none{};
    enqueue(nullptr, 0, walk_, -1, none);
    walk_ = nt_ > 0 ? (walk_ + 1) % nt_ : 0;
    did = true;
  }
  return did;
}

bool Pipeline::takeHostInputLocked(bool engineReady) {
  bool did = false;
  // A ramp finishes before the next utterance's audio is looked at, and a
  // closed utterance keeps new audio pending until it has ended.
  const bool canTake = state_ != 3 && !(uttActive_ && inputClosed_);
  if (canTake && !pendingAudio_.empty()) {
    if (!engineReady) {
      pendingAudio_.clear();  // pushed before the engine was ready: discarded
      pushedSinceTake_ = false;
    } else {
      if (!uttActive_) beginUtteranceLocked();
      engineAudio_.insert(engineAudio_.end(), pendingAudio_.begin(), pendingAudio_.end());
      pendingAudio_.clear();
      pushedSinceTake_ = false;
      did = true;
    }
  }
  if (canTake && endMark_) {
    endMark_ = false;
    if (uttActive_) inputClosed_ = true;
  }
  if (uttActive_ && !inputClosed_ && opts_.silenceEndS >= 0 &&
      msSince(lastPush_) > opts_.silenceEndS * 1000.0)
    inputClosed_ = true;
  return did;
}

void Pipeline::beginUtteranceLocked() {
  uttActive_ = true;
  inputClosed_ = false;
  finishSent_ = false;
  needReset_ = true;
  pulledInUtt_ = renderedInUtt_ = 0;
  engineRemaining_ = 0;
  engineTotal_ = -1;
  uttRenderMs_ = 0;
  uttStart_ = firstPush_;
  uttDroppedBase_ = droppedByInterrupt_;
  state_ = 1;
}

void Pipeline::clearUtterance() {
  uttActive_ = false;
  inputClosed_ = finishSent_ = needReset_ = false;
  speech_.clear();
  engineAudio_.clear();
  pulledInUtt_ = renderedInUtt_ = 0;
  engineRemaining_ = 0;
  engineTotal_ = -1;
}

void Pipeline::handleInterruptLocked() {
  seenGeneration_ = generation_;
  const bool speaking = uttActive_ || state_ == 3;
  droppedByInterrupt_ += speech_.size();
  if (speaking) tel("utt.frames_dropped_by_interrupt", double(droppedByInterrupt_ - uttDroppedBase_));
  clearUtterance();
  state_ = 0;
  if (!pulledAny_) return;
  if ((lastPulledKind_ == 1 || lastPulledKind_ == 2) && !xsTarget_.empty()) {
    startRamp((lastPulledSi_ + 1) % nt_, lastPulledKp_, opts_.interruptRampFrames);
  } else {
    walk_ = (lastPulledSi_ + 1) % nt_;
  }
}

bool Pipeline::collectJob() {
  int pulled = 0, remaining = 0, total = -1;
  {
    std::lock_guard<std::mutex> dl(dmu_);
    if (!job_.posted || !job_.done) return false;
    job_.posted = job_.done = false;
    pulled = job_.pulled;
    remaining = job_.remaining;
    total = job_.total;
  }
  jobOutstanding_ = false;
  {
    std::lock_guard<std::mutex> lk(mu_);
    if (jobGeneration_ != generation_) return true;  // made before an interrupt
  }
  if (!uttActive_) return true;
  for (int k = 0; k < pulled; ++k) {
    SpeechFrame f;
    f.si = job_.si[std::size_t(k)];
    std::copy_n(job_.xs.data() + std::size_t(k) * kKp, kKp, f.xs.begin());
    std::copy_n(job_.xd.data() + std::size_t(k) * kKp, kKp, f.xd.begin());
    speech_.push_back(f);
  }
  pulledInUtt_ += pulled;
  engineRemaining_ = remaining;
  engineTotal_ = total;
  lastJobEmpty_ = pulled == 0 && remaining == 0;
  lastJobAt_ = Clock::now();
  return pulled > 0;
}

int Pipeline::chooseEager() {
  if (!opts_.hybrid) return opts_.eager;
  const int backlog = int(speech_.size()) + engineRemaining_ + ringCount();
  if (backlog > 23) hybridEager_ = 24;
  else if (backlog <= 11) hybridEager_ = 3;
  return hybridEager_;
}

void Pipeline::postJob(int eager) {
  if (jobOutstanding_ || int(speech_.size()) >= kSpeechQueue) return;
  const bool finish = inputClosed_ && !finishSent_;
  const bool engineDone = finishSent_ && engineTotal_ >= 0 && pulledInUtt_ >= engineTotal_;
  const bool news = !engineAudio_.empty() || needReset_ || finish || eager != lastEager_;
  if (!news && engineDone) return;
  // An engine that had nothing last time is asked again only after a pause.
  if (!news && lastJobEmpty_ && msSince(lastJobAt_) < 2.0) return;
  {
    std::lock_guard<std::mutex> dl(dmu_);
    job_.audio.insert(job_.audio.end(), engineAudio_.begin(), engineAudio_.end());
    job_.finish = finish;
    job_.reset = needReset_;
    job_.start = walk_;
    job_.dir = 1;
    job_.eager = eager != lastEager_ ? eager : 0;
    job_.maxFrames = kSpeechQueue - int(speech_.size());
    job_.posted = true;
    job_.done = false;
  }
  // Tagged with the generation this loop has acted on: a job posted after an
  // interrupt the loop has not handled yet carries the old utterance's audio.
  jobGeneration_ = seenGeneration_;
  engineAudio_.clear();
  finishSent_ = finishSent_ || finish;
  needReset_ = false;
  lastEager_ = eager;
  jobOutstanding_ = true;
  dcv_.notify_one();
}

int Pipeline::speechBatchDue() const {
  const bool allDelivered = finishSent_ && engineTotal_ >= 0 && pulledInUtt_ >= engineTotal_;
  const int queued = int(speech_.size());
  if (queued <= 7 && !allDelivered) return 0;
  const int B = steady_ ? steady_->batch() : 1;
  if (B > 1) {
    if (queued >= B) return B;
    if (queued + engineRemaining_ >= B) return 0;  // the engine holds the rest of a batch
  }
  return 1;
}

void Pipeline::renderSpeech(int n) {
  batchSi_.clear();
  batchXs_.clear();
  batchXd_.clear();
  for (int k = 0; k < n; ++k) {
    const SpeechFrame& f = speech_[std::size_t(k)];
    batchSi_.push_back(f.si);
    batchXs_.insert(batchXs_.end(), f.xs.begin(), f.xs.end());
    batchXd_.insert(batchXd_.end(), f.xd.begin(), f.xd.end());
  }
  const Clock::time_point t0 = Clock::now();
  const float* crops = nullptr;
  if (n > 1) {
    try {
      crops = steady_->render(batchSi_.data(), batchXs_.data(), batchXd_.data(), n);
    } catch (const std::exception& e) {
      noteRenderFail("b24 chunk", e.what(), false);
      for (int k = 0; k < n && !disabled(); ++k) renderSpeech(1);
      return;
    }
  } else {
    try {
      crops = ctx_.renderer->render(batchSi_.data(), batchXs_.data(), batchXd_.data(), 1);
    } catch (const std::exception& e) {
      noteRenderFail("render", e.what(), true);
      return;
    }
  }
  const double perFrame = msSince(t0) / n;
  mainWaitMs_ = 0;
  for (int k = 0; k < n; ++k) {
    const SpeechFrame f = speech_.front();
    speech_.pop_front();
    {
      std::lock_guard<std::mutex> lk(mu_);
      stats_.render_ms_avg = renderMsSeen_ ? 0.9 * stats_.render_ms_avg + 0.1 * perFrame : perFrame;
      renderMsSeen_ = true;
    }
    uttRenderMs_ += perFrame;
    lastRendered_ = f.xd;
    walk_ = (f.si + 1) % nt_;
    state_ = 2;
    enqueue(crops + std::size_t(k) * cropFloats_, 1, f.si, int(renderedInUtt_++), f.xd);
  }
  std::lock_guard<std::mutex> lk(mu_);
  stageAms_ += msSince(t0);
  stageAwaitMs_ += mainWaitMs_;
}

bool Pipeline::endUtteranceIfDone() {
  if (!uttActive_ || !inputClosed_ || !finishSent_ || jobOutstanding_ || engineTotal_ < 0 ||
      pulledInUtt_ < engineTotal_ || !speech_.empty())
    return false;
  const bool rendered = renderedInUtt_ > 0;
  if (rendered) tel("utt.render_ms_per_frame", uttRenderMs_ / double(renderedInUtt_));
  clearUtterance();
  if (rendered && !xsTarget_.empty() && !disabled()) startRamp(walk_, lastRendered_, opts_.rampFrames);
  else state_ = 0;
  return true;
}

void Pipeline::startRamp(int firstSi, const Kp& from, int frames) {
  walk_ = firstSi;
  const float* target = xsTarget_.data() + std::size_t(firstSi) * kKp;
  for (int i = 0; i < kKp; ++i) rampOffset_[std::size_t(i)] = from[std::size_t(i)] - target[i];
  rampLen_ = rampLeft_ = frames;
  state_ = 3;
}

void Pipeline::produceRamp() {
  const int si = walk_;
  const float* target = xsTarget_.data() + std::size_t(si) * kKp;
  const double f = 1.0 - double(rampLen_ - rampLeft_ + 1) / double(rampLen_);
  Kp xd{};
  for (int i = 0; i < kKp; ++i) xd[std::size_t(i)] = float(f * rampOffset_[std::size_t(i)]) + target[i];
  if (!disabled()) {
    try {
      const float* crop = ctx_.renderer->render(&si, target, xd.data(), 1);
      enqueue(crop, 2, si, -1, xd);
    } catch (const std::exception& e) {
      noteRenderFail("ramp", e.what(), true);  // the frame is skipped
    }
  }
  walk_ = (walk_ + 1) % nt_;
  if (--rampLeft_ <= 0 || disabled()) state_ = 0;
}

int Pipeline::ringCount() {
  std::lock_guard<std::mutex> lk(mu_);
  return int(writeCount_ - readCount_);
}

bool Pipeline::idleDue() {
  std::lock_guard<std::mutex> lk(mu_);
  return writeCount_ == readCount_ && pasteQueue_.empty() && !pasteBusy_ && teethQueue_.empty() && !teethBusy_;
}

bool Pipeline::disabled() {
  std::lock_guard<std::mutex> lk(mu_);
  return disabled_;
}

// ========================================================= frame production

void Pipeline::enqueue(const float* crop, int kind, int si, int tag, const Kp& kp) {
  FrameMeta m;
  m.kind = kind;
  m.si = si;
  m.tag = tag;
  m.kp = kp;
  m.generation = seenGeneration_;
  m.queued = Clock::now();
  bool viaThread = false;
  std::shared_ptr<TeethStage> st;
  {
    std::lock_guard<std::mutex> lk(mu_);
    viaThread = teethThreadOn_;
    if (!teethFailed_) st = teeth_;
  }
  if (viaThread) mainWaitMs_ += enqueueJob(teethQueue_, tcv_, crop, m);
  else if (!opts_.pipelined && (st || feed_.holding)) mainWaitMs_ += feedTeeth(st, crop, m);
  else mainWaitMs_ += publish(crop, m);
}

double Pipeline::publish(const float* crop, const FrameMeta& m) {
  return opts_.pipelined ? enqueueJob(pasteQueue_, pcv_, crop, m) : enqueueRaw(crop, m);
}

bool Pipeline::waitForRingRoom(std::unique_lock<std::mutex>& lk) {
  while (!stop_ && writeCount_ - readCount_ >= std::uint64_t(kRing)) cv_.wait_for(lk, std::chrono::milliseconds(2));
  return !stop_;
}

double Pipeline::enqueueRaw(const float* crop, const FrameMeta& m) {
  const int kind = m.kind, si = m.si, tag = m.tag;
  const std::uint64_t generation = m.generation;
  const Clock::time_point t0 = Clock::now();
  std::unique_lock<std::mutex> lk(mu_);
  if (!waitForRingRoom(lk) || generation != generation_) return msSince(t0);
  // Only this thread writes the ring, and the reader never reaches the slot
  // past the write count, so the slot is filled outside the lock.
  Slot& slot = ring_[writeCount_ % kRing];
  const double waited = msSince(t0);
  lk.unlock();
  try {
    if (crop) {
      le::pasteDriverFrame(ctx_, si, crop, slot.rgb.data());
    } else {
      ctx_.cursor->pullAt(si, slot.rgb.data());
      ctx_.identity.walkP(si);
    }
  } catch (const std::exception& e) {
    noteRenderFail("paste", e.what(), false);
    return waited;
  }
  slot.info = le_utt_frame_info{0, kind, si, tag};
  slot.kp = m.kp;
  lk.lock();
  if (stop_ || generation != generation_) return waited;
  slot.info.seq = seq_++;
  ++writeCount_;
  if (kind == 1) {
    ++speechDelivered_;
    deliverLatMs_ += msSince(m.queued);
    if (tag == 0) {
      ++stats_.utterances;
      stats_.first_frame_latency_ms = msSince(uttStart_);
      tel("utt.first_frame_ms", stats_.first_frame_latency_ms);
    }
  }
  cv_.notify_all();
  return waited;
}

double Pipeline::enqueueJob(std::deque<PasteJob>& queue, std::condition_variable& wake, const float* crop,
                            const FrameMeta& m) {
  PasteJob j;
  {
    std::lock_guard<std::mutex> lk(mu_);
    if (!freeCrops_.empty()) {
      j.crop = std::move(freeCrops_.back());
      freeCrops_.pop_back();
    }
  }
  if (crop) j.crop.assign(crop, crop + cropFloats_);
  else j.crop.clear();
  j.meta = m;
  const Clock::time_point t0 = Clock::now();
  std::unique_lock<std::mutex> lk(mu_);
  while (!stop_ && queue.size() >= std::size_t(kPasteJobs)) cv_.wait_for(lk, std::chrono::milliseconds(2));
  const double waited = msSince(t0);
  if (stop_ || j.meta.generation != generation_) {
    recycleLocked(std::move(j.crop));
    return waited;
  }
  queue.push_back(std::move(j));
  wake.notify_one();
  return waited;
}

void Pipeline::recycleLocked(std::vector<float>&& crop) {
  if (crop.capacity() >= cropFloats_ && freeCrops_.size() < std::size_t(kPasteJobs + 2))
    freeCrops_.push_back(std::move(crop));
}

// ============================================================= teeth stage

namespace {
std::atomic<int> gTeethFaultIn{-1};
}  // namespace

void failTeethAfterForTest(int crops) { gTeethFaultIn = crops; }

TeethStage::~TeethStage() = default;

std::shared_ptr<TeethStage> Pipeline::activeTeeth() {
  std::lock_guard<std::mutex> lk(mu_);
  return teethFailed_ ? nullptr : teeth_;
}

// Each crop goes into the pass, which hands back the previous one's window:
// that crop is composed and published, and the new one is held in its place.
double Pipeline::feedTeeth(const std::shared_ptr<TeethStage>& st, const float* crop, const FrameMeta& m) {
  double waited = 0;
  if (feed_.holding && feed_.heldMeta.generation != m.generation) dropHeld();  // interrupted since
  else if (feed_.holding && feed_.stage != st) waited += settleHeld();         // replaced or failed stage
  if (!crop || !st) {
    // An idle frame (or no healthy stage) flushes what the pass holds first.
    waited += settleHeld();
    return waited + publish(crop, m);
  }
  try {
    if (gTeethFaultIn.load(std::memory_order_relaxed) >= 0 && gTeethFaultIn.fetch_sub(1) == 0)
      throw std::runtime_error("injected teeth failure");
    feed_.incoming.assign(crop, crop + cropFloats_);
    const bool got = st->borrow->push(feed_.incoming.data(), m.kp.data(), feed_.result);
    if (feed_.holding) {
      if (!got) throw std::runtime_error("push: the pass emitted nothing for the crop it held");
      composeHeld();
      feed_.holding = false;
      waited += publish(feed_.held.data(), feed_.heldMeta);
    }
    std::swap(feed_.held, feed_.incoming);
    feed_.heldMeta = m;
    feed_.stage = st;
    feed_.holding = true;
  } catch (const std::exception& e) {
    // Frames go on without teeth: the held crop and this one leave as rendered.
    teethFail(e.what());
    if (feed_.holding) {
      feed_.holding = false;
      waited += publish(feed_.held.data(), feed_.heldMeta);
    }
    feed_.stage.reset();
    waited += publish(crop, m);
  }
  return waited;
}

double Pipeline::settleHeld() {
  if (!feed_.holding) return 0;
  feed_.holding = false;
  try {
    if (!feed_.stage->borrow->flush(feed_.result)) {
      feed_.stage.reset();
      teethFail(
          "flush: the pass held no pending frame while a crop was held \xE2\x80\x94 refusing to deliver it "
          "uncomposed");
      return 0;
    }
    composeHeld();
  } catch (const std::exception& e) {
    teethFail(e.what());
  }
  feed_.stage.reset();
  return publish(feed_.held.data(), feed_.heldMeta);
}

void Pipeline::dropHeld() {
  if (!feed_.holding) return;
  feed_.holding = false;
  try {
    feed_.stage->borrow->flush(feed_.result);
  } catch (const std::exception& e) {
    teethFail(e.what());
  }
  feed_.stage.reset();
}

void Pipeline::composeHeld() {
  const TeethStage& st = *feed_.stage;
  const tessera::FrameResult& r = feed_.result;
  tessera::StreamBorrow::writeWindowDelta(feed_.held.data(), st.side, r, st.stamp);
  std::lock_guard<std::mutex> lk(mu_);
  if (r.passThrough) {
    ++teethPassed_;
    return;
  }
  ++teethComposed_;
  if (feed_.stage != teeth_) return;  // a replaced stage's last crop: its figures went with it
  // The pass's own running figures, copied where the host may read them.
  const tessera::TeethStats& s = st.borrow->pass().stats();
  synthLast_ = std::uint64_t(s.pixels - synthPixels_);
  synthPixels_ = s.pixels;
  synthCount_ = s.frames;
  synthSum_ = s.sumMeans;
}

void Pipeline::teethFail(const std::string& text) {
  std::lock_guard<std::mutex> lk(mu_);
  teethFailed_ = true;
  teethText_ = text.empty() ? std::string("unknown failure") : text;
}

void Pipeline::attachTeeth(const TeethMembers& a) {
  using tessera::GeometryStamp;
  GeometryStamp s;
  for (int i = 0; i < GeometryStamp::kFields; ++i) s.at(i) = a.stamp[i];
  s.validate();
  const int crop = ctx_.manifest.crop;
  if (s.canvas_w != crop || s.canvas_h != crop)
    throw std::runtime_error("bank canvas " + std::to_string(s.canvas_w) + "x" + std::to_string(s.canvas_h) +
                             " != this bundle's render crop " + std::to_string(crop));
  // The members loader caps banks at this many donors; a larger count here
  // would only size a copy from a buffer the caller cannot have filled.
  constexpr int kMaxDonors = 1024;
  if (a.nDonors > kMaxDonors)
    throw std::runtime_error("n_donors " + std::to_string(a.nDonors) + " is over the cap of " +
                             std::to_string(kMaxDonors));
  if (a.headPtLen < 0) throw std::runtime_error("head weights length " + std::to_string(a.headPtLen) + " is negative");
  const tessera::HeadWeights weights =
      tessera::loadHeadPt(std::vector<std::uint8_t>(a.headPt, a.headPt + a.headPtLen));
  const tessera::ServeConfig config = tessera::ServeConfig::fromHeadMemberJson(a.headJson);
  if (xsTarget_.size() != std::size_t(nt_) * kKp)
    throw std::runtime_error(
        "xs_target.bin is absent or the wrong length, so this bundle's corpus pi frame cannot be identified "
        "\xE2\x80\x94 refusing to arm the borrow against the manifest's compose-field geometry");
  std::string corpus;
  const tessera::UnifiedPi pi =
      tessera::UnifiedPi::corpusFromManifestJson(a.manifestJson, crop, xsTarget_.data(), nt_, a.cCanon, &corpus);

  tessera::BankData bank;
  const std::size_t n = std::size_t(a.nDonors);
  bank.n_donors = a.nDonors;
  bank.stamp = s;
  bank.donors.assign(a.bank, a.bank + n * std::size_t(s.bandH()) * std::size_t(s.bandW()) * 3);
  bank.cent.assign(a.cent, a.cent + 2 * n);
  bank.c_canon = {a.cCanon[0], a.cCanon[1]};
  bank.aperture.assign(a.aperture, a.aperture + n);
  auto st = std::make_shared<TeethStage>();
  st->borrow =
      std::make_unique<tessera::StreamBorrow>(std::move(bank), weights, config, pi, ctx_.manifest.lipTemplate);
  st->stamp = s;
  st->side = crop;
  char delivery[96];
  if (const tessera::LipContour* lc = st->borrow->contour())
    std::snprintf(delivery, sizeof delivery, "LIP CONTOUR (%d verts, feather %.1f px)", int(lc->nv),
                  double(lc->feather_px));
  else
    std::snprintf(delivery, sizeof delivery, "ELLIPSE");
  const std::string geometry = "stamp " + s.str() + "; pi canvas " + std::to_string(crop) + ", corpus " + corpus +
                               "; delivery " + delivery + "; donors " + std::to_string(a.nDonors) + "; backend " +
                               st->borrow->backend();

  std::lock_guard<std::mutex> lk(mu_);
  if (opts_.pipelined && !tess_.joinable()) {
    tess_ = std::thread([this] { tessLoop(); });
    teethThreadOn_ = true;
  }
  teeth_ = std::move(st);
  teethFailed_ = false;
  teethText_.clear();
  teethComposed_ = teethPassed_ = 0;
  synthCount_ = synthPixels_ = 0;
  synthSum_ = 0;
  synthLast_ = 0;
  teethGeometry_ = geometry;
}

int Pipeline::teethStats(std::uint64_t* composed, std::uint64_t* passed, std::string* text) {
  std::lock_guard<std::mutex> lk(mu_);
  if (composed) *composed = teethComposed_;
  if (passed) *passed = teethPassed_;
  if (text) *text = teethText_;
  if (!teeth_) return 0;
  return teethFailed_ ? -1 : 1;
}

bool Pipeline::teethSynth(double* mean, std::uint64_t* last, std::int64_t* count) {
  std::lock_guard<std::mutex> lk(mu_);
  if (!teeth_ || synthCount_ < 1) return false;
  if (mean) *mean = synthSum_ / double(synthCount_);
  if (last) *last = synthLast_;
  if (count) *count = synthCount_;
  return true;
}

bool Pipeline::teethGeometry(std::string* text) {
  std::lock_guard<std::mutex> lk(mu_);
  if (text) *text = teeth_ ? teethGeometry_ : std::string();
  return teeth_ != nullptr;
}

// ================================================================= failures

void Pipeline::noteRenderFail(const char* stage, const std::string& message, bool disabling) {
  std::lock_guard<std::mutex> lk(mu_);
  ++failures_;
  failureText_ = "ep=" + (directorEp_.empty() ? std::string("unknown") : directorEp_) + " " + stage + ": " +
                 (message.empty() ? std::string("unknown failure") : message);
  if (disabling) disabled_ = true;
}

void Pipeline::printStageReport() const {
  const int pipe = opts_.pipelined ? 1 : 0;
  if (jobsB_ == 0) {
    std::fprintf(stderr,
                 "[le_utt-stage] MEASURED NOTHING \xE2\x80\x94 the stage report was asked for and the paste-job counter "
                 "never advanced (pipe=%d jobsB=%lld jobsC=0, %lld speech frames delivered). stageA/stageB/stageC and "
                 "the deliver latency are NOT reported rather than reported as zero: on this path the paste does not "
                 "run through the counted queue.\n",
                 pipe, (long long)jobsB_, (long long)speechDelivered_);
    return;
  }
  const double per = speechDelivered_ > 0 ? 1.0 / double(speechDelivered_) : 0.0;
  std::fprintf(stderr,
               "[le_utt-stage] pipe=%d jobsB=%lld jobsC=%lld stageA_ms=%.3f stageA_work_ms=%.3f stageA_wait_ms=%.3f "
               "stageB_ms=%.3f stageC_ms=%.3f deliver_lat_ms=%.3f over %lld speech frames\n",
               pipe, (long long)jobsB_, 0LL, stageAms_ * per, (stageAms_ - stageAwaitMs_) * per, stageAwaitMs_ * per,
               stageBms_ / double(jobsB_), 0.0, deliverLatMs_ * per, (long long)speechDelivered_);
}

}  // namespace le::utt

// ========================================================= exported interface

namespace le::api {
struct UttFamily {};
}  // namespace le::api

struct le_utt {
  le::utt::Pipeline pipeline;
  le_utt(le_ctx& ctx, const le::utt::Options& o) : pipeline(ctx, o) {}
};

using le::api::guarded;
using le::api::UttFamily;

namespace {

void copyText(const std::string& s, char* buf, int len) {
  if (!buf || len < 1) return;
  const std::size_t n = std::min(s.size(), std::size_t(len - 1));
  std::memcpy(buf, s.data(), n);
  buf[n] = '\0';
}

le::utt::Pipeline& need(le_utt* u) {
  if (!u) throw std::runtime_error("NULL pipeline");
  return u->pipeline;
}

}  // namespace

extern "C" {

LE_API le_utt* le_utt_create(le_ctx* ctx, const le_utt_opts* opts) {
  return guarded<UttFamily>("le_utt_create", static_cast<le_utt*>(nullptr), [&]() -> le_utt* {
    if (!ctx || !opts) throw std::runtime_error("NULL ctx/opts");
    if (!opts->motion_dir) throw std::runtime_error("opts.motion_dir required");
    return new le_utt(*ctx, le::utt::Options::resolve(*opts, ctx->threads));
  });
}

LE_API le_utt* le_utt_open(le_ctx* ctx, const char* motion_dir) {
  le_utt_opts o{};
  o.motion_dir = motion_dir;
  o.eager = -1;
  return le_utt_create(ctx, &o);
}

LE_API int le_utt_ready(le_utt* u) {
  return guarded<UttFamily>("le_utt_ready", -1, [&]() -> int {
    std::string failure;
    const int r = need(u).ready(&failure);
    if (r < 0) le::api::errorText<UttFamily>() = failure;
    return r;
  });
}

LE_API int le_utt_push_audio(le_utt* u, const int16_t* samples, int n) {
  return guarded<UttFamily>("le_utt_push_audio", 0, [&]() -> int {
    if (!u || !samples || n < 0) throw std::runtime_error("bad args");
    u->pipeline.pushAudio(samples, n);
    return 1;
  });
}

LE_API void le_utt_end_utterance(le_utt* u) {
  guarded<UttFamily>("le_utt_end_utterance", 0, [&]() -> int {
    need(u).endUtterance();
    return 1;
  });
}

LE_API void le_utt_interrupt(le_utt* u) {
  guarded<UttFamily>("le_utt_interrupt", 0, [&]() -> int {
    need(u).interrupt();
    return 1;
  });
}

LE_API int le_utt_frames_available(le_utt* u) {
  return guarded<UttFamily>("le_utt_frames_available", 0, [&]() -> int { return need(u).framesAvailable(); });
}

LE_API int le_utt_pull_frame(le_utt* u, void* dst, size_t cap, le_utt_frame_info* info) {
  return guarded<UttFamily>("le_utt_pull_frame", 0, [&]() -> int {
    if (!u || !dst) throw std::runtime_error("bad args");
    const int r = u->pipeline.pullFrame(dst, cap, info);
    if (r < 0) throw std::runtime_error("buffer too small");
    return r;
  });
}

LE_API void le_utt_get_stats(le_utt* u, le_utt_stats* stats) {
  if (!u || !stats) return;
  guarded<UttFamily>("le_utt_get_stats", 0, [&]() -> int {
    *stats = u->pipeline.stats();
    return 1;
  });
}

LE_API int le_utt_render_status(le_utt* u, char* buf, int len, uint64_t* failures) {
  return guarded<UttFamily>("le_utt_render_status", 0, [&]() -> int {
    std::string text;
    const int r = need(u).renderStatus(&text, failures);
    copyText(text, buf, len);
    return r;
  });
}

LE_API int le_utt_tessera_attach(le_utt* u, const uint8_t* bank, int n_donors, const double* cent,
                                 const double* c_canon, const double* aperture, const int32_t* stamp,
                                 const uint8_t* head_pt, int head_pt_len, const char* head_json,
                                 const char* manifest_json, char* err, int err_len) {
  std::string msg;
  try {
    if (!u) {
      msg = "le_utt_tessera_attach: null session";
    } else if (!bank || !cent || !c_canon || !aperture || !stamp || !head_pt || !head_json || !manifest_json) {
      msg = "le_utt_tessera_attach: a required member is null \xE2\x80\x94 this ABI has no partial-attach state";
    } else if (n_donors < 1) {
      msg = "le_utt_tessera_attach: n_donors <= 0";
    } else {
      le::utt::TeethMembers m;
      m.bank = bank;
      m.nDonors = n_donors;
      m.cent = cent;
      m.cCanon = c_canon;
      m.aperture = aperture;
      m.stamp = stamp;
      m.headPt = head_pt;
      m.headPtLen = head_pt_len;
      m.headJson = head_json;
      m.manifestJson = manifest_json;
      u->pipeline.attachTeeth(m);
      return 0;
    }
  } catch (const std::exception& e) {
    msg = std::string("le_utt_tessera_attach: ") + (*e.what() ? e.what() : "unknown failure");
  } catch (...) {
    msg = "le_utt_tessera_attach: unknown failure";
  }
  try {
    copyText(msg, err, err_len);
  } catch (...) {
  }
  return 1;
}

LE_API int le_utt_tessera_stats(le_utt* u, uint64_t* composed, uint64_t* passed, char* buf, int len) {
  if (composed) *composed = 0;
  if (passed) *passed = 0;
  copyText("", buf, len);
  if (!u) return 0;
  try {
    std::string text;
    const int r = u->pipeline.teethStats(composed, passed, &text);
    copyText(text, buf, len);
    return r;
  } catch (...) {
    return 0;
  }
}

LE_API int le_utt_tessera_synth_w(le_utt* u, double* mean, uint64_t* last, int64_t* count) {
  if (!u) return 0;
  try {
    return u->pipeline.teethSynth(mean, last, count) ? 1 : 0;
  } catch (...) {
    return 0;
  }
}

LE_API int le_utt_tessera_geometry(le_utt* u, char* buf, int len) {
  if (!buf || len < 1) return 0;
  buf[0] = '\0';
  if (!u) return 0;
  try {
    std::string text;
    const bool attached = u->pipeline.teethGeometry(&text);
    copyText(text, buf, len);
    return attached ? 1 : 0;
  } catch (...) {
    return 0;
  }
}

LE_API const char* le_utt_last_error(void) { return le::api::errorText<UttFamily>().c_str(); }

LE_API void le_utt_destroy(le_utt* u) { delete u; }

}  // extern "C"
