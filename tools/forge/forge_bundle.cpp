// writeBundle and the manifest: lays out a complete identity bundle directory
// that honours the member contracts of the bundle reader and the driver sources.
#include <algorithm>
#include <atomic>
#include <charconv>
#include <cmath>
#include <cstdio>
#include <exception>
#include <filesystem>
#include <fstream>
#include <mutex>
#include <stdexcept>
#include <thread>

#include "forge_internal.h"
#include "forge_teeth.h"

namespace fs = std::filesystem;

namespace le::forge {
namespace {

using detail::Rng;
using detail::Scene;
using detail::writeFile;

// The member alias table (kExact), requested name -> descriptive name.
constexpr const char* kAliases[][2] = {
    {"P.f16", "source_frames.f16"},         {"P_hevc.mov", "source_frames.hevc"},
    {"a2x_enc_stream.onnx", "audio_motion_encoder.onnx"}, {"a2x_dec.onnx", "audio_motion_decoder.onnx"},
    {"M.f32", "paste_transform.f32"},       {"mask_512.u8", "paste_mask.u8"},
    {"pooled64.f16", "pooled_features.f16"}, {"fs_red.f16", "feature_synth.f16"},
    {"xs_target.bin", "target_keypoints.bin"},
};

std::string num(double v) {
  if (v == std::floor(v) && std::abs(v) < 1e15) return std::to_string(int64_t(v));
  char buf[64];
  auto r = std::to_chars(buf, buf + sizeof buf, v);
  return std::string(buf, r.ptr);
}
std::string numf(float v) {
  if (v == std::floor(v) && std::abs(v) < 1e7f) return std::to_string(int64_t(v));
  char buf[64];
  auto r = std::to_chars(buf, buf + sizeof buf, v);  // shortest text that reads back as v
  return std::string(buf, r.ptr);
}
std::string quote(const std::string& s) { return detail::jsonQuote(s); }

void ensureParent(const fs::path& p) {
  std::error_code ec;
  fs::create_directories(p.parent_path(), ec);
  if (ec) throw std::runtime_error("forge: cannot create " + p.parent_path().string() + " (" + ec.message() + ")");
}

// Runs fn(i) for i in [0, n) over a few threads; rethrows the first failure.
template <class Fn>
void parallelFor(int n, Fn fn) {
  const int threads = std::max(1, std::min<int>(n, int(std::thread::hardware_concurrency())));
  if (threads <= 1) {
    for (int i = 0; i < n; ++i) fn(i);
    return;
  }
  std::atomic<int> next{0};
  std::exception_ptr err;
  std::mutex mu;
  std::vector<std::thread> pool;
  for (int t = 0; t < threads; ++t)
    pool.emplace_back([&] {
      for (int i; (i = next.fetch_add(1)) < n;) {
        try {
          fn(i);
        } catch (...) {
          std::lock_guard<std::mutex> lk(mu);
          if (!err) err = std::current_exception();
          next = n;
        }
      }
    });
  for (auto& th : pool) th.join();
  if (err) std::rethrow_exception(err);
}

// Deterministic feature tables (pooled64, fs_red): smooth waves plus seeded noise.
std::vector<uint16_t> featureBlock(uint32_t seed, uint64_t stream, int block, size_t count) {
  Rng rng(seed, stream * 1000003ull + uint64_t(block));
  const double ph = rng.uni() * 6.283185307179586, f1 = 0.002 + 0.01 * rng.uni(), f2 = 0.0003 + 0.001 * rng.uni();
  std::vector<uint16_t> v(count);
  for (size_t k = 0; k < count; ++k) {
    const double x = 0.6 * std::sin(double(k) * f1 + ph) * std::cos(double(k) * f2) + 0.15 * rng.sym();
    v[k] = le::f32ToF16(float(x));
  }
  return v;
}

std::string tesseraBlock(int S) {
  // A coherent teeth geometry stamp around the mouth of the crop.
  const int ww = std::max(1, int(std::lround(0.30 * S))), wh = std::max(1, int(std::lround(0.20 * S)));
  const int wx = std::min(S - ww, int(std::lround(0.35 * S))), wy = std::min(S - wh, int(std::lround(0.56 * S)));
  const int pad = std::max(1, S / 32);
  const int r0 = wh / 4, r1 = std::max(r0 + 1, 3 * wh / 4), c0 = ww / 8, c1 = std::max(c0 + 1, 7 * ww / 8);
  std::string g = "{\"canvas_w\": " + num(S) + ", \"canvas_h\": " + num(S) + ", \"window_x0\": " + num(wx) +
                  ", \"window_y0\": " + num(wy) + ", \"window_w\": " + num(ww) + ", \"window_h\": " + num(wh) +
                  ", \"pad\": " + num(pad) + ", \"band_r0\": " + num(r0) + ", \"band_r1\": " + num(r1) +
                  ", \"band_c0\": " + num(c0) + ", \"band_c1\": " + num(c1) + ", \"shift_margin\": " + num(pad) + "}";
  return "{\n"
         "    \"version\": \"tessera.v1\",\n"
         "    \"members\": {\"bank_track\": \"tessera_bank.v1.mp4\", \"bank_sidecar\": \"tessera_bank.v1.json\", "
         "\"head_weights\": \"tessera_head.v1.pt\", \"head_config\": \"tessera_head.v1.json\"},\n"
         "    \"planes\": [\"linux\", \"ios\"],\n"
         "    \"bank_container\": \"mp4\",\n"
         "    \"bank_packing\": \"rgb24_frames\",\n"
         "    \"bank_codec\": \"h264\",\n"
         "    \"bank_pix_fmt\": \"yuv444p\",\n"
         "    \"geometry\": " + g + "\n  }";
}

std::string unifiedBlock(int S) {
  // The compose geometry (corpus "v2"); lips are keypoint rows 12..15. The
  // compose canvas is the crop. "crop" holds an object, never a number, so the
  // loader's scalar key rule never reads it as the crop side.
  return "{\n"
         "    \"version\": \"unified-compose.v1\",\n"
         "    \"crop\": {\"canvas\": " + num(S) + "},\n"
         "    \"pi\": {\"mode\": \"prop\", \"corner_recovery\": false, \"prop_gate_scale\": 1.15, "
         "\"lip_idx\": [12, 13, 14, 15], \"lip_geom_params\": [0.1, 0.08, 0.074]}\n  }";
}

}  // namespace

int msrcWidth(const BundleSpec& s) { return s.msrcW > 0 ? s.msrcW : s.W; }
int msrcHeight(const BundleSpec& s) { return s.msrcH > 0 ? s.msrcH : s.H; }
int ksizeOf(const BundleSpec& s) {
  if (s.ksize > 0) return s.ksize;
  return s.crop >= 26 ? 13 : std::max(3, (s.crop / 2) | 1);
}

std::string memberFile(const BundleSpec& spec, const std::string& name) {
  if (!spec.descriptiveNames) return name;
  for (const auto& a : kAliases)
    if (name == a[0]) return a[1];
  if (name.rfind("drive/", 0) == 0) {
    std::string rest = name.substr(6), stem = rest, ext;
    if (auto dot = rest.find('.'); dot != std::string::npos) stem = rest.substr(0, dot), ext = rest.substr(dot);
    if (stem == "xs") stem = "source_keypoints";
    else if (stem == "xd") stem = "driven_keypoints";
    else if (stem == "si") stem = "source_index";
    return "idle_loop/" + stem + ext;
  }
  if (name.rfind("model_b", 0) == 0 && name.size() >= 13 &&
      name.compare(name.size() - 5, 5, ".onnx") == 0) {
    std::string mid = name.substr(7, name.size() - 12), batch = mid, suffix;
    if (auto u = mid.find('_'); u != std::string::npos) batch = mid.substr(0, u), suffix = mid.substr(u + 1);
    return "render_model.batch" + batch + (suffix.empty() ? "" : "." + suffix) + ".onnx";
  }
  return name;
}

std::string manifestText(const BundleSpec& spec) {
  detail::validateSpec(spec);
  const bool legacy = spec.legacyKeyNames;
  std::string agent = spec.agent;
  if (agent.empty())
    agent = spec.portrait.empty() ? "forge-synthetic" : "forge-" + fs::path(spec.portrait).stem().string();
  std::vector<std::pair<std::string, std::string>> kv;
  kv.emplace_back("format", quote("le-bundle-v0"));
  kv.emplace_back("agent", quote(agent));
  kv.emplace_back("generator", quote("le-forge v1"));
  kv.emplace_back("seed", num(spec.seed));
  kv.emplace_back(legacy ? "frame_count" : "NT", num(spec.nt));
  kv.emplace_back("H", num(spec.H));
  kv.emplace_back("W", num(spec.W));
  kv.emplace_back(legacy ? "crop_size" : "crop", num(spec.crop));
  kv.emplace_back("amount", numf(spec.amount));
  kv.emplace_back("sigma", numf(spec.sigma));
  kv.emplace_back("ksize", num(ksizeOf(spec)));
  kv.emplace_back("frames", num(spec.frames));
  kv.emplace_back("fps", "25");
  kv.emplace_back("kp_rows", "21");
  if (spec.stampPasteSpace) {
    kv.emplace_back(legacy ? "paste_source_width" : "M_src_w", num(msrcWidth(spec)));
    kv.emplace_back(legacy ? "paste_source_height" : "M_src_h", num(msrcHeight(spec)));
  }
  if (spec.prior == Prior::Raw) kv.emplace_back("P_rgb", quote(memberFile(spec, "P.f16")));
  if (spec.jpegDriver) kv.emplace_back("target_frames", quote(spec.jpegDirName));
  if (spec.mp4Driver && spec.mp4Name != "target_frames.mp4") kv.emplace_back("target_frames_mp4", quote(spec.mp4Name));
  if (spec.hevcPrior) kv.emplace_back("P_hevc", quote(spec.hevcName));
  if (spec.teeth) {
    // The teeth's block states the bank's own stamp; it replaces the generic one.
    if (spec.teeth->declare) kv.emplace_back("tessera", teethManifestBlock(teethStamp(spec), *spec.teeth));
    kv.emplace_back("unified", unifiedBlock(spec.crop));
  } else if (spec.nestedBlocks) {
    kv.emplace_back("tessera", tesseraBlock(spec.crop));
    kv.emplace_back("unified", unifiedBlock(spec.crop));
  }
  std::string out = "{\n";
  for (size_t i = 0; i < kv.size(); ++i)
    out += "  " + quote(kv[i].first) + ": " + kv[i].second + (i + 1 < kv.size() || !spec.extraRootKeys.empty() ? ",\n" : "\n");
  if (!spec.extraRootKeys.empty()) out += "  " + spec.extraRootKeys + "\n";
  out += "}\n";
  return out;
}

std::vector<uint8_t> featheredDisc(int side) {
  if (side < 1) throw std::runtime_error("forge: featheredDisc side must be >= 1");
  std::vector<uint8_t> m(size_t(side) * side);
  const double c = (side - 1) / 2.0, r = side / 2.0, in = 0.78, out = 0.97;
  for (int y = 0; y < side; ++y)
    for (int x = 0; x < side; ++x) {
      const double d = std::hypot(x - c, y - c) / r;
      double e = std::clamp((out - d) / (out - in), 0.0, 1.0);
      e = e * e * (3 - 2 * e);
      m[size_t(y) * side + x] = uint8_t(std::lround(255.0 * e));
    }
  return m;
}

std::vector<float> pasteTransformsOnFrame(const BundleSpec& spec) { return Scene(spec).frameTransforms(); }

std::vector<float> pasteTransforms(const BundleSpec& spec) {
  std::vector<float> m = pasteTransformsOnFrame(spec);
  const double kx = double(msrcWidth(spec)) / spec.W, ky = double(msrcHeight(spec)) / spec.H;
  if (kx != 1.0 || ky != 1.0)
    for (size_t i = 0; i < m.size(); i += 6) {
      for (int k = 0; k < 3; ++k) m[i + k] = float(m[i + k] * kx);
      for (int k = 3; k < 6; ++k) m[i + k] = float(m[i + k] * ky);
    }
  return m;
}

namespace {
std::vector<float> targetKeypointsOf(const Scene& sc) {
  std::vector<float> kp;
  kp.reserve(size_t(sc.spec.nt) * 63);
  for (int i = 0; i < sc.spec.nt; ++i) {
    auto k = sc.keypoints(i);
    kp.insert(kp.end(), k.begin(), k.end());
  }
  return kp;
}

DriveTables driveTablesOf(const BundleSpec& spec, const std::vector<float>& target) {
  DriveTables d;
  const int F = spec.frames, nt = spec.nt;
  d.si.resize(F);
  d.xs.resize(size_t(F) * 63);
  d.xd.resize(size_t(F) * 63);
  Rng rng(spec.seed, 3);
  const double speech = 9.0 + 6.0 * rng.uni(), yawPeriod = 30.0 + 20.0 * rng.uni(), ph = 6.283185307179586 * rng.uni();
  for (int r = 0; r < F; ++r) {
    const int si = r % nt;  // the idle loop walks the identity's frames in order
    d.si[r] = si;
    const float* xs = &target[size_t(si) * 63];
    float* s = &d.xs[size_t(r) * 63];
    float* x = &d.xd[size_t(r) * 63];
    std::copy(xs, xs + 63, s);
    std::copy(xs, xs + 63, x);
    const double open = 0.035 * 0.5 * (1 - std::cos(6.283185307179586 * r / speech + ph));
    const double yaw = 0.01 * std::sin(6.283185307179586 * r / yawPeriod + ph);
    x[15 * 3 + 1] += float(open);                                  // lower lip down
    x[13 * 3 + 1] -= float(0.15 * open);                           // upper lip up a little
    for (int c : {17, 18, 19}) x[c * 3 + 1] += float(0.8 * open);  // chin follows the jaw
    x[12 * 3 + 0] += float(0.2 * open), x[14 * 3 + 0] -= float(0.2 * open);
    x[12 * 3 + 1] += float(0.3 * open), x[14 * 3 + 1] += float(0.3 * open);
    for (int k = 0; k < 21; ++k) {
      x[k * 3 + 0] += float(yaw + 0.002 * rng.sym());
      x[k * 3 + 1] += float(0.002 * rng.sym());
      x[k * 3 + 2] += float(0.001 * rng.sym());
    }
  }
  return d;
}
}  // namespace

std::vector<float> targetKeypoints(const BundleSpec& spec) { return targetKeypointsOf(Scene(spec)); }

std::vector<uint16_t> pooledFeatures(const BundleSpec& spec, int i) {
  if (i < 0 || i >= spec.nt) throw std::runtime_error("forge: pooledFeatures index out of range");
  return featureBlock(spec.seed, 5, i, 65536);
}
std::vector<uint16_t> fsRedFeatures(const BundleSpec& spec, int i) {
  if (i < 0 || i >= spec.nt) throw std::runtime_error("forge: fsRedFeatures index out of range");
  return featureBlock(spec.seed, 7, i, 262144);
}
DriveTables driveTables(const BundleSpec& spec) { return driveTablesOf(spec, targetKeypoints(spec)); }

std::vector<uint8_t> driverFrame(const BundleSpec& spec, int i) {
  if (i < 0 || i >= spec.nt) throw std::runtime_error("forge: driverFrame index out of range");
  return Scene(spec).driverFrame(i);
}
std::vector<uint16_t> sourceFrame(const BundleSpec& spec, int i) {
  if (i < 0 || i >= spec.nt) throw std::runtime_error("forge: sourceFrame index out of range");
  return Scene(spec).sourceFrame(i);
}

void writeBundle(const std::string& dirStr, const BundleSpec& spec) {
  detail::validateSpec(spec);
  for (const std::string& key : spec.directorKeys) directorOptionsForKey(spec, key);  // bad keys fail first
  const Scene sc(spec);  // first: a bad portrait fails before anything is written
  const fs::path dir(dirStr);
  std::error_code ec;
  fs::create_directories(dir, ec);
  if (ec || !fs::is_directory(dir)) throw std::runtime_error("forge: cannot create bundle directory " + dirStr);
  const int nt = spec.nt, S = spec.crop;
  auto member = [&](const std::string& shortName) {
    fs::path p = dir / memberFile(spec, shortName);
    ensureParent(p);
    return p;
  };

  const std::string manifest = manifestText(spec);
  writeFile(dir / "manifest.json", manifest.data(), manifest.size());

  // Source frames: nt blocks of 3*S*S halves, produced a few frames at a time.
  if (spec.prior == Prior::Raw) {
    std::ofstream f(member("P.f16"), std::ios::binary | std::ios::trunc);
    if (!f) throw std::runtime_error("forge: cannot write " + member("P.f16").string());
    const int batch = std::max(1, int(std::thread::hardware_concurrency()));
    for (int i0 = 0; i0 < nt; i0 += batch) {
      const int n = std::min(batch, nt - i0);
      std::vector<std::vector<uint16_t>> blocks(n);
      parallelFor(n, [&](int k) { blocks[k] = sc.sourceFrame(i0 + k); });
      for (auto& b : blocks) f.write(reinterpret_cast<const char*>(b.data()), std::streamsize(b.size() * 2));
    }
    f.flush();
    if (!f) throw std::runtime_error("forge: short write " + member("P.f16").string());
  }
  auto writeFeatures = [&](const std::string& name, uint64_t stream, size_t per) {
    std::ofstream f(member(name), std::ios::binary | std::ios::trunc);
    if (!f) throw std::runtime_error("forge: cannot write " + member(name).string());
    for (int i = 0; i < nt; ++i) {
      auto b = featureBlock(spec.seed, stream, i, per);
      f.write(reinterpret_cast<const char*>(b.data()), std::streamsize(b.size() * 2));
    }
    f.flush();
    if (!f) throw std::runtime_error("forge: short write " + member(name).string());
  };
  if (spec.prior == Prior::FeatSynth || spec.withFsRed) writeFeatures("fs_red.f16", 7, 262144);
  writeFeatures("pooled64.f16", 5, 65536);

  // Paste transforms, authored on the msrc canvas.
  {
    std::vector<float> m = sc.frameTransforms();
    const double kx = double(msrcWidth(spec)) / spec.W, ky = double(msrcHeight(spec)) / spec.H;
    if (kx != 1.0 || ky != 1.0)
      for (size_t i = 0; i < m.size(); i += 6) {
        for (int k = 0; k < 3; ++k) m[i + k] = float(m[i + k] * kx);
        for (int k = 3; k < 6; ++k) m[i + k] = float(m[i + k] * ky);
      }
    writeFile(member("M.f32"), m.data(), m.size() * 4);
  }
  {
    auto mask = featheredDisc(S);
    writeFile(member("mask_512.u8"), mask.data(), mask.size());
  }
  const std::vector<float> target = targetKeypointsOf(sc);
  writeFile(member("xs_target.bin"), target.data(), target.size() * 4);
  if (spec.lipTemplate != LipTemplate::None) {
    const std::string lip = lipTemplateText(spec, target);
    writeFile(dir / "lip_template.v1.json", lip.data(), lip.size());
  }
  {
    DriveTables d = driveTablesOf(spec, target);
    writeFile(member("drive/xs.f32"), d.xs.data(), d.xs.size() * 4);
    writeFile(member("drive/xd.f32"), d.xd.data(), d.xd.size() * 4);
    writeFile(member("drive/si.i32"), d.si.data(), d.si.size() * 4);
  }

  if (spec.jpegDriver) {
    const fs::path jdir = dir / spec.jpegDirName;
    fs::create_directories(jdir, ec);
    if (ec) throw std::runtime_error("forge: cannot create " + jdir.string());
    parallelFor(nt, [&](int i) {
      auto frame = sc.driverFrame(i);
      char name[32];
      std::snprintf(name, sizeof name, "frame_%06d.jpg", i);
      detail::writeJpeg((jdir / name).string(), frame.data(), spec.W, spec.H, 92);
    });
  }
  if (spec.mp4Driver) {
    const fs::path p = dir / spec.mp4Name;
    ensureParent(p);
    writeDriverMp4(p.string(), spec, spec.mp4);
  }
  if (spec.hevcPrior) writePriorHevc(member(spec.hevcName).string(), spec, spec.hevc);
  for (const std::string& key : spec.directorKeys)
    writeDirector(member("model_" + key + ".onnx").string(), spec, directorOptionsForKey(spec, key));
  if (spec.teeth) writeTeethMembers(dirStr, spec, *spec.teeth);
}

BundleSpec demoSpec(const std::string& portraitPath) {
  BundleSpec s;
  s.nt = 50;
  s.W = 1280;
  s.H = 720;
  s.crop = 512;
  s.frames = 50;
  s.seed = 20250101u;
  s.portrait = portraitPath;
  s.agent = "demo-astronaut";
  s.prior = Prior::Raw;
  s.jpegDriver = true;
  s.stampPasteSpace = true;
  s.directorKeys = {"b1", "b4"};
  s.lipTemplate = LipTemplate::Mapped;  // the director's alpha follows the lips, not the ellipse
  return s;
}

}  // namespace le::forge

namespace le::forge::detail {

void writeFile(const fs::path& p, const void* data, size_t n, const char* who) {
  std::ofstream f(p, std::ios::binary | std::ios::trunc);
  if (!f) throw std::runtime_error(std::string(who) + ": cannot write " + p.string());
  if (n) f.write(static_cast<const char*>(data), std::streamsize(n));
  f.flush();
  if (!f) throw std::runtime_error(std::string(who) + ": short write " + p.string());
}

}  // namespace le::forge::detail
