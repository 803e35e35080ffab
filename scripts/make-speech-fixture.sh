#!/bin/sh
# Regenerates tests/fixtures/speech_16k.f32: about 2.5 s of synthetic speech with a
# pause in the middle, mono float32 little-endian at 16 kHz. The fixture is checked
# in, so neither the build nor CI needs the speech synthesiser; run this only to
# remake it. Needs espeak-ng, a C compiler and the libswresample/libavutil
# development files (already required by the build).
set -eu
root=$(cd "$(dirname "$0")/.." && pwd)
out="$root/tests/fixtures/speech_16k.f32"
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT

# Two short phrases with a 600 ms break: loud speech, silence, loud speech.
espeak-ng -m -s 170 -w "$work/speech.wav" \
  '<speak>Open the window.<break time="600ms"/>Papa, a mop.</speak>'

# A one-off converter: 16-bit PCM WAV at any rate -> float32 at 16 kHz.
cat > "$work/conv.c" <<'CEOF'
#include <libavutil/channel_layout.h>
#include <libavutil/opt.h>
#include <libswresample/swresample.h>
#include <stdint.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
static uint32_t u32(const unsigned char* p) { return p[0] | p[1] << 8 | p[2] << 16 | (uint32_t)p[3] << 24; }
int main(int argc, char** argv) {
  FILE* f = fopen(argv[1], "rb");
  if (!f) return 1;
  fseek(f, 0, SEEK_END); long len = ftell(f); fseek(f, 0, SEEK_SET);
  unsigned char* buf = malloc(len);
  if (fread(buf, 1, len, f) != (size_t)len) return 1;
  fclose(f);
  int rate = u32(buf + 24), channels = buf[22];
  long pos = 12; const unsigned char* data = 0; uint32_t bytes = 0;
  while (pos + 8 <= len) {
    uint32_t sz = u32(buf + pos + 4);
    if (!memcmp(buf + pos, "data", 4)) { data = buf + pos + 8; bytes = sz; break; }
    pos += 8 + sz + (sz & 1);
  }
  if (!data || channels != 1) return 1;
  int nin = bytes / 2;
  SwrContext* swr = NULL;
  AVChannelLayout mono = AV_CHANNEL_LAYOUT_MONO;
  if (swr_alloc_set_opts2(&swr, &mono, AV_SAMPLE_FMT_FLT, 16000, &mono, AV_SAMPLE_FMT_S16, rate, 0, NULL) < 0 ||
      swr_init(swr) < 0) return 1;
  int cap = (int)((long)nin * 16000 / rate) + 256;
  float* out = malloc(sizeof(float) * cap);
  uint8_t* o[1] = {(uint8_t*)out};
  const uint8_t* in[1] = {data};
  int n = swr_convert(swr, o, cap, in, nin);
  uint8_t* o2[1] = {(uint8_t*)(out + n)};
  n += swr_convert(swr, o2, cap - n, NULL, 0);
  FILE* g = fopen(argv[2], "wb");
  fwrite(out, sizeof(float), n, g);
  fclose(g);
  fprintf(stderr, "%d samples (%.2f s)\n", n, n / 16000.0);
  swr_free(&swr);
  return 0;
}
CEOF
cc -O2 -o "$work/conv" "$work/conv.c" $(pkg-config --cflags --libs libswresample libavutil)
"$work/conv" "$work/speech.wav" "$out"
