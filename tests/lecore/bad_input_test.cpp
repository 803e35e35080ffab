// Wrong input to every lecore command, as a new user gives it: missing paths,
// a file where a directory belongs and the reverse, empty and foreign files,
// unreadable files, a read-only mount. Each run must end with a non-zero exit
// and exactly one line of lecore's own on stderr, "lecore: ..." naming what is
// wrong (the library's "[le..." diagnostics aside), and must write nothing:
// the inputs, the working directory, HOME and TMPDIR are compared entry by
// entry before and after. Paths with blanks and non-ASCII letters must work.
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <filesystem>
#include <map>
#include <set>
#include <sstream>
#include <string>
#include <vector>

#include "cli.h"
#include "forge/forge.h"
#include "forge/forge_fca.h"
#include "forge/forge_motion.h"
#include "support/files.h"
#include "support/tmpdir.h"

namespace fs = std::filesystem;
using namespace le::test;

namespace {

// Every entry under root with its kind, size and modification time. Directory
// times are left out: a transient file that is gone again is no trace.
std::map<std::string, std::string> snapshot(const fs::path& root) {
  std::map<std::string, std::string> m;
  for (auto it = fs::recursive_directory_iterator(root); it != fs::recursive_directory_iterator(); ++it) {
    struct stat st{};
    if (::lstat(it->path().c_str(), &st) != 0) continue;
    std::string what = S_ISDIR(st.st_mode) ? "dir" : S_ISREG(st.st_mode) ? "file" : "other";
    if (!S_ISDIR(st.st_mode))
      what += " " + std::to_string(st.st_size) + " " + std::to_string(st.st_mtim.tv_sec) + "." +
              std::to_string(st.st_mtim.tv_nsec);
    m[fs::relative(it->path(), root).string()] = what;
  }
  return m;
}

// How a command is run: as it is, without root's licence to ignore file
// permissions, or with the inputs on a read-only mount.
enum class Way { Plain, Perm, ReadOnly };

// The scratch tree: w/in holds the inputs, w/run the working directory, HOME
// and TMPDIR of each run; everything under w is watched. Captures go beside w.
struct Scratch {
  TmpDir t;
  fs::path w = t.path() / "w";
  Scratch() {
    for (const char* d : {"in", "run/cwd", "run/home", "run/tmp"}) fs::create_directories(w / d);
  }
  std::string in(const std::string& x) const { return (w / "in" / x).string(); }

  // The wrapper a way needs, "" when none; a way this machine cannot give is
  // reported through ok = false.
  std::string wrapper(Way way, bool& ok) const {
    ok = true;
    if (way == Way::Perm) {
      if (::geteuid() != 0) return "";  // permissions bite already
      const std::string drop = "setpriv --bounding-set=-dac_override,-dac_read_search";
      ok = std::system((drop + " sh -c '! cat " + quote(in("locked.wav")) + "' >/dev/null 2>&1").c_str()) == 0;
      return drop;
    }
    if (way == Way::ReadOnly) {
      // A private mount namespace: the read-only view is the command's alone.
      const std::string ro = "unshare -m sh -c 'mount --bind \"$0\" \"$0\" && mount -o remount,bind,ro \"$0\" && "
                             "exec \"$@\"' " + quote(in(""));
      ok = std::system((ro + " sh -c '! touch \"$0\"/probe' " + quote(in("")) + " >/dev/null 2>&1").c_str()) == 0;
      return ro;
    }
    return "";
  }

  struct Outcome {
    int code = -1;
    std::string err;
    std::vector<std::string> own, changed;
  };

  // Runs lecore with args; `mayChange` lists the paths under w a run may touch.
  Outcome run(const std::vector<std::string>& args, const std::string& wrap = "",
              const std::vector<std::string>& mayChange = {}, const std::string& env = "") const {
    const auto before = snapshot(w);
    const std::string run = (w / "run").string(), out = t.str("stdout"), err = t.str("stderr");
    std::string cmd = "cd " + quote(run + "/cwd") + " && exec env -u XDG_CACHE_HOME -u XDG_CONFIG_HOME -u XDG_DATA_HOME HOME=" +
                      quote(run + "/home") + " TMPDIR=" + quote(run + "/tmp") + " " + env +
                      " timeout -s KILL 120 " + wrap + " " + quote(lecorePath());
    for (const std::string& a : args) cmd += " " + quote(a);
    cmd += " </dev/null >" + quote(out) + " 2>" + quote(err);
    const int st = std::system(cmd.c_str());
    Outcome r;
    r.code = WIFEXITED(st) ? WEXITSTATUS(st) : -1;
    r.err = readFile(err);
    std::istringstream lines(r.err);
    for (std::string line; std::getline(lines, line);)
      if (!line.empty() && line.rfind("[le", 0) != 0) r.own.push_back(line);
    const auto after = snapshot(w);
    auto allowed = [&](const std::string& p) {
      for (const std::string& m : mayChange)
        if (p == m || p.rfind(m + "/", 0) == 0) return true;
      return false;
    };
    std::set<std::string> paths;
    for (const auto* side : {&before, &after})
      for (const auto& entry : *side) paths.insert(entry.first);
    for (const std::string& p : paths) {
      const auto b = before.find(p), a = after.find(p);
      if ((b == before.end() || a == after.end() || b->second != a->second) && !allowed(p)) r.changed.push_back(p);
    }
    return r;
  }
};

// The inputs: a good identity, engine and speech, and the bad things beside them.
void forgeInputs(const Scratch& s) {
  le::forge::BundleSpec spec;
  spec.nt = 6;
  spec.directorKeys = {"b1"};
  const std::string b = s.in("b"), eng = s.in("eng");
  le::forge::writeBundle(b, spec);
  le::forge::writeDirector(b + "/model_render.onnx", spec);
  le::forge::MotionDirOptions m;
  m.nt = spec.nt;
  le::forge::writeMotionDir(eng, m);
  fs::copy_file(le::forge::writeFcaModels(eng).model, b + "/fca_stream.onnx");
  writeWav(s.in("ok.wav"), speech16k(3200), 16000, 1);
  const fs::path src = fs::path(__FILE__).parent_path().parent_path().parent_path();
  const std::string png = readFile(src / "third_party" / "demo" / "astronaut.png");
  const std::string manifest = readFile(b + "/manifest.json");

  auto copyOf = [&](const std::string& from, const std::string& to) {
    fs::copy(from, s.in(to), fs::copy_options::recursive);
    return s.in(to);
  };
  fs::create_directories(s.in("empty"));
  writeFile(s.in("empty.wav"), "");
  writeFile(s.in("png.wav"), png);
  writeFile(s.in("png.imx"), png);
  writeFile(s.in("empty.imx"), "");
  writeFile(s.in("locked.wav"), readFile(s.in("ok.wav")));
  writeFile(copyOf(b, "blank") + "/manifest.json", "");
  writeFile(copyOf(b, "cut") + "/manifest.json", manifest.substr(0, manifest.size() / 2));
  fs::remove(copyOf(b, "mandir") + "/manifest.json");
  fs::create_directories(s.in("mandir/manifest.json"));
  copyOf(b, "nodirector");
  for (const char* d : {"model_b1.onnx", "model_render.onnx"}) fs::remove(s.in("nodirector/") + d);
  copyOf(b, "locked");
  le::forge::packDir(b, s.in("b.imx"));
  const std::string imx = readFile(s.in("b.imx"));
  writeFile(s.in("cut.imx"), imx.substr(0, imx.size() / 2));
  writeFile(copyOf(eng, "cutmeta") + "/meta.json", readFile(eng + "/meta.json").substr(0, 20));
  fs::remove(copyOf(eng, "metadir") + "/meta.json");
  fs::create_directories(s.in("metadir/meta.json"));
  copyOf(eng, "lockedmeta");
  writeFile(copyOf(eng, "cutx") + "/fca_extractor.onnx", "");
  fs::create_directories(s.in("lockeddir"));
  // Root reads these all the same; Way::Perm takes that licence away.
  ::chmod(s.in("locked.wav").c_str(), 0);
  ::chmod(s.in("locked/manifest.json").c_str(), 0);
  ::chmod(s.in("lockedmeta/meta.json").c_str(), 0);
  ::chmod(s.in("lockeddir").c_str(), 0555);
}

// cmd's command line with the given bundle, engine and audio. "clip" is speak --clip.
std::vector<std::string> commandLine(const std::string& cmd, const std::string& bundle, const std::string& engine,
                                     const std::string& audio) {
  if (cmd == "info") return {"info", bundle, "--engine", engine};
  if (cmd == "render") return {"render", bundle, "--rows", "2", "--frames", "frames", "--mp4", "movie.mp4"};
  if (cmd == "speak")
    return {"speak", bundle, "--engine", engine, "--audio", audio, "--out", "movie.mp4", "--sheet", "sheet.png"};
  if (cmd == "clip") return {"speak", bundle, "--engine", engine, "--audio", audio, "--out", "movie.mp4", "--clip"};
  if (cmd == "live") return {"live", bundle, "--engine", engine, "--audio", audio};
  return {"serve", bundle, "--engine", engine, "--port", "0"};
}

struct Case {
  std::vector<std::string> args;
  std::string names;  // what the line must mention
  Way way = Way::Plain;
  int code = 1;
  std::vector<std::string> mayChange = {};
};

std::vector<Case> cases(const Scratch& s) {
  const std::string b = s.in("b"), eng = s.in("eng"), wav = s.in("ok.wav");
  struct Bad {
    std::string path, names, cmds;
    Way way = Way::Plain;
    std::vector<std::string> mayChange = {};
  };
  // Every command meets the commonest mistakes; the rarer ones are spread
  // over the commands, each still reaching a different way in.
  const std::string all = "info render speak clip live serve";
  const std::vector<Bad> bundles = {
      {s.in("nowhere"), "nowhere", all},
      {s.in("blank"), "manifest", all},                   // an empty manifest
      {s.in("cut.imx"), "cut.imx", all, Way::Plain, {"in/cut.lebundle"}},  // unpacks beside itself, unmarked
      {wav, "ok.wav", "info speak serve"},                // a file
      {s.in("nodirector"), "model_", "render clip live"}, // its directors missing
      {s.in("empty"), "empty", "render live"},            // an empty directory
      {s.in("cut"), "manifest", "info clip"},             // a truncated manifest
      {s.in("mandir"), "mandir/manifest.json", "speak serve"},  // the manifest a directory
      {eng, "eng/manifest.json", "render live"},          // an engine, not a bundle
      {s.in("empty.imx"), "empty.imx", "info clip"},
      {s.in("png.imx"), "png.imx", "speak serve"},        // a picture named as a container
      {s.in("locked"), "manifest.json", all, Way::Perm},  // unreadable
      {s.in("b.imx"), "b.lebundle", all, Way::ReadOnly},  // a container that cannot unpack
  };
  const std::vector<Bad> engines = {
      {s.in("nowhere"), "nowhere", "info speak clip live serve"},
      {wav, "ok.wav", "speak serve"},
      {s.in("empty"), "empty", "clip live"},  // (info says "none" and succeeds)
      {b, b, "speak serve"},                  // a bundle, not an engine
      {s.in("cutmeta"), "meta.json", "info speak live serve"},
      {s.in("metadir"), "meta.json", "info live"},
      {s.in("lockedmeta"), "meta.json", "info speak live serve", Way::Perm},
      {s.in("cutx"), "fca_extractor.onnx", "clip"},
  };
  const std::vector<Bad> audio = {
      {s.in("nowhere.wav"), "nowhere.wav", "speak clip live"},
      {s.in("empty"), "empty", "live"},  // a directory
      {s.in("empty.wav"), "empty.wav", "speak clip"},
      {s.in("png.wav"), "png.wav", "speak clip live"},
      {s.in("locked.wav"), "locked.wav", "speak clip live", Way::Perm},
  };
  std::vector<Case> v;
  auto has = [](const std::string& cmds, const std::string& c) { return (" " + cmds + " ").find(" " + c + " ") != std::string::npos; };
  for (const std::string c : {"info", "render", "speak", "clip", "live", "serve"}) {
    for (const Bad& x : bundles)
      if (has(x.cmds, c)) v.push_back({commandLine(c, x.path, eng, wav), x.names, x.way, 1, x.mayChange});
    for (const Bad& x : engines)
      if (has(x.cmds, c)) v.push_back({commandLine(c, b, x.path, wav), x.names, x.way});
    for (const Bad& x : audio)
      if (has(x.cmds, c)) v.push_back({commandLine(c, b, eng, x.path), x.names, x.way});
  }
  const std::vector<std::string> speak = {"speak", b, "--engine", eng, "--audio", wav};
  auto plus = [](std::vector<std::string> a, const std::vector<std::string>& more) {
    a.insert(a.end(), more.begin(), more.end());
    return a;
  };
  const std::vector<Case> outputs = {
      {plus(speak, {"--out", s.in("empty")}), s.in("empty")},  // a directory
      {plus(speak, {"--out", wav + "/movie.mp4"}), "ok.wav"},
      {plus(speak, {"--out", "movie.mp4", "--sheet", s.in("empty")}), s.in("empty")},
      {plus(speak, {"--out", s.in("lockeddir/movie.mp4")}), "lockeddir", Way::Perm},
      {plus(speak, {"--out", s.in("movie.mp4")}), "movie.mp4", Way::ReadOnly},
      {{"render", b, "--frames", wav, "--mp4", ""}, "ok.wav"},
      {{"render", b, "--frames", "", "--mp4", s.in("empty")}, s.in("empty")},
      {{"render", b, "--frames", "", "--mp4", wav + "/movie.mp4"}, "ok.wav"},
      {{"render", b, "--frames", s.in("frames"), "--mp4", ""}, "frames", Way::ReadOnly},
  };
  v.insert(v.end(), outputs.begin(), outputs.end());
  const std::vector<Case> usage = {
      {{}, "no command", Way::Plain, 2},
      {{"paint", b}, "paint", Way::Plain, 2},
      {{"speak", b, "--audio", wav, "--out", "movie.mp4"}, "--engine", Way::Plain, 2},
      {{"serve", b, "--engine", eng, "--port", "70000"}, "--port", Way::Plain, 2},
      {{"serve", b, "--engine", eng, "--host", "nohost"}, "--host", Way::Plain, 2},
      {{"render", b, "--rows", "x"}, "--rows", Way::Plain, 2},
      {{"info", b, "--audio", wav}, "--audio", Way::Plain, 2},
  };
  v.insert(v.end(), usage.begin(), usage.end());
  return v;
}

std::string shown(const std::vector<std::string>& args) {
  std::string s = "lecore";
  for (const std::string& a : args) s += " " + a;
  return s;
}

void check(const Scratch& s, const std::vector<Case>& table) {
  for (const Case& k : table) {
    bool ok = true;
    const std::string wrap = s.wrapper(k.way, ok);
    ASSERT_TRUE(ok);
    const Scratch::Outcome r = s.run(k.args, wrap, k.mayChange);
    SCOPED_TRACE(shown(k.args) + (k.way == Way::Perm ? " (permissions)" : k.way == Way::ReadOnly ? " (read-only)" : ""));
    EXPECT_EQ(r.code, k.code) << r.err;
    EXPECT_EQ(r.own.size(), 1u) << r.err;
    if (r.own.size() != 1) continue;
    EXPECT_EQ(r.own[0].rfind("lecore: ", 0), 0u) << r.own[0];
    EXPECT_NE(r.own[0].find(k.names), std::string::npos) << r.own[0];
    EXPECT_TRUE(r.changed.empty()) << "written: " << r.changed.front();
  }
}

TEST(LecoreBadInput, EachMistakeIsOneLineNamingItAndWritesNothing) {
  Scratch s;
  forgeInputs(s);
  std::vector<Case> table;
  for (const Case& k : cases(s))
    if (k.way == Way::Plain) table.push_back(k);
  check(s, table);
}

// As above, where root must give up its licence or the inputs must sit on a
// read-only mount: skipped where this machine allows neither.
TEST(LecoreBadInput, UnreadableFilesAndReadOnlyMountsToo) {
  Scratch s;
  forgeInputs(s);
  bool perm = true, ro = true;
  s.wrapper(Way::Perm, perm);
  s.wrapper(Way::ReadOnly, ro);
  if (!perm && !ro)
    GTEST_SKIP() << "as root without setpriv (to drop CAP_DAC_OVERRIDE) and without unshare + mount (a "
                    "read-only bind mount), neither unreadable files nor a read-only file system can be made here";
  std::vector<Case> table;
  for (const Case& k : cases(s))
    if ((k.way == Way::Perm && perm) || (k.way == Way::ReadOnly && ro)) table.push_back(k);
  check(s, table);

  // What can work on a read-only mount does: a bundle directory, and a
  // container unpacked into a writable place named by LE_IMX_UNWRAP_ROOT.
  if (ro) {
    const std::string wrap = s.wrapper(Way::ReadOnly, ro);
    const fs::path unwrap = s.w / "run" / "unwrap";
    fs::create_directories(unwrap);
    for (const std::string& bundle : {s.in("b"), s.in("b.imx")}) {
      const auto r = s.run({"render", bundle, "--rows", "1", "--frames", "", "--mp4", "movie.mp4"}, wrap,
                           {"run/cwd/movie.mp4", "run/unwrap/b.lebundle", "run/unwrap/b.lebundle.imx_unwrapped"},
                           "LE_IMX_UNWRAP_ROOT=" + quote(unwrap.string()));
      EXPECT_EQ(r.code, 0) << bundle << "\n" << r.err;
      EXPECT_TRUE(r.changed.empty()) << bundle << " wrote " << r.changed.front();
      EXPECT_TRUE(fs::exists(s.w / "run" / "cwd" / "movie.mp4")) << bundle;
    }
    EXPECT_TRUE(fs::exists(unwrap / "b.lebundle.imx_unwrapped"));
  }
  if (!ro) GTEST_SKIP() << "no read-only bind mount here (unshare -m, mount): the read-only cases were not run";
  if (!perm) GTEST_SKIP() << "no setpriv to drop CAP_DAC_OVERRIDE as root: the permission cases were not run";
}

// A forged identity in directories named with blanks and non-ASCII letters,
// as a directory and as a container, renders and speaks; all that is written
// is the named outputs and the container's unpacked directory beside it.
TEST(LecoreBadInput, PathsWithBlanksAndNonAsciiLettersWork) {
  Scratch s;
  le::forge::BundleSpec spec;
  spec.nt = 6;
  spec.directorKeys = {"b1"};
  const std::string dir = s.in("dür Ördner ☃");
  const std::string bundle = dir + "/bündle x", engine = dir + "/éngine x", wav = dir + "/spräch x.wav";
  le::forge::writeBundle(bundle, spec);
  le::forge::MotionDirOptions m;
  m.nt = spec.nt;
  le::forge::writeMotionDir(engine, m);
  writeWav(wav, speech16k(3200), 16000, 1);
  le::forge::packDir(bundle, dir + "/päck x.imx");
  const std::string rel = "in/dür Ördner ☃/", out = "run/cwd/öut x/";

  const auto render = s.run({"render", bundle, "--rows", "2", "--frames", "öut x/främes", "--mp4", "öut x/mövie x.mp4"}, "",
                            {"run/cwd/öut x"});
  EXPECT_EQ(render.code, 0) << render.err;
  EXPECT_TRUE(render.changed.empty()) << "wrote " << render.changed.front();
  EXPECT_TRUE(fs::exists(s.w / out / "främes" / "frame_000001.png"));
  const auto speak = s.run({"speak", dir + "/päck x", "--engine", engine, "--audio", wav, "--out", "öut x/spöken.mp4"}, "",
                           {out + "spöken.mp4", rel + "päck x.lebundle", rel + "päck x.lebundle.imx_unwrapped"});
  EXPECT_EQ(speak.code, 0) << speak.err;
  EXPECT_TRUE(speak.changed.empty()) << "wrote " << speak.changed.front();
  EXPECT_GT(fs::file_size(s.w / out / "spöken.mp4"), 0u);
  EXPECT_TRUE(fs::exists(s.w / rel / "päck x.lebundle" / "manifest.json"));
}

}  // namespace
