// The live pipeline with a teeth stage: a forged identity with a donor bank
// (crop 128, the smallest canvas on which the corpus geometries' centroids lie
// far enough apart for the bank's frame to be named), its members opened and
// its bank decoded, and attach with them as loaded.
#pragma once

#include <cstdint>
#include <stdexcept>
#include <string>
#include <vector>

#include "forge/forge.h"
#include "forge/forge_motion.h"
#include "le/le_tessera.h"
#include "le/le_utt.h"
#include "support/tmpdir.h"

namespace le::test {

struct ToothedLive {
  static constexpr int kNt = 6;
  le::test::TmpDir tmp;
  std::string bundle, engine;
  le::forge::BundleSpec spec;
  le_tessera_members* members = nullptr;
  std::vector<uint8_t> bank;
  ToothedLive() {
    spec.nt = kNt;
    spec.W = 160;
    spec.H = 120;
    spec.crop = 128;
    spec.directorKeys = {"b1"};
    spec.lipTemplate = le::forge::LipTemplate::Mapped;
    le::forge::TeethSpec t;
    t.donors = 12;
    spec.teeth = t;
    bundle = tmp.str("bundle");
    engine = tmp.str("engine");
    le::forge::writeBundle(bundle, spec);
    le::forge::MotionDirOptions m;
    m.nt = kNt;
    le::forge::writeMotionDir(engine, m);
    char err[512] = "";
    members = le_tessera_members_open(bundle.c_str(), err, sizeof err);
    if (!members) throw std::runtime_error(err);
    bank.resize(size_t(le_tessera_members_band_bytes(members)));
    if (le_tessera_members_decode_bank(members, bank.data(), err, sizeof err)) throw std::runtime_error(err);
  }
  ~ToothedLive() { le_tessera_members_close(members); }
  ToothedLive(const ToothedLive&) = delete;
  ToothedLive& operator=(const ToothedLive&) = delete;
  size_t frameBytes() const { return size_t(spec.W) * spec.H * 3; }

  // attach with the members as loaded; `stamp` and `headJson` may replace theirs.
  int attach(le_utt* u, char* err, int cap, const int32_t* stamp = nullptr, const char* headJson = nullptr,
             int nDonors = -1) const {
    const le_tessera_members* m = members;
    return le_utt_tessera_attach(u, bank.data(), nDonors < 0 ? le_tessera_members_n_donors(m) : nDonors,
                                 le_tessera_members_cent(m), le_tessera_members_c_canon(m),
                                 le_tessera_members_aperture(m), stamp ? stamp : le_tessera_members_stamp(m),
                                 le_tessera_members_head_pt(m), int(le_tessera_members_head_pt_len(m)),
                                 headJson ? headJson : le_tessera_members_head_json(m),
                                 le_tessera_members_manifest_json(m), err, cap);
  }
};

}  // namespace le::test
