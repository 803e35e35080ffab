// Forged bundles carry what the teeth readers need: the lip template the
// bundle loader hands over, and the manifest's unified block.
#include <gtest/gtest.h>

#include <filesystem>
#include <string>

#include "bundle/le_bundle.h"
#include "forge/forge.h"
#include "support/tmpdir.h"
#include "tessera/le_lip_contour.h"

namespace {

using le::forge::LipTemplate;
using le::tessera::LipContour;

TEST(ForgedLipTemplate, WrittenOnlyWhenAskedAndReadBackByTheLoader) {
  le::test::TmpDir d;
  for (LipTemplate kind : {LipTemplate::None, LipTemplate::Plain, LipTemplate::Mapped}) {
    le::forge::BundleSpec s;
    s.lipTemplate = kind;
    s.nestedBlocks = true;
    s.descriptiveNames = kind == LipTemplate::Mapped;
    const std::string dir = d / ("b" + std::to_string(int(kind)));
    le::forge::writeBundle(dir, s);
    const le::Manifest m = le::loadManifest(dir);
    if (kind == LipTemplate::None) {
      EXPECT_FALSE(std::filesystem::exists(dir + "/lip_template.v1.json"));
      EXPECT_TRUE(m.lipTemplate.empty());
      continue;
    }
    EXPECT_EQ(m.lipTemplate, le::forge::lipTemplateText(s));
    const LipContour lc = LipContour::fromTemplateJson(m.lipTemplate, m.crop);
    EXPECT_EQ(lc.hasMap(), kind == LipTemplate::Mapped);
    EXPECT_EQ(lc.nv, le::forge::kLipVertices);
    EXPECT_FLOAT_EQ(lc.feather_px, 1.0f);  // crop 32
  }
}

TEST(ForgedLipTemplate, TheDemoIdentityCarriesAMappedTemplate) {
  const std::string portrait =
      (std::filesystem::path(__FILE__).parent_path().parent_path().parent_path() / "third_party/demo/astronaut.png")
          .string();
  le::forge::BundleSpec s = le::forge::demoSpec(portrait);
  EXPECT_EQ(s.lipTemplate, LipTemplate::Mapped);
  s.nt = 1, s.frames = 1;  // frame 0 is all the template is fitted on
  const LipContour lc = LipContour::fromTemplateJson(le::forge::lipTemplateText(s), s.crop);
  EXPECT_TRUE(lc.hasMap());
  EXPECT_EQ(lc.canvas, 512);
  EXPECT_FLOAT_EQ(lc.feather_px, 8.0f);
}

}  // namespace
