// The geometry stamp's coherence rules and the serving configuration read
// from the head configuration member.
#include <gtest/gtest.h>

#include <climits>
#include <string>
#include <vector>

#include "support/errors.h"
#include "tessera/le_bundle_tessera.h"

namespace {

using le::test::errorOf;
using le::tessera::GeometryStamp;
using le::tessera::ServeConfig;

// Canvas 64x48, window 40x20 at (10, 20), pad 4, band rows [4, 16), columns
// [8, 32), margin 2: coherent, with room to reach each boundary alone.
GeometryStamp base() {
  GeometryStamp g;
  const int32_t v[GeometryStamp::kFields] = {64, 48, 10, 20, 40, 20, 4, 4, 16, 8, 32, 2};
  for (int i = 0; i < GeometryStamp::kFields; ++i) g.at(i) = v[i];
  return g;
}

struct StampCase {
  const char* name;
  std::vector<std::pair<const char*, int32_t>> set;
  std::string reasons;  // empty: coherent
};

int32_t& field(GeometryStamp& g, const char* key) {
  for (int i = 0; i < GeometryStamp::kFields; ++i)
    if (std::string(GeometryStamp::kKeys[i]) == key) return g.at(i);
  throw std::runtime_error(std::string("test: no stamp key ") + key);
}

class StampRules : public ::testing::TestWithParam<StampCase> {};

TEST_P(StampRules, EachBoundaryHoldsAndOnePastFailsWithItsReason) {
  GeometryStamp g = base();
  for (const auto& [key, v] : GetParam().set) field(g, key) = v;
  const GeometryStamp before = g;
  if (GetParam().reasons.empty()) {
    EXPECT_NO_THROW(g.validate()) << g.str();
  } else {
    EXPECT_EQ(errorOf([&] { g.validate(); }), "teeth: GeometryStamp incoherent:" + GetParam().reasons);
  }
  EXPECT_EQ(g, before);  // validation never adjusts
}

const std::string kDims = " window dims must be positive;", kX = " window x-range escapes canvas;",
                  kY = " window y-range escapes canvas;", kRows = " band rows escape window;",
                  kCols = " band cols escape window;", kPad = " pad/shift_margin must be positive;",
                  kRowsPatch = " stored band rows escape patch;", kColsPatch = " stored band cols escape patch;";

INSTANTIATE_TEST_SUITE_P(
    Boundaries, StampRules,
    ::testing::Values(
        StampCase{"Base", {}, ""},
        StampCase{"WindowTouchesRightEdge", {{"window_x0", 24}}, ""},
        StampCase{"WindowOnePastRightEdge", {{"window_x0", 25}}, kX},
        StampCase{"WindowLeftOfCanvas", {{"window_x0", -1}}, kX},
        StampCase{"WindowNearInt32Max", {{"window_x0", INT32_MAX}}, kX},
        StampCase{"WindowTouchesBottom", {{"window_y0", 28}}, ""},
        StampCase{"WindowOnePastBottom", {{"window_y0", 29}}, kY},
        StampCase{"BandRowsReachWindowHeight", {{"band_r1", 20}}, ""},
        StampCase{"BandRowsOnePast", {{"band_r1", 21}}, kRows},
        StampCase{"BandRowsEmpty", {{"band_r0", 16}}, kRows},
        StampCase{"BandRowsNegative", {{"band_r0", -1}}, kRows},
        StampCase{"BandColsReachWindowWidth", {{"band_c1", 40}}, ""},
        StampCase{"BandColsOnePast", {{"band_c1", 41}}, kCols},
        StampCase{"BandColsEmpty", {{"band_c0", 32}}, kCols},
        StampCase{"MarginZero", {{"shift_margin", 0}}, ""},
        StampCase{"MarginNegative", {{"shift_margin", -1}}, kPad},
        StampCase{"PadOne", {{"pad", 1}}, ""},
        StampCase{"PadZero", {{"pad", 0}}, kPad},
        StampCase{"PadZeroMarginZero", {{"pad", 0}, {"shift_margin", 0}}, kPad},
        // pad + band_r0 = margin and pad + band_r1 + margin = window_h + 2 pad at once.
        StampCase{"MarginFillsPatchRows", {{"shift_margin", 8}}, ""},
        StampCase{"MarginPastPatchRows", {{"shift_margin", 9}}, kRowsPatch},
        StampCase{"MarginMeetsPatchLeft", {{"band_c0", 0}, {"shift_margin", 4}}, ""},
        StampCase{"MarginPastPatchLeft", {{"band_c0", 0}, {"shift_margin", 5}}, kColsPatch},
        StampCase{"MarginMeetsPatchRight", {{"band_c1", 40}, {"shift_margin", 4}}, ""},
        StampCase{"MarginPastPatchRight", {{"band_c1", 40}, {"shift_margin", 5}}, kColsPatch},
        // Two rules collected in table order.
        StampCase{"TwoRules", {{"window_x0", 25}, {"pad", 0}}, kX + kPad},
        // A window without width always takes its band columns with it.
        StampCase{"NoWidthNoPad", {{"window_w", 0}, {"pad", 0}}, kDims + kCols + kPad + kColsPatch}),
    [](const auto& info) { return std::string(info.param.name); });

TEST(GeometryStamp, PrintsEveryFieldInOrder) {
  GeometryStamp g = base();
  g.pad = -7;
  EXPECT_EQ(g.str(),
            "{canvas_w=64, canvas_h=48, window_x0=10, window_y0=20, window_w=40, window_h=20, pad=-7, band_r0=4, "
            "band_r1=16, band_c0=8, band_c1=32, shift_margin=2}");
}

// ------------------------------------------------------------ ServeConfig

std::string head(const std::string& retrieval, const std::string& temporal, const std::string& rest = "") {
  return " \n{\"retrieval\": {" + retrieval + "}, \"temporal\": {" + temporal + "}" + rest + "}";
}
const std::string kRetrieval = "\"kshort\": 300, \"aperture_tol\": 0.25, \"cut\": 40.9, \"K\": 12";
const std::string kTemporal = "\"hysteresis\": 3, \"lookahead\": 5";

TEST(ServeConfig, ReadsTheSixKeysAndKeepsTheFixedOnes) {
  const ServeConfig c = ServeConfig::fromHeadMemberJson(head(kRetrieval, kTemporal));
  const ServeConfig d;
  EXPECT_EQ(c.kshort, 300);
  EXPECT_EQ(c.aperture_tol, 0.25);
  EXPECT_EQ(c.cut, 40);  // truncated
  EXPECT_EQ(c.K, 12);
  EXPECT_EQ(c.hysteresis, 3);
  EXPECT_EQ(c.lookahead, 5);
  EXPECT_EQ(c.lumaThreshold, d.lumaThreshold);
  EXPECT_EQ(c.greenRedLimit, d.greenRedLimit);
  EXPECT_EQ(c.minTeethPixels, d.minTeethPixels);
  EXPECT_EQ(c.maskCarry, d.maskCarry);
  EXPECT_EQ(c.lookAheadOn, d.lookAheadOn);
}

TEST(ServeConfig, EnvelopeWithinOneMillionthOfTwelve) {
  auto withClamp = [](const std::string& v) {
    return head(kRetrieval, kTemporal, ", \"decode\": {\"envelope_clamp_255\": " + v + "}");
  };
  EXPECT_NO_THROW(ServeConfig::fromHeadMemberJson(withClamp("12.0000005")));
  EXPECT_NO_THROW(ServeConfig::fromHeadMemberJson(head(kRetrieval, kTemporal, ", \"decode\": {}")));
  for (const char* bad : {"12.1", "11.99", "nan", "\"12\""})
    EXPECT_EQ(errorOf([&] { ServeConfig::fromHeadMemberJson(withClamp(bad)); }),
              "teeth: member envelope_clamp_255 != the envelope of record (12/255) \xE2\x80\x94 the envelope is a "
              "gated quantity")
        << bad;
}

TEST(ServeConfig, Refusals) {
  EXPECT_EQ(errorOf([] { ServeConfig::fromHeadMemberJson(head(kRetrieval, "\"hysteresis\": 3")); }),
            "teeth: member JSON lacks key 'lookahead'");
  EXPECT_EQ(errorOf([] { ServeConfig::fromHeadMemberJson(head(kRetrieval, "\"hysteresis\": 3, \"lookahead\": 1e10")); }),
            "teeth: member JSON lacks key 'lookahead'");  // no int32 reading of it
  const std::string blocks =
      "teeth: tessera_head.v1 config lacks the retrieval/temporal blocks of the v1 schema \xE2\x80\x94 refusing to "
      "serve defaults (W3-01)";
  EXPECT_EQ(errorOf([] { ServeConfig::fromHeadMemberJson("{\"retrieval\": {}}"); }), blocks);
  EXPECT_EQ(errorOf([] { ServeConfig::fromHeadMemberJson("{\"retrieval\": {}, \"temporal\": []}"); }), blocks);
  EXPECT_EQ(errorOf([] { ServeConfig::fromHeadMemberJson("  "); }), "teeth: JSON truncated");
}

}  // namespace
