// The driver's JPEG frame reader over hostile frame files: any file either
// gives the frame of the manifest's size, the very pixels the image decoder
// reads, or is refused with a std::runtime_error.
#include <cstdint>
#include <cstring>
#include <memory>
#include <stdexcept>
#include <string>
#include <string_view>
#include <vector>

#include "compose/le_image.h"
#include "driver/le_driver.h"
#include "fuzz_util.h"
#include "jpg_geometry.h"

namespace {

using le::fuzz::fail;
using le::fuzz::kJpgH;
using le::fuzz::kJpgW;

std::string gDir, gFrame;

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
  gDir = le::fuzz::makeScratch("jpg-frame");
  gFrame = le::driver::frameFile(gDir, 0);
  return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  le::fuzz::writeWhole(gFrame, std::string_view(reinterpret_cast<const char*>(data), size));
  le::driver::JpgDirSource src(gDir, 1, kJpgW, kJpgH);
  const size_t bytes = src.frameBytes();
  if (bytes != size_t(kJpgW) * kJpgH * 3) fail("jpg_frame", "frameBytes is not W*H*3");
  // Exact size, so that a write past the frame is an ASan report.
  std::unique_ptr<uint8_t[]> frame(new uint8_t[bytes]);
  try {
    if (!src.next(frame.get())) fail("jpg_frame", "no frame from a one-frame member");
  } catch (const std::runtime_error&) {
    return 0;  // the refusal path
  }
  int w = 0, h = 0;
  const std::vector<uint8_t> rgb = le::loadImageRGB(gFrame, &w, &h);
  if (w != kJpgW || h != kJpgH || rgb.size() != bytes || std::memcmp(rgb.data(), frame.get(), bytes) != 0)
    fail("jpg_frame", "the frame is not the decoder's picture");
  if (src.next(frame.get())) fail("jpg_frame", "a second frame from a one-frame member");
  return 0;
}
