// Bundle location and the IMX container.
#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <atomic>
#include <set>
#include <thread>

#include "bundle/le_imx.h"
#include "forge/forge.h"
#include "support/env.h"
#include "support/errors.h"
#include "support/files.h"
#include "support/tmpdir.h"

using le::test::ScopedEnv;
using le::test::errorOf;
using le::test::exists;
using le::test::readFile;
using le::test::TmpDir;
using le::test::writeFile;
namespace forge = le::forge;
namespace imx = le::imx;

namespace {

// Every path under root (relative, '/'-joined), not descending into skip.
void walk(const std::string& root, const std::string& rel, const std::string& skip, std::set<std::string>& out) {
  DIR* d = ::opendir((root + (rel.empty() ? "" : "/" + rel)).c_str());
  if (!d) return;
  while (const dirent* e = ::readdir(d)) {
    const std::string n = e->d_name;
    if (n == "." || n == "..") continue;
    const std::string r = rel.empty() ? n : rel + "/" + n;
    out.insert(r);
    if (r == skip) continue;
    struct stat st{};
    if (::lstat((root + "/" + r).c_str(), &st) == 0 && S_ISDIR(st.st_mode)) walk(root, r, skip, out);
  }
  ::closedir(d);
}

std::set<std::string> tree(const std::string& root, const std::string& skip = "") {
  std::set<std::string> out;
  walk(root, "", skip, out);
  return out;
}

std::string signatureOf(const std::string& container) {
  struct stat st{};
  EXPECT_EQ(::lstat(container.c_str(), &st), 0);
  const long long ns = (long long)st.st_mtim.tv_sec * 1000000000LL + st.st_mtim.tv_nsec;
  return "imx-unwrapped.v2 " + imx::baseName(container) + " " + std::to_string((long long)st.st_size) + " " +
         std::to_string(ns) + " " + std::to_string((unsigned long long)st.st_ino);
}

// Moves the container's modification time forward without changing its bytes.
void touchForward(const std::string& p, int seconds = 100) {
  struct stat st{};
  ASSERT_EQ(::stat(p.c_str(), &st), 0);
  timespec ts[2] = {st.st_atim, st.st_mtim};
  ts[1].tv_sec += seconds;
  ASSERT_EQ(::utimensat(AT_FDCWD, p.c_str(), ts, 0), 0);
}

// Container options, spelled out (designated initialisers warn on the skipped fields).
forge::ImxOptions version(std::uint16_t v) {
  forge::ImxOptions o;
  o.version = v;
  return o;
}
forge::ImxOptions badMagic() {
  forge::ImxOptions o;
  o.badMagic = true;
  return o;
}
forge::ImxOptions cut(std::uint64_t bytes, std::optional<std::uint16_t> count = std::nullopt) {
  forge::ImxOptions o;
  o.truncateTo = bytes;
  o.count = count;
  return o;
}
forge::ImxOptions declared(std::uint16_t count) {
  forge::ImxOptions o;
  o.count = count;
  return o;
}

std::vector<forge::ImxEntry> members() {
  return {
      {"manifest.json", "{\"format\": \"le-bundle-v0\"}", {}, {}},
      {"a.bin", "alpha", {}, {}},
      {"sub/dir/x.f16", std::string("\x01\x00\x02\x00", 4), {}, {}},
      {"empty.bin", "", {}, {}},
  };
}

std::string unwrapLine(const std::string& container, const std::string& target) {
  return "[le] unwrapped " + container + " -> " + target + "\n";
}

class ImxTest : public ::testing::Test {
 protected:
  TmpDir tmp;
  ScopedEnv noRoot{"LE_IMX_UNWRAP_ROOT", std::nullopt};
  std::string box() {
    imx::mkdirs(tmp / "box");
    return tmp / "box";
  }
  std::string container(const std::vector<forge::ImxEntry>& e, const forge::ImxOptions& o = {},
                        const std::string& name = "c.imx") {
    const std::string p = box() + "/" + name;
    forge::writeImx(p, e, o);
    return p;
  }
  // Unwraps and returns the target, capturing stderr into err.
  std::string unwrap(const std::string& c, std::string& err) {
    ::testing::internal::CaptureStderr();
    std::string t;
    try {
      t = le::unwrapOnce(c);
    } catch (...) {
      err = ::testing::internal::GetCapturedStderr();
      throw;
    }
    err = ::testing::internal::GetCapturedStderr();
    return t;
  }
};

}  // namespace

// ------------------------------------------------------------ path routines

TEST(ImxPaths, Routines) {
  EXPECT_EQ(imx::rstripSlash("a//"), "a");
  EXPECT_EQ(imx::rstripSlash("/"), "/");
  EXPECT_EQ(imx::rstripSlash("///"), "/");
  EXPECT_EQ(imx::rstripSlash(""), "");
  EXPECT_EQ(imx::rstripSlash("a/b"), "a/b");
  EXPECT_EQ(imx::baseName("a/b/c.imx"), "c.imx");
  EXPECT_EQ(imx::baseName("a/b/"), "b");
  EXPECT_EQ(imx::baseName("c"), "c");
  EXPECT_EQ(imx::dirName("c"), ".");
  EXPECT_EQ(imx::dirName("/c"), "/");
  EXPECT_EQ(imx::dirName("a/b/c/"), "a/b");
  EXPECT_EQ(imx::dirName("/a/b"), "/a");
}

TEST(ImxPaths, DerivedNames) {
  ScopedEnv noRoot("LE_IMX_UNWRAP_ROOT", std::nullopt);
  auto u = imx::unwrapPaths("/d/foo.imx");
  EXPECT_EQ(u.base, "foo.lebundle");
  EXPECT_EQ(u.root, "/d");
  EXPECT_EQ(u.target, "/d/foo.lebundle");
  EXPECT_EQ(u.marker, "/d/foo.lebundle.imx_unwrapped");
  EXPECT_EQ(imx::unwrapPaths("/d/foo").target, "/d/foo.lebundle");
  EXPECT_EQ(imx::unwrapPaths("/d/foo.lebundle.imx").target, "/d/foo.lebundle");
  EXPECT_EQ(imx::unwrapPaths("/d/foo.bin").target, "/d/foo.bin.lebundle");
  EXPECT_EQ(imx::unwrapPaths("foo.imx").target, "./foo.lebundle");
  EXPECT_EQ(imx::unwrapPaths("/foo.imx").target, "/foo.lebundle");
  EXPECT_EQ(imx::unwrapPaths("/d/foo.imx/").target, "/d/foo.lebundle");
  {
    ScopedEnv r("LE_IMX_UNWRAP_ROOT", "/cache//");
    EXPECT_EQ(imx::unwrapPaths("/d/foo.imx").target, "/cache/foo.lebundle");
    EXPECT_EQ(imx::unwrapPaths("/d/foo.imx").marker, "/cache/foo.lebundle.imx_unwrapped");
  }
  {
    ScopedEnv r("LE_IMX_UNWRAP_ROOT", "");
    EXPECT_EQ(imx::unwrapPaths("/d/foo.imx").target, "/d/foo.lebundle");
  }
}

TEST(ImxPaths, MkdirsAndRmTree) {
  TmpDir tmp;
  EXPECT_TRUE(imx::mkdirs(tmp / "a/b/c"));
  EXPECT_TRUE(imx::mkdirs(tmp / "a/b/c/"));
  EXPECT_TRUE(le::test::isDir(tmp / "a/b/c"));
  writeFile(tmp / "a/file", "x");
  EXPECT_FALSE(imx::mkdirs(tmp / "a/file"));
  EXPECT_FALSE(imx::mkdirs(tmp / "a/file/sub"));
  // rmTree never follows links.
  writeFile(tmp / "outside/keep.txt", "keep");
  ASSERT_EQ(::symlink((tmp / "outside").c_str(), (tmp / "a/b/link").c_str()), 0);
  imx::rmTree(tmp / "a");
  EXPECT_FALSE(exists(tmp / "a"));
  EXPECT_EQ(readFile(tmp / "outside/keep.txt"), "keep");
  imx::rmTree(tmp / "does/not/exist");  // ignored
}

// ------------------------------------------------------------- isImxV2File

TEST_F(ImxTest, IsImxV2File) {
  const std::string c = container(members());
  EXPECT_TRUE(le::isImxV2File(c));
  EXPECT_FALSE(le::isImxV2File(box()));
  EXPECT_FALSE(le::isImxV2File(box() + "/none.imx"));
  EXPECT_FALSE(le::isImxV2File(container(members(), version(1), "v1.imx")));
  EXPECT_FALSE(le::isImxV2File(container(members(), badMagic(), "bad.imx")));
  EXPECT_FALSE(le::isImxV2File(container(members(), cut(7), "short.imx")));
  // The count is not looked at.
  EXPECT_TRUE(le::isImxV2File(container({}, cut(8, 9), "hdr.imx")));
  ASSERT_EQ(::symlink(c.c_str(), (box() + "/link.imx").c_str()), 0);
  EXPECT_TRUE(le::isImxV2File(box() + "/link.imx"));
  EXPECT_FALSE(le::isImxV2File(""));
}

// ------------------------------------------------------------ unpacking

TEST_F(ImxTest, UnpacksMembersAndWritesMarker) {
  const std::string c = container(members());
  std::string err;
  const std::string t = unwrap(c, err);
  EXPECT_EQ(t, box() + "/c.lebundle");
  EXPECT_EQ(err, unwrapLine(c, t));
  EXPECT_EQ(readFile(t + "/manifest.json"), "{\"format\": \"le-bundle-v0\"}");
  EXPECT_EQ(readFile(t + "/a.bin"), "alpha");
  EXPECT_EQ(readFile(t + "/sub/dir/x.f16"), std::string("\x01\x00\x02\x00", 4));
  EXPECT_EQ(readFile(t + "/empty.bin"), "");
  EXPECT_EQ(readFile(t + ".imx_unwrapped"), signatureOf(c));  // exact, no trailing newline
  EXPECT_EQ(tree(t), (std::set<std::string>{"manifest.json", "a.bin", "sub", "sub/dir", "sub/dir/x.f16", "empty.bin"}));
  EXPECT_EQ(tree(box(), "c.lebundle"), (std::set<std::string>{"c.imx", "c.lebundle", "c.lebundle.imx_unwrapped"}));
}

TEST_F(ImxTest, ForgePackDirRoundTrip) {
  writeFile(tmp / "src/manifest.json", "{}");
  writeFile(tmp / "src/idle_loop/source_index.i32", std::string(12, '\x01'));
  writeFile(tmp / "src/big.bin", std::string((9u << 20) + 3, 'z'));  // more than one copy buffer
  forge::packDir(tmp / "src", box() + "/p.imx");
  std::string err;
  const std::string t = unwrap(box() + "/p.imx", err);
  EXPECT_EQ(tree(t), tree(tmp / "src"));
  EXPECT_EQ(readFile(t + "/big.bin"), readFile(tmp / "src/big.bin"));
  EXPECT_EQ(readFile(t + "/idle_loop/source_index.i32"), std::string(12, '\x01'));
}

TEST_F(ImxTest, SecondCallReusesUntouchedContainer) {
  const std::string c = container(members());
  std::string err;
  const std::string t = unwrap(c, err);
  ASSERT_EQ(std::remove((t + "/a.bin").c_str()), 0);
  EXPECT_EQ(unwrap(c, err), t);
  EXPECT_EQ(err, "");                 // prints nothing
  EXPECT_FALSE(exists(t + "/a.bin"));  // and unpacks nothing
  // Blanks around the marker's text are trimmed.
  writeFile(t + ".imx_unwrapped", " \t" + signatureOf(c) + "\r\n\n");
  EXPECT_EQ(unwrap(c, err), t);
  EXPECT_EQ(err, "");
  EXPECT_FALSE(exists(t + "/a.bin"));
}

TEST_F(ImxTest, TouchedContainerUnpacksAgain) {
  const std::string c = container(members());
  std::string err;
  const std::string t = unwrap(c, err);
  ASSERT_EQ(std::remove((t + "/a.bin").c_str()), 0);
  writeFile(t + "/stale.bin", "left over");
  touchForward(c);
  EXPECT_EQ(unwrap(c, err), t);
  EXPECT_EQ(err, unwrapLine(c, t));
  EXPECT_EQ(readFile(t + "/a.bin"), "alpha");
  EXPECT_FALSE(exists(t + "/stale.bin"));  // the target is cleared first
  EXPECT_EQ(readFile(t + ".imx_unwrapped"), signatureOf(c));
}

TEST_F(ImxTest, ChangedMarkerOrMissingTargetUnpacksAgain) {
  const std::string c = container(members());
  std::string err;
  const std::string t = unwrap(c, err);
  writeFile(t + ".imx_unwrapped", signatureOf(c) + "0");
  unwrap(c, err);
  EXPECT_EQ(err, unwrapLine(c, t));
  std::remove((t + ".imx_unwrapped").c_str());
  unwrap(c, err);
  EXPECT_EQ(err, unwrapLine(c, t));
  imx::rmTree(t);  // marker left, directory gone
  unwrap(c, err);
  EXPECT_EQ(err, unwrapLine(c, t));
  EXPECT_EQ(readFile(t + "/a.bin"), "alpha");
}

TEST_F(ImxTest, ReplacedContainerWithSameTimeUnpacksAgain) {
  // Same name, new inode (and size): the marker no longer matches.
  const std::string c = container(members());
  std::string err;
  const std::string t = unwrap(c, err);
  auto e = members();
  e[1].data = "beta!!";
  forge::writeImx(c + ".new", e);
  ASSERT_EQ(std::rename((c + ".new").c_str(), c.c_str()), 0);
  unwrap(c, err);
  EXPECT_EQ(err, unwrapLine(c, t));
  EXPECT_EQ(readFile(t + "/a.bin"), "beta!!");
}

TEST_F(ImxTest, UnwrapRootFromEnvironment) {
  ScopedEnv root("LE_IMX_UNWRAP_ROOT", tmp / "cache/deeper/");
  const std::string c = container(members());
  std::string err;
  const std::string t = unwrap(c, err);
  EXPECT_EQ(t, tmp / "cache/deeper/c.lebundle");
  EXPECT_EQ(readFile(t + "/a.bin"), "alpha");
  EXPECT_TRUE(exists(tmp / "cache/deeper/c.lebundle.imx_unwrapped"));
  EXPECT_EQ(tree(box()), (std::set<std::string>{"c.imx"}));  // nothing beside the container
}

TEST_F(ImxTest, SyntheticManifestIsSkipped) {
  auto e = members();
  e[0].data = "{\"format\": \"le-bundle-v0\", \"_imx_synthetic_manifest\": true}";
  std::string err;
  const std::string t = unwrap(container(e), err);
  EXPECT_FALSE(exists(t + "/manifest.json"));
  EXPECT_TRUE(exists(t + "/a.bin"));
}

TEST_F(ImxTest, SyntheticTagOnlyCountsForSmallWholeManifests) {
  // Over 4 MiB: unpacked like any other member.
  auto e = members();
  e[0].data = "{\"_imx_synthetic_manifest\": 1}" + std::string((4u << 20) - 29, ' ');
  ASSERT_EQ(e[0].data.size(), (4u << 20) + 1);
  std::string err;
  std::string t = unwrap(container(e), err);
  EXPECT_EQ(le::test::fileSize(t + "/manifest.json"), (4u << 20) + 1);
  // Exactly 4 MiB still counts.
  e[0].data.pop_back();
  t = unwrap(container(e, {}, "d.imx"), err);
  EXPECT_FALSE(exists(t + "/manifest.json"));
  // A tag under another name is a member.
  e = members();
  e[1].data = "_imx_synthetic_manifest";
  t = unwrap(container(e, {}, "f.imx"), err);
  EXPECT_EQ(readFile(t + "/a.bin"), "_imx_synthetic_manifest");
  // A tagged manifest whose payload cannot be read whole is unpacked (and fails as truncated).
  e = members();
  e[0].data = "{\"_imx_synthetic_manifest\": 1}";
  e[0].size = e[0].data.size() + 1000;
  const std::string g = container(e, {}, "g.imx");
  EXPECT_EQ(errorOf([&] { unwrap(g, err); }), g + ": truncated payload for member manifest.json");
}

TEST_F(ImxTest, PayloadsAnywhereInTheFile) {
  // Two members sharing one payload, and one payload placed before another's.
  forge::ImxOptions o;
  std::vector<forge::ImxEntry> e = {{"one", "0123456789", {}, {}}, {"two", "", {}, {}}};
  const std::string c = container(e);
  const std::string bytes = readFile(c);
  const std::size_t at = bytes.find("0123456789");
  ASSERT_NE(at, std::string::npos);
  e[1].offset = at + 2;
  e[1].size = 5;
  const std::string c2 = container(e, o, "shared.imx");
  std::string err;
  const std::string t = unwrap(c2, err);
  EXPECT_EQ(readFile(t + "/one"), "0123456789");
  EXPECT_EQ(readFile(t + "/two"), readFile(c2).substr(e[1].offset.value(), 5));
}

// ------------------------------------------------------------ hostile containers

namespace {

struct Hostile {
  std::vector<forge::ImxEntry> entries;
  forge::ImxOptions opt;
  std::string message;  // after container + ": " (or whole when it starts with '!')
};

}  // namespace

class ImxHostileTest : public ImxTest {
 protected:
  // Unwraps a container that must fail; checks the message, that no marker exists and
  // that nothing was created or removed outside the target directory.
  void expectRefused(const std::string& name, const std::vector<forge::ImxEntry>& e, const forge::ImxOptions& o,
                     const std::string& tail) {
    SCOPED_TRACE(name);
    const std::string c = box() + "/" + name;
    forge::writeImx(c, e, o);
    writeFile(tmp / "outside/keep.txt", "keep");
    const auto target = imx::unwrapPaths(c).target;
    const std::string targetRel = "box/" + imx::baseName(target);
    std::set<std::string> before = tree(tmp.str(), targetRel);
    before.insert(targetRel);  // the target itself may appear
    std::string err;
    EXPECT_EQ(errorOf([&] { unwrap(c, err); }), c + ": " + tail);
    EXPECT_EQ(err, "");
    EXPECT_FALSE(exists(imx::unwrapPaths(c).marker));
    std::set<std::string> after = tree(tmp.str(), targetRel);
    after.insert(targetRel);
    EXPECT_EQ(after, before);
    EXPECT_EQ(readFile(tmp / "outside/keep.txt"), "keep");
    // No .part file survives a failure of ours.
    for (const auto& p : tree(target)) EXPECT_EQ(p.find(".part"), std::string::npos) << p;
  }
};

TEST_F(ImxHostileTest, UnsafeNamesAreRefused) {
  const std::string abs = tmp / "outside/abs_evil";
  const std::vector<std::string> names = {
      "..", "../evil", "../../outside/evil", "a/../../evil", "a..b", "sub/..", "/etc/le_evil",
      abs,  "\\evil", "\\..\\evil", std::string("a\0b", 3), std::string("\0", 1), "",
  };
  int k = 0;
  for (const std::string& n : names) {
    std::string shown;  // a zero byte is shown as \0, the name otherwise verbatim
    for (const char ch : n) shown += ch == '\0' ? std::string("\\0") : std::string(1, ch);
    expectRefused("u" + std::to_string(k++) + ".imx", {{n, "EVIL", {}, {}}}, {},
                  "refusing unsafe member name '" + shown + "'");
  }
  EXPECT_FALSE(exists(abs));
  EXPECT_FALSE(exists("/etc/le_evil"));
  EXPECT_FALSE(exists(tmp / "box/evil"));
  EXPECT_FALSE(exists(tmp / "evil"));
}

TEST_F(ImxHostileTest, UnsafeNameAfterGoodMembersLeavesNoMarker) {
  auto e = members();
  e.push_back({"../late_evil", "EVIL", {}, {}});
  expectRefused("late.imx", e, {}, "refusing unsafe member name '../late_evil'");
  EXPECT_FALSE(exists(tmp / "box/late_evil"));
}

TEST_F(ImxHostileTest, HarmlessOddNamesStayInside) {
  // "." components and empty components between slashes stay inside the target.
  std::vector<forge::ImxEntry> e = {{"./dot.bin", "d", {}, {}}, {"sub//x.bin", "x", {}, {}},
                                    {"sub/./y.bin", "y", {}, {}}, {"a\\b", "bs", {}, {}}};
  std::string err;
  const std::string t = unwrap(container(e), err);
  EXPECT_EQ(readFile(t + "/dot.bin"), "d");
  EXPECT_EQ(readFile(t + "/sub/x.bin"), "x");
  EXPECT_EQ(readFile(t + "/sub/y.bin"), "y");
  EXPECT_EQ(readFile(t + "/a\\b"), "bs");
  EXPECT_EQ(tree(box(), "c.lebundle"), (std::set<std::string>{"c.imx", "c.lebundle", "c.lebundle.imx_unwrapped"}));
}

TEST_F(ImxHostileTest, BadHeaders) {
  expectRefused("v1.imx", members(), version(1), "unsupported IMX container version 1");
  expectRefused("v3.imx", members(), version(3), "unsupported IMX container version 3");
  expectRefused("v0.imx", members(), version(0), "unsupported IMX container version 0");
  expectRefused("magic.imx", members(), badMagic(), "not an IMX\\0 container");
  expectRefused("short.imx", members(), cut(7), "not an IMX\\0 container");
  expectRefused("empty.imx", members(), cut(0), "not an IMX\\0 container");
}

TEST_F(ImxHostileTest, TruncatedTableOfContents) {
  const std::vector<forge::ImxEntry> one = {{"abc", "xyz", {}, {}}};
  const std::uint64_t toc1 = 8 + 2 + 3 + 16;
  expectRefused("t0.imx", one, cut(9), "truncated TOC at member 0");
  expectRefused("t1.imx", one, cut(8 + 2 + 1), "truncated member name at 0");
  expectRefused("t2.imx", one, cut(8 + 2 + 3 + 10), "truncated TOC offsets at member abc");
  expectRefused("t3.imx", one, cut(toc1, 2), "truncated TOC at member 1");
  // A count that runs the table far past the end of the file.
  expectRefused("t4.imx", one, cut(toc1, 65535), "truncated TOC at member 1");
  expectRefused("t5.imx", {}, declared(3), "truncated TOC at member 0");
}

TEST_F(ImxHostileTest, TruncatedAndHugePayloads) {
  expectRefused("p0.imx", {{"abc", "xyz", {}, 103}}, {}, "truncated payload for member abc");
  expectRefused("p1.imx", {{"abc", "xyz", std::uint64_t(1) << 40, {}}}, {}, "truncated payload for member abc");
  // A declared size far beyond memory neither allocates it nor hangs.
  expectRefused("p2.imx", {{"abc", "xyz", {}, std::uint64_t(1) << 62}}, {}, "truncated payload for member abc");
  expectRefused("p3.imx", {{"abc", "xyz", {}, ~std::uint64_t(0)}}, {}, "truncated payload for member abc");
  // An offset past what the file system can seek to.
  expectRefused("p4.imx", {{"abc", "xyz", std::uint64_t(1) << 63, {}}}, {}, "cannot seek to member abc");
  // Good members before the bad one are written, but no marker.
  auto e = members();
  e.push_back({"last", "xyz", {}, 1000});
  expectRefused("p5.imx", e, {}, "truncated payload for member last");
  EXPECT_EQ(readFile(box() + "/p5.lebundle/a.bin"), "alpha");
  EXPECT_FALSE(exists(box() + "/p5.lebundle/last"));  // members are only placed whole
}

TEST_F(ImxHostileTest, FailureThenGoodContainerUnpacksFromScratch) {
  const std::string c = box() + "/c.imx";
  auto e = members();
  e.push_back({"last", "xyz", {}, 1000});
  forge::writeImx(c, e);
  std::string err;
  EXPECT_FALSE(errorOf([&] { unwrap(c, err); }).empty());
  forge::writeImx(c, members());
  touchForward(c);
  const std::string t = unwrap(c, err);
  EXPECT_EQ(err, unwrapLine(c, t));
  EXPECT_FALSE(exists(t + "/last"));
  EXPECT_EQ(readFile(t + ".imx_unwrapped"), signatureOf(c));
}

TEST_F(ImxHostileTest, FailedRepackRemovesTheOldMarker) {
  const std::string c = container(members());
  std::string err;
  const std::string t = unwrap(c, err);
  ASSERT_TRUE(exists(t + ".imx_unwrapped"));
  auto e = members();
  e.push_back({"../evil", "x", {}, {}});
  forge::writeImx(c, e);
  touchForward(c);
  EXPECT_EQ(errorOf([&] { unwrap(c, err); }), c + ": refusing unsafe member name '../evil'");
  EXPECT_FALSE(exists(t + ".imx_unwrapped"));
  EXPECT_FALSE(exists(box() + "/evil"));
}

TEST_F(ImxHostileTest, MembersThatCannotBePlaced) {
  const std::string t = box() + "/c.lebundle";
  std::string err;
  // A file where a later member needs a directory.
  forge::writeImx(box() + "/c.imx", {{"a", "1", {}, {}}, {"a/b", "2", {}, {}}});
  EXPECT_EQ(errorOf([&] { unwrap(box() + "/c.imx", err); }), "cannot create " + t + "/a");
  // A name ending in '/' names no file.
  forge::writeImx(box() + "/c.imx", {{"x/", "1", {}, {}}});
  touchForward(box() + "/c.imx");
  EXPECT_EQ(errorOf([&] { unwrap(box() + "/c.imx", err); }), "cannot write " + t + "/x/.part");
  // A directory where a later member wants a file.
  forge::writeImx(box() + "/c.imx", {{"d/x", "1", {}, {}}, {"d", "2", {}, {}}});
  touchForward(box() + "/c.imx", 200);
  EXPECT_EQ(errorOf([&] { unwrap(box() + "/c.imx", err); }), "cannot place member " + t + "/d");
  EXPECT_FALSE(exists(t + "/d.part"));
  // "." is harmless: it cannot be placed over the target itself.
  forge::writeImx(box() + "/c.imx", {{".", "1", {}, {}}});
  touchForward(box() + "/c.imx", 300);
  EXPECT_EQ(errorOf([&] { unwrap(box() + "/c.imx", err); }), "cannot place member " + t + "/.");
  EXPECT_FALSE(exists(t + "/..part"));
  EXPECT_FALSE(exists(t + ".imx_unwrapped"));
  EXPECT_EQ(tree(box(), "c.lebundle"), (std::set<std::string>{"c.imx", "c.lebundle"}));
}

TEST_F(ImxHostileTest, MarkerThatCannotBeWritten) {
  const std::string c = container(members());
  const std::string marker = box() + "/c.lebundle.imx_unwrapped";
  imx::mkdirs(marker);  // a directory stands where the marker goes
  std::string err;
  EXPECT_EQ(errorOf([&] { unwrap(c, err); }), "cannot write unwrap marker " + marker);
  EXPECT_EQ(err, "");
}

TEST_F(ImxHostileTest, TargetClearingNeverFollowsLinks) {
  const std::string c = container(members());
  writeFile(tmp / "outside/keep.txt", "keep");
  imx::mkdirs(box() + "/c.lebundle");
  ASSERT_EQ(::symlink((tmp / "outside").c_str(), (box() + "/c.lebundle/link").c_str()), 0);
  std::string err;
  const std::string t = unwrap(c, err);
  EXPECT_FALSE(exists(t + "/link"));
  EXPECT_EQ(readFile(tmp / "outside/keep.txt"), "keep");
  // The target itself a link to a directory elsewhere: the link goes, not what it points to.
  imx::rmTree(t);
  ASSERT_EQ(::symlink((tmp / "outside").c_str(), t.c_str()), 0);
  touchForward(c);
  unwrap(c, err);
  EXPECT_TRUE(le::test::isDir(t));
  EXPECT_EQ(readFile(tmp / "outside/keep.txt"), "keep");
  EXPECT_EQ(tree(tmp / "outside"), (std::set<std::string>{"keep.txt"}));
}

// ------------------------------------------ a container that is its own target

TEST_F(ImxTest, ContainerNamedLebundleIsNeverDeleted) {
  const std::string c = container(members(), {}, "self.lebundle");
  const std::string bytes = readFile(c);
  ASSERT_EQ(imx::unwrapPaths(c).target, c);
  std::string err;
  const std::string e = errorOf([&] { unwrap(c, err); });
  EXPECT_TRUE(le::test::startsWith(e, c + ": container path collides with its unwrap directory " + c)) << e;
  EXPECT_EQ(readFile(c), bytes);
  EXPECT_FALSE(exists(c + ".imx_unwrapped"));
  // Through resolveBundlePath too (found as a container by its own name).
  EXPECT_TRUE(le::test::startsWith(errorOf([&] { le::resolveBundlePath(c); }), c + ": container path collides"));
  EXPECT_EQ(readFile(c), bytes);
  // With the root elsewhere the same container unpacks fine.
  ScopedEnv root("LE_IMX_UNWRAP_ROOT", tmp / "cache");
  const std::string t = unwrap(c, err);
  EXPECT_EQ(t, tmp / "cache/self.lebundle");
  EXPECT_EQ(readFile(t + "/a.bin"), "alpha");
  EXPECT_EQ(readFile(c), bytes);
}

TEST_F(ImxTest, ContainerInsideItsTargetIsNeverDeleted) {
  // Root set so that the target is the folder holding the container.
  ScopedEnv root("LE_IMX_UNWRAP_ROOT", tmp.str());
  imx::mkdirs(tmp / "c.lebundle");
  const std::string c = tmp / "c.lebundle/c.imx";
  forge::writeImx(c, members());
  const std::string bytes = readFile(c);
  ASSERT_EQ(imx::unwrapPaths(c).target, tmp / "c.lebundle");
  std::string err;
  const std::string e = errorOf([&] { unwrap(c, err); });
  EXPECT_NE(e.find("inside its unwrap directory"), std::string::npos) << e;
  EXPECT_EQ(readFile(c), bytes);
}

// --------------------------------------------------------- resolveBundlePath

TEST_F(ImxTest, ResolveBundlePath) {
  EXPECT_EQ(le::resolveBundlePath(""), "");
  // A plain directory is used as is, even with foo.imx beside it.
  imx::mkdirs(box() + "/foo");
  container(members(), {}, "foo.imx");
  EXPECT_EQ(le::resolveBundlePath(box() + "/foo"), box() + "/foo");
  EXPECT_EQ(le::resolveBundlePath(box() + "/foo/"), box() + "/foo/");
  EXPECT_FALSE(exists(box() + "/foo.lebundle"));
  // A path that is nothing is returned unchanged.
  EXPECT_EQ(le::resolveBundlePath(box() + "/nothing"), box() + "/nothing");
}

TEST_F(ImxTest, ResolveStemFindsContainer) {
  const std::string c = container(members(), {}, "bar.imx");
  ::testing::internal::CaptureStderr();
  EXPECT_EQ(le::resolveBundlePath(box() + "/bar"), box() + "/bar.lebundle");
  EXPECT_EQ(::testing::internal::GetCapturedStderr(), unwrapLine(c, box() + "/bar.lebundle"));
  EXPECT_TRUE(exists(box() + "/bar.lebundle.imx_unwrapped"));
  ::testing::internal::CaptureStderr();
  EXPECT_EQ(le::resolveBundlePath(c), box() + "/bar.lebundle");
  EXPECT_EQ(le::resolveBundlePath(box() + "/bar/"), box() + "/bar.lebundle");
  EXPECT_EQ(::testing::internal::GetCapturedStderr(), "");
}

TEST_F(ImxTest, ResolveContainerWithOtherExtension) {
  const std::string c = container(members(), {}, "pack.bin");
  ::testing::internal::CaptureStderr();
  EXPECT_EQ(le::resolveBundlePath(c), box() + "/pack.bin.lebundle");
  ::testing::internal::GetCapturedStderr();
  // A .imx file that is not a v2 container is not unpacked.
  const std::string v1 = container(members(), version(1), "old.imx");
  EXPECT_EQ(le::resolveBundlePath(v1), v1);
}

TEST_F(ImxTest, ResolveTargetDirectoryRechecksItsContainer) {
  // foo.lebundle.imx unwraps to foo.lebundle; handing back foo.lebundle finds it again.
  const std::string c = container(members(), {}, "foo.lebundle.imx");
  std::string err;
  const std::string t = unwrap(c, err);
  ASSERT_EQ(t, box() + "/foo.lebundle");
  ::testing::internal::CaptureStderr();
  EXPECT_EQ(le::resolveBundlePath(t), t);
  EXPECT_EQ(::testing::internal::GetCapturedStderr(), "");
  touchForward(c);
  std::remove((t + "/a.bin").c_str());
  ::testing::internal::CaptureStderr();
  EXPECT_EQ(le::resolveBundlePath(t), t);
  EXPECT_EQ(::testing::internal::GetCapturedStderr(), unwrapLine(c, t));
  EXPECT_EQ(readFile(t + "/a.bin"), "alpha");
  // Its container gone, a marked directory is used as it is.
  std::remove(c.c_str());
  EXPECT_EQ(le::resolveBundlePath(t), t);
}

TEST_F(ImxTest, SymlinkedContainerIsDescribedByTheLink) {
  const std::string real = container(members(), {}, "real.data");
  const std::string link = box() + "/l.imx";
  ASSERT_EQ(::symlink(real.c_str(), link.c_str()), 0);
  ::testing::internal::CaptureStderr();
  const std::string t = le::resolveBundlePath(link);
  ::testing::internal::GetCapturedStderr();
  EXPECT_EQ(t, box() + "/l.lebundle");
  EXPECT_EQ(readFile(t + ".imx_unwrapped"), signatureOf(link));
  EXPECT_NE(signatureOf(link), signatureOf(real));
  EXPECT_EQ(readFile(t + "/a.bin"), "alpha");
}

TEST_F(ImxTest, MissingContainer) {
  EXPECT_EQ(errorOf([&] { le::unwrapOnce(box() + "/gone.imx"); }), "cannot stat container " + box() + "/gone.imx");
  EXPECT_FALSE(exists(box() + "/gone.lebundle"));
}

TEST_F(ImxTest, UnwritableTarget) {
  if (::geteuid() == 0) GTEST_SKIP() << "root writes anywhere";
  ScopedEnv root("LE_IMX_UNWRAP_ROOT", tmp / "ro/sub");
  imx::mkdirs(tmp / "ro");
  ::chmod((tmp / "ro").c_str(), 0555);
  const std::string c = container(members());
  EXPECT_EQ(errorOf([&] { le::unwrapOnce(c); }), "cannot create unwrap dir " + (tmp / "ro/sub/c.lebundle"));
  ::chmod((tmp / "ro").c_str(), 0755);
}

// ----------------------------------------------------------------- threads

TEST_F(ImxTest, ConcurrentCallsUnpackOnce) {
  auto e = members();
  e.push_back({"big.bin", std::string((20u << 20) + 7, 'q'), {}, {}});  // several copy-buffer chunks
  const std::string c = container(e);
  std::string results[2], errors[2];
  std::atomic<int> ready{0};
  ::testing::internal::CaptureStderr();
  {
    auto run = [&](int k) {
      ready.fetch_add(1);
      while (ready.load() < 2) {
      }
      try {
        results[k] = le::unwrapOnce(c);
      } catch (const std::exception& e) {
        errors[k] = e.what();
      }
    };
    std::thread a(run, 0), b(run, 1);
    a.join();
    b.join();
  }
  const std::string err = ::testing::internal::GetCapturedStderr();
  EXPECT_EQ(errors[0], "");
  EXPECT_EQ(errors[1], "");
  EXPECT_EQ(results[0], box() + "/c.lebundle");
  EXPECT_EQ(results[1], results[0]);
  EXPECT_EQ(err, unwrapLine(c, results[0]));  // exactly one unpacking
  EXPECT_EQ(le::test::fileSize(results[0] + "/big.bin"), (20u << 20) + 7);
  EXPECT_EQ(readFile(results[0] + ".imx_unwrapped"), signatureOf(c));
}
