// The IMX container reader over hostile container bytes: any file either
// unpacks into exactly its members, each holding its payload, inside the
// target directory, or is refused with a std::runtime_error; nothing is ever
// written outside the target.
//
// The container, its target and marker live in one scratch directory per
// process; each execution clears the target and the marker first, so every
// input is unpacked afresh (an unchanged marker would skip the unpacking).
#include <dirent.h>
#include <sanitizer/common_interface_defs.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdint>
#include <cstring>
#include <map>
#include <set>
#include <stdexcept>
#include <string>
#include <string_view>

#include "bundle/le_imx.h"
#include "fuzz_util.h"

namespace {

using le::fuzz::fail;

std::string gDir, gContainer, gTarget, gMarker;
int gStderr = -1, gNull = -1;

struct Toc {
  std::string name;
  uint64_t offset = 0, size = 0;
};

uint64_t le64(const uint8_t* b) {
  uint64_t v = 0;
  for (int i = 7; i >= 0; --i) v = (v << 8) | b[i];
  return v;
}

// A member name as the file system sees it: empty and "." steps dropped.
std::string normal(const std::string& name) {
  std::string out;
  size_t i = 0;
  while (i <= name.size()) {
    size_t j = name.find('/', i);
    if (j == std::string::npos) j = name.size();
    const std::string step = name.substr(i, j - i);
    if (!step.empty() && step != ".") out += (out.empty() ? "" : "/") + step;
    i = j + 1;
  }
  return out;
}

// The table as the format describes it, by normalised name; false when it
// does not read whole.
bool readToc(std::string_view in, std::map<std::string, Toc>& last) {
  if (in.size() < 8) return false;
  const auto* b = reinterpret_cast<const uint8_t*>(in.data());
  const unsigned count = b[6] | (b[7] << 8);
  size_t at = 8;
  for (unsigned i = 0; i < count; ++i) {
    if (in.size() - at < 2) return false;
    const size_t len = b[at] | (b[at + 1] << 8);
    at += 2;
    if (in.size() - at < len + 16) return false;
    Toc t{std::string(in.substr(at, len)), le64(b + at + len), le64(b + at + len + 8)};
    at += len + 16;
    last[normal(t.name)] = t;
  }
  return true;
}

// Every path under dir (relative, '/'-joined) that is a regular file; a link
// or anything else but a directory is a finding.
void walk(const std::string& dir, const std::string& rel, std::set<std::string>& files) {
  DIR* d = ::opendir(dir.c_str());
  if (!d) fail("imx", "cannot list " + dir);
  while (const dirent* e = ::readdir(d)) {
    if (!std::strcmp(e->d_name, ".") || !std::strcmp(e->d_name, "..")) continue;
    const std::string path = dir + "/" + e->d_name, name = rel.empty() ? e->d_name : rel + "/" + e->d_name;
    struct stat st{};
    if (::lstat(path.c_str(), &st) != 0) fail("imx", "cannot stat " + path);
    if (S_ISDIR(st.st_mode)) walk(path, name, files);
    else if (S_ISREG(st.st_mode)) files.insert(name);
    else fail("imx", "unpacking left something that is neither a file nor a directory: " + path);
  }
  ::closedir(d);
}

std::string slurp(const std::string& path) {
  std::string s;
  std::FILE* f = std::fopen(path.c_str(), "rb");
  if (!f) fail("imx", "cannot read back " + path);
  char buf[4096];
  size_t n;
  while ((n = std::fread(buf, 1, sizeof buf, f)) > 0) s.append(buf, n);
  std::fclose(f);
  return s;
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
  gDir = le::fuzz::makeScratch("imx");
  gContainer = gDir + "/c.imx";
  gTarget = gDir + "/c.lebundle";
  gMarker = gTarget + ".imx_unwrapped";
  ::unsetenv("LE_IMX_UNWRAP_ROOT");
  // Each unpacking says so on stderr; that line is muted, a sanitizer's report
  // still goes to the real stderr.
  gStderr = ::dup(2);
  gNull = ::open("/dev/null", O_WRONLY | O_CLOEXEC);
  if (gStderr < 0 || gNull < 0) fail("imx", "cannot set up stderr");
  __sanitizer_set_report_fd(reinterpret_cast<void*>(static_cast<intptr_t>(gStderr)));
  return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  const std::string_view in(reinterpret_cast<const char*>(data), size);
  le::imx::rmTree(gTarget);
  ::unlink(gMarker.c_str());
  le::fuzz::writeWhole(gContainer, in);

  const bool header = size >= 8 && std::memcmp(data, "IMX\0", 4) == 0 && data[4] == 2 && data[5] == 0;
  if (le::isImxV2File(gContainer) != header) fail("imx", "isImxV2File disagrees with the header");

  bool ok = false;
  ::dup2(gNull, 2);
  try {
    if (le::unwrapOnce(gContainer) != gTarget) fail("imx", "unwrapOnce returned another directory");
    ok = true;
  } catch (const std::runtime_error&) {
  }
  ::dup2(gStderr, 2);

  // Whatever happened, the scratch directory holds the container, the target
  // and at most the marker: no member landed beside or above the target.
  std::set<std::string> top;
  walk(gDir, "", top);
  std::set<std::string> inTarget;
  for (const std::string& f : top) {
    if (f == "c.imx" || f == "c.lebundle.imx_unwrapped") continue;
    if (f.rfind("c.lebundle/", 0) != 0) fail("imx", "a file outside the target: " + f);
    inTarget.insert(f.substr(11));
  }
  const bool marked = ::access(gMarker.c_str(), F_OK) == 0;
  if (marked != ok) fail("imx", ok ? "unpacked without a marker" : "refused but left a marker");
  if (!ok) return 0;

  // Unpacked: the files are the table's names (a synthetic manifest may be
  // left out), the last entry of each name holding its payload.
  std::map<std::string, Toc> last;
  if (!readToc(in, last)) fail("imx", "unpacked a container whose table does not read");
  for (const auto& [name, t] : last) {
    if (!inTarget.count(name)) {
      if (name == "manifest.json") continue;
      fail("imx", "member not unpacked: " + name);
    }
    if (name == "manifest.json") continue;  // an earlier entry may have been the one written
    // An empty payload may be declared anywhere, even past the end.
    if (t.size > 0 && (t.offset > size || t.size > size - t.offset))
      fail("imx", "unpacked a payload past the end: " + name);
    if (slurp(gTarget + "/" + name) != (t.size ? in.substr(size_t(t.offset), size_t(t.size)) : std::string_view()))
      fail("imx", "member does not hold its payload: " + name);
  }
  for (const std::string& f : inTarget)
    if (!last.count(f)) fail("imx", "a file the table does not name: " + f);
  return 0;
}
