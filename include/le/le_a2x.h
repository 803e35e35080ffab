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

LE_API le_a2x* le_a2x_create(const char* dir, int threads);
LE_API int le_a2x_push(le_a2x* e, const float* samples, int n);
LE_API void le_a2x_finish(le_a2x* e);
LE_API int le_a2x_total(le_a2x* e);
LE_API int le_a2x_avail(le_a2x* e);
LE_API int le_a2x_pull(le_a2x* e, int* si, float* xs, float* xd, int n);
LE_API int le_a2x_pull_wn(le_a2x* e, int* si, float* xs, float* xd, float* wn, int n);
LE_API int le_a2x_deltas(le_a2x* e, const float* audio, int n, float* out, int cap);
LE_API int le_a2x_deltas_wn(le_a2x* e, const float* audio, int n, float* out, float* wn, int cap);
LE_API int le_a2x_reset(le_a2x* e, int start, int dir, int loop);
LE_API void le_a2x_set_eager(le_a2x* e, int eager);
LE_API int le_a2x_width(le_a2x* e);
LE_API int le_a2x_nt(le_a2x* e);
LE_API int le_a2x_preload_w2v(const char* path);
LE_API const char* le_a2x_last_error(void);
LE_API void le_a2x_destroy(le_a2x* e);

#ifdef __cplusplus
}
#endif

#endif /* LE_LE_A2X_H */
