// Which decoder build the driver and prior sources run on, for hosts to log.
#include <string>

extern "C" {
#include <libavcodec/avcodec.h>
}

#include "driver/le_driver.h"

namespace le {

std::string movieDecoderBuild() {
  return "libavcodec " + std::to_string(LIBAVCODEC_VERSION_MAJOR) + "." + std::to_string(LIBAVCODEC_VERSION_MINOR) +
         "." + std::to_string(LIBAVCODEC_VERSION_MICRO) + " / " + avcodec_configuration();
}

}  // namespace le
