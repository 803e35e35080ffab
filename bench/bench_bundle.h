// A forged bundle for a benchmark, written once under $LE_TEST_TMP (or /tmp)
// and removed when the program ends.
#pragma once

#include <unistd.h>

#include <benchmark/benchmark.h>

#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <string>
#include <thread>

#include "forge/forge.h"
#include "le/le.h"
#include "le/le_utt.h"

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

// A live pipeline over ctx whose audio engine has loaded; on failure the
// benchmark is skipped with the library's text, ctx is destroyed, and NULL returned.
inline le_utt* readyLive(benchmark::State& state, le_ctx* ctx, const le_utt_opts& o) {
  le_utt* u = le_utt_create(ctx, &o);
  while (u && le_utt_ready(u) == 0) std::this_thread::sleep_for(std::chrono::milliseconds(2));
  if (u && le_utt_ready(u) == 1) return u;
  state.SkipWithError(le_utt_last_error());
  le_utt_destroy(u);
  le_destroy(ctx);
  return nullptr;
}

}  // namespace le::bench
