// The teeth JSON reader and what is built on it: any text either reads or is
// refused with a "teeth: " text.
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <stdexcept>
#include <string>
#include <string_view>

#include "tessera/le_bundle_tessera.h"

namespace {

void requireTeethText(const std::runtime_error& e) {
  if (std::string_view(e.what()).substr(0, 7) != "teeth: ") {
    std::fprintf(stderr, "refusal without the teeth prefix: %s\n", e.what());
    std::abort();
  }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  using namespace le::tessera;
  const std::string_view text(reinterpret_cast<const char*>(data), size);
  try {
    const json::JVal doc = json::parseDocument(text, "fuzz input");
    // What the members loader asks of a sidecar or manifest.
    if (const json::JVal* g = doc.find("geometry"); g && g->isObj()) {
      const GeometryStamp st = GeometryStamp::fromJson(*g, "fuzz.geometry");
      (void)st.str();
      st.validate();
    }
    (void)json::optString(doc, "format", "");
    (void)json::reqNumber(doc, "n_donors", "fuzz");
  } catch (const std::runtime_error& e) {
    requireTeethText(e);
  }
  try {
    (void)ServeConfig::fromHeadMemberJson(text);
  } catch (const std::runtime_error& e) {
    requireTeethText(e);
  }
  return 0;
}
