// Synthetic teeth donors: mouth patches with a bright tooth row between dark
// lips, each donor shifted, opened and tinted a little differently, so that
// retrieval has a clear best match and the blend has something to show.
#pragma once

#include <cstdint>
#include <vector>

#include "tessera/le_bundle_tessera.h"

namespace le::forge {

struct DonorSpec {
  int n = 16;          // donors, 1..1024
  int canvas = 64;     // compose canvas side (the bundle's crop)
  uint32_t seed = 1;
  // Zero fields take a stamp derived from the canvas: a mouth window centred
  // a little below the middle, band in its middle half, pad and margin >= 1.
  le::tessera::GeometryStamp stamp{};
  bool shuffleTrack = true;  // track order a fixed non-identity permutation (identity when false)
};

struct DonorBank {
  le::tessera::GeometryStamp stamp;
  int n = 0, bandW = 0, bandH = 0;
  std::vector<uint8_t> donorRgb;     // n patches of bandH x bandW x 3, donor order
  std::vector<int32_t> trackOrder;   // track frame i holds donor trackOrder[i]
  std::vector<double> cent;          // 2n: x, y per donor
  std::vector<double> cCanon;        // 2: x, y
  std::vector<double> aperture;      // n
  // The patches in track order (what the bank track's frames show).
  std::vector<uint8_t> trackRgb() const;
};

// Deterministic in its options; throws std::runtime_error for an incoherent stamp.
DonorBank forgeDonors(const DonorSpec& spec);

}  // namespace le::forge
