// An MP4 movie: H.264 video (4:2:0, constant frame rate) and, optionally, the
// speech as AAC, interleaved by the muxer as both are fed.
#pragma once

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

namespace lecore {

class Mp4Writer {
 public:
  // channels: 3 (RGB) or 4 (RGBA) bytes per input pixel. audio (may be empty):
  // 16 kHz mono, written as AAC in step with the frames. Throws Failure.
  Mp4Writer(const std::string& path, int w, int h, int channels, int fps, const std::vector<int16_t>& audio = {});
  ~Mp4Writer();
  Mp4Writer(const Mp4Writer&) = delete;
  Mp4Writer& operator=(const Mp4Writer&) = delete;

  void addFrame(const unsigned char* pixels);
  // Flushes both encoders (the rest of the audio too) and writes the index.
  // A movie never finished is removed when the writer goes.
  void finish();
  // 4:2:0 needs even sizes: an odd width or height is padded by repeating the
  // last column or row.
  bool padded() const;
  int width() const;
  int height() const;

 private:
  struct Impl;
  std::unique_ptr<Impl> p_;
};

}  // namespace lecore
