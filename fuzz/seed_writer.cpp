// Writes the seed corpora of the harnesses: le-fuzz-seeds <dir> fills
// <dir>/<harness>/ with what the forge makes (head checkpoints of both
// architectures and the ones a reader must refuse, bank tracks of the
// harness's geometry and their near misses) and the teeth JSON members.
#include <cstdint>
#include <cstdio>
#include <exception>
#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

#include "bank_geometry.h"
#include "forge/forge_bank.h"
#include "forge/forge_head.h"

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
  } catch (const std::exception& e) {
    std::fprintf(stderr, "le-fuzz-seeds: %s\n", e.what());
    return 1;
  }
  return 0;
}
