/* le_core: the whole-clip keypoint delta engine.
 *
 * A complete speech clip in (mono float32 at 16 000 Hz), one 63-float keypoint
 * delta per 25 fps frame out (640 samples per frame), in a single call; the
 * engine keeps nothing between calls. Handles, threads, NULL handles, return
 * values and error texts: see the contract at the top of le.h. */
#ifndef LE_LE_FCA_H
#define LE_LE_FCA_H

#include "le/le.h"

#ifdef __cplusplus
extern "C" {
#endif

typedef struct le_fca le_fca;

/* extractor_path: the speech feature extractor model; model_path: the recurrent
 * delta model. threads < 1: the library's worker count. NULL on failure. */
LE_API le_fca* le_fca_create(const char* extractor_path, const char* model_path, int threads);
/* n samples of audio in; T = ceil(n / 640) frames. n < 1: 0. cap < T: -1 (nothing
 * run). Otherwise writes T x 63 floats to out and returns T; -1 on failure, with
 * out left untouched. Non-finite samples count as silence. A NULL engine is
 * refused before n is looked at. */
LE_API int le_fca_deltas(le_fca* e, const float* audio, int n, float* out, int cap);
/* The family's error text. */
LE_API const char* le_fca_last_error(void);
LE_API void le_fca_destroy(le_fca* e);

#ifdef __cplusplus
}
#endif

#endif /* LE_LE_FCA_H */
