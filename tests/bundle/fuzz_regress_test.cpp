// The inputs fuzzing broke a reader with, kept in fuzz/corpus/<harness>/:
// each, replayed through the library reader it broke, is now refused with
// that reader's clear message; one named *.accepted.* is read, and reads the
// same every time.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstdint>
#include <filesystem>
#include <fstream>
#include <functional>
#include <iterator>
#include <map>
#include <memory>
#include <string>
#include <vector>

#include "audio/le_engine_meta.h"
#include "driver/le_driver.h"
#include "tessera/le_lip_contour.h"
#include "support/errors.h"
#include "support/tmpdir.h"

namespace le::test {
namespace {

namespace fs = std::filesystem;

const fs::path kCorpus = fs::path(__FILE__).parent_path() / ".." / ".." / "fuzz" / "corpus";

struct Replay {
  std::vector<std::string> refusals;  // what the reader's message may start with
  // What the reader made of the bytes (throws when it refuses them).
  std::function<std::string(const std::string& bytes, const TmpDir& tmp)> read;
};

// Per harness: its reader, fed as the harness feeds it.
const std::map<std::string, Replay>& replays() {
  static const std::map<std::string, Replay> r = {
      {"jpg_frame",
       {{"decode failed: ", "le_driver: "},  // undecodable, or not the size the frames must have
        [](const std::string& bytes, const TmpDir& tmp) {
          std::ofstream(driver::frameFile(tmp.str(), 0), std::ios::binary) << bytes;
          driver::JpgDirSource src(tmp.str(), 1, 40, 24);
          std::string frame(src.frameBytes(), '\0');
          src.next(reinterpret_cast<unsigned char*>(frame.data()));
          return frame;
        }}},
      {"engine_meta",
       {{"meta.json: bad "},
        [](const std::string& bytes, const TmpDir&) { return std::to_string(motion::parseMeta(bytes).sBridge); }}},
      {"lip_contour",
       {{"lip_template.v1.json: "},
        [](const std::string& bytes, const TmpDir&) {
          return std::to_string(tessera::LipContour::fromTemplateJson(bytes, 32).feather_px);
        }}},
  };
  return r;
}

struct Kept {
  std::string harness, file;
};

std::vector<Kept> keptInputs() {
  std::vector<Kept> out;
  for (const auto& dir : fs::directory_iterator(kCorpus))
    for (const auto& f : fs::directory_iterator(dir.path()))
      out.push_back({dir.path().filename().string(), f.path().filename().string()});
  std::sort(out.begin(), out.end(), [](const Kept& a, const Kept& b) { return a.harness + a.file < b.harness + b.file; });
  return out;
}

class FuzzRegress : public ::testing::TestWithParam<Kept> {};

TEST_P(FuzzRegress, RefusedOrReadAlike) {
  const Kept& k = GetParam();
  const auto it = replays().find(k.harness);
  ASSERT_NE(it, replays().end()) << "no replay for the inputs kept under fuzz/corpus/" << k.harness;
  std::ifstream f(kCorpus / k.harness / k.file, std::ios::binary);
  const std::string bytes((std::istreambuf_iterator<char>(f)), std::istreambuf_iterator<char>());
  ASSERT_FALSE(bytes.empty());
  TmpDir tmp;
  if (k.file.find(".accepted.") != std::string::npos) {
    EXPECT_EQ(it->second.read(bytes, tmp), it->second.read(bytes, tmp)) << k.harness << "/" << k.file;
    return;
  }
  const std::string e = errorOf([&] { it->second.read(bytes, tmp); });
  EXPECT_TRUE(std::any_of(it->second.refusals.begin(), it->second.refusals.end(),
                          [&](const std::string& r) { return startsWith(e, r); }))
      << k.harness << "/" << k.file << ": " << e;
}

INSTANTIATE_TEST_SUITE_P(Kept, FuzzRegress, ::testing::ValuesIn(keptInputs()),
                         [](const ::testing::TestParamInfo<Kept>& i) {
                           std::string n = i.param.harness + "_" + i.param.file;
                           for (char& c : n)
                             if (!std::isalnum(static_cast<unsigned char>(c))) c = '_';
                           return n;
                         });

}  // namespace
}  // namespace le::test
