// A fresh directory per use under $LE_TEST_TMP (or /tmp), named after the
// running test. Removed with everything in it, unless the test failed: then it
// stays for inspection.
#pragma once

#include <gtest/gtest.h>
#include <stdlib.h>

#include <cstdlib>
#include <filesystem>
#include <stdexcept>
#include <string>
#include <vector>

namespace le::test {

class TmpDir {
 public:
  TmpDir() {
    const char* root = std::getenv("LE_TEST_TMP");
    const std::filesystem::path base = (root && *root) ? root : "/tmp";
    std::filesystem::create_directories(base);
    const auto* info = ::testing::UnitTest::GetInstance()->current_test_info();
    std::string name = info ? std::string(info->test_suite_name()) + "." + info->name() : "le";
    for (char& c : name)
      if (c == '/') c = '_';
    const std::string tmpl = (base / ("le-" + name + "-XXXXXX")).string();
    std::vector<char> buf(tmpl.begin(), tmpl.end());
    buf.push_back('\0');
    if (!::mkdtemp(buf.data())) throw std::runtime_error("test: mkdtemp failed under " + base.string());
    path_ = buf.data();
  }
  ~TmpDir() {
    if (::testing::Test::HasFailure()) return;
    std::error_code ec;
    std::filesystem::remove_all(path_, ec);
  }
  TmpDir(const TmpDir&) = delete;
  TmpDir& operator=(const TmpDir&) = delete;

  const std::filesystem::path& path() const { return path_; }
  std::string str(const std::string& sub = "") const { return sub.empty() ? path_.string() : (path_ / sub).string(); }
  std::string operator/(const std::string& sub) const { return str(sub); }

 private:
  std::filesystem::path path_;
};

}  // namespace le::test
