/* live_host: a small live host of le_core, in C.
 *
 *   live_host BUNDLE ENGINE_DIR SPEECH.wav OUT_DIR
 *
 * The speech (16-bit PCM, mono, 16 kHz WAV) goes in 20 ms at a time, at the pace
 * it is spoken; frames are pulled at 25 fps, as a player would show them, and
 * written to OUT_DIR as binary PPM files named by order and kind
 * (000012_speech.ppm). The host stops once every speech frame, ceil(samples /
 * 640), and the ramp back to idle have arrived, and prints one summary line.
 * Exit 0; on any failure one line on stderr and exit 1. */
#define _POSIX_C_SOURCE 200809L

#include <errno.h>
#include <stdint.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/stat.h>
#include <time.h>

#include "le/le.h"
#include "le/le_utt.h"

enum { kRate = 16000, kPiece = kRate / 50, kHop = 640 };
static const double kPushMs = 20.0;
static const double kPullMs = 40.0;
/* Generous bounds, so that a broken engine or bundle can never hang the host. */
static const double kReadyMs = 300e3;  /* the audio engine loads on a thread of its own */
static const double kStallMs = 120e3;  /* longest wait for the next speech or ramp frame */

static const char* kKind[3] = {"idle", "speech", "ramp"};

static double now_ms(void) {
  struct timespec t;
  clock_gettime(CLOCK_MONOTONIC, &t);
  return (double)t.tv_sec * 1e3 + (double)t.tv_nsec / 1e6;
}

static void sleep_ms(double ms) {
  if (ms <= 0) return;
  struct timespec t;
  t.tv_sec = (time_t)(ms / 1e3);
  t.tv_nsec = (long)((ms - (double)t.tv_sec * 1e3) * 1e6);
  nanosleep(&t, NULL);
}

static int fail(const char* what, const char* why) {
  fprintf(stderr, "live_host: %s: %s\n", what, why && *why ? why : "failed (no reason given)");
  return 1;
}

static unsigned le16(const unsigned char* p) { return (unsigned)p[0] | (unsigned)p[1] << 8; }
static unsigned long le32(const unsigned char* p) {
  return (unsigned long)le16(p) | (unsigned long)le16(p + 2) << 16;
}

/* Reads the whole of a 16-bit PCM mono 16 kHz WAV into *samples. 1, or 0 with
 * the reason in err. */
static int read_wav(const char* path, int16_t** samples, size_t* n, char* err, size_t errlen) {
  FILE* f = fopen(path, "rb");
  if (!f) {
    snprintf(err, errlen, "%s", strerror(errno));
    return 0;
  }
  unsigned char* buf = NULL;
  long len = -1;
  if (fseek(f, 0, SEEK_END) == 0) len = ftell(f);
  if (len >= 0 && fseek(f, 0, SEEK_SET) == 0 && (buf = malloc(len > 0 ? (size_t)len : 1)) != NULL &&
      fread(buf, 1, (size_t)len, f) != (size_t)len) {
    free(buf);
    buf = NULL;
  }
  fclose(f);
  if (!buf) {
    snprintf(err, errlen, "cannot read the file");
    return 0;
  }

  const size_t size = (size_t)len;
  const unsigned char *fmt = NULL, *data = NULL;
  size_t data_len = 0;
  int ok = size >= 12 && memcmp(buf, "RIFF", 4) == 0 && memcmp(buf + 8, "WAVE", 4) == 0;
  for (size_t at = 12; ok && at + 8 <= size;) {
    const size_t room = size - at - 8;
    size_t chunk = le32(buf + at + 4);
    if (memcmp(buf + at, "data", 4) == 0 && !data) {
      data = buf + at + 8;
      data_len = chunk < room ? chunk : room;  // streamed WAVs leave the size unset
    } else if (memcmp(buf + at, "fmt ", 4) == 0 && chunk >= 16 && chunk <= room) {
      fmt = buf + at + 8;
    }
    if (chunk > room) break;
    at += 8 + chunk + (chunk & 1);
  }
  if (!ok) {
    snprintf(err, errlen, "not a WAV file (no RIFF/WAVE header)");
  } else if (!fmt || !data) {
    snprintf(err, errlen, "no %s chunk; not a usable WAV file", fmt ? "data" : "fmt");
    ok = 0;
  } else if (le16(fmt) != 1 || le16(fmt + 2) != 1 || le32(fmt + 4) != kRate || le16(fmt + 14) != 16) {
    snprintf(err, errlen, "%s, %u channel(s) at %lu Hz, %u bits; the host takes 16-bit PCM, mono, 16000 Hz",
             le16(fmt) == 1 ? "PCM" : "not plain PCM", le16(fmt + 2), le32(fmt + 4), le16(fmt + 14));
    ok = 0;
  } else if (data_len < 2) {
    snprintf(err, errlen, "no samples");
    ok = 0;
  }
  if (ok) {
    *n = data_len / 2;
    *samples = malloc(*n * sizeof **samples);
    if (!*samples) {
      snprintf(err, errlen, "out of memory");
      ok = 0;
    }
    for (size_t i = 0; ok && i < *n; ++i) {
      const long v = (long)le16(data + 2 * i);
      (*samples)[i] = (int16_t)(v >= 32768 ? v - 65536 : v);
    }
  }
  free(buf);
  return ok;
}

static int write_ppm(const char* dir, int index, const char* kind, const unsigned char* rgb, int w, int h,
                     char* err, size_t errlen) {
  char path[4096];
  if (snprintf(path, sizeof path, "%s/%06d_%s.ppm", dir, index, kind) >= (int)sizeof path) {
    snprintf(err, errlen, "%s: path too long", dir);
    return 0;
  }
  FILE* f = fopen(path, "wb");
  if (!f) {
    snprintf(err, errlen, "%s: %s", path, strerror(errno));
    return 0;
  }
  const size_t bytes = (size_t)w * (size_t)h * 3;
  int ok = fprintf(f, "P6\n%d %d\n255\n", w, h) > 0 && fwrite(rgb, 1, bytes, f) == bytes;
  ok = (fclose(f) == 0) && ok;
  if (!ok) snprintf(err, errlen, "%s: write failed", path);
  return ok;
}

/* Pushes the speech, pulls frames to OUT_DIR until the face is back at idle. */
static int run(le_utt* u, int w, int h, const int16_t* samples, size_t n, const char* out_dir) {
  const int expected = (int)((n + kHop - 1) / kHop);
  const size_t bytes = (size_t)w * (size_t)h * 3;
  unsigned char* rgb = malloc(bytes);
  if (!rgb) return fail(out_dir, "out of memory");

  int counts[3] = {0, 0, 0}, frames = 0, rc = -1;
  size_t pushed = 0;
  char err[4200] = "";
  double next_push = now_ms(), next_pull = next_push, progress = next_push;
  while (rc < 0) {
    double t = now_ms();
    if (pushed < n && t >= next_push) {
      const int k = (int)(n - pushed < (size_t)kPiece ? n - pushed : (size_t)kPiece);
      if (!le_utt_push_audio(u, samples + pushed, k)) {
        rc = fail("push", le_utt_last_error());
        break;
      }
      pushed += (size_t)k;
      next_push += kPushMs;
      progress = t;
      if (pushed == n) le_utt_end_utterance(u);
    }
    if (t >= next_pull) {
      next_pull = next_pull + kPullMs < t ? t : next_pull + kPullMs;
      le_utt_frame_info info;
      if (le_utt_pull_frame(u, rgb, bytes, &info) != 1) {
        char why[512] = "";
        if (*le_utt_last_error()) rc = fail("pull", le_utt_last_error());
        else if (le_utt_render_status(u, why, (int)sizeof why, NULL) < 0) rc = fail("rendering failed", why);
      } else if (info.kind < 0 || info.kind > 2) {
        snprintf(err, sizeof err, "frame %d has an unknown kind %d", frames, info.kind);
        rc = fail("pull", err);
      } else if (info.kind != 1 && counts[1] > 0 && counts[1] < expected) {
        snprintf(err, sizeof err, "the utterance ended after %d of %d speech frames", counts[1], expected);
        rc = fail("pull", err);
      } else if (!write_ppm(out_dir, frames, kKind[info.kind], rgb, w, h, err, sizeof err)) {
        rc = fail("output", err);
      } else {
        ++frames;
        ++counts[info.kind];
        if (info.kind != 0) progress = t;
        if (info.kind == 0 && counts[1] == expected) rc = 0;  // back at idle after the last speech frame
      }
    }
    if (rc < 0 && t - progress > kStallMs) {
      snprintf(err, sizeof err, "no speech or ramp frame for %.0f s (%d of %d speech frames arrived)",
               kStallMs / 1e3, counts[1], expected);
      rc = fail("timeout", err);
    }
    if (rc < 0) {
      double next = next_pull;
      if (pushed < n && next_push < next) next = next_push;
      sleep_ms(next - now_ms());
    }
  }
  if (rc == 0) {
    le_utt_stats st;
    memset(&st, 0, sizeof st);
    le_utt_get_stats(u, &st);
    printf("live_host: %d frames (%d speech of %d expected, %d ramp, %d idle), %dx%d PPM in %s, "
           "first-frame latency %.0f ms\n",
           frames, counts[1], expected, counts[2], counts[0], w, h, out_dir, st.first_frame_latency_ms);
  }
  free(rgb);
  return rc;
}

int main(int argc, char** argv) {
  if (argc != 5) {
    fprintf(stderr, "usage: live_host BUNDLE ENGINE_DIR SPEECH.wav OUT_DIR\n");
    return 1;
  }
  const char *bundle = argv[1], *engine = argv[2], *wav = argv[3], *out_dir = argv[4];
  char err[512];
  int16_t* samples = NULL;
  size_t n = 0;
  if (!read_wav(wav, &samples, &n, err, sizeof err)) return fail(wav, err);
  if (mkdir(out_dir, 0777) != 0 && errno != EEXIST) {
    free(samples);
    return fail(out_dir, strerror(errno));
  }

  int rc = 1;
  le_ctx* ctx = le_create(bundle, "b1", 0, NULL);
  le_utt* u = NULL;
  if (!ctx) {
    fail(bundle, le_last_error());
  } else if (!(u = le_utt_open(ctx, engine))) {
    fail(engine, le_utt_last_error());
  } else {
    const double until = now_ms() + kReadyMs;
    int ready;
    while ((ready = le_utt_ready(u)) == 0 && now_ms() < until) sleep_ms(2);
    if (ready < 0) fail(engine, le_utt_last_error());
    else if (ready == 0) fail(engine, "the audio engine is still loading after 300 s");
    else rc = run(u, le_width(ctx), le_height(ctx), samples, n, out_dir);
  }
  le_utt_destroy(u);  // the pipeline goes before the context it renders with
  le_destroy(ctx);
  free(samples);
  return rc;
}
