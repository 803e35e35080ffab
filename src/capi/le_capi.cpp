// Exported entry points of the rendering context.
#include <algorithm>
#include <cstdio>
#include <cstring>
#include <memory>
#include <stdexcept>

#include "base/le_error.h"
#include "base/le_file.h"
#include "capi/le_ctx.h"
#include "compose/le_pool.h"
#include "le/le.h"

namespace le::api {
// The rendering context's family (le_create, render, paste, prior, resolve).
struct CtxFamily {};
}  // namespace le::api

using le::api::CtxFamily;

// Plays a bundle's warp prior movie for a host, without a rendering context.
struct le_prior {
  le::Manifest manifest;
  std::unique_ptr<le::DriverCursor> cursor;
  std::string backend;
};

namespace le {

std::vector<uint8_t> readPasteMask(const Manifest& m) {
  const size_t n = size_t(m.crop) * size_t(m.crop);
  try {
    RawFile f(resolveMember(m.dir, "mask_512.u8"));
    // A regular file shorter than crop*crop cannot fill the mask: refused before
    // the mask is sized from the manifest's crop.
    if (!f.regular() || f.size() >= n) {
      std::vector<uint8_t> mask(n, 0);
      if (f.read(mask.data(), n) == n) return mask;  // bytes after the first crop*crop are ignored
    }
  } catch (const std::runtime_error&) {
  }
  throw std::runtime_error("mask read failed");
}

Renderer& director(le_ctx& ctx) {
  if (!ctx.renderer) {
    int workers = ctx.threads;
    if (!ctx.threadsGiven && ctx.ep.empty()) {
      workers = std::min(ctx.threads, 2);
      std::fprintf(stderr,
                   "[le] director intra-op %d of pool %d: the caller did not choose, the core sized it for the "
                   "le_utt pipeline\n",
                   workers, ctx.threads);
    }
    // A throw leaves the context without a renderer; the next call tries again.
    ctx.renderer = std::make_unique<Renderer>(ctx.manifest, ctx.identity, ctx.modelKey, workers, ctx.ep);
  }
  return *ctx.renderer;
}

void pasteDriverFrame(le_ctx& ctx, int i, const float* crop, unsigned char* out) {
  // The driver frame is read in place from the cursor's ring (it stays intact
  // until history + 1 further pulls) and copied into `out` row by row as the
  // crop is blended: one pass over the frame instead of a copy and a blend.
  int got = -1;
  const unsigned char* driver = ctx.cursor->pullAt(i, &got);
  ctx.paste->compositeOnto(driver, crop, 255.f, ctx.identity.M(i), out, ctx.manifest.W, ctx.manifest.H);
}

}  // namespace le

le_ctx::le_ctx(const std::string& bundleDir, const std::string& key, int32_t threadCount,
               bool given, std::string provider)
    : manifest(le::loadManifest(bundleDir)),
      identity(manifest, le::openIdentityPrior),
      drive(le::loadDrive(manifest)),
      // The mask is read and moved into the compositor; threads, ep and key
      // are plain copies, so the order against them is immaterial.
      paste(std::make_unique<le::Paste>(le::readPasteMask(manifest), manifest.crop, manifest.unsharp)),
      threads(threadCount),
      ep(std::move(provider)),
      threadsGiven(given),
      modelKey(key),
      cursor(le::DriverCursor::open(manifest, 2, 11)),
      frameRGB(size_t(manifest.W) * size_t(manifest.H) * 3, 0) {}

extern "C" {

#define LE_STR_(x) #x
#define LE_STR(x) LE_STR_(x)
LE_API const char* le_version(void) {
  // Spelled from the header's macros, so the library and its header cannot disagree.
  static constexpr char kVersion[] =
      LE_STR(LE_VERSION_MAJOR) "." LE_STR(LE_VERSION_MINOR) "." LE_STR(LE_VERSION_PATCH);
  return kVersion;
}
#undef LE_STR
#undef LE_STR_

LE_API le_ctx* le_create(const char* bundle_dir, const char* model_key, int threads, const char* ep) {
  return le::api::guarded<CtxFamily>("le_create", static_cast<le_ctx*>(nullptr), [&]() -> le_ctx* {
    if (!bundle_dir || !model_key) {
      le::api::errorText<CtxFamily>() = "le_create: NULL bundle_dir/model_key";
      return nullptr;
    }
    const bool given = threads > 0;
    if (threads < 1) threads = le::pool::threads();
    return new le_ctx(bundle_dir, model_key, threads, given, ep ? ep : "");
  });
}

LE_API void le_destroy(le_ctx* ctx) { delete ctx; }

LE_API const char* le_last_error(void) { return le::api::errorText<CtxFamily>().c_str(); }

LE_API int le_nt(const le_ctx* ctx) { return ctx ? ctx->manifest.nt : 0; }
LE_API int le_width(const le_ctx* ctx) { return ctx ? ctx->manifest.W : 0; }
LE_API int le_height(const le_ctx* ctx) { return ctx ? ctx->manifest.H : 0; }
LE_API int le_crop(const le_ctx* ctx) { return ctx ? ctx->manifest.crop : 0; }
LE_API int le_drive_frames(const le_ctx* ctx) { return ctx ? ctx->drive.frames : 0; }
LE_API int le_host_kp_rows(void) { return le::kHostKpRows; }

LE_API const unsigned char* le_target_frame(le_ctx* ctx, int i) {
  using R = const unsigned char*;
  return le::api::guarded<CtxFamily>("le_target_frame", R(nullptr), [&]() -> R {
    if (!ctx || i < 0 || i >= ctx->manifest.nt) {
      le::api::errorText<CtxFamily>() = "le_target_frame: bad args";
      return nullptr;
    }
    int got = -1;
    return ctx->cursor->pullAt(i, &got);
  });
}

// ---- render and paste ----

LE_API const float* le_render_kp_crop(le_ctx* ctx, int si, const float* kp_source, const float* kp_driving) {
  using R = const float*;
  return le::api::guarded<CtxFamily>("le_render_kp_crop", R(nullptr), [&]() -> R {
    if (!ctx || !kp_source || !kp_driving || si < 0 || si >= ctx->manifest.nt) {
      le::api::errorText<CtxFamily>() = "le_render_kp_crop: bad args";
      return nullptr;
    }
    const int idx = si;
    const float* crop = le::director(*ctx).render(&idx, kp_source, kp_driving, 1);
    ctx->lastCrop = crop;
    return crop;
  });
}

LE_API const float* le_render_drive_crop(le_ctx* ctx, int row) {
  le::api::errorText<CtxFamily>().clear();
  if (!ctx || row < 0 || row >= ctx->drive.frames) {
    le::api::errorText<CtxFamily>() = "le_render_drive_crop: bad frame index";
    return nullptr;
  }
  const size_t off = size_t(row) * le::kKpFloats;
  return le_render_kp_crop(ctx, ctx->drive.si[size_t(row)], ctx->drive.xs.data() + off, ctx->drive.xd.data() + off);
}

namespace {
size_t frameBytes(const le_ctx* ctx, size_t channels) {
  return size_t(ctx->manifest.W) * size_t(ctx->manifest.H) * channels;
}
}  // namespace

LE_API int le_paste_crop(le_ctx* ctx, int i, const float* crop, unsigned char* out, size_t out_len) {
  return le::api::guarded<CtxFamily>("le_paste_crop", 0, [&]() -> int {
    if (!ctx || !crop || !out || i < 0 || i >= ctx->manifest.nt || out_len < frameBytes(ctx, 3)) {
      le::api::errorText<CtxFamily>() = "le_paste_crop: bad args / out too small";
      return 0;
    }
    le::pasteDriverFrame(*ctx, i, crop, out);
    return 1;
  });
}

LE_API const unsigned char* le_paste_last(le_ctx* ctx, int i) {
  using R = const unsigned char*;
  return le::api::guarded<CtxFamily>("le_paste_last", R(nullptr), [&]() -> R {
    if (!ctx || !ctx->lastCrop || i < 0 || i >= ctx->manifest.nt) {
      le::api::errorText<CtxFamily>() = "le_paste_last: bad args / no prior render";
      return nullptr;
    }
    unsigned char* frame = ctx->frameRGB.data();
    le::pasteDriverFrame(*ctx, i, ctx->lastCrop, frame);
    return frame;
  });
}

namespace {
// Pastes the last crop onto driver frame i and widens it to RGBA in `out`.
int pasteToRGBA(le_ctx* ctx, int i, unsigned char* out, size_t out_len) {
  if (!out || out_len < frameBytes(ctx, 4)) {
    le::api::errorText<CtxFamily>() = "le_render_*_rgba: out buffer too small";
    return 0;
  }
  const unsigned char* rgb = le_paste_last(ctx, i);
  if (!rgb) return 0;
  const size_t pixels = frameBytes(ctx, 1);
  try {
    le::pool::parallelRange(pixels, 1 << 16, [&](size_t b, size_t e) {
      for (size_t p = b; p < e; ++p) {
        out[4 * p] = rgb[3 * p];
        out[4 * p + 1] = rgb[3 * p + 1];
        out[4 * p + 2] = rgb[3 * p + 2];
        out[4 * p + 3] = 255;
      }
    });
  } catch (const std::exception& e) {
    try { le::api::setErr<CtxFamily>("le_render_*_rgba", e.what()); } catch (...) {}
    return 0;
  }
  return 1;
}
}  // namespace

LE_API int le_render_kp_rgba(le_ctx* ctx, int si, const float* kp_source, const float* kp_driving,
                             unsigned char* out, size_t out_len) {
  if (!le_render_kp_crop(ctx, si, kp_source, kp_driving)) return 0;
  return pasteToRGBA(ctx, si, out, out_len);
}

LE_API int le_render_drive_rgba(le_ctx* ctx, int row, unsigned char* out, size_t out_len) {
  if (!le_render_drive_crop(ctx, row)) return 0;
  return pasteToRGBA(ctx, ctx->drive.si[size_t(row)], out, out_len);
}

// ---- the warp prior without a renderer ----

LE_API le_prior* le_prior_open(const char* bundle_dir, int lookAhead, int history) {
  return le::api::guarded<CtxFamily>("le_prior_open", static_cast<le_prior*>(nullptr), [&]() -> le_prior* {
    if (!bundle_dir) {
      le::api::errorText<CtxFamily>() = "le_prior_open: NULL bundle_dir";
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
  return le::api::guarded<CtxFamily>("le_prior_row", 0, [&]() -> int {
    if (!prior || !out) {
      le::api::errorText<CtxFamily>() = "le_prior_row: NULL prior/out";
      return 0;
    }
    const size_t row = prior->cursor->frameBytes();
    if (cap < row) {
      le::api::errorText<CtxFamily>() =
          "le_prior_row: cap " + std::to_string(cap) + " < row bytes " + std::to_string(row);
      return 0;
    }
    prior->cursor->pullAt(si, out);
    return 1;
  });
}

LE_API size_t le_prior_row_bytes(const le_prior* prior) { return prior ? prior->cursor->frameBytes() : 0; }

LE_API const char* le_prior_backend(const le_prior* prior) { return prior ? prior->backend.c_str() : ""; }

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
  le::api::errorText<CtxFamily>().clear();
  if (!path || !dst || dst_len == 0) {
    if (dst && dst_len > 0) dst[0] = '\0';
    return -1;
  }
  const int r = le::api::guarded<CtxFamily>("le_bundle_resolve_handle", -1, [&]() -> int {
    if (!copyOut(le::resolveBundlePath(path), dst, dst_len)) {
      le::api::errorText<CtxFamily>() = "le_bundle_resolve_handle: buffer too small";
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
  if (!bundle || !member || !dst || dst_len == 0) {
    if (dst && dst_len > 0) dst[0] = '\0';
    return -1;
  }
  try {
    const std::string path = le::resolveMember(le::resolveBundlePath(bundle), member);
    if (!copyOut(path, dst, dst_len)) return -1;
    return le::canOpen(path) ? 1 : 0;
  } catch (const std::exception& e) {
    dst[0] = '\0';
    try { le::api::setErr<CtxFamily>("le_bundle_resolve_member", e.what()); } catch (...) {}
  } catch (...) {
    dst[0] = '\0';
  }
  return -1;
}

}  // extern "C"
