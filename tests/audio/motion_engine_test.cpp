// The motion engine through its exported interface: streaming against offline,
// frame counts, lips against loudness, eager mode, and refusals.
#include <gtest/gtest.h>

#include <cmath>
#include <limits>
#include <random>

#include "audio/le_motion.h"
#include "audio/motion_util.h"
#include "forge/forge_motion.h"
#include "support/env.h"
#include "support/tmpdir.h"

namespace {

using le::test::Frames;

struct Engine {
  le_motion* m = nullptr;
  explicit Engine(const std::string& dir, const char* ep = nullptr) : m(le_motion_create(dir.c_str(), 1, ep)) {}
  ~Engine() { le_motion_destroy(m); }
};

class MotionEngine : public ::testing::Test {
 protected:
  void SetUp() override { le::forge::writeMotionDir(dir()); }
  std::string dir() const { return tmp_.str("motion"); }
  std::string member(const std::string& n) const { return dir() + "/" + n; }
  le::test::TmpDir tmp_;
};

TEST_F(MotionEngine, StreamingInRandomPiecesEqualsOffline) {
  std::vector<float> audio = le::test::speechFixture();
  const std::vector<float> once = audio;
  audio.insert(audio.end(), once.begin(), once.end());  // long enough to stream past a chunk
  Engine a(dir()), b(dir());
  ASSERT_NE(a.m, nullptr) << le_motion_last_error();
  const Frames off = le::test::runOffline(a.m, audio);
  ASSERT_EQ(off.count(), int((audio.size() + 639) / 640));

  std::mt19937 rng(3);
  Frames st;
  for (size_t at = 0; at < audio.size();) {
    const size_t n = std::min<size_t>(audio.size() - at, std::uniform_int_distribution<int>(1, 9000)(rng));
    ASSERT_EQ(le_motion_push(b.m, audio.data() + at, int(n)), 1);
    at += n;
    le::test::pullAll(b.m, st, std::uniform_int_distribution<int>(1, 7)(rng));
  }
  EXPECT_GT(st.count(), 0) << "frames should stream before the end of input";
  EXPECT_LT(st.count(), off.count());
  ASSERT_EQ(le_motion_finish(b.m), 1);
  le::test::pullAll(b.m, st, 5);
  ASSERT_EQ(st.count(), off.count());
  EXPECT_EQ(st.si, off.si);
  for (size_t i = 0; i < off.xd.size(); ++i) {
    ASSERT_NEAR(st.xs[i], off.xs[i], 1e-5) << i;
    ASSERT_NEAR(st.xd[i], off.xd[i], 1e-5) << "frame " << i / 63;
  }

  // A reset utterance on the same engine gives the same frames again.
  le_motion_reset(b.m, 0, 1, 0);
  EXPECT_EQ(le_motion_total(b.m), -1);
  const Frames again = le::test::runOffline(b.m, audio);
  ASSERT_EQ(again.count(), off.count());
  for (size_t i = 0; i < off.xd.size(); ++i) ASSERT_NEAR(again.xd[i], off.xd[i], 1e-5);
}

TEST_F(MotionEngine, FrameCountsAtTheEdges) {
  Engine e(dir());
  std::vector<float> tone(60000);
  for (size_t i = 0; i < tone.size(); ++i) tone[i] = 0.3f * std::sin(0.05f * float(i));
  ASSERT_EQ(le_motion_push(e.m, tone.data(), 52479), 1);
  EXPECT_EQ(le_motion_avail(e.m), 0);
  ASSERT_EQ(le_motion_push(e.m, tone.data() + 52479, 1), 1);
  EXPECT_EQ(le_motion_avail(e.m), 69);
  EXPECT_EQ(le_motion_push(e.m, tone.data(), 0), 1);
  EXPECT_EQ(le_motion_total(e.m), -1);

  struct Case {
    int samples, frames;
  };
  for (Case c : {Case{1000, 2}, Case{0, 0}, Case{1, 1}, Case{640, 1}, Case{641, 2}}) {
    le_motion_reset(e.m, 0, 1, 0);
    if (c.samples) {
      ASSERT_EQ(le_motion_push(e.m, tone.data(), c.samples), 1);
    }
    ASSERT_EQ(le_motion_finish(e.m), 1);
    ASSERT_EQ(le_motion_finish(e.m), 1);  // a second finish does nothing
    EXPECT_EQ(le_motion_total(e.m), c.frames);
    EXPECT_EQ(le_motion_avail(e.m), c.frames);
    std::vector<int> si(4, -1);
    std::vector<float> xs(4 * 63), xd(4 * 63);
    EXPECT_EQ(le_motion_pull(e.m, si.data(), xs.data(), xd.data(), 4), c.frames) << le_motion_last_error();
    EXPECT_STREQ(le_motion_last_error(), "");
    for (int k = 0; k < c.frames * 63; ++k) ASSERT_TRUE(std::isfinite(xd[k]));
    EXPECT_EQ(le_motion_pull(e.m, si.data(), xs.data(), xd.data(), 4), 0);
    EXPECT_EQ(le_motion_push(e.m, tone.data(), 10), 0);
    EXPECT_STREQ(le_motion_last_error(), "le_motion_push: bad args / already finished");
  }
}

TEST_F(MotionEngine, SourceWalkAndTargets) {
  le::forge::MotionDirOptions o;
  o.nt = 5;
  o.descriptiveTarget = true;  // found through the member alias
  le::forge::writeMotionDir(tmp_.str("five"), o);
  Engine e(tmp_.str("five"));
  ASSERT_NE(e.m, nullptr) << le_motion_last_error();
  EXPECT_EQ(le_motion_nt(e.m), 5);
  std::vector<float> audio(640 * 9, 0.f);
  const std::vector<float> target = le::test::readArray<float>(tmp_.str("five") + "/target_keypoints.bin");

  auto walk = [&](int start, int dir, int loop) {
    le_motion_reset(e.m, start, dir, loop);
    const Frames f = le::test::runOffline(e.m, audio);
    for (int k = 0; k < f.count(); ++k)
      for (int q = 0; q < 63; ++q) EXPECT_EQ(f.xs[size_t(k) * 63 + q], target[size_t(f.si[k]) * 63 + q]);
    return f.si;
  };
  EXPECT_EQ(walk(3, 1, 0), (std::vector<int>{3, 4, 3, 2, 1, 0, 1, 2, 3}));
  EXPECT_EQ(walk(0, -1, 1), (std::vector<int>{0, 4, 3, 2, 1, 0, 4, 3, 2}));
  EXPECT_EQ(walk(99, 1, 1).front(), 4);   // start clamped
  EXPECT_EQ(walk(-7, -3, 0), (std::vector<int>{0, 1, 2, 3, 4, 3, 2, 1, 0}));
}

float lipSpread(const float* xd) {
  const int lips[6] = {6, 12, 14, 17, 19, 20};
  float cx = 0, cy = 0;
  for (int j : lips) cx += xd[3 * j] / 6, cy += xd[3 * j + 1] / 6;
  float s = 0;
  for (int j : lips) s += std::hypot(xd[3 * j] - cx, xd[3 * j + 1] - cy);
  return s;
}

TEST_F(MotionEngine, LoudSpeechOpensTheLipsAndOnlyTheLips) {
  std::vector<float> audio(16000 / 2, 0.f);  // half a second of silence first
  const std::vector<float> speech = le::test::speechFixture();
  audio.insert(audio.end(), speech.begin(), speech.end());
  Engine e(dir());
  const Frames f = le::test::runOffline(e.m, audio);
  ASSERT_GT(f.count(), 40);
  double loud = 0, quiet = 0;
  int nl = 0, nq = 0;
  for (int k = 1; k + 1 < f.count(); ++k) {
    double e2 = 0;
    for (int i = 640 * (k - 1); i < std::min<int>(640 * (k + 2), int(audio.size())); ++i) e2 += double(audio[i]) * audio[i];
    const double rms = std::sqrt(e2 / (640 * 3));
    const float s = lipSpread(&f.xd[size_t(k) * 63]);
    if (rms > 0.1) loud += s, ++nl;
    if (rms < 1e-4) quiet += s, ++nq;
    // Keypoints outside the lip set keep the source frame's pose.
    for (int j = 0; j < 21; ++j) {
      if (j == 6 || j == 12 || j == 14 || j == 17 || j == 19 || j == 20) continue;
      for (int c = 0; c < 3; ++c)
        ASSERT_NEAR(f.xd[size_t(k) * 63 + 3 * j + c], f.xs[size_t(k) * 63 + 3 * j + c], 1e-5) << "frame " << k << " kp " << j;
    }
  }
  ASSERT_GT(nl, 5);
  ASSERT_GT(nq, 5);
  EXPECT_GT(loud / nl, quiet / nq + 0.02) << "loud " << loud / nl << " quiet " << quiet / nq;
  // Silence at the start gives the source pose itself.
  for (int q = 0; q < 63; ++q) EXPECT_NEAR(f.xd[q], f.xs[q], 1e-5);
}

TEST_F(MotionEngine, EagerModeDeliversEarlyAndCommitsTheSameSequence) {
  const std::vector<float> audio = le::test::speechFixture();
  const std::string dumpA = tmp_.str("dump-a"), dumpB = tmp_.str("dump-b");
  std::filesystem::create_directories(dumpA);
  std::filesystem::create_directories(dumpB);
  auto dumpingTo = [&](const std::string& d) {
    le::test::ScopedEnv dump("LE_MOTION_DUMP", d.c_str());
    return Engine(dir());
  };
  Engine off = dumpingTo(dumpA), eager = dumpingTo(dumpB);
  le::test::runOffline(off.m, audio);

  for (int mode : {4, -1}) {
    le_motion_reset(eager.m, 0, 1, 0);
    le_motion_set_eager(eager.m, mode);
    Frames f;
    size_t at = 0;
    for (; at < 16000; at += 1600) {
      ASSERT_EQ(le_motion_push(eager.m, audio.data() + at, 1600), 1);
      le::test::pullAll(eager.m, f, 3);
    }
    EXPECT_GT(f.count(), 15) << "eager mode " << mode << " should run ahead of the 80-frame chunk";
    EXPECT_LE(f.count(), 25);
    ASSERT_EQ(le_motion_push(eager.m, audio.data() + at, int(audio.size() - at)), 1);
    le::test::pullAll(eager.m, f, 3);
    ASSERT_EQ(le_motion_finish(eager.m), 1);
    le::test::pullAll(eager.m, f, 3);
    EXPECT_EQ(f.count(), le_motion_total(eager.m));
    for (float v : f.xd) ASSERT_TRUE(std::isfinite(v));
    // Provisional work is rolled back: the committed sequence equals the offline one.
    const auto a = le::test::readArray<float>(dumpA + "/final.bin"), b = le::test::readArray<float>(dumpB + "/final.bin");
    ASSERT_EQ(a.size(), b.size());
    for (size_t i = 0; i < a.size(); ++i) ASSERT_NEAR(a[i], b[i], 1e-5) << "mode " << mode << " at " << i;
  }
}

TEST_F(MotionEngine, BadSamplesAreSanitised) {
  std::vector<float> clean = le::test::speechFixture();
  clean.resize(30000);
  std::vector<float> bad = clean;
  bad[100] = std::numeric_limits<float>::quiet_NaN();
  bad[5000] = std::numeric_limits<float>::infinity();
  bad[9000] = 1e30f;
  bad[9001] = -1e30f;
  clean[100] = 0, clean[5000] = 0, clean[9000] = 1, clean[9001] = -1;
  Engine a(dir()), b(dir());
  const Frames fa = le::test::runOffline(a.m, clean), fb = le::test::runOffline(b.m, bad);
  ASSERT_EQ(fa.count(), fb.count());
  for (size_t i = 0; i < fa.xd.size(); ++i) {
    ASSERT_TRUE(std::isfinite(fb.xd[i]));
    ASSERT_EQ(fa.xd[i], fb.xd[i]);
  }
}

TEST_F(MotionEngine, RefusesBadDirectoriesWithExactMessages) {
  auto createError = [&](const char* ep = nullptr) {
    Engine e(dir(), ep);
    EXPECT_EQ(e.m, nullptr);
    return std::string(le_motion_last_error());
  };
  EXPECT_EQ(le_motion_create(nullptr, 1, nullptr), nullptr);
  EXPECT_STREQ(le_motion_last_error(), "le_motion_create: NULL motion_dir");
  EXPECT_EQ(createError("cuda"), "le_motion_create: le_motion: unknown ep 'cuda'");
  const std::string coreml = createError("coreml_ane");  // not in this runtime build
  EXPECT_EQ(coreml.rfind("le_motion_create: ", 0), 0u);
  EXPECT_GT(coreml.size(), 18u);
  { Engine ok(dir(), ""); EXPECT_NE(ok.m, nullptr) << le_motion_last_error(); }
  EXPECT_STREQ(le_motion_last_error(), "");

  auto v = le::test::readArray<float>(member("v_min_max.bin"));
  v.pop_back();
  le::test::writeArray(member("v_min_max.bin"), v);
  EXPECT_EQ(createError(), "le_motion_create: " + member("v_min_max.bin") + ": 529 floats, expected 530");
  v.push_back(0), v.push_back(0);
  le::test::writeArray(member("v_min_max.bin"), v);
  EXPECT_EQ(createError(), "le_motion_create: " + member("v_min_max.bin") + ": 531 floats, expected 530");
  le::forge::writeMotionDir(dir());

  std::filesystem::remove(member("emo.bin"));
  EXPECT_EQ(createError(), "le_motion_create: cannot open " + member("emo.bin"));
  le::forge::writeMotionDir(dir());
  std::filesystem::remove(member("xs_target.bin"));
  EXPECT_EQ(createError(), "le_motion_create: cannot open " + member("xs_target.bin"));
  le::forge::writeMotionDir(dir());
  std::filesystem::remove(member("stitch.onnx"));
  EXPECT_EQ(createError().rfind("le_motion_create: ", 0), 0u);
  le::forge::writeMotionDir(dir());

  auto meta = [&](const std::string& text) {
    std::ofstream(member("meta.json"), std::ios::trunc) << text;
    return createError();
  };
  EXPECT_EQ(meta(R"({"nt": 8, "n_src": 8, "n_emo": 4})"), "le_motion_create: meta.json: missing s_bridge");
  EXPECT_EQ(meta(R"({"n_src": 8, "n_emo": 4, "s_bridge": 1})"), "le_motion_create: meta.json: missing nt");
  EXPECT_EQ(meta(R"({"nt" 8, "n_src": 8, "n_emo": 4, "s_bridge": 1})"), "le_motion_create: meta.json: bad nt");
  EXPECT_EQ(meta(R"({"nt": 8, "n_src": 8, "n_emo": 0, "s_bridge": 1})"), "le_motion_create: meta.json: bad n_emo");
  EXPECT_EQ(meta(R"({"nt": 8, "n_src": 7, "n_emo": 4, "s_bridge": 1})"), "le_motion_create: le_motion: n_src != nt unsupported");
  std::filesystem::remove(member("meta.json"));
  EXPECT_EQ(createError(), "le_motion_create: cannot open " + member("meta.json"));
}

TEST_F(MotionEngine, BadCallsAndNullEngine) {
  Engine e(dir());
  float xs[63], xd[63];
  int si = 0;
  EXPECT_EQ(le_motion_push(e.m, nullptr, 5), 0);
  EXPECT_STREQ(le_motion_last_error(), "le_motion_push: bad args / already finished");
  EXPECT_EQ(le_motion_push(e.m, xs, -1), 0);
  EXPECT_EQ(le_motion_pull(e.m, &si, nullptr, xd, 1), 0);
  EXPECT_STREQ(le_motion_last_error(), "le_motion_pull: bad args");
  EXPECT_EQ(le_motion_pull(e.m, &si, xs, xd, 0), 0);
  EXPECT_STREQ(le_motion_last_error(), "le_motion_pull: bad args");
  EXPECT_EQ(le_motion_avail(e.m), 0);
  EXPECT_STREQ(le_motion_last_error(), "");

  EXPECT_EQ(le_motion_push(nullptr, xs, 1), 0);
  EXPECT_EQ(le_motion_pull(nullptr, &si, xs, xd, 1), 0);
  EXPECT_EQ(le_motion_avail(nullptr), 0);
  EXPECT_EQ(le_motion_finish(nullptr), 0);
  EXPECT_EQ(le_motion_total(nullptr), 0);
  EXPECT_EQ(le_motion_nt(nullptr), 0);
  le_motion_reset(nullptr, 0, 1, 0);
  le_motion_set_eager(nullptr, 1);
  le_motion_destroy(nullptr);

  // Every entry point: its failure value and its text, the fixed one where the
  // function has it, else "<function>: NULL engine".
  static float buf[2 * 63];
  static int sis[1];
  const struct {
    int (*call)();
    bool returns;  // false: a void entry point
    const char* text;
  } nullCalls[] = {
      {[] { return le_motion_push(nullptr, buf, 1); }, true, "le_motion_push: bad args / already finished"},
      {[] { return le_motion_finish(nullptr); }, true, "le_motion_finish: NULL engine"},
      {[] { return le_motion_avail(nullptr); }, true, "le_motion_avail: NULL engine"},
      {[] { return le_motion_pull(nullptr, sis, buf, buf + 63, 1); }, true, "le_motion_pull: bad args"},
      {[] { le_motion_reset(nullptr, 0, 1, 0); return 0; }, false, "le_motion_reset: NULL engine"},
      {[] { le_motion_set_eager(nullptr, 1); return 0; }, false, "le_motion_set_eager: NULL engine"},
      {[] { return le_motion_total(nullptr); }, true, "le_motion_total: NULL engine"},
      {[] { return le_motion_nt(nullptr); }, true, "le_motion_nt: NULL engine"},
  };
  for (const auto& c : nullCalls) {
    ASSERT_GT(le_motion_nt(e.m), 0);  // a success empties the text
    const int got = c.call();
    if (c.returns) {
      EXPECT_EQ(got, 0) << c.text;
    }
    EXPECT_STREQ(le_motion_last_error(), c.text);
  }
  le_motion_destroy(nullptr);  // cannot fail: the text stays
  EXPECT_STREQ(le_motion_last_error(), "le_motion_nt: NULL engine");
}

}  // namespace
