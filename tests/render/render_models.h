// Small directors for the renderer tests, honouring (or breaking on purpose)
// the director's input contract. Their output is simple enough to predict:
//   rgb[b] = P_rgb[b] + sum(kp_driving[b] - kp_source[b]) + mean(pooled64[b])
// (FeatSynth: 0 + mean(fs_red[b]) + the same two terms), optionally passed
// through an identity GridSample (bilinear, border, align_corners 0).
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "forge/forge_onnx.h"
#include "support/env.h"
#include "support/files.h"

namespace le::test {

struct TestDirector {
  int S = 16;
  int batch = 1;
  bool symbolicBatch = false;
  int kpRows = 21;
  bool symbolicKpRows = false;
  bool featSynth = false;
  bool gridSample = false;
};

inline std::string testDirectorBytes(const TestDirector& d) {
  namespace ob = le::forge::onnxb;
  ob::Model m("test_director", 17);
  const ob::Dim B = d.symbolicBatch ? ob::Dim("batch") : ob::Dim(d.batch);
  const ob::Dim R = d.symbolicKpRows ? ob::Dim("rows") : ob::Dim(d.kpRows);
  const std::string pooled = d.featSynth ? "pooled" : "pooled64";
  const std::string kd = d.featSynth ? "kd" : "kp_driving";
  const std::string ks = d.featSynth ? "ks" : "kp_source";
  if (d.featSynth) m.input("fs_red", ob::kFloat, {B, 64, 64, 64});
  m.input(pooled, ob::kFloat, {B, 64, 32, 32});
  if (!d.featSynth) m.input("P_rgb", ob::kFloat, {B, 3, d.S, d.S});
  m.input(kd, ob::kFloat, {B, R, 3});
  m.input(ks, ob::kFloat, {B, R, 3});
  m.output("rgb", ob::kFloat, {B, 3, d.S, d.S});

  const std::string diff = m.node("Sub", {kd, ks}, {m.fresh("diff")});
  const std::string axes12 = m.initI64("axes12", {1, 2}, {2});
  const std::string sum = m.node("ReduceSum", {diff, axes12}, {m.fresh("sum")}, {ob::Attr::i("keepdims", 1)});
  const std::string axes3 = m.initI64("axes3", {3}, {1});
  const std::string sum4 = m.node("Unsqueeze", {sum, axes3}, {m.fresh("sum4")});
  const std::string pm =
      m.node("ReduceMean", {pooled}, {m.fresh("pm")}, {ob::Attr::ints("axes", {1, 2, 3}), ob::Attr::i("keepdims", 1)});
  std::string shift = m.node("Add", {sum4, pm}, {m.fresh("shift")});
  std::string base = "P_rgb";
  if (d.featSynth) {
    const std::string fm = m.node("ReduceMean", {"fs_red"}, {m.fresh("fm")},
                                  {ob::Attr::ints("axes", {1, 2, 3}), ob::Attr::i("keepdims", 1)});
    shift = m.node("Add", {shift, fm}, {m.fresh("shift")});
    base = m.init("zeros", std::vector<float>(size_t(3 * d.S * d.S), 0.f), {1, 3, d.S, d.S});
  }
  if (!d.gridSample) {
    m.node("Add", {base, shift}, {"rgb"});
  } else {
    // Sampling every pixel at its own centre returns the image unchanged.
    const int n = d.symbolicBatch ? 1 : d.batch;
    std::vector<float> grid;
    for (int b = 0; b < n; ++b)
      for (int y = 0; y < d.S; ++y)
        for (int x = 0; x < d.S; ++x) {
          grid.push_back((2.f * x + 1.f) / float(d.S) - 1.f);
          grid.push_back((2.f * y + 1.f) / float(d.S) - 1.f);
        }
    const std::string g = m.init("grid", grid, {n, d.S, d.S, 2});
    const std::string pre = m.node("Add", {base, shift}, {m.fresh("pre")});
    m.node("GridSample", {pre, g}, {"rgb"},
           {ob::Attr::s("mode", "bilinear"), ob::Attr::s("padding_mode", "border"), ob::Attr::i("align_corners", 0)},
           "warp_gs");
  }
  return m.bytes();
}

inline void writeTestDirector(const std::string& path, const TestDirector& d) { writeFile(path, testDirectorBytes(d)); }

}  // namespace le::test
