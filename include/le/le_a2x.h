/* le_core: the streaming audio-to-expression engine.
 *
 * Audio is mono float at 16 000 Hz; one frame is 640 samples (40 ms, 25 fps).
 * Per frame the engine hands out the source frame index, the source keypoints
 * (63 floats) and the driving keypoints (63 floats). Handles, threads, NULL
 * handles, return values and error texts: see the contract at the top of le.h. */
#ifndef LE_LE_A2X_H
#define LE_LE_A2X_H

#include "le/le.h"

#ifdef __cplusplus
extern "C" {
#endif

typedef struct le_a2x le_a2x;

/* dir: the engine directory (a2x_meta.json, a2x_pos.f32, a2x_norm.f32,
 * xs_target.bin, a2x_enc_stream.onnx, a2x_dec.onnx); the feature extractor is
 * named by $W2V_ONNX. threads < 1 lets the library choose. NULL on failure. */
LE_API le_a2x* le_a2x_create(const char* dir, int threads);
/* Appends n samples (n <= 0 does nothing, samples may then be NULL); non-finite
 * samples count as silence. 1, or 0 on failure: NULL samples, or a push after
 * finish (until le_a2x_reset). */
LE_API int le_a2x_push(le_a2x* e, const float* samples, int n);
/* Marks the end of the utterance's audio. */
LE_API void le_a2x_finish(le_a2x* e);
/* After finish: ceil(samples / 640); before: -1; -1 on failure. */
LE_API int le_a2x_total(const le_a2x* e);
/* Advances by a bounded step and returns the frames ready to pull; -1 on
 * failure. A failed computation adds no frames: the call still returns the
 * frames ready and the error text becomes "le_a2x extend: <reason>". */
LE_API int le_a2x_avail(le_a2x* e);
/* Computes as needed, as le_a2x_avail does, then hands out up to n frames:
 * si[k], xs and xd (63 floats per frame each; any of the three may be NULL to
 * skip it). Returns the count (0 for n <= 0), -1 on failure. */
LE_API int le_a2x_pull(le_a2x* e, int* si, float* xs, float* xd, int n);
/* As le_a2x_pull, plus one wn value per frame (0 without such an encoder output;
 * wn may be NULL). */
LE_API int le_a2x_pull_wn(le_a2x* e, int* si, float* xs, float* xd, float* wn, int n);
/* A whole clip offline (the streaming state is untouched): out receives
 * frames x 63 deltas, cap is its capacity in frames; non-finite samples count
 * as silence. Returns the frame count ceil(n / 640); -1 on failure (NULL audio
 * or out where needed, negative n or cap), -2 when cap is below the frame
 * count (nothing is computed). */
LE_API int le_a2x_deltas(le_a2x* e, const float* audio, int n, float* out, int cap);
/* As le_a2x_deltas, plus cap wn values (zero-padded); -3 without a wn output,
 * which is checked before the arguments. */
LE_API int le_a2x_deltas_wn(le_a2x* e, const float* audio, int n, float* out, float* wn, int cap);
/* New utterance; start < 0 continues the source walk where it stands. Returns
 * the direction (+1 or -1), 0 on failure. loop 0 bounces between the ends of
 * the loop. */
LE_API int le_a2x_reset(le_a2x* e, int start, int dir, int loop);
LE_API void le_a2x_set_eager(le_a2x* e, int eager);
/* Delta columns served (63) and the number of source frames (rows of
 * xs_target.bin); 0 on failure. */
LE_API int le_a2x_width(const le_a2x* e);
LE_API int le_a2x_nt(const le_a2x* e);
/* Loads the shared feature extractor ahead of time (NULL: $W2V_ONNX); 1 or 0. */
LE_API int le_a2x_preload_w2v(const char* path);
/* The family's error text. */
LE_API const char* le_a2x_last_error(void);
/* Frees the engine; the shared extractor stays loaded. */
LE_API void le_a2x_destroy(le_a2x* e);

#ifdef __cplusplus
}
#endif

#endif /* LE_LE_A2X_H */
