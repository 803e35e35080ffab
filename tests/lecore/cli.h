// What the lecore tests share: where the command is, shell quoting, and
// speech as a WAV file.
#pragma once

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <filesystem>
#include <string>
#include <vector>

#include "support/files.h"

namespace le::test {

// The lecore built beside the test: <build>/tests/test_lecore -> <build>/tools/lecore.
inline std::string lecorePath() {
  return (std::filesystem::read_symlink("/proc/self/exe").parent_path().parent_path() / "tools" / "lecore").string();
}

inline std::string quote(const std::string& s) {
  std::string q = "'";
  for (char c : s) q += c == '\'' ? std::string("'\\''") : std::string(1, c);
  return q + "'";
}

// 16-bit PCM WAV, samples interleaved.
inline void writeWav(const std::string& path, const std::vector<int16_t>& s, int rate, int channels) {
  std::string b;
  auto u32 = [&](uint32_t v) { b.append(reinterpret_cast<const char*>(&v), 4); };
  auto u16 = [&](uint16_t v) { b.append(reinterpret_cast<const char*>(&v), 2); };
  const uint32_t data = uint32_t(s.size() * 2);
  b += "RIFF";
  u32(36 + data);
  b += "WAVEfmt ";
  u32(16), u16(1), u16(uint16_t(channels)), u32(uint32_t(rate)), u32(uint32_t(rate * channels * 2));
  u16(uint16_t(channels * 2)), u16(16);
  b += "data";
  u32(data);
  b.append(reinterpret_cast<const char*>(s.data()), data);
  writeFile(path, b);
}

// n samples of the speech fixture at 16 kHz, as 16-bit.
inline std::vector<int16_t> speech16k(size_t n) {
  const std::vector<float> f = speechFixture();
  std::vector<int16_t> s(n);
  for (size_t i = 0; i < n; ++i) s[i] = int16_t(std::lround(std::clamp(f[i % f.size()], -1.f, 1.f) * 32767.f));
  return s;
}

}  // namespace le::test
