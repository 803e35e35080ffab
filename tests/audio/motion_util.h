// Shared helpers of the motion engine tests: the speech fixture, a forged motion
// directory, and whole-clip runs through the exported interface.
#pragma once

#include <gtest/gtest.h>

#include <cstdio>
#include <cstring>
#include <iterator>
#include <algorithm>
#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

#include "le/le_motion.h"

namespace le::test {

inline std::vector<float> loadFloats(const std::string& path) {
  std::ifstream f(path, std::ios::binary);
  std::vector<char> bytes((std::istreambuf_iterator<char>(f)), std::istreambuf_iterator<char>());
  std::vector<float> v(bytes.size() / sizeof(float));
  std::memcpy(v.data(), bytes.data(), v.size() * sizeof(float));
  return v;
}

inline void saveFloats(const std::string& path, const std::vector<float>& v) {
  std::ofstream f(path, std::ios::binary | std::ios::trunc);
  f.write(reinterpret_cast<const char*>(v.data()), std::streamsize(v.size() * sizeof(float)));
}

// 16 kHz mono speech with a pause (tests/fixtures/speech_16k.f32).
inline std::vector<float> speechFixture() {
  const auto p = std::filesystem::path(__FILE__).parent_path().parent_path() / "fixtures" / "speech_16k.f32";
  std::vector<float> v = loadFloats(p.string());
  EXPECT_GT(v.size(), 32000u) << p;
  return v;
}

struct Frames {
  std::vector<int> si;
  std::vector<float> xs, xd;
  int count() const { return int(si.size()); }
};

// Pulls everything currently available (in pieces of at most `piece`).
inline void pullAll(le_motion* m, Frames& out, int piece = 1000) {
  for (;;) {
    const int a = le_motion_avail(m);
    if (a <= 0) return;
    const int n = std::min(a, piece);
    const size_t at = out.si.size();
    out.si.resize(at + n);
    out.xs.resize((at + n) * 63);
    out.xd.resize((at + n) * 63);
    const int got = le_motion_pull(m, &out.si[at], &out.xs[at * 63], &out.xd[at * 63], n);
    ASSERT_EQ(got, n) << le_motion_last_error();
  }
}

// One push, finish, pull everything.
inline Frames runOffline(le_motion* m, const std::vector<float>& audio) {
  Frames f;
  EXPECT_EQ(le_motion_push(m, audio.data(), int(audio.size())), 1);
  EXPECT_EQ(le_motion_finish(m), 1);
  pullAll(m, f);
  return f;
}

}  // namespace le::test
