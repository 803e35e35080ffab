// The rendering context behind the opaque le_ctx handle.
#pragma once

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "bundle/le_bundle.h"
#include "compose/le_paste.h"
#include "driver/le_driver.h"
#include "render/le_renderer.h"

struct le_ctx {
  // Members are built in declaration order and released in reverse, so a
  // context that fails half-way leaves nothing behind.
  le::Manifest manifest;
  le::Identity identity;
  le::Drive drive;
  std::unique_ptr<le::Renderer> renderer;  // the director; built by the first render
  std::unique_ptr<le::Paste> paste;        // compositor, owns the crop*crop paste mask
  int32_t threads = 0;          // intra-op workers for the director session
  std::string ep;               // execution provider; empty for the CPU
  bool threadsGiven = false;    // the host chose `threads` itself
  std::string modelKey;         // director "model_" + key + ".onnx"
  std::unique_ptr<le::DriverCursor> cursor;  // driver video, decoded ahead on its own thread
  std::vector<uint8_t> frameRGB;   // W*H*3, the frame le_paste_last returns
  const float* lastCrop = nullptr; // renderer-owned; NULL until the first render

  le_ctx(const std::string& bundleDir, const std::string& key, int32_t threadCount,
         bool given, std::string provider);
  le_ctx(const le_ctx&) = delete;
  le_ctx& operator=(const le_ctx&) = delete;
};

namespace le {
// Reads the first crop*crop bytes of the bundle's paste mask; "mask read failed"
// when the member is missing or shorter.
std::vector<uint8_t> readPasteMask(const Manifest& m);

// The context's director, built on first use with the context's model key and
// execution provider. When the host chose neither a thread count nor a
// provider, it gets at most 2 intra-op threads (and says so): the live
// pipeline runs it beside its own threads.
Renderer& director(le_ctx& ctx);

// Driver frame i with `crop` pasted on it (the transform M(i), scale 255),
// written to `out` (W*H*3 bytes): the same bytes as copying the frame out of
// the cursor and compositing onto the copy, without the separate copy.
void pasteDriverFrame(le_ctx& ctx, int i, const float* crop, unsigned char* out);
}
