// The teeth members of a forged bundle: the bank track (forged donors in track
// order), its sidecar "tessera_bank.v1.json", the blend head's checkpoint and
// its configuration "tessera_head.v1.json", placed on the bundle's own compose
// geometry so that a live pass finds the forged mouth where its windows go.
#pragma once

#include <array>
#include <string>

#include "forge.h"
#include "forge_donors.h"
#include "tessera/le_bundle_tessera.h"

namespace le::forge {

// The canonical centroid (x, y, pixels) of the bundle's compose mask over its
// own target keypoints, with the geometry of the manifest's "unified" block:
// the centroid the library derives for this bundle's corpus frame.
std::array<double, 2> teethCanon(const BundleSpec& spec);

// The bank's stamp: the donors' default stamp for a canvas of spec.crop, its
// window moved to centre on teethCanon (kept on the canvas).
le::tessera::GeometryStamp teethStamp(const BundleSpec& spec);

// The donors as the members state them (deterministic): forged on teethStamp,
// c_canon = teethCanon and each cent = c_canon + the donor's own offset.
DonorBank teethBank(const BundleSpec& spec, const TeethSpec& teeth);

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
