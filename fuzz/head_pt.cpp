// The head weights reader: any bytes either load as one of the two heads or
// are refused with a "teeth: " text.
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <stdexcept>
#include <string_view>
#include <vector>

#include "tessera/le_tessera.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  const std::vector<uint8_t> bytes(data, data + size);
  try {
    const le::tessera::HeadWeights h = le::tessera::loadHeadPt(bytes);
    if (h.params() != 4082 && h.params() != 3489) {
      std::fprintf(stderr, "loaded a head of %d parameters\n", h.params());
      std::abort();
    }
  } catch (const std::runtime_error& e) {
    if (std::string_view(e.what()).substr(0, 7) != "teeth: ") {
      std::fprintf(stderr, "refusal without the teeth prefix: %s\n", e.what());
      std::abort();
    }
  }
  return 0;
}
