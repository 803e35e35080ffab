// Helpers of the forge tests: the demo portrait, member sizes, and an
// independent IMX v2 reader.
#pragma once

#include <cstdint>
#include <filesystem>
#include <map>
#include <string>
#include <vector>

namespace forge_test {

namespace fs = std::filesystem;

// The demo portrait of the source tree (found from this header's own path).
inline std::string demoPortrait() {
  return (fs::path(__FILE__).parent_path().parent_path().parent_path() / "third_party/demo/astronaut.png").string();
}

// Every regular file under dir: relative name ('/'-separated) -> size.
inline std::map<std::string, uint64_t> fileSizes(const fs::path& dir) {
  std::map<std::string, uint64_t> m;
  for (auto& e : fs::recursive_directory_iterator(dir))
    if (e.is_regular_file()) m[fs::relative(e.path(), dir).generic_string()] = e.file_size();
  return m;
}

// A tiny IMX v2 reader, independent of the library and of the forge.
struct ImxTocEntry {
  std::string name;
  uint64_t offset = 0, size = 0;
};
struct ImxParsed {
  bool ok = false;
  std::string error;
  std::string magic;
  uint16_t version = 0, count = 0;
  std::vector<ImxTocEntry> toc;
  uint64_t tocEnd = 0;  // first byte after the table of contents
};
inline uint64_t le64(const std::string& b, size_t at, int n) {
  uint64_t v = 0;
  for (int i = n - 1; i >= 0; --i) v = (v << 8) | uint8_t(b[at + i]);
  return v;
}
// Reads `entries` TOC entries (default: the declared count).
inline ImxParsed parseImx(const std::string& b, int entries = -1) {
  ImxParsed r;
  if (b.size() < 8) {
    r.error = "short header";
    return r;
  }
  r.magic = b.substr(0, 4);
  r.version = uint16_t(le64(b, 4, 2));
  r.count = uint16_t(le64(b, 6, 2));
  size_t at = 8;
  const int n = entries < 0 ? r.count : entries;
  for (int i = 0; i < n; ++i) {
    if (at + 2 > b.size()) {
      r.error = "truncated TOC at member " + std::to_string(i);
      return r;
    }
    const size_t len = size_t(le64(b, at, 2));
    at += 2;
    if (at + len + 16 > b.size()) {
      r.error = "truncated TOC entry " + std::to_string(i);
      return r;
    }
    ImxTocEntry e;
    e.name = b.substr(at, len);
    at += len;
    e.offset = le64(b, at, 8);
    e.size = le64(b, at + 8, 8);
    at += 16;
    r.toc.push_back(e);
  }
  r.tocEnd = at;
  r.ok = true;
  return r;
}

}  // namespace forge_test
