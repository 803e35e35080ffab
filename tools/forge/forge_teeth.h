// The teeth members of a forged bundle: the bank track (forged donors in track
// order), its sidecar "tessera_bank.v1.json", the blend head's checkpoint and
// its configuration "tessera_head.v1.json", placed on the bundle's own compose
// geometry so that a live pass finds the forged mouth where its windows go.
#pragma once

#include <array>
#include <cstdint>
#include <string>
#include <vector>

#include "forge.h"
#include "forge_donors.h"
#include "tessera/le_bundle_tessera.h"
#include "tessera/le_tessera_pi.h"

namespace le::forge {

// The canonical centroid (x, y, pixels) of the bundle's compose mask over its
// own target keypoints, with the geometry of the manifest's "unified" block:
// the centroid the library derives for this bundle's corpus frame.
std::array<double, 2> teethCanon(const BundleSpec& spec);
// That compose geometry itself: the manifest's "unified" block with the first
// corpus row's padding and offset, for a canvas of spec.crop.
le::tessera::UnifiedPi teethPi(const BundleSpec& spec);

// The bank's stamp: the donors' default stamp for a canvas of spec.crop, its
// window moved to centre on teethCanon (kept on the canvas).
le::tessera::GeometryStamp teethStamp(const BundleSpec& spec);

// The donors as the members state them (deterministic), on teethStamp with
// c_canon = teethCanon and each cent = c_canon + the donor's own offset. A
// bundle built around a portrait borrows from that portrait's own smile
// (smileBank); a procedural face, which shows no teeth, gets forged donors.
DonorBank teethBank(const BundleSpec& spec, const TeethSpec& teeth);

// --- donors cut from the portrait's own smile (forge_demo_teeth.cpp) ---
// How one donor is cut: the mouth moved by (dx, dy) whole pixels, scaled by
// (sx, sy) about its centre, its brightness multiplied by gain.
struct SmileCut {
  int dx = 0, dy = 0;
  double sx = 1, sy = 1, gain = 1;
};
// n cuts, deterministic in seed. Cut 0 is the smile as it is; the others move
// at most the stamp's margin (and pad), so the band never runs out of pixels
// once a donor is put back in place, and their vertical scales spread the
// mouth openings wide enough for the aperture tolerance to choose among them.
// Throws std::runtime_error for n outside 1..1024.
std::vector<SmileCut> smileCuts(const le::tessera::GeometryStamp& stamp, int n, uint32_t seed);
// The source frame the donors are cut from, and the whole-pixel shift the
// pass derives for it (its compose-mask centroid less teethCanon, rounded
// halves to even): the frame whose centroid, so shifted, lies nearest
// teethCanon (the lowest index on a tie). The sway keeps every frame's mouth
// a few pixels off the loop's mean; cutting at the window moved by that shift,
// where the pass reads the frame, leaves an unshifted donor's mouth at c_canon.
struct SmileSource {
  int frame = 0;
  int shiftRows = 0, shiftCols = 0;
};
SmileSource smileSource(const BundleSpec& spec);
// The bank of smileCuts(teethStamp, teeth.donors, teeth.seed): donor i is the
// stored patch (band plus margin) of smileSource's 8-bit crop (priorRgb),
// moved by the source's shift, with cut i applied (bilinear, edges clamped);
// cent = c_canon + (dx, dy); aperture = the lip opening of that frame (lower
// minus upper lip, pixels) times sy over the band's height. Needs
// spec.portrait; throws std::runtime_error.
DonorBank smileBank(const BundleSpec& spec, const TeethSpec& teeth);

// The member file of a slot (0 bank_track .. 3 head_config).
std::string teethMemberName(const TeethSpec& teeth, int slot);

// Member texts as written.
std::string teethSidecarText(const DonorBank& bank, const TeethSpec& teeth);
std::string teethHeadConfigText();
// The manifest's "tessera" object (no leading key).
std::string teethManifestBlock(const le::tessera::GeometryStamp& stamp, const TeethSpec& teeth);

// Writes the four members into dir (created if needed) and returns the bank
// they carry; throws std::runtime_error. The manifest is writeBundle's.
DonorBank writeTeethMembers(const std::string& dir, const BundleSpec& spec, const TeethSpec& teeth);

}  // namespace le::forge
