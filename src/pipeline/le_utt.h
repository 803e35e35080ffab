// The live utterance pipeline behind le_utt: a warm-up thread that loads the
// audio engine and the batched director, a dispatch thread that alone drives
// the engine, a main loop that decides each next frame and renders it, and (in
// pipelined mode) a paste thread. Frames leave through a ring of 8 that the
// host drains; everything made before an interrupt is thrown away by the
// interrupt generation, checked at every publishing step.
#pragma once

#include <array>
#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <deque>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "le/le_utt.h"
#include "tessera/le_bundle_tessera.h"
#include "tessera/le_tessera.h"

struct le_ctx;

namespace le {

class Renderer;
namespace tessera {
class StreamBorrow;
}

namespace utt {

inline constexpr int kKp = 63;          // floats per keypoint set
inline constexpr int kRing = 8;         // finished frames waiting for the host
inline constexpr int kPasteJobs = 8;    // crops waiting for the paste thread
inline constexpr int kSpeechQueue = 32; // engine frames waiting for the director
inline constexpr int kHop = 640;        // samples per frame

using Clock = std::chrono::steady_clock;
using Kp = std::array<float, kKp>;

// The options with every default and environment override applied.
struct Options {
  std::string motionDir;
  int threads = 0;
  std::string ep;
  std::string steadyModel;  // empty: no batched director
  int eager = -1;
  bool hybrid = false;
  double silenceEndS = 0.6;  // < 0: never
  int rampFrames = 6;
  int interruptRampFrames = 4;
  bool pipelined = false;
  bool expression = false;  // the expression engine, else the motion engine

  static Options resolve(const le_utt_opts& o, int poolThreads);
};

// The seven operations both audio engines offer, over their C interfaces.
class AudioEngine {
 public:
  virtual ~AudioEngine() = default;
  virtual void reset(int start, int dir) = 0;
  virtual void setEager(int eager) = 0;
  virtual void push(const float* samples, int n) = 0;
  virtual void finish() = 0;
  virtual int avail() = 0;
  virtual int pull(int* si, float* xs, float* xd, int n) = 0;
  virtual int total() = 0;
};

// For tests: the teeth stage fails at its next crop once this many more crops
// have gone through it (< 0, the default: never). Process-wide.
void failTeethAfterForTest(int crops);

// Creates the engine of opts; throws with the engine's own error text.
std::unique_ptr<AudioEngine> openAudioEngine(const Options& opts);

struct Slot {
  std::vector<std::uint8_t> rgb;
  le_utt_frame_info info{};
  Kp kp{};
};

struct SpeechFrame {
  int si = 0;
  Kp xs{}, xd{};
};

// What travels with a frame from the main loop to publication.
struct FrameMeta {
  int kind = 0, si = 0, tag = -1;
  Kp kp{};
  std::uint64_t generation = 0;
  Clock::time_point queued;
};

struct PasteJob {
  std::vector<float> crop;  // empty for an idle frame
  FrameMeta meta;
};

// The teeth stage as attached: replaced whole by the next attach, so a feeder
// holding the previous one finishes its held crop with it.
struct TeethStage {
  std::unique_ptr<tessera::StreamBorrow> borrow;
  tessera::GeometryStamp stamp;
  int side = 0;
  ~TeethStage();
};

// The feeder's side of the teeth stage (the main loop's in direct mode, the
// teeth thread's in pipelined mode): the one crop the pass holds, kept in
// full precision so its window goes back as a delta.
struct TeethFeed {
  std::shared_ptr<TeethStage> stage;  // the stage the held crop went into
  bool holding = false;
  std::vector<float> held, incoming;
  FrameMeta heldMeta;
  tessera::FrameResult result;
};

// The attach call's arguments.
struct TeethMembers {
  const std::uint8_t* bank = nullptr;
  int nDonors = 0;
  const double *cent = nullptr, *cCanon = nullptr, *aperture = nullptr;
  const std::int32_t* stamp = nullptr;
  const std::uint8_t* headPt = nullptr;
  int headPtLen = 0;
  const char* headJson = nullptr;
  const char* manifestJson = nullptr;
};

class Pipeline {
 public:
  Pipeline(le_ctx& ctx, const Options& opts);
  ~Pipeline();
  Pipeline(const Pipeline&) = delete;
  Pipeline& operator=(const Pipeline&) = delete;

  // Host calls; each takes the state lock for its whole duration.
  int ready(std::string* failure);
  void pushAudio(const std::int16_t* samples, int n);
  void endUtterance();
  void interrupt();
  int framesAvailable();
  // 1 pulled, 0 none ready, -1 cap too small.
  int pullFrame(void* dst, std::size_t cap, le_utt_frame_info* info);
  le_utt_stats stats();
  int renderStatus(std::string* text, std::uint64_t* failures);

  std::size_t frameBytes() const { return frameBytes_; }

  // The teeth stage: attach throws with the refusal's text; stats returns 0
  // unattached, 1 healthy, -1 failed.
  void attachTeeth(const TeethMembers& m);
  int teethStats(std::uint64_t* composed, std::uint64_t* passed, std::string* text);
  bool teethSynth(double* mean, std::uint64_t* last, std::int64_t* count);
  bool teethGeometry(std::string* text);

 private:
  void stopThreads();

  // Threads.
  void warm();
  void dispatchLoop();
  void run();
  void pasteLoop();
  void tessLoop();

  // One cycle of the main loop; true when it did something.
  bool cycle();
  bool takeHostInputLocked(bool engineReady);
  void beginUtteranceLocked();
  void clearUtterance();
  void handleInterruptLocked();
  bool collectJob();
  int chooseEager();
  void postJob(int eager);
  // Frames to render now: a batch, one, or 0 to wait.
  int speechBatchDue() const;
  void renderSpeech(int n);
  bool endUtteranceIfDone();
  void produceRamp();
  void startRamp(int firstSi, const Kp& from, int frames);
  int ringCount();
  bool idleDue();
  bool disabled();

  // Frame production.
  void enqueue(const float* crop, int kind, int si, int tag, const Kp& kp);
  // All return the milliseconds spent waiting for room (ring or queue).
  double publish(const float* crop, const FrameMeta& m);
  double enqueueRaw(const float* crop, const FrameMeta& m);
  double enqueueJob(std::deque<PasteJob>& queue, std::condition_variable& wake, const float* crop,
                    const FrameMeta& m);

  // Teeth stage feeding (one thread: see TeethFeed).
  std::shared_ptr<TeethStage> activeTeeth();
  double feedTeeth(const std::shared_ptr<TeethStage>& st, const float* crop, const FrameMeta& m);
  double settleHeld();
  void dropHeld();
  void composeHeld();
  void teethFail(const std::string& text);
  // Waits (state lock held through lk) until the ring has room; false when stopping.
  bool waitForRingRoom(std::unique_lock<std::mutex>& lk);
  void recycleLocked(std::vector<float>&& crop);

  void noteRenderFail(const char* stage, const std::string& message, bool disabling);
  void printStageReport() const;

  le_ctx& ctx_;
  Options opts_;
  int nt_ = 0;
  std::size_t frameBytes_ = 0;
  std::size_t cropFloats_ = 0;
  std::vector<float> xsTarget_;  // nt x 63, or empty
  std::string directorEp_;

  // ---- state lock
  std::mutex mu_;
  std::condition_variable cv_;
  bool stop_ = false;
  int ready_ = 0;  // 0 warming, 1 ready, -1 failed
  std::string engineFailure_;
  std::unique_ptr<AudioEngine> engine_;       // installed by warm-up, then used by dispatch only
  std::unique_ptr<Renderer> steady_;          // installed by warm-up, then used by the main loop only
  std::vector<float> pendingAudio_;
  bool endMark_ = false;
  bool pushedSinceTake_ = false;
  Clock::time_point firstPush_{}, lastPush_{};
  std::uint64_t generation_ = 0;
  std::array<Slot, kRing> ring_;
  std::uint64_t writeCount_ = 0, readCount_ = 0, seq_ = 0;
  std::deque<PasteJob> pasteQueue_;
  std::vector<std::vector<float>> freeCrops_;  // crop buffers of finished paste jobs, reused
  bool pasteBusy_ = false;  // a job taken off the queue and not yet published or dropped
  // The last frame the host pulled: where an interrupt ramps back from.
  bool pulledAny_ = false;
  int lastPulledKind_ = 0, lastPulledSi_ = 0;
  Kp lastPulledKp_{};
  le_utt_stats stats_{};
  Clock::time_point uttStart_{};  // first push of the utterance being delivered
  std::uint64_t failures_ = 0;
  std::string failureText_;
  bool disabled_ = false;
  // Stage report sums.
  double stageAms_ = 0, stageAwaitMs_ = 0, stageBms_ = 0, deliverLatMs_ = 0;
  std::int64_t jobsB_ = 0, speechDelivered_ = 0, deliverCount_ = 0;
  std::uint64_t droppedByInterrupt_ = 0, uttDroppedBase_ = 0;

  // ---- main loop only
  std::uint64_t seenGeneration_ = 0;
  std::atomic<int> state_{0};  // 0 idle, 1 audio arriving, 2 speaking, 3 ramping; read by stats()
  bool uttActive_ = false, inputClosed_ = false, finishSent_ = false, needReset_ = false;
  std::vector<float> engineAudio_;  // taken from the host, not yet posted
  std::deque<SpeechFrame> speech_;
  std::int64_t pulledInUtt_ = 0, renderedInUtt_ = 0;
  int engineRemaining_ = 0, engineTotal_ = -1;
  bool jobOutstanding_ = false;
  std::uint64_t jobGeneration_ = 0;
  Clock::time_point lastJobAt_{};
  bool lastJobEmpty_ = false;
  double uttRenderMs_ = 0;
  double mainWaitMs_ = 0;  // waits for room while the frames of one render are handed on
  int lastEager_ = 0, hybridEager_ = 3;
  int walk_ = 0;
  Kp lastRendered_{};
  Kp rampOffset_{};
  int rampLen_ = 0, rampLeft_ = 0;
  bool renderMsSeen_ = false;
  std::vector<int> batchSi_;
  std::vector<float> batchXs_, batchXd_;

  // ---- dispatch lock: the request block
  std::mutex dmu_;
  std::condition_variable dcv_;
  bool dstop_ = false;
  struct Job {
    std::vector<float> audio;
    bool finish = false, reset = false;
    int start = 0, dir = 1, eager = 0, maxFrames = 0;
    bool posted = false, done = false;
    int pulled = 0, remaining = 0, total = -1;
    std::vector<int> si;
    std::vector<float> xs, xd;
  } job_;

  // ---- paste queue signalling (under mu_)
  std::condition_variable pcv_;

  // ---- teeth stage (under mu_ unless said)
  std::shared_ptr<TeethStage> teeth_;
  bool teethFailed_ = false, teethThreadOn_ = false, teethBusy_ = false;
  std::string teethText_, teethGeometry_;
  std::uint64_t teethComposed_ = 0, teethPassed_ = 0;
  std::int64_t synthCount_ = 0, synthPixels_ = 0;
  double synthSum_ = 0;
  std::uint64_t synthLast_ = 0;
  std::deque<PasteJob> teethQueue_;
  std::condition_variable tcv_;
  TeethFeed feed_;  // the feeding thread's only

  std::thread main_, warm_, dispatch_, paste_, tess_;
};

}  // namespace utt
}  // namespace le
