// Shared helpers of the motion engine tests: whole-clip runs through the
// exported interface (the speech fixture comes with support/files.h).
#pragma once

#include <gtest/gtest.h>

#include <algorithm>
#include <vector>

#include "le/le_motion.h"
#include "support/files.h"

namespace le::test {

// 63 floats per frame (21 keypoints x 3) is the public interface's contract,
// restated here rather than taken from the engine so that a change to it shows.
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
