// Exported entry points of the rendering context.
#include <cstdio>
#include <fstream>
#include <stdexcept>

#include "capi/le_ctx.h"
#include "capi/le_error.h"
#include "compose/le_pool.h"
#include "le/le.h"

using le::capi::CtxFamily;

namespace le {

std::vector<uint8_t> readPasteMask(const Manifest& m) {
  const size_t n = size_t(m.crop) * size_t(m.crop);
  std::vector<uint8_t> mask(n, 0);
  std::ifstream f(resolveMember(m.dir, "mask_512.u8"), std::ios::binary);
  if (!f) throw std::runtime_error("mask read failed");
  f.read(reinterpret_cast<char*>(mask.data()), std::streamsize(n));
  if (size_t(f.gcount()) != n) throw std::runtime_error("mask read failed");
  return mask;
}

}  // namespace le

le_ctx::le_ctx(const std::string& bundleDir, const std::string& key, int32_t threadCount,
               bool given, std::string provider)
    : manifest(le::loadManifest(bundleDir)),
      identity(manifest),
      drive(le::loadDrive(manifest)),
      threads(threadCount),
      ep(std::move(provider)),
      threadsGiven(given),
      modelKey(key),
      pasteMask(le::readPasteMask(manifest)),
      frameRGB(size_t(manifest.W) * size_t(manifest.H) * 3, 0) {}

extern "C" {

LE_API le_ctx* le_create(const char* bundle_dir, const char* model_key, int threads, const char* ep) {
  return le::capi::guarded<CtxFamily>("le_create", static_cast<le_ctx*>(nullptr), [&]() -> le_ctx* {
    if (!bundle_dir || !model_key) {
      le::capi::errorText<CtxFamily>() = "le_create: NULL bundle_dir/model_key";
      return nullptr;
    }
    const bool given = threads > 0;
    if (threads < 1) threads = le::pool::threads();
    return new le_ctx(bundle_dir, model_key, threads, given, ep ? ep : "");
  });
}

LE_API void le_destroy(le_ctx* ctx) { delete ctx; }

LE_API const char* le_last_error(void) { return le::capi::errorText<CtxFamily>().c_str(); }

LE_API int le_nt(le_ctx* ctx) { return ctx ? ctx->manifest.nt : 0; }
LE_API int le_width(le_ctx* ctx) { return ctx ? ctx->manifest.W : 0; }
LE_API int le_height(le_ctx* ctx) { return ctx ? ctx->manifest.H : 0; }
LE_API int le_crop(le_ctx* ctx) { return ctx ? ctx->manifest.crop : 0; }
LE_API int le_drive_frames(le_ctx* ctx) { return ctx ? ctx->drive.frames : 0; }
LE_API int le_host_kp_rows(void) { return le::kHostKpRows; }

}  // extern "C"
