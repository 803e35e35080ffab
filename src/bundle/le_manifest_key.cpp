// The key rule of manifest.json.
#include "bundle/le_manifest_key.h"

#include <locale.h>
#include <stdlib.h>

#include <cmath>
#include <limits>
#include <stdexcept>

namespace le::manifest_key {

namespace {

bool isBlank(char c) {
  return c == ' ' || c == '\t' || c == '\n' || c == '\v' || c == '\f' || c == '\r';
}

std::size_t skipBlanks(std::string_view t, std::size_t i) {
  while (i < t.size() && isBlank(t[i])) ++i;
  return i;
}

[[noreturn]] void throwAmbiguous(std::string_view name, const std::vector<KeyHit>& hits) {
  std::string msg = "manifest: key \"";
  msg += name;
  msg += "\" is AMBIGUOUS \xE2\x80\x94 ";  // U+2014 EM DASH
  msg += std::to_string(hits.size());
  msg += " scalar occurrences (";
  for (std::size_t k = 0; k < hits.size(); ++k) {
    if (k) msg += ", ";
    msg += "byte " + std::to_string(hits[k].pos);
  }
  msg +=
      "). A loader that picks one silently installs a number nobody checks. Rename the colliding key (a "
      "nested block must not reuse a name the bundle loader reads: NT/frame_count, H, W, crop/crop_size, "
      "amount, sigma, ksize, frames, M_src_w/paste_source_width, M_src_h/paste_source_height), or produce "
      "the bundle with the legacy manifest layout.";
  throw std::runtime_error(msg);
}

locale_t cLocale() {
  static const locale_t loc = ::newlocale(LC_ALL_MASK, "C", static_cast<locale_t>(nullptr));
  return loc;
}

}  // namespace

std::vector<KeyHit> keyHits(std::string_view t, std::string_view name) {
  std::vector<KeyHit> hits;
  std::int32_t depth = 0;
  std::size_t i = 0;
  const std::size_t n = t.size();
  while (i < n) {
    const char c = t[i];
    if (c == '{' || c == '[') {
      ++depth;
      ++i;
      continue;
    }
    if (c == '}' || c == ']') {
      --depth;
      ++i;
      continue;
    }
    if (c != '"') {
      ++i;
      continue;
    }
    // A string: find its unescaped closing quote.
    std::size_t j = i + 1;
    while (j < n && t[j] != '"') j += (t[j] == '\\') ? 2 : 1;
    if (j >= n) break;  // the text ends inside the string
    const std::size_t k = skipBlanks(t, j + 1);
    if (k < n && t[k] == ':' && t.substr(i + 1, j - i - 1) == name) {
      const std::size_t v = skipBlanks(t, k + 1);
      KeyHit h;
      h.pos = v;
      h.depth = depth;
      h.scalar = v < n && t[v] != '{' && t[v] != '[';
      hits.push_back(h);
    }
    i = j + 1;  // the value is scanned like any other text
  }
  return hits;
}

std::size_t scalarValuePos(std::string_view text, std::string_view name) {
  std::vector<KeyHit> scalars, top;
  for (const KeyHit& h : keyHits(text, name)) {
    if (!h.scalar) continue;
    scalars.push_back(h);
    if (h.depth == 1) top.push_back(h);
  }
  if (top.size() == 1) return static_cast<std::size_t>(top[0].pos);
  if (top.size() > 1) throwAmbiguous(name, top);
  if (scalars.size() == 1) return static_cast<std::size_t>(scalars[0].pos);
  if (scalars.size() > 1) throwAmbiguous(name, scalars);
  return std::string::npos;
}

std::size_t findKey(std::string_view text, std::string_view name) {
  const std::size_t p = scalarValuePos(text, name);
  if (p == std::string::npos) throw std::runtime_error("manifest: missing key " + std::string(name));
  return p;
}

double numberAt(const std::string& text, std::size_t pos) {
  if (pos >= text.size()) return 0.0;
  // The C locale keeps "719.9" a number whatever locale the host process runs in.
  return ::strtod_l(text.c_str() + pos, nullptr, cLocale());
}

double numField(const std::string& text, std::string_view name) { return numberAt(text, findKey(text, name)); }

double numFieldOr(const std::string& text, std::string_view name) {
  const std::size_t p = scalarValuePos(text, name);
  return p == std::string::npos ? absentSentinel : numberAt(text, p);
}

double numFieldEither(const std::string& text, std::string_view first, std::string_view second) {
  const double a = numFieldOr(text, first);
  if (a != absentSentinel) return a;
  const double b = numFieldOr(text, second);
  if (b != absentSentinel) return b;
  throw std::runtime_error("manifest: missing key " + std::string(first) + "/" + std::string(second));
}

std::string strField(std::string_view text, std::string_view name) {
  const std::size_t p = findKey(text, name);
  const std::size_t open = text.find('"', p);
  if (open == std::string_view::npos) throw std::runtime_error("manifest: bad string " + std::string(name));
  const std::size_t close = text.find('"', open + 1);
  if (close == std::string_view::npos) throw std::runtime_error("manifest: bad string " + std::string(name));
  return std::string(text.substr(open + 1, close - open - 1));
}

bool optStr(std::string_view text, std::string_view name, std::string& out) {
  const std::size_t p = scalarValuePos(text, name);
  if (p == std::string::npos || p >= text.size() || text[p] != '"') return false;
  const std::size_t close = text.find('"', p + 1);
  if (close == std::string_view::npos) return false;
  out.assign(text.substr(p + 1, close - p - 1));
  return !out.empty();
}

std::int32_t toInt32(double v) {
  if (std::isnan(v)) return 0;
  const double t = std::trunc(v);
  if (t <= static_cast<double>(std::numeric_limits<std::int32_t>::min())) return std::numeric_limits<std::int32_t>::min();
  if (t >= static_cast<double>(std::numeric_limits<std::int32_t>::max())) return std::numeric_limits<std::int32_t>::max();
  return static_cast<std::int32_t>(t);
}

}  // namespace le::manifest_key
