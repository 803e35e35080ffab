// Environment variables, read at the moment the object they configure is
// built. Each variable keeps its own rule (exact value, first character, a
// decimal prefix or a whole decimal); these are the only readers.
#pragma once

#include <optional>

namespace le::env {

// The value, or nullptr when the variable is unset or empty.
const char* text(const char* name);
// Set to exactly value.
bool is(const char* name, const char* value);
// Set, with c as its first character.
bool startsWith(const char* name, char c);
// The decimal number at the start of the value, as strtol reads it (saturated
// to long); nullopt when unset or when the value does not start with one.
std::optional<long> leadingInt(const char* name);
// The whole value as a decimal number in long's range; nullopt when unset,
// empty, trailed by anything, or out of range.
std::optional<long> wholeInt(const char* name);

}  // namespace le::env
