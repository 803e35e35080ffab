/* le_core: real-time talking-head rendering on the CPU.
 *
 * The rendering context: create it from an identity bundle, read the identity's
 * figures, destroy it. Every function that can fail clears the calling thread's
 * error text on entry and, on failure, stores "<function>: <reason>" there and
 * returns NULL or 0; nothing ever throws across this interface. */
#ifndef LE_LE_H
#define LE_LE_H

#include <stddef.h>

#if defined(__GNUC__)
#define LE_API __attribute__((visibility("default")))
#else
#define LE_API
#endif

#ifdef __cplusplus
extern "C" {
#endif

/* Opaque rendering context of one identity. */
typedef struct le_ctx le_ctx;

/* bundle_dir: a bundle directory, an IMX container file, or the stem of either.
 * model_key: the director model key ("b1" opens model_b1.onnx). threads < 1 lets
 * the library choose. ep: execution provider name, NULL for the CPU. */
LE_API le_ctx* le_create(const char* bundle_dir, const char* model_key, int threads, const char* ep);
LE_API void le_destroy(le_ctx* ctx);

/* The calling thread's error text of this family; "" after a success. Valid until
 * the next le_ call on the same thread. */
LE_API const char* le_last_error(void);

/* Identity figures; 0 for a NULL context. */
LE_API int le_nt(le_ctx* ctx);          /* frames in the identity loop */
LE_API int le_width(le_ctx* ctx);       /* full-frame width, pixels */
LE_API int le_height(le_ctx* ctx);      /* full-frame height, pixels */
LE_API int le_crop(le_ctx* ctx);        /* side of the square face crop, pixels */
LE_API int le_drive_frames(le_ctx* ctx);/* rows of the recorded drive */

/* Keypoint rows per keypoint set (each row 3 floats): always 21. */
LE_API int le_host_kp_rows(void);

/* Driver frame i (0 <= i < le_nt) as W*H*3 bytes of RGB, rows top to bottom.
 * The pointer stays valid until 12 further driver frames have been taken from
 * this context (or le_destroy). NULL on failure. */
LE_API const unsigned char* le_target_frame(le_ctx* ctx, int i);

/* Rendering. A crop is 3 planes (R, G, B) of crop*crop floats, channel-first,
 * rows top to bottom, nominally in [0, 1]. A keypoint set is 63 floats (21 rows
 * of x, y, z). The director is opened by the first render. A returned crop
 * points into the context and stays valid until the next render on it. */
LE_API const float* le_render_kp_crop(le_ctx* ctx, int si, const float* kp_source, const float* kp_driving);
/* Renders row `row` (0 <= row < le_drive_frames) of the bundle's recorded drive. */
LE_API const float* le_render_drive_crop(le_ctx* ctx, int row);

/* Pasting: crop onto driver frame i (0 <= i < le_nt) with the identity's transform
 * for i. le_paste_crop writes W*H*3 bytes of RGB into out (1 or 0);
 * le_paste_last pastes the last rendered crop into the context's own frame and
 * returns it (valid until the next paste on the context), NULL on failure. */
LE_API int le_paste_crop(le_ctx* ctx, int i, const float* crop, unsigned char* out, size_t out_len);
LE_API const unsigned char* le_paste_last(le_ctx* ctx, int i);

/* Render and paste in one call; out receives W*H*4 bytes of RGBA, alpha 255.
 * 1 or 0. The render happens before out_len is examined. */
LE_API int le_render_kp_rgba(le_ctx* ctx, int si, const float* kp_source, const float* kp_driving,
                             unsigned char* out, size_t out_len);
LE_API int le_render_drive_rgba(le_ctx* ctx, int row, unsigned char* out, size_t out_len);

/* The warp prior: a bundle's source frames played from its movie member,
 * without a rendering context. A row is three planes (R, G, B) of crop*crop
 * IEEE half floats in [0, 1]. lookAhead < 1 means 2; history < 0 means 0. */
typedef struct le_prior le_prior;
LE_API le_prior* le_prior_open(const char* bundle_dir, int lookAhead, int history);
LE_API int le_prior_row(le_prior* prior, int si, unsigned char* out, size_t cap); /* 1 or 0 */
LE_API size_t le_prior_row_bytes(le_prior* prior);   /* 0 for NULL */
LE_API const char* le_prior_backend(le_prior* prior); /* "" for NULL */
LE_API void le_prior_close(le_prior* prior);

/* Where a bundle lives: the directory that bundle_dir (directory, container or
 * stem of either) resolves to, unpacking a container once if needed.
 * 1 on success; -1 on failure (dst then holds ""). */
LE_API int le_bundle_resolve_handle(const char* path, char* dst, size_t dst_len);

/* The path of a member (under its requested name, else its descriptive alias).
 * 1 when the member exists, 0 when it does not (dst holds the requested path),
 * -1 on bad arguments, a too-small buffer or a bundle that cannot be resolved;
 * only the last case sets le_last_error(). */
LE_API int le_bundle_resolve_member(const char* bundle, const char* member, char* dst, size_t dst_len);

#ifdef __cplusplus
} /* extern "C" */

namespace le {
/* Rows of a host keypoint set; a director that declares another count is refused. */
inline constexpr int kHostKpRows = 21;
}
#endif

#endif /* LE_LE_H */
