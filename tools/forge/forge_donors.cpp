#include "forge/forge_donors.h"

#include <algorithm>
#include <cmath>
#include <stdexcept>
#include <string>

#include "forge/forge_internal.h"

namespace le::forge {

namespace {

using le::tessera::GeometryStamp;

bool allZero(const GeometryStamp& s) {
  for (int i = 0; i < GeometryStamp::kFields; ++i)
    if (s.at(i) != 0) return false;
  return true;
}

// A mouth window about half the canvas wide and three eighths high, centred
// a little below the middle; sides kept multiples of four so the 4x4 pooled
// index covers the whole window.
GeometryStamp stampFromCanvas(int canvas) {
  GeometryStamp s;
  s.canvas_w = s.canvas_h = canvas;
  s.window_w = std::max(4, canvas / 2 / 4 * 4);
  s.window_h = std::max(4, canvas * 3 / 8 / 4 * 4);
  s.window_x0 = (canvas - s.window_w) / 2;
  s.window_y0 = std::min(canvas - s.window_h, std::max(0, int(std::lround(canvas * 0.62)) - s.window_h / 2));
  s.pad = std::max(1, canvas / 32);
  s.band_r0 = s.window_h / 4;
  s.band_r1 = s.window_h - s.window_h / 4;
  s.band_c0 = s.window_w / 4;
  s.band_c1 = s.window_w - s.window_w / 4;
  s.shift_margin = std::max(1, std::min(s.pad, 4));
  return s;
}

uint8_t clampByte(double v) { return uint8_t(std::clamp(std::lround(v), 0l, 255l)); }

}  // namespace

std::vector<uint8_t> DonorBank::trackRgb() const {
  const size_t stride = size_t(bandW) * bandH * 3;
  std::vector<uint8_t> out(stride * size_t(n));
  for (int i = 0; i < n; ++i)
    std::copy_n(donorRgb.begin() + ptrdiff_t(size_t(trackOrder[size_t(i)]) * stride), stride,
                out.begin() + ptrdiff_t(size_t(i) * stride));
  return out;
}

DonorBank forgeDonors(const DonorSpec& spec) {
  if (spec.n < 1 || spec.n > 1024)
    throw std::runtime_error("forge: donor count " + std::to_string(spec.n) + " is outside 1..1024");
  GeometryStamp st = spec.stamp;
  if (allZero(st)) {
    if (spec.canvas < 16 || spec.canvas > 4096)
      throw std::runtime_error("forge: donor canvas " + std::to_string(spec.canvas) + " is outside 16..4096");
    st = stampFromCanvas(spec.canvas);
  }
  st.validate();
  if (st.bandH() < 1 || st.bandW() < 1 || st.bandH() > 4096 || st.bandW() > 4096)
    throw std::runtime_error("forge: donor stamp yields a stored patch of " + std::to_string(st.bandW()) + "x" +
                             std::to_string(st.bandH()));

  DonorBank b;
  b.stamp = st;
  b.n = spec.n;
  b.bandW = int(st.bandW());
  b.bandH = int(st.bandH());
  b.cCanon = {st.window_x0 + (st.window_w - 1) / 2.0, st.window_y0 + (st.window_h - 1) / 2.0};
  b.cent.resize(size_t(2) * b.n);
  b.aperture.resize(size_t(b.n));
  b.donorRgb.resize(size_t(b.n) * b.bandH * b.bandW * 3);

  // Offsets stay within the pad so the canonical window can undo them.
  const int reach = std::min(st.pad, 3);
  const int innerH = st.band_r1 - st.band_r0;
  const int toothMin = std::max(2, innerH / 6);
  const int toothMax = std::max(toothMin, innerH * 2 / 3);
  const int vReach = std::max(0, innerH / 8);
  const int cMargin = std::max(1, b.bandW / 7);

  for (int d = 0; d < b.n; ++d) {
    detail::Rng rng(spec.seed, uint64_t(d) + 1);
    const int dx = int(rng.next() % uint64_t(2 * reach + 1)) - reach;
    const int dy = int(rng.next() % uint64_t(2 * reach + 1)) - reach;
    // A fraction well away from one half, so rounding the offset is unambiguous.
    b.cent[size_t(2) * d] = b.cCanon[0] + dx + 0.3 * rng.sym();
    b.cent[size_t(2) * d + 1] = b.cCanon[1] + dy + 0.3 * rng.sym();
    // Heights walk the whole range by the golden-ratio sequence, so apertures
    // spread evenly for any number of donors.
    const int span = toothMax - toothMin + 1;
    const double walk = 0.5 + 0.6180339887498949 * d;
    const int tooth = toothMin + std::min(span - 1, int((walk - std::floor(walk)) * span));
    b.aperture[size_t(d)] = double(tooth) / std::max(1, innerH) + 0.01 * rng.uni();
    const int voff = vReach > 0 ? int(rng.next() % uint64_t(2 * vReach + 1)) - vReach : 0;

    const double lip[3] = {110 + 20 * rng.sym(), 32 + 8 * rng.sym(), 40 + 8 * rng.sym()};
    const double tint = 8 * rng.sym();
    const double toothRgb[3] = {232 + tint, 226 + tint, 214 + tint};
    const double dark[3] = {45, 18, 22};

    // The mouth follows the donor's centre: the stored patch sits at the
    // canonical window, so the donor's own offset moves its teeth.
    const int top = b.bandH / 2 + dy + voff - tooth / 2;
    const int c0 = cMargin + dx, c1 = b.bandW - cMargin + dx;
    uint8_t* px = b.donorRgb.data() + size_t(d) * b.bandH * b.bandW * 3;
    for (int r = 0; r < b.bandH; ++r)
      for (int c = 0; c < b.bandW; ++c) {
        const bool inCols = c >= c0 && c < c1;
        const bool isTooth = inCols && r >= top && r < top + tooth;
        const bool isGap = inCols && (r == top - 1 || r == top + tooth);
        const double* base = isTooth ? toothRgb : isGap ? dark : lip;
        for (int k = 0; k < 3; ++k) px[(size_t(r) * b.bandW + c) * 3 + k] = clampByte(base[k] + 3 * rng.sym());
      }
  }

  b.trackOrder.resize(size_t(b.n));
  for (int i = 0; i < b.n; ++i) b.trackOrder[size_t(i)] = i;
  if (spec.shuffleTrack && b.n > 1) {
    detail::Rng rng(spec.seed, 0xB0A7);
    for (int i = b.n - 1; i > 0; --i) std::swap(b.trackOrder[size_t(i)], b.trackOrder[rng.next() % uint64_t(i + 1)]);
    bool identity = true;
    for (int i = 0; i < b.n; ++i) identity = identity && b.trackOrder[size_t(i)] == i;
    if (identity) std::rotate(b.trackOrder.begin(), b.trackOrder.begin() + 1, b.trackOrder.end());
  }
  return b;
}

}  // namespace le::forge
