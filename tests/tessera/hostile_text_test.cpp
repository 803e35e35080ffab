// Truncated and corrupted teeth texts: every prefix of a valid text and seeded
// byte damage either read or fail with their reader's message, and whatever
// reads can be drawn with.
#include <gtest/gtest.h>

#include <random>
#include <stdexcept>
#include <string>
#include <vector>

#include "forge/forge.h"
#include "support/errors.h"
#include "tessera/le_lip_contour.h"

namespace {

using le::tessera::LipContour;
using le::tessera::UnifiedPi;
using le::test::startsWith;

constexpr int kCanvas = 64;

struct Identity {
  le::forge::BundleSpec spec;
  std::string lip, manifest;
  std::vector<float> kp;
  Identity() {
    spec.crop = kCanvas, spec.nt = 1, spec.frames = 1, spec.nestedBlocks = true;
    spec.lipTemplate = le::forge::LipTemplate::Mapped;
    lip = le::forge::lipTemplateText(spec);
    manifest = le::forge::manifestText(spec);
    kp = le::forge::targetKeypoints(spec);
  }
};

const Identity& identity() {
  static const Identity id;
  return id;
}

// One text through the template reader: it reads (and then draws) or throws its own family.
void template_(const std::string& text, int* read) {
  try {
    LipContour lc = LipContour::fromTemplateJson(text, kCanvas);
    std::vector<float> out(kCanvas * kCanvas);
    lc.contourF32Canvas(identity().kp.data(), out.data());
    ++*read;
  } catch (const std::runtime_error& e) {
    ASSERT_TRUE(startsWith(e.what(), "lip_template.v1.json: ")) << e.what() << "\n" << text;
  }
}

void manifest_(const std::string& text, int* read) {
  try {
    const UnifiedPi pi = UnifiedPi::fromManifestJson(text, kCanvas);
    std::vector<uint8_t> out(kCanvas * kCanvas);
    pi.piU8Boxed(identity().kp.data(), out.data());
    ++*read;
  } catch (const std::runtime_error& e) {
    ASSERT_TRUE(startsWith(e.what(), "teeth")) << e.what() << "\n" << text;
  }
}

std::string damage(const std::string& text, std::mt19937& rng) {
  static const char kBytes[] = "{}[]\",:0123456789.-+eE \\nu\x00\xff";
  std::string t = text;
  for (int n = 1 + int(rng() % 4); n-- > 0;) {
    const size_t at = rng() % t.size();
    switch (rng() % 3) {
      case 0: t[at] = kBytes[rng() % (sizeof kBytes - 1)]; break;
      case 1: t[at] = char(rng()); break;
      default: t.erase(at, 1 + rng() % 8); break;
    }
    if (t.empty()) break;
  }
  return t;
}

TEST(TeethHostileText, EveryPrefixOfATemplateAndAManifest) {
  int read = 0;
  const std::string& lip = identity().lip;
  for (size_t n = 0; n <= lip.size(); ++n) template_(lip.substr(0, n), &read);
  EXPECT_GE(read, 1);  // at least the whole text
  read = 0;
  const std::string& m = identity().manifest;
  for (size_t n = 0; n <= m.size(); ++n) manifest_(m.substr(0, n), &read);
  EXPECT_GE(read, 1);
}

TEST(TeethHostileText, SeededByteDamage) {
  std::mt19937 rng(2024);
  int readLip = 0, readManifest = 0;
  for (int i = 0; i < 3000; ++i) {
    template_(damage(identity().lip, rng), &readLip);
    manifest_(damage(identity().manifest, rng), &readManifest);
  }
  // Damage to a number or to blanks often leaves a readable text: both outcomes are exercised.
  EXPECT_GT(readLip, 0);
  EXPECT_LT(readLip, 3000);
  EXPECT_GT(readManifest, 0);
  EXPECT_LT(readManifest, 3000);
}

}  // namespace
