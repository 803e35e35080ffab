// Image files, packed 8-bit RGB, over stb_image / stb_image_write.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

namespace le {

// Decodes any file stb_image reads (JPEG, PNG, ...) as 3-channel RGB, rows top
// to bottom, no padding; stores the size in *w and *h (either may be null).
// Throws std::runtime_error "decode failed: " + path.
std::vector<uint8_t> loadImageRGB(const std::string& path, int* w, int* h);

// As loadImageRGB, but decodes only an image whose header says W x H: any other
// size is returned in *w and *h with no pixels, so a wrong (or absurd) size
// costs no decoding.
std::vector<uint8_t> loadImageRGBSized(const std::string& path, int W, int H, int* w, int* h);

// The size an image file's header declares, without decoding the pixels. False
// when the file cannot be read or is not an image.
bool imageSize(const std::string& path, int* w, int* h);

// Writes w*h RGB pixels (rows of w*3 bytes) as a PNG file.
// Throws std::runtime_error "png write failed: " + path.
void writePNG(const std::string& path, const unsigned char* rgb, int w, int h);

}  // namespace le
