// The forge's IMX v2 writer, read back with an independent
// reader: honest containers, packDir round trips, and the hostile options.
#include <set>

#include "forge/forge.h"
#include "forge_test_util.h"
#include "support/files.h"
#include "support/tmpdir.h"

using namespace forge_test;
using le::test::readFile;
using le::test::TmpDir;
using le::forge::ImxEntry;
using le::forge::ImxOptions;

namespace {

std::vector<ImxEntry> sampleEntries() {
  std::vector<ImxEntry> e;
  e.push_back({"manifest.json", "{\"format\": \"le-bundle-v0\"}", std::nullopt, std::nullopt});
  e.push_back({"drive/si.i32", std::string("\x01\x00\x00\x00\x02\x00\x00\x00", 8), std::nullopt, std::nullopt});
  e.push_back({"empty.bin", "", std::nullopt, std::nullopt});
  std::string big(70000, '\0');
  for (size_t i = 0; i < big.size(); ++i) big[i] = char(i * 31 + 7);
  e.push_back({"sub/dir/x.f16", big, std::nullopt, std::nullopt});
  return e;
}

}  // namespace

TEST(ForgeImx, HonestContainerParsesBack) {
  TmpDir d;
  auto entries = sampleEntries();
  le::forge::writeImx(d / "c.imx", entries);
  const std::string b = readFile(d / "c.imx");
  ImxParsed p = parseImx(b);
  ASSERT_TRUE(p.ok) << p.error;
  EXPECT_EQ(p.magic, std::string("IMX\0", 4));
  EXPECT_EQ(p.version, 2);
  EXPECT_EQ(p.count, entries.size());
  ASSERT_EQ(p.toc.size(), entries.size());
  uint64_t expectEnd = p.tocEnd;
  for (size_t i = 0; i < entries.size(); ++i) {
    EXPECT_EQ(p.toc[i].name, entries[i].name);
    EXPECT_EQ(p.toc[i].size, entries[i].data.size());
    ASSERT_LE(p.toc[i].offset + p.toc[i].size, b.size());
    EXPECT_GE(p.toc[i].offset, p.tocEnd);  // payloads after the table
    EXPECT_EQ(b.substr(p.toc[i].offset, p.toc[i].size), entries[i].data) << entries[i].name;
    expectEnd += entries[i].data.size();
  }
  EXPECT_EQ(b.size(), expectEnd);  // nothing but header, table and payloads
}

TEST(ForgeImx, LittleEndianFieldsByteForByte) {
  TmpDir d;
  le::forge::writeImx(d / "one.imx", {{"ab", "XYZ", std::nullopt, std::nullopt}});
  const std::string b = readFile(d / "one.imx");
  const std::string expect = std::string("IMX\0", 4) + std::string("\x02\x00\x01\x00", 4) + std::string("\x02\x00", 2) +
                             "ab" + std::string("\x1c\0\0\0\0\0\0\0", 8) + std::string("\x03\0\0\0\0\0\0\0", 8) + "XYZ";
  EXPECT_EQ(b, expect);
}

TEST(ForgeImx, PackDirRoundTripsNestedNames) {
  TmpDir d;
  le::forge::BundleSpec s;
  s.descriptiveNames = true;
  s.nt = 2, s.frames = 3;
  const std::string dir = d / "bundle";
  le::forge::writeBundle(dir, s);
  fs::create_directories(dir + "/deep/er/still");
  { std::ofstream(dir + "/deep/er/still/x.bin") << "payload"; }
  fs::create_symlink(dir + "/manifest.json", dir + "/link.json");  // not a regular file: skipped
  fs::create_directories(dir + "/emptydir");                       // holds no file: nothing to pack

  le::forge::packDir(dir, d / "bundle.imx");
  const std::string b = readFile(d / "bundle.imx");
  ImxParsed p = parseImx(b);
  ASSERT_TRUE(p.ok) << p.error;
  EXPECT_EQ(p.version, 2);

  auto files = fileSizes(dir);  // follows the symlink, so drop it by name
  files.erase("link.json");
  ASSERT_EQ(p.count, files.size());
  ASSERT_EQ(p.toc.size(), files.size());
  std::set<std::string> names;
  for (auto& e : p.toc) {
    names.insert(e.name);
    EXPECT_EQ(e.name.find('\\'), std::string::npos);
    EXPECT_NE(e.name[0], '/');
    ASSERT_TRUE(files.count(e.name)) << e.name;
    ASSERT_LE(e.offset + e.size, b.size());
    EXPECT_EQ(b.substr(e.offset, e.size), readFile(fs::path(dir) / e.name)) << e.name;
  }
  for (const char* n : {"manifest.json", "idle_loop/source_index.i32", "idle_loop/driven_keypoints.f32",
                        "target_frames/frame_000001.jpg", "deep/er/still/x.bin", "source_frames.f16"})
    EXPECT_TRUE(names.count(n)) << n;
  EXPECT_FALSE(names.count("link.json"));
  EXPECT_EQ(le::forge::packList(dir), std::vector<std::string>(names.begin(), names.end()));
}

TEST(ForgeImx, PackDirDoesNotSwallowItsOwnOutput) {
  TmpDir d;
  fs::create_directories(d / "b");
  { std::ofstream(d / "b/a.txt") << "a"; }
  le::forge::packDir(d / "b", d / "b/self.imx");
  ImxParsed p = parseImx(readFile(d / "b/self.imx"));
  ASSERT_TRUE(p.ok);
  ASSERT_EQ(p.toc.size(), 1u);
  EXPECT_EQ(p.toc[0].name, "a.txt");
}

TEST(ForgeImx, HostileBadMagic) {
  TmpDir d;
  ImxOptions o;
  o.badMagic = true;
  le::forge::writeImx(d / "x.imx", sampleEntries(), o);
  const std::string b = readFile(d / "x.imx");
  ASSERT_GE(b.size(), 8u);
  EXPECT_NE(b.substr(0, 4), std::string("IMX\0", 4));
  ImxParsed p = parseImx(b);  // the rest is still a well-formed v2 layout
  ASSERT_TRUE(p.ok);
  EXPECT_EQ(p.version, 2);
  EXPECT_EQ(p.toc.size(), 4u);
}

TEST(ForgeImx, HostileVersion) {
  TmpDir d;
  ImxOptions o;
  o.version = 1;
  le::forge::writeImx(d / "x.imx", sampleEntries(), o);
  ImxParsed p = parseImx(readFile(d / "x.imx"));
  ASSERT_TRUE(p.ok);
  EXPECT_EQ(p.magic, std::string("IMX\0", 4));
  EXPECT_EQ(p.version, 1);
  o.version = 0x0302;
  le::forge::writeImx(d / "y.imx", sampleEntries(), o);
  const std::string b = readFile(d / "y.imx");
  EXPECT_EQ(uint8_t(b[4]), 0x02);
  EXPECT_EQ(uint8_t(b[5]), 0x03);
}

TEST(ForgeImx, HostileDeclaredCount) {
  TmpDir d;
  auto entries = sampleEntries();
  ImxOptions o;
  o.count = 9;  // more than the table holds: a reader runs into the payloads
  le::forge::writeImx(d / "more.imx", entries, o);
  std::string b = readFile(d / "more.imx");
  ImxParsed p = parseImx(b, int(entries.size()));
  ASSERT_TRUE(p.ok);
  EXPECT_EQ(p.count, 9);
  for (size_t i = 0; i < entries.size(); ++i) EXPECT_EQ(b.substr(p.toc[i].offset, p.toc[i].size), entries[i].data);

  o.count = 1;  // fewer: the table still holds all entries
  le::forge::writeImx(d / "fewer.imx", entries, o);
  b = readFile(d / "fewer.imx");
  p = parseImx(b, int(entries.size()));
  ASSERT_TRUE(p.ok);
  EXPECT_EQ(p.count, 1);
  EXPECT_EQ(p.toc.back().name, "sub/dir/x.f16");

  o.count = 0;
  le::forge::writeImx(d / "zero.imx", entries, o);
  EXPECT_EQ(parseImx(readFile(d / "zero.imx")).count, 0);
}

TEST(ForgeImx, HostileOffsetAndSizeOverrides) {
  TmpDir d;
  auto entries = sampleEntries();
  le::forge::writeImx(d / "honest.imx", entries);
  const std::string honest = readFile(d / "honest.imx");
  entries[0].offset = 3;               // overlaps the header
  entries[1].size = 1ull << 40;        // runs far past the end of the file
  entries[3].offset = 0xFFFFFFFFFFFFFFF0ull;
  le::forge::writeImx(d / "bad.imx", entries);
  const std::string b = readFile(d / "bad.imx");
  ASSERT_EQ(b.size(), honest.size());  // only the table's numbers change
  ImxParsed p = parseImx(b), h = parseImx(honest);
  ASSERT_TRUE(p.ok);
  EXPECT_EQ(p.toc[0].offset, 3u);
  EXPECT_EQ(p.toc[0].size, entries[0].data.size());
  EXPECT_EQ(p.toc[1].offset, h.toc[1].offset);
  EXPECT_EQ(p.toc[1].size, 1ull << 40);
  EXPECT_EQ(p.toc[2].offset, h.toc[2].offset);
  EXPECT_EQ(p.toc[3].offset, 0xFFFFFFFFFFFFFFF0ull);
  EXPECT_EQ(p.toc[3].size, entries[3].data.size());
  // payload bytes stay where an honest container puts them
  EXPECT_EQ(b.substr(p.tocEnd), honest.substr(h.tocEnd));
}

TEST(ForgeImx, HostileTruncation) {
  TmpDir d;
  auto entries = sampleEntries();
  le::forge::writeImx(d / "full.imx", entries);
  const std::string full = readFile(d / "full.imx");
  for (uint64_t cut : {uint64_t(0), uint64_t(5), uint64_t(12), uint64_t(full.size() - 1)}) {
    ImxOptions o;
    o.truncateTo = cut;
    le::forge::writeImx(d / "cut.imx", entries, o);
    const std::string b = readFile(d / "cut.imx");
    EXPECT_EQ(b.size(), cut);
    EXPECT_EQ(b, full.substr(0, cut));
  }
  // The last payload now runs past the end of the file.
  ImxOptions o;
  o.truncateTo = full.size() - 100;
  le::forge::writeImx(d / "cut.imx", entries, o);
  const std::string b = readFile(d / "cut.imx");
  ImxParsed p = parseImx(b);
  ASSERT_TRUE(p.ok);
  EXPECT_GT(p.toc.back().offset + p.toc.back().size, b.size());
  // truncateTo beyond the end changes nothing
  o.truncateTo = full.size() + 10;
  le::forge::writeImx(d / "long.imx", entries, o);
  EXPECT_EQ(readFile(d / "long.imx"), full);
}

TEST(ForgeImx, UnwritableTargetThrows) {
  TmpDir d;
  EXPECT_THROW(le::forge::writeImx(d / "no/such/dir/x.imx", sampleEntries()), std::runtime_error);
  EXPECT_THROW(le::forge::packDir(d / "missing", d / "x.imx"), std::runtime_error);
}
