// The key rule of manifest.json.
//
// The manifest is not parsed as a JSON document: each key is located in the raw
// text by a scanner that knows only strings, brackets and colons, so that a key
// repeated inside a nested block is detected instead of silently read. The identity
// members and the driver sources read their keys (P_rgb, P_hevc, target_frames,
// ...) with these readers too.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

namespace le::manifest_key {

// Stands for "absent" while the paste-space keys are read.
inline constexpr double absentSentinel = -1e300;

// One occurrence of a key in the text.
struct KeyHit {
  std::uint64_t pos = 0;  // offset of the value's first non-blank byte (or the text's end)
  std::int32_t depth = 0; // bracket depth at the key; a root-object key has depth 1
  bool scalar = false;    // the value is neither an object nor an array
};

// Every occurrence of name as a key (a string followed by ':'), in text order.
std::vector<KeyHit> keyHits(std::string_view text, std::string_view name);

// Offset of the one value of name that counts (depth 1 wins, else the only scalar
// occurrence anywhere), std::string::npos when absent; throws the AMBIGUOUS error.
std::size_t scalarValuePos(std::string_view text, std::string_view name);

// Value position of a required key; throws "manifest: missing key " + name.
std::size_t findKey(std::string_view text, std::string_view name);

// strtod-style number at pos (C locale, leading blanks skipped; not a number -> 0).
double numberAt(const std::string& text, std::size_t pos);

// Number of a required key.
double numField(const std::string& text, std::string_view name);

// Number of name, or absentSentinel when the key is absent.
double numFieldOr(const std::string& text, std::string_view name);

// Number from the first of two names that is present and not absentSentinel;
// throws "manifest: missing key " + first + "/" + second.
double numFieldEither(const std::string& text, std::string_view first, std::string_view second);

// String value of a required key: the text between the first two double quotes
// from the value position (escapes not interpreted); "manifest: bad string " + name.
std::string strField(std::string_view text, std::string_view name);

// Optional string: when the key is found, its value starts with '"' and a closing
// '"' follows, out receives the text between (even an empty one) and the result
// is true for a non-empty value. Otherwise out is left untouched and the result is
// false. Throws only the AMBIGUOUS error.
bool optStr(std::string_view text, std::string_view name, std::string& out);

// Double -> int32 by truncation toward zero, saturating at the int32 range (NaN -> 0).
std::int32_t toInt32(double v);

}  // namespace le::manifest_key
