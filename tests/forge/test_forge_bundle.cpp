// The forge's bundles: member sizes and names as the readers expect, manifest
// keys, content that agrees with itself, determinism.
#include <algorithm>
#include <cmath>
#include <set>

#define STB_IMAGE_STATIC
#define STB_IMAGE_IMPLEMENTATION
#if defined(__GNUC__)
#pragma GCC diagnostic push
#pragma GCC diagnostic ignored "-Wunused-function"
#pragma GCC diagnostic ignored "-Wmissing-field-initializers"
#pragma GCC diagnostic ignored "-Wsign-compare"
#endif
#include <stb_image.h>
#if defined(__GNUC__)
#pragma GCC diagnostic pop
#endif

#include "compose/le_simd.h"
#include "forge/forge.h"
#include "forge_test_util.h"
#include "support/files.h"
#include "support/tmpdir.h"

using namespace forge_test;
using le::simd::scalar::f16ToF32;
using le::test::readArray;
using le::test::readFile;
using le::test::TmpDir;
using le::forge::BundleSpec;
using le::forge::Prior;

namespace {

// Expected member set of a spec: file name -> exact size in bytes.
std::map<std::string, uint64_t> expectedMembers(const BundleSpec& s) {
  const bool d = s.descriptiveNames;
  const uint64_t nt = s.nt, S = s.crop, F = s.frames;
  std::map<std::string, uint64_t> m;
  if (s.prior == Prior::Raw) m[d ? "source_frames.f16" : "P.f16"] = nt * 3 * S * S * 2;
  if (s.prior == Prior::FeatSynth || s.withFsRed) m[d ? "feature_synth.f16" : "fs_red.f16"] = nt * 262144 * 2;
  m[d ? "pooled_features.f16" : "pooled64.f16"] = nt * 65536 * 2;
  m[d ? "paste_transform.f32" : "M.f32"] = nt * 6 * 4;
  m[d ? "paste_mask.u8" : "mask_512.u8"] = S * S;
  m[d ? "target_keypoints.bin" : "xs_target.bin"] = nt * 63 * 4;
  m[d ? "idle_loop/source_keypoints.f32" : "drive/xs.f32"] = F * 63 * 4;
  m[d ? "idle_loop/driven_keypoints.f32" : "drive/xd.f32"] = F * 63 * 4;
  m[d ? "idle_loop/source_index.i32" : "drive/si.i32"] = F * 4;
  return m;
}

// Checks the directory holds exactly the expected members (plus manifest.json
// and, with a JPEG driver, exactly nt frame files).
void expectExactMembers(const fs::path& dir, const BundleSpec& s) {
  auto want = expectedMembers(s);
  auto got = fileSizes(dir);
  ASSERT_TRUE(got.count("manifest.json"));
  got.erase("manifest.json");
  std::set<std::string> jpgs;
  for (auto it = got.begin(); it != got.end();) {
    if (it->first.rfind(s.jpegDirName + "/", 0) == 0) {
      jpgs.insert(it->first);
      it = got.erase(it);
    } else {
      ++it;
    }
  }
  EXPECT_EQ(got, want);
  if (s.jpegDriver) {
    ASSERT_EQ(jpgs.size(), size_t(s.nt));
    for (int i = 0; i < s.nt; ++i) {
      char name[64];
      std::snprintf(name, sizeof name, "%s/frame_%06d.jpg", s.jpegDirName.c_str(), i);
      EXPECT_TRUE(jpgs.count(name)) << name;
    }
  } else {
    EXPECT_TRUE(jpgs.empty());
  }
}

// Occurrences of a key in JSON text (not a JSON parser: strings, brackets, colons).
struct Hit {
  int depth;
  bool scalar;
  std::string value;  // raw text of a scalar value
};
std::vector<Hit> keyHits(const std::string& t, const std::string& name) {
  std::vector<Hit> hits;
  int depth = 0;
  for (size_t i = 0; i < t.size(); ++i) {
    char c = t[i];
    if (c == '{' || c == '[') ++depth;
    else if (c == '}' || c == ']') --depth;
    else if (c == '"') {
      size_t j = i + 1;
      while (j < t.size() && t[j] != '"') j += (t[j] == '\\') ? 2 : 1;
      if (j >= t.size()) break;
      std::string s = t.substr(i + 1, j - i - 1);
      size_t k = j + 1;
      while (k < t.size() && std::isspace(uint8_t(t[k]))) ++k;
      if (k < t.size() && t[k] == ':' && s == name) {
        size_t v = k + 1;
        while (v < t.size() && std::isspace(uint8_t(t[v]))) ++v;
        Hit h{depth, v < t.size() && t[v] != '{' && t[v] != '[', ""};
        if (h.scalar) {
          size_t e = v;
          if (t[v] == '"') e = t.find('"', v + 1) + 1;
          else
            while (e < t.size() && t[e] != ',' && t[e] != '}' && !std::isspace(uint8_t(t[e]))) ++e;
          h.value = t.substr(v, e - v);
        }
        hits.push_back(h);
      }
      i = j;
    }
  }
  return hits;
}
// The value of the one root-level occurrence of key (nested ones are checked apart).
std::string rootValue(const std::string& text, const std::string& key) {
  std::vector<Hit> h;
  for (auto& x : keyHits(text, key))
    if (x.depth == 1) h.push_back(x);
  if (h.size() != 1 || !h[0].scalar) return "<" + std::to_string(h.size()) + " hits>";
  return h[0].value;
}

BundleSpec small(uint32_t seed = 1) {
  BundleSpec s;
  s.seed = seed;
  return s;
}

}  // namespace

TEST(ForgeBundle, MemberSizesDefaultSpec) {
  TmpDir d;
  BundleSpec s = small();
  le::forge::writeBundle(d / "b", s);
  expectExactMembers(d.path() / "b", s);
}

TEST(ForgeBundle, MemberSizesAcrossSpecs) {
  struct Case {
    const char* name;
    BundleSpec s;
  };
  std::vector<Case> cases;
  {
    BundleSpec s;
    s.nt = 3, s.W = 40, s.H = 30, s.crop = 16, s.frames = 11;
    cases.push_back({"odd-sizes", s});
  }
  {
    BundleSpec s;
    s.descriptiveNames = true;
    cases.push_back({"descriptive", s});
  }
  {
    BundleSpec s;
    s.descriptiveNames = true, s.prior = Prior::FeatSynth, s.nt = 2, s.frames = 0;
    cases.push_back({"descriptive-fs-zero-frames", s});
  }
  {
    BundleSpec s;
    s.withFsRed = true, s.jpegDriver = false, s.nt = 5, s.frames = 2;
    cases.push_back({"raw-plus-fs-no-jpeg", s});
  }
  {
    BundleSpec s;
    s.prior = Prior::None, s.legacyKeyNames = true, s.nestedBlocks = true;
    cases.push_back({"no-prior-legacy-nested", s});
  }
  {
    BundleSpec s;
    s.crop = 48, s.W = 96, s.H = 80, s.jpegDirName = "driver_jpg";
    cases.push_back({"renamed-jpeg-dir", s});
  }
  TmpDir d;
  for (auto& c : cases) {
    SCOPED_TRACE(c.name);
    le::forge::writeBundle(d / c.name, c.s);
    expectExactMembers(d.path() / c.name, c.s);
  }
}

TEST(ForgeBundle, MemberFileFollowsTheAliasRules) {
  BundleSpec s;
  EXPECT_EQ(le::forge::memberFile(s, "P.f16"), "P.f16");
  EXPECT_EQ(le::forge::memberFile(s, "drive/xd.f32"), "drive/xd.f32");
  s.descriptiveNames = true;
  EXPECT_EQ(le::forge::memberFile(s, "P.f16"), "source_frames.f16");
  EXPECT_EQ(le::forge::memberFile(s, "mask_512.u8"), "paste_mask.u8");
  EXPECT_EQ(le::forge::memberFile(s, "drive/si.i32"), "idle_loop/source_index.i32");
  EXPECT_EQ(le::forge::memberFile(s, "drive/other.bin"), "idle_loop/other.bin");
  EXPECT_EQ(le::forge::memberFile(s, "model_b4_fp16.onnx"), "render_model.batch4.fp16.onnx");
  EXPECT_EQ(le::forge::memberFile(s, "model_b1.onnx"), "render_model.batch1.onnx");
  EXPECT_EQ(le::forge::memberFile(s, "manifest.json"), "manifest.json");
}

TEST(ForgeBundle, ManifestCarriesTheLoaderKeysOnceAtTheRoot) {
  TmpDir d;
  BundleSpec s;
  s.nt = 7, s.W = 80, s.H = 60, s.crop = 40, s.frames = 9, s.nestedBlocks = true, s.msrcW = 160, s.msrcH = 120;
  le::forge::writeBundle(d / "b", s);
  const std::string text = readFile(d.path() / "b/manifest.json");
  EXPECT_EQ(text, le::forge::manifestText(s));
  EXPECT_EQ(rootValue(text, "format"), "\"le-bundle-v0\"");
  EXPECT_EQ(rootValue(text, "NT"), "7");
  EXPECT_EQ(rootValue(text, "W"), "80");
  EXPECT_EQ(rootValue(text, "H"), "60");
  EXPECT_EQ(rootValue(text, "crop"), "40");
  EXPECT_EQ(rootValue(text, "frames"), "9");
  EXPECT_EQ(rootValue(text, "M_src_w"), "160");
  EXPECT_EQ(rootValue(text, "M_src_h"), "120");
  EXPECT_EQ(rootValue(text, "P_rgb"), "\"P.f16\"");
  EXPECT_EQ(rootValue(text, "target_frames"), "\"target_frames\"");
  const int ksize = std::atoi(rootValue(text, "ksize").c_str());
  EXPECT_EQ(ksize % 2, 1);
  EXPECT_GT(std::atof(rootValue(text, "amount").c_str()), 0.0);
  EXPECT_GT(std::atof(rootValue(text, "sigma").c_str()), 0.0);
  EXPECT_FALSE(rootValue(text, "agent").empty());
  // The nested blocks exist and give no name the loader reads a second scalar
  // value at any depth (unified.crop is an object: the key rule passes it by).
  EXPECT_EQ(keyHits(text, "tessera").size(), 1u);
  EXPECT_EQ(keyHits(text, "unified").size(), 1u);
  for (const char* k : {"NT", "frame_count", "H", "W", "crop", "crop_size", "amount", "sigma", "ksize", "frames",
                        "M_src_w", "paste_source_width", "M_src_h", "paste_source_height"}) {
    size_t scalars = 0;
    for (auto& x : keyHits(text, k)) {
      if (!x.scalar) continue;
      ++scalars;
      EXPECT_EQ(x.depth, 1) << k;
    }
    EXPECT_LE(scalars, 1u) << k;
  }
  EXPECT_TRUE(keyHits(text, "frame_count").empty());
  EXPECT_TRUE(keyHits(text, "paste_source_width").empty());
}

TEST(ForgeBundle, ManifestKeyVariants) {
  BundleSpec s;
  s.legacyKeyNames = true;
  std::string t = le::forge::manifestText(s);
  EXPECT_EQ(rootValue(t, "frame_count"), "4");
  EXPECT_EQ(rootValue(t, "crop_size"), "32");
  EXPECT_EQ(rootValue(t, "paste_source_width"), "64");
  EXPECT_EQ(rootValue(t, "paste_source_height"), "48");
  for (const char* k : {"NT", "crop", "M_src_w", "M_src_h", "tessera", "unified"}) EXPECT_TRUE(keyHits(t, k).empty()) << k;

  s = BundleSpec{};
  s.stampPasteSpace = false, s.jpegDriver = false, s.prior = Prior::FeatSynth, s.descriptiveNames = true;
  t = le::forge::manifestText(s);
  for (const char* k : {"M_src_w", "M_src_h", "paste_source_width", "paste_source_height", "target_frames", "P_rgb"})
    EXPECT_TRUE(keyHits(t, k).empty()) << k;

  s = BundleSpec{};
  s.descriptiveNames = true;
  EXPECT_EQ(rootValue(le::forge::manifestText(s), "P_rgb"), "\"source_frames.f16\"");

  // Extra root keys are appended verbatim and can collide on purpose.
  s = BundleSpec{};
  s.extraRootKeys = "\"crop\": 64, \"note\": {\"x\": [1, 2]}";
  t = le::forge::manifestText(s);
  EXPECT_NE(t.find(s.extraRootKeys), std::string::npos);
  auto h = keyHits(t, "crop");
  ASSERT_EQ(h.size(), 2u);
  EXPECT_EQ(h[1].value, "64");
  EXPECT_EQ(t.find_last_of('}'), t.find_last_not_of("\n"));
  int depth = 0;
  for (char c : t) depth += (c == '{' || c == '[') - (c == '}' || c == ']');
  EXPECT_EQ(depth, 0);
}

TEST(ForgeBundle, DriveTablesAreConsistent) {
  TmpDir d;
  BundleSpec s;
  s.nt = 5, s.frames = 23;
  le::forge::writeBundle(d / "b", s);
  auto si = readArray<int32_t>(d.path() / "b/drive/si.i32");
  auto xs = readArray<float>(d.path() / "b/drive/xs.f32");
  auto xd = readArray<float>(d.path() / "b/drive/xd.f32");
  auto target = readArray<float>(d.path() / "b/xs_target.bin");
  ASSERT_EQ(si.size(), 23u);
  ASSERT_EQ(xs.size(), 23u * 63);
  ASSERT_EQ(xd.size(), 23u * 63);
  ASSERT_EQ(target.size(), 5u * 63);
  std::set<int> seen;
  double moved = 0;
  for (int r = 0; r < 23; ++r) {
    ASSERT_GE(si[r], 0);
    ASSERT_LT(si[r], 5);
    seen.insert(si[r]);
    for (int k = 0; k < 63; ++k) {
      EXPECT_EQ(xs[r * 63 + k], target[si[r] * 63 + k]) << "row " << r;  // xs is the source frame's keypoints
      const float delta = xd[r * 63 + k] - xs[r * 63 + k];
      EXPECT_LT(std::abs(delta), 0.1f) << "row " << r << " value " << k;  // small motion
      moved = std::max(moved, double(std::abs(delta)));
    }
  }
  EXPECT_EQ(seen.size(), 5u);  // the loop visits every source frame
  EXPECT_GT(moved, 0.005);     // and the driven set does move
  // The API tables are what was written.
  auto t = le::forge::driveTables(s);
  EXPECT_EQ(t.si, si);
  EXPECT_EQ(t.xd, xd);
}

TEST(ForgeBundle, KeypointsAreAPlausibleFace) {
  for (bool demo : {false, true}) {
    SCOPED_TRACE(demo ? "portrait" : "procedural");
    BundleSpec s;
    if (demo) {
      s.portrait = demoPortrait();
      s.crop = 64, s.W = 160, s.H = 90;
    }
    auto kp = le::forge::targetKeypoints(s);
    ASSERT_EQ(kp.size(), size_t(s.nt) * 63);
    for (int i = 0; i < s.nt; ++i) {
      const float* k = &kp[i * 63];
      auto X = [&](int r) { return k[r * 3]; };
      auto Y = [&](int r) { return k[r * 3 + 1]; };
      for (int r = 0; r < 21; ++r) {
        EXPECT_GT(X(r), -0.9f);
        EXPECT_LT(X(r), 0.9f);
        EXPECT_GT(Y(r), -0.9f);
        EXPECT_LT(Y(r), 0.9f);
        EXPECT_LT(std::abs(k[r * 3 + 2]), 0.5f);
      }
      EXPECT_LT(X(6), X(9));                            // left eye left of right eye
      EXPECT_LT(Y(1), Y(6));                            // brows above eyes
      EXPECT_LT(std::max(Y(6), Y(9)), Y(11));           // eyes above nose tip
      EXPECT_LT(Y(11), Y(13));                          // nose above upper lip
      EXPECT_LT(Y(13), Y(15));                          // upper lip above lower lip
      EXPECT_LT(Y(15), Y(18));                          // lower lip above chin
      EXPECT_LT(X(12), X(11));  // nose between the mouth corners
      EXPECT_LT(X(11), X(14));
      EXPECT_GT(k[11 * 3 + 2], k[16 * 3 + 2]);          // nose in front of the jaw
    }
  }
}

// The keypoints sit on the features of the generated face in the source frame.
TEST(ForgeBundle, KeypointsLandOnTheGeneratedFeatures) {
  BundleSpec s;
  s.crop = 128, s.W = 256, s.H = 192, s.nt = 3;
  auto kp = le::forge::targetKeypoints(s);
  for (int i = 0; i < s.nt; ++i) {
    auto P = le::forge::sourceFrame(s, i);
    const float* k = &kp[i * 63];
    const size_t plane = size_t(s.crop) * s.crop;
    auto rgb = [&](double nx, double ny, float out[3]) {
      const int x = std::clamp(int(std::lround((nx + 1) * (s.crop - 1) / 2)), 0, s.crop - 1);
      const int y = std::clamp(int(std::lround((ny + 1) * (s.crop - 1) / 2)), 0, s.crop - 1);
      for (int c = 0; c < 3; ++c) out[c] = 255 * f16ToF32(P[c * plane + size_t(y) * s.crop + x]);
    };
    float mouth[3], pupil[3], cheek[3];
    rgb((k[13 * 3] + k[15 * 3]) / 2, (k[13 * 3 + 1] + k[15 * 3 + 1]) / 2, mouth);
    rgb((k[6 * 3] + k[7 * 3]) / 2, (k[6 * 3 + 1] + k[7 * 3 + 1]) / 2, pupil);
    rgb((k[16 * 3] + k[11 * 3]) / 2, k[11 * 3 + 1], cheek);
    EXPECT_GT(mouth[0], mouth[1] + 60) << "frame " << i;  // lips are red
    EXPECT_LT(pupil[0] + pupil[1] + pupil[2], 250) << "frame " << i;  // the eye's centre is dark
    EXPECT_GT(cheek[0] + cheek[1] + cheek[2], 400) << "frame " << i;  // skin is light
  }
}

TEST(ForgeBundle, PasteTransformsPlaceTheCropInsideTheFrame) {
  TmpDir d;
  std::vector<BundleSpec> specs(3);
  specs[1].W = 200, specs[1].H = 60, specs[1].crop = 24, specs[1].nt = 9;
  specs[2].W = 50, specs[2].H = 120, specs[2].crop = 64, specs[2].msrcW = 100, specs[2].msrcH = 240;
  for (size_t n = 0; n < specs.size(); ++n) {
    const BundleSpec& s = specs[n];
    SCOPED_TRACE(n);
    const std::string dir = d / ("b" + std::to_string(n));
    le::forge::writeBundle(dir, s);
    auto onFrame = le::forge::pasteTransformsOnFrame(s);
    auto written = readArray<float>(dir + "/M.f32");
    ASSERT_EQ(written, le::forge::pasteTransforms(s));
    ASSERT_EQ(written.size(), size_t(s.nt) * 6);
    const double kx = double(le::forge::msrcWidth(s)) / s.W, ky = double(le::forge::msrcHeight(s)) / s.H;
    for (int i = 0; i < s.nt; ++i) {
      const float* m = &onFrame[i * 6];
      for (int k = 0; k < 6; ++k)  // authored on the msrc canvas: the loader's rescale gives M on the frame back
        EXPECT_NEAR(written[i * 6 + k] * (k < 3 ? 1 / kx : 1 / ky), m[k], 1e-4 * (1 + std::abs(m[k])));
      const double det = double(m[0]) * m[4] - double(m[1]) * m[3];
      EXPECT_GT(det, 0.0);
      const double S1 = s.crop - 1;
      for (double cx : {0.0, S1})
        for (double cy : {0.0, S1}) {
          const double X = m[0] * cx + m[1] * cy + m[2], Y = m[3] * cx + m[4] * cy + m[5];
          EXPECT_GE(X, 0.0);
          EXPECT_LE(X, s.W - 1.0);
          EXPECT_GE(Y, 0.0);
          EXPECT_LE(Y, s.H - 1.0);
        }
    }
  }
}

// P(i) and M(i) describe the same pixels as driver frame i: sampling the frame at
// M(x, y) gives back the source frame, and a shifted transform does not.
TEST(ForgeBundle, SourceFramesAgreeWithDriverFramesThroughM) {
  BundleSpec s;
  s.W = 160, s.H = 120, s.crop = 64, s.nt = 3;
  auto M = le::forge::pasteTransformsOnFrame(s);
  auto mask = le::forge::featheredDisc(s.crop);
  for (int i = 0; i < s.nt; ++i) {
    auto frame = le::forge::driverFrame(s, i);
    auto P = le::forge::sourceFrame(s, i);
    auto err = [&](double sx, double sy) {
      const float* m = &M[i * 6];
      double sum = 0;
      int n = 0;
      const size_t plane = size_t(s.crop) * s.crop;
      for (int y = 0; y < s.crop; ++y)
        for (int x = 0; x < s.crop; ++x) {
          if (mask[y * s.crop + x] != 255) continue;
          const double X = m[0] * x + m[1] * y + m[2] + sx, Y = m[3] * x + m[4] * y + m[5] + sy;
          const int x0 = int(std::floor(X)), y0 = int(std::floor(Y));
          if (x0 < 0 || y0 < 0 || x0 + 1 >= s.W || y0 + 1 >= s.H) continue;
          const double fx = X - x0, fy = Y - y0;
          for (int c = 0; c < 3; ++c) {
            auto px = [&](int xx, int yy) { return double(frame[(size_t(yy) * s.W + xx) * 3 + c]); };
            const double v = (px(x0, y0) * (1 - fx) + px(x0 + 1, y0) * fx) * (1 - fy) +
                             (px(x0, y0 + 1) * (1 - fx) + px(x0 + 1, y0 + 1) * fx) * fy;
            sum += std::abs(v - 255.0 * f16ToF32(P[c * plane + size_t(y) * s.crop + x]));
            ++n;
          }
        }
      return sum / std::max(n, 1);
    };
    const double aligned = err(0, 0);
    EXPECT_LT(aligned, 2.5) << "frame " << i;
    // half a pixel off either way on either axis (a pixel-centre convention slip) is clearly worse
    for (double h : {-0.5, 0.5}) {
      EXPECT_GT(err(h, 0), 1.3 * aligned) << "frame " << i << " dx " << h;
      EXPECT_GT(err(0, h), 1.3 * aligned) << "frame " << i << " dy " << h;
    }
    EXPECT_GT(err(3, 0), 4 * aligned) << "frame " << i;
  }
}

TEST(ForgeBundle, SourceFramesAreHalvesInUnitRange) {
  TmpDir d;
  BundleSpec s;
  le::forge::writeBundle(d / "b", s);
  auto p = readArray<uint16_t>(d.path() / "b/P.f16");
  ASSERT_EQ(p.size(), size_t(s.nt) * 3 * s.crop * s.crop);
  double lo = 1, hi = 0;
  for (uint16_t h : p) {
    const float v = f16ToF32(h);
    ASSERT_TRUE(v >= 0.0f && v <= 1.0f) << v;
    lo = std::min(lo, double(v)), hi = std::max(hi, double(v));
  }
  EXPECT_GT(hi - lo, 0.3);  // an image, not a constant
  const size_t block = size_t(3) * s.crop * s.crop;
  EXPECT_EQ(std::vector<uint16_t>(p.begin() + block, p.begin() + 2 * block), le::forge::sourceFrame(s, 1));
  // pooled features: finite halves
  for (uint16_t h : readArray<uint16_t>(d.path() / "b/pooled64.f16")) ASSERT_TRUE(std::isfinite(f16ToF32(h)));
}

TEST(ForgeBundle, JpegFramesDecodeToTheDriverFrames) {
  TmpDir d;
  BundleSpec s;
  s.W = 72, s.H = 40, s.nt = 3;
  le::forge::writeBundle(d / "b", s);
  for (int i = 0; i < s.nt; ++i) {
    char name[64];
    std::snprintf(name, sizeof name, "b/target_frames/frame_%06d.jpg", i);
    int w = 0, h = 0, n = 0;
    unsigned char* px = stbi_load((d / name).c_str(), &w, &h, &n, 3);
    ASSERT_NE(px, nullptr) << name;
    EXPECT_EQ(w, s.W);
    EXPECT_EQ(h, s.H);
    auto ref = le::forge::driverFrame(s, i);
    double sum = 0;
    for (size_t k = 0; k < ref.size(); ++k) sum += std::abs(int(px[k]) - int(ref[k]));
    stbi_image_free(px);
    EXPECT_LT(sum / ref.size(), 6.0) << name;
  }
}

TEST(ForgeBundle, FeatheredDiscIsASoftDisc) {
  for (int side : {8, 33, 512}) {
    auto m = le::forge::featheredDisc(side);
    ASSERT_EQ(m.size(), size_t(side) * side);
    auto at = [&](int x, int y) { return int(m[size_t(y) * side + x]); };
    EXPECT_EQ(at(side / 2, side / 2), 255);
    EXPECT_EQ(at(0, 0), 0);
    EXPECT_EQ(at(side - 1, side - 1), 0);
    for (int y = 0; y < side; ++y)
      for (int x = 0; x < side; ++x) {
        EXPECT_EQ(at(x, y), at(side - 1 - x, y));
        EXPECT_EQ(at(x, y), at(y, x));
      }
    // non-increasing from the centre along the middle row
    for (int x = side / 2; x + 1 < side; ++x) EXPECT_GE(at(x, side / 2), at(x + 1, side / 2));
    if (side >= 64) {
      int soft = 0;
      for (uint8_t v : m) soft += v > 0 && v < 255;
      EXPECT_GT(soft, side);  // a feathered edge, not a hard one
    }
  }
}

TEST(ForgeBundle, SameSeedSameBytesOtherSeedOtherContent) {
  TmpDir d;
  BundleSpec s;
  s.nestedBlocks = true, s.withFsRed = true;
  le::forge::writeBundle(d / "a", s);
  le::forge::writeBundle(d / "b", s);
  BundleSpec t = s;
  t.seed = 2;
  le::forge::writeBundle(d / "c", t);
  auto files = fileSizes(d.path() / "a");
  ASSERT_EQ(files, fileSizes(d.path() / "b"));
  for (auto& [name, size] : files) EXPECT_EQ(readFile(d.path() / "a" / name), readFile(d.path() / "b" / name)) << name;
  for (const char* name : {"P.f16", "pooled64.f16", "fs_red.f16", "drive/xd.f32", "M.f32"})
    EXPECT_NE(readFile(d.path() / "a" / name), readFile(d.path() / "c" / name)) << name;
  EXPECT_EQ(readFile(d.path() / "a/mask_512.u8"), readFile(d.path() / "c/mask_512.u8"));
}

TEST(ForgeBundle, BadSpecsAreRefused) {
  TmpDir d;
  auto bad = [&](auto edit) {
    BundleSpec s;
    edit(s);
    EXPECT_THROW(le::forge::writeBundle(d / "x", s), std::runtime_error);
  };
  bad([](BundleSpec& s) { s.nt = 0; });
  bad([](BundleSpec& s) { s.crop = 2; });
  bad([](BundleSpec& s) { s.frames = -1; });
  bad([](BundleSpec& s) { s.ksize = 12; });
  bad([](BundleSpec& s) { s.portrait = "/nonexistent/portrait.png"; });
}

TEST(ForgeDemo, DemoSpecIsFullSizeAroundThePortrait) {
  const std::string portrait = demoPortrait();
  BundleSpec s = le::forge::demoSpec(portrait);
  EXPECT_EQ(s.crop, 512);
  EXPECT_GE(s.W, 960);
  EXPECT_GE(s.H, 540);
  EXPECT_GE(s.nt, 25);
  EXPECT_EQ(s.frames, s.nt);
  EXPECT_EQ(s.portrait, portrait);
  EXPECT_EQ(s.prior, Prior::Raw);
  EXPECT_TRUE(s.jpegDriver);
  EXPECT_TRUE(s.stampPasteSpace);
  // The same geometry at a small size: the face sits in the crop where the keypoints say.
  BundleSpec t = s;
  t.nt = 2, t.frames = 2, t.crop = 64, t.W = 160, t.H = 90;
  auto P = le::forge::sourceFrame(t, 0);
  auto kp = le::forge::targetKeypoints(t);
  auto lum = [&](float nx, float ny) {
    const int x = std::clamp(int(std::lround((nx + 1) * (t.crop - 1) / 2)), 0, t.crop - 1);
    const int y = std::clamp(int(std::lround((ny + 1) * (t.crop - 1) / 2)), 0, t.crop - 1);
    const size_t plane = size_t(t.crop) * t.crop, at = size_t(y) * t.crop + x;
    return f16ToF32(P[at]) + f16ToF32(P[plane + at]) + f16ToF32(P[2 * plane + at]);
  };
  // the suit's dark collar lies below the chin; the skin at the nose tip is brighter.
  EXPECT_GT(lum(kp[11 * 3], kp[11 * 3 + 1]), lum(kp[18 * 3], kp[18 * 3 + 1] + 0.3f) + 0.5f);
}
