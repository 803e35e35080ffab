// Member resolution, mapped tables and le::Identity.
#include <cmath>
#include <cstring>
#include <thread>
#include <type_traits>

#include "bundle/le_bundle.h"
#include "compose/le_simd.h"
#include "driver/le_driver.h"
#include "forge/forge.h"
#include "support/env.h"
#include "support/errors.h"
#include "support/files.h"
#include "support/tmpdir.h"

using le::test::ScopedEnv;
using le::test::errorOf;
using le::test::TmpDir;
namespace forge = le::forge;

// ------------------------------------------------------------------ aliases

TEST(MemberAlias, ExactTable) {
  const char* rows[][2] = {
      {"P.f16", "source_frames.f16"},
      {"P_hevc.mov", "source_frames.hevc"},
      {"a2x_enc_stream.onnx", "audio_motion_encoder.onnx"},
      {"a2x_dec.onnx", "audio_motion_decoder.onnx"},
      {"M.f32", "paste_transform.f32"},
      {"mask_512.u8", "paste_mask.u8"},
      {"pooled64.f16", "pooled_features.f16"},
      {"fs_red.f16", "feature_synth.f16"},
      {"xs_target.bin", "target_keypoints.bin"},
  };
  for (auto& r : rows) EXPECT_EQ(le::memberAlias(r[0]), r[1]) << r[0];
  // Only exact names; the descriptive names have no alias of their own.
  EXPECT_EQ(le::memberAlias("source_frames.f16"), "source_frames.f16");
  EXPECT_EQ(le::memberAlias("p.f16"), "p.f16");
  EXPECT_EQ(le::memberAlias("P.f16 "), "P.f16 ");
  EXPECT_EQ(le::memberAlias("manifest.json"), "manifest.json");
}

TEST(MemberAlias, DirectorModelRule) {
  EXPECT_EQ(le::memberAlias("model_b1.onnx"), "render_model.batch1.onnx");
  EXPECT_EQ(le::memberAlias("model_b4_fp16.onnx"), "render_model.batch4.fp16.onnx");
  EXPECT_EQ(le::memberAlias("model_b8_int8_vnni.onnx"), "render_model.batch8.int8_vnni.onnx");  // first '_' splits
  EXPECT_EQ(le::memberAlias("model_b4_.onnx"), "render_model.batch4.onnx");                   // empty suffix
  EXPECT_EQ(le::memberAlias("model_b_x.onnx"), "render_model.batch.x.onnx");                  // empty batch
  EXPECT_EQ(le::memberAlias("model_bX.onnx"), "render_model.batchX.onnx");
  // Too short (12 characters: nothing between the prefix and ".onnx").
  EXPECT_EQ(le::memberAlias("model_b.onnx"), "model_b.onnx");
  EXPECT_EQ(le::memberAlias("model_b1.onnxx"), "model_b1.onnxx");
  EXPECT_EQ(le::memberAlias("model_a1.onnx"), "model_a1.onnx");
  EXPECT_EQ(le::memberAlias("xmodel_b1.onnx"), "xmodel_b1.onnx");
}

TEST(MemberAlias, DriveTableRule) {
  EXPECT_EQ(le::memberAlias("drive/xs.f32"), "idle_loop/source_keypoints.f32");
  EXPECT_EQ(le::memberAlias("drive/xd.f32"), "idle_loop/driven_keypoints.f32");
  EXPECT_EQ(le::memberAlias("drive/si.i32"), "idle_loop/source_index.i32");
  EXPECT_EQ(le::memberAlias("drive/other.bin"), "idle_loop/other.bin");      // other stems stay
  EXPECT_EQ(le::memberAlias("drive/xs"), "idle_loop/source_keypoints");      // empty extension
  EXPECT_EQ(le::memberAlias("drive/xs.f32.gz"), "idle_loop/source_keypoints.f32.gz");  // first '.' splits
  EXPECT_EQ(le::memberAlias("drive/xsx.f32"), "idle_loop/xsx.f32");
  EXPECT_EQ(le::memberAlias("drives/xs.f32"), "drives/xs.f32");
  EXPECT_EQ(le::memberAlias("xs.f32"), "xs.f32");
}

TEST(ResolveMember, RequestedNameWinsThenAliasThenRequested) {
  TmpDir tmp;
  const std::string d = tmp.str();
  // Neither exists: the requested name, so the reader names it.
  EXPECT_EQ(le::resolveMember(d, "P.f16"), d + "/P.f16");
  EXPECT_EQ(le::resolveMember(d, "drive/xs.f32"), d + "/drive/xs.f32");
  // Only the descriptive file.
  le::test::writeFile(tmp / "source_frames.f16", "a");
  le::test::writeFile(tmp / "idle_loop/source_keypoints.f32", "a");
  le::test::writeFile(tmp / "render_model.batch2.onnx", "a");
  EXPECT_EQ(le::resolveMember(d, "P.f16"), d + "/source_frames.f16");
  EXPECT_EQ(le::resolveMember(d, "drive/xs.f32"), d + "/idle_loop/source_keypoints.f32");
  EXPECT_EQ(le::resolveMember(d, "model_b2.onnx"), d + "/render_model.batch2.onnx");
  // Both: the requested name wins.
  le::test::writeFile(tmp / "P.f16", "b");
  le::test::writeFile(tmp / "drive/xs.f32", "b");
  EXPECT_EQ(le::resolveMember(d, "P.f16"), d + "/P.f16");
  EXPECT_EQ(le::resolveMember(d, "drive/xs.f32"), d + "/drive/xs.f32");
  // A name without an alias is never looked up.
  EXPECT_EQ(le::resolveMember(d, "nothing.bin"), d + "/nothing.bin");
}

TEST(ResolveMember, UnreadableRequestedFallsBackToAlias) {
  if (::geteuid() == 0) GTEST_SKIP() << "root opens unreadable files";
  TmpDir tmp;
  le::test::writeFile(tmp / "M.f32", "a");
  le::test::writeFile(tmp / "paste_transform.f32", "b");
  ::chmod((tmp / "M.f32").c_str(), 0);
  EXPECT_EQ(le::resolveMember(tmp.str(), "M.f32"), tmp / "paste_transform.f32");
}

// ------------------------------------------------------------ mapped tables

static_assert(!std::is_copy_constructible_v<le::MappedTable>);
static_assert(!std::is_copy_assignable_v<le::MappedTable>);
static_assert(std::is_nothrow_move_constructible_v<le::MappedTable>);
static_assert(std::is_nothrow_move_assignable_v<le::MappedTable>);

TEST(MapFile, ExactSizeOnly) {
  TmpDir tmp;
  const std::string p = tmp / "t.bin";
  le::test::writeFile(p, "0123456789");
  {
    le::MappedTable t = le::mapFile(p, 10);
    ASSERT_FALSE(t.empty());
    EXPECT_EQ(t.size(), 10u);
    EXPECT_EQ(std::memcmp(t.data(), "0123456789", 10), 0);
    le::MappedTable u(std::move(t));
    EXPECT_TRUE(t.empty());
    EXPECT_EQ(t.size(), 0u);
    EXPECT_EQ(std::memcmp(u.data(), "0123456789", 10), 0);
    le::MappedTable w;
    w = std::move(u);
    EXPECT_TRUE(u.empty());
    EXPECT_EQ(w.data()[9], '9');
  }
  EXPECT_EQ(errorOf([&] { le::mapFile(p, 9); }), "size mismatch " + p);
  EXPECT_EQ(errorOf([&] { le::mapFile(p, 11); }), "size mismatch " + p);
  EXPECT_EQ(errorOf([&] { le::mapFile(tmp / "none", 10); }), "cannot open " + (tmp / "none"));
}

TEST(ReadRaw, ExactCountOnly) {
  TmpDir tmp;
  const std::string p = tmp / "f.f32";
  le::test::writeArray<float>(p, {1.f, 2.f, 3.f});
  EXPECT_EQ(le::readRaw<float>(p, 3), (std::vector<float>{1.f, 2.f, 3.f}));
  EXPECT_EQ(errorOf([&] { le::readRaw<float>(p, 2); }), "size mismatch " + p);  // extra bytes
  EXPECT_EQ(errorOf([&] { le::readRaw<float>(p, 4); }), "size mismatch " + p);  // too few
  le::test::writeFile(p, std::string(13, 'x'));
  EXPECT_EQ(errorOf([&] { le::readRaw<float>(p, 3); }), "size mismatch " + p);  // a partial element
  EXPECT_EQ(errorOf([&] { le::readRaw<float>(tmp / "none", 3); }), "cannot open " + (tmp / "none"));
  // A huge count fails on the size, not on an allocation.
  EXPECT_EQ(errorOf([&] { le::readRaw<float>(p, std::size_t(1) << 60); }), "size mismatch " + p);
  EXPECT_EQ(errorOf([&] { le::readRaw<float>(p, SIZE_MAX / 2); }), "size mismatch " + p);
  le::test::writeFile(p, "");
  EXPECT_TRUE(le::readRaw<float>(p, 0).empty());
}

TEST(ReadRaw, StreamsThatAreNotRegularFiles) {
  // A pipe has no size to check up front: the extra bytes are found by reading.
  TmpDir tmp;
  const std::string fifo = tmp / "pipe";
  ASSERT_EQ(::mkfifo(fifo.c_str(), 0600), 0);
  auto feed = [&](std::string bytes) {
    return std::thread([fifo, bytes] {
      std::ofstream f(fifo, std::ios::binary);
      f.write(bytes.data(), std::streamsize(bytes.size()));
    });
  };
  const float three[3] = {1.f, 2.f, 3.f};
  const std::string exact(reinterpret_cast<const char*>(three), sizeof three);
  std::thread w = feed(exact);
  EXPECT_EQ(le::readRaw<float>(fifo, 3), (std::vector<float>{1.f, 2.f, 3.f}));
  w.join();
  w = feed(exact + "x");
  EXPECT_EQ(errorOf([&] { le::readRaw<float>(fifo, 3); }), "size mismatch " + fifo);
  w.join();
  w = feed(exact.substr(0, 11));
  EXPECT_EQ(errorOf([&] { le::readRaw<float>(fifo, 3); }), "size mismatch " + fifo);
  w.join();
}

// ---------------------------------------------------------------- identity

namespace {

forge::BundleSpec smallSpec() {
  forge::BundleSpec s;
  s.nt = 3;
  s.W = 40;
  s.H = 30;
  s.crop = 16;
  s.frames = 5;
  s.jpegDriver = true;
  return s;
}

class IdentityTest : public ::testing::Test {
 protected:
  TmpDir tmp;
  ScopedEnv noLegacy{"QUENZAL2_MSRC_MISSING_OK", std::nullopt};
  std::string dir() const { return tmp.str(); }
  le::Manifest make(const forge::BundleSpec& s) {
    forge::writeBundle(dir(), s);
    return le::loadManifest(dir());
  }
  std::string member(const std::string& name) const { return le::resolveMember(dir(), name); }
};

std::string sizeMismatch(const std::string& p) { return "size mismatch " + p; }

// Grows or shrinks a file by delta bytes.
void resize(const std::string& p, long delta) {
  std::string b = le::test::readFile(p);
  if (delta > 0) b.append(std::size_t(delta), '\0');
  else b.resize(b.size() - std::size_t(-delta));
  le::test::writeFile(p, b);
}

}  // namespace

TEST_F(IdentityTest, RawPriorMapsEveryTable) {
  const forge::BundleSpec s = smallSpec();
  const le::Manifest m = make(s);
  le::Identity id(m);
  EXPECT_EQ(id.nt(), s.nt);
  EXPECT_EQ(id.crop(), s.crop);
  EXPECT_TRUE(id.hasP());
  EXPECT_FALSE(id.hasFsRed());
  EXPECT_FALSE(id.priorFromMovie());
  EXPECT_EQ(id.priorBackend(), "mmap P.f16");
  EXPECT_EQ(id.priorResidentBytes(), 0u);
  EXPECT_EQ(id.priorSeeks(), 0u);
  EXPECT_EQ(id.fsRed(0), nullptr);
  EXPECT_EQ(id.manifest().dir, m.dir);

  const std::string P = le::test::readFile(dir() + "/P.f16");
  const std::size_t frameBytes = std::size_t(3) * s.crop * s.crop * 2;
  ASSERT_EQ(P.size(), frameBytes * s.nt);
  for (int i = 0; i < s.nt; ++i)
    EXPECT_EQ(std::memcmp(id.P(i), P.data() + i * frameBytes, frameBytes), 0) << i;
  const std::string pooled = le::test::readFile(dir() + "/pooled64.f16");
  ASSERT_EQ(pooled.size(), std::size_t(131072) * s.nt);
  for (int i = 0; i < s.nt; ++i)
    EXPECT_EQ(std::memcmp(id.pooled64(i), pooled.data() + i * 131072, 131072), 0) << i;

  // Stamped on the W x H canvas: the transforms are the file's, unchanged.
  const std::vector<float> M = forge::pasteTransforms(s);
  ASSERT_EQ(id.transforms().size(), std::size_t(s.nt) * 6);
  EXPECT_EQ(id.transforms(), M);
  EXPECT_EQ(id.M(2)[0], M[12]);
  id.walkP(1);  // nothing to do for mapped frames
}

TEST_F(IdentityTest, DescriptiveNamesMapTheSameTables) {
  forge::BundleSpec s = smallSpec();
  s.descriptiveNames = true;
  const le::Manifest m = make(s);
  ASSERT_FALSE(le::test::exists(dir() + "/P.f16"));
  ASSERT_TRUE(le::test::exists(dir() + "/source_frames.f16"));
  le::Identity id(m);
  EXPECT_EQ(id.priorBackend(), "mmap P.f16");
  const std::string P = le::test::readFile(dir() + "/source_frames.f16");
  EXPECT_EQ(std::memcmp(id.P(1), P.data() + P.size() / s.nt, P.size() / s.nt), 0);
  EXPECT_EQ(id.transforms(), forge::pasteTransforms(s));
}

TEST_F(IdentityTest, RequestedNameWinsOverDescriptive) {
  const forge::BundleSpec s = smallSpec();
  const le::Manifest m = make(s);
  const std::string P = le::test::readFile(dir() + "/P.f16");
  le::test::writeFile(dir() + "/source_frames.f16", std::string(P.size(), '\x7f'));
  le::Identity id(m);
  EXPECT_EQ(std::memcmp(id.P(0), P.data(), P.size() / s.nt), 0);
}

TEST_F(IdentityTest, FeatureSynthOnly) {
  forge::BundleSpec s = smallSpec();
  s.prior = forge::Prior::FeatSynth;
  const le::Manifest m = make(s);
  le::Identity id(m);
  EXPECT_FALSE(id.hasP());
  EXPECT_TRUE(id.hasFsRed());
  EXPECT_FALSE(id.priorFromMovie());
  EXPECT_EQ(id.priorBackend(), "none");
  const std::string fs = le::test::readFile(member("fs_red.f16"));
  ASSERT_EQ(fs.size(), std::size_t(524288) * s.nt);
  EXPECT_EQ(std::memcmp(id.fsRed(2), fs.data() + 2 * 524288, 524288), 0);
  EXPECT_FALSE(errorOf([&] { id.P(0); }).empty());
  id.walkP(0);  // not a movie: nothing to do
}

TEST_F(IdentityTest, RawPriorWithFeatureSynth) {
  forge::BundleSpec s = smallSpec();
  s.withFsRed = true;
  le::Identity id(make(s));
  EXPECT_TRUE(id.hasP());
  EXPECT_TRUE(id.hasFsRed());
  EXPECT_EQ(id.priorBackend(), "mmap P.f16");
}

TEST_F(IdentityTest, MoviePriorPlaysFromTheHevcMember) {
  ScopedEnv hw("LE_DRIVER_HWDEC", "0");
  forge::BundleSpec s = smallSpec();
  s.prior = forge::Prior::None;
  s.hevcPrior = true;
  s.descriptiveNames = true;  // found through its alias source_frames.hevc
  forge::writeBundle(dir(), s);
  le::Identity id(le::loadManifest(dir()), le::openIdentityPrior);
  EXPECT_FALSE(id.hasP());
  EXPECT_TRUE(id.priorFromMovie());
  EXPECT_EQ(id.priorMoviePath(), dir() + "/source_frames.hevc");
  EXPECT_EQ(id.priorBackend().rfind("hevc444/libavcodec ", 0), 0u) << id.priorBackend();
  EXPECT_GT(id.priorResidentBytes(), 0u);
  const std::size_t halves = std::size_t(3) * s.crop * s.crop;
  // Forward in order, then back within the ring: no step depends on how far the
  // decoder has run ahead, so none needs a reposition.
  for (int k : {0, 1, 2, 1, 0, 2}) {
    const std::vector<std::uint16_t> want = forge::priorExpectedFrame(s, k);
    ASSERT_EQ(std::memcmp(id.P(k), want.data(), halves * 2), 0) << k;
  }
  EXPECT_EQ(id.priorSeeks(), 0u);  // every step stayed inside the prior's ring
  id.walkP(1);
}

TEST_F(IdentityTest, BrokenMoviePriorFailsWhenPlayed) {
  ScopedEnv hw("LE_DRIVER_HWDEC", "0");
  forge::BundleSpec s = smallSpec();
  s.prior = forge::Prior::None;
  s.extraRootKeys = R"("P_hevc": "P_hevc.mov")";
  forge::writeBundle(dir(), s);
  le::test::writeFile(dir() + "/source_frames.hevc", "not really a movie");  // found through its alias
  le::Identity id(le::loadManifest(dir()), le::openIdentityPrior);  // the movie is opened on first use, not here
  EXPECT_TRUE(id.priorFromMovie());
  EXPECT_EQ(id.priorMoviePath(), dir() + "/source_frames.hevc");
  const std::string e = errorOf([&] { id.P(0); });
  // Which open step gives up on the bytes is the demuxer's affair; the message names the member.
  EXPECT_EQ(e.rfind("le_driver: " + dir() + "/source_frames.hevc ", 0), 0u) << e;
  // Nothing half-open is kept: each use tries again and reports again.
  EXPECT_EQ(errorOf([&] { id.walkP(1); }), e);
  EXPECT_EQ(errorOf([&] { id.priorBackend(); }), e);
}

TEST_F(IdentityTest, SizeMismatches) {
  const forge::BundleSpec s = smallSpec();
  const le::Manifest m = make(s);
  const std::string pooled = member("pooled64.f16");
  resize(pooled, +1);
  EXPECT_EQ(errorOf([&] { le::Identity id(m); }), sizeMismatch(pooled));
  resize(pooled, -2);
  EXPECT_EQ(errorOf([&] { le::Identity id(m); }), sizeMismatch(pooled));
  resize(pooled, +1);

  const std::string P = member("P.f16");
  resize(P, +2);
  EXPECT_EQ(errorOf([&] { le::Identity id(m); }), sizeMismatch(P));
  resize(P, -2);

  const std::string M = member("M.f32");
  resize(M, +4);
  EXPECT_EQ(errorOf([&] { le::Identity id(m); }), sizeMismatch(M));
  resize(M, -8);
  EXPECT_EQ(errorOf([&] { le::Identity id(m); }), sizeMismatch(M));
  resize(M, +4);

  le::Identity ok(m);  // restored
  EXPECT_TRUE(ok.hasP());
}

TEST_F(IdentityTest, FeatureSynthSizeMismatch) {
  forge::BundleSpec s = smallSpec();
  s.prior = forge::Prior::FeatSynth;
  const le::Manifest m = make(s);
  const std::string fs = member("fs_red.f16");
  resize(fs, -1);
  EXPECT_EQ(errorOf([&] { le::Identity id(m); }), sizeMismatch(fs));
}

TEST_F(IdentityTest, MissingTables) {
  const le::Manifest m = make(smallSpec());
  std::rename((dir() + "/M.f32").c_str(), (dir() + "/M.bak").c_str());
  EXPECT_EQ(errorOf([&] { le::Identity id(m); }), "cannot open " + dir() + "/M.f32");
  std::rename((dir() + "/pooled64.f16").c_str(), (dir() + "/pooled.bak").c_str());
  EXPECT_EQ(errorOf([&] { le::Identity id(m); }), "cannot open " + dir() + "/pooled64.f16");
}

TEST_F(IdentityTest, RescalesTransformsToTheCanvas) {
  forge::BundleSpec s = smallSpec();
  s.msrcW = 2 * s.W;
  s.msrcH = 2 * s.H;
  const le::Manifest m = make(s);
  EXPECT_EQ(m.msrcW, 80);
  EXPECT_EQ(m.msrcH, 60);
  le::Identity id(m);
  const std::vector<float> authored = forge::pasteTransforms(s);
  ASSERT_EQ(id.transforms().size(), authored.size());
  for (std::size_t k = 0; k < authored.size(); ++k) EXPECT_EQ(id.transforms()[k], authored[k] * 0.5f) << k;
}

TEST(RescaleM, HalvesAndStretches) {
  le::Manifest m;
  m.W = 960;
  m.H = 540;
  m.msrcW = 1920;
  m.msrcH = 1080;
  std::vector<float> M = {2, 4, 6, 8, 10, 12, -1, -3, 5, 7, 9, 11};
  le::rescaleM(M, m);
  EXPECT_EQ(M, (std::vector<float>{1, 2, 3, 4, 5, 6, -0.5f, -1.5f, 2.5f, 3.5f, 4.5f, 5.5f}));

  m.msrcW = 960;  // x unchanged, y halved
  M = {2, 4, 6, 8, 10, 12};
  le::rescaleM(M, m);
  EXPECT_EQ(M, (std::vector<float>{2, 4, 6, 4, 5, 6}));

  m.msrcH = 540;  // same canvas: untouched
  M = {0.1f, 0.2f, 0.3f, 0.4f, 0.5f, 0.6f};
  const std::vector<float> same = M;
  le::rescaleM(M, m);
  EXPECT_EQ(M, same);

  // Products in double precision: in float arithmetic 0.1f * (1/5) rounds to a different float.
  m.W = 1;
  m.msrcW = 5;
  M = {0.1f, 0, 0, 0, 0, 0};
  le::rescaleM(M, m);
  EXPECT_EQ(M[0], float(double(0.1f) * 0.2));
  EXPECT_NE(M[0], 0.1f * (1.f / 5.f));
}

TEST(RescaleM, RefusesWithoutStamp) {
  le::Manifest m;
  m.W = 64;
  m.H = 48;
  m.msrcW = 0;
  m.msrcH = 48;
  std::vector<float> M(6, 1.f);
  const std::string refusal =
      "le::Identity: manifest carries no paste-space stamp (M_src_w/M_src_h) \xE2\x80\x94 refusing to paste M "
      "without knowing the space it was authored in";
  EXPECT_EQ(errorOf([&] { le::rescaleM(M, m); }), refusal);
  m.msrcW = 64;
  m.msrcH = -1;
  EXPECT_EQ(errorOf([&] { le::rescaleM(M, m); }), refusal);
}

// ------------------------------------------------- ensureIdentityMembers

namespace {

const char* kDash = "\xE2\x80\x94";

std::string neither(const std::string& src) {
  return "this bundle carries neither " + src +
         " nor fs_red.f16, and its manifest names no P_hevc member to play one from " + kDash +
         " the renderer has no warp prior and le::Identity would hand it a null pointer. REFUSING to create a "
         "session.";
}

}  // namespace

TEST_F(IdentityTest, RefusesBundleWithoutAnyPrior) {
  forge::BundleSpec s = smallSpec();
  s.prior = forge::Prior::None;
  const le::Manifest m = make(s);
  EXPECT_EQ(errorOf([&] { le::ensureIdentityMembers(m); }), neither("P.f16"));
  EXPECT_EQ(errorOf([&] { le::Identity id(m); }), neither("P.f16"));
  // The refusal comes before any mapping: a missing pooled table does not mask it.
  std::remove(member("pooled64.f16").c_str());
  EXPECT_EQ(errorOf([&] { le::Identity id(m); }), neither("P.f16"));
}

TEST_F(IdentityTest, RefusesPrgbNamedPriorThatIsNotMapped) {
  forge::BundleSpec s = smallSpec();
  s.prior = forge::Prior::None;
  s.extraRootKeys = R"("P_rgb": "rgb.f16")";
  const le::Manifest m = make(s);
  // The named member is absent: the general refusal names it.
  EXPECT_EQ(errorOf([&] { le::ensureIdentityMembers(m); }), neither("rgb.f16"));
  // Present but under a name Identity does not map.
  le::test::writeFile(dir() + "/rgb.f16", "x");
  EXPECT_EQ(errorOf([&] { le::ensureIdentityMembers(m); }),
            std::string("this bundle's manifest names its raw warp prior 'rgb.f16' (P_rgb) but le::Identity maps the "
                        "welded name P.f16 and would find nothing ") +
                kDash +
                " it maps NOTHING silently and Identity::P(si) is then an offset from a null pointer. REFUSING "
                "rather than rendering off a prior nothing will read.");
}

TEST_F(IdentityTest, PrgbIsFineWhenTheWeldedNameExists) {
  const le::Manifest m = make(smallSpec());
  std::string text = le::test::readFile(dir() + "/manifest.json");
  const std::size_t at = text.find("\"P_rgb\": \"P.f16\"");
  ASSERT_NE(at, std::string::npos) << text;
  text.replace(at, 16, "\"P_rgb\": \"rgb.f16\"");
  le::test::writeFile(dir() + "/manifest.json", text);
  le::test::writeFile(dir() + "/rgb.f16", "x");
  le::ensureIdentityMembers(m);
  le::Identity id(m);
  EXPECT_TRUE(id.hasP());
}

TEST_F(IdentityTest, RefusesMissingMovie) {
  forge::BundleSpec s = smallSpec();
  s.prior = forge::Prior::None;
  s.extraRootKeys = R"("P_hevc": "gone.mov")";
  const le::Manifest m = make(s);
  EXPECT_EQ(errorOf([&] { le::ensureIdentityMembers(m); }),
            "this bundle's manifest names P_hevc 'gone.mov' and the file is not there (" + dir() + "/gone.mov) " +
                kDash + " the renderer has no warp prior. REFUSING to create a session.");
  // An empty P_hevc names nothing.
  s.extraRootKeys = R"("P_hevc": "")";
  const le::Manifest m2 = make(s);
  EXPECT_EQ(errorOf([&] { le::ensureIdentityMembers(m2); }), neither("P.f16"));
}

TEST_F(IdentityTest, EnsureNeedsTheManifestText) {
  const le::Manifest m = make(smallSpec());
  std::remove((dir() + "/manifest.json").c_str());
  EXPECT_EQ(errorOf([&] { le::ensureIdentityMembers(m); }), "cannot open " + dir() + "/manifest.json");
}

// ------------------------------------------------------- le::simd::f16ToF32

TEST(HalfToFloat, EveryHalfValue) {
  std::vector<std::uint16_t> h(65536);
  for (std::size_t i = 0; i < h.size(); ++i) h[i] = std::uint16_t(i);
  std::vector<float> f(h.size(), -7.f);
  le::simd::f16ToF32(h.data(), f.data(), h.size());
  for (std::size_t i = 0; i < h.size(); ++i) {
    const int sign = (i >> 15) ? -1 : 1;
    const int e = int(i >> 10) & 31, man = int(i) & 1023;
    if (e == 31) {
      if (man) {
        EXPECT_TRUE(std::isnan(f[i])) << i;
      } else {
        EXPECT_EQ(f[i], sign * INFINITY) << i;
      }
      continue;
    }
    const double ref = e == 0 ? std::ldexp(man, -24) : std::ldexp(1024 + man, e - 25);
    EXPECT_EQ(f[i], float(sign * ref)) << i;
    if (f[i] == 0.f) {
      EXPECT_EQ(std::signbit(f[i]), sign < 0) << i;
    }
  }
  // n = 0 writes nothing.
  float sentinel = 5.f;
  le::simd::f16ToF32(h.data() + 1, &sentinel, 0);
  EXPECT_EQ(sentinel, 5.f);
}
