// The whole-clip delta engine through its exported interface: lips against
// loudness, frame counts, the context stack at the clip's ends, and refusals.
#include <gtest/gtest.h>

#include <climits>
#include <cmath>
#include <fstream>

#include "audio/le_fca.h"
#include "audio/motion_util.h"
#include "forge/forge.h"
#include "forge/forge_fca.h"
#include "forge/forge_onnx.h"
#include "le/le_fca.h"
#include "support/tmpdir.h"

namespace {

using le::forge::kLipRows;

struct Engine {
  le_fca* e = nullptr;
  Engine(const std::string& ext, const std::string& model) : e(le_fca_create(ext.c_str(), model.c_str(), 1)) {}
  ~Engine() { le_fca_destroy(e); }
};

// Lower lip y minus upper lip y offset: how far a delta opens the mouth.
float opening(const float* d) { return d[3 * kLipRows[3] + 1] - d[3 * kLipRows[1] + 1]; }

std::vector<float> tone(int n, float amp) {
  std::vector<float> v(n);
  for (int i = 0; i < n; ++i) v[i] = amp * float(std::sin(2 * M_PI * 220.0 * i / 16000.0));
  return v;
}

TEST(FcaEngine, LipsOpenWithLoudnessAndRestInSilence) {
  le::test::TmpDir tmp;
  const auto p = le::forge::writeFcaModels(tmp.str("fca"));
  Engine g(p.extractor, p.model);
  ASSERT_NE(g.e, nullptr) << le_fca_last_error();

  // One second quiet speech-like tone, one second loud, one second silence.
  std::vector<float> clip = tone(16000, 0.05f), loud = tone(16000, 0.8f);
  clip.insert(clip.end(), loud.begin(), loud.end());
  clip.resize(48000, 0.f);
  std::vector<float> d(75 * 63);
  ASSERT_EQ(le_fca_deltas(g.e, clip.data(), int(clip.size()), d.data(), 75), 75) << le_fca_last_error();
  double quiet = 0, loudOpen = 0;
  for (int t = 5; t < 20; ++t) quiet += opening(&d[t * 63]) / 15;
  for (int t = 30; t < 45; ++t) loudOpen += opening(&d[t * 63]) / 15;
  EXPECT_GT(loudOpen, 0.05) << "loud speech opens the lips";
  EXPECT_GT(loudOpen, quiet + 0.05);
  for (int t = 62; t < 75; ++t) EXPECT_LT(std::fabs(opening(&d[t * 63])), 0.01) << "silence after speech, frame " << t;
  // Only lip rows move.
  for (int t = 0; t < 75; ++t)
    for (int k = 0; k < 63; ++k) {
      if (k / 3 >= 12 && k / 3 <= 15) continue;
      ASSERT_EQ(d[t * 63 + k], 0.f) << t << " " << k;
    }

  // The fixture: frames louder than the clip's median open wider on average.
  const std::vector<float> speech = le::test::speechFixture();
  const int T = int((speech.size() + 639) / 640);
  std::vector<float> ds(size_t(T) * 63), rms(T);
  ASSERT_EQ(le_fca_deltas(g.e, speech.data(), int(speech.size()), ds.data(), T), T);
  for (int t = 0; t < T; ++t) {
    double s = 0;
    for (int i = t * 640; i < std::min<int>(speech.size(), (t + 1) * 640); ++i) s += speech[i] * speech[i];
    rms[t] = float(s);
  }
  std::vector<float> sorted = rms;
  std::nth_element(sorted.begin(), sorted.begin() + T / 2, sorted.end());
  double hi = 0, lo = 0;
  int nh = 0, nl = 0;
  for (int t = 0; t < T; ++t) {
    if (rms[t] > sorted[T / 2]) {
      hi += opening(&ds[t * 63]);
      ++nh;
    } else {
      lo += opening(&ds[t * 63]);
      ++nl;
    }
  }
  EXPECT_GT(hi / nh, lo / nl + 0.005);

  // A silent clip gives zero deltas.
  std::vector<float> silent(3 * 16000, 0.f), dz(75 * 63, 1.f);
  ASSERT_EQ(le_fca_deltas(g.e, silent.data(), int(silent.size()), dz.data(), 75), 75);
  for (float v : dz) ASSERT_EQ(v, 0.f);
}

// A probe delta model: m[k] = channel `ch` of context row k (k < 7), hn = h;
// it shows the engine's context stack frame by frame.
std::string writeProbe(const std::string& path, int ch) {
  le::forge::onnxb::Model m("probe", 17);
  m.input("cond", le::forge::onnxb::kFloat, {1, 7, 768});
  m.input("prev", le::forge::onnxb::kFloat, {1, 63});
  m.input("h", le::forge::onnxb::kFloat, {1, 384});
  m.output("m", le::forge::onnxb::kFloat, {1, 63});
  m.output("hn", le::forge::onnxb::kFloat, {1, 384});
  const std::string s = m.node("Slice", {"cond", m.initI64("s", {ch}, {1}), m.initI64("e", {ch + 1}, {1}), m.initI64("a", {2}, {1})},
                               {m.fresh("col")});
  const std::string r = m.node("Reshape", {s, m.initI64("shape", {1, 7}, {2})}, {m.fresh("row")});
  m.node("Pad", {r, m.initI64("pads", {0, 0, 0, 56}, {4})}, {"m"});
  m.node("Identity", {"h"}, {"hn"});
  m.save(path);
  return path;
}

TEST(FcaEngine, FrameCountsAndTheContextStackAtTheEnds) {
  le::test::TmpDir tmp;
  const auto p = le::forge::writeFcaModels(tmp.str("fca"));
  const std::string probe = writeProbe(tmp.str("probe.onnx"), 0);
  le::FcaEngine eng(p.extractor, probe, 1);

  // 641 samples make 2 frames; cap 1 refuses before any model runs and leaves out alone.
  std::vector<float> a = tone(641, 0.3f), out(2 * 63, 7.f);
  EXPECT_EQ(eng.deltas(a.data(), 641, out.data(), 1), -1);
  EXPECT_EQ(eng.extractorRuns(), 0);
  EXPECT_EQ(eng.modelRuns(), 0);
  for (float v : out) ASSERT_EQ(v, 7.f);
  EXPECT_EQ(eng.deltas(a.data(), 641, out.data(), 2), 2);
  EXPECT_EQ(eng.modelRuns(), 2);
  EXPECT_EQ(eng.deltas(a.data(), 640, out.data(), 1), 1);
  EXPECT_EQ(eng.deltas(a.data(), 0, out.data(), 0), 0);

  // A rising tone: every mean-removed row differs. Row k of frame t's stack is
  // frame clamp(t - 1 + k): at the start t-1 repeats row 0, at the end rows
  // t+1..t+5 repeat row T-1.
  std::vector<float> ramp(20 * 640);
  for (size_t i = 0; i < ramp.size(); ++i) ramp[i] = float(i) / float(ramp.size()) * float(std::sin(0.3 * i));
  const int T = 20;
  std::vector<float> d(T * 63);
  ASSERT_EQ(eng.deltas(ramp.data(), int(ramp.size()), d.data(), T), T);
  auto row = [&](int t) { return d[t * 63 + 1]; };  // frame t's own row
  for (int t = 0; t + 1 < T; ++t) EXPECT_NE(row(t), row(t + 1)) << t;
  for (int t = 0; t < T; ++t)
    for (int k = 0; k < 7; ++k) ASSERT_EQ(d[t * 63 + k], row(std::clamp(t - 1 + k, 0, T - 1))) << t << " " << k;
  EXPECT_EQ(d[(T - 1) * 63 + 6], row(T - 1));
  EXPECT_EQ(d[0], row(0));
}

TEST(FcaEngine, RefusesBadModelsAndArguments) {
  le::test::TmpDir tmp;
  const auto p = le::forge::writeFcaModels(tmp.str("fca"));
  const std::string missing = tmp.str("nope.onnx"), junk = tmp.str("junk.onnx");
  std::ofstream(junk) << "this is not a model";
  auto refused = [](const std::string& ext, const std::string& model, const char* part) {
    Engine g(ext, model);
    EXPECT_EQ(g.e, nullptr);
    const std::string err = le_fca_last_error();
    EXPECT_EQ(err.rfind("le_fca_create: ", 0), 0u) << err;
    EXPECT_NE(err.find(part), std::string::npos) << err;
  };
  refused(missing, p.model, "nope.onnx");
  refused(p.extractor, junk, "junk.onnx");
  refused(p.model, p.extractor, "\"input_values\"");  // swapped
  const auto few = le::forge::writeFcaModels(tmp.str("few"), {8, {1, 384}});
  refused(few.extractor, p.model, "at least 10 layers");
  const auto badH = le::forge::writeFcaModels(tmp.str("badh"), {12, {1, 383}});
  refused(p.extractor, badH.model, "\"h\" holds 383");
  EXPECT_EQ(le_fca_create(nullptr, p.model.c_str(), 0), nullptr);
  EXPECT_STREQ(le_fca_last_error(), "le_fca_create: NULL extractor_path/model_path");

  Engine g(p.extractor, p.model);  // threads 0: the worker pool's size
  ASSERT_NE(g.e, nullptr) << le_fca_last_error();
  EXPECT_STREQ(le_fca_last_error(), "");
  std::vector<float> a(1280, 0.1f), out(2 * 63);
  EXPECT_EQ(le_fca_deltas(nullptr, a.data(), 1280, out.data(), 2), -1);
  EXPECT_STREQ(le_fca_last_error(), "le_fca_deltas: NULL engine");
  EXPECT_EQ(le_fca_deltas(g.e, nullptr, 1280, out.data(), 2), -1);
  EXPECT_STREQ(le_fca_last_error(), "le_fca_deltas: NULL audio/out");
  EXPECT_EQ(le_fca_deltas(g.e, a.data(), 1280, nullptr, 2), -1);
  EXPECT_EQ(le_fca_deltas(g.e, a.data(), 1280, out.data(), 1), -1);
  EXPECT_STREQ(le_fca_last_error(), "le_fca_deltas: cap 1 < 2 frames");
  // The frame count of the largest clip does not overflow; nothing is read or run.
  EXPECT_EQ(le_fca_deltas(g.e, a.data(), INT_MAX, out.data(), 2), -1);
  EXPECT_STREQ(le_fca_last_error(), "le_fca_deltas: cap 2 < 3355444 frames");
  EXPECT_EQ(le_fca_deltas(g.e, a.data(), 0, out.data(), 2), 0);
  EXPECT_EQ(le_fca_deltas(g.e, a.data(), -5, out.data(), 2), 0);
  EXPECT_STREQ(le_fca_last_error(), "");
  EXPECT_EQ(le_fca_deltas(g.e, a.data(), 1280, out.data(), 2), 2);
  le_fca_destroy(nullptr);

  // A null engine is refused before any argument rule, each of which would
  // otherwise answer differently (0 for n < 1, "NULL audio/out", a cap refusal).
  const struct {
    const float* audio;
    int n;
    float* out;
    int cap;
  } nullCalls[] = {
      {a.data(), 1280, out.data(), 2}, {a.data(), 0, out.data(), 2}, {a.data(), -5, out.data(), 2},
      {nullptr, 1280, out.data(), 2},  {a.data(), 1280, nullptr, 2}, {a.data(), 1280, out.data(), 1},
  };
  for (const auto& c : nullCalls) {
    ASSERT_EQ(le_fca_deltas(g.e, a.data(), 0, out.data(), 2), 0);  // a success empties the text
    EXPECT_EQ(le_fca_deltas(nullptr, c.audio, c.n, c.out, c.cap), -1) << c.n << " " << c.cap;
    EXPECT_STREQ(le_fca_last_error(), "le_fca_deltas: NULL engine");
  }
  le_fca_destroy(nullptr);  // cannot fail: the text stays
  EXPECT_STREQ(le_fca_last_error(), "le_fca_deltas: NULL engine");
}

}  // namespace
