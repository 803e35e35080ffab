// The teeth blend head's checkpoint, written the way a state-dictionary save
// writes it: a stored ZIP archive holding a pickled parameter list
// ("archive/data.pkl", protocol 2, the opcodes such a save uses) and one raw
// little-endian float32 storage per tensor ("archive/data/<key>").
#pragma once

#include <cstdint>
#include <string>
#include <vector>

namespace le::forge {

enum class HeadArch { Full, Eight };  // BlendHead(16): candidate + synthesis; BlendHead8(16): candidate only

// Checkpoints a careful reader must refuse.
enum class HeadHostile {
  None,
  Deflated,        // the entries claim method 8 (deflate)
  FloatOpcode,     // a BINFLOAT opcode in the pickle
  WrongShape,      // cand.0.weight is [16, 8, 3, 3]
  DuplicateKey,    // cand.0.bias is set twice
  MissingStorage,  // cand.2.weight's storage entry is left out
  LacksSynBias,    // a full head without syn.2.bias
  NegativeOffset,  // cand.4.bias points at storage offset -1
};

struct HeadCheckpoint {
  HeadArch arch = HeadArch::Full;
  HeadHostile hostile = HeadHostile::None;
  uint32_t seed = 1;
  std::string comment;  // archive comment after the end record
};

struct HeadParam {
  std::string name;
  std::vector<int64_t> shape;
  std::vector<float> values;
};

// The parameters the checkpoint stores, in table order (deterministic in seed).
std::vector<HeadParam> headParams(const HeadCheckpoint& c);
// The checkpoint file's bytes.
std::string headCheckpointBytes(const HeadCheckpoint& c);

}  // namespace le::forge
