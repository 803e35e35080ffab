// Image files. See le_image.h.
//
// The stb implementations are compiled static into this unit only: the forge
// (tools/forge) carries its own static copy of stb_image_write, and the
// shared library must not export stb's symbols.
#define STB_IMAGE_STATIC
#define STB_IMAGE_IMPLEMENTATION
#define STB_IMAGE_WRITE_STATIC
#define STB_IMAGE_WRITE_IMPLEMENTATION
#include "stb_image.h"
#include "stb_image_write.h"

#include "compose/le_image.h"

#include <climits>
#include <cstring>
#include <memory>
#include <stdexcept>

namespace le {

std::vector<uint8_t> loadImageRGB(const std::string& path, int* w, int* h) {
  int iw = 0, ih = 0, comp = 0;
  std::unique_ptr<stbi_uc, void (*)(void*)> data(
      stbi_load(path.c_str(), &iw, &ih, &comp, 3), stbi_image_free);
  if (!data || iw < 0 || ih < 0) throw std::runtime_error("decode failed: " + path);
  // stb does not bound the product; refuse sizes whose byte count overflows.
  const size_t sw = static_cast<size_t>(iw), sh = static_cast<size_t>(ih);
  if (sh != 0 && sw > SIZE_MAX / 3 / sh) throw std::runtime_error("decode failed: " + path);
  if (w) *w = iw;
  if (h) *h = ih;
  const size_t bytes = sw * sh * 3;
  if (bytes == 0) return {};
  return std::vector<uint8_t>(data.get(), data.get() + bytes);
}

bool imageSize(const std::string& path, int* w, int* h) {
  int iw = 0, ih = 0, comp = 0;
  if (!stbi_info(path.c_str(), &iw, &ih, &comp)) return false;
  if (w) *w = iw;
  if (h) *h = ih;
  return true;
}

void writePNG(const std::string& path, const unsigned char* rgb, int w, int h) {
  // stb_image_write computes the row stride and its filtered buffer
  // ((w*3 + 1) * h bytes) in int: refuse what would overflow, and empty
  // images, which PNG cannot hold.
  if (!rgb || w <= 0 || h <= 0 || w > (INT_MAX - 1) / 3 ||
      h > INT_MAX / (w * 3 + 1)) {
    throw std::runtime_error("png write failed: " + path);
  }
  if (!stbi_write_png(path.c_str(), w, h, 3, rgb, w * 3)) {
    throw std::runtime_error("png write failed: " + path);
  }
}

}  // namespace le
