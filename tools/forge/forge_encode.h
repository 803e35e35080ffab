// The forge's one movie encoder over FFmpeg's encoder wrappers, shared by the
// driver / prior movie writers and the teeth bank track (not part of the API).
#pragma once

#include <cstdint>
#include <functional>
#include <string>
#include <utility>
#include <vector>

extern "C" {
#include <libavutil/frame.h>
#include <libavutil/pixfmt.h>
}

namespace le::forge::detail {

// One encode: `frames` pictures of w x h in `pix`, produced by fill(k, frame).
struct EncodeJob {
  std::string path;  // the file written; with `memory` set it only names the movie in errors
  std::vector<uint8_t>* memory = nullptr;  // when set, the movie's bytes land here instead of a file
  const char* encoder = nullptr;
  const char* muxer = nullptr;
  AVPixelFormat pix = AV_PIX_FMT_YUV420P;
  AVColorRange range = AVCOL_RANGE_MPEG;
  // The matrix the stream declares; RGB stored as RGB must say so, or a
  // decoder takes its G, B, R planes for Y', Cb, Cr.
  AVColorSpace colorspace = AVCOL_SPC_SMPTE170M;
  int w = 0, h = 0, fps = 25, frames = 0, gop = 0;
  std::vector<std::pair<std::string, std::string>> codecOpts, muxOpts;
  std::function<void(int, AVFrame*)> fill;
};

// Throws std::runtime_error ("forge: cannot write movie " + path + ": ...").
void encodeMovie(const EncodeJob& job);

// Moves the index (moov) of an ISO media file in front of its media data, so that
// a file cut short still opens and ends early instead of losing its index.
// `name` only appears in errors.
void moveIndexToFront(std::string& bytes, const std::string& name);

}  // namespace le::forge::detail
