// Numbers from small JSON side files (an engine's meta.json and the like). The
// text is not parsed as a document: the first "key" is found and the number
// after its colon read. The manifest has stricter rules of its own.
#pragma once

#include <optional>
#include <string_view>

namespace le::json {

// The number after the first "key": in text; nullopt when the key is absent.
// A key followed by anything but blanks, a colon and a finite number throws
// std::runtime_error(file + ": bad " + key).
std::optional<double> number(std::string_view text, std::string_view key, std::string_view file);

}  // namespace le::json
