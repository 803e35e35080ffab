#include "tessera/le_bundle_tessera.h"

#include <cmath>
#include <cstdlib>
#include <cstring>
#include <exception>
#include <stdexcept>

#include "base/le_file.h"

namespace le::tessera::json {

namespace {

bool isNumberByte(char c) {
  // Every byte the standard conversion may consume after its leading blanks:
  // digits, signs, the point, exponent and hex letters, "inf"/"nan" words and
  // the "nan(...)" payload.
  return (c >= '0' && c <= '9') || (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || c == '.' || c == '+' ||
         c == '-' || c == '(' || c == ')' || c == '_';
}
bool isCBlank(char c) { return c == ' ' || c == '\t' || c == '\n' || c == '\v' || c == '\f' || c == '\r'; }

// Restores the depth counter however the reader leaves a level.
struct DepthGuard {
  int& d;
  explicit DepthGuard(int& depth) : d(depth) {
    if (++d > JParser::kMaxDepth) {
      --d;
      throw std::runtime_error("teeth: JSON nested deeper than " + std::to_string(JParser::kMaxDepth) + " levels");
    }
  }
  ~DepthGuard() { --d; }
  DepthGuard(const DepthGuard&) = delete;
  DepthGuard& operator=(const DepthGuard&) = delete;
};

}  // namespace

const JVal* JVal::find(std::string_view key) const {
  if (kind != Object) return nullptr;
  for (const auto& m : obj)
    if (m.first == key) return &m.second;
  return nullptr;
}

void JParser::ws() {
  while (p < e && (*p == ' ' || *p == '\t' || *p == '\r' || *p == '\n')) ++p;
}

JVal JParser::val() {
  ws();
  if (p >= e) throw std::runtime_error("teeth: JSON truncated");
  const char c = *p;
  if (c == '{') return objv();
  if (c == '[') return arrv();
  if (c == '"') {
    JVal v;
    v.kind = JVal::String;
    v.str = strv();
    return v;
  }
  const size_t left = size_t(e - p);
  if (left >= 4 && std::memcmp(p, "true", 4) == 0) {
    p += 4;
    JVal v;
    v.kind = JVal::Bool;
    v.b = true;
    return v;
  }
  if (left >= 5 && std::memcmp(p, "false", 5) == 0) {
    p += 5;
    JVal v;
    v.kind = JVal::Bool;
    return v;
  }
  if (left >= 4 && std::memcmp(p, "null", 4) == 0) {
    p += 4;
    return JVal{};
  }
  // The range need not end in a NUL, so the conversion runs on a terminated
  // copy of the bytes it could possibly consume.
  const char* q = p;
  while (q < e && isCBlank(*q)) ++q;
  while (q < e && isNumberByte(*q)) ++q;
  const size_t n = size_t(q - p);
  char small[64];
  std::string big;
  char* buf = small;
  if (n >= sizeof small) {
    big.assign(p, n);
    buf = big.data();
  } else {
    std::memcpy(small, p, n);
    small[n] = '\0';
  }
  char* end = nullptr;
  const double d = std::strtod(buf, &end);
  if (end == buf) throw std::runtime_error("teeth: bad JSON number");
  p += end - buf;
  JVal v;
  v.kind = JVal::Number;
  v.num = d;
  return v;
}

std::string JParser::strv() {
  std::string s;
  if (p < e) ++p;  // the opening character
  while (p < e) {
    const char c = *p++;
    if (c == '"') return s;
    if (c != '\\') {
      s += c;
      continue;
    }
    if (p >= e) break;
    const char x = *p++;
    switch (x) {
      case 'b': s += '\b'; break;
      case 'f': s += '\f'; break;
      case 'n': s += '\n'; break;
      case 'r': s += '\r'; break;
      case 't': s += '\t'; break;
      case 'u':
        s += '?';
        if (e - p > 4) p += 4;
        break;
      default: s += x; break;
    }
  }
  return s;  // a string cut by the end of input ends there
}

JVal JParser::arrv() {
  DepthGuard guard(depth_);
  JVal v;
  v.kind = JVal::Array;
  if (p < e) ++p;
  ws();
  if (p < e && *p == ']') {
    ++p;
    return v;
  }
  for (;;) {
    v.arr.push_back(val());
    ws();
    if (p >= e) break;
    const char c = *p++;
    if (c == ',') continue;
    if (c == ']') return v;
    break;
  }
  throw std::runtime_error("teeth: malformed JSON array");
}

JVal JParser::objv() {
  DepthGuard guard(depth_);
  JVal v;
  v.kind = JVal::Object;
  if (p < e) ++p;
  ws();
  if (p < e && *p == '}') {
    ++p;
    return v;
  }
  for (;;) {
    ws();
    if (p >= e) break;
    std::string key = strv();
    ws();
    if (p < e && *p == ':') ++p;
    JVal member = val();
    v.obj.emplace_back(std::move(key), std::move(member));
    ws();
    if (p >= e) break;
    const char c = *p++;
    if (c == ',') continue;
    if (c == '}') return v;
    break;
  }
  throw std::runtime_error("teeth: malformed JSON object");
}

std::string readWholeFile(const std::string& path) {
  try {
    return readText(path);
  } catch (const std::runtime_error& e) {
    throw std::runtime_error(std::string("teeth: ") + e.what());
  }
}

JVal parseDocument(std::string_view text, const std::string& context) {
  try {
    JParser ps(text);
    ps.ws();
    return ps.val();
  } catch (const std::exception& e) {
    throw std::runtime_error("teeth: " + context + " is not readable JSON: " + e.what());
  }
}

std::string optString(const JVal& obj, std::string_view key, const std::string& def) {
  const JVal* v = obj.find(key);
  return v && v->isStr() ? v->str : def;
}

double reqNumber(const JVal& obj, std::string_view key, const std::string& context) {
  const JVal* v = obj.find(key);
  if (!v || !v->isNum()) throw std::runtime_error("teeth: " + context + " lacks numeric '" + std::string(key) + "'");
  return v->num;
}

const JVal& reqKey(const JVal& obj, std::string_view key) {
  const JVal* v = obj.find(key);
  if (!v) throw std::runtime_error("teeth: member JSON lacks key '" + std::string(key) + "'");
  return *v;
}

bool truncI32(double v, int32_t* out) {
  if (!(v > -2147483649.0 && v < 2147483648.0)) return false;
  *out = static_cast<int32_t>(v);
  return true;
}

}  // namespace le::tessera::json

namespace le::tessera {

const char* const GeometryStamp::kKeys[GeometryStamp::kFields] = {
    "canvas_w", "canvas_h", "window_x0", "window_y0", "window_w",     "window_h",
    "pad",      "band_r0",  "band_r1",   "band_c0",   "band_c1",      "shift_margin"};

int32_t& GeometryStamp::at(int i) {
  int32_t* f[kFields] = {&canvas_w, &canvas_h, &window_x0, &window_y0, &window_w, &window_h,
                         &pad,      &band_r0,  &band_r1,   &band_c0,   &band_c1,  &shift_margin};
  return *f[i];
}
int32_t GeometryStamp::at(int i) const { return const_cast<GeometryStamp*>(this)->at(i); }

bool GeometryStamp::operator==(const GeometryStamp& o) const {
  for (int i = 0; i < kFields; ++i)
    if (at(i) != o.at(i)) return false;
  return true;
}

void GeometryStamp::validate() const {
  // 64-bit sums: a hostile stamp near INT32_MAX must fail its rule, not wrap past it.
  using I = int64_t;
  std::string reasons;
  auto rule = [&](bool fails, const char* why) {
    if (fails) reasons += std::string(" ") + why + ";";
  };
  rule(window_w < 1 || window_h < 1, "window dims must be positive");
  rule(window_x0 < 0 || I(window_x0) + window_w > canvas_w, "window x-range escapes canvas");
  rule(window_y0 < 0 || I(window_y0) + window_h > canvas_h, "window y-range escapes canvas");
  rule(band_r0 < 0 || band_r0 >= band_r1 || band_r1 > window_h, "band rows escape window");
  rule(band_c0 < 0 || band_c0 >= band_c1 || band_c1 > window_w, "band cols escape window");
  rule(shift_margin < 0 || pad < 1, "pad/shift_margin must be positive");
  rule(I(pad) + band_r0 < shift_margin || I(pad) + band_r1 + shift_margin > I(window_h) + 2 * I(pad),
       "stored band rows escape patch");
  rule(I(pad) + band_c0 < shift_margin || I(pad) + band_c1 + shift_margin > I(window_w) + 2 * I(pad),
       "stored band cols escape patch");
  if (!reasons.empty()) throw std::runtime_error("teeth: GeometryStamp incoherent:" + reasons);
}

std::string GeometryStamp::str() const {
  std::string s = "{";
  for (int i = 0; i < kFields; ++i) {
    if (i) s += ", ";
    s += std::string(kKeys[i]) + "=" + std::to_string(at(i));
  }
  return s + "}";
}

GeometryStamp GeometryStamp::fromJson(const json::JVal& obj, const std::string& context) {
  GeometryStamp g;
  for (int i = 0; i < kFields; ++i) {
    const double v = json::reqNumber(obj, kKeys[i], context);
    if (!json::truncI32(v, &g.at(i)))
      throw std::runtime_error("teeth: " + context + " lacks numeric '" + kKeys[i] + "'");
  }
  return g;
}

ServeConfig ServeConfig::fromHeadMemberJson(std::string_view text) {
  using namespace json;
  // Reader errors propagate with their own text, not wrapped in a context.
  JParser p(text);
  const JVal doc = p.val();
  const JVal* retrieval = doc.find("retrieval");
  const JVal* temporal = doc.find("temporal");
  if (!retrieval || !retrieval->isObj() || !temporal || !temporal->isObj())
    throw std::runtime_error(
        "teeth: tessera_head.v1 config lacks the retrieval/temporal blocks of the v1 schema — refusing to serve "
        "defaults (W3-01)");
  auto num = [](const JVal& block, const char* key) {
    const JVal& v = reqKey(block, key);
    // A present key of another kind carries no number: the same refusal as a missing one.
    if (!v.isNum()) throw std::runtime_error(std::string("teeth: member JSON lacks key '") + key + "'");
    return v.num;
  };
  auto int32 = [&](const JVal& block, const char* key) {
    int32_t out = 0;
    if (!truncI32(num(block, key), &out))
      throw std::runtime_error(std::string("teeth: member JSON lacks key '") + key + "'");
    return out;
  };
  ServeConfig c;
  c.kshort = int32(*retrieval, "kshort");
  c.aperture_tol = num(*retrieval, "aperture_tol");
  c.cut = int32(*retrieval, "cut");
  c.K = int32(*retrieval, "K");
  c.hysteresis = int32(*temporal, "hysteresis");
  c.lookahead = int32(*temporal, "lookahead");
  if (const JVal* decode = doc.find("decode"); decode && decode->isObj()) {
    if (const JVal* clamp = decode->find("envelope_clamp_255")) {
      if (!clamp->isNum() || !(std::fabs(clamp->num - 12.0) <= 1e-6))
        throw std::runtime_error(
            "teeth: member envelope_clamp_255 != the envelope of record (12/255) — the envelope is a gated "
            "quantity");
    }
  }
  return c;
}

}  // namespace le::tessera
