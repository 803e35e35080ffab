// Running a forged director through the runtime directly, with the library's
// custom domains: the oracle the load-time rewrites are checked against.
#pragma once

#include <onnxruntime_cxx_api.h>

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <random>
#include <string>
#include <vector>

#include "forge/forge.h"
#include "ops/gridsample_fast.h"
#include "ops/int8conv_vnni.h"
#include "support/ort.h"

namespace le::test {

// One set of director inputs (batch 1) for a spec: the source frame, random
// pooled features, the bundle's first target keypoints as the source pose and
// the same keypoints moved (lips parted, head turned a little) as the driving one.
struct DirectorFeed {
  std::vector<float> pooled, prgb, kpSource, kpDriving, lip;  // lip: [S*S], empty when not fed
};

inline DirectorFeed directorFeed(const le::forge::BundleSpec& spec, unsigned seed) {
  std::mt19937 rng(seed);
  std::uniform_real_distribution<float> u(0.f, 1.f), d(-0.04f, 0.04f);
  DirectorFeed f;
  f.pooled.resize(65536);
  for (float& v : f.pooled) v = u(rng);
  const std::vector<uint16_t> h = le::forge::sourceFrame(spec, 0);
  f.prgb.resize(h.size());
  for (size_t i = 0; i < h.size(); ++i) {
    // Halves to floats without the library's kernels: exponent and mantissa by hand.
    const uint32_t s = h[i] >> 15, e = (h[i] >> 10) & 31, m = h[i] & 1023;
    const float mag = e == 0 ? std::ldexp(float(m), -24) : std::ldexp(float(m | 1024), int(e) - 25);
    f.prgb[i] = s ? -mag : mag;
  }
  const std::vector<float> kp = le::forge::targetKeypoints(spec);
  f.kpSource.assign(kp.begin(), kp.begin() + 63);
  f.kpDriving = f.kpSource;
  for (int r = 0; r < 21; ++r)
    for (int c = 0; c < 2; ++c) f.kpDriving[size_t(r) * 3 + c] += d(rng);
  f.kpDriving[15 * 3 + 1] += 0.08f;  // the lower lip drops: the mouth opens
  return f;
}

// Runs a director model (batch 1, P_rgb) on the CPU EP with the library's
// custom domains, and returns "rgb".
// `output` picks which graph output to return (0 = "rgb").
inline std::vector<float> runDirector(const std::vector<uint8_t>& bytes, int S, const DirectorFeed& f,
                                      int threads = 1, size_t output = 0) {
  Ort::SessionOptions so;
  so.SetIntraOpNumThreads(threads);
  le::registerGridSampleFast(so);
  le::registerInt8ConvVNNI(so);
  Ort::Session s(le::test::ortEnv(), bytes.data(), bytes.size(), so);
  Ort::MemoryInfo mem = Ort::MemoryInfo::CreateCpu(OrtArenaAllocator, OrtMemTypeDefault);
  std::vector<const char*> names;
  std::vector<Ort::Value> values;
  auto feed = [&](const char* name, const std::vector<float>& v, std::vector<int64_t> shape) {
    names.push_back(name);
    values.push_back(Ort::Value::CreateTensor<float>(mem, const_cast<float*>(v.data()), v.size(), shape.data(),
                                                     shape.size()));
  };
  feed("pooled64", f.pooled, {1, 64, 32, 32});
  feed("P_rgb", f.prgb, {1, 3, S, S});
  feed("kp_driving", f.kpDriving, {1, 21, 3});
  feed("kp_source", f.kpSource, {1, 21, 3});
  if (!f.lip.empty()) feed("lip_delivery", f.lip, {1, 1, S, S});
  Ort::AllocatorWithDefaultOptions alloc;
  const Ort::AllocatedStringPtr outName = s.GetOutputNameAllocated(output, alloc);
  const char* out = outName.get();
  auto r = s.Run(Ort::RunOptions{nullptr}, names.data(), values.data(), names.size(), &out, 1);
  const float* p = r[0].GetTensorData<float>();
  return std::vector<float>(p, p + r[0].GetTensorTypeAndShapeInfo().GetElementCount());
}

inline float maxAbsDiff(const std::vector<float>& a, const std::vector<float>& b) {
  if (a.size() != b.size()) return INFINITY;
  float m = 0.f;
  for (size_t i = 0; i < a.size(); ++i) m = std::max(m, std::fabs(a[i] - b[i]));
  return m;
}

}  // namespace le::test
