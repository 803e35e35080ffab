// IMX v2 container writer: honest containers and hostile ones.
#include <algorithm>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <stdexcept>

#include "forge_internal.h"

namespace fs = std::filesystem;

namespace le::forge {
namespace {

void putU16(std::string& o, uint16_t v) {
  o.push_back(char(v & 0xff));
  o.push_back(char(v >> 8));
}
void putU64(std::string& o, uint64_t v) {
  for (int i = 0; i < 8; ++i) o.push_back(char((v >> (8 * i)) & 0xff));
}

struct TocItem {
  std::string name;
  uint64_t offset, size;
};

// Header and table of contents; payload offsets start right after it.
std::string headerAndToc(const std::vector<TocItem>& items, const ImxOptions& opt) {
  std::string o;
  o.append(opt.badMagic ? std::string("XMI\0", 4) : std::string("IMX\0", 4));
  putU16(o, opt.version);
  putU16(o, opt.count ? *opt.count : uint16_t(items.size()));
  for (const auto& it : items) {
    putU16(o, uint16_t(it.name.size()));
    o.append(it.name);
    putU64(o, it.offset);
    putU64(o, it.size);
  }
  return o;
}

uint64_t tocBytes(const std::vector<std::string>& names) {
  uint64_t n = 8;
  for (const auto& s : names) n += 2 + s.size() + 16;
  return n;
}

void checkCounts(const std::vector<std::string>& names) {
  if (names.size() > 0xffff) throw std::runtime_error("forge: IMX holds at most 65535 members");
  for (const auto& s : names)
    if (s.size() > 0xffff) throw std::runtime_error("forge: IMX member name longer than 65535 bytes");
}

void cutTo(const std::string& path, uint64_t to) {
  std::error_code ec;
  if (fs::file_size(path, ec) > to) fs::resize_file(path, to, ec);
  if (ec) throw std::runtime_error("forge: cannot truncate " + path + " (" + ec.message() + ")");
}

}  // namespace

void writeImx(const std::string& path, const std::vector<ImxEntry>& entries, const ImxOptions& opt) {
  std::vector<std::string> names;
  for (const auto& e : entries) names.push_back(e.name);
  checkCounts(names);
  uint64_t at = tocBytes(names);
  std::vector<TocItem> items;
  for (const auto& e : entries) {
    items.push_back({e.name, e.offset ? *e.offset : at, e.size ? *e.size : uint64_t(e.data.size())});
    at += e.data.size();
  }
  std::ofstream f(path, std::ios::binary | std::ios::trunc);
  if (!f) throw std::runtime_error("forge: cannot write " + path);
  const std::string head = headerAndToc(items, opt);
  f.write(head.data(), std::streamsize(head.size()));
  for (const auto& e : entries) f.write(e.data.data(), std::streamsize(e.data.size()));
  f.close();
  if (!f) throw std::runtime_error("forge: short write " + path);
  if (opt.truncateTo) cutTo(path, *opt.truncateTo);
}

std::vector<std::string> packList(const std::string& dir) {
  std::error_code ec;
  if (!fs::is_directory(dir, ec)) throw std::runtime_error("forge: not a directory: " + dir);
  std::vector<std::string> names;
  for (fs::recursive_directory_iterator it(dir, ec), end; !ec && it != end; it.increment(ec)) {
    const auto st = it->symlink_status(ec);
    if (ec) break;
    if (fs::is_regular_file(st)) names.push_back(fs::relative(it->path(), dir, ec).generic_string());
  }
  if (ec) throw std::runtime_error("forge: cannot list " + dir + " (" + ec.message() + ")");
  std::sort(names.begin(), names.end());
  return names;
}

void packDir(const std::string& dir, const std::string& imxPath) {
  std::vector<std::string> names = packList(dir);
  // Never pack the container into itself.
  std::error_code ec;
  const fs::path out = fs::weakly_canonical(imxPath, ec);
  names.erase(std::remove_if(names.begin(), names.end(),
                             [&](const std::string& n) {
                               std::error_code e2;
                               return !ec && fs::weakly_canonical(fs::path(dir) / n, e2) == out;
                             }),
              names.end());
  checkCounts(names);
  std::vector<TocItem> items;
  uint64_t at = tocBytes(names);
  for (const auto& n : names) {
    const uint64_t sz = fs::file_size(fs::path(dir) / n, ec);
    if (ec) throw std::runtime_error("forge: cannot stat " + (fs::path(dir) / n).string());
    items.push_back({n, at, sz});
    at += sz;
  }
  std::ofstream f(imxPath, std::ios::binary | std::ios::trunc);
  if (!f) throw std::runtime_error("forge: cannot write " + imxPath);
  const std::string head = headerAndToc(items, ImxOptions{});
  f.write(head.data(), std::streamsize(head.size()));
  std::vector<char> buf(1 << 20);
  for (const auto& it : items) {
    std::ifstream in(fs::path(dir) / it.name, std::ios::binary);
    if (!in) throw std::runtime_error("forge: cannot read " + (fs::path(dir) / it.name).string());
    uint64_t left = it.size;
    while (left) {
      const size_t n = size_t(std::min<uint64_t>(left, buf.size()));
      in.read(buf.data(), std::streamsize(n));
      if (size_t(in.gcount()) != n) throw std::runtime_error("forge: " + it.name + " changed while packing");
      f.write(buf.data(), std::streamsize(n));
      left -= n;
    }
  }
  f.close();
  if (!f) throw std::runtime_error("forge: short write " + imxPath);
}

}  // namespace le::forge
