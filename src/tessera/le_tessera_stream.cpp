#include "tessera/le_tessera_stream.h"

#include <cmath>
#include <cstdio>
#include <cstring>
#include <stdexcept>
#include <string>
#include <utility>

#include "compose/le_pool.h"

namespace le::tessera {

namespace {

// x255, nearest with halves to even, of a value already known to be > 0.
inline uint8_t quantise(float v) {
  return static_cast<uint8_t>(std::nearbyint(std::fmin(1.0f, v) * 255.0f));
}
// The byte a canvas value was handed to the pass as (0 for <= 0 and NaN).
inline uint8_t toByte(float v) { return v > 0.0f ? quantise(v) : 0; }

void requireWindow(const FrameResult& r, const GeometryStamp& s) {
  const size_t want = size_t(s.window_h) * size_t(s.window_w) * 3;
  if (r.window.size() != want)
    throw std::runtime_error("teeth stream: window " + std::to_string(r.window.size()) +
                             " bytes does not match the stamp window " + std::to_string(s.window_h) + "x" +
                             std::to_string(s.window_w) + " \xE2\x80\x94 refusing to write back");
}

// The window must lie on the canvas the caller hands over; the stamp was
// checked against the pass's canvas, not against this one.
void requireOnCanvas(int side, const GeometryStamp& s) {
  if (side < 1 || s.window_x0 < 0 || s.window_y0 < 0 || int64_t(s.window_x0) + s.window_w > side ||
      int64_t(s.window_y0) + s.window_h > side)
    throw std::runtime_error("teeth stream: window " + s.str() + " does not lie on a " + std::to_string(side) +
                             "x" + std::to_string(side) + " canvas \xE2\x80\x94 refusing to write back");
}

}  // namespace

StreamBorrow::StreamBorrow(BankData bank, const HeadWeights& weights, const ServeConfig& config,
                           const UnifiedPi& pi, std::string_view lipTemplateText)
    : cCanon_{bank.c_canon[0], bank.c_canon[1]}, pass_(std::move(bank), weights, config), pi_(pi) {
  const GeometryStamp& s = pass_.stamp();
  if (s.canvas_w != s.canvas_h)
    throw std::runtime_error("teeth stream: non-square compose canvas " + std::to_string(s.canvas_w) + "x" +
                             std::to_string(s.canvas_h) + " \xE2\x80\x94 le_core renders a square crop");
  if (pi_.canvas != s.canvas_w)
    throw std::runtime_error("teeth stream: manifest pi canvas " + std::to_string(pi_.canvas) +
                             " != bank compose canvas " + std::to_string(s.canvas_w) +
                             " \xE2\x80\x94 refusing to compose a mouth on a canvas the stamp does not name");
  side_ = s.canvas_w;
  if (!lipTemplateText.empty()) {
    contour_.emplace(LipContour::fromTemplateJson(lipTemplateText, side_));
    std::fprintf(stderr,
                 "[borrow] delivery mask: LIP CONTOUR (%d verts, feather %.1f px) \xE2\x80\x94 the ellipse is not "
                 "reachable in this session\n",
                 int(contour_->nv), double(contour_->feather_px));
  } else {
    std::fprintf(stderr,
                 "[borrow] !!! delivery mask: ELLIPSE \xE2\x80\x94 this bundle carries no %s, so it serves the "
                 "over-covering elliptical mask the contour replaces. BACKFILL IT: "
                 "models/quenzal-2/tools/bake_lip_templates.py\n",
                 "lip_template.v1.json");
  }
  const size_t px = size_t(side_) * size_t(side_);
  crop_.assign(px * 3, 0);
  mask_.assign(px, 0);
}

bool StreamBorrow::push(const float* canvasF32, const float* keypoints, FrameResult& out) {
  const size_t px = size_t(side_) * size_t(side_);
  uint8_t* crop = crop_.data();
  pool::parallelRange(px, 4096, [&](size_t b, size_t e) {
    for (size_t i = b; i < e; ++i) {
      crop[3 * i + 0] = toByte(canvasF32[i]);
      crop[3 * i + 1] = toByte(canvasF32[px + i]);
      crop[3 * i + 2] = toByte(canvasF32[2 * px + i]);
    }
  });
  return pushSynth(keypoints, out);
}

bool StreamBorrow::pushRgba(const uint8_t* canvasRgba, const float* keypoints, FrameResult& out) {
  const size_t px = size_t(side_) * size_t(side_);
  for (size_t i = 0; i < px; ++i) {
    crop_[3 * i + 0] = canvasRgba[4 * i + 0];
    crop_[3 * i + 1] = canvasRgba[4 * i + 1];
    crop_[3 * i + 2] = canvasRgba[4 * i + 2];
  }
  return pushSynth(keypoints, out);
}

bool StreamBorrow::pushSynth(const float* keypoints, FrameResult& out) {
  int rows = 0, cols = 0;
  const bool ok = contour_ ? contour_->deliveredU8AndShift(keypoints, pi_, cCanon_, mask_.data(), &rows, &cols)
                           : pi_.piU8AndShift(keypoints, cCanon_, mask_.data(), &rows, &cols);
  const int32_t shift[2] = {rows, cols};
  return pass_.push(frame_++, crop_.data(), mask_.data(), ok ? shift : nullptr, out);
}

bool StreamBorrow::flush(FrameResult& out) { return pass_.flush(out); }

void StreamBorrow::writeWindowDelta(float* canvas, int side, const FrameResult& r, const GeometryStamp& s) {
  if (r.passThrough) return;
  requireWindow(r, s);
  requireOnCanvas(side, s);
  const size_t px = size_t(side) * size_t(side);
  const int w = s.window_w;
  pool::parallelRange(size_t(s.window_h), 8, [&](size_t r0, size_t r1) {
    for (size_t rr = r0; rr < r1; ++rr) {
      const uint8_t* win = r.window.data() + rr * size_t(w) * 3;
      const size_t row = (size_t(s.window_y0) + rr) * size_t(side) + size_t(s.window_x0);
      for (int c = 0; c < w; ++c) {
        for (int ch = 0; ch < 3; ++ch) {
          float& u = canvas[size_t(ch) * px + row + size_t(c)];
          const uint8_t q = toByte(u);
          const uint8_t w = win[3 * c + ch];
          // A byte the pass left as it was keeps the exact value, in range or not.
          if (w == q) continue;
          const float v = u + (float(w) / 255.0f - float(q) / 255.0f);
          u = v < 0.0f ? 0.0f : (v > 1.0f ? 1.0f : v);
        }
      }
    }
  });
}

void StreamBorrow::writeWindowDeltaRgba(uint8_t* canvas, int side, const FrameResult& r, const GeometryStamp& s) {
  // Checked first so that a refused window leaves the canvas, alpha included, as it was.
  if (!r.passThrough) {
    requireWindow(r, s);
    requireOnCanvas(side, s);
  }
  const size_t px = size_t(side) * size_t(side);
  for (size_t i = 0; i < px; ++i) canvas[4 * i + 3] = 255;
  if (r.passThrough) return;
  for (int rr = 0; rr < s.window_h; ++rr) {
    const uint8_t* win = r.window.data() + size_t(rr) * size_t(s.window_w) * 3;
    uint8_t* row = canvas + ((size_t(s.window_y0) + size_t(rr)) * size_t(side) + size_t(s.window_x0)) * 4;
    // g + w/255 - q with q the quantisation of the byte g itself is w/255: the window byte.
    for (int c = 0; c < s.window_w; ++c) std::memcpy(row + 4 * c, win + 3 * c, 3);
  }
}

}  // namespace le::tessera
