// The demo identity's teeth donors are cut from its portrait's own smile: the
// unshifted donor is the crop's own pixels, every donor's centre states the
// shift it was cut with, and the members written from them load.
#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <string>
#include <vector>

#include "compose/le_simd.h"
#include "forge/forge.h"
#include "forge/forge_teeth.h"
#include "forge_test_util.h"
#include "support/files.h"
#include "support/tmpdir.h"
#include "tessera/le_bundle_tessera.h"

namespace {

using le::forge::BundleSpec;
using le::forge::TeethSpec;

BundleSpec demoWithTeeth() {
  BundleSpec s = le::forge::demoSpec(forge_test::demoPortrait());
  TeethSpec t;
  t.donors = 64;
  s.teeth = t;
  return s;
}

TEST(DemoTeeth, UnshiftedDonorIsTheCropsOwnMouth) {
  const BundleSpec s = demoWithTeeth();
  const le::forge::DonorBank b = le::forge::teethBank(s, *s.teeth);
  const auto cuts = le::forge::smileCuts(b.stamp, b.n, s.teeth->seed);
  ASSERT_EQ(cuts[0].dx, 0);
  ASSERT_EQ(cuts[0].dy, 0);
  ASSERT_EQ(cuts[0].sx, 1.0);
  ASSERT_EQ(cuts[0].sy, 1.0);
  ASSERT_EQ(cuts[0].gain, 1.0);

  // Where the pass itself finds that frame's mouth, from the frame's keypoints.
  const le::forge::SmileSource from = le::forge::smileSource(s);
  const std::vector<float> kp = le::forge::targetKeypoints(s);
  const le::tessera::UnifiedPi pi = le::forge::teethPi(s);
  std::vector<uint8_t> mask(size_t(s.crop) * s.crop);
  int rows = 0, cols = 0;
  ASSERT_TRUE(
      pi.piU8AndShift(&kp[size_t(from.frame) * le::forge::kKpFloats], b.cCanon.data(), mask.data(), &rows, &cols));

  // Donor 0 against the source frame as the bundle stores it (halves to
  // bytes), at the stored patch of the window the pass reads on that frame.
  const std::vector<uint16_t> src = le::forge::sourceFrame(s, from.frame);
  const le::tessera::GeometryStamp& g = b.stamp;
  const int x0 = g.window_x0 + g.band_c0 - g.shift_margin + cols;
  const int y0 = g.window_y0 + g.band_r0 - g.shift_margin + rows;
  ASSERT_TRUE(x0 >= 0 && y0 >= 0 && x0 + b.bandW <= s.crop && y0 + b.bandH <= s.crop);
  const size_t plane = size_t(s.crop) * s.crop;
  int mismatches = 0;
  for (int r = 0; r < b.bandH; ++r)
    for (int c = 0; c < b.bandW; ++c)
      for (int k = 0; k < 3; ++k) {
        const float v = le::simd::scalar::f16ToF32(src[k * plane + size_t(y0 + r) * s.crop + (x0 + c)]);
        const long want = std::lround(std::clamp(double(v) * 255.0, 0.0, 255.0));
        mismatches += long(b.donorRgb[(size_t(r) * b.bandW + c) * 3 + k]) != want;
      }
  EXPECT_EQ(mismatches, 0);
}

TEST(DemoTeeth, MembersLoadWithEachDonorCentredOnItsCut) {
  le::test::TmpDir d;
  const BundleSpec s = demoWithTeeth();
  le::test::writeFile(d / "manifest.json", le::forge::manifestText(s));
  le::forge::writeTeethMembers(d.str(), s, *s.teeth);
  const le::TesseraAttachInputs in = le::loadTesseraMembers(d.str());

  ASSERT_EQ(in.n_donors, 64);
  EXPECT_TRUE(in.stamp == le::forge::teethStamp(s));
  const auto cuts = le::forge::smileCuts(in.stamp, in.n_donors, s.teeth->seed);
  const int reach = std::min(in.stamp.shift_margin, in.stamp.pad);
  for (int i = 0; i < in.n_donors; ++i) {
    SCOPED_TRACE(i);
    EXPECT_LE(std::max(std::abs(cuts[size_t(i)].dx), std::abs(cuts[size_t(i)].dy)), reach);
    EXPECT_NEAR(in.cent[size_t(2 * i)] - in.c_canon[0], cuts[size_t(i)].dx, 1e-9);
    EXPECT_NEAR(in.cent[size_t(2 * i + 1)] - in.c_canon[1], cuts[size_t(i)].dy, 1e-9);
  }
}

}  // namespace
