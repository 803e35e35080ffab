// Teeth donors cut from the portrait's own smile: the stored patch of the
// crop frame whose mouth sits at the bank's canonical centroid, shifted,
// scaled and brightened a little per donor, so that the borrowed teeth are
// the identity's own and retrieval still has choices to make.
#include <algorithm>
#include <cmath>
#include <limits>
#include <stdexcept>
#include <string>

#include "forge_internal.h"
#include "forge_teeth.h"

namespace le::forge {
namespace {

using le::tessera::GeometryStamp;

constexpr double kGolden = 0.6180339887498949;
// Vertical scales run from 0.8 to 1.25 (symmetric in ratio): the widest
// apertures are then more than the default tolerance (0.3) apart from the
// narrowest, so the tolerance keeps some donors and drops others.
constexpr double kScaleYLow = 0.8, kScaleYHigh = 1.25;

// Planar RGB (3 x S x S) sampled at pixel-index coordinates, clamped to the crop.
void bilinear(const std::vector<uint8_t>& planes, int S, double x, double y, double out[3]) {
  x = std::clamp(x, 0.0, double(S - 1));
  y = std::clamp(y, 0.0, double(S - 1));
  const int x0 = int(x), y0 = int(y);
  const int x1 = std::min(x0 + 1, S - 1), y1 = std::min(y0 + 1, S - 1);
  const double fx = x - x0, fy = y - y0;
  const size_t plane = size_t(S) * S;
  for (int k = 0; k < 3; ++k) {
    const uint8_t* p = planes.data() + k * plane;
    const double top = p[size_t(y0) * S + x0] * (1 - fx) + p[size_t(y0) * S + x1] * fx;
    const double bot = p[size_t(y1) * S + x0] * (1 - fx) + p[size_t(y1) * S + x1] * fx;
    out[k] = top * (1 - fy) + bot * fy;
  }
}

uint8_t clampByte(double v) { return uint8_t(std::clamp(std::lround(v), 0l, 255l)); }

}  // namespace

std::vector<SmileCut> smileCuts(const GeometryStamp& stamp, int n, uint32_t seed) {
  if (n < 1 || n > 1024) throw std::runtime_error("forge: donor count " + std::to_string(n) + " is outside 1..1024");
  // The canonical window clamps a donor's offset to the pad and reads the band
  // within the margin: a shift beyond either would leave black in the band.
  const int reach = std::max(0, std::min(stamp.shift_margin, stamp.pad));
  std::vector<SmileCut> cuts(static_cast<size_t>(n));
  for (int i = 1; i < n; ++i) {
    detail::Rng rng(seed, 0x5311E000u + uint64_t(i));
    SmileCut& c = cuts[size_t(i)];
    c.dx = int(rng.next() % uint64_t(2 * reach + 1)) - reach;
    c.dy = int(rng.next() % uint64_t(2 * reach + 1)) - reach;
    c.sx = 1.0 + 0.1 * rng.sym();
    // The golden-ratio walk spreads the openings evenly for any count; it
    // starts at the middle of the range, which is a scale of one.
    const double walk = 0.5 + kGolden * i;
    c.sy = kScaleYLow * std::pow(kScaleYHigh / kScaleYLow, walk - std::floor(walk));
    c.gain = 1.0 + 0.06 * rng.sym();
  }
  return cuts;
}

SmileSource smileSource(const BundleSpec& spec) {
  const le::tessera::UnifiedPi pi = teethPi(spec);
  const std::vector<float> target = targetKeypoints(spec);
  std::array<double, 2> canon{};
  pi.canonicalCentroid(target.data(), spec.nt, &canon[0], &canon[1]);
  const GeometryStamp st = teethStamp(spec);
  std::vector<uint8_t> mask(size_t(spec.crop) * spec.crop);
  SmileSource best;
  double bestDist = std::numeric_limits<double>::infinity();
  for (int i = 0; i < spec.nt; ++i) {
    const float* kp = &target[size_t(i) * kKpFloats];
    pi.piU8Boxed(kp, mask.data());
    double x = 0, y = 0;
    if (!pi.piU8Centroid(mask.data(), pi.supportBox(kp), &x, &y)) continue;
    const int rows = int(std::nearbyint(y - canon[1])), cols = int(std::nearbyint(x - canon[0]));
    if (std::abs(rows) > st.pad || std::abs(cols) > st.pad) continue;  // the pass would pass it through
    const double d = std::hypot(x - cols - canon[0], y - rows - canon[1]);
    if (d < bestDist) best = {i, rows, cols}, bestDist = d;
  }
  if (bestDist == std::numeric_limits<double>::infinity())
    throw std::runtime_error("forge: no frame of the portrait puts its mouth within the teeth window's reach");
  return best;
}

DonorBank smileBank(const BundleSpec& spec, const TeethSpec& teeth) {
  if (spec.portrait.empty()) throw std::runtime_error("forge: smile donors need a portrait");
  const int S = spec.crop;
  const GeometryStamp st = teethStamp(spec);
  const std::array<double, 2> c = teethCanon(spec);
  const std::vector<SmileCut> cuts = smileCuts(st, teeth.donors, teeth.seed);
  const SmileSource from = smileSource(spec);
  const std::vector<uint8_t> rgb = priorRgb(spec, from.frame);

  DonorBank b;
  b.stamp = st;
  b.n = teeth.donors;
  b.bandW = int(st.bandW());
  b.bandH = int(st.bandH());
  b.cCanon = {c[0], c[1]};
  b.cent.resize(size_t(2) * b.n);
  b.aperture.resize(size_t(b.n));
  b.donorRgb.resize(size_t(b.n) * b.bandH * b.bandW * 3);

  // The lip opening of the frame cut from, in crop pixels.
  const std::vector<float> target = targetKeypoints(spec);
  const float* kp = &target[size_t(from.frame) * kKpFloats];
  const double opening = std::abs(double(kp[15 * 3 + 1]) - kp[13 * 3 + 1]) * (S - 1) / 2.0;
  const double bandRows = st.band_r1 - st.band_r0;

  // The stored patch's top-left pixel on the source frame, and the mouth
  // centre there: both where the pass finds them on that frame.
  const int x0 = st.window_x0 + st.band_c0 - st.shift_margin + from.shiftCols;
  const int y0 = st.window_y0 + st.band_r0 - st.shift_margin + from.shiftRows;
  const double mx = c[0] + from.shiftCols, my = c[1] + from.shiftRows;
  const size_t plane = size_t(S) * S;
  for (int d = 0; d < b.n; ++d) {
    const SmileCut& cut = cuts[size_t(d)];
    b.cent[size_t(2) * d] = c[0] + cut.dx;
    b.cent[size_t(2) * d + 1] = c[1] + cut.dy;
    b.aperture[size_t(d)] = opening * cut.sy / bandRows;
    uint8_t* px = b.donorRgb.data() + size_t(d) * b.bandH * b.bandW * 3;
    const bool copy = cut.sx == 1 && cut.sy == 1 && cut.gain == 1;
    for (int r = 0; r < b.bandH; ++r)
      for (int col = 0; col < b.bandW; ++col) {
        uint8_t* o = px + (size_t(r) * b.bandW + col) * 3;
        // The donor's mouth sits at its cent: patch point p shows the source at
        // p - shift, scaled about the mouth centre.
        const double qx = x0 + col - cut.dx, qy = y0 + r - cut.dy;
        if (copy) {
          // Whole pixels taken as they are: the unscaled donor is the crop itself.
          const int sx = std::clamp(int(qx), 0, S - 1), sy = std::clamp(int(qy), 0, S - 1);
          for (int k = 0; k < 3; ++k) o[k] = rgb[k * plane + size_t(sy) * S + sx];
          continue;
        }
        double v[3];
        bilinear(rgb, S, mx + (qx - mx) / cut.sx, my + (qy - my) / cut.sy, v);
        for (int k = 0; k < 3; ++k) o[k] = clampByte(v[k] * cut.gain);
      }
  }

  // A fixed non-identity track order, so a reader that skips the reorder shows it.
  b.trackOrder.resize(size_t(b.n));
  for (int i = 0; i < b.n; ++i) b.trackOrder[size_t(i)] = i;
  if (b.n > 1) {
    detail::Rng rng(teeth.seed, 0x5311E0A7u);
    for (int i = b.n - 1; i > 0; --i) std::swap(b.trackOrder[size_t(i)], b.trackOrder[rng.next() % uint64_t(i + 1)]);
    if (std::is_sorted(b.trackOrder.begin(), b.trackOrder.end()))
      std::rotate(b.trackOrder.begin(), b.trackOrder.begin() + 1, b.trackOrder.end());
  }
  return b;
}

}  // namespace le::forge
