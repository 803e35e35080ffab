#include <gtest/gtest.h>

#include <algorithm>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>
#include <thread>

#include "capi/le_ctx.h"
#include "compose/le_pool.h"
#include "forge/forge.h"
#include "le/le.h"
#include "support/tmpdir.h"

namespace fs = std::filesystem;
using le::test::TmpDir;

namespace {

std::string forgeBundle(const TmpDir& t, const le::forge::BundleSpec& spec = {}) {
  std::string dir = t.str("bundle");
  le::forge::writeBundle(dir, spec);
  return dir;
}

void resize(const std::string& path, uintmax_t bytes) { fs::resize_file(path, bytes); }

// Mappings of files below `dir` that this process still holds.
int mappingsUnder(const std::string& dir) {
  std::ifstream maps("/proc/self/maps");
  std::string line;
  int n = 0;
  while (std::getline(maps, line))
    if (line.find(dir) != std::string::npos) ++n;
  return n;
}

// `text` with the value of the first "key" replaced.
std::string withKey(std::string text, const std::string& key, const std::string& value) {
  const size_t at = text.find("\"" + key + "\"");
  EXPECT_NE(at, std::string::npos) << key;
  if (at == std::string::npos) return text;
  const size_t colon = text.find(':', at);
  const size_t end = text.find_first_of(",}", colon);
  return text.replace(colon + 1, end - colon - 1, " " + value);
}

}  // namespace

TEST(LeCreate, ReportsTheBundleFiguresAndTheThreadChoice) {
  TmpDir t;
  le::forge::BundleSpec spec;
  spec.nt = 5;
  spec.W = 40;
  spec.H = 30;
  spec.crop = 16;
  spec.frames = 7;
  std::string dir = forgeBundle(t, spec);

  le_ctx* ctx = le_create(dir.c_str(), "b1", 0, nullptr);
  ASSERT_NE(ctx, nullptr) << le_last_error();
  EXPECT_STREQ(le_last_error(), "");
  EXPECT_EQ(le_nt(ctx), 5);
  EXPECT_EQ(le_width(ctx), 40);
  EXPECT_EQ(le_height(ctx), 30);
  EXPECT_EQ(le_crop(ctx), 16);
  EXPECT_EQ(le_drive_frames(ctx), 7);
  EXPECT_EQ(ctx->threads, le::pool::threads());
  EXPECT_FALSE(ctx->threadsGiven);
  EXPECT_EQ(ctx->ep, "");
  EXPECT_EQ(ctx->modelKey, "b1");
  EXPECT_EQ(ctx->frameRGB.size(), size_t(40 * 30 * 3));
  EXPECT_EQ(ctx->paste->mask().size(), size_t(16 * 16));
  EXPECT_EQ(ctx->lastCrop, nullptr);
  le_destroy(ctx);

  ctx = le_create(dir.c_str(), "b4", 3, "");
  ASSERT_NE(ctx, nullptr) << le_last_error();
  EXPECT_EQ(ctx->threads, 3);
  EXPECT_TRUE(ctx->threadsGiven);
  EXPECT_EQ(ctx->ep, "");
  le_destroy(ctx);
  le_destroy(nullptr);
}

TEST(LeCreate, NullArgumentsAndGettersOnNull) {
  EXPECT_EQ(le_create(nullptr, "b1", 0, nullptr), nullptr);
  EXPECT_STREQ(le_last_error(), "le_create: NULL bundle_dir/model_key");
  EXPECT_EQ(le_create("/nonexistent", nullptr, 0, nullptr), nullptr);
  EXPECT_STREQ(le_last_error(), "le_create: NULL bundle_dir/model_key");
  // Getters never touch the error text.
  EXPECT_EQ(le_nt(nullptr), 0);
  EXPECT_EQ(le_width(nullptr), 0);
  EXPECT_EQ(le_height(nullptr), 0);
  EXPECT_EQ(le_crop(nullptr), 0);
  EXPECT_EQ(le_drive_frames(nullptr), 0);
  EXPECT_EQ(le_host_kp_rows(), 21);
  EXPECT_STREQ(le_last_error(), "le_create: NULL bundle_dir/model_key");
  EXPECT_EQ(le_prior_row_bytes(nullptr), 0u);
  EXPECT_STREQ(le_prior_backend(nullptr), "");
  le_destroy(nullptr);
  le_prior_close(nullptr);
  EXPECT_STREQ(le_last_error(), "le_create: NULL bundle_dir/model_key");
}

TEST(LeVersion, SpellsTheHeaderMacrosAndLeavesTheErrorText) {
  ASSERT_EQ(le_create(nullptr, nullptr, 0, nullptr), nullptr);
  const char* v = le_version();
  ASSERT_NE(v, nullptr);
  EXPECT_EQ(le_version(), v);  // static storage, not a per-call buffer
  EXPECT_STREQ(le_last_error(), "le_create: NULL bundle_dir/model_key");

  const struct {
    const char* part;
    int header;
  } parts[] = {{"major", LE_VERSION_MAJOR}, {"minor", LE_VERSION_MINOR}, {"patch", LE_VERSION_PATCH}};
  const std::string text = v;
  ASSERT_EQ(std::count(text.begin(), text.end(), '.'), 2) << text;
  std::istringstream in(text);
  for (const auto& p : parts) {
    std::string piece;
    std::getline(in, piece, '.');
    EXPECT_EQ(piece, std::to_string(p.header)) << text << ", " << p.part;
  }
}

TEST(LeCreate, ErrorTextIsPerThreadAndClearedBySuccess) {
  TmpDir t;
  std::string dir = forgeBundle(t);
  ASSERT_EQ(le_create(nullptr, nullptr, 0, nullptr), nullptr);
  std::string other = "unset";
  std::thread([&] { other = le_last_error(); }).join();
  EXPECT_EQ(other, "");
  std::thread([&] {
    EXPECT_EQ(le_create((dir + "/missing").c_str(), "b1", 0, nullptr), nullptr);
    other = le_last_error();
  }).join();
  EXPECT_EQ(other.rfind("le_create: cannot open ", 0), 0u) << other;
  EXPECT_STREQ(le_last_error(), "le_create: NULL bundle_dir/model_key");

  le_ctx* ctx = le_create(dir.c_str(), "b1", 1, nullptr);
  ASSERT_NE(ctx, nullptr);
  EXPECT_STREQ(le_last_error(), "");
  le_destroy(ctx);
}

TEST(LeCreate, MaskMustCoverTheCrop) {
  TmpDir t;
  le::forge::BundleSpec spec;
  spec.crop = 16;
  std::string dir = forgeBundle(t, spec);
  const std::string mask = dir + "/mask_512.u8";

  // Trailing bytes are ignored; the first crop*crop are the mask.
  {
    std::ofstream f(mask, std::ios::binary | std::ios::app);
    f << "trailing bytes";
  }
  le_ctx* ctx = le_create(dir.c_str(), "b1", 1, nullptr);
  ASSERT_NE(ctx, nullptr) << le_last_error();
  EXPECT_EQ(ctx->paste->mask(), le::forge::featheredDisc(16));
  le_destroy(ctx);

  resize(mask, 16 * 16 - 1);
  EXPECT_EQ(le_create(dir.c_str(), "b1", 1, nullptr), nullptr);
  EXPECT_STREQ(le_last_error(), "le_create: mask read failed");
  // A failed create keeps none of the identity's mappings.
  EXPECT_EQ(mappingsUnder(dir), 0);

  fs::remove(mask);
  EXPECT_EQ(le_create(dir.c_str(), "b1", 1, nullptr), nullptr);
  EXPECT_STREQ(le_last_error(), "le_create: mask read failed");

  // The descriptive name serves as well.
  std::vector<uint8_t> disc = le::forge::featheredDisc(16);
  std::ofstream(dir + "/paste_mask.u8", std::ios::binary)
      .write(reinterpret_cast<const char*>(disc.data()), std::streamsize(disc.size()));
  ctx = le_create(dir.c_str(), "b1", 1, nullptr);
  ASSERT_NE(ctx, nullptr) << le_last_error();
  le_destroy(ctx);
}

TEST(LeCreate, FailuresCarryTheEntryPointPrefix) {
  TmpDir t;
  le::forge::BundleSpec spec;
  spec.extraRootKeys = "\"unused\": 0";
  std::string dir = forgeBundle(t, spec);
  std::string text = le::forge::manifestText(spec);

  // A zero frame count is refused as bad dims.
  std::ofstream(dir + "/manifest.json", std::ios::trunc) << withKey(text, "NT", "0");
  EXPECT_EQ(le_create(dir.c_str(), "b1", 0, nullptr), nullptr);
  EXPECT_STREQ(le_last_error(), "le_create: manifest: bad dims");

  // A truncated pooled-feature table fails in the identity, and nothing stays mapped.
  std::ofstream(dir + "/manifest.json", std::ios::trunc) << text;
  resize(dir + "/pooled64.f16", 4 * 131072 - 1);
  EXPECT_EQ(le_create(dir.c_str(), "b1", 0, nullptr), nullptr);
  EXPECT_EQ(std::string(le_last_error()), "le_create: size mismatch " + dir + "/pooled64.f16");
  EXPECT_EQ(mappingsUnder(dir), 0);
}

// Numbers that would size memory are checked against what the members hold
// before anything is sized from them (under AddressSanitizer an attempted
// allocation of that size aborts the process, so this is also the check that
// none is attempted).
TEST(LeCreate, AbsurdManifestNumbersAreRefusedBeforeAllocating) {
  TmpDir t;
  const le::forge::BundleSpec spec;  // 64x48, crop 32, driver as JPEG frames
  const std::string dir = forgeBundle(t, spec);
  const std::string text = le::forge::manifestText(spec);
  const std::string first = dir + "/target_frames/frame_000000.jpg";
  const struct {
    const char* key;
    const char* value;
    std::string error;
  } rows[] = {
      {"W", "1000000000", "le_driver: " + first + " is 64x48, the manifest says 1000000000x48 \xE2\x80\x94 refusing"},
      {"H", "2147483647", "le_driver: " + first + " is 64x48, the manifest says 64x2147483647 \xE2\x80\x94 refusing"},
      {"ksize", "100001", "paste: ksize 100001 is beyond a crop of 32 (at most 63 taps)"},
      {"ksize", "65", "paste: ksize 65 is beyond a crop of 32 (at most 63 taps)"},
      {"crop", "1000000000", "size mismatch " + dir + "/P.f16"},
      {"frames", "1000000000", "size mismatch " + dir + "/drive/xs.f32"},
  };
  for (const auto& r : rows) {
    std::ofstream(dir + "/manifest.json", std::ios::trunc) << withKey(text, r.key, r.value);
    EXPECT_EQ(le_create(dir.c_str(), "b1", 1, nullptr), nullptr) << r.key;
    EXPECT_EQ(std::string(le_last_error()), "le_create: " + r.error) << r.key << " = " << r.value;
  }
  // The largest kernel the crop allows is still a working context.
  std::ofstream(dir + "/manifest.json", std::ios::trunc) << withKey(text, "ksize", "63");
  le_ctx* ctx = le_create(dir.c_str(), "b1", 1, nullptr);
  EXPECT_NE(ctx, nullptr) << le_last_error();
  le_destroy(ctx);
}

// Names a manifest or a host gives are followed only inside the bundle: each
// row names a real file of a sibling bundle, which would be read without the check.
TEST(LeCreate, MemberNamesThatLeaveTheBundleAreRefused) {
  TmpDir t;
  le::forge::BundleSpec spec;
  const std::string dir = forgeBundle(t, spec);
  le::forge::writeBundle(t.str("other"), spec);
  const std::string text = le::forge::manifestText(spec);
  const struct {
    std::string key, unsafe;
  } rows[] = {{"target_frames", "../other/target_frames"}, {"P_rgb", "../other/P.f16"}};
  for (const auto& r : rows) {
    std::ofstream(dir + "/manifest.json", std::ios::trunc) << withKey(text, r.key, "\"" + r.unsafe + "\"");
    EXPECT_EQ(le_create(dir.c_str(), "b1", 1, nullptr), nullptr) << r.unsafe;
    EXPECT_EQ(std::string(le_last_error()), "le_create: " + dir + ": refusing unsafe member name '" + r.unsafe + "'");
  }
  char path[4096];
  EXPECT_EQ(le_bundle_resolve_member(dir.c_str(), "../other/M.f32", path, sizeof path), -1);
  EXPECT_STREQ(path, "");
  EXPECT_EQ(le_bundle_resolve_member(dir.c_str(), "/etc/passwd", path, sizeof path), -1);
  EXPECT_EQ(le_bundle_resolve_member(dir.c_str(), "M.f32", path, sizeof path), 1);
}

TEST(LeCreate, OpensAContainerByItsStem) {
  TmpDir t;
  std::string dir = forgeBundle(t);
  le::forge::packDir(dir, t.str("id.imx"));
  fs::remove_all(dir);

  le_ctx* ctx = le_create(t.str("id").c_str(), "b1", 0, nullptr);
  ASSERT_NE(ctx, nullptr) << le_last_error();
  EXPECT_EQ(ctx->manifest.dir, t.str("id.lebundle"));
  EXPECT_EQ(le_nt(ctx), 4);
  le_destroy(ctx);
  EXPECT_TRUE(fs::exists(t.str("id.lebundle.imx_unwrapped")));
}
