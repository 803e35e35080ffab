// The forge's own static copies of stb_image and stb_image_write (the library
// keeps its own, so every symbol here stays local to this translation unit).
#define STB_IMAGE_STATIC
#define STB_IMAGE_IMPLEMENTATION
#define STB_IMAGE_WRITE_STATIC
#define STB_IMAGE_WRITE_IMPLEMENTATION
#if defined(__GNUC__)
#pragma GCC diagnostic push
#pragma GCC diagnostic ignored "-Wunused-function"
#pragma GCC diagnostic ignored "-Wmissing-field-initializers"
#pragma GCC diagnostic ignored "-Wsign-compare"
#endif
#include <stb_image.h>
#include <stb_image_write.h>
#if defined(__GNUC__)
#pragma GCC diagnostic pop
#endif

#include <cstring>
#include <stdexcept>

#include "forge_internal.h"

namespace le::forge::detail {

Image loadImage(const std::string& path) {
  int w = 0, h = 0, n = 0;
  unsigned char* p = stbi_load(path.c_str(), &w, &h, &n, 3);
  if (!p) {
    const char* why = stbi_failure_reason();
    throw std::runtime_error("forge: cannot load image " + path + " (" + (why ? why : "unknown") + ")");
  }
  Image img;
  img.w = w;
  img.h = h;
  img.rgb.assign(p, p + size_t(w) * h * 3);
  stbi_image_free(p);
  return img;
}

void writeJpeg(const std::string& path, const uint8_t* rgb, int w, int h, int quality) {
  if (!stbi_write_jpg(path.c_str(), w, h, 3, rgb, quality))
    throw std::runtime_error("forge: cannot write JPEG " + path);
}

void writePng(const std::string& path, const uint8_t* rgb, int w, int h) {
  if (!stbi_write_png(path.c_str(), w, h, 3, rgb, w * 3))
    throw std::runtime_error("forge: cannot write PNG " + path);
}

}  // namespace le::forge::detail
