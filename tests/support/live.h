// Driving the live pipeline from a test: speech from the fixture, frames pulled
// until enough have arrived.
#pragma once

#include <algorithm>
#include <chrono>
#include <cstdint>
#include <thread>
#include <vector>

#include "le/le_utt.h"
#include "support/files.h"

namespace le::test {

// The speech fixture as 16-bit PCM, 200 samples short of `frames` whole
// frames of 640 (or all of it when shorter).
inline std::vector<int16_t> speechPcm(size_t frames) {
  const std::vector<float> speech = speechFixture();
  const size_t n = std::min(speech.size(), frames * 640 - 200);
  std::vector<int16_t> out(n);
  for (size_t i = 0; i < n; ++i) out[i] = int16_t(std::clamp(speech[i], -1.f, 1.f) * 32767.f);
  return out;
}

struct Pulled {
  le_utt_frame_info info;
  std::vector<uint8_t> rgb;
};

// Pulls until `want` frames have arrived (or the deadline passes).
inline std::vector<Pulled> pullFrames(le_utt* u, size_t bytes, size_t want,
                                      std::chrono::seconds limit = std::chrono::seconds(60)) {
  std::vector<Pulled> got;
  const auto end = std::chrono::steady_clock::now() + limit;
  while (got.size() < want && std::chrono::steady_clock::now() < end) {
    Pulled p{{}, std::vector<uint8_t>(bytes)};
    if (le_utt_pull_frame(u, p.rgb.data(), bytes, &p.info) == 1) got.push_back(std::move(p));
    else std::this_thread::sleep_for(std::chrono::milliseconds(1));
  }
  return got;
}

}  // namespace le::test
