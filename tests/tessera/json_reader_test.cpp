// The teeth JSON reader: standard documents read as an independent JSON
// library reads them; its own leniencies and refusals; hostile text never
// crashes it.
#include <gtest/gtest.h>

#include <nlohmann/json.hpp>

#include <cmath>
#include <random>
#include <string>

#include "support/errors.h"
#include "support/tmpdir.h"
#include "support/files.h"
#include "tessera/le_bundle_tessera.h"

namespace {

using le::tessera::json::JParser;
using le::tessera::json::JVal;
using le::tessera::json::parseDocument;
using le::test::errorOf;

JVal parse(const std::string& text) {
  JParser p(text.data(), text.data() + text.size());
  return p.val();
}

// The reference reading of a JVal, for comparison with the independent parser.
nlohmann::ordered_json toRef(const JVal& v) {
  switch (v.kind) {
    case JVal::Null: return nullptr;
    case JVal::Bool: return v.b;
    case JVal::Number: return v.num;
    case JVal::String: return v.str;
    case JVal::Array: {
      auto a = nlohmann::ordered_json::array();
      for (const JVal& e : v.arr) a.push_back(toRef(e));
      return a;
    }
    default: {
      auto o = nlohmann::ordered_json::object();
      for (const auto& m : v.obj) o[m.first] = toRef(m.second);
      return o;
    }
  }
}

// Numbers compared as doubles on both sides.
nlohmann::ordered_json asDoubles(const nlohmann::ordered_json& j) {
  if (j.is_number()) return j.get<double>();
  if (j.is_array() || j.is_object()) {
    nlohmann::ordered_json o = j;
    for (auto it = o.begin(); it != o.end(); ++it) *it = asDoubles(*it);
    return o;
  }
  return j;
}

// A random standard document (unique keys, escapes the reader supports).
std::string randomDoc(std::mt19937& rng, int depth) {
  std::uniform_int_distribution<int> kind(0, depth > 3 ? 3 : 5);
  switch (kind(rng)) {
    case 0: return std::uniform_int_distribution<int>(0, 2)(rng) == 0 ? "null" : (rng() & 1 ? "true" : "false");
    case 1: {
      const double v = std::uniform_real_distribution<double>(-1e6, 1e6)(rng);
      char buf[64];
      std::snprintf(buf, sizeof buf, (rng() & 1) ? "%.17g" : "%.3e", v);
      return buf;
    }
    case 2: return std::to_string(int(rng() % 2000) - 1000);
    case 3: {
      const char* pieces[] = {"a", "lip", " ", "\\n", "\\t", "\\\"", "\\\\", "\\/", "\\r", "x_y", "0"};
      std::string s = "\"";
      for (int n = int(rng() % 6); n-- > 0;) s += pieces[rng() % 11];
      return s + "\"";
    }
    case 4: {
      std::string s = "[";
      for (int n = int(rng() % 5), i = 0; i < n; ++i) s += (i ? ", " : " ") + randomDoc(rng, depth + 1);
      return s + "]";
    }
    default: {
      std::string s = "{";
      for (int n = int(rng() % 5), i = 0; i < n; ++i)
        s += std::string(i ? ",\n" : "\n") + "\"k" + std::to_string(i) + "\" : " + randomDoc(rng, depth + 1);
      return s + "}";
    }
  }
}

TEST(TeethJson, StandardDocumentsReadAsAnIndependentParserReadsThem) {
  std::mt19937 rng(7);
  for (int i = 0; i < 400; ++i) {
    const std::string doc = randomDoc(rng, 0);
    SCOPED_TRACE(doc);
    const auto want = asDoubles(nlohmann::ordered_json::parse(doc));
    EXPECT_EQ(toRef(parse(doc)), want);
  }
}

struct Lenient {
  const char* text;
  const char* reference;  // the standard JSON the reader takes it for
};

class TeethJsonLenient : public ::testing::TestWithParam<Lenient> {};

TEST_P(TeethJsonLenient, ReadsAsItsStandardEquivalent) {
  const auto& c = GetParam();
  EXPECT_EQ(toRef(parseDocument(c.text, "test")), asDoubles(nlohmann::ordered_json::parse(c.reference)));
}

INSTANTIATE_TEST_SUITE_P(
    Cases, TeethJsonLenient,
    ::testing::Values(Lenient{"  {}", "{}"}, Lenient{"\r\n\t {\"a\" 1}", "{\"a\": 1}"},
                      Lenient{"\"\\u00e9t\\u00e9\"", "\"?t?\""}, Lenient{"{\"a\": 1} {\"b\": 2}", "{\"a\": 1}"},
                      Lenient{"[1]]]garbage", "[1]"}, Lenient{"\"cut", "\"cut\""}, Lenient{"\"\\q\"", "\"q\""},
                      Lenient{"+5", "5"}, Lenient{"[0x10, 1e2]", "[16, 100]"}, Lenient{"nullx", "null"},
                      Lenient{"\"\\u12\"", "\"?12\""}));

TEST(TeethJson, DuplicateKeysAreKeptAndLookupsTakeTheFirst) {
  const JVal v = parse(R"({"k": 1, "k": "two", "j": null})");
  ASSERT_EQ(v.obj.size(), 3u);
  EXPECT_EQ(v.obj[1].second.str, "two");
  ASSERT_NE(v.find("k"), nullptr);
  EXPECT_EQ(v.find("k")->num, 1.0);
  EXPECT_EQ(v.find("missing"), nullptr);
  EXPECT_EQ(parse("[1]").find("k"), nullptr);
}

struct Refusal {
  const char* text;
  const char* message;
};

class TeethJsonRefusal : public ::testing::TestWithParam<Refusal> {};

TEST_P(TeethJsonRefusal, ThrowsItsMessage) {
  const auto& c = GetParam();
  EXPECT_EQ(errorOf([&] { parse(c.text); }), c.message);
  EXPECT_EQ(errorOf([&] { parseDocument(c.text, "bank sidecar"); }),
            std::string("teeth: bank sidecar is not readable JSON: ") + c.message);
}

INSTANTIATE_TEST_SUITE_P(Cases, TeethJsonRefusal,
                         ::testing::Values(Refusal{"", "teeth: JSON truncated"},
                                           Refusal{" \n\t", "teeth: JSON truncated"},
                                           Refusal{"[1,2,]", "teeth: bad JSON number"},
                                           Refusal{"tru", "teeth: bad JSON number"},
                                           Refusal{"[1 2]", "teeth: malformed JSON array"},
                                           Refusal{"[1", "teeth: malformed JSON array"},
                                           Refusal{"{\"a\": 1 \"b\": 2}", "teeth: malformed JSON object"},
                                           Refusal{"{\"a\": 1", "teeth: malformed JSON object"},
                                           Refusal{"{\"a\":", "teeth: JSON truncated"}));

TEST(TeethJson, LookupsAndTheirMessages) {
  const JVal v = parse(R"({"n": 2.5, "s": "text", "o": {}})");
  using namespace le::tessera::json;
  EXPECT_EQ(optString(v, "s", "d"), "text");
  EXPECT_EQ(optString(v, "n", "d"), "d");
  EXPECT_EQ(optString(v, "none", "d"), "d");
  EXPECT_EQ(reqNumber(v, "n", "head"), 2.5);
  EXPECT_EQ(errorOf([&] { reqNumber(v, "s", "head config"); }), "teeth: head config lacks numeric 's'");
  EXPECT_EQ(errorOf([&] { reqNumber(v, "x", "head config"); }), "teeth: head config lacks numeric 'x'");
  EXPECT_TRUE(reqKey(v, "o").isObj());
  EXPECT_EQ(errorOf([&] { reqKey(v, "lookahead"); }), "teeth: member JSON lacks key 'lookahead'");
  int32_t i = 7;
  EXPECT_TRUE(truncI32(-3.9, &i));
  EXPECT_EQ(i, -3);
  EXPECT_FALSE(truncI32(3e9, &i));
  EXPECT_FALSE(truncI32(NAN, &i));
  EXPECT_EQ(i, -3);
}

TEST(TeethJson, WholeFileReader) {
  le::test::TmpDir d;
  le::test::writeFile(d / "a.json", "{\"x\": 1}");
  EXPECT_EQ(le::tessera::json::readWholeFile(d / "a.json"), "{\"x\": 1}");
  EXPECT_EQ(errorOf([&] { le::tessera::json::readWholeFile(d / "none.json"); }),
            "teeth: cannot open " + (d / "none.json"));
}

// Nesting is refused long before the stack runs out; the depth the members
// use is read.
TEST(TeethJson, DeepNestingIsRefusedNotAStackOverflow) {
  const std::string deep(200000, '[');
  const std::string msg = errorOf([&] { parse(deep); });
  EXPECT_TRUE(le::test::startsWith(msg, "teeth: JSON nested deeper than")) << msg;
  const std::string ok = std::string(JParser::kMaxDepth, '[') + std::string(JParser::kMaxDepth, ']');
  EXPECT_EQ(parse(ok).kind, JVal::Array);
}

// Every byte range the reader is handed is honoured: a number at the very end
// of a range that continues in memory is read from the range alone.
TEST(TeethJson, NumbersStopAtTheEndOfTheRange) {
  const std::string text = "[12345]";
  JParser p(text.data() + 1, text.data() + 3);  // "12"
  EXPECT_EQ(p.val().num, 12.0);
  EXPECT_EQ(p.p, text.data() + 3);
}

}  // namespace
