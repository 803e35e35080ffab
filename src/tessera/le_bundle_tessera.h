// The teeth pass's own small JSON reader and the lookups built on it. The
// teeth members (bank sidecar, head configuration, the manifest's nested
// blocks, the lip template) are whole JSON documents, unlike manifest.json,
// whose keys the bundle loader locates in the raw text.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

namespace le::tessera::json {

// One JSON value. Object members keep document order and duplicates; every
// lookup takes the first member with the key.
struct JVal {
  enum Kind : int { Null = 0, Bool = 1, Number = 2, String = 3, Array = 4, Object = 5 };
  int kind = Null;
  bool b = false;
  double num = 0.0;
  std::string str;
  std::vector<JVal> arr;
  std::vector<std::pair<std::string, JVal>> obj;

  bool isNull() const { return kind == Null; }
  bool isBool() const { return kind == Bool; }
  bool isNum() const { return kind == Number; }
  bool isStr() const { return kind == String; }
  bool isArr() const { return kind == Array; }
  bool isObj() const { return kind == Object; }
  // The first member with this key; null when there is none or this is not an object.
  const JVal* find(std::string_view key) const;
  bool has(std::string_view key) const { return find(key) != nullptr; }
};

// A cursor over a byte range. Each reader throws std::runtime_error with a
// "teeth: " text on malformed input and never reads outside [p, e).
class JParser {
 public:
  JParser(const char* begin, const char* end) : p(begin), e(end) {}
  explicit JParser(std::string_view text) : p(text.data()), e(text.data() + text.size()) {}

  JVal val();            // one value at the cursor (leading whitespace skipped)
  JVal objv();           // the cursor on "{"
  JVal arrv();           // the cursor on "["
  std::string strv();    // the cursor on the opening quote (not checked)
  void ws();             // skips blanks, tabs, carriage returns and line feeds

  const char* p;
  const char* e;

  // Nesting deeper than this is refused rather than allowed to exhaust the
  // stack: the members read here nest four levels at most.
  static constexpr int kMaxDepth = 256;

 private:
  int depth_ = 0;
};

// The whole file: "teeth: cannot open " + path, "teeth: short read " + path.
std::string readWholeFile(const std::string& path);

// Leading whitespace skipped, one value read, the rest ignored. A reader
// failure becomes "teeth: " + context + " is not readable JSON: " + its text.
JVal parseDocument(std::string_view text, const std::string& context);

// The string of the first member `key` when it is a string, else def.
std::string optString(const JVal& obj, std::string_view key, const std::string& def);
// The number of the first member `key`: "teeth: " + context + " lacks numeric '" + key + "'".
double reqNumber(const JVal& obj, std::string_view key, const std::string& context);
// The first member `key`, of any kind: "teeth: member JSON lacks key '" + key + "'".
const JVal& reqKey(const JVal& obj, std::string_view key);

// Truncation toward zero to int32; false (and out untouched) when the value
// is not finite or does not fit, so a hostile number never reaches a cast.
bool truncI32(double v, int32_t* out);

}  // namespace le::tessera::json
