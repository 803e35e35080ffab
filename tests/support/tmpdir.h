// A fresh directory per test under $LE_TEST_TMP (or /tmp), removed afterwards.
#pragma once

#include <gtest/gtest.h>
#include <unistd.h>

#include <cstdlib>
#include <filesystem>
#include <string>

namespace le::test {

class TmpDir {
 public:
  TmpDir() {
    const char* root = std::getenv("LE_TEST_TMP");
    std::filesystem::path base = (root && *root) ? root : "/tmp";
    const auto* info = ::testing::UnitTest::GetInstance()->current_test_info();
    std::string name = info ? std::string(info->test_suite_name()) + "." + info->name() : "le";
    for (char& c : name)
      if (c == '/') c = '_';
    path_ = base / ("le-" + std::to_string(::getpid()) + "-" + name);
    std::filesystem::remove_all(path_);
    std::filesystem::create_directories(path_);
  }
  ~TmpDir() {
    std::error_code ec;
    std::filesystem::remove_all(path_, ec);
  }
  TmpDir(const TmpDir&) = delete;
  TmpDir& operator=(const TmpDir&) = delete;

  const std::filesystem::path& path() const { return path_; }
  std::string str(const std::string& sub = "") const { return sub.empty() ? path_.string() : (path_ / sub).string(); }

 private:
  std::filesystem::path path_;
};

}  // namespace le::test
