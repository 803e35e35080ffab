// Speech in: any audio file FFmpeg can read, as the 16 kHz mono 16-bit PCM the
// pipelines take.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

namespace lecore {

inline constexpr int kRate = 16000;
inline constexpr int kHop = 640;  // samples per video frame at 25 fps

// The first audio stream of path, resampled and down-mixed; throws Failure
// (one line naming the file and the cause) when there is nothing to read.
std::vector<int16_t> readSpeech(const std::string& path);

}  // namespace lecore
