// The stream borrow: windows go back onto float and RGBA canvases as deltas
// that leave every pixel the pass did not change exactly as it was, the float
// and RGBA entries hand the pass the same crop, a frame without a mouth passes
// through, and canvases the stamp does not name are refused.
#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <cstring>
#include <random>
#include <string>
#include <vector>

#include "forge/forge.h"
#include "forge/forge_head.h"
#include "forge/forge_teeth.h"
#include "support/errors.h"
#include "tessera/le_bundle_tessera.h"
#include "tessera/le_tessera.h"
#include "tessera/le_tessera_pi.h"
#include "tessera/le_tessera_stream.h"

namespace {

using le::tessera::FrameResult;
using le::tessera::GeometryStamp;
using le::tessera::StreamBorrow;
using le::test::errorOf;

struct Parts {
  le::forge::BundleSpec spec;
  le::forge::DonorBank donors;
  le::tessera::HeadWeights weights;
  le::tessera::ServeConfig config;
  std::string manifest;
  std::vector<float> target;  // nt x 63
  Parts() {
    spec.crop = 64;
    le::forge::TeethSpec t;
    t.donors = 8;
    spec.teeth = t;
    donors = le::forge::teethBank(spec, t);
    const std::string pt = le::forge::headCheckpointBytes({});
    weights = le::tessera::loadHeadPt(std::vector<uint8_t>(pt.begin(), pt.end()));
    config = le::tessera::ServeConfig::fromHeadMemberJson(le::forge::teethHeadConfigText());
    manifest = le::forge::manifestText(spec);
    target = le::forge::targetKeypoints(spec);
  }
  le::tessera::BankData bank(const GeometryStamp* stamp = nullptr) const {
    le::tessera::BankData b;
    b.donors = donors.donorRgb;
    b.cent = donors.cent;
    b.c_canon = {donors.cCanon[0], donors.cCanon[1]};
    b.aperture = donors.aperture;
    b.stamp = stamp ? *stamp : donors.stamp;
    b.n_donors = donors.n;
    return b;
  }
  StreamBorrow borrow(int piCanvas = 0, const GeometryStamp* stamp = nullptr) const {
    return StreamBorrow(bank(stamp), weights, config,
                        le::tessera::UnifiedPi::fromManifestJson(manifest, piCanvas ? piCanvas : spec.crop), "");
  }
};

const Parts& parts() {
  static const Parts p;
  return p;
}

// The 8-bit value the borrow hands the pass for a canvas value.
uint8_t q8(float v) { return v > 0 ? uint8_t(std::nearbyint(std::fmin(1.0f, v) * 255.0f)) : 0; }

TEST(TeethBorrow, WindowDeltaKeepsWhatThePassLeftAlone) {
  const GeometryStamp& s = parts().donors.stamp;
  const int side = s.canvas_w;
  const size_t px = size_t(side) * side;
  std::mt19937 rng(3);
  std::uniform_real_distribution<float> u(-0.1f, 1.1f);
  std::vector<float> canvas(px * 3);
  for (float& v : canvas) v = u(rng);
  canvas[s.window_y0 * size_t(side) + s.window_x0] = 0.5019f;  // quantises to 128 and must stay 0.5019

  // The window as the pass would hand it back unchanged, then with some bytes moved.
  FrameResult r;
  r.window.resize(size_t(s.window_h) * s.window_w * 3);
  for (int y = 0; y < s.window_h; ++y)
    for (int x = 0; x < s.window_w; ++x)
      for (int c = 0; c < 3; ++c)
        r.window[(size_t(y) * s.window_w + x) * 3 + c] =
            q8(canvas[c * px + size_t(s.window_y0 + y) * side + s.window_x0 + x]);
  ASSERT_EQ(r.window[0], 128);
  std::vector<bool> moved(r.window.size());
  for (size_t i = 7; i < r.window.size(); i += 13) {
    r.window[i] = uint8_t(rng());
    moved[i] = true;
  }
  std::vector<float> out = canvas;
  StreamBorrow::writeWindowDelta(out.data(), side, r, s);
  for (int c = 0; c < 3; ++c)
    for (int y = 0; y < side; ++y)
      for (int x = 0; x < side; ++x) {
        const size_t at = c * px + size_t(y) * side + x;
        const bool inWindow =
            y >= s.window_y0 && y < s.window_y0 + s.window_h && x >= s.window_x0 && x < s.window_x0 + s.window_w;
        const size_t w = inWindow ? (size_t(y - s.window_y0) * s.window_w + (x - s.window_x0)) * 3 + c : 0;
        // A moved byte may have landed on its old value: then it is unchanged too.
        if (!inWindow || !moved[w] || r.window[w] == q8(canvas[at])) {
          ASSERT_EQ(std::memcmp(&out[at], &canvas[at], sizeof(float)), 0) << c << " " << y << " " << x;
        } else {
          // Independent reading of the rule: the byte's change added to the exact value.
          const float want = std::clamp(
              canvas[at] + (float(r.window[w]) / 255.0f - float(q8(canvas[at])) / 255.0f), 0.0f, 1.0f);
          ASSERT_EQ(out[at], want);
          // In range, the new value reads back as the window's byte.
          if (canvas[at] >= 0.0f && canvas[at] <= 1.0f) {
            ASSERT_EQ(q8(out[at]), r.window[w]);
          }
        }
      }

  // RGBA: the window's bytes land, alpha is 255 everywhere, a pass-through still sets alpha.
  std::vector<uint8_t> rgba(px * 4, 7);
  FrameResult through;
  through.passThrough = true;
  StreamBorrow::writeWindowDeltaRgba(rgba.data(), side, through, s);
  for (size_t i = 0; i < px; ++i) ASSERT_EQ(rgba[4 * i + 3], 255);
  for (size_t i = 0; i < px; ++i) ASSERT_EQ(rgba[4 * i], 7);
  StreamBorrow::writeWindowDeltaRgba(rgba.data(), side, r, s);
  const size_t corner = (size_t(s.window_y0) * side + s.window_x0) * 4;
  EXPECT_EQ(std::memcmp(&rgba[corner], r.window.data(), 3), 0);
  EXPECT_EQ(rgba[0], 7);

  // A window of another size is refused and nothing is written.
  r.window.pop_back();
  std::vector<float> kept = out;
  EXPECT_EQ(errorOf([&] { StreamBorrow::writeWindowDelta(out.data(), side, r, s); }),
            "teeth stream: window " + std::to_string(r.window.size()) + " bytes does not match the stamp window " +
                std::to_string(s.window_h) + "x" + std::to_string(s.window_w) +
                " \xE2\x80\x94 refusing to write back");
  EXPECT_EQ(out, kept);
  std::vector<uint8_t> rgbaKept = rgba;
  EXPECT_FALSE(errorOf([&] { StreamBorrow::writeWindowDeltaRgba(rgba.data(), side, r, s); }).empty());
  EXPECT_EQ(rgba, rgbaKept);
}

TEST(TeethBorrow, FloatAndRgbaCanvasesFeedThePassAlikeAndMouthlessFramesPassThrough) {
  StreamBorrow a = parts().borrow(), b = parts().borrow();
  const int side = a.canvas();
  const size_t px = size_t(side) * side;
  std::mt19937 rng(9);
  std::uniform_real_distribution<float> u(-0.05f, 1.05f);
  std::vector<float> canvas(px * 3);
  std::vector<uint8_t> rgba(px * 4);
  const float* kp = parts().target.data();
  FrameResult ra, rb;
  for (int frame = 0; frame < 3; ++frame) {
    for (float& v : canvas) v = u(rng);
    for (size_t i = 0; i < px; ++i) {
      for (int c = 0; c < 3; ++c) rgba[4 * i + c] = q8(canvas[c * px + i]);
      rgba[4 * i + 3] = uint8_t(rng());
    }
    const bool ea = a.push(canvas.data(), kp, ra), eb = b.pushRgba(rgba.data(), kp, rb);
    ASSERT_EQ(ea, frame > 0);
    ASSERT_EQ(eb, ea);
    if (ea) {
      EXPECT_FALSE(ra.passThrough) << ra.reason;
      EXPECT_EQ(ra.window, rb.window);
    }
  }
  ASSERT_TRUE(a.flush(ra));
  ASSERT_TRUE(b.flush(rb));
  EXPECT_EQ(ra.window, rb.window);
  EXPECT_FALSE(a.flush(ra));

  // Keypoints far off the canvas: pi is empty, the frame passes through and
  // its write-back leaves the canvas as it was.
  std::vector<float> away(63, 40.0f);
  a.push(canvas.data(), away.data(), ra);
  ASSERT_TRUE(a.flush(ra));
  EXPECT_TRUE(ra.passThrough);
  EXPECT_EQ(ra.reason, "empty-pi");
  std::vector<float> kept = canvas;
  StreamBorrow::writeWindowDelta(canvas.data(), side, ra, a.stamp());
  EXPECT_EQ(canvas, kept);
}

TEST(TeethBorrow, RefusesCanvasesTheStampDoesNotName) {
  const int side = parts().spec.crop;
  GeometryStamp wide = parts().donors.stamp;
  wide.canvas_w = wide.canvas_h = 2 * side;  // still coherent: the window fits the larger canvas
  EXPECT_EQ(errorOf([&] { parts().borrow(0, &wide); }),
            "teeth stream: manifest pi canvas " + std::to_string(side) + " != bank compose canvas " +
                std::to_string(2 * side) +
                " \xE2\x80\x94 refusing to compose a mouth on a canvas the stamp does not name");
  GeometryStamp tall = parts().donors.stamp;
  tall.canvas_h += 8;
  EXPECT_EQ(errorOf([&] { parts().borrow(0, &tall); }),
            "teeth stream: non-square compose canvas " + std::to_string(side) + "x" + std::to_string(side + 8) +
                " \xE2\x80\x94 le_core renders a square crop");
}

}  // namespace
