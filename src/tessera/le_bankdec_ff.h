// The teeth reference bank track, decoded from memory into donor order.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

namespace le {

// The whole bank track (an MP4 file held in memory) decoded to n_donors RGB
// patches of band_h x band_w x 3 bytes, patches back to back in donor order:
// frame k of the track lands in slot track_order[k]. Throws std::runtime_error
// with a "refusing to serve" text on every refusal; no partial bank comes back.
std::vector<uint8_t> decodeBankTrack(const uint8_t* bytes, size_t size, int n_donors, int band_h, int band_w,
                                     const std::vector<int32_t>& track_order);

// "libavcodec <version linked> / <configuration>", for hosts to log.
std::string bankDecoderBuild();

}  // namespace le
