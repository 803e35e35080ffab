// The expression engine's loading rules, its feature frontends and their
// diagnostics, and the small rules it is built from.
#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <cmath>
#include <filesystem>

#include "a2x_test_util.h"
#include "audio/le_a2x.h"

namespace {

using namespace le::test::a2x;
using le::forge::A2xDirOptions;
using le::forge::writeA2xDir;
using le::test::ScopedEnv;
using le::test::TmpDir;
using ::testing::HasSubstr;
using ::testing::Not;

std::string createError(const std::string& dir) {
  le_a2x* e = le_a2x_create(dir.c_str(), 1);
  EXPECT_EQ(e, nullptr);
  le_a2x_destroy(e);
  return le_a2x_last_error();
}

TEST(A2xRules, PositionRowsWalkAndWindowPositions) {
  using namespace le::a2x;
  // Past the table, rows cycle through its second half.
  std::vector<int> rows;
  for (int i = 0; i < 11; ++i) rows.push_back(posRow(i, 5));
  EXPECT_EQ(rows, (std::vector<int>{0, 1, 2, 3, 4, 2, 3, 4, 2, 3, 4}));
  EXPECT_EQ(posRow(2, 2), 1);
  EXPECT_EQ(posRow(3, 2), 1);

  std::vector<int> bounce, loop, back;
  for (int k = 0; k < 8; ++k) {
    bounce.push_back(walkIndex(0, 1, k, false, 4));
    loop.push_back(walkIndex(2, 1, k, true, 4));
    back.push_back(walkIndex(1, -1, k, false, 4));
  }
  EXPECT_EQ(bounce, (std::vector<int>{0, 1, 2, 3, 2, 1, 0, 1}));
  EXPECT_EQ(loop, (std::vector<int>{2, 3, 0, 1, 2, 3, 0, 1}));
  EXPECT_EQ(back, (std::vector<int>{1, 0, 1, 2, 3, 2, 1, 0}));
  EXPECT_EQ(walkIndex(7, 1, 3, false, 1), 0);

  // Frame 0 of the first block (right context 12): 19200 samples into the
  // window, i.e. column 240. Frame 250 belongs to the legacy window at 100.
  EXPECT_DOUBLE_EQ(shortWindowPos(0, 20 * 640 - 32000), 240.0);
  EXPECT_DOUBLE_EQ(shortWindowPos(3, 20 * 640 - 32000), 240.0 + 3 * 1598.0 / 199.0);
  EXPECT_DOUBLE_EQ(shortWindowPos(250, 264 * 640 - 32000), (64000.0 - (264 * 640 - 32000)) / 80 + 150 * 1598.0 / 199.0);
  EXPECT_DOUBLE_EQ(shortWindowPos(199, 0), 1598.0);

  std::vector<float> w = {1e30f, -1e30f, 3e30f, 0.f};
  normaliseWindow(w.data(), w.size());
  double m = 0, v = 0;
  for (float x : w) m += x;
  for (float x : w) v += (x - m / 4) * (x - m / 4);
  EXPECT_NEAR(m / 4, 0.0, 1e-6);
  EXPECT_NEAR(v / 4, 1.0, 1e-5);

  {
    ScopedEnv r("LE_A2X_W2V_RIGHT", "-3");
    EXPECT_EQ(rightContextFromEnv(), 0);
  }
  {
    ScopedEnv r("LE_A2X_W2V_RIGHT", "20");
    EXPECT_EQ(rightContextFromEnv(), 20);
  }
  {
    ScopedEnv r("LE_A2X_W2V_RIGHT", nullptr);
    EXPECT_EQ(rightContextFromEnv(), 12);
  }
  Meta mt = parseMeta("{\"window\": 3, \"left\":5, \"h\": 8, \"silence_prime\" : 2}");
  EXPECT_EQ(mt.window, 3);
  EXPECT_EQ(mt.left, 5);
  EXPECT_EQ(mt.h, 8);
  EXPECT_EQ(mt.layers, 6);
  EXPECT_EQ(mt.silencePrime, 2);
  EXPECT_EQ(mt.width, -1);
}

TEST(A2xLoad, RefusalsNameTheirCause) {
  TmpDir d;
  auto files = writeA2xDir(d.str("ok"));
  CleanEnv env(files.w2v);

  EXPECT_EQ(createError(d.str("nowhere")), "le_a2x_create: a2x_meta.json missing in " + d.str("nowhere"));

  A2xDirOptions noLeft;
  noLeft.writeLeft = false;
  writeA2xDir(d.str("noleft"), noLeft);
  EXPECT_EQ(createError(d.str("noleft")), "le_a2x_create: meta lacks causal window/left (not a streaming a2x)");
  A2xDirOptions noWindow;
  noWindow.writeWindow = false;
  writeA2xDir(d.str("nowindow"), noWindow);
  EXPECT_EQ(createError(d.str("nowindow")), "le_a2x_create: meta lacks causal window/left (not a streaming a2x)");

  const std::string tables = "le_a2x_create: pos/norm/xs_target read failed";
  for (const char* member : {"xs_target.bin", "a2x_pos.f32", "a2x_norm.f32"}) {
    writeA2xDir(d.str("miss"));
    std::filesystem::remove(d.str("miss") + "/" + member);
    EXPECT_EQ(createError(d.str("miss")), tables) << member;
  }
  A2xDirOptions oneRow;
  oneRow.posRows = 1;
  writeA2xDir(d.str("onerow"), oneRow);
  EXPECT_EQ(createError(d.str("onerow")), tables);
  A2xDirOptions noRows;
  noRows.nt = 0;
  writeA2xDir(d.str("nort"), noRows);
  EXPECT_EQ(createError(d.str("nort")), tables);

  writeA2xDir(d.str("noenc"));
  std::filesystem::remove(d.str("noenc") + "/a2x_enc_stream.onnx");
  std::string noEnc = createError(d.str("noenc"));
  EXPECT_EQ(noEnc.rfind("le_a2x_create: ", 0), 0u);
  EXPECT_THAT(noEnc, HasSubstr("a2x_enc_stream.onnx"));
  EXPECT_THAT(noEnc, Not(HasSubstr("le_a2x_create: le_a2x_create")));

  {
    ScopedEnv unset("W2V_ONNX", nullptr);
    EXPECT_EQ(createError(d.str("ok")), "le_a2x_create: $W2V_ONNX not set");
    EXPECT_EQ(le_a2x_preload_w2v(nullptr), 0);
    EXPECT_STREQ(le_a2x_last_error(), "le_a2x_preload_w2v: no path and $W2V_ONNX unset");
    EXPECT_EQ(le_a2x_preload_w2v(files.w2v.c_str()), 1);
    EXPECT_STREQ(le_a2x_last_error(), "");
  }
  {
    std::string bogus = d.str("nothing-here.onnx");
    ScopedEnv missing("W2V_ONNX", bogus.c_str());
    EXPECT_EQ(createError(d.str("ok")), "le_a2x_create: shared w2v load failed");
    EXPECT_EQ(le_a2x_preload_w2v(nullptr), 0);
  }

  // The descriptive member names are found through member resolution.
  A2xDirOptions desc;
  desc.descriptiveNames = true;
  writeA2xDir(d.str("desc"), desc);
  auto e = create(d.str("desc"));
  EXPECT_TRUE(e);
  EXPECT_STREQ(le_a2x_last_error(), "");
}

TEST(A2xFrontend, LoadLinesAndPairLookup) {
  TmpDir d;
  {
    auto files = writeA2xDir(d.str("pair"));
    CleanEnv env(files.w2v);
    ::testing::internal::CaptureStderr();
    le::a2x::Engine e(d.str("pair"), 1);
    std::string log = ::testing::internal::GetCapturedStderr();
    EXPECT_TRUE(e.shortWindow());
    EXPECT_EQ(e.rightContext(), 12);
    const auto ts = std::filesystem::file_size(files.trunk), hs = std::filesystem::file_size(files.head);
    EXPECT_THAT(log, HasSubstr("[le_a2x] short-window w2v frontend loaded (LT=32000) trunk=" + files.trunk + " (" +
                               std::to_string(ts) + " B) head=" + files.head + " (" + std::to_string(hs) + " B)\n"));
  }
  {
    A2xDirOptions o;
    o.oldPairNames = true;
    o.trunkFixedLength = false;
    auto files = writeA2xDir(d.str("old"), o);
    CleanEnv env(files.w2v);
    ::testing::internal::CaptureStderr();
    le::a2x::Engine e(d.str("old"), 1);
    std::string log = ::testing::internal::GetCapturedStderr();
    EXPECT_TRUE(e.shortWindow());
    EXPECT_THAT(log, HasSubstr("(LT=from-first-run) trunk=" + d.str("old") + "/w2v_trunk32.onnx"));
  }
  {
    // The variables win over the pair beside the extractor.
    A2xDirOptions o;
    o.shortWindow = false;
    auto files = writeA2xDir(d.str("legacy"), o);
    CleanEnv env(files.w2v);
    ::testing::internal::CaptureStderr();
    le::a2x::Engine legacy(d.str("legacy"), 1);
    std::string log = ::testing::internal::GetCapturedStderr();
    EXPECT_FALSE(legacy.shortWindow());
    EXPECT_THAT(log, HasSubstr(
        "[le_a2x] short-window audio frontend NOT DEPLOYED on this plane: neither "
        "LE_A2X_W2V_WIN_ONNX/LE_A2X_W2V_HEAD_ONNX are set nor is the pair beside $W2V_ONNX (" + files.w2v +
        ") as audio_encoder_fp16_window_{trunk,head}.onnx (legacy w2v_trunk32.onnx/w2v_head32.onnx). Serving the "
        "LEGACY 8s window \xE2\x80\x94 same reference quality, 2.8-3.9x the audio hop cost. Ship the pair beside "
        "the encoder (tools/export_w2v_window).\n"));
    std::string trunk = d.str("old") + "/w2v_trunk32.onnx", head = d.str("old") + "/w2v_head32.onnx";
    ScopedEnv t("LE_A2X_W2V_WIN_ONNX", trunk.c_str()), h("LE_A2X_W2V_HEAD_ONNX", head.c_str());
    le::a2x::Engine viaEnv(d.str("legacy"), 1);
    EXPECT_TRUE(viaEnv.shortWindow());

    std::string gone = d.str("gone.onnx");
    ScopedEnv t2("LE_A2X_W2V_WIN_ONNX", gone.c_str());
    ::testing::internal::CaptureStderr();
    le::a2x::Engine failed(d.str("legacy"), 1);
    log = ::testing::internal::GetCapturedStderr();
    EXPECT_FALSE(failed.shortWindow());
    EXPECT_THAT(log, HasSubstr("[le_a2x] short-window w2v load FAILED ("));
    EXPECT_THAT(log, HasSubstr(") \xE2\x80\x94 legacy 8s path\n"));
  }
}

TEST(A2xFrontend, ShortWindowAgreesWithTheLegacyWindow) {
  TmpDir d;
  A2xDirOptions shortOpt, legacyOpt;
  shortOpt.wn = legacyOpt.wn = true;
  legacyOpt.shortWindow = false;
  auto sf = writeA2xDir(d.str("short"), shortOpt);
  auto lf = writeA2xDir(d.str("legacy"), legacyOpt);
  // 12 s: both legacy windows (frames 0-199 and 200-299) lie inside the audio.
  auto clip = periodicClip(16000 * 12);
  std::vector<float> wnS, wnL;
  {
    CleanEnv env(sf.w2v);
    auto e = create(d.str("short"));
    ASSERT_TRUE(e);
    offline(e.get(), clip, &wnS);
  }
  {
    CleanEnv env(lf.w2v);
    auto e = create(d.str("legacy"));
    ASSERT_TRUE(e);
    offline(e.get(), clip, &wnL);
  }
  ASSERT_EQ(wnS.size(), 300u);
  ASSERT_EQ(wnL.size(), 300u);
  // Away from the zero-padded ends of the windows the two paths read the same
  // audio at the same positions; only the trunk's half floats differ.
  double lo = 1e9, hi = -1e9;
  // Frames 192-209 are left out: legacy frames 196-199 read past the end of the
  // first 8 s window (zeros there), where the short window sees audio.
  for (int k = 48; k < 260; ++k) {
    if (k >= 192 && k < 210) continue;
    ASSERT_NEAR(wnS[k], wnL[k], 5e-4 * std::max(1.f, std::fabs(wnL[k]))) << k;
    lo = std::min<double>(lo, wnL[k]);
    hi = std::max<double>(hi, wnL[k]);
  }
  // The energy follows the envelope: the comparison is not of constants.
  EXPECT_GT(hi - lo, 0.05);
}

TEST(A2xFrontend, TrunkTooShortFailsTheExtension) {
  TmpDir d;
  A2xDirOptions o;
  o.trunkColumnSamples = 160;  // 200 columns: frame positions fall past the end
  auto files = writeA2xDir(d.str(), o);
  CleanEnv env(files.w2v);
  auto e = create(d.str());
  ASSERT_TRUE(e);
  auto clip = le::test::speechFixture();
  le_a2x_push(e.get(), clip.data(), int(clip.size()));
  le_a2x_finish(e.get());
  EXPECT_EQ(le_a2x_avail(e.get()), 0);
  EXPECT_STREQ(le_a2x_last_error(), "le_a2x extend: w2v_win: trunk pos out of range");
  EXPECT_EQ(le_a2x_total(e.get()), int((clip.size() + 639) / 640));
}

TEST(A2xFrontend, DiagnosticsOfCudaPrimingAndWidth) {
  TmpDir d;
  A2xDirOptions o;
  o.metaWidth = 66;
  o.silencePrime = 3;
  auto files = writeA2xDir(d.str("a"), o);
  {
    CleanEnv env(files.w2v);
    ScopedEnv cuda("LE_A2X_CUDA", "1");
    ::testing::internal::CaptureStderr();
    auto e = create(d.str("a"));
    std::string log = ::testing::internal::GetCapturedStderr();
    ASSERT_TRUE(e);
    // "1" asks for the feature extractor only; this runtime has no CUDA.
    EXPECT_THAT(log, HasSubstr("[le_a2x] CUDA EP append failed (w2v): "));
    EXPECT_THAT(log, HasSubstr(" -- falling back to CPU\n"));
    EXPECT_THAT(log, Not(HasSubstr("(enc/dec)")));
    EXPECT_THAT(log, HasSubstr("[le_a2x] WARNING: a2x_meta width=66 but the encoder declares 1 output(s) "
                               "\xE2\x80\x94 serving the GRAPH (width=63). Repackage this bundle.\n"));
    EXPECT_THAT(log, HasSubstr("[le_a2x] silence-primed AR state cached (3 frames)\n"));
    EXPECT_EQ(le_a2x_width(e.get()), 63);
    std::vector<float> clip(6400, 0.f);
    EXPECT_EQ(offline(e.get(), clip).size(), 10u * 63);
  }
  {
    CleanEnv env(files.w2v);
    ScopedEnv cuda("LE_A2X_CUDA", "w2v");
    ScopedEnv prime("LE_A2X_SILENCE_PRIME", "0");
    ::testing::internal::CaptureStderr();
    auto e = create(d.str("a"));
    std::string log = ::testing::internal::GetCapturedStderr();
    ASSERT_TRUE(e);
    EXPECT_THAT(log, HasSubstr("[le_a2x] CUDA EP append failed (enc/dec): "));
    EXPECT_THAT(log, Not(HasSubstr("silence-primed")));
  }
}

}  // namespace
