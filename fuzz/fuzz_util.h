// What the harnesses that hand the library a file share: one scratch
// directory per process (in memory where the machine has /dev/shm, so the
// disk does not set the pace), removed at exit, and whole-file writes into it.
#pragma once

#include <fcntl.h>
#include <stdlib.h>
#include <unistd.h>

#include <cstddef>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <string>
#include <string_view>
#include <system_error>

namespace le::fuzz {

[[noreturn]] inline void fail(const char* harness, const std::string& what) {
  std::fprintf(stderr, "%s: %s\n", harness, what.c_str());
  std::abort();
}

inline std::string& scratchDir() {
  static std::string dir;
  return dir;
}

// Makes the scratch directory (once) and returns it.
inline const std::string& makeScratch(const char* harness) {
  std::string& dir = scratchDir();
  if (!dir.empty()) return dir;
  namespace fs = std::filesystem;
  std::error_code ec;
  const fs::path base = fs::is_directory("/dev/shm", ec) && ::access("/dev/shm", W_OK) == 0
                            ? fs::path("/dev/shm")
                            : fs::temp_directory_path();
  std::string tmpl = (base / (std::string("le-fuzz-") + harness + "-XXXXXX")).string();
  if (!::mkdtemp(tmpl.data())) fail(harness, "cannot make the scratch directory " + tmpl);
  dir = tmpl;
  std::atexit([] {
    std::error_code e;
    std::filesystem::remove_all(scratchDir(), e);
  });
  return dir;
}

// Writes data as the whole of path (created or cut to length).
inline void writeWhole(const std::string& path, std::string_view data) {
  const int fd = ::open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0600);
  if (fd < 0) fail("fuzz", "cannot write " + path);
  const char* p = data.data();
  size_t n = data.size();
  while (n > 0) {
    const ssize_t w = ::write(fd, p, n);
    if (w <= 0) fail("fuzz", "short write " + path);
    p += w;
    n -= size_t(w);
  }
  ::close(fd);
}

}  // namespace le::fuzz
