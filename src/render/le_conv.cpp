#include "render/le_conv.h"

#include <stdexcept>

namespace le {

bool ConvBackend::available() { return false; }

std::unique_ptr<ConvBackend> ConvBackend::create(const std::string&, int) {
  throw std::runtime_error("le_conv: built without NEON fp16 support");
}

bool ConvBackend::graphSupported(const std::string&) { return false; }

}  // namespace le
