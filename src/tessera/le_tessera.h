// The teeth pass: the blend head's weights, read from the state dictionary
// checkpoint the head ships as (a stored ZIP archive with a pickled
// parameter list and one float32 storage per tensor) by a ZIP directory
// reader and a pickle machine that model exactly what such a save writes and
// refuse everything else (le_tessera.cpp); and the pass itself, which
// retrieves donor mouths from a bank and blends their teeth into each
// rendered crop (le_tessera_pass.cpp).
#pragma once

#include <array>
#include <cstdint>
#include <string>
#include <vector>

#include "tessera/le_bundle_tessera.h"

namespace le::tessera {

struct HeadWeights {
  std::vector<float> cand0w, cand0b;  // [16, 7, 3, 3], [16]
  std::vector<float> cand2w, cand2b;  // [16, 16, 3, 3], [16]
  std::vector<float> cand4w, cand4b;  // [1, 16, 3, 3], [1]
  std::vector<float> syn0w, syn0b;    // [16, 3, 3, 3], [16]; empty for BlendHead8(16)
  std::vector<float> syn2w, syn2b;    // [1, 16, 3, 3], [1]; empty for BlendHead8(16)
  float envelope = 12.0f / 255.0f;

  // Elements of the ten arrays: 4,082 for BlendHead(16), 3,489 for BlendHead8(16).
  int params() const;
};

// The whole checkpoint file; throws std::runtime_error ("teeth: ...") on
// every refusal. Offsets and sizes are checked before any read.
HeadWeights loadHeadPt(const std::vector<uint8_t>& bytes);

// ---- The pass ---------------------------------------------------------------

// The bank as the pass takes it: the decoded track in donor order and the
// sidecar's arrays.
struct BankData {
  std::vector<uint8_t> donors;        // n_donors patches of band_h x band_w x 3 (RGB)
  std::vector<double> cent;           // 2 n_donors: x, y per donor
  std::array<double, 2> c_canon{};    // x, y
  std::vector<double> aperture;       // n_donors
  GeometryStamp stamp;
  int32_t n_donors = 0;
};

// One frame waiting for the next (its look-ahead) before it is emitted.
struct Pending {
  int32_t frameIndex = 0;
  std::vector<uint8_t> crop;          // canvas_w x canvas_h x 3
  std::vector<uint8_t> mask;          // canvas_w x canvas_h
  std::vector<int32_t> candidates;    // K donor indices when the shift is valid
  int32_t shiftRows = 0, shiftCols = 0;
  bool shiftValid = false;
  std::string reason;
};

// One emitted frame.
struct FrameResult {
  std::vector<uint8_t> window;        // window_h x window_w x 3 RGB; empty for a pass-through
  bool passThrough = false;
  std::string reason;                 // "empty-pi" / "shift-out-of-range" for a pass-through
  float candidates = 0.0f;            // donors the head weighed
  float auxMean = 0.0f, auxMax = 0.0f;  // the auxiliary plane over the support
};

struct TeethStats {
  int64_t frames = 0;      // composited frames
  int64_t pixels = 0;      // support pixels over them
  double sumMeans = 0.0;   // sum of the per-frame auxiliary means
  float largest = 0.0f;    // largest auxiliary value seen
};

// The borrowed-teeth pass over a stream of crops, one frame behind: a frame
// is emitted when the next one arrives (its candidates are the look-ahead)
// or on flush. Used by one thread at a time; donor-level work runs on the
// worker pool. Everything a frame needs is allocated at construction, so a
// warmed-up pass allocates nothing per frame.
class TeethPass {
 public:
  // Throws std::runtime_error ("teeth: ...") for an incoherent stamp, a bank
  // whose size or arrays disagree with it, weights without the candidate
  // head's shapes, or a serving configuration that cannot serve.
  TeethPass(BankData bank, const HeadWeights& weights, const ServeConfig& config);
  TeethPass(const TeethPass&) = delete;
  TeethPass& operator=(const TeethPass&) = delete;

  // Takes frame `frameIndex` (crop canvas_w x canvas_h x 3, delivery mask
  // canvas_w x canvas_h; both copied). shift: rows, columns, or null to
  // derive it from the mask. True when `out` received the previous frame.
  bool push(int32_t frameIndex, const uint8_t* crop, const uint8_t* deliveryMask, const int32_t* shift,
            FrameResult& out);
  // Emits the held frame without look-ahead; false (out untouched) when none is held.
  bool flush(FrameResult& out);

  // The frame's mouth shift from `shift` or the mask's centroid; false with
  // the reason ("empty-pi", "shift-out-of-range") when there is none usable.
  bool deriveShift(const uint8_t* mask, const int32_t* shift, int32_t* rows, int32_t* cols,
                   std::string* reason) const;
  // Exactly K donor indices, best first (updates the carried teeth mask).
  void retrieve(const uint8_t* crop, const uint8_t* mask, int32_t rows, int32_t cols,
                std::vector<int32_t>& candidates);

  // Donor d moved to the canonical mouth position: 3 planes of window_h x
  // window_w halves (v/255); rows firstRow..endRow-1 only for the Rows form.
  void canonicalWindowF16(int d, uint16_t* out) const;
  void canonicalWindowF16Rows(int d, uint16_t* out, int firstRow, int endRow) const;
  // Rebuilds the pooled index (done at construction).
  void buildIndex();
  // The unnormalised exact score of donor d against the prepared query
  // (query bytes window_h x window_w x 3, teeth mask t) over rows
  // firstRow..endRow-1; q and prod: scratch of window_h x window_w floats.
  float exactTermFromBand(int d, const uint8_t* query, const float* t, int firstRow, int endRow, float* q,
                          float* prod) const;
  // D[i][j] = |half(half(j/255) - half(i/255))|, 256 x 256, built once.
  static const float* dTable();

  // Emits `pending` (lookAhead: the next frame's candidates, or null).
  void emit(const Pending& pending, const std::vector<int32_t>* lookAhead, FrameResult& out);
  // count donor windows (window_h x window_w x 3 bytes each) following the shift.
  void gatherWindowsU8(const int32_t* donors, int count, int32_t shiftRows, int32_t shiftCols,
                       uint8_t* out) const;
  // The candidate head over `count` donor windows (bytes, as gathered), the
  // crop window (3 planes of window_h x window_w, /255) and the support mask
  // (window_h x window_w, non-zero inside): per-donor weights (count planes
  // of window_h x window_w) and the composite (3 planes).
  void headForward(const uint8_t* donorWindows, int count, const float* cropWindow, const uint8_t* support,
                   float* weights, float* composite);

  const GeometryStamp& stamp() const { return stamp_; }
  const ServeConfig& config() const { return config_; }
  const TeethStats& stats() const { return stats_; }
  const std::vector<int32_t>& previousSelection() const { return prevSel_; }
  // The candidate list of the last composited frame.
  const std::vector<int32_t>& candidateList() const { return list_; }
  int donorDy(int d) const { return donorDy_[size_t(d)]; }
  int donorDx(int d) const { return donorDx_[size_t(d)]; }
  const uint8_t* bandMask() const { return bandMask_.data(); }
  // The support mask of the last composited frame (window_h x window_w).
  const uint8_t* lastSupport() const { return support_.data(); }

 private:
  // Scratch of one pool part (donor-level work runs one part per slot).
  struct Slot {
    std::vector<uint16_t> win16;  // 3 x H x W
    std::vector<float> win32;     // 3 x H x W
    std::vector<float> pooled;    // 3 x H/4 x W/4
    std::vector<float> q, prod;   // H x W
  };
  // Donor d moved by its offset less (rows, cols), clamped to the pad: where
  // window row r / column c reads stored row r + rowOff / column c + colOff,
  // and the window columns cLo..cHi-1 that land inside the stored patch.
  struct Placement {
    int rowOff, colOff, cLo, cHi;
    const uint8_t* patch;
  };
  Placement place(int d, int64_t rows, int64_t cols) const;
  template <class F>
  void forEachDonor(size_t count, F&& body);
  void prepare(const uint8_t* crop, const uint8_t* mask, int32_t rows, int32_t cols);
  void select(std::vector<int32_t>& candidates);
  void buildList(const Pending& pending, const std::vector<int32_t>* lookAhead);
  void supportMask(const Pending& pending);

  GeometryStamp stamp_;
  ServeConfig config_;
  HeadWeights weights_;
  std::vector<uint8_t> donors_;
  std::vector<double> aperture_;
  std::array<double, 2> cCanon_{};
  int n_ = 0, bandH_ = 0, bandW_ = 0;
  std::vector<int32_t> donorDy_, donorDx_;
  int H_ = 0, W_ = 0, Hq_ = 0, Wq_ = 0, Hh_ = 0, Wh_ = 0;
  std::vector<uint8_t> bandMask_;
  std::vector<uint16_t> index_;       // n x 3 x Hq x Wq halves
  std::vector<float> prevT_;
  bool hasPrevT_ = false;
  std::vector<int32_t> prevSel_;
  int64_t lastEmitted_ = 0;
  bool hasLastEmitted_ = false;
  Pending held_, next_;
  bool holding_ = false;
  TeethStats stats_;

  std::vector<Slot> slots_;
  // Retrieval scratch.
  std::vector<uint8_t> query_;        // H x W x 3 bytes
  std::vector<float> queryF_, t_;     // 3 x H x W, H x W
  std::vector<uint16_t> pooledQ_, pooledM_;
  float exactNorm_ = 1.0f, pooledNorm_ = 1.0f;
  int activeFirst_ = 0, activeEnd_ = 0;
  std::vector<float> coarse_, exact_;
  std::vector<int32_t> order_, exactOrder_;
  // Emission scratch.
  std::vector<int32_t> list_;
  std::vector<uint8_t> windows_;      // K x H x W x 3
  std::vector<float> cropF_, composite_, weightsBuf_;
  std::vector<uint8_t> support_;
  std::vector<float> cropHalf_, in7_, h1_, h2_, logits_;
  std::vector<double> totals_;
  std::vector<int32_t> totalOrder_;
  std::vector<int32_t> upY0_, upY1_, upX0_, upX1_;
  std::vector<float> upFy_, upFx_;
};

}  // namespace le::tessera
