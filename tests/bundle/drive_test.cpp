// loadDrive.

#include "bundle/le_bundle.h"
#include "forge/forge.h"
#include "support/errors.h"
#include "support/files.h"
#include "support/tmpdir.h"

using le::test::errorOf;
using le::test::TmpDir;
namespace forge = le::forge;

namespace {

forge::BundleSpec spec(int frames = 5, bool descriptive = false) {
  forge::BundleSpec s;
  s.nt = 4;
  s.W = 40;
  s.H = 30;
  s.crop = 16;
  s.frames = frames;
  s.descriptiveNames = descriptive;
  return s;
}

class DriveTest : public ::testing::Test {
 protected:
  TmpDir tmp;
  std::string dir() const { return tmp.str(); }
  le::Manifest make(const forge::BundleSpec& s) {
    forge::writeBundle(dir(), s);
    return le::loadManifest(dir());
  }
};

}  // namespace

TEST_F(DriveTest, LoadsTheThreeTables) {
  const le::Manifest m = make(spec());
  const le::Drive d = le::loadDrive(m);
  EXPECT_EQ(d.frames, 5);
  ASSERT_EQ(d.xs.size(), 5u * 63);
  ASSERT_EQ(d.xd.size(), 5u * 63);
  ASSERT_EQ(d.si.size(), 5u);
  EXPECT_EQ(d.xs, le::test::readArray<float>(dir() + "/drive/xs.f32"));
  EXPECT_EQ(d.xd, le::test::readArray<float>(dir() + "/drive/xd.f32"));
  EXPECT_EQ(d.si, le::test::readArray<std::int32_t>(dir() + "/drive/si.i32"));
  for (const std::int32_t s : d.si) {
    EXPECT_GE(s, 0);
    EXPECT_LT(s, m.nt);
  }
}

TEST_F(DriveTest, DescriptiveNamesLoadTheSameTables) {
  TmpDir other;
  forge::writeBundle(other.str(), spec(5, false));
  const le::Drive plain = le::loadDrive(le::loadManifest(other.str()));

  const le::Manifest m = make(spec(5, true));
  ASSERT_FALSE(le::test::exists(dir() + "/drive/xs.f32"));
  ASSERT_TRUE(le::test::exists(dir() + "/idle_loop/source_keypoints.f32"));
  const le::Drive d = le::loadDrive(m);
  EXPECT_EQ(d.xs, plain.xs);
  EXPECT_EQ(d.xd, plain.xd);
  EXPECT_EQ(d.si, plain.si);
  EXPECT_EQ(d.frames, plain.frames);
}

TEST_F(DriveTest, SourceIndexOutOfRange) {
  le::Manifest m = make(spec(3));
  const std::string si = dir() + "/drive/si.i32";
  le::test::writeArray<std::int32_t>(si, {0, 2, m.nt});  // nt itself is out of range
  EXPECT_EQ(errorOf([&] { le::loadDrive(m); }), "drive: si out of range");
  le::test::writeArray<std::int32_t>(si, {0, -1, 1});
  EXPECT_EQ(errorOf([&] { le::loadDrive(m); }), "drive: si out of range");
  le::test::writeArray<std::int32_t>(si, {0, m.nt - 1, 1});
  EXPECT_EQ(le::loadDrive(m).si, (std::vector<std::int32_t>{0, m.nt - 1, 1}));
  // The range is the manifest's nt, not the file's content.
  m.nt = 2;
  EXPECT_EQ(errorOf([&] { le::loadDrive(m); }), "drive: si out of range");
}

TEST_F(DriveTest, SizeMismatches) {
  const le::Manifest m = make(spec(3));
  const std::string xs = dir() + "/drive/xs.f32", xd = dir() + "/drive/xd.f32", si = dir() + "/drive/si.i32";
  const std::string xsBytes = le::test::readFile(xs);
  ASSERT_EQ(xsBytes.size(), 3u * 63 * 4);
  le::test::writeFile(xs, xsBytes + std::string(4, '\0'));
  EXPECT_EQ(errorOf([&] { le::loadDrive(m); }), "size mismatch " + xs);
  le::test::writeFile(xs, xsBytes.substr(4));
  EXPECT_EQ(errorOf([&] { le::loadDrive(m); }), "size mismatch " + xs);
  le::test::writeFile(xs, xsBytes);

  const std::string xdBytes = le::test::readFile(xd);
  le::test::writeFile(xd, xdBytes + "x");
  EXPECT_EQ(errorOf([&] { le::loadDrive(m); }), "size mismatch " + xd);
  le::test::writeFile(xd, xdBytes);

  le::test::writeArray<std::int32_t>(si, {0, 1, 2, 3});
  EXPECT_EQ(errorOf([&] { le::loadDrive(m); }), "size mismatch " + si);
  le::test::writeArray<std::int32_t>(si, {0, 1});
  EXPECT_EQ(errorOf([&] { le::loadDrive(m); }), "size mismatch " + si);
  std::remove(si.c_str());
  EXPECT_EQ(errorOf([&] { le::loadDrive(m); }), "cannot open " + si);
}

TEST_F(DriveTest, ZeroFramesNeedsEmptyFiles) {
  le::Manifest m = make(spec(3));
  m.frames = 0;
  EXPECT_EQ(errorOf([&] { le::loadDrive(m); }), "size mismatch " + dir() + "/drive/xs.f32");
  for (const char* n : {"/drive/xs.f32", "/drive/xd.f32", "/drive/si.i32"}) le::test::writeFile(dir() + n, "");
  const le::Drive d = le::loadDrive(m);
  EXPECT_EQ(d.frames, 0);
  EXPECT_TRUE(d.xs.empty());
  EXPECT_TRUE(d.si.empty());
  std::remove((dir() + "/drive/xd.f32").c_str());
  EXPECT_EQ(errorOf([&] { le::loadDrive(m); }), "cannot open " + dir() + "/drive/xd.f32");
}

TEST_F(DriveTest, NegativeFrameCountIsRefused) {
  le::Manifest m = make(spec(3));
  m.frames = -1;
  EXPECT_FALSE(errorOf([&] { le::loadDrive(m); }).empty());
}
