// Bundle location and the IMX container.
#include "bundle/le_imx.h"

#include "base/le_env.h"
#include "base/le_file.h"

#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <climits>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <stdexcept>
#include <string_view>
#include <vector>

namespace le {
namespace imx {

std::string rstripSlash(const std::string& p) {
  std::size_t n = p.size();
  while (n > 1 && p[n - 1] == '/') --n;
  return p.substr(0, n);
}

std::string baseName(const std::string& p) {
  const std::string s = rstripSlash(p);
  const std::size_t k = s.rfind('/');
  return k == std::string::npos ? s : s.substr(k + 1);
}

std::string dirName(const std::string& p) {
  const std::string s = rstripSlash(p);
  const std::size_t k = s.rfind('/');
  if (k == std::string::npos) return ".";
  if (k == 0) return "/";
  return s.substr(0, k);
}

bool mkdirs(const std::string& p) {
  if (p.empty()) return false;
  struct stat st{};
  if (::stat(p.c_str(), &st) == 0) return S_ISDIR(st.st_mode);
  const std::string s = rstripSlash(p);
  const std::string parent = dirName(s);
  if (parent != s && !mkdirs(parent)) return false;
  if (::mkdir(s.c_str(), 0755) == 0) return true;
  // Someone else (another process) may have created it meanwhile.
  return errno == EEXIST && ::stat(s.c_str(), &st) == 0 && S_ISDIR(st.st_mode);
}

void rmTree(const std::string& p) {
  struct stat st{};
  if (::lstat(p.c_str(), &st) != 0) return;  // nothing there
  if (!S_ISDIR(st.st_mode)) {                 // files and links: unlink, never follow
    ::unlink(p.c_str());
    return;
  }
  if (DIR* d = ::opendir(p.c_str())) {
    std::vector<std::string> names;
    while (const dirent* e = ::readdir(d)) {
      if (std::strcmp(e->d_name, ".") == 0 || std::strcmp(e->d_name, "..") == 0) continue;
      names.emplace_back(e->d_name);
    }
    ::closedir(d);
    for (const std::string& n : names) rmTree(p + "/" + n);
  }
  ::rmdir(p.c_str());
}

UnwrapPaths unwrapPaths(const std::string& container) {
  UnwrapPaths u;
  std::string base = baseName(container);
  auto endsWith = [](const std::string& s, std::string_view suf) {
    return s.size() >= suf.size() && s.compare(s.size() - suf.size(), suf.size(), suf) == 0;
  };
  if (endsWith(base, ".imx")) base.resize(base.size() - 4);
  if (!endsWith(base, ".lebundle")) base += ".lebundle";
  u.base = base;
  const char* root = env::text("LE_IMX_UNWRAP_ROOT");
  u.root = root ? std::string(root) : dirName(container);
  std::string r = u.root;
  while (!r.empty() && r.back() == '/') r.pop_back();  // "/" becomes "", giving "/base"
  u.target = r + "/" + base;
  u.marker = u.target + ".imx_unwrapped";
  return u;
}

std::string markerSignature(const std::string& container) {
  struct stat st{};
  if (::lstat(container.c_str(), &st) != 0)
    throw std::runtime_error("cannot stat container " + container);
  const long long mtimeNs =
      static_cast<long long>(st.st_mtim.tv_sec) * 1000000000LL + static_cast<long long>(st.st_mtim.tv_nsec);
  return std::string(kMarkerSignature) + " " + baseName(container) + " " +
         std::to_string(static_cast<long long>(st.st_size)) + " " + std::to_string(mtimeNs) + " " +
         std::to_string(static_cast<unsigned long long>(st.st_ino));
}

std::mutex& unwrapMutex() {
  static std::mutex m;
  return m;
}

}  // namespace imx

namespace {

using namespace le::imx;

bool endsWith(const std::string& s, std::string_view suf) {
  return s.size() >= suf.size() && s.compare(s.size() - suf.size(), suf.size(), suf) == 0;
}

bool pathExists(const std::string& p) {
  struct stat st{};
  return ::lstat(p.c_str(), &st) == 0;
}

bool isDirectory(const std::string& p) {
  struct stat st{};
  return ::stat(p.c_str(), &st) == 0 && S_ISDIR(st.st_mode);
}


// One read of at most n bytes; 0 means end of file or error.
std::size_t readSome(int fd, void* buf, std::size_t n) {
  for (;;) {
    const ssize_t r = ::read(fd, buf, n);
    if (r < 0 && errno == EINTR) continue;
    return r < 0 ? 0 : static_cast<std::size_t>(r);
  }
}

bool seekTo(int fd, std::uint64_t off) {
  if (off > static_cast<std::uint64_t>(LLONG_MAX)) return false;
  return ::lseek(fd, static_cast<off_t>(off), SEEK_SET) == static_cast<off_t>(off);
}

std::uint16_t le16(const unsigned char* b) { return static_cast<std::uint16_t>(b[0] | (b[1] << 8)); }
std::uint64_t le64(const unsigned char* b) {
  std::uint64_t v = 0;
  for (int i = 7; i >= 0; --i) v = (v << 8) | b[i];
  return v;
}

std::string trimBlanks(const std::string& s) {
  const char* ws = " \t\r\n";
  const std::size_t a = s.find_first_not_of(ws);
  if (a == std::string::npos) return {};
  const std::size_t b = s.find_last_not_of(ws);
  return s.substr(a, b - a + 1);
}

std::string readSmallFile(const std::string& p) {
  std::string out;
  const int fd = ::open(p.c_str(), O_RDONLY | O_CLOEXEC);
  if (fd < 0) return out;
  char buf[4096];
  for (;;) {
    const std::size_t r = readSome(fd, buf, sizeof buf);
    if (r == 0) break;
    out.append(buf, r);
    if (out.size() > (1u << 20)) break;  // a marker is one short line
  }
  ::close(fd);
  return out;
}

struct Fd {
  int fd = -1;
  ~Fd() {
    if (fd >= 0) ::close(fd);
  }
};

bool unsafeName(const std::string& name) {
  return name.empty() || name[0] == '/' || name[0] == '\\' || name.find("..") != std::string::npos ||
         name.find('\0') != std::string::npos;
}

// A zero byte would cut the message short wherever it travels as a C string
// (le_last_error): it is shown as the two characters \0; any other name verbatim.
std::string shownName(const std::string& name) {
  std::string out;
  for (const char c : name) {
    if (c == '\0') out += "\\0";
    else out += c;
  }
  return out;
}

// Step 5 would clear the target recursively. Refuse when that would delete the
// container itself: a container named *.lebundle derives a target equal to its own
// path, and LE_IMX_UNWRAP_ROOT may place the target around the container's folder.
void refuseSelfDestruction(const std::string& container, const std::string& target) {
  struct stat cs{}, ts{};
  if (::lstat(container.c_str(), &cs) != 0 || ::lstat(target.c_str(), &ts) != 0) return;
  if (cs.st_dev == ts.st_dev && cs.st_ino == ts.st_ino)
    throw std::runtime_error(container + ": container path collides with its unwrap directory " + target +
                             " (a container named *.lebundle unwraps onto itself) — refusing to delete the "
                             "container. Rename it to end in .imx, or set LE_IMX_UNWRAP_ROOT to another "
                             "directory.");
  if (!S_ISDIR(ts.st_mode)) return;  // a plain file or a link is unlinked, never followed
  // Is the container somewhere beneath the (real) target directory?
  std::unique_ptr<char, decltype(&std::free)> td(::realpath(target.c_str(), nullptr), &std::free);
  std::unique_ptr<char, decltype(&std::free)> cd(::realpath(dirName(container).c_str(), nullptr), &std::free);
  if (!td || !cd) return;
  const std::string t(td.get()), c(cd.get());
  if (c == t || (c.size() > t.size() && c.compare(0, t.size(), t) == 0 && (t == "/" || c[t.size()] == '/')))
    throw std::runtime_error(container + ": container lies inside its unwrap directory " + target +
                             " — refusing to delete the container. Move it, or set LE_IMX_UNWRAP_ROOT to "
                             "another directory.");
}

void placeMember(int in, const std::string& container, const std::string& name, std::uint64_t offset,
                 std::uint64_t size, const std::string& finalPath, char* buf) {
  if (!seekTo(in, offset)) throw std::runtime_error(container + ": cannot seek to member " + name);
  const std::string part = finalPath + ".part";
  std::FILE* out = std::fopen(part.c_str(), "wb");
  if (!out) throw std::runtime_error("cannot write " + part);
  auto fail = [&](const std::string& msg) {
    std::fclose(out);
    ::unlink(part.c_str());  // leave no half-written member behind
    throw std::runtime_error(msg);
  };
  std::uint64_t left = size;
  while (left > 0) {
    const std::size_t want = left < kCopyBufferBytes ? static_cast<std::size_t>(left) : kCopyBufferBytes;
    const std::size_t got = readSome(in, buf, want);
    if (got == 0) fail(container + ": truncated payload for member " + name);
    if (std::fwrite(buf, 1, got, out) != got) fail("short write materialising " + part);
    left -= got;
  }
  if (std::fflush(out) != 0) fail("flush failed materialising " + part);
  if (std::fclose(out) != 0) {
    ::unlink(part.c_str());
    throw std::runtime_error("flush failed materialising " + part);
  }
  if (std::rename(part.c_str(), finalPath.c_str()) != 0) {
    ::unlink(part.c_str());
    throw std::runtime_error("cannot place member " + finalPath);
  }
}

struct Entry {
  std::string name;
  std::uint64_t offset = 0;
  std::uint64_t size = 0;
};

}  // namespace

bool isImxV2File(const std::string& path) {
  struct stat st{};
  if (path.empty() || ::stat(path.c_str(), &st) != 0 || !S_ISREG(st.st_mode)) return false;
  Fd f{::open(path.c_str(), O_RDONLY | O_CLOEXEC)};
  if (f.fd < 0) return false;
  unsigned char h[8];
  if (readFull(f.fd, h, 8) != 8) return false;
  return h[0] == 'I' && h[1] == 'M' && h[2] == 'X' && h[3] == 0 && le16(h + 4) == 2;
}

std::string resolveBundlePath(const std::string& P) {
  if (P.empty()) return {};
  if (isDirectory(P) && !pathExists(rstripSlash(P) + ".imx_unwrapped")) return P;
  if (endsWith(P, ".imx") && isImxV2File(P)) return unwrapOnce(P);
  std::string Q = P;
  while (!Q.empty() && Q.back() == '/') Q.pop_back();
  Q += ".imx";
  if (isImxV2File(Q)) return unwrapOnce(Q);
  if (isImxV2File(P)) return unwrapOnce(P);
  return P;
}

std::string unwrapOnce(const std::string& container) {
  const UnwrapPaths u = unwrapPaths(container);
  std::lock_guard<std::mutex> lock(unwrapMutex());

  const std::string signature = markerSignature(container);

  // Reuse check: an unchanged container leaves the target as it is.
  if (isDirectory(u.target) && trimBlanks(readSmallFile(u.marker)) == signature) return u.target;

  refuseSelfDestruction(container, u.target);
  ::unlink(u.marker.c_str());
  rmTree(u.target);
  if (!mkdirs(u.target)) throw std::runtime_error("cannot create unwrap dir " + u.target);

  Fd in{::open(container.c_str(), O_RDONLY | O_CLOEXEC)};
  if (in.fd < 0) throw std::runtime_error("cannot open container " + container);
  unsigned char h[8];
  if (readFull(in.fd, h, 8) != 8 || !(h[0] == 'I' && h[1] == 'M' && h[2] == 'X' && h[3] == 0))
    throw std::runtime_error(container + ": not an IMX\\0 container");
  const unsigned version = le16(h + 4);
  if (version != 2) throw std::runtime_error(container + ": unsupported IMX container version " + std::to_string(version));
  const unsigned count = le16(h + 6);

  // Table of contents; a count that runs past the end of the file meets a short read.
  std::vector<Entry> toc;
  toc.reserve(count);
  for (unsigned i = 0; i < count; ++i) {
    unsigned char lb[2];
    if (readFull(in.fd, lb, 2) != 2)
      throw std::runtime_error(container + ": truncated TOC at member " + std::to_string(i));
    Entry e;
    e.name.resize(le16(lb));
    if (readFull(in.fd, e.name.data(), e.name.size()) != e.name.size())
      throw std::runtime_error(container + ": truncated member name at " + std::to_string(i));
    unsigned char os[16];
    if (readFull(in.fd, os, 16) != 16)
      throw std::runtime_error(container + ": truncated TOC offsets at member " + e.name);
    e.offset = le64(os);
    e.size = le64(os + 8);
    toc.push_back(std::move(e));
  }

  std::unique_ptr<char[]> buf(new char[kCopyBufferBytes]);
  for (const Entry& e : toc) {
    if (unsafeName(e.name))
      throw std::runtime_error(container + ": refusing unsafe member name '" + shownName(e.name) + "'");

    // A manifest the packer synthesised for its own bookkeeping is not a member.
    if (e.name == "manifest.json" && e.size >= 1 && e.size <= kSyntheticManifestMax && seekTo(in.fd, e.offset)) {
      const std::size_t n = static_cast<std::size_t>(e.size);
      if (readFull(in.fd, buf.get(), n) == n &&
          std::string_view(buf.get(), n).find("_imx_synthetic_manifest") != std::string_view::npos)
        continue;
    }

    const std::string finalPath = u.target + "/" + e.name;
    const std::string parent = dirName(finalPath);
    if (!mkdirs(parent)) throw std::runtime_error("cannot create " + parent);
    placeMember(in.fd, container, e.name, e.offset, e.size, finalPath, buf.get());
  }
  ::close(in.fd);
  in.fd = -1;

  std::FILE* m = std::fopen(u.marker.c_str(), "wb");
  if (!m) throw std::runtime_error("cannot write unwrap marker " + u.marker);
  const bool wrote = std::fwrite(signature.data(), 1, signature.size(), m) == signature.size();
  const bool flushed = std::fflush(m) == 0;
  const bool closed = std::fclose(m) == 0;
  if (!wrote || !flushed || !closed) {
    ::unlink(u.marker.c_str());  // a partial marker must never match
    throw std::runtime_error("short write on unwrap marker " + u.marker);
  }
  std::fprintf(stderr, "[le] unwrapped %s -> %s\n", container.c_str(), u.target.c_str());
  return u.target;
}

}  // namespace le
