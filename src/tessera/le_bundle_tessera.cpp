#include "tessera/le_bundle_tessera.h"

#include <charconv>
#include <climits>
#include <cmath>
#include <cstdlib>
#include <cstring>
#include <exception>
#include <stdexcept>

#include "base/le_file.h"
#include "base/le_member.h"

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

namespace le {

namespace {

using tessera::GeometryStamp;
using tessera::json::JVal;

constexpr std::array<const char*, kTesseraSlots> kSlotKeys = {"bank_track", "bank_sidecar", "head_weights",
                                                              "head_config"};
constexpr int32_t kMaxDonors = 1024;
constexpr const char* kManifestNames[] = {"manifest.json", "meta.json"};

// The first manifest name that exists in the directory; empty when none does.
std::string manifestPathIn(const std::string& dir) {
  for (const char* name : kManifestNames) {
    const std::string p = dir + "/" + name;
    if (statExists(p)) return p;
  }
  return {};
}

// A sidecar number as a message shows it: an integer when it is one, else the
// shortest text that reads back ("1e+300", "nan", "2.5").
std::string numText(double v) {
  if (std::isfinite(v) && v == std::trunc(v) && std::fabs(v) < 9e15) return std::to_string(int64_t(v));
  if (std::isnan(v)) return "nan";
  if (std::isinf(v)) return v > 0 ? "inf" : "-inf";
  char buf[32];
  const auto r = std::to_chars(buf, buf + sizeof buf, v);
  return std::string(buf, r.ptr);
}

bool finiteNumber(const JVal& v) { return v.isNum() && std::isfinite(v.num); }

// The whole head-weights file. Its length is handed out as 32 bits, so a file
// that long is refused before it is read rather than reported short.
std::vector<uint8_t> readHeadWeights(const std::string& path) {
  try {
    const uint64_t size = RawFile(path).size();
    if (size > uint64_t(INT32_MAX))
      throw std::runtime_error("head weights " + path + " are " + std::to_string(size) +
                               " bytes, over the 2 GiB a weights length can state");
    return readBytes(path);
  } catch (const std::runtime_error& e) {
    throw std::runtime_error(std::string("teeth: ") + e.what());
  }
}

}  // namespace

const std::string& TesseraSlots::at(int slot) const {
  switch (slot) {
    case 0: return bank_track;
    case 1: return bank_sidecar;
    case 2: return head_weights;
    case 3: return head_config;
  }
  throw std::runtime_error("teeth: no such member slot " + std::to_string(slot));
}

int tesseraSlotCount() { return kTesseraSlots; }

const std::array<const char*, kTesseraSlots>& tesseraSlotKeys() { return kSlotKeys; }

int tesseraSlotIndex(std::string_view key) {
  for (int i = 0; i < kTesseraSlots; ++i)
    if (key == kSlotKeys[i]) return i;
  return -1;
}

const std::string& TesseraCarriage::path(std::string_view slotKey) const {
  const int i = tesseraSlotIndex(slotKey);
  if (i < 0) throw std::runtime_error("teeth: no such member slot '" + std::string(slotKey) + "'");
  return paths[i];
}

TesseraCarriage tesseraCarriage(const std::string& bundleDir) {
  TesseraCarriage c;
  const TesseraSlots defaults;
  for (int i = 0; i < kTesseraSlots; ++i) c.names[i] = defaults.at(i);

  const std::string manifestPath = manifestPathIn(bundleDir);
  if (!manifestPath.empty()) {
    try {
      const std::string text = tessera::json::readWholeFile(manifestPath);
      const JVal doc = tessera::json::parseDocument(text, manifestPath);
      if (const JVal* t = doc.find("tessera"); t && t->isObj()) {
        c.declared = true;
        if (const JVal* members = t->find("members"); members && members->isObj())
          for (int i = 0; i < kTesseraSlots; ++i)
            if (const JVal* v = members->find(kSlotKeys[i]); v && v->isStr() && !v->str.empty()) c.names[i] = v->str;
        if (const JVal* planes = t->find("planes"); planes && planes->isArr())
          for (const JVal& p : planes->arr)
            if (p.isStr()) c.planes.push_back(p.str);
      }
    } catch (const std::exception&) {
      // An unreadable manifest declares nothing; the members are still looked for.
      c.declared = false;
      c.planes.clear();
      for (int i = 0; i < kTesseraSlots; ++i) c.names[i] = defaults.at(i);
    }
  }
  for (int i = 0; i < kTesseraSlots; ++i) {
    c.paths[i] = resolveMember(bundleDir, c.names[i]);
    // A directory opens for reading too, yet holds no member.
    bool present = false;
    try {
      present = RawFile(c.paths[i]).regular();
    } catch (const std::exception&) {
    }
    if (!present) c.missing.emplace_back(kSlotKeys[i]);
  }
  c.complete = c.missing.empty();
  return c;
}

void requireTesseraMembers(const TesseraCarriage& c) {
  if (c.complete) return;
  std::string list;
  for (const std::string& key : c.missing) {
    if (!list.empty()) list += ", ";
    const int i = tesseraSlotIndex(key);
    list += key + " (" + (i >= 0 ? c.names[i] : std::string()) + ")";
  }
  const size_t carried = c.missing.size() >= size_t(kTesseraSlots) ? 0 : kTesseraSlots - c.missing.size();
  std::string msg = "missing teeth member(s): " + list + " \xE2\x80\x94 carries " + std::to_string(carried) + " of 4";
  if (c.declared) msg += " and declares a manifest.tessera block the members do not keep";
  msg +=
      ". ONE predicate (owner ruling 2026-09-06): all four members present = ARMED on every plane; any missing = "
      "REFUSED on every plane. The borrow is a SWITCH, not a gradient \xE2\x80\x94 there is no rendering mode that "
      "proceeds without them (quenzal-2 IS borrowed teeth). Re-stage the bundle with the bank builder.";
  throw MissingTesseraMember(msg, c.missing);
}

TesseraAttachInputs loadTesseraMembers(const std::string& dir) {
  using namespace tessera::json;
  const TesseraCarriage carriage = tesseraCarriage(dir);
  requireTesseraMembers(carriage);

  const std::string manifestPath = manifestPathIn(dir);
  if (manifestPath.empty())
    throw std::runtime_error(dir +
                             " carries no manifest.json or meta.json \xE2\x80\x94 the compose descriptor (unified.pi) "
                             "the pass places its window by lives there, and placing a borrow window without it is "
                             "guessing.");

  TesseraAttachInputs in;
  const std::string& sidecarPath = carriage.paths[1];
  in.manifest_json = readWholeFile(manifestPath);
  in.head_json = readWholeFile(carriage.paths[3]);
  in.head_pt = readHeadWeights(carriage.paths[2]);
  const std::string sidecarText = readWholeFile(sidecarPath);
  in.bank_track_path = carriage.paths[0];

  const JVal side = parseDocument(sidecarText, sidecarPath);
  const JVal manifest = parseDocument(in.manifest_json, manifestPath);

  // Which generation of the sidecar this is.
  if (const JVal* f = side.find("format"); !f || !f->isStr() || f->str != "tessera_bank.v1")
    throw std::runtime_error(sidecarPath + " declares format '" + (f && f->isStr() ? f->str : std::string()) +
                             "', not 'tessera_bank.v1' \xE2\x80\x94 this reader does not know that generation and "
                             "will not guess at its keys.");

  // The stamp, and its agreement with the manifest's copy.
  const JVal* geometry = side.find("geometry");
  if (!geometry || !geometry->isObj()) throw std::runtime_error(sidecarPath + " carries no `geometry` stamp");
  in.stamp = GeometryStamp::fromJson(*geometry, sidecarPath + ".geometry");
  const JVal* block = manifest.find("tessera");
  if (block && !block->isObj()) block = nullptr;
  if (block) {
    if (const JVal* mg = block->find("geometry"); mg && mg->isObj()) {
      const GeometryStamp fromManifest = GeometryStamp::fromJson(*mg, "manifest.tessera.geometry");
      if (!(fromManifest == in.stamp))
        throw std::runtime_error(
            "teeth geometry DISAGREES between the manifest and the bank sidecar \xE2\x80\x94 manifest " +
            fromManifest.str() + " vs " + sidecarPath + " " + in.stamp.str() +
            "; refusing to place a window on a rectangle the two halves of the bundle do not agree on.");
    }
  }

  const int64_t bandH = in.stamp.bandH(), bandW = in.stamp.bandW();
  if (bandH <= 0 || bandW <= 0)
    throw std::runtime_error("teeth stamp yields a non-positive stored patch (" + std::to_string(bandW) + "x" +
                             std::to_string(bandH) + ")");

  // The donor count: truncated like every sidecar integer, compared before any
  // conversion so that a hostile value (1e300, nan) is refused, never cast.
  const double nRaw = std::trunc(reqNumber(side, "n_donors", sidecarPath));
  if (!(nRaw > 0)) throw std::runtime_error(sidecarPath + " says n_donors=" + numText(nRaw));
  if (nRaw > kMaxDonors)
    throw std::runtime_error(
        sidecarPath + " carries n_donors=" + numText(nRaw) + ", over the owner's cap of " +
        std::to_string(kMaxDonors) +
        " (ruling 2026-08-28). This reader REFUSES rather than capping: the selector is the bank's BUILD-time cap "
        "selector, and a second one here would change which donors reach the mouth while every count-based check "
        "stayed green. Rebuild the bank.");
  const int32_t n = int32_t(nRaw);
  // The decoded bank's size must be a count every caller can hold.
  if (bandH > INT32_MAX || bandW > INT32_MAX || bandH * bandW > INT64_MAX / 3 / n)
    throw std::runtime_error("teeth stamp yields a stored patch too large to hold (" + std::to_string(bandW) + "x" +
                             std::to_string(bandH) + " for " + std::to_string(n) + " donors)");
  in.band_h = int32_t(bandH);
  in.band_w = int32_t(bandW);

  const JVal* order = side.find("track_order");
  const JVal* cent = side.find("cent");
  const JVal* aperture = side.find("aperture");
  const JVal* canon = side.find("c_canon");
  if (!order || !order->isArr() || !cent || !cent->isArr() || !aperture || !aperture->isArr() || !canon ||
      !canon->isArr())
    throw std::runtime_error(sidecarPath + " lacks one of track_order/cent/aperture/c_canon as an array");
  if (order->arr.size() != size_t(n) || cent->arr.size() != size_t(n) || aperture->arr.size() != size_t(n))
    throw std::runtime_error(sidecarPath + " says n_donors=" + std::to_string(n) + " but carries track_order=" +
                             std::to_string(order->arr.size()) + ", cent=" + std::to_string(cent->arr.size()) +
                             ", aperture=" + std::to_string(aperture->arr.size()) +
                             " \xE2\x80\x94 a count mismatch silently mis-orders the donors.");
  if (canon->arr.size() != 2) throw std::runtime_error(sidecarPath + " c_canon is not a pair");

  in.track_order.resize(size_t(n));
  std::vector<bool> seen(size_t(n), false);
  for (int32_t i = 0; i < n; ++i) {
    const JVal& e = order->arr[size_t(i)];
    if (!e.isNum())
      throw std::runtime_error(sidecarPath + " track_order[" + std::to_string(i) + "] is not a number");
    // Range-checked as a double: a value past int32 (or nan) never reaches a cast.
    const double t = std::trunc(e.num);
    if (!(t >= 0 && t < n))
      throw std::runtime_error(sidecarPath + " track_order[" + std::to_string(i) + "]=" + numText(t) +
                               " is outside [0," + std::to_string(n) + ")");
    const int32_t v = int32_t(t);
    if (seen[size_t(v)])
      throw std::runtime_error(sidecarPath + " track_order is not a permutation (reference " + std::to_string(v) +
                               " appears twice) \xE2\x80\x94 the inverse permutation would leave a reference slot "
                               "never written and the pass would blend uninitialised memory into a real mouth.");
    seen[size_t(v)] = true;
    in.track_order[size_t(i)] = v;
  }
  // Non-finite geometry would reach the pass's rounding as nan; refused with
  // the pair / number texts.
  in.cent.resize(2 * size_t(n));
  for (int32_t i = 0; i < n; ++i) {
    const JVal& e = cent->arr[size_t(i)];
    if (!e.isArr() || e.arr.size() != 2 || !finiteNumber(e.arr[0]) || !finiteNumber(e.arr[1]))
      throw std::runtime_error(sidecarPath + " cent[" + std::to_string(i) + "] is not an (x,y) pair");
    in.cent[2 * size_t(i)] = e.arr[0].num;
    in.cent[2 * size_t(i) + 1] = e.arr[1].num;
  }
  in.aperture.resize(size_t(n));
  for (int32_t i = 0; i < n; ++i) {
    const JVal& e = aperture->arr[size_t(i)];
    if (!finiteNumber(e))
      throw std::runtime_error(sidecarPath + " aperture[" + std::to_string(i) + "] is not a finite number");
    in.aperture[size_t(i)] = e.num;
  }
  if (!finiteNumber(canon->arr[0]) || !finiteNumber(canon->arr[1]))
    throw std::runtime_error(sidecarPath + " c_canon is not a pair");
  in.c_canon[0] = canon->arr[0].num;
  in.c_canon[1] = canon->arr[1].num;
  in.n_donors = n;

  // How the track is stored: the manifest's block, with the sidecar's codec
  // object as the fallback for the codec and pixel format.
  std::string sideCodec, sidePixFmt;
  if (const JVal* codec = side.find("codec"); codec && codec->isObj()) {
    sideCodec = optString(*codec, "codec", "");
    sidePixFmt = optString(*codec, "pix_fmt", "");
  }
  if (block) {
    in.bank_container = optString(*block, "bank_container", "mp4");
    in.bank_packing = optString(*block, "bank_packing", "rgb24_frames");
    in.bank_codec = optString(*block, "bank_codec", sideCodec);
    in.bank_pix_fmt = optString(*block, "bank_pix_fmt", sidePixFmt);
  } else {
    in.bank_container = "mp4";
    in.bank_packing = "rgb24_frames";
    in.bank_codec = sideCodec;
    in.bank_pix_fmt = sidePixFmt;
  }
  if (in.bank_pix_fmt.empty())
    throw std::runtime_error(
        dir + ": neither manifest.tessera.bank_pix_fmt nor " + sidecarPath +
        ".codec.pix_fmt states the reference track's pixel format. A decoder handed no format negotiates one, and "
        "the one it settles on is 4:2:0 \xE2\x80\x94 lossy chroma on reference pixels IS the borrow degrading. "
        "Refusing rather than letting it guess.");
  return in;
}

void reorderTrackToDonor(const TesseraAttachInputs& in, const uint8_t* track, uint8_t* donor) {
  if (!track || !donor) throw std::runtime_error("teeth: null band buffer");
  if (in.n_donors < 0 || size_t(in.n_donors) != in.track_order.size())
    throw std::runtime_error("teeth: track_order does not match n_donors");
  const int64_t stride = int64_t(in.band_w) * in.band_h * 3;
  if (stride <= 0 || in.band_w <= 0 || in.band_h <= 0) throw std::runtime_error("teeth: zero reference stride");
  // The loader guarantees a permutation; a record built by hand is checked
  // too, since a stray index would write past the donor buffer.
  const int32_t n = in.n_donors;
  std::vector<bool> seen(size_t(n), false);
  for (int32_t i = 0; i < n; ++i) {
    const int32_t v = in.track_order[size_t(i)];
    if (v < 0 || v >= n)
      throw std::runtime_error("teeth: track_order[" + std::to_string(i) + "]=" + std::to_string(v) +
                               " is outside [0," + std::to_string(n) + ")");
    if (seen[size_t(v)])
      throw std::runtime_error("teeth: track_order is not a permutation (reference " + std::to_string(v) +
                               " appears twice)");
    seen[size_t(v)] = true;
  }
  const size_t s = size_t(stride);
  for (int32_t i = 0; i < n; ++i) std::memcpy(donor + size_t(in.track_order[size_t(i)]) * s, track + size_t(i) * s, s);
}

}  // namespace le
