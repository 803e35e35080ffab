// The teeth members of a forged bundle, placed on the bundle's own compose
// geometry.
#include "forge_teeth.h"

#include <algorithm>
#include <charconv>
#include <cmath>
#include <filesystem>
#include <stdexcept>

#include "forge_bank.h"
#include "forge_head.h"
#include "forge_internal.h"
#include "tessera/le_tessera_pi.h"

namespace fs = std::filesystem;

namespace le::forge {
namespace {

using le::tessera::GeometryStamp;

// Shortest text that reads back as exactly v, so the loader sees the forge's doubles.
std::string num(double v) {
  char buf[32];
  const auto r = std::to_chars(buf, buf + sizeof buf, v);
  return std::string(buf, r.ptr);
}

std::string quote(const std::string& s) { return detail::jsonQuote(s); }

std::string stampJson(const GeometryStamp& g) {
  std::string s = "{";
  for (int i = 0; i < GeometryStamp::kFields; ++i)
    s += std::string(i ? ", " : "") + quote(GeometryStamp::kKeys[i]) + ": " + std::to_string(g.at(i));
  return s + "}";
}

void validateTeeth(const BundleSpec& spec, const TeethSpec& t) {
  auto bad = [](const std::string& what) { throw std::runtime_error("forge: bad teeth spec: " + what); };
  if (t.donors < 1 || t.donors > 1024) bad("donors must be in [1, 1024]");
  if (spec.crop < 16) bad("the crop must be at least 16 pixels to hold a mouth window");
  for (const std::string& n : t.names)
    if (n.find("..") != std::string::npos || (!n.empty() && n[0] == '/')) bad("member names must be relative");
}

}  // namespace

le::tessera::UnifiedPi teethPi(const BundleSpec& spec) {
  // The manifest's geometry with the first corpus row's padding and offset:
  // the bank is built on that corpus frame. Only its offset sets it apart
  // from the other two rows (theirs differ in width alone, which leaves a
  // symmetric mouth's centroid where it was), so a canvas of 128 or more
  // names it unambiguously.
  BundleSpec plain = spec;
  plain.teeth.reset();
  plain.nestedBlocks = true;
  auto pi = le::tessera::UnifiedPi::fromManifestJson(manifestText(plain), spec.crop);
  const le::tessera::CorpusGeometry& v1 = le::tessera::kCorpusGeometries[0];
  pi.pad_x = v1.pad_x;
  pi.pad_y = v1.pad_y;
  pi.down = v1.down;
  return pi;
}

std::array<double, 2> teethCanon(const BundleSpec& spec) {
  const le::tessera::UnifiedPi pi = teethPi(spec);
  const std::vector<float> target = targetKeypoints(spec);
  std::array<double, 2> c{};
  pi.canonicalCentroid(target.data(), spec.nt, &c[0], &c[1]);
  return c;
}

namespace {
// The donors' default stamp for the crop, its window centred on c.
GeometryStamp stampAround(const BundleSpec& spec, const std::array<double, 2>& c) {
  DonorSpec probe;
  probe.n = 1;
  probe.canvas = spec.crop;
  GeometryStamp s = forgeDonors(probe).stamp;
  s.window_x0 = std::clamp(int(std::lround(c[0] - (s.window_w - 1) / 2.0)), 0, s.canvas_w - s.window_w);
  s.window_y0 = std::clamp(int(std::lround(c[1] - (s.window_h - 1) / 2.0)), 0, s.canvas_h - s.window_h);
  s.validate();
  return s;
}
}  // namespace

GeometryStamp teethStamp(const BundleSpec& spec) { return stampAround(spec, teethCanon(spec)); }

DonorBank teethBank(const BundleSpec& spec, const TeethSpec& teeth) {
  validateTeeth(spec, teeth);
  if (!spec.portrait.empty()) return smileBank(spec, teeth);
  DonorSpec d;
  d.n = teeth.donors;
  d.canvas = spec.crop;
  d.seed = teeth.seed;
  const std::array<double, 2> c = teethCanon(spec);
  d.stamp = stampAround(spec, c);
  DonorBank b = forgeDonors(d);
  // The donors keep their own offsets around the bundle's canonical centroid.
  for (int i = 0; i < b.n; ++i)
    for (int k = 0; k < 2; ++k) b.cent[size_t(2 * i + k)] += c[size_t(k)] - b.cCanon[size_t(k)];
  b.cCanon = {c[0], c[1]};
  return b;
}

std::string teethMemberName(const TeethSpec& teeth, int slot) {
  const le::TesseraSlots defaults;
  const std::string& given = teeth.names.at(size_t(slot));
  return given.empty() ? defaults.at(slot) : given;
}

std::string teethSidecarText(const DonorBank& b, const TeethSpec& teeth) {
  std::string order, cent, aperture;
  for (int i = 0; i < b.n; ++i) {
    const char* sep = i ? ", " : "";
    order += sep + std::to_string(b.trackOrder[size_t(i)]);
    cent += sep + ("[" + num(b.cent[size_t(2 * i)]) + ", " + num(b.cent[size_t(2 * i + 1)]) + "]");
    aperture += sep + num(b.aperture[size_t(i)]);
  }
  return "{\n"
         "  \"format\": \"tessera_bank.v1\",\n"
         "  \"geometry\": " + stampJson(b.stamp) + ",\n"
         "  \"n_donors\": " + std::to_string(b.n) + ",\n"
         "  \"track_order\": [" + order + "],\n"
         "  \"cent\": [" + cent + "],\n"
         "  \"aperture\": [" + aperture + "],\n"
         "  \"c_canon\": [" + num(b.cCanon[0]) + ", " + num(b.cCanon[1]) + "],\n"
         "  \"codec\": {\"codec\": \"h264\", \"pix_fmt\": " + quote(teeth.pixFmt) + "}\n"
         "}\n";
}

std::string teethHeadConfigText() {
  // The serving defaults, stated explicitly as the schema requires, except
  // K: the head weighs every candidate at every pixel of the window, so 16
  // candidates (of a bank of tens) keep one frame's pass within a live
  // budget where the default 64 would put the whole bank through it.
  le::tessera::ServeConfig c;
  c.K = 16;
  return "{\n"
         "  \"format\": \"tessera_head.v1\",\n"
         "  \"retrieval\": {\"kshort\": " + std::to_string(c.kshort) + ", \"aperture_tol\": " + num(c.aperture_tol) +
         ", \"cut\": " + std::to_string(c.cut) + ", \"K\": " + std::to_string(c.K) + "},\n"
         "  \"temporal\": {\"hysteresis\": " + std::to_string(c.hysteresis) + ", \"lookahead\": " +
         std::to_string(c.lookahead) + "},\n"
         "  \"decode\": {\"envelope_clamp_255\": 12}\n"
         "}\n";
}

std::string teethManifestBlock(const GeometryStamp& stamp, const TeethSpec& teeth) {
  std::string members;
  for (int i = 0; i < le::kTesseraSlots; ++i)
    members += std::string(i ? ", " : "") + quote(le::tesseraSlotKeys()[size_t(i)]) + ": " +
               quote(teethMemberName(teeth, i));
  // None of these keys is one the bundle loader reads at the top level, so
  // its key scanner never sees them as a second occurrence.
  std::string s = "{\n"
                  "    \"version\": \"tessera.v1\",\n"
                  "    \"members\": {" + members + "},\n"
                  "    \"planes\": [\"linux\", \"ios\"],\n"
                  "    \"bank_codec\": \"h264\",\n"
                  "    \"bank_pix_fmt\": " + quote(teeth.pixFmt);
  if (teeth.declareGeometry) s += ",\n    \"geometry\": " + stampJson(stamp);
  return s + "\n  }";
}

DonorBank writeTeethMembers(const std::string& dirStr, const BundleSpec& spec, const TeethSpec& teeth) {
  DonorBank b = teethBank(spec, teeth);
  const fs::path dir(dirStr);
  auto member = [&](int slot) {
    const fs::path p = dir / teethMemberName(teeth, slot);
    std::error_code ec;
    fs::create_directories(p.parent_path(), ec);
    if (ec) throw std::runtime_error("forge: cannot create " + p.parent_path().string());
    return p;
  };
  BankTrackOptions track;
  track.pixFmt = teeth.pixFmt;
  writeBankTrack(member(0).string(), b.trackRgb(), b.bandW, b.bandH, b.n, track);
  const std::string sidecar = teethSidecarText(b, teeth);
  detail::writeFile(member(1), sidecar.data(), sidecar.size());
  HeadCheckpoint head;
  head.arch = teeth.candidateOnlyHead ? HeadArch::Eight : HeadArch::Full;
  head.seed = teeth.seed;
  const std::string weights = headCheckpointBytes(head);
  detail::writeFile(member(2), weights.data(), weights.size());
  const std::string config = teethHeadConfigText();
  detail::writeFile(member(3), config.data(), config.size());
  return b;
}

}  // namespace le::forge
