// Writes the seed corpora of the harnesses: le-fuzz-seeds <dir> fills
// <dir>/<harness>/ with what the forge makes (head checkpoints of both
// architectures and the ones a reader must refuse, bank tracks of the
// harness's geometry and their near misses, sidecar and manifest pairs of
// forged bundles with teeth) and the teeth JSON members.
#include <cstdint>
#include <cstdio>
#include <exception>
#include <filesystem>
#include <fstream>
#include <stdexcept>
#include <string>
#include <vector>

#include "bank_geometry.h"
#include "forge/forge.h"
#include "forge/forge_bank.h"
#include "forge/forge_head.h"
#include "forge/forge_teeth.h"

namespace fs = std::filesystem;

namespace {

void put(const fs::path& dir, const std::string& name, const void* data, size_t n) {
  fs::create_directories(dir);
  std::ofstream f(dir / name, std::ios::binary | std::ios::trunc);
  f.write(static_cast<const char*>(data), std::streamsize(n));
  if (!f) throw std::runtime_error("cannot write " + (dir / name).string());
}
void put(const fs::path& dir, const std::string& name, const std::string& s) { put(dir, name, s.data(), s.size()); }

// A stamp whose stored patch is the bank harness's 16 x 16.
const char* const kGeometry =
    R"({"canvas_w": 64, "canvas_h": 64, "window_x0": 16, "window_y0": 36, "window_w": 32, "window_h": 20, )"
    R"("pad": 2, "band_r0": 4, "band_r1": 16, "band_c0": 4, "band_c1": 16, "shift_margin": 2})";

void jsonSeeds(const fs::path& dir) {
  const std::string g = kGeometry;
  put(dir, "sidecar.json",
      R"({"format": "tessera_bank.v1", "geometry": )" + g +
          R"(, "n_donors": 3, "track_order": [2, 0, 1], "cent": [[10.5, 12], [11, 12.25], [9.75, 13]], )"
          R"("aperture": [0.1, 0.45, 0.8], "c_canon": [32, 44], "codec": {"codec": "h264", "pix_fmt": "yuv444p"}})");
  put(dir, "head_config.json",
      R"({"retrieval": {"kshort": 512, "aperture_tol": 0.3, "cut": 96, "K": 64}, )"
      R"("temporal": {"hysteresis": 8, "lookahead": 8}, "decode": {"envelope_clamp_255": 12.0000005}})");
  put(dir, "manifest.json",
      R"(  {"crop": 64, "tessera": {"members": {"bank_track": "tessera_bank.v1.mp4", "head_weights": ""}, )"
      R"("planes": ["live", 3, "stream"], "geometry": )" +
          g +
          R"(, "bank_container": "mp4", "bank_codec": "h264", "bank_pix_fmt": "yuv444p", )"
          R"("bank_packing": "rgb24_frames"}, "unified": {"pi": [1, 0, 0, 0, 1, 0]}})");
  put(dir, "edges.json",
      "{\"a\" 1, \"s\": \"\\u00e9\\n\\\"\\/\", \"t\": true, \"f\": false, \"n\": null, "
      "\"x\": [+1, -2.5e3, 1e308, 0x1p3]}{\"trailing\": 1}");
  put(dir, "nested.json", "[[[[[[[[{\"k\": [[], {}]}]]]]]]]]");
}

void headSeeds(const fs::path& dir) {
  using le::forge::HeadArch;
  using le::forge::HeadHostile;
  const HeadHostile all[] = {HeadHostile::None,         HeadHostile::Deflated,      HeadHostile::FloatOpcode,
                             HeadHostile::WrongShape,   HeadHostile::DuplicateKey,  HeadHostile::MissingStorage,
                             HeadHostile::LacksSynBias, HeadHostile::NegativeOffset};
  for (HeadArch arch : {HeadArch::Full, HeadArch::Eight})
    for (HeadHostile h : all) {
      le::forge::HeadCheckpoint c;
      c.arch = arch;
      c.hostile = h;
      if (h == HeadHostile::None) c.comment = std::string(20, 'c');
      put(dir, std::string(arch == HeadArch::Full ? "full" : "eight") + "-" + std::to_string(int(h)) + ".pt",
          le::forge::headCheckpointBytes(c));
    }
}

void bankSeeds(const fs::path& dir) {
  using namespace le::fuzz;
  auto patches = [](int n, int w, int h) {
    std::vector<uint8_t> rgb(size_t(n) * w * h * 3);
    for (size_t i = 0; i < rgb.size(); ++i) rgb[i] = uint8_t(i * 37 + i / 48 * 11);
    return rgb;
  };
  const auto rgb = patches(kBankDonors, kBankW, kBankH);
  auto track = [&](const std::string& name, le::forge::BankTrackOptions opt, int h = kBankH) {
    const auto b =
        le::forge::bankTrackBytes(h == kBankH ? rgb : patches(kBankDonors, kBankW, h), kBankW, h, kBankDonors, opt);
    put(dir, name, b.data(), b.size());
  };
  track("yuv444p.mp4", {});
  track("gbrp.mp4", {.pixFmt = "gbrp"});
  track("yuv420p-lossy.mp4", {.pixFmt = "yuv420p", .lossless = false});
  track("short.mp4", {.dropFrames = 1});
  track("long.mp4", {.extraFrames = 1});
  track("other-size.mp4", {}, kBankH / 2);
}

// The text with the value of its first member `key` (an object without nested
// ones, or a scalar) replaced.
std::string withValue(std::string text, const std::string& key, const std::string& value) {
  const std::string tag = "\"" + key + "\": ";
  const size_t at = text.find(tag);
  if (at == std::string::npos) throw std::runtime_error("le-fuzz-seeds: no " + key + " to edit");
  const size_t from = at + tag.size();
  const size_t to = text[from] == '{' ? text.find('}', from) + 1 : text.find_first_of(",\n}", from);
  return text.replace(from, to - from, value);
}

// The members loader's pairs: the sidecar, a NUL, the manifest, each as the
// forge writes them for a bundle with teeth. The manifest is the bundle's
// whole manifest, so the loader's block lookup meets the keys around it.
void sidecarSeeds(const fs::path& dir) {
  using le::forge::BundleSpec;
  using le::forge::TeethSpec;
  auto spec = [](int crop, int donors, uint32_t seed) {
    BundleSpec s;
    s.crop = crop;
    s.seed = seed;
    TeethSpec t;
    t.donors = donors;
    t.seed = seed;
    s.teeth = t;
    return s;
  };
  auto sidecar = [](const BundleSpec& s) {
    return le::forge::teethSidecarText(le::forge::teethBank(s, *s.teeth), *s.teeth);
  };
  auto pair = [&](const std::string& name, const std::string& side, const std::string& manifest) {
    put(dir, name, side + std::string(1, '\0') + manifest);
  };
  auto bundle = [&](const std::string& name, const BundleSpec& s) {
    pair(name, sidecar(s), le::forge::manifestText(s));
  };

  bundle("d8-c64.pair", spec(64, 8, 1));
  BundleSpec s = spec(64, 8, 2);
  s.teeth->declareGeometry = false;
  bundle("d8-c64-nogeometry.pair", s);
  s = spec(64, 6, 3);
  s.teeth->declare = false;  // the sidecar's codec object alone states the pixel format
  bundle("d6-c64-noblock.pair", s);
  bundle("d1-c32.pair", spec(32, 1, 4));
  s = spec(48, 3, 5);
  s.teeth->pixFmt = "gbrp";
  bundle("d3-c48-gbrp.pair", s);
  bundle("d24-c128.pair", spec(128, 24, 6));

  // Near misses: the loader's refusals each have a seed one edit away.
  const BundleSpec a = spec(64, 4, 7), b = spec(128, 4, 7);
  pair("disagreeing-geometry.pair", sidecar(a), le::forge::manifestText(b));
  s = spec(64, 2, 8);
  s.teeth->declare = false;
  s.teeth->pixFmt = "";
  bundle("no-pixfmt.pair", s);
  put(dir, "sidecar-only.json", sidecar(spec(32, 2, 9)));

  // The numeric edges, as edits of a forged one-donor sidecar beside a
  // manifest without a teeth block (so no stamp comparison stops them first).
  s = spec(32, 1, 10);
  s.teeth->declare = false;
  const std::string one = sidecar(s), plain = le::forge::manifestText(s);
  auto edited = [&](const std::string& name, const std::string& key, const std::string& value) {
    pair(name, withValue(one, key, value), plain);
  };
  // Loaded, its stamp incoherent (pad 0): the loader leaves that to the pass.
  edited("incoherent-stamp.pair", "geometry",
         R"({"canvas_w": 32, "canvas_h": 32, "window_x0": 8, "window_y0": 14, "window_w": 16, "window_h": 12, )"
         R"("pad": 0, "band_r0": 3, "band_r1": 9, "band_c0": 4, "band_c1": 12, "shift_margin": 1})");
  // Loaded, a 2400 x 2400 patch: a decoded bank just over 16 MiB.
  edited("large-patch.pair", "geometry",
         R"({"canvas_w": 4096, "canvas_h": 4096, "window_x0": 0, "window_y0": 0, "window_w": 2400, )"
         R"("window_h": 2400, "pad": 2, "band_r0": 2, "band_r1": 2398, "band_c0": 2, "band_c1": 2398, )"
         R"("shift_margin": 2})");
  // Refused: a patch whose byte count no int64 holds, and a count over the cap.
  edited("patch-too-large.pair", "geometry",
         R"({"canvas_w": 2147483647, "canvas_h": 2147483647, "window_x0": 0, "window_y0": 0, )"
         R"("window_w": 2147483647, "window_h": 2147483647, "pad": 1, "band_r0": -2147483648, )"
         R"("band_r1": 2147483647, "band_c0": -2147483648, "band_c1": 2147483647, "shift_margin": 2147483647})");
  edited("over-donor-cap.pair", "n_donors", "1025");
}

}  // namespace

int main(int argc, char** argv) {
  if (argc != 2) {
    std::fprintf(stderr, "usage: le-fuzz-seeds <corpus dir>\n");
    return 2;
  }
  try {
    const fs::path root = argv[1];
    jsonSeeds(root / "teeth_json");
    headSeeds(root / "head_pt");
    bankSeeds(root / "bank_track");
    sidecarSeeds(root / "bank_sidecar");
  } catch (const std::exception& e) {
    std::fprintf(stderr, "le-fuzz-seeds: %s\n", e.what());
    return 1;
  }
  return 0;
}
