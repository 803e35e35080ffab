// The teeth pass. So far: the blend head's weights, read from the state
// dictionary checkpoint the head ships as (a stored ZIP archive with a
// pickled parameter list and one float32 storage per tensor), by a ZIP
// directory reader and a pickle machine that model exactly what such a save
// writes and refuse everything else.
#pragma once

#include <cstdint>
#include <vector>

namespace le::tessera {

struct HeadWeights {
  std::vector<float> cand0w, cand0b;  // [16, 7, 3, 3], [16]
  std::vector<float> cand2w, cand2b;  // [16, 16, 3, 3], [16]
  std::vector<float> cand4w, cand4b;  // [1, 16, 3, 3], [1]
  std::vector<float> syn0w, syn0b;    // [16, 3, 3, 3], [16]; empty for BlendHead8(16)
  std::vector<float> syn2w, syn2b;    // [1, 16, 3, 3], [1]; empty for BlendHead8(16)
  float envelope = 12.0f / 255.0f;

  // Elements of the ten arrays: 4,082 for BlendHead(16), 3,489 for BlendHead8(16).
  int params() const;
};

// The whole checkpoint file; throws std::runtime_error ("teeth: ...") on
// every refusal. Offsets and sizes are checked before any read.
HeadWeights loadHeadPt(const std::vector<uint8_t>& bytes);

}  // namespace le::tessera
