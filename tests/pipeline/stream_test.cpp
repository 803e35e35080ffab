// The clip pipeline through its exported interface: every delivered frame
// against a hand-made render and paste of the same walk, the edges of a run
// and of creation, and a driver frame that breaks part way through a clip.
#include <gtest/gtest.h>

#include <filesystem>
#include <string>
#include <vector>

#include "forge/forge.h"
#include "forge/forge_fca.h"
#include "le/le.h"
#include "le/le_fca.h"
#include "le/le_utt.h"
#include "support/errors.h"
#include "support/files.h"
#include "support/tmpdir.h"

namespace fs = std::filesystem;
using le::test::startsWith;
using le::test::TmpDir;

namespace {

constexpr int kThreads = 1;

struct Clip {
  le::forge::BundleSpec spec;
  std::string bundle, extractor;
};

// A bundle with the director "render" and the whole-clip model beside it.
Clip writeClipBundle(const TmpDir& t, int nt) {
  Clip c;
  c.spec.nt = nt;
  c.spec.W = 64;
  c.spec.H = 72;
  c.spec.crop = 32;
  c.bundle = t.str("bundle");
  le::forge::writeBundle(c.bundle, c.spec);
  le::forge::writeDirector(c.bundle + "/model_render.onnx", c.spec);
  const auto models = le::forge::writeFcaModels(t.str("fca"));
  fs::copy_file(models.model, c.bundle + "/fca_stream.onnx");
  c.extractor = models.extractor;
  return c;
}

struct Stream {
  le_stream* p = nullptr;
  Stream(const Clip& c, int skip, float gain)
      : p(le_stream_create(c.bundle.c_str(), c.extractor.c_str(), kThreads, skip, gain)) {}
  ~Stream() { le_stream_destroy(p); }
};

// What the callback saw, in call order.
struct Seen {
  std::vector<int> index;
  std::vector<std::vector<unsigned char>> frames;
  int w = 0, h = 0;
  static void take(void* user, int frame, const unsigned char* rgb, int w, int h) {
    auto* s = static_cast<Seen*>(user);
    s->index.push_back(frame);
    s->frames.emplace_back(rgb, rgb + size_t(w) * size_t(h) * 3);
    s->w = w;
    s->h = h;
  }
};

std::vector<float> clipOf(size_t samples) {
  std::vector<float> a = le::test::speechFixture();
  a.resize(samples);
  return a;
}

class StreamOracle : public ::testing::TestWithParam<int> {};

TEST_P(StreamOracle, EveryFrameIsTheRenderAndPasteOfTheWalk) {
  const int nt = GetParam(), skip = 2;
  const float gain = 1.5f;
  TmpDir t;
  const Clip c = writeClipBundle(t, nt);
  const std::vector<float> audio = clipOf(32000 + 100);  // 51 frames: the walk wraps for every nt
  const int n = int(audio.size()), T = (n + 639) / 640;

  Stream s(c, skip, gain);
  ASSERT_NE(s.p, nullptr) << le_stream_last_error();
  EXPECT_EQ(le_stream_width(s.p), c.spec.W);
  EXPECT_EQ(le_stream_height(s.p), c.spec.H);
  Seen seen;
  ASSERT_EQ(le_stream_run(s.p, audio.data(), n, &Seen::take, &seen), T - skip) << le_stream_last_error();
  EXPECT_STREQ(le_stream_last_error(), "");
  ASSERT_EQ(seen.index.size(), size_t(T - skip));
  EXPECT_EQ(seen.w, c.spec.W);
  EXPECT_EQ(seen.h, c.spec.H);

  // The same frames by hand, on a context and an engine of their own.
  le_fca* fca = le_fca_create(c.extractor.c_str(), (c.bundle + "/fca_stream.onnx").c_str(), kThreads);
  ASSERT_NE(fca, nullptr) << le_fca_last_error();
  std::vector<float> deltas(size_t(T) * 63);
  ASSERT_EQ(le_fca_deltas(fca, audio.data(), n, deltas.data(), T), T) << le_fca_last_error();
  le_fca_destroy(fca);
  le_ctx* ctx = le_create(c.bundle.c_str(), "render", kThreads, "");
  ASSERT_NE(ctx, nullptr) << le_last_error();
  const std::vector<float> xsTarget = le::test::readArray<float>(c.bundle + "/xs_target.bin");
  ASSERT_EQ(xsTarget.size(), size_t(nt) * 63);

  const size_t bytes = size_t(c.spec.W) * c.spec.H * 3;
  std::vector<unsigned char> expect(bytes), still(bytes);
  std::vector<float> xd(63);
  int moved = 0;  // frames the deltas visibly change: the comparison can see a wrong gain
  int w = 0;
  for (int t = 0; t < T; ++t, w = nt < 2 ? 0 : (w + 1) % nt) {
    if (t < skip) continue;
    const int k = t - skip;
    EXPECT_EQ(seen.index[size_t(k)], k);
    const float* xs = xsTarget.data() + size_t(w) * 63;
    for (int j = 0; j < 63; ++j) xd[size_t(j)] = gain * deltas[size_t(t) * 63 + size_t(j)] + xs[j];
    const float* crop = le_render_kp_crop(ctx, w, xs, xd.data());
    ASSERT_NE(crop, nullptr) << le_last_error();
    ASSERT_EQ(le_paste_crop(ctx, w, crop, expect.data(), bytes), 1) << le_last_error();
    EXPECT_TRUE(seen.frames[size_t(k)] == expect) << "frame " << k << " (source " << w << ")";
    ASSERT_NE(crop = le_render_kp_crop(ctx, w, xs, xs), nullptr) << le_last_error();
    ASSERT_EQ(le_paste_crop(ctx, w, crop, still.data(), bytes), 1) << le_last_error();
    moved += still != expect;
  }
  le_destroy(ctx);
  EXPECT_GT(moved, 0);
}

INSTANTIATE_TEST_SUITE_P(Nt, StreamOracle, ::testing::Values(1, 4, 6));

TEST(Stream, EdgesOfARunAndOfCreation) {
  TmpDir t;
  const Clip c = writeClipBundle(t, 4);
  const std::vector<float> audio = clipOf(6 * 640);
  {
    Stream s(c, 5, 1.f);
    ASSERT_NE(s.p, nullptr) << le_stream_last_error();
    Seen seen;
    // 5 frames, all skipped: nothing to deliver. One sample more makes a sixth.
    EXPECT_EQ(le_stream_run(s.p, audio.data(), 5 * 640, &Seen::take, &seen), 0);
    EXPECT_TRUE(seen.index.empty());
    EXPECT_EQ(le_stream_run(s.p, audio.data(), 5 * 640 + 1, &Seen::take, &seen), 1) << le_stream_last_error();
    EXPECT_EQ(seen.index, std::vector<int>{0});

    EXPECT_EQ(le_stream_run(s.p, nullptr, 0, nullptr, nullptr), 0);
    EXPECT_STREQ(le_stream_last_error(), "");
    EXPECT_EQ(le_stream_run(s.p, nullptr, 640, &Seen::take, &seen), -1);
    EXPECT_STREQ(le_stream_last_error(), "le_stream_run: bad args");
    EXPECT_EQ(le_stream_run(s.p, audio.data(), 640, nullptr, nullptr), -1);
    EXPECT_STREQ(le_stream_last_error(), "le_stream_run: bad args");
  }
  EXPECT_EQ(le_stream_run(nullptr, audio.data(), 640, &Seen::take, nullptr), -1);
  EXPECT_STREQ(le_stream_last_error(), "le_stream_run: bad args");
  EXPECT_EQ(le_stream_width(nullptr), 0);
  EXPECT_EQ(le_stream_height(nullptr), 0);
  le_stream_destroy(nullptr);
  EXPECT_STREQ(le_stream_last_error(), "le_stream_run: bad args") << "the getters and destroy leave the text alone";

  auto createError = [&](const std::string& bundle) {
    le_stream* s = le_stream_create(bundle.c_str(), c.extractor.c_str(), kThreads, 0, 1.f);
    EXPECT_EQ(s, nullptr);
    le_stream_destroy(s);
    return std::string(le_stream_last_error());
  };
  EXPECT_TRUE(startsWith(createError(t.str("nowhere")), "le_stream_create: le_create: ")) << le_stream_last_error();

  const std::string xsPath = c.bundle + "/xs_target.bin";
  const std::string xs = le::test::readFile(xsPath);
  const std::string kXsText = "le_stream_create: cannot read xs_target.bin (NT*63 f32)";
  le::test::writeFile(xsPath, xs.substr(0, xs.size() - 4));
  EXPECT_EQ(createError(c.bundle), kXsText);
  le::test::writeFile(xsPath, xs + std::string(4, '\0'));
  EXPECT_EQ(createError(c.bundle), kXsText);
  fs::remove(xsPath);
  EXPECT_EQ(createError(c.bundle), kXsText);
  le::test::writeFile(xsPath, xs);

  fs::rename(c.bundle + "/fca_stream.onnx", t.str("aside.onnx"));
  EXPECT_TRUE(startsWith(createError(c.bundle), "le_stream_create: le_fca_create: ")) << le_stream_last_error();
  fs::rename(t.str("aside.onnx"), c.bundle + "/fca_stream.onnx");
  Stream back(c, 0, 1.f);
  EXPECT_NE(back.p, nullptr) << le_stream_last_error();
}

TEST(Stream, ABrokenDriverFrameStopsTheRunAfterTheFramesBeforeIt) {
  TmpDir t;
  const Clip c = writeClipBundle(t, 6);
  // Driver frame 5 is no picture at all: its paste fails when the walk reaches it.
  le::test::writeFile(c.bundle + "/target_frames/frame_000005.jpg", "not a picture");
  const std::vector<float> audio = clipOf(16000);  // 25 frames, far past source 5

  Stream s(c, 0, 1.f);
  ASSERT_NE(s.p, nullptr) << le_stream_last_error();
  Seen seen;
  EXPECT_EQ(le_stream_run(s.p, audio.data(), int(audio.size()), &Seen::take, &seen), -1);
  EXPECT_STREQ(le_stream_last_error(), "le_stream_run: render/paste failed");
  EXPECT_EQ(seen.index, (std::vector<int>{0, 1, 2, 3, 4}));

  // The driver's failure stays with the context: the next run fails at its first paste.
  Seen again;
  EXPECT_EQ(le_stream_run(s.p, audio.data(), int(audio.size()), &Seen::take, &again), -1);
  EXPECT_STREQ(le_stream_last_error(), "le_stream_run: render/paste failed");
  EXPECT_TRUE(again.index.empty());
}

}  // namespace
