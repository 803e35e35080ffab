// The whole-clip keypoint delta engine behind le_fca_*: a complete speech clip in,
// one 63-float keypoint delta per 25 fps frame out, through a speech feature
// extractor and a recurrent delta model.
#pragma once

#include <cstddef>
#include <cstdint>
#include <functional>
#include <memory>
#include <queue>
#include <string>
#include <vector>

namespace le {

namespace fca {

inline constexpr int kHop = 640;                  // samples per output frame (40 ms)
inline constexpr int kWin = 128000;               // extractor window (8 s)
inline constexpr int kWinFrames = 200;            // extractor frames per window
inline constexpr int kStepFrames = 100;           // window advance
inline constexpr int kFillFrom = 50;              // later windows fill from this frame on
inline constexpr int kDim = 768;                  // feature row
inline constexpr int kLayerFirst = 4, kLayerLast = 9;  // layers averaged into a row
inline constexpr int kCtx = 7;                    // context rows t-1 .. t+5
inline constexpr int kKp = 63;
inline constexpr int kHidden = 384;
inline constexpr double kVarEps = 1e-7;

inline constexpr const char* kExtIn = "input_values";  // 1 x 128000
inline constexpr const char* kExtOut = "audio_emb";    // layers x 1 x 200 x 768
inline constexpr const char* kCond = "cond";           // 1 x 7 x 768
inline constexpr const char* kPrev = "prev";           // 1 x 63
inline constexpr const char* kH = "h";                 // 384 values
inline constexpr const char* kM = "m";                 // 63
inline constexpr const char* kHn = "hn";               // 384

// The 20th percentile of a growing sequence e_0..e_t (sorted ascending, the value
// at position 0.2 t, linear between neighbours), in O(log t) per value by two
// heaps: `low_` holds the smallest floor(0.2 t) + 1 values, so its top and the
// top of `high_` are the two neighbours the interpolation needs.
class Percentile20 {
 public:
  explicit Percentile20(size_t reserve = 0);
  // Adds e_t and returns the percentile of e_0..e_t.
  double add(double e);

 private:
  std::priority_queue<double, std::vector<double>, std::less<double>> low_;
  std::priority_queue<double, std::vector<double>, std::greater<double>> high_;
};

// Frames of a clip of n samples: ceil(n / 640), 0 for n < 1.
inline int64_t frames(int64_t n) { return n < 1 ? 0 : (n + kHop - 1) / kHop; }

}  // namespace fca

class FcaEngine {
 public:
  // threads < 1: the worker pool's size.
  FcaEngine(const std::string& extractorPath, const std::string& modelPath, int threads);
  ~FcaEngine();
  FcaEngine(const FcaEngine&) = delete;
  FcaEngine& operator=(const FcaEngine&) = delete;

  // n < 1: 0. cap < frames(n): -1 without running a model. Otherwise writes
  // frames(n) x 63 floats and returns the frame count; `out` is written only
  // once everything succeeded. Throws std::runtime_error or Ort::Exception.
  int deltas(const float* audio, int n, float* out, int cap);

  // Introspection for tests and the bench.
  int layers() const { return layers_; }
  int64_t extractorRuns() const { return extractorRuns_; }
  int64_t modelRuns() const { return modelRuns_; }
  double ortSeconds() const { return ortSeconds_; }  // time inside the sessions
  void clearCounters() { extractorRuns_ = modelRuns_ = 0; ortSeconds_ = 0; }

 private:
  // The model stages of deltas(). features: T rows of kDim floats into feat, the
  // extractor's input staged in window (kWin floats). recurrence: T x 63 deltas
  // into result, each step's context rows staged in cond (kCtx x kDim floats).
  void features(const float* audio, int n, int T, float* feat, float* window);
  void recurrence(const float* feat, int T, float* cond, float* result);

  struct Impl;
  std::unique_ptr<Impl> impl_;
  int layers_ = 0;
  int64_t extractorRuns_ = 0, modelRuns_ = 0;
  double ortSeconds_ = 0;
};

}  // namespace le
