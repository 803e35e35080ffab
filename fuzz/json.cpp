// The side-file number reader over hostile text: for every key an engine
// reads, any text gives either nothing (no such key), a finite number, or the
// one refusal "<file>: bad <key>".
#include <cmath>
#include <cstdint>
#include <optional>
#include <stdexcept>
#include <string>
#include <string_view>

#include "base/le_json.h"
#include "fuzz_util.h"

namespace {

const char* const kKeys[] = {"h",  "window", "left",     "layers",      "width", "silence_prime", "nt",
                             "n_src", "n_emo", "s_bridge", "delta_pitch", "",      "\""};

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  const std::string_view text(reinterpret_cast<const char*>(data), size);
  for (const char* key : kKeys) {
    std::optional<double> v;
    try {
      v = le::json::number(text, key, "meta.json");
    } catch (const std::runtime_error& e) {
      if (e.what() != "meta.json: bad " + std::string(key)) le::fuzz::fail("json", e.what());
      continue;
    }
    if (v && !std::isfinite(*v)) le::fuzz::fail("json", std::string("a non-finite number for ") + key);
    // A key the text does not hold as "key" is never found.
    if (v && text.find("\"" + std::string(key) + "\"") == std::string_view::npos)
      le::fuzz::fail("json", std::string("a number for a key that is not there: ") + key);
  }
  return 0;
}
