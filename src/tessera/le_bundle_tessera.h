// The teeth pass's own small JSON reader and the lookups built on it, the
// geometry stamp, the serving configuration, and the four teeth members of a
// bundle. The teeth members (bank sidecar, head configuration, the manifest's
// nested blocks, the lip template) are whole JSON documents, unlike
// manifest.json, whose keys the bundle loader locates in the raw text.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <stdexcept>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

namespace le::tessera::json {

struct JMember;

// One JSON value. Object members keep document order and duplicates; every
// lookup takes the first member with the key.
struct JVal {
  enum Kind : int { Null = 0, Bool = 1, Number = 2, String = 3, Array = 4, Object = 5 };
  int kind = Null;
  bool b = false;
  double num = 0.0;
  std::string str;
  std::vector<JVal> arr;
  std::vector<JMember> obj;

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

// One object member. A struct rather than a pair: a pair of an incomplete
// value type is rejected by some standard libraries' constraint checks.
struct JMember {
  std::string first;
  JVal second;
  JMember(std::string key, JVal value) : first(std::move(key)), second(std::move(value)) {}
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

namespace le::tessera {

// The rectangle of one compose canvas a teeth bank was built for: twelve
// integers in this order (reading, comparing and printing all use it).
struct GeometryStamp {
  int32_t canvas_w = 0, canvas_h = 0;
  int32_t window_x0 = 0, window_y0 = 0, window_w = 0, window_h = 0;
  int32_t pad = 0;
  int32_t band_r0 = 0, band_r1 = 0, band_c0 = 0, band_c1 = 0;
  int32_t shift_margin = 0;

  static constexpr int kFields = 12;
  static const char* const kKeys[kFields];  // "canvas_w" ... "shift_margin"

  int32_t& at(int i);
  int32_t at(int i) const;
  bool operator==(const GeometryStamp& o) const;

  // Evaluates every coherence rule and throws one message naming all the
  // failed ones ("teeth: GeometryStamp incoherent: <reason>; ..."), changing nothing.
  void validate() const;
  // "{canvas_w=512, canvas_h=512, ...}".
  std::string str() const;
  // The stored donor patch: band plus the shift margin on every side. 64-bit
  // so hostile stamps cannot overflow; the members loader refuses <= 0.
  int64_t bandH() const { return int64_t(band_r1) - band_r0 + 2 * int64_t(shift_margin); }
  int64_t bandW() const { return int64_t(band_c1) - band_c0 + 2 * int64_t(shift_margin); }

  // The twelve keys of `obj`, each a required number (context for the
  // message), truncated to int32 (a value that does not fit is refused with
  // the same "lacks numeric" text rather than wrapped).
  static GeometryStamp fromJson(const json::JVal& obj, const std::string& context);
};

// The teeth pass's serving parameters. The first six come from the head
// configuration member; the rest are fixed.
struct ServeConfig {
  int32_t kshort = 512;        // retrieval short list
  double aperture_tol = 0.3;   // aperture tolerance of the selection
  int32_t cut = 96;            // retrieval cut
  int32_t K = 64;              // candidates kept for the head
  int32_t hysteresis = 8;      // frames
  int32_t lookahead = 8;       // frames
  double lumaThreshold = 100.0;   // teeth mask: 0.299R+0.587G+0.114B >= this (bytes)
  double greenRedLimit = 25.0;    // teeth mask: |G-R| < this (bytes)
  int minTeethPixels = 32;        // fewer teeth pixels: fall back to the delivery mask
  double maskCarry = 0.6;         // share of the previous teeth mask carried forward
  bool lookAheadOn = true;        // the next frame's candidates join the list

  // "tessera_head.v1": retrieval/temporal blocks required, decode envelope checked.
  static ServeConfig fromHeadMemberJson(std::string_view text);
};

}  // namespace le::tessera

namespace le {

// ------------------------------------------------------------ teeth members
//
// Four members arm the teeth pass. All four present: armed; any one missing:
// refused. There is no partial mode, so the carriage only reports and the
// loader refuses.

inline constexpr int kTesseraSlots = 4;

// The default member file of each slot, in slot order.
struct TesseraSlots {
  std::string bank_track = "tessera_bank.v1.mp4";
  std::string bank_sidecar = "tessera_bank.v1.json";
  std::string head_weights = "tessera_head.v1.pt";
  std::string head_config = "tessera_head.v1.json";

  const std::string& at(int slot) const;
};

int tesseraSlotCount();
// "bank_track", "bank_sidecar", "head_weights", "head_config" (static texts).
const std::array<const char*, kTesseraSlots>& tesseraSlotKeys();
// The slot index of a key, -1 when there is none.
int tesseraSlotIndex(std::string_view key);

// What a bundle directory carries, found without loading anything.
struct TesseraCarriage {
  std::array<std::string, kTesseraSlots> names;  // defaults, replaced by manifest.tessera.members
  std::array<std::string, kTesseraSlots> paths;  // names resolved against the bundle directory
  bool complete = false;                         // no slot missing
  std::vector<std::string> missing;              // slot keys that cannot be opened, slot order
  bool declared = false;                         // the manifest carries a "tessera" object
  std::vector<std::string> planes;               // its "planes" strings; recorded only

  // "teeth: no such member slot '<key>'" for an unknown key.
  const std::string& path(std::string_view slotKey) const;
};

// The refusal of a bundle that lacks a member; carries the missing slot keys.
class MissingTesseraMember : public std::runtime_error {
 public:
  MissingTesseraMember(const std::string& message, std::vector<std::string> missingSlots)
      : std::runtime_error(message), missing(std::move(missingSlots)) {}
  std::vector<std::string> missing;
};

// The bundle directory (a container or a stem is resolved by the bundle
// loader first). Never throws for a missing, unreadable or malformed manifest.
TesseraCarriage tesseraCarriage(const std::string& bundleDir);
// Returns when complete, else throws MissingTesseraMember.
void requireTesseraMembers(const TesseraCarriage& carriage);

// The four members loaded and checked against each other.
struct TesseraAttachInputs {
  int32_t n_donors = 0;                 // 1..1024
  std::vector<int32_t> track_order;     // track frame i holds donor track_order[i]
  std::vector<double> cent;             // 2n: x, y per donor
  double c_canon[2] = {0, 0};           // x, y of the frame the bank was built on
  std::vector<double> aperture;         // n
  tessera::GeometryStamp stamp;
  std::vector<uint8_t> head_pt;         // the head weights file, unparsed
  std::string head_json;                // the head configuration text
  std::string manifest_json;            // the manifest text
  std::string bank_track_path;          // resolved; not read here
  std::string bank_container, bank_codec, bank_pix_fmt, bank_packing;
  int32_t band_w = 0, band_h = 0;       // one stored donor patch

  // band_h * n_donors * band_w * 3: the decoded bank in donor order.
  int64_t bandBytes() const { return int64_t(band_h) * n_donors * band_w * 3; }
};

// Every member read and checked; the first failure throws (MissingTesseraMember
// when a member is missing), so no half-loaded record ever leaves.
TesseraAttachInputs loadTesseraMembers(const std::string& bundleDir);

// Copies a decoded track (frames in track order, band_w x band_h x 3 bytes
// each) into donor order.
void reorderTrackToDonor(const TesseraAttachInputs& inputs, const uint8_t* trackBytes, uint8_t* donorBytes);

}  // namespace le
