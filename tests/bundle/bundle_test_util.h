// Helpers shared by the bundle tests: scratch directories, files, environment.
#pragma once

#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <functional>
#include <optional>
#include <sstream>
#include <stdexcept>
#include <string>
#include <vector>

#include "bundle/le_imx.h"

namespace le::test {

// A fresh directory under $LE_TEST_TMP (or /tmp), removed with everything in it.
class ScratchDir {
 public:
  ScratchDir() {
    const char* base = std::getenv("LE_TEST_TMP");
    std::string root = (base && *base) ? base : "/tmp";
    le::imx::mkdirs(root);
    std::string tmpl = root + "/bundle-XXXXXX";
    std::vector<char> buf(tmpl.begin(), tmpl.end());
    buf.push_back('\0');
    if (!::mkdtemp(buf.data())) throw std::runtime_error("mkdtemp failed under " + root);
    path_ = buf.data();
  }
  ~ScratchDir() { le::imx::rmTree(path_); }
  ScratchDir(const ScratchDir&) = delete;
  ScratchDir& operator=(const ScratchDir&) = delete;
  const std::string& path() const { return path_; }
  std::string operator/(const std::string& rel) const { return path_ + "/" + rel; }

 private:
  std::string path_;
};

inline void writeFile(const std::string& path, const std::string& bytes) {
  le::imx::mkdirs(le::imx::dirName(path));
  std::ofstream f(path, std::ios::binary | std::ios::trunc);
  if (!f) throw std::runtime_error("test: cannot write " + path);
  f.write(bytes.data(), std::streamsize(bytes.size()));
}

template <class T>
inline void writeVec(const std::string& path, const std::vector<T>& v) {
  writeFile(path, std::string(reinterpret_cast<const char*>(v.data()), v.size() * sizeof(T)));
}

inline std::string readFile(const std::string& path) {
  std::ifstream f(path, std::ios::binary);
  if (!f) throw std::runtime_error("test: cannot read " + path);
  std::ostringstream s;
  s << f.rdbuf();
  return s.str();
}

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

// Sets (or unsets, for nullopt) an environment variable for one scope.
class EnvGuard {
 public:
  EnvGuard(const char* name, std::optional<std::string> value) : name_(name) {
    if (const char* old = std::getenv(name)) old_ = old;
    if (value) ::setenv(name, value->c_str(), 1);
    else ::unsetenv(name);
  }
  ~EnvGuard() {
    if (old_) ::setenv(name_.c_str(), old_->c_str(), 1);
    else ::unsetenv(name_.c_str());
  }

 private:
  std::string name_;
  std::optional<std::string> old_;
};

// The message of the std::runtime_error that fn throws; fails the test when it
// throws nothing or something else.
inline std::string errorOf(const std::function<void()>& fn) {
  try {
    fn();
  } catch (const std::runtime_error& e) {
    return e.what();
  } catch (const std::exception& e) {
    ADD_FAILURE() << "unexpected exception type: " << e.what();
    return "<wrong exception type>";
  }
  ADD_FAILURE() << "expected a std::runtime_error, nothing was thrown";
  return "<no exception>";
}

inline bool startsWith(const std::string& s, const std::string& p) { return s.compare(0, p.size(), p) == 0; }

}  // namespace le::test
