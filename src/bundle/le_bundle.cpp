// The identity bundle: manifest, members and identity,
// drive tables.
#include "bundle/le_bundle.h"

#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "base/le_env.h"

namespace le {

namespace mk = manifest_key;

// ------------------------------------------------------------------ manifest

std::string Manifest::modelPath(const std::string& key) const {
  return resolveMember(dir, "model_" + key + ".onnx");
}

Manifest loadManifest(const std::string& bundle) {
  Manifest m;
  m.dir = resolveBundlePath(bundle);
  const std::string text = readText(m.dir + "/manifest.json");

  if (mk::strField(text, "format") != "le-bundle-v0") throw std::runtime_error("not an le-bundle-v0: " + m.dir);

  m.agent = mk::strField(text, "agent");
  m.nt = mk::toInt32(mk::numFieldEither(text, "NT", "frame_count"));
  m.H = mk::toInt32(mk::numField(text, "H"));
  m.W = mk::toInt32(mk::numField(text, "W"));
  m.crop = mk::toInt32(mk::numFieldEither(text, "crop", "crop_size"));
  m.unsharp.amount = static_cast<float>(mk::numField(text, "amount"));
  m.unsharp.sigma = static_cast<float>(mk::numField(text, "sigma"));
  m.unsharp.ksize = mk::toInt32(mk::numField(text, "ksize"));
  m.frames = mk::toInt32(mk::numField(text, "frames"));

  if (m.nt < 1 || m.H < 1 || m.W < 1 || m.crop < 1) throw std::runtime_error("manifest: bad dims");

  // Paste-space stamp: the canvas the transforms M were authored on.
  auto either = [&](const char* a, const char* b) {
    const double v = mk::numFieldOr(text, a);
    return v != mk::absentSentinel ? v : mk::numFieldOr(text, b);
  };
  double sw = either("M_src_w", "paste_source_width");
  double sh = either("M_src_h", "paste_source_height");
  if (sw == mk::absentSentinel || sh == mk::absentSentinel) {
    if (env::is("QUENZAL2_MSRC_MISSING_OK", "1")) {
      std::fprintf(stderr,
                   "[le] WARNING QUENZAL2_MSRC_MISSING_OK=1: %s/manifest.json carries no paste-space stamp; "
                   "ASSUMING M was authored on this %dx%d canvas. If it was not, the face pastes off-target "
                   "(tk#144) and nothing will say so.\n",
                   m.dir.c_str(), m.W, m.H);
      sw = m.W;
      sh = m.H;
    } else {
      throw std::runtime_error(
          m.dir +
          "/manifest.json declares no paste-space stamp (M_src_w/M_src_h, aka paste_source_width/height) "
          "\xE2\x80\x94 the canvas is " +
          std::to_string(m.W) + "x" + std::to_string(m.H) +
          ", so M cannot be placed: absence is not evidence that M was authored at that size. Re-stamp the "
          "bundle (models/quenzal-2/inference/backfill_msrc.py), or set QUENZAL2_MSRC_MISSING_OK=1 to "
          "restore the legacy assumption.");
    }
  }
  m.msrcW = mk::toInt32(sw);
  m.msrcH = mk::toInt32(sh);
  if (m.msrcW < 1 || m.msrcH < 1)
    throw std::runtime_error("manifest: bad paste-space stamp (M_src_w/M_src_h must be > 0)");

  m.lipTemplate = readOptionalText(resolveMember(m.dir, "lip_template.v1.json"));
  return m;
}

// ------------------------------------------------------------------ identity

void ensureIdentityMembers(const Manifest& m) {
  const std::string text = readText(m.dir + "/manifest.json");
  std::string source = "P.f16";
  mk::optStr(text, "P_rgb", source);  // a quoted value replaces the default, even an empty one

  const bool haveP = statExists(resolveMember(m.dir, "P.f16"));
  const bool haveFs = statExists(resolveMember(m.dir, "fs_red.f16"));

  if (source != "P.f16" && statExists(resolveMember(m.dir, source)) && !haveP && !haveFs)
    throw std::runtime_error(
        "this bundle's manifest names its raw warp prior '" + source +
        "' (P_rgb) but le::Identity maps the welded name P.f16 and would find nothing \xE2\x80\x94 it maps "
        "NOTHING silently and Identity::P(si) is then an offset from a null pointer. REFUSING rather than "
        "rendering off a prior nothing will read.");

  if (!haveP && !haveFs) {
    std::string movie;
    if (!mk::optStr(text, "P_hevc", movie))
      throw std::runtime_error("this bundle carries neither " + source +
                               " nor fs_red.f16, and its manifest names no P_hevc member to play one from "
                               "\xE2\x80\x94 the renderer has no warp prior and le::Identity would hand it a "
                               "null pointer. REFUSING to create a session.");
    const std::string path = resolveMember(m.dir, movie);
    if (!statExists(path))
      throw std::runtime_error("this bundle's manifest names P_hevc '" + movie + "' and the file is not there (" +
                               path +
                               ") \xE2\x80\x94 the renderer has no warp prior. REFUSING to create a session.");
  }
}

void rescaleM(std::vector<float>& M, const Manifest& m) {
  if (m.msrcW <= 0 || m.msrcH <= 0)
    throw std::runtime_error(
        "le::Identity: manifest carries no paste-space stamp (M_src_w/M_src_h) \xE2\x80\x94 refusing to paste M "
        "without knowing the space it was authored in");
  if (m.msrcW == m.W && m.msrcH == m.H) return;
  const double sx = static_cast<double>(m.W) / m.msrcW;
  const double sy = static_cast<double>(m.H) / m.msrcH;
  for (std::size_t f = 0; f + 6 <= M.size(); f += 6) {
    for (int k = 0; k < 3; ++k) M[f + k] = static_cast<float>(static_cast<double>(M[f + k]) * sx);
    for (int k = 3; k < 6; ++k) M[f + k] = static_cast<float>(static_cast<double>(M[f + k]) * sy);
  }
}

Identity::Identity(const Manifest& m, PriorOpener openPrior)
    : nt_(m.nt), crop_(m.crop), manifest_(m), openPrior_(openPrior) {
  if (nt_ < 1 || crop_ < 1) throw std::runtime_error("manifest: bad dims");
  ensureIdentityMembers(manifest_);
  const std::string& dir = manifest_.dir;
  const std::uint64_t nt = static_cast<std::uint64_t>(nt_);
  const std::uint64_t crop = static_cast<std::uint64_t>(crop_);

  pooled_ = mapFile(resolveMember(dir, "pooled64.f16"), nt * kPooledHalves * 2);

  const std::string pPath = resolveMember(dir, "P.f16");
  const std::string fsPath = resolveMember(dir, "fs_red.f16");
  const bool haveFs = statExists(fsPath);
  if (statExists(pPath)) {
    // nt and crop are the manifest's: a product that wraps could match a file of
    // the wrapped size, so one that overflows cannot be the member's size.
    std::uint64_t bytes = 0;
    if (__builtin_mul_overflow(nt * 6, crop * crop, &bytes)) throw std::runtime_error("size mismatch " + pPath);
    P_ = mapFile(pPath, bytes);
  } else if (!haveFs) {
    std::string movie = "P_hevc.mov";
    const std::string text = readText(dir + "/manifest.json");
    std::string named;
    if (mk::optStr(text, "P_hevc", named)) movie = named;
    const std::string moviePath = resolveMember(dir, movie);
    if (canOpen(moviePath)) priorMoviePath_ = moviePath;
  }
  if (haveFs) fsRed_ = mapFile(fsPath, nt * kFsRedHalves * 2);

  M_ = readRaw<float>(resolveMember(dir, "M.f32"), static_cast<std::size_t>(nt * 6));
  rescaleM(M_, manifest_);
}

Identity::~Identity() = default;

PriorCursor& Identity::prior() const {
  if (!priorFromMovie())
    throw std::runtime_error("le::Identity: this bundle's source frames do not come from a movie \xE2\x80\x94 "
                             "there is no prior cursor to open");
  // A failed open leaves nothing behind, so the next call tries again and reports again.
  if (PriorCursor* c = priorReady_.load(std::memory_order_acquire)) return *c;
  std::lock_guard<std::mutex> lock(priorMutex_);
  if (!prior_) {
    if (!openPrior_)
      throw std::runtime_error("le::Identity: this bundle's source frames come from " + priorMoviePath_ +
                               " and no movie player was given to play them");
    prior_ = openPrior_(manifest_);
    priorReady_.store(prior_.get(), std::memory_order_release);
  }
  return *prior_;
}

const std::uint16_t* Identity::P(int i) const {
  if (!P_.empty())
    return reinterpret_cast<const std::uint16_t*>(P_.data()) +
           static_cast<std::size_t>(i) * 3 * static_cast<std::size_t>(crop_) * static_cast<std::size_t>(crop_);
  if (priorFromMovie()) {
    int got = -1;
    return reinterpret_cast<const std::uint16_t*>(prior().pullAt(i, &got));
  }
  throw std::runtime_error("le::Identity: this bundle has no raw source frames (no P.f16) and no source movie "
                           "\xE2\x80\x94 P(" + std::to_string(i) + ") has nothing to hand out");
}

void Identity::walkP(int i) const {
  if (!priorFromMovie()) return;
  auto lock = lockSourceFrames();
  int got = -1;
  prior().pullAt(i, &got);
}

std::string Identity::priorBackend() const {
  if (!P_.empty()) return "mmap P.f16";
  if (priorFromMovie()) return prior().name();
  return "none";
}

std::uint64_t Identity::priorResidentBytes() const { return priorFromMovie() ? prior().residentBytes() : 0; }
std::uint64_t Identity::priorSeeks() const { return priorFromMovie() ? prior().seeks() : 0; }

// --------------------------------------------------------------------- drive

Drive loadDrive(const Manifest& m) {
  Drive d;
  d.frames = m.frames;
  if (d.frames < 0) throw std::runtime_error("drive: negative frames count " + std::to_string(d.frames));
  const std::size_t rows = static_cast<std::size_t>(d.frames);
  d.xs = readRaw<float>(resolveMember(m.dir, "drive/xs.f32"), rows * kKpFloats);
  d.xd = readRaw<float>(resolveMember(m.dir, "drive/xd.f32"), rows * kKpFloats);
  d.si = readRaw<std::int32_t>(resolveMember(m.dir, "drive/si.i32"), rows);
  for (const std::int32_t s : d.si)
    if (s < 0 || s >= m.nt) throw std::runtime_error("drive: si out of range");
  return d;
}

}  // namespace le
