// The speech the audio-engine benchmarks feed: the test fixture (2.87 s of
// 16 kHz speech with a pause) repeated to 30 seconds.
#pragma once

#include <cstddef>
#include <filesystem>
#include <fstream>
#include <vector>

namespace le::bench {

inline const std::vector<float>& speech30s() {
  static const std::vector<float> clip = [] {
    constexpr std::size_t kSamples = 30u * 16000;
    const auto p = std::filesystem::path(__FILE__).parent_path().parent_path() / "tests" / "fixtures" / "speech_16k.f32";
    std::vector<float> one;
    std::ifstream f(p, std::ios::binary);
    float x;
    while (f.read(reinterpret_cast<char*>(&x), sizeof x)) one.push_back(x);
    if (one.empty()) one.assign(16000, 0.f);  // no fixture: a silent clip still times the engine
    std::vector<float> all(kSamples);
    for (std::size_t i = 0; i < kSamples; ++i) all[i] = one[i % one.size()];
    return all;
  }();
  return clip;
}

}  // namespace le::bench
