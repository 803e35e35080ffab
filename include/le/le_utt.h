/* le_core: the live utterance pipeline (le_utt) and the clip pipeline (le_stream).
 *
 * Handles, threads, NULL handles, return values and error texts follow the
 * contract at the top of le/le.h; the families here read their texts through
 * le_utt_last_error() and le_stream_last_error().
 *
 * Live pipeline: create it over a rendering context, push speech as it arrives
 * (16-bit mono PCM at 16 000 Hz), pull finished frames (W*H*3 bytes RGB) at any
 * pace. 640 samples of speech make one frame (25 fps). Between utterances the
 * driver video plays on as idle frames, one each time the host has taken
 * everything; after an utterance (or an interrupt) the face eases back to the
 * idle pose over a few ramp frames. Any host thread may call any function; a
 * call never waits for rendering. The context must outlive the pipeline and
 * must not be used by the host while the pipeline runs. */
#ifndef LE_LE_UTT_H
#define LE_LE_UTT_H

#include <stdint.h>

#include "le/le.h"

#ifdef __cplusplus
extern "C" {
#endif

typedef struct le_utt le_utt;

typedef struct le_utt_opts {
  /* Engine directory: the expression engine when it holds a2x_enc_stream.onnx,
   * else the motion engine. Required. */
  const char* motion_dir;
  int threads;               /* audio engine intra-op threads; < 1: the pool size */
  const char* ep;            /* motion engine execution provider; NULL: CPU */
  /* Batched director's model key; NULL or "": "b24_fp32"; "-": none.
   * LE_STEADY_MODEL overrides it. */
  const char* steady_model;
  /* > 0: fixed eager threshold; -2: hybrid (follows the backlog); other
   * values < 1: adaptive, hybrid taken from LE_UTT_HYBRID. */
  int eager;
  double silence_end_s;      /* input ends after this long without a push; 0: 0.6 s; < 0: never */
  int ramp_frames;           /* < 1: 6 */
  int interrupt_ramp_frames; /* < 1: 4 */
} le_utt_opts;

typedef struct le_utt_frame_info {
  uint64_t seq; /* frames made since creation, never reset */
  int kind;     /* 0 idle, 1 speech, 2 ramp */
  int si;       /* driver / source frame index */
  int tag;      /* speech: index within its utterance (0 first); otherwise -1 */
} le_utt_frame_info;

typedef struct le_utt_stats {
  uint64_t frames_pulled;
  uint64_t speech_frames_pulled;
  uint64_t utterances;            /* utterances whose first speech frame was delivered */
  double first_frame_latency_ms;  /* latest utterance: first push to first speech frame delivered */
  double render_ms_avg;           /* per speech frame, running average (0.9 old + 0.1 new) */
  int state;                      /* 0 idle, 1 audio arriving, 2 speaking, 3 ramping */
} le_utt_stats;

/* NULL ctx or opts: "le_utt_create: NULL ctx/opts"; no motion_dir:
 * "le_utt_create: opts.motion_dir required". The audio engine loads on a thread
 * of the pipeline's own: poll le_utt_ready. */
LE_API le_utt* le_utt_create(le_ctx* ctx, const le_utt_opts* opts);
/* le_utt_create with every option at its default but motion_dir. */
LE_API le_utt* le_utt_open(le_ctx* ctx, const char* motion_dir);
/* 1 ready, 0 warming, -1 the audio engine failed to load (its text is then the
 * error text); -1 for NULL. Audio pushed before 1 is discarded. */
LE_API int le_utt_ready(le_utt* u);
/* Appends n samples (n = 0 still counts as a push for the silence timeout).
 * 1, or 0 with "le_utt_push_audio: bad args". */
LE_API int le_utt_push_audio(le_utt* u, const int16_t* samples, int n);
/* The current utterance's audio is complete. */
LE_API void le_utt_end_utterance(le_utt* u);
/* Drops pending audio and every frame not yet pulled; no frame made before the
 * call is delivered after it. The face ramps back from the last frame pulled. */
LE_API void le_utt_interrupt(le_utt* u);
/* Frames ready to pull (0..8). */
LE_API int le_utt_frames_available(le_utt* u);
/* Copies the next frame (W*H*3 bytes) into dst and fills info (may be NULL):
 * 1. No frame ready: 0 with an empty error text. cap too small: 0 with
 * "le_utt_pull_frame: buffer too small", the frame stays queued. NULL dst:
 * "le_utt_pull_frame: bad args". */
LE_API int le_utt_pull_frame(le_utt* u, void* dst, size_t cap, le_utt_frame_info* info);
/* Copies the statistics; nothing when either pointer is NULL. */
LE_API void le_utt_get_stats(le_utt* u, le_utt_stats* stats);
/* The latest render failure ("ep=<provider> <stage>: <message>", cut to len - 1
 * bytes) and the failure count (either may be NULL); -1 once a failure has
 * disabled speech rendering, else 0. */
LE_API int le_utt_render_status(le_utt* u, char* buf, int len, uint64_t* failures);
/* The borrowed-teeth stage. Arming copies a message into err (cut to
 * err_len - 1 bytes) and returns 1 on refusal, 0 when armed. */
LE_API int le_utt_tessera_attach(le_utt* u, const uint8_t* bank, int n_donors, const double* cent,
                                 const double* c_canon, const double* aperture, const int32_t* stamp,
                                 const uint8_t* head_pt, int head_pt_len, const char* head_json,
                                 const char* manifest_json, char* err, int err_len);
/* 0 when no teeth stage is attached, 1 attached and healthy, -1 failed. */
LE_API int le_utt_tessera_stats(le_utt* u, uint64_t* composed, uint64_t* passed, char* buf, int len);
/* 1 with the pass's accumulated weight figures once it has synthesised a frame, else 0. */
LE_API int le_utt_tessera_synth_w(le_utt* u, double* mean, uint64_t* last, int64_t* count);
/* The teeth stage's geometry description; 1 when attached. NULL buf or len < 1: 0. */
LE_API int le_utt_tessera_geometry(le_utt* u, char* buf, int len);
LE_API const char* le_utt_last_error(void);
/* Stops and joins every thread (in any state), then frees. NULL does nothing. */
LE_API void le_utt_destroy(le_utt* u);

/* Clip pipeline: a whole speech clip (float mono 16 000 Hz) rendered to frames
 * handed to a callback, in order, on the calling thread. */
typedef struct le_stream le_stream;
/* frame: the frame's index among delivered frames; rgb: W*H*3 bytes, valid
 * during the call only. */
typedef void (*le_stream_frame_fn)(void* user, int frame, const unsigned char* rgb, int w, int h);

/* bundle: the identity bundle (director "render", whole-clip model
 * fca_stream.onnx beside it); extractor_path: the speech feature extractor.
 * The first `skip` frames are not delivered; gain scales the deltas. */
LE_API le_stream* le_stream_create(const char* bundle, const char* extractor_path, int threads, int skip,
                                   float gain);
/* Frames delivered, 0 when there is nothing to deliver, -1 on failure. */
LE_API int le_stream_run(le_stream* s, const float* audio, int n, le_stream_frame_fn fn, void* user);
LE_API int le_stream_width(const le_stream* s);
LE_API int le_stream_height(const le_stream* s);
LE_API const char* le_stream_last_error(void);
LE_API void le_stream_destroy(le_stream* s);

#ifdef __cplusplus
}
#endif

#endif /* LE_LE_UTT_H */
