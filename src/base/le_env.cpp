#include "base/le_env.h"

#include <cerrno>
#include <cstdlib>
#include <cstring>

namespace le::env {

const char* text(const char* name) {
  const char* v = std::getenv(name);
  return (v && *v) ? v : nullptr;
}

bool is(const char* name, const char* value) {
  const char* v = std::getenv(name);
  return v && std::strcmp(v, value) == 0;
}

bool startsWith(const char* name, char c) {
  const char* v = std::getenv(name);
  return v && v[0] == c;
}

std::optional<long> leadingInt(const char* name) {
  const char* v = std::getenv(name);
  if (!v) return std::nullopt;
  char* end = nullptr;
  const long x = std::strtol(v, &end, 10);
  if (end == v) return std::nullopt;
  return x;
}

std::optional<long> wholeInt(const char* name) {
  const char* v = text(name);
  if (!v) return std::nullopt;
  char* end = nullptr;
  errno = 0;
  const long x = std::strtol(v, &end, 10);
  if (errno != 0 || end == v || *end != '\0') return std::nullopt;
  return x;
}

}  // namespace le::env
