// The teeth pass: retrieval of donor mouths (a coarse score on 4x4-pooled
// half-precision windows for every donor, the exact score for the short
// list), the candidate head that weighs the retrieved donors per pixel, and
// the blend into the crop's mouth window. Arithmetic mirrors a
// half-precision reference (per-pixel rounding to half), so scores and
// orderings are the same on every processor.
#include <algorithm>
#include <cmath>
#include <cstring>
#include <numeric>
#include <stdexcept>
#include <string>
#include <utility>

#include "compose/le_pool.h"
#include "compose/le_simd.h"
#include "tessera/le_tessera.h"

namespace le::tessera {

namespace {

[[noreturn]] void fail(const std::string& why) { throw std::runtime_error(why); }

// Hostile stamps must not turn into huge buffers: no served canvas comes
// near these, and the stamp rules bound every other size by them.
constexpr int32_t kMaxSide = 16384;
constexpr int32_t kMaxDonors = 1024;
constexpr int32_t kMaxK = 1024;
constexpr int kPlanes = 16;  // hidden planes of the candidate head

std::string decimal(unsigned __int128 v) {
  std::string s;
  do {
    s.insert(s.begin(), char('0' + int(v % 10)));
    v /= 10;
  } while (v != 0);
  return s;
}

float roundHalf(float v) { return simd::detail::roundHalf(v); }

// Calls body(begin, end) on the worker pool. The closure handed to the pool
// holds one reference, small enough for std::function to keep inline, so a
// job allocates nothing.
template <class F>
void par(size_t count, size_t grain, const F& body) {
  if (count == 0) return;
  pool::parallelRange(count, grain, [&body](size_t b, size_t e) { body(b, e); });
}

// The columns [lo, hi) of a window row whose stored column c + colOff lies
// inside a patch of bandW columns.
void validCols(int W, int colOff, int bandW, int* lo, int* hi) {
  *lo = std::clamp(-colOff, 0, W);
  *hi = std::clamp(bandW - colOff, *lo, W);
}

uint8_t toByte(float v) {
  v = v > 0.0f ? (v < 1.0f ? v : 1.0f) : 0.0f;  // NaN -> 0
  return uint8_t(std::nearbyint(v * 255.0f));
}

void checkConfig(const ServeConfig& c) {
  if (c.K < 1 || c.K > kMaxK)
    fail("teeth: serving config K=" + std::to_string(c.K) + " is outside 1.." + std::to_string(kMaxK));
  if (c.kshort < 1) fail("teeth: serving config kshort=" + std::to_string(c.kshort) + " must be at least 1");
  if (c.cut < 1) fail("teeth: serving config cut=" + std::to_string(c.cut) + " must be at least 1");
  if (c.hysteresis < 0)
    fail("teeth: serving config hysteresis=" + std::to_string(c.hysteresis) + " must not be negative");
  if (c.lookahead < 0)
    fail("teeth: serving config lookahead=" + std::to_string(c.lookahead) + " must not be negative");
}

}  // namespace

// ---- Construction -------------------------------------------------------------

TeethPass::TeethPass(BankData bank, const HeadWeights& weights, const ServeConfig& config)
    : stamp_(bank.stamp), config_(config), weights_(weights) {
  const GeometryStamp& s = stamp_;
  s.validate();
  if (s.canvas_w > kMaxSide || s.canvas_h > kMaxSide || s.pad > kMaxSide)
    fail("teeth: stamp " + s.str() + " is beyond what the pass serves (canvas sides and pad at most " +
         std::to_string(kMaxSide) + ")");
  n_ = bank.n_donors;
  if (n_ < 1 || n_ > kMaxDonors)
    fail("teeth: n_donors=" + std::to_string(n_) + " is outside 1.." + std::to_string(kMaxDonors));
  // The stamp rules keep the stored patch within the padded window.
  bandH_ = int(s.bandH());
  bandW_ = int(s.bandW());
  const unsigned __int128 required = (unsigned __int128)(uint32_t(n_)) * uint32_t(bandH_) * uint32_t(bandW_) * 3u;
  if (required != bank.donors.size())
    fail("teeth: reference track is " + std::to_string(bank.donors.size()) + " bytes, the stamp requires " +
         decimal(required) +
         " (n * stored_h * stored_w * 3) \xE2\x80\x94 a decoder that delivered a different pixel format would "
         "land here");
  if (bank.aperture.size() != size_t(n_) || bank.cent.size() != 2 * size_t(n_))
    fail("teeth: bank sidecar arrays disagree with n_donors");
  for (double v : bank.cent)
    if (!std::isfinite(v)) fail("teeth: bank sidecar cent holds a value that is not finite");
  if (!std::isfinite(bank.c_canon[0]) || !std::isfinite(bank.c_canon[1]))
    fail("teeth: bank sidecar c_canon holds a value that is not finite");
  if (weights_.cand0w.size() != 16 * 7 * 9 || weights_.cand0b.size() != 16 || weights_.cand2w.size() != 16 * 16 * 9 ||
      weights_.cand2b.size() != 16 || weights_.cand4w.size() != 16 * 9 || weights_.cand4b.size() != 1)
    fail("teeth: head weights lack the candidate head of BlendHead(16)");
  checkConfig(config_);
  H_ = s.window_h;
  W_ = s.window_w;
  if (H_ < 2 || W_ < 2)
    fail("teeth: window " + std::to_string(W_) + "x" + std::to_string(H_) +
         " is smaller than the 2x2 the half-resolution head needs");
  Hq_ = H_ / 4;
  Wq_ = W_ / 4;
  Hh_ = H_ / 2;
  Wh_ = W_ / 2;

  donors_ = std::move(bank.donors);
  aperture_ = std::move(bank.aperture);
  cCanon_ = bank.c_canon;

  // Offsets saturate at twice the pad: every use clamps (offset - shift) to
  // the pad with |shift| <= pad, which the saturation leaves unchanged.
  const double lim = 2.0 * s.pad;
  donorDy_.resize(size_t(n_));
  donorDx_.resize(size_t(n_));
  for (int d = 0; d < n_; ++d) {
    donorDy_[size_t(d)] = int32_t(std::clamp(std::nearbyint(bank.cent[2 * size_t(d) + 1] - cCanon_[1]), -lim, lim));
    donorDx_[size_t(d)] = int32_t(std::clamp(std::nearbyint(bank.cent[2 * size_t(d)] - cCanon_[0]), -lim, lim));
  }

  const size_t HW = size_t(H_) * W_, nq = size_t(Hq_) * Wq_, hp = size_t(Hh_) * Wh_;
  const size_t K = size_t(config_.K);
  bandMask_.assign(HW, 0);
  for (int r = s.band_r0; r < s.band_r1; ++r)
    std::fill_n(bandMask_.begin() + ptrdiff_t(size_t(r) * W_ + s.band_c0), s.band_c1 - s.band_c0, uint8_t(1));

  slots_.resize(size_t(std::max(1, pool::threads())));
  for (Slot& sl : slots_) {
    sl.win16.resize(3 * HW);
    sl.win32.resize(3 * HW);
    sl.pooled.resize(3 * nq);
    sl.q.resize(HW);
    sl.prod.resize(HW);
  }
  index_.resize(size_t(n_) * 3 * nq);
  prevT_.assign(HW, 0.0f);
  prevSel_.reserve(K);
  const size_t canvas = size_t(s.canvas_w) * size_t(s.canvas_h);
  for (Pending* p : {&held_, &next_}) {
    p->crop.resize(canvas * 3);
    p->mask.resize(canvas);
    p->candidates.reserve(K);
    p->reason.reserve(32);
  }
  query_.resize(HW * 3);
  queryF_.resize(HW * 3);
  t_.resize(HW);
  pooledQ_.resize(3 * nq);
  pooledM_.resize(nq);
  coarse_.resize(size_t(n_));
  exact_.resize(size_t(n_));
  order_.resize(size_t(n_));
  exactOrder_.resize(size_t(n_));
  list_.reserve(K);
  windows_.resize(K * HW * 3);
  cropF_.resize(3 * HW);
  composite_.resize(3 * HW);
  weightsBuf_.resize(K * HW);
  support_.resize(HW);
  cropHalf_.resize(3 * hp);
  in7_.resize(K * 7 * hp);
  h1_.resize(K * kPlanes * hp);
  h2_.resize(K * kPlanes * hp);
  logits_.resize(K * hp);
  totals_.resize(K);
  totalOrder_.resize(K);
  // Bilinear upsampling with half-pixel centres from the half resolution.
  auto taps = [](int out, int in, std::vector<int32_t>& i0v, std::vector<int32_t>& i1v, std::vector<float>& fv) {
    i0v.resize(size_t(out));
    i1v.resize(size_t(out));
    fv.resize(size_t(out));
    for (int i = 0; i < out; ++i) {
      const float src = std::max(0.0f, (float(i) + 0.5f) * 0.5f - 0.5f);
      const int i0 = std::min(in - 1, int(std::floor(src)));
      i0v[size_t(i)] = i0;
      i1v[size_t(i)] = std::min(in - 1, i0 + 1);
      fv[size_t(i)] = src - float(i0);
    }
  };
  taps(H_, Hh_, upY0_, upY1_, upFy_);
  taps(W_, Wh_, upX0_, upX1_, upFx_);

  buildIndex();
}

// Donor-level work: the donors split into as many contiguous parts as the
// pool runs, part k working in slot k.
template <class F>
void TeethPass::forEachDonor(size_t count, F&& body) {
  if (count == 0) return;
  const size_t p = std::min(size_t(std::max(1, pool::parts(count, 1))), slots_.size());
  const size_t chunk = (count + p - 1) / p;
  par(p, 1, [&](size_t kb, size_t ke) {
    for (size_t k = kb; k < ke; ++k)
      for (size_t i = k * chunk; i < std::min(count, (k + 1) * chunk); ++i) body(slots_[k], i);
  });
}

// ---- Canonical windows and the pooled index --------------------------------------

TeethPass::Placement TeethPass::place(int d, int64_t rows, int64_t cols) const {
  const GeometryStamp& s = stamp_;
  const int oy = int(std::clamp(int64_t(donorDy_[size_t(d)]) - rows, int64_t(-s.pad), int64_t(s.pad)));
  const int ox = int(std::clamp(int64_t(donorDx_[size_t(d)]) - cols, int64_t(-s.pad), int64_t(s.pad)));
  Placement p;
  p.rowOff = oy - (s.band_r0 - s.shift_margin);
  p.colOff = ox - (s.band_c0 - s.shift_margin);
  validCols(W_, p.colOff, bandW_, &p.cLo, &p.cHi);
  p.patch = donors_.data() + size_t(d) * bandH_ * bandW_ * 3;
  return p;
}

void TeethPass::canonicalWindowF16Rows(int d, uint16_t* out, int firstRow, int endRow) const {
  const size_t HW = size_t(H_) * W_;
  const auto [rowOff, colOff, cLo, cHi, patch] = place(d, 0, 0);
  firstRow = std::max(0, firstRow);
  endRow = std::min(H_, endRow);
  for (int r = firstRow; r < endRow; ++r) {
    for (int c = 0; c < 3; ++c) std::fill_n(out + c * HW + size_t(r) * W_, W_, uint16_t(0));
    const int sr = r + rowOff;
    if (sr < 0 || sr >= bandH_ || cLo >= cHi) continue;
    simd::rgb8ToPlanarF16(patch + (size_t(sr) * bandW_ + size_t(cLo + colOff)) * 3, out + size_t(r) * W_ + cLo, HW,
                          size_t(cHi - cLo));
  }
}

void TeethPass::canonicalWindowF16(int d, uint16_t* out) const { canonicalWindowF16Rows(d, out, 0, H_); }

void TeethPass::buildIndex() {
  const size_t HW = size_t(H_) * W_, nq = size_t(Hq_) * Wq_;
  forEachDonor(size_t(n_), [&](Slot& sl, size_t d) {
    canonicalWindowF16(int(d), sl.win16.data());
    simd::f16ToF32(sl.win16.data(), sl.win32.data(), 3 * HW);
    for (int c = 0; c < 3; ++c)
      for (int qy = 0; qy < Hq_; ++qy)
        for (int qx = 0; qx < Wq_; ++qx) {
          float sum = 0.0f;
          for (int y = 0; y < 4; ++y)
            for (int x = 0; x < 4; ++x) sum += sl.win32[c * HW + size_t(qy * 4 + y) * W_ + size_t(qx * 4 + x)];
          sl.pooled[c * nq + size_t(qy) * Wq_ + size_t(qx)] = sum / 16.0f;
        }
    simd::f32ToF16(sl.pooled.data(), index_.data() + d * 3 * nq, 3 * nq);
  });
}

const float* TeethPass::dTable() {
  static const std::vector<float> table = [] {
    std::vector<float> t(256 * 256);
    for (int i = 0; i < 256; ++i)
      for (int j = 0; j < 256; ++j)
        t[size_t(i) * 256 + size_t(j)] =
            std::fabs(roundHalf(roundHalf(float(j) / 255.0f) - roundHalf(float(i) / 255.0f)));
    return t;
  }();
  return table.data();
}

// ---- Shift and retrieval ------------------------------------------------------

bool TeethPass::deriveShift(const uint8_t* mask, const int32_t* shift, int32_t* rows, int32_t* cols,
                            std::string* reason) const {
  double dr, dc;
  if (shift) {
    dr = shift[0];
    dc = shift[1];
  } else {
    int64_t sumR = 0, sumC = 0, count = 0;
    for (int y = 0; y < stamp_.canvas_h; ++y) {
      const uint8_t* row = mask + size_t(y) * stamp_.canvas_w;
      for (int x = 0; x < stamp_.canvas_w; ++x)
        if (row[x] >= 128) {
          sumR += y;
          sumC += x;
          ++count;
        }
    }
    if (count == 0) {
      if (reason) *reason = "empty-pi";
      return false;
    }
    dr = std::nearbyint(double(sumR) / double(count) - cCanon_[1]);
    dc = std::nearbyint(double(sumC) / double(count) - cCanon_[0]);
  }
  if (!(std::fabs(dr) <= stamp_.pad) || !(std::fabs(dc) <= stamp_.pad)) {
    if (reason) *reason = "shift-out-of-range";
    return false;
  }
  *rows = int32_t(dr);
  *cols = int32_t(dc);
  return true;
}

// The query window (the stamped window moved by the shift; pixels a shift
// carries off the canvas read as black outside the mask) and its teeth mask.
void TeethPass::prepare(const uint8_t* crop, const uint8_t* mask, int32_t rows, int32_t cols) {
  const GeometryStamp& s = stamp_;
  const size_t HW = size_t(H_) * W_, nq = size_t(Hq_) * Wq_;
  const int y0 = s.window_y0 + rows, x0 = s.window_x0 + cols;
  auto maskAt = [&](int r, int c) -> uint8_t {
    const int y = y0 + r, x = x0 + c;
    return y >= 0 && y < s.canvas_h && x >= 0 && x < s.canvas_w ? mask[size_t(y) * s.canvas_w + size_t(x)] : 0;
  };
  int teeth = 0;
  for (int r = 0; r < H_; ++r)
    for (int c = 0; c < W_; ++c) {
      const int y = y0 + r, x = x0 + c;
      const bool inside = y >= 0 && y < s.canvas_h && x >= 0 && x < s.canvas_w;
      const size_t i = size_t(r) * W_ + size_t(c);
      uint8_t rgb[3] = {0, 0, 0};
      if (inside) std::memcpy(rgb, crop + (size_t(y) * s.canvas_w + size_t(x)) * 3, 3);
      for (int k = 0; k < 3; ++k) {
        query_[i * 3 + size_t(k)] = rgb[k];
        queryF_[size_t(k) * HW + i] = float(rgb[k]) / 255.0f;
      }
      const bool maskOn = float(maskAt(r, c)) / 255.0f > 0.5f;
      const double luma = 0.299 * rgb[0] + 0.587 * rgb[1] + 0.114 * rgb[2];
      const bool tooth = maskOn && luma >= config_.lumaThreshold && std::abs(int(rgb[1]) - int(rgb[0])) < config_.greenRedLimit;
      t_[i] = tooth ? 1.0f : 0.0f;
      teeth += tooth;
    }
  if (teeth < config_.minTeethPixels)
    for (int r = 0; r < H_; ++r)
      for (int c = 0; c < W_; ++c) t_[size_t(r) * W_ + size_t(c)] = float(maskAt(r, c)) / 255.0f > 0.5f ? 1.0f : 0.0f;
  const float carry = float(config_.maskCarry);
  double sumT = 0.0;
  activeFirst_ = H_;
  activeEnd_ = 0;
  for (int r = 0; r < H_; ++r)
    for (int c = 0; c < W_; ++c) {
      const size_t i = size_t(r) * W_ + size_t(c);
      if (hasPrevT_) t_[i] = std::max(t_[i], carry * prevT_[i]);
      prevT_[i] = t_[i];
      sumT += t_[i];
      if (t_[i] != 0.0f) {
        activeFirst_ = std::min(activeFirst_, r);
        activeEnd_ = r + 1;
      }
    }
  hasPrevT_ = true;
  if (activeEnd_ == 0) activeFirst_ = 0, activeEnd_ = H_;
  exactNorm_ = std::max(1.0f, float(sumT));

  // 4x4 averages of the query and the mask, rounded to half (in slot 0's
  // scratch: no donor-level work runs during preparation).
  float* pq = slots_[0].pooled.data();
  float* pm = slots_[0].q.data();
  for (int k = 0; k < 4; ++k) {
    const float* src = k < 3 ? queryF_.data() + size_t(k) * HW : t_.data();
    float* dst = k < 3 ? pq + size_t(k) * nq : pm;
    for (int qy = 0; qy < Hq_; ++qy)
      for (int qx = 0; qx < Wq_; ++qx) {
        float sum = 0.0f;
        for (int y = 0; y < 4; ++y)
          for (int x = 0; x < 4; ++x) sum += src[size_t(qy * 4 + y) * W_ + size_t(qx * 4 + x)];
        dst[size_t(qy) * Wq_ + size_t(qx)] = sum / 16.0f;
      }
  }
  simd::f32ToF16(pq, pooledQ_.data(), 3 * nq);
  simd::f32ToF16(pm, pooledM_.data(), nq);
  float norm = 0.0f;
  for (size_t i = 0; i < nq; ++i) norm += simd::detail::f16ToF32(pooledM_[i]);
  pooledNorm_ = std::max(0.0001f, norm);
}

float TeethPass::exactTermFromBand(int d, const uint8_t* query, const float* t, int firstRow, int endRow, float* q,
                                   float* prod) const {
  const float* D = dTable();
  const auto [rowOff, colOff, cLo, cHi, patch] = place(d, 0, 0);
  firstRow = std::max(0, firstRow);
  endRow = std::min(H_, endRow);
  if (firstRow >= endRow) return 0.0f;
  for (int r = firstRow; r < endRow; ++r) {
    const uint8_t* qrow = query + size_t(r) * W_ * 3;
    float* qo = q + size_t(r - firstRow) * W_;
    const int sr = r + rowOff;
    const bool rowIn = sr >= 0 && sr < bandH_;
    const int lo = rowIn ? cLo : W_, hi = rowIn ? cHi : W_;
    // Outside the stored patch the donor is black.
    for (int c = 0; c < lo; ++c) {
      const uint8_t* qp = qrow + size_t(c) * 3;
      qo[c] = (D[size_t(qp[0]) * 256] + D[size_t(qp[1]) * 256] + D[size_t(qp[2]) * 256]) / 3.0f;
    }
    const uint8_t* dp = rowIn ? patch + (size_t(sr) * bandW_ + size_t(lo + colOff)) * 3 : nullptr;
    for (int c = lo; c < hi; ++c, dp += 3) {
      const uint8_t* qp = qrow + size_t(c) * 3;
      qo[c] = (D[size_t(qp[0]) * 256 + dp[0]] + D[size_t(qp[1]) * 256 + dp[1]] + D[size_t(qp[2]) * 256 + dp[2]]) /
              3.0f;
    }
    for (int c = hi; c < W_; ++c) {
      const uint8_t* qp = qrow + size_t(c) * 3;
      qo[c] = (D[size_t(qp[0]) * 256] + D[size_t(qp[1]) * 256] + D[size_t(qp[2]) * 256]) / 3.0f;
    }
  }
  const size_t count = size_t(endRow - firstRow) * W_;
  simd::roundF16Mul(q, t + size_t(firstRow) * W_, prod, count);
  // Pixels with t = 0 add exact zeros; 16 partial sums keep the adds independent.
  float lanes[16] = {};
  size_t i = 0;
  for (; i + 16 <= count; i += 16)
    for (size_t k = 0; k < 16; ++k) lanes[k] += prod[i + k];
  for (size_t k = 0; i < count; ++i, ++k) lanes[k] += prod[i];
  float total = lanes[0];
  for (size_t k = 1; k < 16; ++k) total += lanes[k];
  return total;
}

void TeethPass::retrieve(const uint8_t* crop, const uint8_t* mask, int32_t rows, int32_t cols,
                         std::vector<int32_t>& candidates) {
  prepare(crop, mask, rows, cols);
  const size_t nq = size_t(Hq_) * Wq_;
  forEachDonor(size_t(n_), [&](Slot&, size_t d) {
    const float term = simd::retrieveTermPooled(index_.data() + d * 3 * nq, pooledQ_.data(), pooledM_.data(), nq);
    coarse_[d] = roundHalf(term) / pooledNorm_;
  });
  // Stable: ties keep donor order.
  std::iota(order_.begin(), order_.end(), 0);
  std::sort(order_.begin(), order_.end(), [&](int32_t a, int32_t b) {
    return coarse_[size_t(a)] < coarse_[size_t(b)] || (coarse_[size_t(a)] == coarse_[size_t(b)] && a < b);
  });
  const size_t S = std::min(size_t(config_.kshort), size_t(n_));
  forEachDonor(S, [&](Slot& sl, size_t j) {
    exact_[j] = exactTermFromBand(order_[j], query_.data(), t_.data(), activeFirst_, activeEnd_, sl.q.data(),
                                  sl.prod.data()) /
                exactNorm_;
  });
  select(candidates);
}

void TeethPass::select(std::vector<int32_t>& candidates) {
  const size_t S = std::min(size_t(config_.kshort), size_t(n_));
  std::iota(exactOrder_.begin(), exactOrder_.begin() + ptrdiff_t(S), 0);
  std::sort(exactOrder_.begin(), exactOrder_.begin() + ptrdiff_t(S), [&](int32_t a, int32_t b) {
    return exact_[size_t(a)] < exact_[size_t(b)] || (exact_[size_t(a)] == exact_[size_t(b)] && a < b);
  });
  const size_t K = size_t(config_.K);
  const int32_t best = order_[size_t(exactOrder_[0])];
  const double e = aperture_[size_t(best)];
  const double tol = std::max(1e-6, e) * config_.aperture_tol;
  const size_t walk = std::min(S, size_t(config_.cut));
  candidates.clear();
  for (size_t k = 0; k < walk && candidates.size() < K; ++k) {
    const int32_t d = order_[size_t(exactOrder_[k])];
    if (std::fabs(aperture_[size_t(d)] - e) <= tol) candidates.push_back(d);
  }
  if (candidates.empty()) candidates.push_back(best);
  while (candidates.size() < K) candidates.push_back(candidates.back());
}

// ---- Push and flush -----------------------------------------------------------

bool TeethPass::push(int32_t frameIndex, const uint8_t* crop, const uint8_t* deliveryMask, const int32_t* shift,
                     FrameResult& out) {
  if (!crop || !deliveryMask) fail("teeth: push needs a crop and a delivery mask");
  Pending& p = next_;
  p.frameIndex = frameIndex;
  std::memcpy(p.crop.data(), crop, p.crop.size());
  std::memcpy(p.mask.data(), deliveryMask, p.mask.size());
  p.candidates.clear();
  p.reason.clear();
  p.shiftValid = deriveShift(p.mask.data(), shift, &p.shiftRows, &p.shiftCols, &p.reason);
  if (p.shiftValid) retrieve(p.crop.data(), p.mask.data(), p.shiftRows, p.shiftCols, p.candidates);
  const bool emitted = holding_;
  if (holding_) emit(held_, p.shiftValid ? &p.candidates : nullptr, out);
  std::swap(held_, next_);
  holding_ = true;
  return emitted;
}

bool TeethPass::flush(FrameResult& out) {
  if (!holding_) return false;
  emit(held_, nullptr, out);
  holding_ = false;
  return true;
}

// ---- Emission -----------------------------------------------------------------

void TeethPass::buildList(const Pending& pending, const std::vector<int32_t>* lookAhead) {
  const size_t K = size_t(config_.K);
  const size_t nCur = std::min(K, pending.candidates.size());
  const int32_t* la = lookAhead ? lookAhead->data() : nullptr;
  const size_t nAhead =
      lookAhead && config_.lookAheadOn ? std::min(size_t(config_.lookahead), lookAhead->size()) : 0;
  const bool usePrev = !prevSel_.empty() && hasLastEmitted_ && int64_t(pending.frameIndex) == lastEmitted_ + 1;
  auto in = [](const int32_t* v, size_t n, int32_t d) { return std::find(v, v + n, d) != v + n; };
  list_.clear();
  auto add = [&](int32_t d) {
    if (list_.size() < K) list_.push_back(d);
  };
  if (usePrev)
    for (int32_t d : prevSel_) add(d);
  for (size_t k = 0; k < nAhead; ++k)
    if (!usePrev || !in(prevSel_.data(), prevSel_.size(), la[k])) add(la[k]);
  for (size_t k = 0; k < nCur; ++k) {
    const int32_t d = pending.candidates[k];
    if (!in(la, nAhead, d) && (!usePrev || !in(prevSel_.data(), prevSel_.size(), d))) add(d);
  }
}

void TeethPass::gatherWindowsU8(const int32_t* donors, int count, int32_t shiftRows, int32_t shiftCols,
                                uint8_t* out) const {
  const size_t rowBytes = size_t(W_) * 3, winBytes = size_t(H_) * rowBytes;
  par(size_t(std::max(0, count)), 1, [&](size_t b, size_t e) {
    for (size_t l = b; l < e; ++l) {
      const int d = donors[l];
      const auto [rowOff, colOff, cLo, cHi, patch] = place(d, shiftRows, shiftCols);
      uint8_t* win = out + l * winBytes;
      for (int r = 0; r < H_; ++r) {
        uint8_t* row = win + size_t(r) * rowBytes;
        const int sr = r + rowOff;
        if (sr < 0 || sr >= bandH_ || cLo >= cHi) {
          std::memset(row, 0, rowBytes);
          continue;
        }
        std::memset(row, 0, size_t(cLo) * 3);
        std::memcpy(row + size_t(cLo) * 3, patch + (size_t(sr) * bandW_ + size_t(cLo + colOff)) * 3,
                    size_t(cHi - cLo) * 3);
        std::memset(row + size_t(cHi) * 3, 0, size_t(W_ - cHi) * 3);
      }
    }
  });
}

// The band, and above it (in the band's columns) the pixels the delivery
// mask covers where every listed donor has stored pixels.
void TeethPass::supportMask(const Pending& pending) {
  const GeometryStamp& s = stamp_;
  support_ = bandMask_;
  int rLo = 0, rHi = s.band_r0, cLo = s.band_c0, cHi = s.band_c1;
  for (int32_t d : list_) {
    const Placement at = place(d, pending.shiftRows, pending.shiftCols);
    const int rowOff = at.rowOff, colOff = at.colOff;
    rLo = std::max(rLo, -rowOff);
    rHi = std::min(rHi, bandH_ - rowOff);
    cLo = std::max(cLo, -colOff);
    cHi = std::min(cHi, bandW_ - colOff);
  }
  for (int r = rLo; r < rHi; ++r) {
    const uint8_t* m = pending.mask.data() + size_t(s.window_y0 + r) * s.canvas_w + size_t(s.window_x0);
    for (int c = cLo; c < cHi; ++c)
      if (m[c] != 0) support_[size_t(r) * W_ + size_t(c)] = 1;
  }
}

void TeethPass::headForward(const uint8_t* donorWindows, int count, const float* cropWindow, const uint8_t* support,
                            float* weights, float* composite) {
  const size_t L = size_t(std::clamp(count, 0, config_.K));
  if (L == 0) return;
  const size_t HW = size_t(H_) * W_, hp = size_t(Hh_) * Wh_;
  const int W = W_;
  // 2x2 averages: the crop once, each donor in its own 7-plane input.
  for (int c = 0; c < 3; ++c)
    for (int y = 0; y < Hh_; ++y)
      for (int x = 0; x < Wh_; ++x) {
        const float* p = cropWindow + size_t(c) * HW + size_t(2 * y) * W + size_t(2 * x);
        cropHalf_[size_t(c) * hp + size_t(y) * Wh_ + size_t(x)] = (((p[0] + p[1]) + p[W]) + p[W + 1]) * 0.25f;
      }
  par(L, 1, [&](size_t b, size_t e) {
    for (size_t l = b; l < e; ++l) {
      const uint8_t* win = donorWindows + l * HW * 3;
      float* in = in7_.data() + l * 7 * hp;
      for (int y = 0; y < Hh_; ++y)
        for (int x = 0; x < Wh_; ++x) {
          const size_t i = size_t(y) * Wh_ + size_t(x);
          const uint8_t* p = win + (size_t(2 * y) * W + size_t(2 * x)) * 3;
          const size_t down = size_t(W) * 3;
          float diff = 0.0f;
          for (int c = 0; c < 3; ++c) {
            const float v = (((float(p[c]) / 255.0f + float(p[3 + c]) / 255.0f) + float(p[down + c]) / 255.0f) +
                             float(p[down + 3 + c]) / 255.0f) *
                            0.25f;
            const float cv = cropHalf_[size_t(c) * hp + i];
            in[size_t(c) * hp + i] = v;
            in[size_t(3 + c) * hp + i] = cv;
            diff = c == 0 ? std::fabs(v - cv) : diff + std::fabs(v - cv);
          }
          in[6 * hp + i] = diff / 3.0f;
        }
    }
  });
  // The candidate network, per (donor x output plane).
  auto layer = [&](const float* src, size_t inPlanes, const std::vector<float>& w, const std::vector<float>& bias,
                   size_t outPlanes, float* dst, bool relu) {
    par(L * outPlanes, 1, [&](size_t b, size_t e) {
      simd::conv3x3Range(src, L, inPlanes, size_t(Hh_), size_t(Wh_), w.data(), bias.data(), outPlanes, dst, b, e);
      if (relu)
        for (float* v = dst + b * hp; v != dst + e * hp; ++v) *v = std::max(*v, 0.0f);
    });
  };
  layer(in7_.data(), 7, weights_.cand0w, weights_.cand0b, kPlanes, h1_.data(), true);
  layer(h1_.data(), kPlanes, weights_.cand2w, weights_.cand2b, kPlanes, h2_.data(), true);
  layer(h2_.data(), kPlanes, weights_.cand4w, weights_.cand4b, 1, logits_.data(), false);
  // Logits to full resolution, then the softmax over donors per pixel.
  par(L, 1, [&](size_t b, size_t e) {
    for (size_t l = b; l < e; ++l) {
      const float* lg = logits_.data() + l * hp;
      float* out = weights + l * HW;
      for (int y = 0; y < H_; ++y) {
        const float* r0 = lg + size_t(upY0_[size_t(y)]) * Wh_;
        const float* r1 = lg + size_t(upY1_[size_t(y)]) * Wh_;
        const float fy = upFy_[size_t(y)];
        for (int x = 0; x < W; ++x) {
          const size_t x0 = size_t(upX0_[size_t(x)]), x1 = size_t(upX1_[size_t(x)]);
          const float fx = upFx_[size_t(x)];
          out[size_t(y) * W + size_t(x)] =
              (1.0f - fy) * ((1.0f - fx) * r0[x0] + fx * r0[x1]) + fy * ((1.0f - fx) * r1[x0] + fx * r1[x1]);
        }
      }
    }
  });
  par(HW, 256, [&](size_t b, size_t e) {
    for (size_t i = b; i < e; ++i) {
      float mx = weights[i];
      for (size_t l = 1; l < L; ++l) mx = std::max(mx, weights[l * HW + i]);
      float sum = 0.0f;
      for (size_t l = 0; l < L; ++l) {
        const float ex = std::exp(weights[l * HW + i] - mx);
        weights[l * HW + i] = ex;
        sum += ex;
      }
      for (size_t l = 0; l < L; ++l) weights[l * HW + i] /= sum;
    }
  });
  par(3 * HW, 256, [&](size_t b, size_t e) {
    for (size_t k = b; k < e; ++k) {
      const size_t c = k / HW, i = k % HW;
      if (!support[i]) {
        composite[k] = cropWindow[k];
        continue;
      }
      float acc = 0.0f;
      for (size_t l = 0; l < L; ++l) acc += weights[l * HW + i] * (float(donorWindows[(l * HW + i) * 3 + c]) / 255.0f);
      composite[k] = acc;
    }
  });
}

void TeethPass::emit(const Pending& pending, const std::vector<int32_t>* lookAhead, FrameResult& out) {
  out.candidates = 0.0f;
  out.auxMean = out.auxMax = 0.0f;
  if (!pending.shiftValid) {
    out.window.clear();
    out.passThrough = true;
    out.reason = pending.reason;
    return;
  }
  const GeometryStamp& s = stamp_;
  const size_t HW = size_t(H_) * W_;
  buildList(pending, lookAhead);
  const size_t L = list_.size();
  gatherWindowsU8(list_.data(), int(L), pending.shiftRows, pending.shiftCols, windows_.data());
  // The crop at the stamped window (not shifted), planar /255.
  par(size_t(H_), 8, [&](size_t b, size_t e) {
    for (size_t r = b; r < e; ++r) {
      const uint8_t* row = pending.crop.data() + ((size_t(s.window_y0) + r) * s.canvas_w + size_t(s.window_x0)) * 3;
      for (int c = 0; c < W_; ++c)
        for (int k = 0; k < 3; ++k) cropF_[size_t(k) * HW + r * W_ + size_t(c)] = float(row[c * 3 + k]) / 255.0f;
    }
  });
  supportMask(pending);
  headForward(windows_.data(), int(L), cropF_.data(), support_.data(), weightsBuf_.data(), composite_.data());

  // The next frame keeps the donors that carried the most weight.
  par(L, 1, [&](size_t b, size_t e) {
    for (size_t l = b; l < e; ++l) {
      double sum = 0.0;
      for (size_t i = 0; i < HW; ++i) sum += weightsBuf_[l * HW + i];
      totals_[l] = sum;
    }
  });
  std::iota(totalOrder_.begin(), totalOrder_.begin() + ptrdiff_t(L), 0);
  std::sort(totalOrder_.begin(), totalOrder_.begin() + ptrdiff_t(L), [&](int32_t a, int32_t b) {
    return totals_[size_t(a)] > totals_[size_t(b)] || (totals_[size_t(a)] == totals_[size_t(b)] && a < b);
  });
  prevSel_.clear();
  for (size_t k = 0; k < std::min(size_t(config_.hysteresis), L); ++k) prevSel_.push_back(list_[size_t(totalOrder_[k])]);
  lastEmitted_ = pending.frameIndex;
  hasLastEmitted_ = true;

  // The blend through the delivery mask.
  out.window.resize(HW * 3);
  par(size_t(H_), 4, [&](size_t b, size_t e) {
    for (size_t r = b; r < e; ++r) {
      const uint8_t* m = pending.mask.data() + (size_t(s.window_y0) + r) * s.canvas_w + size_t(s.window_x0);
      for (int c = 0; c < W_; ++c) {
        const float a = float(m[c]) / 255.0f;
        const size_t i = r * W_ + size_t(c);
        for (int k = 0; k < 3; ++k) {
          const size_t pk = size_t(k) * HW + i;
          out.window[i * 3 + size_t(k)] = toByte((1.0f - a) * cropF_[pk] + a * composite_[pk]);
        }
      }
    }
  });
  out.passThrough = false;
  out.reason.clear();
  out.candidates = float(L);
  // The candidate-only head leaves its auxiliary plane at zero.
  int64_t supportPixels = 0;
  for (size_t i = 0; i < HW; ++i) supportPixels += support_[i] != 0;
  ++stats_.frames;
  stats_.pixels += supportPixels;
  stats_.sumMeans += out.auxMean;
  stats_.largest = std::max(stats_.largest, out.auxMax);
}

}  // namespace le::tessera
