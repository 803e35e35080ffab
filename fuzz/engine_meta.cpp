// The audio engines' meta readers over hostile text: any text either gives
// the record the engine can build its tables from, or is refused with a
// std::runtime_error.
#include <cmath>
#include <cstdint>
#include <stdexcept>
#include <string>

#include "audio/le_engine_meta.h"
#include "fuzz_util.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  using le::fuzz::fail;
  const std::string text(reinterpret_cast<const char*>(data), size);
  try {
    const le::a2x::Meta m = le::a2x::parseMeta(text);
    if (m.h < 1 || m.window < 0 || m.left < 0 || m.layers < 1) fail("engine_meta", "a2x meta out of range");
  } catch (const std::runtime_error&) {
  }
  try {
    const le::motion::Meta m = le::motion::parseMeta(text);
    if (m.nt < 1 || m.nt > 10000000 || m.nSrc != m.nt || m.nEmo < 1 || m.nEmo > 10000000)
      fail("engine_meta", "motion meta counts out of range");
    if (!std::isfinite(m.sBridge) || !std::isfinite(m.deltaPitch))
      fail("engine_meta", "motion meta gain or pitch not finite");
  } catch (const std::runtime_error&) {
  }
  return 0;
}
