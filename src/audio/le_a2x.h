// The streaming audio-to-expression engine behind le/le_a2x.h.
//
// Audio (mono, 16 kHz) -> per-frame speech features (shared extractor: the
// legacy 8 s window or the short-window trunk/head pair) -> causal windowed
// encoder -> autoregressive decoder -> 63 keypoint deltas per 25 fps frame.
#pragma once

#include <onnxruntime_cxx_api.h>

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "audio/le_engine_meta.h"

namespace le::api {
// Error family of the le_a2x_* entry points.
struct A2xFamily {};
}  // namespace le::api

namespace le::a2x {

inline constexpr int kHop = 640;             // samples per frame (40 ms)
inline constexpr int kBlock = 5120;          // live audio counts in blocks of 8 frames
inline constexpr int kBlockFrames = 8;
inline constexpr int kFeatLayers = 12;
inline constexpr int kFeatDim = 768;
inline constexpr int kFeatRow = kFeatLayers * kFeatDim;  // floats per frame of features
inline constexpr int kDelta = 63;            // 21 keypoints x 3
inline constexpr int kLegacyWindow = 128000; // 8 s
inline constexpr int kLegacyFrames = 200;
inline constexpr int kShortWindow = 32000;   // 2 s
inline constexpr int kShortChannels = 640;
inline constexpr int kShortColumn = 80;      // trunk column spacing in samples
inline constexpr double kShortStride = 1598.0 / 199.0;  // trunk columns per legacy frame
inline constexpr int kEncGroup = 64;

// Subtracts the mean and scales by 1 / sqrt(variance + 1e-7), in double so
// that huge finite samples stay finite.
void normaliseWindow(float* w, size_t n);

// Position (in trunk columns of the window starting at windowStart) that the
// legacy 8 s window gives frame f.
double shortWindowPos(int f, int64_t windowStart);

// Row i of the position table for utterance frame i (P rows).
int posRow(int i, int P);

// Source index of pulled frame k: walk from start in direction dir over NT frames.
int walkIndex(int64_t start, int dir, int64_t k, bool loop, int nt);

// The right context of the frontend: LE_A2X_W2V_RIGHT, negative -> 0, default 12.
int rightContextFromEnv();

struct Extractor;  // shared feature extractor, process-wide (le_a2x_w2v.h)
struct ShortPair;  // shared short-window trunk/head pair, process-wide

// One utterance's audio and per-frame results.
struct Utterance {
  std::vector<float> samples;
  bool finished = false;
  std::vector<float> feat;   // featDone x kFeatRow (may run up to a block ahead)
  std::vector<float> enc;    // encDone x h
  std::vector<float> wn;     // encDone (when the encoder has a wn output)
  std::vector<float> deltas; // decDone x 63
  std::vector<float> prev;   // decoder's previous raw x (63)
  std::vector<float> hid;    // decoder hidden state (h)
  int featDone = 0, encDone = 0, decDone = 0;
  int pulled = 0;

  // Audio that counts: all of it once finished, else whole 5120-sample blocks.
  int64_t usable() const;
  int total() const;  // ceil(samples / 640)
  void clear();
};

class Engine {
 public:
  Engine(const std::string& dir, int threads);
  ~Engine();
  Engine(const Engine&) = delete;
  Engine& operator=(const Engine&) = delete;

  void push(const float* s, int n);
  void finish() { u_.finished = true; }
  int total() const { return u_.finished ? u_.total() : -1; }
  // Extends by a bounded step; a computation failure is reported in the
  // family's error text and adds no frames.
  int avail();
  int pull(int* si, float* xs, float* xd, float* wn, int n);
  // Whole clip on a scratch utterance: the streaming state is untouched.
  // Returns the frame count; out gets frames x 63 floats (cap frames at most).
  int deltas(const float* audio, int n, float* out, float* wn, int cap);
  int reset(int start, int dir, int loop);
  void setEager(int e) { eager_ = e; }
  int width() const { return width_; }
  int nt() const { return nt_; }
  bool hasWn() const { return hasWn_; }
  bool shortWindow() const { return pair_ != nullptr; }
  int rightContext() const { return right_; }
  // Frames whose deltas may be computed now (streaming rule).
  int ready(const Utterance& u) const;

  // Time spent inside ONNX Runtime runs since creation (nanoseconds).
  uint64_t ortNanos() const { return ortNs_; }

 private:
  void extend(Utterance& u, int target);
  bool extendReported(int target);
  int featLimit(const Utterance& u) const;
  void fillLegacy(Utterance& u, int target);
  void fillShort(Utterance& u, int target);
  void encodeGroup(Utterance& u, int c0, int c1);
  void decodeFrame(Utterance& u);
  void startUtterance(Utterance& u) const;
  void prime(int n);

  Meta meta_;
  int threads_ = 1;
  int right_ = 12;
  int width_ = kDelta;
  int nt_ = 1;
  int eager_ = 0;
  bool hasWn_ = false;
  Extractor* w2v_ = nullptr;  // process-wide, never freed
  ShortPair* pair_ = nullptr;  // idem; null: legacy window
  std::vector<float> pos_;     // P x h
  int posRows_ = 0;
  std::vector<float> norm_;    // 63 offsets, 63 scales
  std::vector<float> xsTarget_;
  std::unique_ptr<Ort::Session> enc_, dec_;
  std::string encOut0_, encOut1_;
  // Decoder I/O bound once over these buffers.
  std::vector<float> dCtx_, dPrev_, dH_, dX_, dHOut_;
  std::vector<Ort::Value> dIn_, dOut_;
  // Scratch reused across groups and windows.
  std::vector<float> posBuf_, attnBuf_, window_, headIn_;
  std::vector<float> primedPrev_, primedH_;
  std::vector<float> bakPrev_, bakH_;  // decoder state before an extension, for rollback
  bool primed_ = false;
  Utterance u_;
  Utterance scratch_;  // le_a2x_deltas
  int64_t walkStart_ = 0;
  int walkDir_ = 1;
  bool walkLoop_ = true;
  uint64_t ortNs_ = 0;
};

}  // namespace le::a2x
