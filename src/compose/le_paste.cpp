#include "compose/le_paste.h"

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <stdexcept>

#include "base/le_env.h"
#include "compose/le_pool.h"
#include "compose/le_simd.h"

namespace le {
namespace {

constexpr size_t kMinPart = 64;

// Mirror about the edge pixels (…c b | a b c … x y z | y x …), folded as
// often as needed so that kernels wider than the crop stay inside it.
int reflectIndex(int k, int S) {
  if (S <= 1) return 0;
  const int period = 2 * (S - 1);
  k = std::abs(k) % period;
  return k < S ? k : period - k;
}

// Fixed-point terms are kept well inside int so that a row term plus a
// column term plus the phase rounding cannot overflow; anything that far out
// (or NaN, from a nearly singular transform) is simply off the crop.
int fixedTerm(double v) {
  constexpr double kLim = double(1 << 29);
  if (!(v > -kLim)) return -(1 << 29);
  if (v > kLim) return 1 << 29;
  return static_cast<int>(v);
}

inline float clampByteRange(float x) {
  return x > 0.0f ? (x < 255.0f ? x : 255.0f) : 0.0f;  // NaN -> 0
}

std::atomic<bool> g_executorLogged{false};

}  // namespace

Paste::Paste(std::vector<uint8_t> mask, int side, const Unsharp& unsharp)
    : side_(side), amount_(unsharp.amount), mask_(std::move(mask)) {
  if (side <= 0 || mask_.size() != static_cast<size_t>(side) * static_cast<size_t>(side)) {
    throw std::runtime_error("paste: mask size");
  }
  // A non-positive kernel has no centre tap, odd or not.
  if (unsharp.ksize < 1 || unsharp.ksize % 2 == 0) {
    throw std::runtime_error("paste: ksize must be odd");
  }
  // Half a kernel wider than the crop only reflects the crop onto itself again,
  // while the padded planes grow with its square and the work with its cube: a
  // kernel past 2S - 1 taps (or the usual 13 on the smallest crops) is a broken
  // manifest, refused before those planes are sized from it.
  const int maxTaps = std::max(2 * side - 1, 13);
  if (unsharp.ksize > maxTaps) {
    throw std::runtime_error("paste: ksize " + std::to_string(unsharp.ksize) + " is beyond a crop of " +
                             std::to_string(side) + " (at most " + std::to_string(maxTaps) + " taps)");
  }
  const auto fast = env::wholeInt("LE_PASTE_FAST");
  mode_ = (fast && *fast >= 0 && *fast <= 2) ? static_cast<int>(*fast) : 0;
  ksize_ = unsharp.ksize;
  if (const auto k = env::wholeInt("LE_PASTE_KSIZE"); k && *k > 2 && *k % 2 == 1 && *k <= unsharp.ksize) {
    ksize_ = static_cast<int>(*k);
  }
  padded_ = side_ + ksize_ - 1;

  gauss_.resize(ksize_);
  {
    const double c = (ksize_ - 1) / 2.0;
    const double sigma = unsharp.sigma;
    std::vector<double> t(ksize_);
    double sum = 0.0;
    for (int i = 0; i < ksize_; ++i) {
      t[i] = std::exp(-(i - c) * (i - c) / (2.0 * sigma * sigma));
      sum += t[i];
    }
    if (!(sigma > 0.0) || !std::isfinite(sum) || !(sum > 0.0)) {
      // No usable width: the limit of a vanishing sigma, the centre tap alone.
      for (auto& x : t) x = 0.0;
      t[ksize_ / 2] = 1.0;
      sum = 1.0;
    }
    for (int i = 0; i < ksize_; ++i) gauss_[i] = static_cast<float>(t[i] / sum);
  }

  lanczos_.assign(32 * 8, 0.0f);
  bilinear_.assign(32 * 2, 0.0f);
  cubic_.assign(32 * 4, 0.0f);
  const double kPi = 3.14159265358979323846;
  const double r = std::sqrt(0.5);
  const double a[8] = {1, -r, 0, r, -1, r, 0, -r};
  const double b[8] = {0, -r, 1, -r, 0, r, -1, r};
  for (int p = 0; p < 32; ++p) {
    const double t = p / 32.0;
    float* L = &lanczos_[8 * p];
    if (t < 1e-7) {
      L[3] = 1.0f;
    } else {
      const double s0 = std::sin(-(t + 3) * kPi / 4), c0 = std::cos(-(t + 3) * kPi / 4);
      double w[8], sum = 0.0;
      for (int i = 0; i < 8; ++i) {
        const double y = (t + 3 - i) * kPi / 4;
        w[i] = (a[i] * s0 + b[i] * c0) / (y * y);
        sum += w[i];
      }
      for (int i = 0; i < 8; ++i) L[i] = static_cast<float>(w[i] / sum);
    }
    bilinear_[2 * p] = static_cast<float>(1.0 - t);
    bilinear_[2 * p + 1] = static_cast<float>(t);
    const double t1 = t + 1, u = 1 - t;
    float* C = &cubic_[4 * p];
    C[0] = static_cast<float>(((-0.75 * t1 + 3.75) * t1 - 6) * t1 + 3);
    C[1] = static_cast<float>((1.25 * t - 2.25) * t * t + 1);
    C[2] = static_cast<float>((1.25 * u - 2.25) * u * u + 1);
    C[3] = 1.0f - C[0] - C[1] - C[2];
  }

  const size_t SS = static_cast<size_t>(side_) * side_;
  for (auto& pl : planes_) pl.assign(SS, 0.0f);
  rgbx_.assign(4 * SS, 0.0f);
  const size_t PP = static_cast<size_t>(padded_) * padded_;
  padBuf_.assign(PP, 0.0f);
  rowBlur_.assign(PP, 0.0f);
  reflect_.resize(padded_);
  for (int i = 0; i < padded_; ++i) reflect_[i] = reflectIndex(i - ksize_ / 2, side_);
}

bool Paste::place(const float* M, int W, int H, Placement& at) {
  for (int i = 0; i < 6; ++i) {
    if (!std::isfinite(M[i])) return false;  // no placement to speak of
  }
  const double det = double(M[4]) * M[0] - double(M[1]) * M[3];
  if (det == 0.0 || W <= 0 || H <= 0) return false;

  const int S = side_;
  const float cx[4] = {-4.0f, S + 3.0f, -4.0f, S + 3.0f};
  const float cy[4] = {-4.0f, -4.0f, S + 3.0f, S + 3.0f};
  float minX = INFINITY, maxX = -INFINITY, minY = INFINITY, maxY = -INFINITY;
  for (int i = 0; i < 4; ++i) {
    const float X = M[0] * cx[i] + M[1] * cy[i] + M[2];
    const float Y = M[3] * cx[i] + M[4] * cy[i] + M[5];
    minX = std::fmin(minX, X);
    maxX = std::fmax(maxX, X);
    minY = std::fmin(minY, Y);
    maxY = std::fmax(maxY, Y);
  }
  // Clamp in double before converting: the corners may be huge.
  const double bx0 = std::fmax(0.0, std::floor(double(minX)));
  const double bx1 = std::fmin(W - 1.0, std::ceil(double(maxX)));
  const double by0 = std::fmax(0.0, std::floor(double(minY)));
  const double by1 = std::fmin(H - 1.0, std::ceil(double(maxY)));
  if (!(bx1 >= bx0) || !(by1 >= by0)) return false;
  at.x0 = static_cast<int>(bx0);
  at.x1 = static_cast<int>(bx1);
  at.y0 = static_cast<int>(by0);
  at.y1 = static_cast<int>(by1);

  const double inv = 1.0 / det;
  const size_t n = static_cast<size_t>(at.x1 - at.x0) + 1;
  if (colX_.size() < n) {  // only a wider box than ever before grows them
    colX_.resize(n);
    colY_.resize(n);
  }
  const double m0 = M[0], m1 = M[1], m2 = M[2], m3 = M[3], m4 = M[4], m5 = M[5];
  for (int X = at.x0; X <= at.x1; ++X) {
    colX_[X - at.x0] = fixedTerm(std::nearbyint(X * m4 * inv * 1024));
    colY_[X - at.x0] = fixedTerm(std::nearbyint(X * (-m3) * inv * 1024));
  }
  at.dxY = -m1 * inv;
  at.dyY = m0 * inv;
  at.offX = -(m2 * m4 * inv + m5 * at.dxY);
  at.offY = -(m2 * (-m3 * inv) + m5 * at.dyY);

  if (!g_executorLogged.exchange(true)) {
    std::fprintf(stderr,
                 "[le-paste] executor=%s (side=%d, ksize=%d, threads=%d) — 1080p frame\n",
                 "cpu", S, ksize_, pool::threads());
  }
  return true;
}

void Paste::composite(const float* crop, float scale, const float* M,
                      unsigned char* frame, int W, int H) {
  Placement at;
  if (!place(M, W, H, at)) return;
  fillPlanes(crop, scale);
  for (auto& pl : planes_) unsharpPlane(pl);
  compositeTail(nullptr, frame, W, at);
}

void Paste::compositeOnto(const unsigned char* src, const float* crop, float scale,
                          const float* M, unsigned char* frame, int W, int H) {
  if (W <= 0 || H <= 0) return;
  const size_t rowBytes = static_cast<size_t>(W) * 3;
  // Copies the rows above and below the blended band [top, top + band) in
  // one job: index k < top is row k, the others lie past the band.
  const auto copyAround = [&](size_t top, size_t band) {
    const size_t rest = static_cast<size_t>(H) - top - band;
    if (src == frame || top + rest == 0) return;
    pool::parallelRange(top + rest, kMinPart, [=](size_t b, size_t e) {
      if (b < top) {
        const size_t end = std::min(e, top);
        std::memcpy(frame + b * rowBytes, src + b * rowBytes, (end - b) * rowBytes);
      }
      if (e > top) {
        const size_t first = std::max(b, top) + band;
        std::memcpy(frame + first * rowBytes, src + first * rowBytes, (e + band - first) * rowBytes);
      }
    });
  };
  Placement at;
  if (!place(M, W, H, at)) {
    copyAround(static_cast<size_t>(H), 0);
    return;
  }
  fillPlanes(crop, scale);
  for (auto& pl : planes_) unsharpPlane(pl);  // may refuse the crop: frame untouched so far
  copyAround(static_cast<size_t>(at.y0), static_cast<size_t>(at.y1 - at.y0) + 1);
  compositeTail(src == frame ? nullptr : src, frame, W, at);
}

void Paste::fillPlanes(const float* crop, float scale) {
  const size_t SS = static_cast<size_t>(side_) * side_;
  for (int c = 0; c < 3; ++c) {
    const float* src = crop + c * SS;
    float* dst = planes_[c].data();
    for (size_t i = 0; i < SS; ++i) dst[i] = scale * src[i];
  }
}

void Paste::unsharpPlane(std::vector<float>& plane) {
  if (side_ > 1024) throw std::runtime_error("paste: side > 1024");
  const int S = side_, P = padded_, K = ksize_;
  struct Job {
    const float* src;
    float* pad;
    float* blur;
    float* dst;
    const int* refl;
    const float* g;
    int S, P, K;
    float amount;
  } job{plane.data(), padBuf_.data(), rowBlur_.data(), plane.data(),
        reflect_.data(), gauss_.data(), S, P, K, amount_};
  const Job* j = &job;

  pool::parallelRange(static_cast<size_t>(P), kMinPart, [j](size_t b, size_t e) {
    for (size_t i = b; i < e; ++i) {
      const float* srow = j->src + static_cast<size_t>(j->refl[i]) * j->S;
      float* prow = j->pad + i * j->P;
      for (int c = 0; c < j->P; ++c) prow[c] = srow[j->refl[c]];
    }
  });

  // The last K - 1 entries of rowBlur stay zero from construction: the
  // vertical pass never reads them, and nothing else writes them.
  const size_t flat = static_cast<size_t>(P) * P - static_cast<size_t>(K - 1);
  // Taps outermost so the inner loops vectorise; each sum still adds its
  // taps in order from the first.
  pool::parallelRange(flat, kMinPart, [j](size_t b, size_t e) {
    const float* __restrict pad = j->pad;
    float* __restrict blur = j->blur;
    for (size_t t0 = b; t0 < e; t0 += 2048) {  // tiles stay in L1
      const size_t t1 = std::min(e, t0 + 2048);
      for (size_t n = t0; n < t1; ++n) blur[n] = 0.0f;
      for (int i = 0; i < j->K; ++i) {
        const float g = j->g[i];
        for (size_t n = t0; n < t1; ++n) blur[n] += g * pad[n + i];
      }
    }
  });

  // Vertical pass into padBuf (free again once rowBlur is built), row by
  // row with the taps outermost, then the sharpening.
  pool::parallelRange(static_cast<size_t>(S), kMinPart, [j](size_t b, size_t e) {
    const float a1 = 1.0f + j->amount;
    const size_t S = static_cast<size_t>(j->S), P = static_cast<size_t>(j->P);
    for (size_t y = b; y < e; ++y) {
      float* __restrict acc = j->pad + y * P;
      const float* __restrict rows = j->blur + y * P;
      for (size_t x = 0; x < S; ++x) acc[x] = 0.0f;
      for (int i = 0; i < j->K; ++i) {
        const float g = j->g[i];
        const float* __restrict src = rows + static_cast<size_t>(i) * P;
        for (size_t x = 0; x < S; ++x) acc[x] += g * src[x];
      }
      float* __restrict drow = j->dst + y * S;
      for (size_t x = 0; x < S; ++x) {
        drow[x] = clampByteRange(a1 * drow[x] - j->amount * acc[x]);
      }
    }
  });
}

namespace {

// The per-pixel rule with a T x T separable filter whose first tap sits at
// offset `first` from the integer position, reading the planes directly.
template <int T, int first>
void pasteRowsScalar(const std::vector<float>* planes, int S, const uint8_t* mask,
                     const float* table, const float* bilinear, const int* colX,
                     const int* colY, int rowX, int rowY, int x0, int x1,
                     uint8_t* frameRow) {
  for (int x = x0; x <= x1; ++x) {
    const int u = rowX + colX[x - x0];
    const int v = rowY + colY[x - x0];
    paste_detail::CropHit h;
    if (!paste_detail::cropHit(u, v, S, mask, bilinear, h)) continue;
    const int ix = h.ix, iy = h.iy, px = h.px, py = h.py;
    const float alpha = h.alpha;
    const float* wx = table + T * px;
    const float* wy = table + T * py;
    float colour[3];
    for (int c = 0; c < 3; ++c) {
      const float* pl = planes[c].data();
      float acc = 0.0f;
      for (int r = 0; r < T; ++r) {
        const int row = iy + first + r;
        if (row < 0 || row >= S) continue;
        float rs = 0.0f;
        for (int k = 0; k < T; ++k) {
          const int col = ix + first + k;
          if (col < 0 || col >= S) continue;
          rs += wx[k] * pl[static_cast<size_t>(row) * S + col];
        }
        acc += wy[r] * rs;
      }
      colour[c] = acc;
    }
    paste_detail::blend(frameRow + 3 * static_cast<size_t>(x), alpha, colour);
  }
}

}  // namespace

void Paste::compositeTail(const unsigned char* src, unsigned char* frame, int W,
                          const Placement& at) {
  struct Job {
    Paste* self;
    const unsigned char* src;
    unsigned char* frame;
    int W, x0, x1, y0;
    double dxY, dyY, offX, offY;
  } job{this, src, frame, W, at.x0, at.x1, at.y0, at.dxY, at.dyY, at.offX, at.offY};
  const Job* j = &job;
  const size_t rows = static_cast<size_t>(at.y1 - at.y0) + 1;

  if (mode_ == 0) {
    pool::parallelRange(static_cast<size_t>(side_), kMinPart, [j](size_t b, size_t e) {
      Paste& p = *j->self;
      const size_t S = static_cast<size_t>(p.side_);
      for (size_t y = b; y < e; ++y) {
        float* out = p.rgbx_.data() + 4 * y * S;
        const float* r = p.planes_[0].data() + y * S;
        const float* g = p.planes_[1].data() + y * S;
        const float* bl = p.planes_[2].data() + y * S;
        for (size_t x = 0; x < S; ++x) {
          out[4 * x] = r[x];
          out[4 * x + 1] = g[x];
          out[4 * x + 2] = bl[x];
          out[4 * x + 3] = 0.0f;
        }
      }
    });
  }

  pool::parallelRange(rows, kMinPart, [j](size_t b, size_t e) {
    const Paste& p = *j->self;
    for (size_t r = b; r < e; ++r) {
      const int Y = j->y0 + static_cast<int>(r);
      const int rowX = fixedTerm(std::nearbyint((Y * j->dxY + j->offX) * 1024)) + 16;
      const int rowY = fixedTerm(std::nearbyint((Y * j->dyY + j->offY) * 1024)) + 16;
      uint8_t* frameRow = j->frame + static_cast<size_t>(Y) * j->W * 3;
      if (j->src) std::memcpy(frameRow, j->src + static_cast<size_t>(Y) * j->W * 3, static_cast<size_t>(j->W) * 3);
      switch (p.mode_) {
        case 1:
          pasteRowsScalar<4, -1>(p.planes_, p.side_, p.mask_.data(), p.cubic_.data(),
                                 p.bilinear_.data(), p.colX_.data(), p.colY_.data(),
                                 rowX, rowY, j->x0, j->x1, frameRow);
          break;
        case 2:
          pasteRowsScalar<2, 0>(p.planes_, p.side_, p.mask_.data(), p.bilinear_.data(),
                                p.bilinear_.data(), p.colX_.data(), p.colY_.data(),
                                rowX, rowY, j->x0, j->x1, frameRow);
          break;
        default:
          simd::pasteLanczos8Row(p.rgbx_.data(), p.side_, p.mask_.data(),
                                 p.lanczos_.data(), p.bilinear_.data(), p.colX_.data(),
                                 p.colY_.data(), rowX, rowY, j->x0, j->x1, frameRow);
          break;
      }
    }
  });
}

}  // namespace le
