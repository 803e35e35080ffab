// The streaming motion engine behind le_motion_*: speech in, per-frame source and
// driving keypoints out. The analysis pieces (FFT, mel energies, window analysis,
// pose decoding, rotation, source walk) are free functions so that tests can check
// them on their own.
#pragma once

#include <array>
#include <complex>
#include <cstdint>
#include <memory>
#include <string>
#include <vector>

namespace le {

namespace motion {

inline constexpr int kRate = 16000;
inline constexpr int kHop = 640;             // samples per output frame (40 ms)
inline constexpr int kWinSamples = 6480;     // one analysis window
inline constexpr int kWinLead = 2000;        // window starts this far before 640 w
inline constexpr int kWinNeed = 4480;        // samples past 640 w a window needs
inline constexpr int kReflect = 256;
inline constexpr int kPadded = kWinSamples + 2 * kReflect;  // 6992
inline constexpr int kFft = 512;
inline constexpr int kBins = 257;
inline constexpr int kMel = 80;
inline constexpr int kMelFrames = 21;
inline constexpr int kMelStep = 320;
inline constexpr int kNetRows = 20;
inline constexpr int kFeat = 1024;
inline constexpr int kWinFrames = 5;         // feature frames per window
inline constexpr int kEmo = 8;
inline constexpr int kCond = 1103;
inline constexpr int kMot = 265;
inline constexpr int kSmooth = 202;          // components 0..201 are smoothed
inline constexpr int kChunk = 80;
inline constexpr int kStride = 70;
inline constexpr int kFade = 10;
inline constexpr int kRec = 328;
inline constexpr int kKp = 63;
inline constexpr int kLip[6] = {6, 12, 14, 17, 19, 20};

// The 256 twiddle factors exp(-2 pi i k / 512).
std::array<std::complex<float>, kFft / 2> fftTwiddles();
// In-place radix-2 FFT of 512 points with a precomputed twiddle table.
void fft512(std::complex<float>* x, const std::complex<float>* twiddles);
// Magnitudes of bins 0..256 of the 512 windowed samples.
void magnitudes(const float* samples, const float* window, const std::complex<float>* twiddles,
                std::complex<float>* scratch, float* mag);
// 80 mel energies from 257 magnitudes; binmat is bin-major (257 x 80).
void melEnergies(const float* mag, const float* binmat, float* mel);
// Reflect padding (no edge repeat) of n samples by pad on each side into out (n + 2 pad).
void reflectPad(const float* in, int n, int pad, float* out);
// Steps 1-3 of a window: the 6480 window samples (already gathered) to the 80 x 21
// band-major log mel array. padded: kPadded floats of scratch.
void analyseWindow(const float* samples, const float* window, const float* binmat,
                   const std::complex<float>* twiddles, float* padded, std::complex<float>* fftScratch,
                   float* mag, float* mel);
// Softmax expectation of 66 bin logits, in degrees.
float decodeAngle(const float* logits);
// Rotation from pitch, yaw, roll in degrees, row-major 3 x 3.
void rotation(float pitch, float yaw, float roll, float R[9]);

// The source frame walk: reports `cur`, then steps.
struct Walk {
  int cur = 0;
  int dir = 1;
  bool loop = false;
  int next(int nt);
};

// Tensor names of the three networks.
inline constexpr const char* kAudioIn = "mel";          // 1 x 80 x 21
inline constexpr const char* kAudioOut = "feat";        // 1 x 20 x 1024
inline constexpr const char* kGenRef = "kp";            // 1 x 265
inline constexpr const char* kGenCond = "cond";         // 1 x 80 x 1103
inline constexpr const char* kGenOut = "pred";          // 1 x 80 x 265
inline constexpr const char* kStitchSrc = "kp_source";  // 1 x 21 x 3
inline constexpr const char* kStitchDrv = "kp_driving"; // 1 x 21 x 3
inline constexpr const char* kStitchOut = "kp_stitched";// 1 x 21 x 3

// Where each part sits in a source record (kRec floats) and in the motion vector
// (kMot floats). Each pose angle is kPoseBins logits; expression and keypoints are kKp.
inline constexpr int kPoseBins = 66;
inline constexpr int kRecExp = 0;
inline constexpr int kRecKp = 63;     // canonical keypoints
inline constexpr int kRecPitch = 126;
inline constexpr int kRecRoll = 192;
inline constexpr int kRecScale = 258;
inline constexpr int kRecT = 259;     // translation x, y, z
inline constexpr int kRecYaw = 262;
inline constexpr int kMotScale = 0;   // scale - 1
inline constexpr int kMotPitch = 1;
inline constexpr int kMotYaw = 67;
inline constexpr int kMotRoll = 133;
inline constexpr int kMotT = 199;
inline constexpr int kMotExp = 202;
static_assert(kRecYaw + kPoseBins == kRec && kMotExp + kKp == kMot && kMotExp == kSmooth);

}  // namespace motion

class MotionEngine {
 public:
  MotionEngine(const std::string& dir, int threads, const std::string& ep);
  ~MotionEngine();
  MotionEngine(const MotionEngine&) = delete;
  MotionEngine& operator=(const MotionEngine&) = delete;

  void push(const float* samples, int n);  // throws "already finished" when finished
  void finish();
  int avail();
  int pull(int* si, float* xs, float* xd, int n);
  void reset(int start, int dir, int loop);
  void setEager(int eager);
  int total() const { return finished_ ? total_ : -1; }
  int nt() const { return nt_; }
  bool finished() const { return finished_; }

  // Introspection for tests and the bench.
  int featureFrames() const { return nFeat_; }
  int motionFrames() const { return motionLen_; }
  const std::vector<float>& conditioning() const { return cond_; }  // featureFrames x 1103
  double ortSeconds() const { return ortSeconds_; }                // time inside the sessions
  void clearOrtSeconds() { ortSeconds_ = 0; }

 private:
  struct Impl;
  void pump();
  bool windowReady(int w) const;
  void runWindow(int w, bool provisional);
  bool chunkReady() const;
  void runChunk(int c);
  void rollback();
  void maybeProvisional();
  void provisionalPass();
  void buildFinal();
  void motionAt(int i, float* m) const;
  void emit(int i, int s, float* xs, float* xd);
  int countAvail() const;
  int64_t framesPushed() const;
  void dropProvisional();
  void dump(const char* name, const float* data, size_t n, bool append = false) const;

  std::unique_ptr<Impl> impl_;

  // Identity and tables.
  int nt_ = 0, nEmo_ = 0;
  float sBridge_ = 1, deltaPitch_ = 0, scaleRatio_ = 1;
  std::vector<float> window_, binmat_, fmean_, fstd_, emo_, chXs_, chSc_, eyeOpen_, eyeBall_, vMinMax_,
      srcXs_, xsTarget_;
  std::array<std::complex<float>, motion::kFft / 2> twiddles_{};
  std::string dumpDir_;

  // Per-window / per-chunk / per-frame scratch, sized once.
  std::vector<float> winSamples_, padded_, mag_, mel_, net_, winRows_, chunkCond_, chunkOut_, smoothScratch_;
  std::vector<std::complex<float>> fftScratch_;
  std::array<float, motion::kMot> ref_{}, chRef_{}, savedRef_{};
  std::vector<float> saved_;  // 10 committed frames kept for rollback
  std::array<float, motion::kKp> stIn_s_{}, stIn_d_{}, stOut_{};

  // Streaming state.
  std::vector<float> audio_;
  std::vector<float> cond_;       // conditioning rows
  int nFeat_ = 0, nProv_ = 0, nextWin_ = 0;
  std::vector<float> motion_;     // motion sequence, motionLen_ x 265
  int motionLen_ = 0, chunks_ = 0, committedLen_ = 0;
  bool provMotion_ = false;
  bool finished_ = false;
  int total_ = 0;
  std::vector<float> final_;
  bool hasFinal_ = false;
  int emitted_ = 0;
  motion::Walk walk_;
  std::array<float, motion::kKp> exprRef_{};
  int eager_ = 0, provLimit_ = -1;
  int64_t lastA_ = 0;
  int chunksAtPass_ = 0;
  double passMs_ = 0;
  bool passTimed_ = false;
  double ortSeconds_ = 0;
};

}  // namespace le
