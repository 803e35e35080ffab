// Exported entry points of the rendering context.
#include <cstdio>
#include <cstring>
#include <memory>
#include <fstream>
#include <stdexcept>

#include "capi/le_ctx.h"
#include "capi/le_error.h"
#include "compose/le_pool.h"
#include "le/le.h"

using le::capi::CtxFamily;

// Plays a bundle's warp prior movie for a host, without a rendering context.
struct le_prior {
  le::Manifest manifest;
  std::unique_ptr<le::DriverCursor> cursor;
  std::string backend;
};

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
      cursor(le::DriverCursor::open(manifest, 2, 11)),
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

LE_API const unsigned char* le_target_frame(le_ctx* ctx, int i) {
  using R = const unsigned char*;
  return le::capi::guarded<CtxFamily>("le_target_frame", R(nullptr), [&]() -> R {
    if (!ctx || i < 0 || i >= ctx->manifest.nt) {
      le::capi::errorText<CtxFamily>() = "le_target_frame: bad args";
      return nullptr;
    }
    int got = -1;
    return ctx->cursor->pullAt(i, &got);
  });
}

// ---- the warp prior without a renderer ----

LE_API le_prior* le_prior_open(const char* bundle_dir, int lookAhead, int history) {
  return le::capi::guarded<CtxFamily>("le_prior_open", static_cast<le_prior*>(nullptr), [&]() -> le_prior* {
    if (!bundle_dir) {
      le::capi::errorText<CtxFamily>() = "le_prior_open: NULL bundle_dir";
      return nullptr;
    }
    if (lookAhead < 1) lookAhead = 2;
    if (history < 0) history = 0;
    auto p = std::make_unique<le_prior>();
    p->manifest = le::loadManifest(bundle_dir);
    p->cursor = le::DriverCursor::openPrior(p->manifest, lookAhead, history);
    p->backend = p->cursor->name();
    return p.release();
  });
}

LE_API int le_prior_row(le_prior* prior, int si, unsigned char* out, size_t cap) {
  return le::capi::guarded<CtxFamily>("le_prior_row", 0, [&]() -> int {
    if (!prior || !out) {
      le::capi::errorText<CtxFamily>() = "le_prior_row: NULL prior/out";
      return 0;
    }
    const size_t row = prior->cursor->frameBytes();
    if (cap < row) {
      le::capi::errorText<CtxFamily>() =
          "le_prior_row: cap " + std::to_string(cap) + " < row bytes " + std::to_string(row);
      return 0;
    }
    prior->cursor->pullAt(si, out);
    return 1;
  });
}

LE_API size_t le_prior_row_bytes(le_prior* prior) { return prior ? prior->cursor->frameBytes() : 0; }

LE_API const char* le_prior_backend(le_prior* prior) { return prior ? prior->backend.c_str() : ""; }

LE_API void le_prior_close(le_prior* prior) { delete prior; }

// ---- where a bundle and its members are ----

namespace {
// Copies `s` with its terminating zero when it fits; otherwise leaves an empty string.
bool copyOut(const std::string& s, char* dst, size_t dstLen) {
  if (dstLen < s.size() + 1) {
    dst[0] = '\0';
    return false;
  }
  std::memcpy(dst, s.c_str(), s.size() + 1);
  return true;
}
}  // namespace

LE_API int le_bundle_resolve_handle(const char* path, char* dst, size_t dst_len) {
  le::capi::errorText<CtxFamily>().clear();
  if (!path || !dst || dst_len == 0) return -1;
  const int r = le::capi::guarded<CtxFamily>("le_bundle_resolve_handle", -1, [&]() -> int {
    if (!copyOut(le::resolveBundlePath(path), dst, dst_len)) {
      le::capi::errorText<CtxFamily>() = "le_bundle_resolve_handle: buffer too small";
      return -1;
    }
    return 1;
  });
  if (r < 0) dst[0] = '\0';
  return r;
}

// Never touches the error text on success or on a missing member; an unpacking
// failure (which the caller could not otherwise tell from a missing member) is
// reported as -1 with the error text set, as le_bundle_resolve_handle does.
LE_API int le_bundle_resolve_member(const char* bundle, const char* member, char* dst, size_t dst_len) {
  if (!bundle || !member || !dst || dst_len == 0) return -1;
  try {
    const std::string path = le::resolveMember(le::resolveBundlePath(bundle), member);
    if (!copyOut(path, dst, dst_len)) return -1;
    return std::ifstream(path, std::ios::binary).is_open() ? 1 : 0;
  } catch (const std::exception& e) {
    dst[0] = '\0';
    try { le::capi::setErr<CtxFamily>("le_bundle_resolve_member", e.what()); } catch (...) {}
  } catch (...) {
    dst[0] = '\0';
  }
  return -1;
}

}  // extern "C"
