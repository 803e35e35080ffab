// A forged bundle for a benchmark, written once under $LE_TEST_TMP (or /tmp)
// and removed when the program ends.
#pragma once

#include <unistd.h>

#include <cstdlib>
#include <filesystem>
#include <string>

#include "forge/forge.h"

namespace le::bench {

struct ForgedBundle {
  std::filesystem::path dir;
  le::forge::BundleSpec spec;
  ForgedBundle(const std::string& stem, const le::forge::BundleSpec& s) : spec(s) {
    const char* root = std::getenv("LE_TEST_TMP");
    dir = std::filesystem::path(root && *root ? root : "/tmp") / (stem + "-" + std::to_string(::getpid()));
    le::forge::writeBundle(dir.string(), spec);
  }
  ~ForgedBundle() {
    std::error_code ec;
    std::filesystem::remove_all(dir, ec);
  }
  ForgedBundle(const ForgedBundle&) = delete;
  ForgedBundle& operator=(const ForgedBundle&) = delete;
};

}  // namespace le::bench
