// Shared helpers of the expression engine tests.
#pragma once

#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "forge/forge_a2x.h"
#include "le/le_a2x.h"
#include "support/env.h"
#include "support/files.h"
#include "support/tmpdir.h"

namespace le::test::a2x {

// Every variable the engine reads, cleared for a test, W2V_ONNX set.
struct CleanEnv {
  ScopedEnv w2v, win, head, right, prime, cuda, mib;
  explicit CleanEnv(const std::string& w2vPath)
      : w2v("W2V_ONNX", w2vPath.empty() ? nullptr : w2vPath.c_str()),
        win("LE_A2X_W2V_WIN_ONNX", nullptr),
        head("LE_A2X_W2V_HEAD_ONNX", nullptr),
        right("LE_A2X_W2V_RIGHT", nullptr),
        prime("LE_A2X_SILENCE_PRIME", nullptr),
        cuda("LE_A2X_CUDA", nullptr),
        mib("LE_A2X_CUDA_MEM_MIB", nullptr) {}
};

struct EngineDeleter {
  void operator()(le_a2x* e) const { le_a2x_destroy(e); }
};
using EnginePtr = std::unique_ptr<le_a2x, EngineDeleter>;

inline EnginePtr create(const std::string& dir) {
  EnginePtr e(le_a2x_create(dir.c_str(), 1));
  EXPECT_TRUE(e) << le_a2x_last_error();
  return e;
}

// A clip whose statistics are the same over any window of whole periods:
// an 80 Hz carrier under a 5 Hz envelope (both periods divide 3200 samples).
inline std::vector<float> periodicClip(size_t n) {
  std::vector<float> v(n);
  for (size_t t = 0; t < n; ++t) {
    double env = 0.35 + 0.3 * std::sin(2 * M_PI * double(t) / 3200.0);
    v[t] = float(env * std::sin(2 * M_PI * double(t) / 200.0));
  }
  return v;
}

struct Frames {
  std::vector<int> si;
  std::vector<float> xs, xd, wn;
  int count() const { return int(si.size()); }
  float delta(int k, int c) const { return xd[size_t(k) * 63 + c] - xs[size_t(k) * 63 + c]; }
};

// Pulls up to n frames and appends them.
inline int pullInto(le_a2x* e, Frames& fr, int n) {
  std::vector<int> si(size_t(std::max(n, 1)));
  std::vector<float> xs(size_t(std::max(n, 1)) * 63), xd(xs.size()), wn(si.size());
  int k = le_a2x_pull_wn(e, si.data(), xs.data(), xd.data(), wn.data(), n);
  for (int j = 0; j < k; ++j) {
    fr.si.push_back(si[j]);
    fr.xs.insert(fr.xs.end(), xs.begin() + j * 63, xs.begin() + (j + 1) * 63);
    fr.xd.insert(fr.xd.end(), xd.begin() + j * 63, xd.begin() + (j + 1) * 63);
    fr.wn.push_back(wn[j]);
  }
  return k;
}

// One push, finish, pull everything.
inline Frames streamWhole(le_a2x* e, const std::vector<float>& audio) {
  Frames fr;
  le_a2x_push(e, audio.data(), int(audio.size()));
  le_a2x_finish(e);
  while (pullInto(e, fr, 50) > 0) {
  }
  return fr;
}

// The offline deltas of a clip (frames x 63).
inline std::vector<float> offline(le_a2x* e, const std::vector<float>& audio, std::vector<float>* wn = nullptr) {
  int cap = int((audio.size() + 639) / 640);
  std::vector<float> out(size_t(cap) * 63 + 1), w(size_t(cap) + 1);
  int k = wn ? le_a2x_deltas_wn(e, audio.data(), int(audio.size()), out.data(), w.data(), cap)
             : le_a2x_deltas(e, audio.data(), int(audio.size()), out.data(), cap);
  EXPECT_EQ(k, cap) << le_a2x_last_error();
  out.resize(size_t(std::max(k, 0)) * 63);
  if (wn) *wn = std::vector<float>(w.begin(), w.begin() + std::max(k, 0));
  return out;
}

// Lower lip y of a delta row (row 15, coordinate y).
constexpr int kLowerLipY = 15 * 3 + 1;

}  // namespace le::test::a2x
