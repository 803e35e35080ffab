// Whole-file reads and writes for tests, on plain streams so that they do not
// share a fault with the library's own readers.
#pragma once

#include <gtest/gtest.h>
#include <sys/stat.h>

#include <cstdint>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <stdexcept>
#include <string>
#include <string_view>
#include <vector>

namespace le::test {

// The whole file; throws when it cannot be opened.
inline std::string readFile(const std::filesystem::path& path) {
  std::ifstream f(path, std::ios::binary);
  if (!f) throw std::runtime_error("test: cannot read " + path.string());
  return std::string(std::istreambuf_iterator<char>(f), {});
}

// The whole elements of T the file holds.
template <class T>
std::vector<T> readArray(const std::filesystem::path& path) {
  const std::string b = readFile(path);
  std::vector<T> v(b.size() / sizeof(T));
  if (!v.empty()) std::memcpy(v.data(), b.data(), v.size() * sizeof(T));
  return v;
}

// Replaces the file, creating missing parent directories.
inline void writeFile(const std::filesystem::path& path, std::string_view bytes) {
  if (path.has_parent_path()) std::filesystem::create_directories(path.parent_path());
  std::ofstream f(path, std::ios::binary | std::ios::trunc);
  f.write(bytes.data(), std::streamsize(bytes.size()));
  if (!f) throw std::runtime_error("test: cannot write " + path.string());
}

template <class T>
void writeArray(const std::filesystem::path& path, const std::vector<T>& v) {
  writeFile(path, std::string_view(reinterpret_cast<const char*>(v.data()), v.size() * sizeof(T)));
}

// Something (a link too, dangling or not) is at p.
inline bool exists(const std::string& p) {
  struct stat st{};
  return ::lstat(p.c_str(), &st) == 0;
}

inline bool isDir(const std::string& p) {
  struct stat st{};
  return ::stat(p.c_str(), &st) == 0 && S_ISDIR(st.st_mode);
}

inline std::uint64_t fileSize(const std::string& p) {
  struct stat st{};
  if (::stat(p.c_str(), &st) != 0) throw std::runtime_error("test: cannot stat " + p);
  return std::uint64_t(st.st_size);
}

// 16 kHz mono float speech with pauses (tests/fixtures/speech_16k.f32).
inline std::vector<float> speechFixture() {
  const auto p = std::filesystem::path(__FILE__).parent_path().parent_path() / "fixtures" / "speech_16k.f32";
  std::vector<float> v = readArray<float>(p);
  EXPECT_GT(v.size(), 32000u) << p;
  return v;
}

}  // namespace le::test
