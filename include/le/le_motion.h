/* le_core: the streaming motion engine.
 *
 * Speech audio in (mono float32 at 16 000 Hz, pushed in pieces), per-frame face
 * keypoints out at 25 frames per second (640 samples per frame): the identity
 * frame to draw from, its 21 source keypoints and 21 driving keypoints (63 floats
 * each). Handles, threads, NULL handles, return values and error texts: see the
 * contract at the top of le.h. */
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
/* Appends n samples, clamped to [-1, 1], non-finite ones as silence. 1 on
 * success; 0 for a NULL engine or samples, n < 0, or after le_motion_finish
 * (until le_motion_reset): "le_motion_push: bad args / already finished". */
LE_API int le_motion_push(le_motion* m, const float* samples, int n);
/* Marks the end of input: the total becomes ceil(samples / 640) frames. 1 on
 * success, 0 on failure. */
LE_API int le_motion_finish(le_motion* m);
/* Runs the work the pushed audio allows; frames le_motion_pull would yield now,
 * 0 on failure. */
LE_API int le_motion_avail(le_motion* m);
/* Runs the work as le_motion_avail does, then writes up to n frames: si[k] (si
 * may be NULL), 63 floats of xs and of xd per frame. Returns the number written,
 * 0 on failure; a NULL engine, xs or xd, or n <= 0: "le_motion_pull: bad args". */
LE_API int le_motion_pull(le_motion* m, int* si, float* xs, float* xd, int n);
/* Forgets the utterance and turns eager mode off; the source walk restarts at
 * start (clamped), going backwards when dir < 0, wrapping when loop != 0. */
LE_API void le_motion_reset(le_motion* m, int start, int dir, int loop);
/* 0: off; > 0: a provisional pass every `eager` frames of new audio; < 0: adaptive. */
LE_API void le_motion_set_eager(le_motion* m, int eager);
/* Total frames after le_motion_finish, else -1; 0 on failure. */
LE_API int le_motion_total(const le_motion* m);
/* Frames in the identity loop; 0 on failure. */
LE_API int le_motion_nt(const le_motion* m);
/* The family's error text. */
LE_API const char* le_motion_last_error(void);
LE_API void le_motion_destroy(le_motion* m);

#ifdef __cplusplus
}
#endif

#endif /* LE_LE_MOTION_H */
