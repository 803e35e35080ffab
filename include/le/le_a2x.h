/* le_core: the streaming audio-to-expression engine.
 *
 * Audio is mono float at 16 000 Hz; one frame is 640 samples (40 ms, 25 fps).
 * Per frame the engine hands out the source frame index, the source keypoints
 * (63 floats) and the driving keypoints (63 floats). Failures set the calling
 * thread's le_a2x_last_error() text. */
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
/* Appends n samples (n <= 0 does nothing); 1, or 0 on failure (also after finish). */
LE_API int le_a2x_push(le_a2x* e, const float* samples, int n);
/* Marks the end of the utterance's audio. */
LE_API void le_a2x_finish(le_a2x* e);
/* After finish: ceil(samples / 640); before: -1. */
LE_API int le_a2x_total(le_a2x* e);
/* Advances by a bounded step and returns the frames ready to pull. A failed
 * computation adds no frames and sets "le_a2x extend: ..." as the error text. */
LE_API int le_a2x_avail(le_a2x* e);
/* Up to n frames: si[k], xs and xd (63 floats per frame each); returns the count. */
LE_API int le_a2x_pull(le_a2x* e, int* si, float* xs, float* xd, int n);
/* As le_a2x_pull, plus one wn value per frame (0 without such an encoder output). */
LE_API int le_a2x_pull_wn(le_a2x* e, int* si, float* xs, float* xd, float* wn, int n);
/* A whole clip offline (the streaming state is untouched): out receives
 * frames x 63 deltas, cap is its capacity in frames. Returns the frame count;
 * -1 on failure, -2 when cap is below the frame count. */
LE_API int le_a2x_deltas(le_a2x* e, const float* audio, int n, float* out, int cap);
/* As le_a2x_deltas, plus cap wn values (zero-padded); -3 without a wn output. */
LE_API int le_a2x_deltas_wn(le_a2x* e, const float* audio, int n, float* out, float* wn, int cap);
/* New utterance; start < 0 continues the source walk where it stands. Returns
 * the direction (+1 or -1). loop 0 bounces between the ends of the loop. */
LE_API int le_a2x_reset(le_a2x* e, int start, int dir, int loop);
LE_API void le_a2x_set_eager(le_a2x* e, int eager);
/* Delta columns served (63) and the number of source frames (rows of xs_target.bin). */
LE_API int le_a2x_width(le_a2x* e);
LE_API int le_a2x_nt(le_a2x* e);
/* Loads the shared feature extractor ahead of time (NULL: $W2V_ONNX); 1 or 0. */
LE_API int le_a2x_preload_w2v(const char* path);
/* The calling thread's error text of this family; "" after a success. */
LE_API const char* le_a2x_last_error(void);
/* Frees the engine; the shared extractor stays loaded. NULL does nothing. */
LE_API void le_a2x_destroy(le_a2x* e);

#ifdef __cplusplus
}
#endif

#endif /* LE_LE_A2X_H */
