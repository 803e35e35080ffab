// The teeth bank's track: donor patches as the frames of an MP4 video, in
// track order, so the library's decoder (and any host's) reads it back.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

namespace le::forge {

struct BankTrackOptions {
  // Pixel format handed to the H.264 encoder; the decoder delivers the same
  // and the sidecar / manifest state it.
  std::string pixFmt = "yuv444p";
  bool lossless = true;  // quantiser 0: only the RGB <-> YUV rounding remains
  int extraFrames = 0;   // > 0: repeat the last frame this many times (a track longer than its sidecar)
  int dropFrames = 0;    // > 0: leave this many frames off the end (a track shorter than its sidecar)
};

// Encodes n frames of w x h RGB (n * h * w * 3 bytes, frame-major, in track
// order) as H.264 in MP4 and returns the file's bytes; throws std::runtime_error.
std::vector<uint8_t> bankTrackBytes(const std::vector<uint8_t>& rgbTrackOrder, int w, int h, int n,
                                    const BankTrackOptions& opt = {});
// The same, written to a file.
void writeBankTrack(const std::string& path, const std::vector<uint8_t>& rgbTrackOrder, int w, int h, int n,
                    const BankTrackOptions& opt = {});

}  // namespace le::forge
