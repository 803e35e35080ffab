// The key rule of manifest.json: keyHits, scalarValuePos and the value readers.
#include <clocale>
#include <cmath>
#include <cstdint>
#include <string>

#include "bundle/le_manifest_key.h"
#include "support/errors.h"

namespace mk = le::manifest_key;
using le::test::errorOf;

namespace {

// Offset of the first non-blank byte after the n-th (0-based) occurrence of `"key":`.
std::size_t valueOffset(const std::string& text, const std::string& key, int n = 0) {
  std::size_t at = 0;
  for (int k = 0; k <= n; ++k) {
    at = text.find("\"" + key + "\":", k == 0 ? 0 : at + 1);
    if (at == std::string::npos) throw std::runtime_error("test: key not in text");
  }
  std::size_t v = at + key.size() + 3;
  while (v < text.size() && text[v] == ' ') ++v;
  return v;
}

std::string ambiguity(const std::string& key, const std::vector<std::size_t>& offsets) {
  std::string s = "manifest: key \"" + key + "\" is AMBIGUOUS \u2014 " + std::to_string(offsets.size()) +
                  " scalar occurrences (";
  for (std::size_t i = 0; i < offsets.size(); ++i) s += (i ? ", byte " : "byte ") + std::to_string(offsets[i]);
  s += "). A loader that picks one silently installs a number nobody checks. Rename the colliding key (a nested "
       "block must not reuse a name the bundle loader reads: NT/frame_count, H, W, crop/crop_size, amount, sigma, "
       "ksize, frames, M_src_w/paste_source_width, M_src_h/paste_source_height), or produce the bundle with the "
       "legacy manifest layout.";
  return s;
}

}  // namespace

TEST(ManifestKey, RootKeyHasDepthOneAndPosAtValue) {
  const std::string t = R"({"crop": 256, "tessera": {"crop": 128}})";
  const auto hits = mk::keyHits(t, "crop");
  ASSERT_EQ(hits.size(), 2u);
  EXPECT_EQ(hits[0].depth, 1);
  EXPECT_EQ(hits[0].pos, valueOffset(t, "crop", 0));
  EXPECT_TRUE(hits[0].scalar);
  EXPECT_EQ(hits[1].depth, 2);
  EXPECT_EQ(hits[1].pos, valueOffset(t, "crop", 1));
  // Depth 1 wins over the nested one.
  EXPECT_EQ(mk::scalarValuePos(t, "crop"), valueOffset(t, "crop", 0));
  EXPECT_DOUBLE_EQ(mk::numField(t, "crop"), 256.0);
}

TEST(ManifestKey, NestedRootKeyStillWinsWhenItComesLast) {
  const std::string t = R"({"unified": {"crop": 9, "x": [ {"crop": 7} ]}, "crop": 512})";
  EXPECT_DOUBLE_EQ(mk::numField(t, "crop"), 512.0);
  const auto hits = mk::keyHits(t, "crop");
  ASSERT_EQ(hits.size(), 3u);
  EXPECT_EQ(hits[0].depth, 2);
  EXPECT_EQ(hits[1].depth, 4);
  EXPECT_EQ(hits[2].depth, 1);
}

TEST(ManifestKey, SingleNestedScalarIsUsedWhenNoRootOne) {
  const std::string t = R"({"a": {"frames": 7}, "b": 1})";
  EXPECT_EQ(mk::scalarValuePos(t, "frames"), valueOffset(t, "frames"));
  EXPECT_DOUBLE_EQ(mk::numField(t, "frames"), 7.0);
}

TEST(ManifestKey, TwoRootScalarsAreAmbiguousListingOnlyRootOnes) {
  const std::string t = R"({"crop": 1, "t": {"crop": 3}, "crop": 2})";
  const std::string expect = ambiguity("crop", {valueOffset(t, "crop", 0), valueOffset(t, "crop", 2)});
  EXPECT_EQ(errorOf([&] { mk::scalarValuePos(t, "crop"); }), expect);
  EXPECT_EQ(errorOf([&] { mk::findKey(t, "crop"); }), expect);
}

TEST(ManifestKey, TwoNestedScalarsWithoutRootAreAmbiguous) {
  const std::string t = R"({"a": {"crop": 1}, "b": {"crop": 2}})";
  EXPECT_EQ(errorOf([&] { mk::scalarValuePos(t, "crop"); }),
            ambiguity("crop", {valueOffset(t, "crop", 0), valueOffset(t, "crop", 1)}));
}

TEST(ManifestKey, AmbiguityMessageIsByteExact) {
  // Hand-computed offsets: {"crop":1,"crop":22} -> values at bytes 8 and 17.
  const std::string t = "{\"crop\":1,\"crop\":22}";
  const std::string got = errorOf([&] { mk::scalarValuePos(t, "crop"); });
  EXPECT_TRUE(le::test::startsWith(
      got, "manifest: key \"crop\" is AMBIGUOUS \xE2\x80\x94 2 scalar occurrences (byte 8, byte 17). A loader"))
      << got;
  EXPECT_EQ(got, ambiguity("crop", {8, 17}));
}

TEST(ManifestKey, NonScalarValuesAreNotOccurrences) {
  const std::string t = R"({"frames": [1, 2], "x": {"frames": {"a": 1}}})";
  const auto hits = mk::keyHits(t, "frames");
  ASSERT_EQ(hits.size(), 2u);
  EXPECT_FALSE(hits[0].scalar);
  EXPECT_FALSE(hits[1].scalar);
  EXPECT_EQ(mk::scalarValuePos(t, "frames"), std::string::npos);
  EXPECT_EQ(errorOf([&] { mk::findKey(t, "frames"); }), "manifest: missing key frames");
  // Non-scalar occurrences do not make a scalar one ambiguous.
  const std::string u = R"({"frames": [1, 2], "n": {"frames": 3}})";
  EXPECT_DOUBLE_EQ(mk::numField(u, "frames"), 3.0);
}

TEST(ManifestKey, QuotedWordNotFollowedByColonIsNotAKey) {
  const std::string t = R"({"agent": "crop", "list": ["crop", "crop" ], "crop" : 5})";
  const auto hits = mk::keyHits(t, "crop");
  ASSERT_EQ(hits.size(), 1u);
  EXPECT_DOUBLE_EQ(mk::numField(t, "crop"), 5.0);
  EXPECT_EQ(mk::scalarValuePos(R"({"agent": "crop"})", "crop"), std::string::npos);
}

TEST(ManifestKey, EscapedQuotesStayInsideStrings) {
  // The value of "a" is the string  x":"crop": 9  -- no key inside it.
  const std::string t = R"({"a": "x\":\"crop\": 9", "crop": 5})";
  const auto hits = mk::keyHits(t, "crop");
  ASSERT_EQ(hits.size(), 1u);
  EXPECT_DOUBLE_EQ(mk::numField(t, "crop"), 5.0);
  // An escaped backslash right before the closing quote ends the string there.
  const std::string u = R"({"a": "x\\", "crop": 6})";
  EXPECT_DOUBLE_EQ(mk::numField(u, "crop"), 6.0);
  // Brackets inside strings do not move the depth.
  const std::string v = R"({"a": "{[[{", "crop": 7})";
  ASSERT_EQ(mk::keyHits(v, "crop").size(), 1u);
  EXPECT_EQ(mk::keyHits(v, "crop")[0].depth, 1);
}

TEST(ManifestKey, KeysCompareRawBytesWithoutUnescaping) {
  const std::string t = R"({"cr\"op": 1, "cro": 2, "cropp": 3})";
  EXPECT_EQ(mk::keyHits(t, "crop").size(), 0u);
  EXPECT_EQ(mk::keyHits(t, "cr\\\"op").size(), 1u);
  EXPECT_DOUBLE_EQ(mk::numField(t, "cro"), 2.0);
}

TEST(ManifestKey, BlanksAroundColonAndValue) {
  const std::string t = "{\"crop\" \t\r\n: \v\f 77}";
  const auto hits = mk::keyHits(t, "crop");
  ASSERT_EQ(hits.size(), 1u);
  EXPECT_EQ(hits[0].pos, t.find("77"));
  EXPECT_DOUBLE_EQ(mk::numField(t, "crop"), 77.0);
}

TEST(ManifestKey, TextEndingEarly) {
  // Value missing at the end of the text: an occurrence, but not a scalar one.
  const std::string t = "{\"crop\":  ";
  const auto hits = mk::keyHits(t, "crop");
  ASSERT_EQ(hits.size(), 1u);
  EXPECT_EQ(hits[0].pos, t.size());
  EXPECT_FALSE(hits[0].scalar);
  EXPECT_EQ(mk::scalarValuePos(t, "crop"), std::string::npos);
  // An unterminated string stops the scan.
  const std::string u = R"({"crop": 1, "x": "abc, "crop": 2)";
  EXPECT_EQ(mk::keyHits(u, "crop").size(), 1u);
  // A trailing backslash inside an unterminated string does not read past the end.
  EXPECT_EQ(mk::keyHits("{\"a\\", "a").size(), 0u);
  EXPECT_EQ(mk::keyHits("", "a").size(), 0u);
}

TEST(ManifestKey, UnbalancedClosersDoNotCrash) {
  const std::string t = R"(]]}} {"crop": 3})";
  const auto hits = mk::keyHits(t, "crop");
  ASSERT_EQ(hits.size(), 1u);
  EXPECT_EQ(hits[0].depth, -3);
  EXPECT_DOUBLE_EQ(mk::numField(t, "crop"), 3.0);  // the only scalar occurrence
}

TEST(ManifestKey, OnlyDepthOneIsTopLevel) {
  // A key outside any object (depth 0) is not a root key: the depth-1 one wins.
  const std::string t = R"("crop": 1, {"crop": 2})";
  const auto hits = mk::keyHits(t, "crop");
  ASSERT_EQ(hits.size(), 2u);
  EXPECT_EQ(hits[0].depth, 0);
  EXPECT_EQ(hits[1].depth, 1);
  EXPECT_DOUBLE_EQ(mk::numField(t, "crop"), 2.0);
  // Without a depth-1 one, depth 0 and depth 2 are equally nested scalars: ambiguous.
  const std::string u = R"("crop": 1, {"a": {"crop": 2}})";
  EXPECT_EQ(errorOf([&] { mk::findKey(u, "crop"); }),
            ambiguity("crop", {valueOffset(u, "crop", 0), valueOffset(u, "crop", 1)}));
}

TEST(ManifestKey, NumbersFollowStrtod) {
  EXPECT_DOUBLE_EQ(mk::numField(R"({"H": 719.9})", "H"), 719.9);
  EXPECT_DOUBLE_EQ(mk::numField(R"({"H": -2.5e2,})", "H"), -250.0);
  EXPECT_DOUBLE_EQ(mk::numField(R"({"crop": "512"})", "crop"), 0.0);  // a string is not a number
  EXPECT_DOUBLE_EQ(mk::numField(R"({"crop": true})", "crop"), 0.0);
  EXPECT_DOUBLE_EQ(mk::numField(R"({"crop": 12abc})", "crop"), 12.0);
}

TEST(ManifestKey, NumbersIgnoreTheProcessLocale) {
  const char* names[] = {"de_DE.UTF-8", "de_DE.utf8", "fr_FR.UTF-8", "fr_FR.utf8"};
  const std::string old = std::setlocale(LC_NUMERIC, nullptr);
  const char* got = nullptr;
  for (const char* n : names)
    if ((got = std::setlocale(LC_NUMERIC, n))) break;
  if (!got) GTEST_SKIP() << "no locale with a decimal comma installed";
  const double v = mk::numField(R"({"H": 719.5})", "H");
  std::setlocale(LC_NUMERIC, old.c_str());
  EXPECT_DOUBLE_EQ(v, 719.5);
}

TEST(ManifestKey, ToInt32TruncatesTowardZeroAndSaturates) {
  EXPECT_EQ(mk::toInt32(719.9), 719);
  EXPECT_EQ(mk::toInt32(-0.9), 0);
  EXPECT_EQ(mk::toInt32(-2.7), -2);
  EXPECT_EQ(mk::toInt32(1e300), INT32_MAX);
  EXPECT_EQ(mk::toInt32(-1e300), INT32_MIN);
  EXPECT_EQ(mk::toInt32(std::nan("")), 0);
}

TEST(ManifestKey, StrField) {
  EXPECT_EQ(mk::strField(R"({"agent": "ann"})", "agent"), "ann");
  EXPECT_EQ(mk::strField(R"({"agent": ""})", "agent"), "");
  // Escapes are not interpreted: the value ends at the next double quote.
  EXPECT_EQ(mk::strField(R"({"agent": "a\"b"})", "agent"), "a\\");
  // Whatever lies between the value position and the first quote is skipped.
  EXPECT_EQ(mk::strField(R"({"agent": 5, "x": "y"})", "agent"), "x");
  EXPECT_EQ(errorOf([] { mk::strField(R"({"agent": 5})", "agent"); }), "manifest: bad string agent");
  EXPECT_EQ(errorOf([] { mk::strField(R"({"agent": "abc)", "agent"); }), "manifest: bad string agent");
  EXPECT_EQ(errorOf([] { mk::strField(R"({"x": 1})", "agent"); }), "manifest: missing key agent");
}

TEST(ManifestKey, NumFieldEither) {
  EXPECT_DOUBLE_EQ(mk::numFieldEither(R"({"NT": 10, "frame_count": 99})", "NT", "frame_count"), 10.0);
  EXPECT_DOUBLE_EQ(mk::numFieldEither(R"({"frame_count": 99})", "NT", "frame_count"), 99.0);
  EXPECT_DOUBLE_EQ(mk::numFieldEither(R"({"NT": -1e300, "frame_count": 5})", "NT", "frame_count"), 5.0);
  EXPECT_EQ(errorOf([] { mk::numFieldEither(R"({"x": 1})", "NT", "frame_count"); }),
            "manifest: missing key NT/frame_count");
  EXPECT_EQ(errorOf([] { mk::numFieldEither(R"({"NT": -1e300})", "NT", "frame_count"); }),
            "manifest: missing key NT/frame_count");
  EXPECT_DOUBLE_EQ(mk::numFieldOr(R"({"x": 1})", "NT"), mk::absentSentinel);
}

TEST(ManifestKey, OptionalString) {
  std::string out = "keep";
  EXPECT_FALSE(mk::optStr(R"({"x": 1})", "P_rgb", out));
  EXPECT_EQ(out, "keep");
  EXPECT_FALSE(mk::optStr(R"({"P_rgb": 5})", "P_rgb", out));
  EXPECT_EQ(out, "keep");
  EXPECT_FALSE(mk::optStr(R"({"P_rgb": "abc)", "P_rgb", out));  // no closing quote
  EXPECT_EQ(out, "keep");
  // An empty quoted value is handed out but not reported as success.
  EXPECT_FALSE(mk::optStr(R"({"P_rgb": ""})", "P_rgb", out));
  EXPECT_EQ(out, "");
  EXPECT_TRUE(mk::optStr(R"({"P_rgb": "rgb.f16"})", "P_rgb", out));
  EXPECT_EQ(out, "rgb.f16");
  // Ambiguity is not swallowed.
  EXPECT_NE(errorOf([&] { mk::optStr(R"({"P_rgb": "a", "P_rgb": "b"})", "P_rgb", out); }).find("AMBIGUOUS"),
            std::string::npos);
}
