// The whole-clip delta engine against an independent re-implementation of its
// feature path (windows, normalisation, layer mean, speech mean removal by the
// 20th-percentile rule, context stack, recurrence) that runs the same forged
// models through ONNX Runtime directly.
#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <limits>
#include <random>

#include "audio/le_fca.h"
#include "audio/motion_util.h"
#include "forge/forge_fca.h"
#include "le/le_fca.h"
#include "onnxruntime_cxx_api.h"
#include "support/ort.h"
#include "support/tmpdir.h"

namespace {

// Straightforward version of every step; non-finite samples count as silence.
std::vector<float> oracle(const le::forge::FcaModelPaths& p, const std::vector<float>& audio) {
  Ort::Env& env = le::test::ortEnv();
  Ort::SessionOptions so;
  so.SetIntraOpNumThreads(1);
  Ort::Session ext(env, p.extractor.c_str(), so), model(env, p.model.c_str(), so);
  auto mem = Ort::MemoryInfo::CreateCpu(OrtArenaAllocator, OrtMemTypeDefault);
  const int n = int(audio.size()), T = (n + 639) / 640;

  std::vector<std::vector<float>> rows(T);
  for (int w = 0; std::any_of(rows.begin(), rows.end(), [](auto& r) { return r.empty(); }); ++w) {
    std::vector<double> x(128000, 0.0);
    for (int i = 0; i < 128000; ++i) {
      const long s = long(w) * 64000 + i;
      if (s < n && std::isfinite(audio[s])) x[i] = audio[s];
    }
    double mean = 0, var = 0;
    for (double v : x) mean += v;
    mean /= 128000;
    for (double v : x) var += (v - mean) * (v - mean);
    var /= 128000;
    std::vector<float> win(128000);
    for (int i = 0; i < 128000; ++i) win[i] = float((x[i] - mean) / std::sqrt(var + 1e-7));
    const int64_t shape[2] = {1, 128000};
    Ort::Value in = Ort::Value::CreateTensor<float>(mem, win.data(), win.size(), shape, 2);
    const char* inName = "input_values";
    const char* outName = "audio_emb";
    auto out = ext.Run(Ort::RunOptions{nullptr}, &inName, &in, 1, &outName, 1);
    const float* hs = out[0].GetTensorData<float>();
    for (int i = w == 0 ? 0 : 50; i < 200; ++i) {
      const int f = w * 100 + i;
      if (f >= T || !rows[f].empty()) continue;
      rows[f].assign(768, 0.f);
      for (int l = 4; l <= 9; ++l)
        for (int c = 0; c < 768; ++c) rows[f][c] += hs[(size_t(l) * 200 + i) * 768 + c];
      for (float& v : rows[f]) v /= 6.f;
    }
  }

  std::vector<double> norms, sum(768, 0.0);
  int speech = 0;
  for (int t = 0; t < T; ++t) {
    double ss = 0;
    for (float v : rows[t]) ss += double(v) * v;
    norms.push_back(std::sqrt(ss));
    std::vector<double> s = norms;
    std::sort(s.begin(), s.end());
    const double pos = 0.2 * t;
    const int lo = int(std::floor(pos)), hi = std::min(lo + 1, t);
    const double pct = s[lo] + (pos - lo) * (s[hi] - s[lo]);
    if (t <= 6 ? norms[t] > 0 : norms[t] > pct) {
      for (int c = 0; c < 768; ++c) sum[c] += rows[t][c];
      ++speech;
    }
    for (int c = 0; c < 768; ++c) rows[t][c] = float(rows[t][c] - sum[c] / std::max(1, speech));
  }

  std::vector<float> res, cond(7 * 768), prev(63, 0.f), h(384, 0.f);
  const int64_t cs[3] = {1, 7, 768}, ps[2] = {1, 63}, hs[2] = {1, 384};
  const char* inNames[3] = {"cond", "prev", "h"};
  const char* outNames[2] = {"m", "hn"};
  for (int t = 0; t < T; ++t) {
    for (int k = 0; k < 7; ++k) std::copy_n(rows[std::clamp(t - 1 + k, 0, T - 1)].data(), 768, &cond[k * 768]);
    Ort::Value in[3] = {Ort::Value::CreateTensor<float>(mem, cond.data(), cond.size(), cs, 3),
                        Ort::Value::CreateTensor<float>(mem, prev.data(), 63, ps, 2),
                        Ort::Value::CreateTensor<float>(mem, h.data(), 384, hs, 2)};
    auto out = model.Run(Ort::RunOptions{nullptr}, inNames, in, 3, outNames, 2);
    std::copy_n(out[0].GetTensorData<float>(), 63, prev.begin());
    std::copy_n(out[1].GetTensorData<float>(), 384, h.begin());
    res.insert(res.end(), prev.begin(), prev.end());
  }
  return res;
}

void expectNear(const std::vector<float>& got, const std::vector<float>& want, const char* what) {
  ASSERT_EQ(got.size(), want.size()) << what;
  for (size_t i = 0; i < got.size(); ++i) ASSERT_NEAR(got[i], want[i], 1e-5) << what << ", frame " << i / 63;
}

std::vector<float> run(le_fca* e, const std::vector<float>& audio) {
  const int T = int((audio.size() + 639) / 640);
  std::vector<float> out(size_t(T) * 63, -99.f);
  EXPECT_EQ(le_fca_deltas(e, audio.data(), int(audio.size()), out.data(), T), T) << le_fca_last_error();
  EXPECT_STREQ(le_fca_last_error(), "");
  return out;
}

float activity(const std::vector<float>& d) {
  float a = 0;
  for (float v : d) a = std::max(a, std::fabs(v));
  return a;
}

TEST(FcaOracle, SpeechAndLongClipsMatchTheReference) {
  le::test::TmpDir tmp;
  const auto paths = le::forge::writeFcaModels(tmp.str("fca"));
  le_fca* e = le_fca_create(paths.extractor.c_str(), paths.model.c_str(), 1);
  ASSERT_NE(e, nullptr) << le_fca_last_error();

  // The fixture: one window, a pause inside, a length that is no multiple of 640.
  const std::vector<float> speech = le::test::speechFixture();
  const std::vector<float> d = run(e, speech);
  expectNear(d, oracle(paths, speech), "fixture");
  EXPECT_GT(activity(d), 0.02f) << "the fixture should move the lips";

  // Leading silence, then the fixture repeated past 8 s: four windows, the
  // percentile rule deciding on the silent lead-in, the speech mean moving.
  std::vector<float> lng(16000, 0.f);
  while (lng.size() < 20 * 16000 + 333) lng.insert(lng.end(), speech.begin(), speech.end());
  lng.resize(20 * 16000 + 333);
  const std::vector<float> dl = run(e, lng);
  expectNear(dl, oracle(paths, lng), "long clip");
  le_fca_destroy(e);

  // The C++ engine runs the extractor once per 100 frames beyond the first 200,
  // and the delta model once per frame; "h" declared as [384] works the same.
  const auto p384 = le::forge::writeFcaModels(tmp.str("fca384"), {12, {384}});
  le::FcaEngine eng(p384.extractor, p384.model, 2);
  const int T = int((lng.size() + 639) / 640);
  std::vector<float> out(size_t(T) * 63);
  ASSERT_EQ(eng.deltas(lng.data(), int(lng.size()), out.data(), T), T);
  EXPECT_EQ(eng.extractorRuns(), 1 + (T - 200 + 99) / 100);
  EXPECT_EQ(eng.modelRuns(), T);
  EXPECT_EQ(eng.layers(), 12);
  expectNear(out, dl, "h as [384]");
}

TEST(FcaOracle, RunningPercentileFollowsTheSortedDefinition) {
  // Ties, plateaus and a wide spread, so the interpolation between neighbours matters.
  std::mt19937 rng(5);
  for (int round = 0; round < 3; ++round) {
    le::fca::Percentile20 p;
    std::vector<double> seen;
    for (int t = 0; t < 400; ++t) {
      const double e = round == 0 ? std::uniform_real_distribution<double>(0, 10)(rng)
                       : round == 1 ? double(std::uniform_int_distribution<int>(0, 4)(rng))
                                    : (t % 7 == 0 ? 100.0 + t : std::exp(0.01 * t));
      seen.push_back(e);
      std::vector<double> s = seen;
      std::sort(s.begin(), s.end());
      const double pos = 0.2 * t;
      const int lo = int(std::floor(pos + 1e-9)), hi = std::min(lo + 1, t);
      const double want = s[lo] + (pos - lo) * (s[hi] - s[lo]);
      ASSERT_NEAR(p.add(e), want, 1e-9 * (1 + std::fabs(want))) << "round " << round << ", t " << t;
    }
  }
}

TEST(FcaOracle, NonFiniteSamplesCountAsSilence) {
  le::test::TmpDir tmp;
  const auto paths = le::forge::writeFcaModels(tmp.str("fca"));
  le_fca* e = le_fca_create(paths.extractor.c_str(), paths.model.c_str(), 1);
  ASSERT_NE(e, nullptr) << le_fca_last_error();
  std::vector<float> speech = le::test::speechFixture();
  speech.insert(speech.end(), speech.begin(), speech.end());  // two windows
  std::vector<float> bad = speech, zeroed = speech;
  const float nan = std::numeric_limits<float>::quiet_NaN(), inf = std::numeric_limits<float>::infinity();
  for (size_t i : {size_t(100), size_t(20000), size_t(70001)}) {
    bad[i] = (i % 2) ? nan : inf;
    zeroed[i] = 0.f;
  }
  bad[50000] = -inf;
  zeroed[50000] = 0.f;
  const std::vector<float> d = run(e, bad);
  for (float v : d) ASSERT_TRUE(std::isfinite(v));
  expectNear(d, run(e, zeroed), "NaN/inf as zero");
  expectNear(d, oracle(paths, bad), "NaN/inf reference");
  EXPECT_GT(activity(d), 0.02f) << "the rest of the clip still speaks";

  // Each window is normalised, so the clip's scale does not matter, even where
  // the squares of the samples no longer fit a float.
  std::vector<float> huge = speech;
  for (float& v : huge) v *= 1e30f;
  expectNear(run(e, huge), run(e, speech), "scaled by 1e30");
  le_fca_destroy(e);
}

}  // namespace
