// The blend head's checkpoint: both architectures read back exactly what the
// forge stored, and every damaged or foreign checkpoint is refused with its
// text, never read out of bounds.
#include <gtest/gtest.h>

#include <random>
#include <stdexcept>
#include <string>
#include <vector>

#include "forge/forge_head.h"
#include "tessera/le_tessera.h"

namespace {

using le::forge::HeadArch;
using le::forge::HeadCheckpoint;
using le::forge::HeadHostile;

std::vector<uint8_t> bytesOf(const HeadCheckpoint& c) {
  const std::string s = le::forge::headCheckpointBytes(c);
  return {s.begin(), s.end()};
}

std::string refusal(const std::vector<uint8_t>& b) {
  try {
    le::tessera::loadHeadPt(b);
    return "";
  } catch (const std::runtime_error& e) {
    return e.what();
  }
}

TEST(HeadWeights, BothArchitecturesReadBackWhatWasStored) {
  for (HeadArch arch : {HeadArch::Full, HeadArch::Eight}) {
    HeadCheckpoint c;
    c.arch = arch;
    c.seed = 7;
    c.comment = std::string(20, 'c');  // found by the backward scan
    const le::tessera::HeadWeights h = le::tessera::loadHeadPt(bytesOf(c));
    EXPECT_EQ(h.params(), arch == HeadArch::Full ? 4082 : 3489);
    const std::vector<const std::vector<float>*> got = {&h.cand0w, &h.cand0b, &h.cand2w, &h.cand2b, &h.cand4w,
                                                        &h.cand4b, &h.syn0w,  &h.syn0b,  &h.syn2w,  &h.syn2b};
    const auto want = le::forge::headParams(c);
    for (size_t k = 0; k < got.size(); ++k) {
      if (k < want.size())
        EXPECT_EQ(*got[k], want[k].values) << want[k].name;
      else
        EXPECT_TRUE(got[k]->empty()) << k;
    }
    EXPECT_FLOAT_EQ(h.envelope, 12.0f / 255.0f);
  }
}

TEST(HeadWeights, RefusesWhatASaveDoesNotWrite) {
  const struct {
    HeadHostile hostile;
    std::string text;
  } cases[] = {
      {HeadHostile::Deflated,
       "teeth: head .pt entry is DEFLATEd; torch writes ZIP_STORED — refusing to guess at a compressed member"},
      {HeadHostile::FloatOpcode, "teeth: unsupported pickle opcode 0x47 in head .pt"},
      {HeadHostile::WrongShape, "teeth: head 'cand.0.weight' has shape [16,8,3,3] — not the BlendHead(16) arch"},
      {HeadHostile::DuplicateKey, "teeth: head .pt names 'cand.0.bias' 2 times — ambiguous"},
      {HeadHostile::MissingStorage, "teeth: head storage 2 missing"},
      {HeadHostile::LacksSynBias, "teeth: head .pt lacks 'syn.2.bias'"},
      {HeadHostile::NegativeOffset, "teeth: head storage 5 too small"},
  };
  for (const auto& c : cases) {
    HeadCheckpoint h;
    h.hostile = c.hostile;
    EXPECT_EQ(refusal(bytesOf(h)), c.text);
  }
  EXPECT_EQ(refusal(std::vector<uint8_t>(21, 0)), "teeth: head .pt is not a zip");
  EXPECT_EQ(refusal(std::vector<uint8_t>(64, 0x11)), "teeth: head .pt has no zip EOCD");
}

// Every prefix and seeded byte damage: read or refused, never a crash (the
// sanitizer runs hold this to no out-of-bounds read either).
TEST(HeadWeights, TruncatedAndDamagedCheckpointsNeverCrash) {
  HeadCheckpoint c;
  c.arch = HeadArch::Eight;
  const std::vector<uint8_t> good = bytesOf(c);
  for (size_t n = 0; n < good.size(); n += 7) {
    const std::vector<uint8_t> cut(good.begin(), good.begin() + long(n));
    EXPECT_FALSE(refusal(cut).empty()) << n;
  }
  std::mt19937 rng(11);
  for (int trial = 0; trial < 2000; ++trial) {
    std::vector<uint8_t> b = good;
    for (int k = 0; k < 4; ++k) b[rng() % b.size()] = uint8_t(rng());
    const std::string r = refusal(b);
    EXPECT_TRUE(r.empty() || r.rfind("teeth: ", 0) == 0) << r;
  }
}

}  // namespace
