#include "base/le_json.h"

#include <cctype>
#include <cmath>
#include <cstdlib>
#include <stdexcept>
#include <string>

namespace le::json {

std::optional<double> number(std::string_view text, std::string_view key, std::string_view file) {
  const std::string quoted = "\"" + std::string(key) + "\"";
  const std::size_t at = text.find(quoted);
  if (at == std::string_view::npos) return std::nullopt;
  auto bad = [&] { return std::runtime_error(std::string(file) + ": bad " + std::string(key)); };
  std::size_t p = at + quoted.size();
  while (p < text.size() && std::isspace(static_cast<unsigned char>(text[p]))) ++p;
  if (p >= text.size() || text[p] != ':') throw bad();
  ++p;
  while (p < text.size() && std::isspace(static_cast<unsigned char>(text[p]))) ++p;
  // strtod needs a terminated string; a number is short, so copy a bounded tail.
  std::string tail(text.substr(p, 64));
  char* end = nullptr;
  const double v = std::strtod(tail.c_str(), &end);
  if (end == tail.c_str() || !std::isfinite(v)) throw bad();
  return v;
}

}  // namespace le::json
