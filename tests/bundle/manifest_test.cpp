// loadManifest: required keys, dims, format, paste-space stamp.
#include <string>
#include <utility>
#include <vector>

#include "base/le_ort.h"
#include "bundle/le_bundle.h"
#include "onnxruntime_c_api.h"
#include "support/env.h"
#include "support/errors.h"
#include "support/files.h"
#include "support/tmpdir.h"

using le::test::ScopedEnv;
using le::test::errorOf;
using le::test::TmpDir;

namespace {

// An ordered list of root keys with raw JSON values.
struct Keys {
  std::vector<std::pair<std::string, std::string>> kv;
  Keys& set(const std::string& k, const std::string& v) {
    for (auto& [key, val] : kv)
      if (key == k) {
        val = v;
        return *this;
      }
    kv.emplace_back(k, v);
    return *this;
  }
  Keys& drop(const std::string& k) {
    std::erase_if(kv, [&](const auto& p) { return p.first == k; });
    return *this;
  }
  std::string text(const std::string& extra = "") const {
    std::string s = "{\n";
    for (std::size_t i = 0; i < kv.size(); ++i) s += "  \"" + kv[i].first + "\": " + kv[i].second + (i + 1 < kv.size() ? ",\n" : "");
    if (!extra.empty()) s += ",\n  " + extra;
    return s + "\n}\n";
  }
};

Keys base() {
  Keys k;
  k.set("format", "\"le-bundle-v0\"")
      .set("agent", "\"ann\"")
      .set("NT", "4")
      .set("H", "48")
      .set("W", "64")
      .set("crop", "32")
      .set("amount", "1.5")
      .set("sigma", "2.5")
      .set("ksize", "9")
      .set("frames", "6")
      .set("M_src_w", "128")
      .set("M_src_h", "96");
  return k;
}

class ManifestTest : public ::testing::Test {
 protected:
  TmpDir tmp;
  std::string dir() const { return tmp.str(); }
  le::Manifest load(const std::string& text) {
    le::test::writeFile(tmp / "manifest.json", text);
    return le::loadManifest(dir());
  }
  std::string fail(const std::string& text) {
    le::test::writeFile(tmp / "manifest.json", text);
    return errorOf([&] { le::loadManifest(dir()); });
  }
  ScopedEnv noLegacy{"QUENZAL2_MSRC_MISSING_OK", std::nullopt};
  ScopedEnv noRoot{"LE_IMX_UNWRAP_ROOT", std::nullopt};
};

}  // namespace

TEST(ManifestRecord, DefaultConstructedValues) {
  const le::Manifest m;
  EXPECT_TRUE(m.dir.empty());
  EXPECT_TRUE(m.agent.empty());
  EXPECT_EQ(m.nt, 0);
  EXPECT_EQ(m.H, 0);
  EXPECT_EQ(m.W, 0);
  EXPECT_EQ(m.msrcW, 0);
  EXPECT_EQ(m.msrcH, 0);
  EXPECT_EQ(m.crop, 512);
  EXPECT_FLOAT_EQ(m.unsharp.amount, 1.3f);
  EXPECT_FLOAT_EQ(m.unsharp.sigma, 2.0f);
  EXPECT_EQ(m.unsharp.ksize, 13);
  EXPECT_EQ(m.frames, 0);
  EXPECT_TRUE(m.lipTemplate.empty());
}

TEST_F(ManifestTest, ReadsEveryField) {
  const le::Manifest m = load(base().text());
  EXPECT_EQ(m.dir, dir());
  EXPECT_EQ(m.agent, "ann");
  EXPECT_EQ(m.nt, 4);
  EXPECT_EQ(m.H, 48);
  EXPECT_EQ(m.W, 64);
  EXPECT_EQ(m.crop, 32);
  EXPECT_FLOAT_EQ(m.unsharp.amount, 1.5f);
  EXPECT_FLOAT_EQ(m.unsharp.sigma, 2.5f);
  EXPECT_EQ(m.unsharp.ksize, 9);
  EXPECT_EQ(m.frames, 6);
  EXPECT_EQ(m.msrcW, 128);
  EXPECT_EQ(m.msrcH, 96);
  EXPECT_EQ(m.lipTemplate, "");
}

TEST_F(ManifestTest, ReadsLipTemplateWhole) {
  const std::string lip = "{\"format\": \"lip-template-v1\",\n \"pts\": [1, 2, 3]}\n";
  le::test::writeFile(tmp / "lip_template.v1.json", lip);
  EXPECT_EQ(load(base().text()).lipTemplate, lip);
}

TEST_F(ManifestTest, LegacyKeyNames) {
  Keys k = base();
  k.drop("NT").drop("crop").drop("M_src_w").drop("M_src_h");
  k.set("frame_count", "7").set("crop_size", "16").set("paste_source_width", "640").set("paste_source_height", "480");
  const le::Manifest m = load(k.text());
  EXPECT_EQ(m.nt, 7);
  EXPECT_EQ(m.crop, 16);
  EXPECT_EQ(m.msrcW, 640);
  EXPECT_EQ(m.msrcH, 480);
}

TEST_F(ManifestTest, FirstNameWinsOverSecond) {
  EXPECT_EQ(load(base().set("frame_count", "99").set("NT", "10").text()).nt, 10);
  EXPECT_EQ(load(base().set("crop_size", "99").text()).crop, 32);
  EXPECT_EQ(load(base().set("paste_source_width", "1").text()).msrcW, 128);
  // The sentinel value in the first name falls through to the second.
  EXPECT_EQ(load(base().set("M_src_w", "-1e300").set("paste_source_width", "640").text()).msrcW, 640);
}

TEST_F(ManifestTest, NestedBlockKeysDoNotShadowRoot) {
  const std::string extra = R"("tessera": {"crop": 128, "frames": [1, 2], "sigma": 9})";
  const le::Manifest m = load(base().text(extra));
  EXPECT_EQ(m.crop, 32);
  EXPECT_EQ(m.frames, 6);
  EXPECT_FLOAT_EQ(m.unsharp.sigma, 2.5f);
}

TEST_F(ManifestTest, AmbiguousKeysAreRefused) {
  // No root crop, two nested ones.
  Keys k = base();
  k.drop("crop").drop("crop_size");
  const std::string t = k.text(R"("a": {"crop": 1}, "b": {"crop": 2})");
  const std::string e = fail(t);
  EXPECT_TRUE(le::test::startsWith(e, "manifest: key \"crop\" is AMBIGUOUS \xE2\x80\x94 2 scalar occurrences (byte "))
      << e;
  const std::size_t p1 = t.find("\"crop\": 1") + 8, p2 = t.find("\"crop\": 2") + 8;
  EXPECT_NE(e.find("(byte " + std::to_string(p1) + ", byte " + std::to_string(p2) + ")"), std::string::npos) << e;
}

TEST_F(ManifestTest, MissingManifest) {
  EXPECT_EQ(errorOf([&] { le::loadManifest(dir()); }), "cannot open " + dir() + "/manifest.json");
}

TEST_F(ManifestTest, Format) {
  EXPECT_EQ(fail(base().drop("format").text()), "manifest: missing key format");
  EXPECT_EQ(fail(base().set("format", "\"le-bundle-v1\"").text()), "not an le-bundle-v0: " + dir());
  EXPECT_EQ(fail(base().set("format", "\"le-bundle-v0 \"").text()), "not an le-bundle-v0: " + dir());
  // A non-string value: the reader moves on to the next double quote in the text...
  EXPECT_EQ(fail(base().set("format", "5").text()), "not an le-bundle-v0: " + dir());
  // ...and fails when there is none.
  EXPECT_EQ(fail(base().drop("format").set("format", "5").text()), "manifest: bad string format");
}

TEST_F(ManifestTest, MissingKeysInReadingOrder) {
  EXPECT_EQ(fail(base().drop("agent").text()), "manifest: missing key agent");
  EXPECT_EQ(fail(base().drop("NT").text()), "manifest: missing key NT/frame_count");
  EXPECT_EQ(fail(base().drop("H").text()), "manifest: missing key H");
  EXPECT_EQ(fail(base().drop("W").text()), "manifest: missing key W");
  EXPECT_EQ(fail(base().drop("crop").text()), "manifest: missing key crop/crop_size");
  EXPECT_EQ(fail(base().drop("amount").text()), "manifest: missing key amount");
  EXPECT_EQ(fail(base().drop("sigma").text()), "manifest: missing key sigma");
  EXPECT_EQ(fail(base().drop("ksize").text()), "manifest: missing key ksize");
  EXPECT_EQ(fail(base().drop("frames").text()), "manifest: missing key frames");
  // The first missing one in reading order is reported.
  EXPECT_EQ(fail(base().drop("frames").drop("agent").drop("H").text()), "manifest: missing key agent");
  EXPECT_EQ(fail(base().drop("frames").drop("sigma").text()), "manifest: missing key sigma");
  // A key whose value is an array is missing.
  EXPECT_EQ(fail(base().set("frames", "[1, 2]").text()), "manifest: missing key frames");
}

TEST_F(ManifestTest, BadDims) {
  EXPECT_EQ(fail(base().set("NT", "0").text()), "manifest: bad dims");
  EXPECT_EQ(fail(base().set("H", "0.5").text()), "manifest: bad dims");
  EXPECT_EQ(fail(base().set("W", "-3").text()), "manifest: bad dims");
  EXPECT_EQ(fail(base().set("crop", "\"512\"").text()), "manifest: bad dims");
  EXPECT_EQ(fail(base().set("NT", "-1e10").text()), "manifest: bad dims");
  // Dims are checked before the paste-space stamp.
  EXPECT_EQ(fail(base().set("NT", "0").drop("M_src_w").text()), "manifest: bad dims");
}

TEST_F(ManifestTest, TruncationTowardZero) {
  const le::Manifest m = load(base().set("H", "719.9").set("ksize", "-2.7").set("frames", "6.99").text());
  EXPECT_EQ(m.H, 719);
  EXPECT_EQ(m.unsharp.ksize, -2);
  EXPECT_EQ(m.frames, 6);
  EXPECT_EQ(load(base().set("M_src_w", "1.9").text()).msrcW, 1);
  EXPECT_EQ(load(base().set("amount", "0.1").text()).unsharp.amount, 0.1f);  // nearest float
}

TEST_F(ManifestTest, PasteSpaceStampRefusedWhenMissing) {
  const std::string refusal =
      dir() +
      "/manifest.json declares no paste-space stamp (M_src_w/M_src_h, aka paste_source_width/height) \xE2\x80\x94 "
      "the canvas is 64x48, so M cannot be placed: absence is not evidence that M was authored at that size. "
      "Re-stamp the bundle (models/quenzal-2/inference/backfill_msrc.py), or set QUENZAL2_MSRC_MISSING_OK=1 to "
      "restore the legacy assumption.";
  EXPECT_EQ(fail(base().drop("M_src_w").drop("M_src_h").text()), refusal);
  EXPECT_EQ(fail(base().drop("M_src_h").text()), refusal);  // one of the two is enough to refuse
  EXPECT_EQ(fail(base().drop("M_src_w").text()), refusal);
  {
    ScopedEnv g("QUENZAL2_MSRC_MISSING_OK", "true");
    EXPECT_EQ(fail(base().drop("M_src_w").drop("M_src_h").text()), refusal);
  }
  {
    ScopedEnv g("QUENZAL2_MSRC_MISSING_OK", "");
    EXPECT_EQ(fail(base().drop("M_src_w").drop("M_src_h").text()), refusal);
  }
}

TEST_F(ManifestTest, PasteSpaceLegacyEscapeWarns) {
  ScopedEnv g("QUENZAL2_MSRC_MISSING_OK", "1");
  le::test::writeFile(tmp / "manifest.json", base().drop("M_src_w").drop("M_src_h").text());
  ::testing::internal::CaptureStderr();
  const le::Manifest m = le::loadManifest(dir());
  const std::string err = ::testing::internal::GetCapturedStderr();
  EXPECT_EQ(m.msrcW, 64);
  EXPECT_EQ(m.msrcH, 48);
  EXPECT_EQ(err, "[le] WARNING QUENZAL2_MSRC_MISSING_OK=1: " + dir() +
                     "/manifest.json carries no paste-space stamp; ASSUMING M was authored on this 64x48 canvas. If "
                     "it was not, the face pastes off-target (tk#144) and nothing will say so.\n");
  // With only the width missing, both come from the canvas.
  ::testing::internal::CaptureStderr();
  le::test::writeFile(tmp / "manifest.json", base().drop("M_src_w").text());
  const le::Manifest m2 = le::loadManifest(dir());
  ::testing::internal::GetCapturedStderr();
  EXPECT_EQ(m2.msrcW, 64);
  EXPECT_EQ(m2.msrcH, 48);
}

TEST_F(ManifestTest, StampedManifestPrintsNothing) {
  ScopedEnv g("QUENZAL2_MSRC_MISSING_OK", "1");
  le::test::writeFile(tmp / "manifest.json", base().text());
  ::testing::internal::CaptureStderr();
  le::loadManifest(dir());
  EXPECT_EQ(::testing::internal::GetCapturedStderr(), "");
}

TEST_F(ManifestTest, BadPasteSpaceStamp) {
  const std::string bad = "manifest: bad paste-space stamp (M_src_w/M_src_h must be > 0)";
  EXPECT_EQ(fail(base().set("M_src_w", "0").text()), bad);
  EXPECT_EQ(fail(base().set("M_src_h", "-5").text()), bad);
  EXPECT_EQ(fail(base().set("M_src_h", "0.9").text()), bad);
  EXPECT_EQ(fail(base().set("M_src_w", "\"1920\"").text()), bad);
}

TEST_F(ManifestTest, ModelPathFollowsMemberResolution) {
  const le::Manifest m = load(base().text());
  EXPECT_EQ(m.modelPath("b1"), dir() + "/model_b1.onnx");  // missing: the requested name
  le::test::writeFile(tmp / "render_model.batch1.onnx", "x");
  EXPECT_EQ(m.modelPath("b1"), dir() + "/render_model.batch1.onnx");
  le::test::writeFile(tmp / "render_model.batch4.fp16.onnx", "x");
  EXPECT_EQ(m.modelPath("b4_fp16"), dir() + "/render_model.batch4.fp16.onnx");
  le::test::writeFile(tmp / "model_b1.onnx", "x");
  EXPECT_EQ(m.modelPath("b1"), dir() + "/model_b1.onnx");
}

TEST(CoremlCacheDir, UsesTheRuntimeVersion) {
  const char* v = OrtGetApiBase()->GetVersionString();
  ASSERT_NE(v, nullptr);
  EXPECT_EQ(le::coremlCacheDir("/b/x"), std::string("/b/x/.coreml_cache/ort") + v);
}

TEST(ReadText, WholeFileAndMessages) {
  TmpDir tmp;
  std::string bytes("a\0b\nc", 5);
  le::test::writeFile(tmp / "f", bytes);
  EXPECT_EQ(le::readText(tmp / "f"), bytes);
  le::test::writeFile(tmp / "empty", "");
  EXPECT_EQ(le::readText(tmp / "empty"), "");
  EXPECT_EQ(errorOf([&] { le::readText(tmp / "nope"); }), "cannot open " + (tmp / "nope"));
  EXPECT_EQ(errorOf([&] { le::readText(tmp.str()); }), "cannot open " + tmp.str());
}
