// The teeth pass as the live pipeline uses it: per rendered crop, the
// delivery mask and mouth shift from the frame's keypoints (the lip contour
// when the bundle has one, else pi), then the pass; the emitted window goes
// back onto the caller's canvas as a delta so the rest keeps full precision.
// One thread at a time drives it.
#pragma once

#include <cstdint>
#include <memory>
#include <optional>
#include <string_view>
#include <vector>

#include "tessera/le_bundle_tessera.h"
#include "tessera/le_lip_contour.h"
#include "tessera/le_tessera.h"
#include "tessera/le_tessera_pi.h"

namespace le::tessera {

class StreamBorrow {
 public:
  // lipTemplateText: the bundle's lip template, or empty for the ellipse.
  StreamBorrow(BankData bank, const HeadWeights& weights, const ServeConfig& config, const UnifiedPi& pi,
               std::string_view lipTemplateText);

  // canvasF32: three planes R, G, B of side^2 values in [0, 1]; canvasRgba:
  // side^2 x 4 bytes. keypoints: 63 floats. True when `out` received the
  // previous frame (the pass emits one frame late).
  bool push(const float* canvasF32, const float* keypoints, FrameResult& out);
  bool pushRgba(const uint8_t* canvasRgba, const float* keypoints, FrameResult& out);
  // The crop already in the scratch (cropScratch()).
  bool pushSynth(const float* keypoints, FrameResult& out);
  bool flush(FrameResult& out);

  // Write an emitted window back; nothing for a pass-through (the RGBA form
  // still sets every alpha to 255). A window of the wrong size throws and
  // leaves the canvas unchanged.
  static void writeWindowDelta(float* canvasF32, int side, const FrameResult& result, const GeometryStamp& stamp);
  static void writeWindowDeltaRgba(uint8_t* canvasRgba, int side, const FrameResult& result,
                                   const GeometryStamp& stamp);

  bool hostSplit(double* ms) const {
    (void)ms;
    return false;
  }
  const char* backend() const { return "cpu"; }

  int canvas() const { return side_; }
  const GeometryStamp& stamp() const { return pass_.stamp(); }
  const TeethPass& pass() const { return pass_; }
  bool hasContour() const { return contour_.has_value(); }
  const LipContour* contour() const { return contour_ ? &*contour_ : nullptr; }
  uint8_t* cropScratch() { return crop_.data(); }
  const uint8_t* maskScratch() const { return mask_.data(); }

 private:
  double cCanon_[2] = {0, 0};  // before the pass: read from the bank it takes over
  TeethPass pass_;
  UnifiedPi pi_;
  int32_t side_ = 0;
  std::optional<LipContour> contour_;
  int32_t frame_ = 0;
  std::vector<uint8_t> crop_;  // side^2 x 3, RGB
  std::vector<uint8_t> mask_;  // side^2
};

}  // namespace le::tessera
