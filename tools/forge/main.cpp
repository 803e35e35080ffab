// le-forge: writes synthetic identity bundles, the demo identity, and IMX containers.
#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <stdexcept>
#include <string>
#include <vector>

#include "forge.h"
#include "forge_a2x.h"
#include "forge_fca.h"
#include "forge_motion.h"

namespace fs = std::filesystem;
using le::forge::BundleSpec;

namespace {

const char* kUsage =
    "usage:\n"
    "  le-forge bundle <dir> [--nt N] [--w W] [--h H] [--crop S] [--frames F] [--seed K]\n"
    "                        [--descriptive] [--prior raw|fs|none] [--with-fs-red]\n"
    "                        [--msrc-w W] [--msrc-h H] [--no-stamp] [--legacy-keys]\n"
    "                        [--nested] [--no-jpeg] [--portrait image] [--agent NAME]\n"
    "                        [--mp4] [--mp4-name NAME] [--mp4-count declared|absent] [--mp4-frames N]\n"
    "                        [--mp4-pixfmt yuv420p|yuvj420p|nv12] [--mp4-crf N] [--mp4-lossless]\n"
    "                        [--hevc-prior] [--hevc-name NAME] [--hevc-count declared|absent]\n"
    "                        [--hevc-frames N] [--hevc-qp N] [--hevc-420]\n"
    "                        [--models KEY[,KEY...]] [--legacy-blend] [--lip none|plain|mapped]\n"
    "                        [--teeth N]\n"
    "      write a synthetic identity bundle (defaults: nt 4, 64x48, crop 32, frames 6, seed 1);\n"
    "      --mp4 adds the H.264 driver movie, --hevc-prior the HEVC 4:4:4 source-frame movie\n"
    "      (with --prior none it is the only prior); --hevc-qp makes it lossy (default lossless);\n"
    "      --models writes one director per key (b1, b4, b24_fp32: model_<key>.onnx, batch after 'b'),\n"
    "      --legacy-blend gives them the MatMul blend of older directors;\n"
    "      --lip writes lip_template.v1.json (plain polygon, or with an anchor-linear lip_map);\n"
    "      --teeth writes the four teeth members with a bank of N donors (crop 16 or more) and the\n"
    "      manifest's tessera and unified blocks\n"
    "  le-forge mp4 <file> [bundle options]\n"
    "      write only the driver movie of the bundle those options describe\n"
    "  le-forge demo <dir> [--portrait image] [--mp4] [--teeth N]\n"
    "      write the demo identity (1280x720, crop 512, 50 frames, directors b1 and b4) around the\n"
    "      demo portrait, with its lip contour template and the four teeth members, whose N donors\n"
    "      (default 64) are cut from the portrait's own smile;\n"
    "      --mp4 adds target_frames.mp4 beside the JPEG frames\n"
    "  le-forge motion <dir> [--nt N] [--seed K] [--demo]\n"
    "      write a motion engine directory for a bundle of the same nt and seed (defaults: nt 8,\n"
    "      seed 1); --demo: the demo identity's nt and seed\n"
    "  le-forge a2x <dir> [--nt N] [--seed K]\n"
    "      write an expression engine directory (defaults: nt 4, seed 1)\n"
    "  le-forge fca <dir>\n"
    "      write the whole-clip delta models (fca_extractor.onnx, fca_delta.onnx)\n"
    "  le-forge pack <dir> <out.imx>\n"
    "      pack every regular file under <dir> into an IMX v2 container\n";

struct UsageError : std::runtime_error {
  using std::runtime_error::runtime_error;
};

// The options after "<command> <dir>": on(option, value) takes each one (value()
// reads the word after it) and answers whether it knew it.
template <class On>
void eachOption(const std::vector<std::string>& a, On on) {
  for (size_t i = 2; i < a.size(); ++i) {
    const std::string& o = a[i];
    auto value = [&]() -> std::string {
      if (i + 1 >= a.size()) throw UsageError(o + " wants a value");
      return a[++i];
    };
    if (!on(o, value)) throw UsageError("unknown option '" + o + "'");
  }
}

int toInt(const std::string& opt, const std::string& v, long lo, long hi) {
  char* end = nullptr;
  errno = 0;
  long n = std::strtol(v.c_str(), &end, 10);
  if (v.empty() || *end != '\0' || errno != 0 || n < lo || n > hi)
    throw UsageError(opt + " wants an integer in [" + std::to_string(lo) + ", " + std::to_string(hi) + "], got '" + v + "'");
  return int(n);
}

// The demo portrait: --portrait, else third_party/demo/astronaut.png under the
// working directory, else beside this source tree.
std::string defaultPortrait() {
  const std::string rel = "third_party/demo/astronaut.png";
  if (fs::exists(rel)) return rel;
  fs::path src = fs::path(__FILE__).parent_path().parent_path().parent_path() / rel;
  if (fs::exists(src)) return src.string();
  throw std::runtime_error("cannot find the demo portrait " + rel + " (run from the repository or pass --portrait)");
}

int run(int argc, char** argv) {
  std::vector<std::string> a(argv + 1, argv + argc);
  if (a.empty()) throw UsageError("no command given");
  const std::string cmd = a[0];
  if (cmd == "-h" || cmd == "--help" || cmd == "help") {
    std::fputs(kUsage, stdout);
    return 0;
  }
  if (cmd == "pack") {
    if (a.size() != 3) throw UsageError("pack wants <dir> <out.imx>");
    le::forge::packDir(a[1], a[2]);
    std::printf("packed %zu members from %s into %s\n", le::forge::packList(a[1]).size(), a[1].c_str(), a[2].c_str());
    return 0;
  }
  if (cmd == "motion") {
    if (a.size() < 2 || a[1].rfind("--", 0) == 0) throw UsageError("motion wants a target directory");
    le::forge::MotionDirOptions m;
    eachOption(a, [&](const std::string& o, auto value) {
      if (o == "--nt") m.nt = toInt(o, value(), 1, 1000000);
      else if (o == "--seed") m.seed = uint32_t(toInt(o, value(), 0, 2147483647));
      else if (o == "--demo") {
        // The engine's source keypoints must be the demo bundle's: its nt, seed and portrait.
        const BundleSpec demo = le::forge::demoSpec("");
        m.nt = demo.nt;
        m.seed = demo.seed;
        m.portrait = defaultPortrait();
      } else
        return false;
      return true;
    });
    le::forge::writeMotionDir(a[1], m);
    std::printf("wrote %s: motion engine, nt %d, seed %u\n", a[1].c_str(), m.nt, unsigned(m.seed));
    return 0;
  }
  if (cmd == "a2x") {
    if (a.size() < 2 || a[1].rfind("--", 0) == 0) throw UsageError("a2x wants a target directory");
    le::forge::A2xDirOptions x;
    eachOption(a, [&](const std::string& o, auto value) {
      if (o == "--nt") x.nt = toInt(o, value(), 1, 1000000);
      else if (o == "--seed") x.seed = uint32_t(toInt(o, value(), 0, 2147483647));
      else return false;
      return true;
    });
    le::forge::writeA2xDir(a[1], x);
    std::printf("wrote %s: expression engine, nt %d, seed %u\n", a[1].c_str(), x.nt, unsigned(x.seed));
    return 0;
  }
  if (cmd == "fca") {
    if (a.size() < 2 || a[1].rfind("--", 0) == 0) throw UsageError("fca wants a target directory");
    eachOption(a, [](const std::string&, auto) { return false; });
    const auto m = le::forge::writeFcaModels(a[1]);
    std::printf("wrote %s and %s: whole-clip delta models\n", m.extractor.c_str(), m.model.c_str());
    return 0;
  }
  if (cmd != "bundle" && cmd != "demo" && cmd != "mp4") throw UsageError("unknown command '" + cmd + "'");
  if (a.size() < 2 || a[1].rfind("--", 0) == 0)
    throw UsageError(cmd + (cmd == "mp4" ? " wants a target file" : " wants a target directory"));
  const std::string dir = a[1];
  BundleSpec spec;
  std::string portrait;
  bool portraitGiven = false, demoMp4 = false;
  int demoDonors = 64;
  auto frameCount = [](const std::string& o, const std::string& v) {
    if (v == "declared") return le::forge::FrameCount::Declared;
    if (v == "absent") return le::forge::FrameCount::Absent;
    throw UsageError(o + " wants declared or absent, got '" + v + "'");
  };
  for (size_t i = 2; i < a.size(); ++i) {
    const std::string& o = a[i];
    auto value = [&]() -> std::string {
      if (i + 1 >= a.size()) throw UsageError(o + " wants a value");
      return a[++i];
    };
    if (o == "--portrait") {
      portrait = value();
      portraitGiven = true;
      continue;
    }
    if (o == "--mp4" && cmd != "mp4") {
      spec.mp4Driver = demoMp4 = true;
      continue;
    }
    if (o == "--teeth" && cmd == "demo") {
      demoDonors = toInt(o, value(), 1, 1024);
      continue;
    }
    if (cmd == "demo") throw UsageError("demo takes only --portrait, --mp4 and --teeth, not '" + o + "'");
    if (o == "--nt") spec.nt = toInt(o, value(), 1, 1000000);
    else if (o == "--w") spec.W = toInt(o, value(), 4, 16384);
    else if (o == "--h") spec.H = toInt(o, value(), 4, 16384);
    else if (o == "--crop") spec.crop = toInt(o, value(), 4, 4096);
    else if (o == "--frames") spec.frames = toInt(o, value(), 0, 100000000);
    else if (o == "--seed") spec.seed = uint32_t(toInt(o, value(), 0, 2147483647));
    else if (o == "--msrc-w") spec.msrcW = toInt(o, value(), 1, 65536);
    else if (o == "--msrc-h") spec.msrcH = toInt(o, value(), 1, 65536);
    else if (o == "--agent") spec.agent = value();
    else if (o == "--descriptive") spec.descriptiveNames = true;
    else if (o == "--with-fs-red") spec.withFsRed = true;
    else if (o == "--no-stamp") spec.stampPasteSpace = false;
    else if (o == "--legacy-keys") spec.legacyKeyNames = true;
    else if (o == "--nested") spec.nestedBlocks = true;
    else if (o == "--no-jpeg") spec.jpegDriver = false;
    else if (o == "--mp4-name") spec.mp4Name = value();
    else if (o == "--mp4-count") spec.mp4.count = frameCount(o, value());
    else if (o == "--mp4-frames") spec.mp4.frames = toInt(o, value(), 1, 1000000);
    else if (o == "--mp4-crf") spec.mp4.crf = toInt(o, value(), 0, 51);
    else if (o == "--mp4-lossless") spec.mp4.lossless = true;
    else if (o == "--mp4-pixfmt") {
      const std::string v = value();
      if (v == "yuv420p") spec.mp4.pixFmt = le::forge::DriverPixFmt::Yuv420p;
      else if (v == "yuvj420p") spec.mp4.pixFmt = le::forge::DriverPixFmt::Yuvj420p;
      else if (v == "nv12") spec.mp4.pixFmt = le::forge::DriverPixFmt::Nv12;
      else throw UsageError("--mp4-pixfmt wants yuv420p, yuvj420p or nv12, got '" + v + "'");
    } else if (o == "--hevc-prior") spec.hevcPrior = true;
    else if (o == "--hevc-name") spec.hevcName = value();
    else if (o == "--hevc-count") spec.hevc.count = frameCount(o, value());
    else if (o == "--hevc-frames") spec.hevc.frames = toInt(o, value(), 1, 1000000);
    else if (o == "--hevc-qp") spec.hevc.qp = toInt(o, value(), 0, 51), spec.hevc.lossless = false;
    else if (o == "--hevc-420") spec.hevc.subsampled = true;
    else if (o == "--legacy-blend") spec.directorLegacyBlend = true;
    else if (o == "--teeth") {
      le::forge::TeethSpec t;
      t.donors = toInt(o, value(), 1, 1024);
      spec.teeth = t;
    }
    else if (o == "--lip") {
      const std::string v = value();
      if (v == "none") spec.lipTemplate = le::forge::LipTemplate::None;
      else if (v == "plain") spec.lipTemplate = le::forge::LipTemplate::Plain;
      else if (v == "mapped") spec.lipTemplate = le::forge::LipTemplate::Mapped;
      else throw UsageError("--lip wants none, plain or mapped, got '" + v + "'");
    }
    else if (o == "--models") {
      const std::string v = value();
      spec.directorKeys.clear();
      for (size_t at = 0; at <= v.size();) {
        const size_t comma = std::min(v.find(',', at), v.size());
        const std::string key = v.substr(at, comma - at);
        if (key.empty()) throw UsageError("--models wants keys such as b1,b4, got '" + v + "'");
        spec.directorKeys.push_back(key);
        at = comma + 1;
      }
    }
    else if (o == "--prior") {
      const std::string v = value();
      if (v == "raw") spec.prior = le::forge::Prior::Raw;
      else if (v == "fs") spec.prior = le::forge::Prior::FeatSynth;
      else if (v == "none") spec.prior = le::forge::Prior::None;
      else throw UsageError("--prior wants raw, fs or none, got '" + v + "'");
    } else
      throw UsageError("unknown option '" + o + "'");
  }
  if (cmd == "demo") {
    spec = le::forge::demoSpec(portraitGiven ? portrait : defaultPortrait());
    spec.mp4Driver = demoMp4;
    le::forge::TeethSpec teeth;
    teeth.donors = demoDonors;
    spec.teeth = teeth;
  } else if (portraitGiven) {
    spec.portrait = portrait;
  }
  if (cmd == "mp4") {
    le::forge::writeDriverMp4(dir, spec, spec.mp4);
    std::printf("wrote %s: %d frames %dx%d, seed %u\n", dir.c_str(), spec.mp4.frames > 0 ? spec.mp4.frames : spec.nt,
                spec.W, spec.H, unsigned(spec.seed));
    return 0;
  }
  for (const std::string& key : spec.directorKeys) {
    try {
      le::forge::directorOptionsForKey(spec, key);
    } catch (const std::exception& e) {
      throw UsageError(std::string(e.what()).substr(7));
    }
  }
  le::forge::writeBundle(dir, spec);
  std::printf("wrote %s: nt %d, %dx%d, crop %d, frames %d, seed %u%s\n", dir.c_str(), spec.nt, spec.W, spec.H,
              spec.crop, spec.frames, unsigned(spec.seed), spec.portrait.empty() ? "" : (", portrait " + spec.portrait).c_str());
  for (const std::string& key : spec.directorKeys)
    std::printf("  director %s: %s\n", key.c_str(), le::forge::memberFile(spec, "model_" + key + ".onnx").c_str());
  if (spec.teeth)
    std::printf("  teeth: %d donors%s\n", spec.teeth->donors,
                spec.portrait.empty() ? "" : ", cut from the portrait's own smile");
  return 0;
}

}  // namespace

int main(int argc, char** argv) {
  try {
    return run(argc, argv);
  } catch (const UsageError& e) {
    std::fprintf(stderr, "le-forge: %s\n%s", e.what(), kUsage);
    return 2;
  } catch (const std::exception& e) {
    std::string msg = e.what();
    if (msg.rfind("forge: ", 0) == 0) msg.erase(0, 7);
    for (char& c : msg)
      if (c == '\n') c = ' ';
    std::fprintf(stderr, "le-forge: %s\n", msg.c_str());
    return 1;
  }
}
