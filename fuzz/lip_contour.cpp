// The lip template reader over hostile text: any text either reads into a
// contour that draws a mask of the canvas on a face's keypoints, every value
// in [0, 1], or is refused with "lip_template.v1.json: " + the reason.
#include <cmath>
#include <cstdint>
#include <memory>
#include <stdexcept>
#include <string>
#include <string_view>

#include "fuzz_util.h"
#include "tessera/le_lip_contour.h"

namespace {

constexpr int kCanvas = 32;  // the seeds' crop

// 21 keypoints (x, y, z) of a face in normalised crop coordinates, the mouth
// rows 12..15 around (0, 0.45).
struct Face {
  float kp[63];
  Face() {
    for (int r = 0; r < 21; ++r) {
      kp[3 * r] = -0.8f + 0.08f * float(r);
      kp[3 * r + 1] = -0.6f + 0.05f * float(r);
      kp[3 * r + 2] = 0.01f * float(r % 3);
    }
    const float mouth[4][2] = {{-0.3f, 0.45f}, {0.f, 0.35f}, {0.3f, 0.45f}, {0.f, 0.55f}};
    for (int r = 0; r < 4; ++r) {
      kp[3 * (12 + r)] = mouth[r][0];
      kp[3 * (12 + r) + 1] = mouth[r][1];
    }
  }
};

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  using le::fuzz::fail;
  const std::string_view text(reinterpret_cast<const char*>(data), size);
  try {
    le::tessera::LipContour c = le::tessera::LipContour::fromTemplateJson(text, kCanvas);
    if (c.canvas != kCanvas || c.nv < 1 || c.u_canon.size() != 2 * size_t(c.nv) || c.lip_idx.empty() ||
        c.lip_idx.size() > size_t(le::tessera::LipContour::kMaxAnchors))
      fail("lip_contour", "an accepted template of impossible shape");
    for (const int32_t r : c.lip_idx)
      if (r < 0 || r > 20) fail("lip_contour", "an anchor row outside 0..20");
    if (!std::isfinite(c.feather_px) || c.feather_px < 0) fail("lip_contour", "a feather that is no width");
    static const Face face;
    // Exact size, so that a write past the canvas is an ASan report.
    std::unique_ptr<float[]> mask(new float[size_t(kCanvas) * kCanvas]);
    c.contourF32Canvas(face.kp, mask.get());
    for (int i = 0; i < kCanvas * kCanvas; ++i)
      if (!(mask[i] >= 0.f && mask[i] <= 1.f)) fail("lip_contour", "a mask value outside [0, 1]");
  } catch (const std::runtime_error& e) {
    if (std::string_view(e.what()).rfind("lip_template.v1.json: ", 0) != 0) fail("lip_contour", e.what());
  }
  return 0;
}
