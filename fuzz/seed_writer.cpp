// Writes the seed corpora of the harnesses: le-fuzz-seeds <dir> fills
// <dir>/<harness>/ with what the forge makes (head checkpoints of both
// architectures and the ones a reader must refuse, bank tracks of the
// harness's geometry and their near misses, sidecar and manifest pairs of
// forged bundles with teeth) and the teeth JSON members; containers, manifests,
// directors, lip templates, driver frames and engine metas for the rest.
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
#include "forge/forge_a2x.h"
#include "forge/forge_bank.h"
#include "forge/forge_head.h"
#include "forge/forge_internal.h"
#include "forge/forge_motion.h"
#include "forge/forge_teeth.h"
#include "jpg_geometry.h"

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

std::string slurp(const fs::path& p) {
  std::ifstream f(p, std::ios::binary);
  std::string s((std::istreambuf_iterator<char>(f)), std::istreambuf_iterator<char>());
  if (!f && !f.eof()) throw std::runtime_error("le-fuzz-seeds: cannot read " + p.string());
  return s;
}

// Containers: small members (a manifest, tables, a member in a subdirectory),
// the packer's synthetic manifest, and the near misses the reader refuses.
void imxSeeds(const fs::path& dir) {
  using le::forge::ImxEntry;
  using le::forge::ImxOptions;
  fs::create_directories(dir);
  le::forge::BundleSpec spec;
  const std::string manifest = le::forge::manifestText(spec);
  const std::vector<ImxEntry> members = {{"manifest.json", manifest, {}, {}},
                                         {"M.f32", std::string(24, '\x3f'), {}, {}},
                                         {"drive/si.i32", std::string(8, '\1'), {}, {}},
                                         {"target_frames/frame_000000.jpg", "\xff\xd8\xff\xd9", {}, {}}};
  auto imx = [&](const std::string& name, const std::vector<ImxEntry>& e, const ImxOptions& o = {}) {
    le::forge::writeImx((dir / name).string(), e, o);
  };
  imx("bundle.imx", members);
  imx("synthetic.imx", {{"manifest.json", "{\"_imx_synthetic_manifest\": true}", {}, {}}, members[1]});
  imx("empty.imx", {});
  imx("same-name.imx", {members[1], {"M.f32", "second", {}, {}}});
  imx("overlap.imx", {members[0], {"alias.json", "", 8, 40}});
  imx("unsafe.imx", {{"../escape", "x", {}, {}}});
  imx("dot-steps.imx", {{"./a//b/./c", "x", {}, {}}});
  imx("past-end.imx", {{"big", "x", {}, 1u << 20}});
  imx("v1.imx", members, {.version = 1});
  imx("bad-magic.imx", members, {.badMagic = true});
  imx("short-toc.imx", members, {.count = 9});
  imx("cut.imx", members, {.truncateTo = 30});
}

void manifestSeeds(const fs::path& dir) {
  using le::forge::BundleSpec;
  auto man = [&](const std::string& name, const BundleSpec& s) { put(dir, name, le::forge::manifestText(s)); };
  BundleSpec s;
  man("plain.json", s);
  s.legacyKeyNames = true;
  s.descriptiveNames = true;
  man("legacy.json", s);
  s = {};
  s.nestedBlocks = true;
  s.msrcW = 128;
  s.msrcH = 96;
  man("nested.json", s);
  s = {};
  s.stampPasteSpace = false;
  s.jpegDriver = false;
  s.mp4Driver = true;
  s.mp4Name = "driver.mkv";
  s.prior = le::forge::Prior::None;
  s.hevcPrior = true;
  s.hevcName = "prior.mov";
  man("movies-nostamp.json", s);
  s = {};
  s.teeth = le::forge::TeethSpec{};
  s.extraRootKeys = R"("P_rgb": "source.f16", "target_frames": "frames")";
  man("teeth-extra.json", s);
}

// Directors of every kind the forge writes, crop 16 so that they stay small.
void graphSeeds(const fs::path& dir) {
  using le::forge::DirectorOptions;
  using le::forge::DirectorVariant;
  le::forge::BundleSpec spec;
  spec.crop = 16;
  auto dirr = [&](const std::string& name, const DirectorOptions& o) {
    put(dir, name, le::forge::directorBytes(spec, o));
  };
  dirr("standard.onnx", {});
  dirr("b4-legacy-blend.onnx", {.batch = 4, .legacyBlend = true});
  dirr("featsynth.onnx", {.featSynth = true});
  dirr("symbolic.onnx", {.symbolicBatch = true, .symbolicKpRows = true, .int8Blur = false});
  dirr("truncated.onnx", {.truncated = true});
  const DirectorVariant variants[] = {
      DirectorVariant::TwoPrgbConcats, DirectorVariant::ShapeOfPrgb,    DirectorVariant::EscapingCone,
      DirectorVariant::TwoTipSamplers, DirectorVariant::ZerosPadding,   DirectorVariant::TwoExits,
      DirectorVariant::LoneGrid,       DirectorVariant::ExitArithmetic, DirectorVariant::TwoCubicResizes,
      DirectorVariant::OffScales,      DirectorVariant::HasLipDelivery};
  for (const DirectorVariant v : variants)
    dirr("variant-" + std::to_string(int(v)) + ".onnx", {.variant = v});
}

// Lip templates of both forms on the harness's canvas (crop 32).
void lipSeeds(const fs::path& dir) {
  le::forge::BundleSpec s;
  s.crop = 32;
  s.lipTemplate = le::forge::LipTemplate::Plain;
  put(dir, "plain.json", le::forge::lipTemplateText(s));
  s.lipTemplate = le::forge::LipTemplate::Mapped;
  s.seed = 7;
  put(dir, "mapped.json", le::forge::lipTemplateText(s));
}

// Driver frames as the forge writes them: the harness's size at a few
// qualities, and one of another size (refused).
void jpgSeeds(const fs::path& dir) {
  using namespace le::fuzz;
  fs::create_directories(dir);
  le::forge::BundleSpec s;
  s.W = kJpgW;
  s.H = kJpgH;
  s.crop = 16;
  for (const int q : {92, 50, 10}) {
    const std::vector<uint8_t> f = le::forge::driverFrame(s, q % s.nt);
    le::forge::detail::writeJpeg((dir / ("q" + std::to_string(q) + ".jpg")).string(), f.data(), s.W, s.H, q);
  }
  s.W = 24;
  s.H = 16;
  const std::vector<uint8_t> f = le::forge::driverFrame(s, 0);
  le::forge::detail::writeJpeg((dir / "other-size.jpg").string(), f.data(), s.W, s.H, 92);
}

// The engines' meta texts: the motion engine's from the forge's writer, the
// expression engine's out of a forged engine directory.
void metaSeeds(const fs::path& dir, const fs::path& scratch) {
  le::forge::MotionDirOptions m;
  put(dir, "motion.json", le::forge::motionMetaText(m));
  m.nt = 3;
  m.nEmo = 1;
  m.sBridge = 0.75f;
  m.deltaPitch = -2.5f;
  put(dir, "motion-pitch.json", le::forge::motionMetaText(m));
  le::forge::A2xDirOptions a;
  a.shortWindow = false;
  le::forge::writeA2xDir((scratch / "a2x").string(), a);
  put(dir, "a2x.json", slurp(scratch / "a2x" / "a2x_meta.json"));
  a.writeLeft = false;
  a.metaWidth = -1;
  a.silencePrime = 3;
  le::forge::writeA2xDir((scratch / "a2x-noleft").string(), a);
  put(dir, "a2x-noleft.json", slurp(scratch / "a2x-noleft" / "a2x_meta.json"));
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
    imxSeeds(root / "imx");
    manifestSeeds(root / "manifest");
    graphSeeds(root / "graph");
    lipSeeds(root / "lip_contour");
    jpgSeeds(root / "jpg_frame");
    const fs::path scratch = root / ".scratch";
    metaSeeds(root / "engine_meta", scratch);
    fs::copy(root / "engine_meta", root / "json");
    fs::remove_all(scratch);
  } catch (const std::exception& e) {
    std::fprintf(stderr, "le-fuzz-seeds: %s\n", e.what());
    return 1;
  }
  return 0;
}
