/* le_core: the streaming motion engine.
 *
 * Speech audio in (mono float32 at 16 000 Hz, pushed in pieces), per-frame face
 * keypoints out at 25 frames per second (640 samples per frame): the identity
 * frame to draw from, its 21 source keypoints and 21 driving keypoints (63 floats
 * each). One object serves one caller thread at a time. Failures clear/set the
 * calling thread's text behind le_motion_last_error(); nothing throws across this
 * interface. A NULL engine is accepted everywhere and does nothing (or returns 0). */
#ifndef LE_LE_MOTION_H
#define LE_LE_MOTION_H

#include "le/le.h"

#ifdef __cplusplus
extern "C" {
#endif

typedef struct le_motion le_motion;

/* motion_dir: the motion engine directory. threads <= 0: the library's worker
 * count. ep: NULL or "" for the CPU. NULL on failure. */
LE_API le_motion* le_motion_create(const char* motion_dir, int threads, const char* ep);
/* Appends n samples; 1 on success, 0 for bad arguments or after le_motion_finish. */
LE_API int le_motion_push(le_motion* m, const float* samples, int n);
/* Marks the end of input: the total becomes ceil(samples / 640) frames. 1 on success. */
LE_API int le_motion_finish(le_motion* m);
/* Runs the work the pushed audio allows; frames le_motion_pull would yield now. */
LE_API int le_motion_avail(le_motion* m);
/* Writes up to n frames: si[k] (si may be NULL), 63 floats of xs and of xd per
 * frame. Returns the number written, 0 on failure. */
LE_API int le_motion_pull(le_motion* m, int* si, float* xs, float* xd, int n);
/* Forgets the utterance; the source walk restarts at start (clamped), going
 * backwards when dir < 0, wrapping when loop != 0. */
LE_API void le_motion_reset(le_motion* m, int start, int dir, int loop);
/* 0: off; > 0: a provisional pass every `eager` frames of new audio; < 0: adaptive. */
LE_API void le_motion_set_eager(le_motion* m, int eager);
/* Total frames after le_motion_finish, else -1. */
LE_API int le_motion_total(le_motion* m);
/* Frames in the identity loop. */
LE_API int le_motion_nt(le_motion* m);
LE_API const char* le_motion_last_error(void);
LE_API void le_motion_destroy(le_motion* m);

#ifdef __cplusplus
}
#endif

#endif /* LE_LE_MOTION_H */
