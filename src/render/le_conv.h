// The fp16 NEON convolution backend hook. A build for a processor with NEON
// half-precision arithmetic may serve the director without ONNX Runtime; this
// x86-64 build has no such backend, so the hook only says so.
#pragma once

#include <memory>
#include <string>

namespace le {

class ConvBackend {
 public:
  virtual ~ConvBackend() = default;

  // Whether this build and processor can run the backend at all.
  static bool available();
  // Opens the director at modelPath with `threads` workers; throws
  // "le_conv: built without NEON fp16 support" on a build without the backend.
  static std::unique_ptr<ConvBackend> create(const std::string& modelPath, int threads);
  // Whether the backend can serve this graph; false on a build without it.
  static bool graphSupported(const std::string& modelPath);

 protected:
  ConvBackend() = default;
};

}  // namespace le
