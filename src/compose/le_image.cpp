// Image files. See le_image.h.
//
// The stb implementations are compiled static into this unit only: the forge
// (tools/forge) carries its own static copy of stb_image_write, and the
// shared library must not export stb's symbols.
#define STB_IMAGE_STATIC
#define STB_IMAGE_IMPLEMENTATION
// Zeroed allocations: a JPEG whose scans never cover a component leaves that
// plane as stb allocated it, and the picture would show whatever the heap held.
#include <cstdlib>
#define STBI_MALLOC(sz) std::calloc(1, sz)
#define STBI_REALLOC(p, newsz) std::realloc(p, newsz)
#define STBI_FREE(p) std::free(p)
#define STB_IMAGE_WRITE_STATIC
#define STB_IMAGE_WRITE_IMPLEMENTATION
#include "stb_image.h"
#include "stb_image_write.h"

#include "compose/le_image.h"

#include <climits>
#include <cstdio>
#include <cstring>
#include <memory>
#include <stdexcept>

namespace le {

namespace {

// This stb_image builds a Huffman table from its 16 code counts without
// bounding their sum by the 256 symbols the table holds, so a DHT segment that
// declares more writes past the decoder's tables. Every table stb can reach is
// checked first: those of the segments before the first scan, walked as stb
// walks them, and after it any DHT marker at all (coded data never holds one).
bool jpegHuffmanTablesFit(const uint8_t* p, size_t n) {
  size_t at = 0;
  while (at < n && p[at] == 0xFF) ++at;  // stb takes fill bytes before any marker
  if (at == 0 || at >= n || p[at] != 0xD8) return true;  // not a JPEG
  ++at;
  auto tablesFit = [&](size_t seg) {  // the DHT segment whose length field is at seg
    if (seg + 2 > n) return true;
    long left = long(p[seg] << 8 | p[seg + 1]) - 2;
    for (seg += 2; left > 0 && seg < n;) {
      int sum = 0;  // stb reads zeros past the end
      for (size_t i = seg + 1; i <= seg + 16 && i < n; ++i) sum += p[i];
      if (sum > 256) return false;
      seg += 17 + size_t(sum);
      left -= 17 + sum;
    }
    return true;
  };
  bool frame = false;
  for (;;) {
    if (at >= n) return true;
    if (p[at] != 0xFF) {
      if (frame) return true;  // stb refuses the file here
      ++at;                    // before the frame header stb skips to the next 0xFF
      continue;
    }
    while (at < n && p[at] == 0xFF) ++at;
    if (at + 2 >= n) return true;
    const uint8_t marker = p[at++];
    if (marker == 0xDA) break;  // the first scan
    if (marker == 0xD9) return true;
    if (marker >= 0xC0 && marker <= 0xC2) frame = true;
    if (marker == 0xC4 && !tablesFit(at)) return false;
    const size_t length = size_t(p[at] << 8 | p[at + 1]);
    if (length < 2) return true;  // stb refuses every segment this short
    at += length;
  }
  for (; at + 1 < n; ++at)
    if (p[at] == 0xFF && p[at + 1] == 0xC4 && !tablesFit(at + 2)) return false;
  return true;
}

// The whole file, or nothing when it cannot be read or stb must not parse it.
std::vector<uint8_t> readImageFile(const std::string& path) {
  std::vector<uint8_t> file;
  if (std::FILE* f = std::fopen(path.c_str(), "rb")) {
    const long size = std::fseek(f, 0, SEEK_END) == 0 ? std::ftell(f) : -1;
    if (size > 0 && size <= INT_MAX && std::fseek(f, 0, SEEK_SET) == 0) {
      file.resize(size_t(size));
      file.resize(std::fread(file.data(), 1, file.size(), f));
    }
    std::fclose(f);
  }
  if (!file.empty() && !jpegHuffmanTablesFit(file.data(), file.size())) file.clear();
  return file;
}

bool headerSize(const std::vector<uint8_t>& file, int* w, int* h) {
  int iw = 0, ih = 0, comp = 0;
  if (file.empty() || !stbi_info_from_memory(file.data(), int(file.size()), &iw, &ih, &comp)) return false;
  if (w) *w = iw;
  if (h) *h = ih;
  return true;
}

std::vector<uint8_t> decodeRGB(const std::vector<uint8_t>& file, const std::string& path, int* w, int* h) {
  if (file.empty()) throw std::runtime_error("decode failed: " + path);
  int iw = 0, ih = 0, comp = 0;
  std::unique_ptr<stbi_uc, void (*)(void*)> data(
      stbi_load_from_memory(file.data(), int(file.size()), &iw, &ih, &comp, 3), stbi_image_free);
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

}  // namespace

std::vector<uint8_t> loadImageRGB(const std::string& path, int* w, int* h) {
  return decodeRGB(readImageFile(path), path, w, h);
}

std::vector<uint8_t> loadImageRGBSized(const std::string& path, int W, int H, int* w, int* h) {
  const std::vector<uint8_t> file = readImageFile(path);
  int hw = 0, hh = 0;
  if (headerSize(file, &hw, &hh) && (hw != W || hh != H)) {
    if (w) *w = hw;
    if (h) *h = hh;
    return {};
  }
  return decodeRGB(file, path, w, h);
}

bool imageSize(const std::string& path, int* w, int* h) { return headerSize(readImageFile(path), w, h); }

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
