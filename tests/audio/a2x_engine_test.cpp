// The expression engine through its exported interface: streaming against
// offline, cadence, walk, bad input and computation failures.
#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <random>

#include "a2x_test_util.h"
#include "forge/forge.h"

namespace {

using namespace le::test::a2x;
using le::forge::A2xDirOptions;
using le::forge::writeA2xDir;
using le::test::TmpDir;

// Pushes the clip in random pieces, interleaving avail and random pulls,
// finishes and pulls the rest.
Frames streamRandom(le_a2x* e, const std::vector<float>& audio, uint32_t seed) {
  std::mt19937 rng(seed);
  Frames fr;
  size_t at = 0;
  while (at < audio.size()) {
    size_t n = std::min<size_t>(audio.size() - at, 1 + rng() % 7000);
    EXPECT_EQ(le_a2x_push(e, audio.data() + at, int(n)), 1);
    at += n;
    EXPECT_EQ(le_a2x_total(e), -1);
    if (rng() % 2) {
      EXPECT_GE(le_a2x_avail(e), 0);
    }
    if (rng() % 2) pullInto(e, fr, int(rng() % 20));
  }
  le_a2x_finish(e);
  EXPECT_EQ(le_a2x_total(e), int((audio.size() + 639) / 640));
  while (true) {
    int a = le_a2x_avail(e);
    EXPECT_GE(a, 0);
    if (pullInto(e, fr, 1 + int(rng() % 9)) == 0 && a == 0) break;
  }
  return fr;
}

void expectSameFrames(const Frames& a, const Frames& b) {
  ASSERT_EQ(a.count(), b.count());
  EXPECT_EQ(a.si, b.si);
  for (size_t i = 0; i < a.xd.size(); ++i) ASSERT_NEAR(a.xd[i], b.xd[i], 1e-5f) << "value " << i;
  for (size_t i = 0; i < a.wn.size(); ++i) ASSERT_NEAR(a.wn[i], b.wn[i], 1e-5f) << "wn " << i;
}

TEST(A2xStream, ShortWindowStreamingEqualsOffline) {
  TmpDir d;
  A2xDirOptions o;
  o.wn = true;
  auto files = writeA2xDir(d.str(), o);
  CleanEnv env(files.w2v);
  auto clip = le::test::speechFixture();
  ASSERT_GT(clip.size(), 16000u * 2);

  auto whole = create(d.str());
  auto streamed = create(d.str());
  ASSERT_TRUE(whole && streamed);
  Frames ref = streamWhole(whole.get(), clip);
  ASSERT_EQ(ref.count(), int((clip.size() + 639) / 640));
  for (uint32_t seed : {1u, 2u, 3u}) {
    Frames got = streamRandom(streamed.get(), clip, seed);
    expectSameFrames(ref, got);
    EXPECT_EQ(le_a2x_reset(streamed.get(), 0, 1, 1), 1);
  }

  // The offline call gives the streamed deltas and wn values.
  std::vector<float> wn;
  auto del = offline(whole.get(), clip, &wn);
  ASSERT_EQ(int(del.size()), ref.count() * 63);
  for (int k = 0; k < ref.count(); ++k) {
    for (int c = 0; c < 63; ++c) ASSERT_NEAR(del[size_t(k) * 63 + c], ref.delta(k, c), 1e-5f) << k << "," << c;
    ASSERT_NEAR(wn[k], ref.wn[k], 1e-6f);
  }
  // The speech is not silent: the comparison above compared something.
  EXPECT_GT(*std::max_element(wn.begin(), wn.end()), 0.5f);
}

TEST(A2xStream, LegacyWindowServesOfflineFramesAndIgnoresPartialBlocks) {
  TmpDir d;
  A2xDirOptions o;
  o.shortWindow = false;
  auto files = writeA2xDir(d.str(), o);
  CleanEnv env(files.w2v);
  // Longer than one 8 s window, so that the second window serves frames too.
  auto clip = periodicClip(16000 * 10 + 321);
  auto s = le::test::speechFixture();
  std::copy(s.begin(), s.end(), clip.begin() + 16000 * 7);
  auto e = create(d.str());
  ASSERT_TRUE(e);
  auto del = offline(e.get(), clip);
  std::mt19937 rng(7);
  size_t at = 0;
  while (at < clip.size()) {
    size_t n = std::min<size_t>(clip.size() - at, 1 + rng() % 30000);
    le_a2x_push(e.get(), clip.data() + at, int(n));
    at += n;
  }
  le_a2x_finish(e.get());
  Frames fr;
  while (true) {
    int a = le_a2x_avail(e.get());
    // The legacy window advances by up to 64 frames per call.
    if (fr.count() == 0) {
      EXPECT_EQ(a, 64);
    }
    if (pullInto(e.get(), fr, 1 + int(rng() % 20)) == 0 && a == 0) break;
  }
  ASSERT_EQ(fr.count() * 63, int(del.size()));
  for (int k = 0; k < fr.count(); ++k)
    for (int c = 0; c < 63; ++c) ASSERT_NEAR(fr.delta(k, c), del[size_t(k) * 63 + c], 1e-5f);

  // Before finish, samples past the last whole block do not reach the window:
  // a partial block pushed early changes nothing that is served.
  auto cut = create(d.str());
  ASSERT_TRUE(cut);
  le_a2x_reset(e.get(), 0, 1, 1);
  le_a2x_push(e.get(), s.data(), 5 * 5120);
  le_a2x_push(cut.get(), s.data(), 5 * 5120 + 4000);
  Frames whole, partial;
  while (pullInto(e.get(), whole, 64) > 0) {
  }
  while (pullInto(cut.get(), partial, 64) > 0) {
  }
  ASSERT_GT(whole.count(), 0);
  expectSameFrames(whole, partial);
}

TEST(A2xStream, LoudSpeechOpensTheLipsAndSilenceGivesTheSourcePose) {
  TmpDir d;
  auto files = writeA2xDir(d.str());
  CleanEnv env(files.w2v);
  auto e = create(d.str());
  ASSERT_TRUE(e);
  auto clip = le::test::speechFixture();
  auto del = offline(e.get(), clip);
  const int frames = int(del.size() / 63);
  // Loudness per frame from the clip itself.
  std::vector<double> rms(frames, 0.0);
  for (int k = 0; k < frames; ++k) {
    double acc = 0;
    int n = 0;
    for (size_t t = size_t(k) * 640; t < std::min(clip.size(), size_t(k + 1) * 640); ++t, ++n) acc += clip[t] * clip[t];
    rms[k] = std::sqrt(acc / std::max(n, 1));
  }
  // Loud frames (top quarter by loudness) against frames inside a pause
  // (silent for 5 frames either side: beyond the model's temporal reach).
  std::vector<double> sorted = rms;
  std::sort(sorted.begin(), sorted.end());
  const double loudLevel = sorted[size_t(frames) * 3 / 4];
  double loud = 0, quiet = 0;
  int nLoud = 0, nQuiet = 0;
  for (int k = 0; k < frames; ++k) {
    const float open = del[size_t(k) * 63 + kLowerLipY];
    bool paused = k >= 5 && k + 5 < frames;
    for (int j = k - 5; paused && j <= k + 5; ++j) paused = rms[j] < 1e-3;
    if (paused) {
      quiet += open;
      ++nQuiet;
    } else if (rms[k] >= loudLevel) {
      loud += open;
      ++nLoud;
    }
  }
  ASSERT_GT(nQuiet, 0);
  ASSERT_GT(nLoud, 0);
  EXPECT_GT(loud / nLoud, 0.03);
  EXPECT_GT(loud / nLoud, 10 * std::fabs(quiet / nQuiet));

  // Pure silence: every driving set is its source set.
  std::vector<float> silence(16000, 0.f);
  Frames fr = streamWhole(e.get(), silence);
  ASSERT_EQ(fr.count(), 25);
  EXPECT_EQ(fr.xd, fr.xs);
}

TEST(A2xStream, BlocksCadenceAndTotal) {
  TmpDir d;
  auto files = writeA2xDir(d.str());
  CleanEnv env(files.w2v);
  auto e = create(d.str());
  ASSERT_TRUE(e);
  auto clip = le::test::speechFixture();
  // Frames ready before finish: whole 5120-sample blocks, less the right
  // context (12) rounded to whole blocks, less the encoder look-ahead 2 x 2.
  auto readyFor = [](int samples) {
    int f = samples / 5120 * 8 - 12;
    f = f <= 0 ? 0 : f / 8 * 8;
    return std::max(0, f - 4);
  };
  Frames fr;
  int pushed = 0;
  for (int blocks : {3, 4, 6}) {
    int upto = blocks * 5120;
    le_a2x_push(e.get(), clip.data() + pushed, upto - pushed);
    pushed = upto;
    while (pullInto(e.get(), fr, 64) > 0) {
    }
    EXPECT_EQ(fr.count(), readyFor(pushed)) << blocks;
    // Up to 5119 samples beyond the last whole block add nothing.
    le_a2x_push(e.get(), clip.data() + pushed, 5119);
    pushed += 5119;
    EXPECT_EQ(le_a2x_avail(e.get()), 0);
    EXPECT_EQ(pullInto(e.get(), fr, 64), 0);
    EXPECT_EQ(le_a2x_total(e.get()), -1);
    le_a2x_push(e.get(), clip.data() + pushed, 1);
    pushed += 1;
  }
  EXPECT_GT(fr.count(), 0);
  le_a2x_finish(e.get());
  EXPECT_EQ(le_a2x_total(e.get()), (pushed + 639) / 640);
  EXPECT_EQ(le_a2x_avail(e.get()), 8);  // one short-window block per call
  while (pullInto(e.get(), fr, 7) > 0) {
  }
  EXPECT_EQ(fr.count(), (pushed + 639) / 640);
  EXPECT_EQ(le_a2x_avail(e.get()), 0);
}

TEST(A2xStream, SourceWalkAndReset) {
  TmpDir d;
  A2xDirOptions o;
  o.nt = 4;
  auto files = writeA2xDir(d.str(), o);
  CleanEnv env(files.w2v);
  auto e = create(d.str());
  ASSERT_TRUE(e);
  EXPECT_EQ(le_a2x_nt(e.get()), 4);
  EXPECT_EQ(le_a2x_width(e.get()), 63);
  le::forge::BundleSpec spec;
  spec.nt = 4;
  auto xsT = le::forge::targetKeypoints(spec);
  std::vector<float> audio(640 * 10, 0.f);

  EXPECT_EQ(le_a2x_reset(e.get(), 0, 1, 0), 1);
  le_a2x_push(e.get(), audio.data(), int(audio.size()));
  le_a2x_finish(e.get());
  Frames fr;
  pullInto(e.get(), fr, 5);
  EXPECT_EQ(fr.si, (std::vector<int>{0, 1, 2, 3, 2}));
  for (int k = 0; k < fr.count(); ++k)
    for (int c = 0; c < 63; ++c) ASSERT_EQ(fr.xs[size_t(k) * 63 + c], xsT[size_t(fr.si[k]) * 63 + c]);
  // A negative start continues from where the walk stands, in the new direction.
  EXPECT_EQ(le_a2x_reset(e.get(), -1, 1, 0), 1);
  le_a2x_push(e.get(), audio.data(), 640 * 4);
  le_a2x_finish(e.get());
  pullInto(e.get(), fr, 4);
  EXPECT_EQ(std::vector<int>(fr.si.begin() + 5, fr.si.end()), (std::vector<int>{1, 0, 1, 2}));
  // Looping backwards from 1.
  EXPECT_EQ(le_a2x_reset(e.get(), 1, -5, 1), -1);
  le_a2x_push(e.get(), audio.data(), 640 * 3);
  le_a2x_finish(e.get());
  Frames lp;
  pullInto(e.get(), lp, 3);
  EXPECT_EQ(lp.si, (std::vector<int>{1, 0, 3}));
  // Reset clears the audio: nothing is left to pull.
  le_a2x_reset(e.get(), 0, 1, 1);
  EXPECT_EQ(le_a2x_avail(e.get()), 0);
  EXPECT_EQ(le_a2x_total(e.get()), -1);
}

TEST(A2xInput, EdgeClipsAndBadSamples) {
  TmpDir d;
  A2xDirOptions o;
  o.wn = false;
  auto files = writeA2xDir(d.str(), o);
  CleanEnv env(files.w2v);
  auto e = create(d.str());
  ASSERT_TRUE(e);
  float dummy[63];
  // Zero-length and one-sample clips.
  EXPECT_EQ(le_a2x_deltas(e.get(), nullptr, 0, nullptr, 0), 0);
  float one = 0.5f;
  EXPECT_EQ(le_a2x_deltas(e.get(), &one, 1, dummy, 1), 1);
  le_a2x_finish(e.get());
  EXPECT_EQ(le_a2x_total(e.get()), 0);
  EXPECT_EQ(le_a2x_avail(e.get()), 0);
  Frames fr;
  EXPECT_EQ(pullInto(e.get(), fr, 4), 0);
  le_a2x_reset(e.get(), 0, 1, 1);
  le_a2x_push(e.get(), &one, 1);
  le_a2x_finish(e.get());
  EXPECT_EQ(le_a2x_total(e.get()), 1);
  EXPECT_EQ(pullInto(e.get(), fr, 4), 1);

  // Pushing after finish is refused: the last frame is already final.
  EXPECT_EQ(le_a2x_push(e.get(), &one, 1), 0);
  EXPECT_STREQ(le_a2x_last_error(), "le_a2x_push: push after finish (reset for a new utterance)");
  EXPECT_EQ(le_a2x_total(e.get()), 1);
  EXPECT_EQ(le_a2x_push(e.get(), &one, 0), 1);  // nothing to append is no error
  EXPECT_STREQ(le_a2x_last_error(), "");

  // Capacity, missing wn output.
  std::vector<float> clip = le::test::speechFixture();
  EXPECT_EQ(le_a2x_deltas(e.get(), clip.data(), 641, dummy, 1), -2);
  EXPECT_STREQ(le_a2x_last_error(), "le_a2x_deltas: cap 1 < 2 frames");
  float wn[2];
  EXPECT_EQ(le_a2x_deltas_wn(e.get(), clip.data(), 640, dummy, wn, 1), -3);
  EXPECT_STREQ(le_a2x_last_error(), "le_a2x_deltas_wn: encoder declares no wn output");

  // Non-finite samples count as silence; huge finite ones stay finite.
  std::vector<float> bad = clip, zeroed = clip;
  for (size_t t = 8000; t < 8400; ++t) {
    bad[t] = (t % 3 == 0) ? NAN : (t % 3 == 1 ? INFINITY : -INFINITY);
    zeroed[t] = 0.f;
  }
  auto a = offline(e.get(), bad), b = offline(e.get(), zeroed);
  ASSERT_EQ(a.size(), b.size());
  for (size_t i = 0; i < a.size(); ++i) ASSERT_EQ(a[i], b[i]);
  le_a2x_reset(e.get(), 0, 1, 1);
  Frames nf = streamWhole(e.get(), bad);
  for (float v : nf.xd) ASSERT_TRUE(std::isfinite(v));
  std::vector<float> huge = clip;
  for (size_t t = 3000; t < 3100; ++t) huge[t] = (t % 2 ? 3e38f : -3e38f);
  for (float v : offline(e.get(), huge)) ASSERT_TRUE(std::isfinite(v));

  // Null handles are refused by name.
  EXPECT_EQ(le_a2x_push(nullptr, &one, 1), 0);
  EXPECT_STREQ(le_a2x_last_error(), "le_a2x_push: NULL engine");
  EXPECT_EQ(le_a2x_pull(nullptr, nullptr, nullptr, nullptr, 1), -1);
  EXPECT_EQ(le_a2x_total(nullptr), -1);
  le_a2x_destroy(nullptr);
  // Every entry point: its failure value and "<function>: NULL engine", even
  // where its arguments would otherwise be fine.
  static float buf[3 * 63];
  static int sis[2];
  const struct {
    const char* fn;
    int (*call)();
    bool returns;  // false: a void entry point
    int failure;
  } nullCalls[] = {
      {"le_a2x_push", [] { return le_a2x_push(nullptr, buf, 1); }, true, 0},
      {"le_a2x_finish", [] { le_a2x_finish(nullptr); return 0; }, false, 0},
      {"le_a2x_total", [] { return le_a2x_total(nullptr); }, true, -1},
      {"le_a2x_avail", [] { return le_a2x_avail(nullptr); }, true, -1},
      {"le_a2x_pull", [] { return le_a2x_pull(nullptr, sis, buf, buf + 63, 1); }, true, -1},
      {"le_a2x_pull_wn", [] { return le_a2x_pull_wn(nullptr, sis, buf, buf + 63, buf + 126, 1); }, true, -1},
      {"le_a2x_deltas", [] { return le_a2x_deltas(nullptr, buf, 1, buf, 1); }, true, -1},
      {"le_a2x_deltas_wn", [] { return le_a2x_deltas_wn(nullptr, buf, 1, buf, buf + 63, 1); }, true, -1},
      {"le_a2x_reset", [] { return le_a2x_reset(nullptr, 0, 1, 1); }, true, 0},
      {"le_a2x_set_eager", [] { le_a2x_set_eager(nullptr, 1); return 0; }, false, 0},
      {"le_a2x_width", [] { return le_a2x_width(nullptr); }, true, 0},
      {"le_a2x_nt", [] { return le_a2x_nt(nullptr); }, true, 0},
  };
  for (const auto& c : nullCalls) {
    ASSERT_EQ(le_a2x_width(e.get()), 63);  // a success empties the text
    const int got = c.call();
    if (c.returns) {
      EXPECT_EQ(got, c.failure) << c.fn;
    }
    EXPECT_EQ(std::string(le_a2x_last_error()), std::string(c.fn) + ": NULL engine");
  }
  le_a2x_destroy(nullptr);  // cannot fail: the text stays
  EXPECT_STREQ(le_a2x_last_error(), "le_a2x_nt: NULL engine");
}

TEST(A2xInput, ComputationFailureAddsNoFramesAndLeavesTheEngineUsable) {
  TmpDir d;
  A2xDirOptions o;
  o.encFailAbove = 4.f;
  auto files = writeA2xDir(d.str(), o);
  CleanEnv env(files.w2v);
  auto e = create(d.str());
  ASSERT_TRUE(e);
  std::mt19937 rng(5);
  std::uniform_real_distribution<float> quietNoise(-0.01f, 0.01f), loudNoise(-0.8f, 0.8f);
  std::vector<float> quiet(16000 * 3);
  for (float& v : quiet) v = quietNoise(rng);
  le_a2x_push(e.get(), quiet.data(), int(quiet.size()));
  Frames fr;
  while (pullInto(e.get(), fr, 64) > 0) {
  }
  const int before = fr.count();
  ASSERT_GT(before, 0) << le_a2x_last_error();

  std::vector<float> loud(3200 * 2);
  for (float& v : loud) v = loudNoise(rng);
  le_a2x_push(e.get(), loud.data(), int(loud.size()));
  le_a2x_push(e.get(), quiet.data(), int(quiet.size()));
  // Frames whose encoder span stays clear of the burst still come; then the
  // extension fails and keeps failing without adding anything.
  std::string err;
  for (int i = 0; i < 40 && err.empty(); ++i) {
    le_a2x_avail(e.get());
    err = le_a2x_last_error();
    if (err.empty()) pullInto(e.get(), fr, 64);
  }
  EXPECT_EQ(err.rfind("le_a2x extend: ", 0), 0u) << err;
  const int served = fr.count();
  for (int i = 0; i < 3; ++i) {
    EXPECT_EQ(le_a2x_avail(e.get()), 0);
    EXPECT_EQ(pullInto(e.get(), fr, 64), 0);
    EXPECT_EQ(std::string(le_a2x_last_error()), err);
  }
  EXPECT_EQ(fr.count(), served);
  EXPECT_LT(served, 75);  // the burst starts at frame 75
  // The offline call fails alike and leaves the stream as it was.
  std::vector<float> clip = quiet;
  clip.insert(clip.end(), loud.begin(), loud.end());
  std::vector<float> out(size_t(clip.size() / 640 + 1) * 63);
  EXPECT_EQ(le_a2x_deltas(e.get(), clip.data(), int(clip.size()), out.data(), int(clip.size() / 640 + 1)), -1);
  EXPECT_EQ(std::string(le_a2x_last_error()).rfind("le_a2x_deltas: ", 0), 0u);

  // A new utterance of quiet audio serves what a fresh engine serves.
  le_a2x_reset(e.get(), 0, 1, 1);
  Frames again = streamWhole(e.get(), quiet);
  auto fresh = create(d.str());
  Frames ref = streamWhole(fresh.get(), quiet);
  expectSameFrames(ref, again);
  // And it served the first utterance's frames identically too.
  for (int k = 0; k < before; ++k)
    for (int c = 0; c < 63; ++c) ASSERT_NEAR(fr.delta(k, c), ref.delta(k, c), 1e-5f);
}

}  // namespace
