/* le_core: real-time talking-head rendering on the CPU.
 *
 * This header holds the rendering context (le_) and the contract that every
 * family of the interface keeps: le_, le_a2x_, le_motion_, le_fca_, le_utt_,
 * le_stream_ and le_tel_. The other headers refer here and only add what is
 * particular to a function.
 *
 * Handles and memory
 *   A handle is opaque; create/open makes it and only the matching
 *   destroy/close frees it. A buffer passed in stays the caller's: it is used
 *   during the call only, and an output buffer is written only within the
 *   capacity passed with it. A returned pointer is owned by its handle (or is
 *   static) and stays valid as long as its function's comment says, never
 *   beyond the handle's destroy/close.
 *
 * Threads
 *   A handle (context, engine, prior) serves one caller thread at a time: the
 *   host serialises its own calls on it. Different handles may be used on
 *   different threads at once. Error texts are per thread.
 *
 * NULL handles never crash
 *   destroy/close ignore NULL. The figure getters le_nt, le_width, le_height,
 *   le_crop, le_drive_frames, le_prior_row_bytes and le_prior_backend return
 *   0 or "" and never touch the error text. Every other call given a NULL
 *   handle returns its failure value and sets its family's error text: the
 *   fixed text its comment gives (e.g. "le_render_kp_crop: bad args"), else
 *   "<function>: NULL engine" ("NULL pipeline" for le_utt_).
 *
 * Return values
 *   le_         pointers, NULL on failure; success flags 1 / 0; figures, 0 for
 *               a NULL handle; the resolve calls 1 / 0 / -1 as their comments say.
 *   le_a2x_     counts >= 0, -1 on failure (total, avail, pull, pull_wn,
 *               deltas, deltas_wn; total is -1 before finish as its value);
 *               the deltas calls -2 when cap is too small, deltas_wn -3 when
 *               the encoder has no wn output; push and preload_w2v 1 / 0;
 *               reset +1 / -1, 0 on failure; width and nt 0 on failure.
 *   le_motion_  counts >= 0, 0 on failure (total is -1 before finish as its
 *               value); push and finish 1 / 0.
 *   le_fca_     counts >= 0, -1 on failure or when cap is too small.
 *   le_utt_     pointers, NULL on failure; push and pull 1 / 0 (0 also when
 *               no frame is ready, with an empty error text); ready 1 / 0 / -1;
 *               the teeth calls as their comments say (le/le_utt.h).
 *   le_stream_  frames delivered, 0 for nothing to deliver, -1 on failure.
 *   le_tel_     no handle and no error text; 1 / 0 and lengths (le/le_tel.h).
 *
 * Errors
 *   Each family keeps one text per thread, read through le_last_error(),
 *   le_a2x_last_error(), le_motion_last_error(), le_fca_last_error(),
 *   le_utt_last_error() or le_stream_last_error() (the le_prior_ and
 *   le_bundle_ calls belong to le_). A call that can fail clears
 *   it on entry and on failure sets "<function>: <reason>"; a function's
 *   comment states any exception. The returned text is valid until the next
 *   call of that family on the same thread. destroy/close, the figure getters,
 *   le_version, le_host_kp_rows and the last_error calls never touch it.
 *   Nothing throws across this interface. */
#ifndef LE_LE_H
#define LE_LE_H

/* This header's version; le_version() gives the library's. */
#define LE_VERSION_MAJOR 0
#define LE_VERSION_MINOR 1
#define LE_VERSION_PATCH 0

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

/* "MAJOR.MINOR.PATCH" of the library in use (static); a host built against
 * another header can compare it with LE_VERSION_*. */
LE_API const char* le_version(void);

/* bundle_dir: a bundle directory, an IMX container file, or the stem of either.
 * model_key: the director model key ("b1" opens model_b1.onnx). threads < 1 lets
 * the library choose. ep: execution provider name, NULL for the CPU. NULL bundle_dir
 * or model_key: "le_create: NULL bundle_dir/model_key". */
LE_API le_ctx* le_create(const char* bundle_dir, const char* model_key, int threads, const char* ep);
LE_API void le_destroy(le_ctx* ctx);

/* The le_ family's error text (le_create, the context, le_prior_, le_bundle_). */
LE_API const char* le_last_error(void);

/* Identity figures; 0 for a NULL context. */
LE_API int le_nt(const le_ctx* ctx);          /* frames in the identity loop */
LE_API int le_width(const le_ctx* ctx);       /* full-frame width, pixels */
LE_API int le_height(const le_ctx* ctx);      /* full-frame height, pixels */
LE_API int le_crop(const le_ctx* ctx);        /* side of the square face crop, pixels */
LE_API int le_drive_frames(const le_ctx* ctx);/* rows of the recorded drive */

/* Keypoint rows per keypoint set (each row 3 floats): always 21. */
LE_API int le_host_kp_rows(void);

/* Driver frame i (0 <= i < le_nt) as W*H*3 bytes of RGB, rows top to bottom.
 * The pointer stays valid until 12 further driver frames have been taken from
 * this context (le_target_frame and every paste take one; a jump counts the
 * frames it skips) or le_destroy. NULL on failure; a NULL context or i out of
 * range: "le_target_frame: bad args". */
LE_API const unsigned char* le_target_frame(le_ctx* ctx, int i);

/* Rendering. A crop is 3 planes (R, G, B) of crop*crop floats, channel-first,
 * rows top to bottom, nominally in [0, 1]. A keypoint set is 63 floats (21 rows
 * of x, y, z). The director is opened by the first render; a failed opening is
 * tried again by the next render. A returned crop points into the context and
 * stays valid until the next render on it. NULL on failure; a NULL context or
 * keypoint set, or si outside [0, le_nt): "le_render_kp_crop: bad args". */
LE_API const float* le_render_kp_crop(le_ctx* ctx, int si, const float* kp_source, const float* kp_driving);
/* Renders row `row` (0 <= row < le_drive_frames) of the bundle's recorded drive.
 * A NULL context or row out of range: "le_render_drive_crop: bad frame index";
 * a failed render reports as le_render_kp_crop. */
LE_API const float* le_render_drive_crop(le_ctx* ctx, int row);

/* Pasting: crop onto driver frame i (0 <= i < le_nt) with the identity's transform
 * for i. le_paste_crop writes W*H*3 bytes of RGB into out: 1 or 0, refusals
 * "le_paste_crop: bad args / out too small". le_paste_last pastes the last
 * rendered crop into the context's own frame and returns it, valid until the
 * next le_paste_last or RGBA render on the context; NULL on failure, refusals
 * (also before any render) "le_paste_last: bad args / no prior render". */
LE_API int le_paste_crop(le_ctx* ctx, int i, const float* crop, unsigned char* out, size_t out_len);
LE_API const unsigned char* le_paste_last(le_ctx* ctx, int i);

/* Render and paste in one call, onto driver frame si (le_render_drive_rgba: the
 * row's own frame); out receives W*H*4 bytes of RGBA, alpha 255. 1 or 0. The
 * render happens before out_len is examined. A failing step reports under its
 * own name (le_render_kp_crop, le_render_drive_crop, le_paste_last); a NULL or
 * short out: "le_render_*_rgba: out buffer too small". */
LE_API int le_render_kp_rgba(le_ctx* ctx, int si, const float* kp_source, const float* kp_driving,
                             unsigned char* out, size_t out_len);
LE_API int le_render_drive_rgba(le_ctx* ctx, int row, unsigned char* out, size_t out_len);

/* The warp prior: a bundle's source frames played from its movie member,
 * without a rendering context. A row is three planes (R, G, B) of crop*crop
 * IEEE half floats in [0, 1]. lookAhead < 1 means 2; history < 0 means 0.
 * A NULL bundle_dir: "le_prior_open: NULL bundle_dir". */
typedef struct le_prior le_prior;
LE_API le_prior* le_prior_open(const char* bundle_dir, int lookAhead, int history);
/* Row si (0 <= si < the bundle's frame count) into out, which holds cap bytes:
 * 1 or 0; a NULL prior or out: "le_prior_row: NULL prior/out". */
LE_API int le_prior_row(le_prior* prior, int si, unsigned char* out, size_t cap);
LE_API size_t le_prior_row_bytes(const le_prior* prior);   /* bytes of one row; 0 for NULL */
/* The decoder's name, valid until le_prior_close; "" for NULL. */
LE_API const char* le_prior_backend(const le_prior* prior);
LE_API void le_prior_close(le_prior* prior);

/* Where a bundle lives: the directory that path (directory, container or stem
 * of either) resolves to, unpacking a container once if needed. 1 on success;
 * -1 on failure, dst then holding "" when dst_len allows. A NULL path or dst or
 * a zero dst_len leaves the error text empty; a too-small dst or a bundle that
 * cannot be resolved sets it. */
LE_API int le_bundle_resolve_handle(const char* path, char* dst, size_t dst_len);

/* The path of a member (under its requested name, else its descriptive alias).
 * 1 when the member exists, 0 when it does not (dst holds the requested path),
 * -1 on bad arguments, a too-small buffer or a bundle that cannot be resolved,
 * dst then holding "" when dst_len allows. Unlike other calls this one neither
 * clears the error text on entry nor sets it, except for a bundle that cannot
 * be resolved. */
LE_API int le_bundle_resolve_member(const char* bundle, const char* member, char* dst, size_t dst_len);

#ifdef __cplusplus
} /* extern "C" */

namespace le {
/* Rows of a host keypoint set; a director that declares another count is refused. */
inline constexpr int kHostKpRows = 21;
}
#endif

#endif /* LE_LE_H */
