// The forge's motion engine directory: every member the streaming motion engine
// reads, with exact counts and honest content, and three small hand-built networks:
// the audio network reports short-time energy, the generator opens the lips with
// loudness (silence gives the source pose), the stitch is a near-identity.
#pragma once

#include <array>
#include <cstdint>
#include <string>
#include <vector>

namespace le::forge {

struct MotionDirOptions {
  int nt = 8;               // identity frames (meta nt and n_src)
  int nEmo = 4;             // emotion rows
  float sBridge = 1.0f;     // meta s_bridge
  float deltaPitch = 0.0f;  // meta delta_pitch (written only when nonzero)
  uint32_t seed = 1;        // keypoints of the forged identity derive from it
  bool descriptiveTarget = false;  // write the target keypoints as target_keypoints.bin
  // The demo portrait: when set, the engine's identity keypoints are the demo
  // identity's (its hand-placed face), so the lips move where its mouth is.
  std::string portrait;
};

// Writes the directory (created if needed); throws std::runtime_error.
void writeMotionDir(const std::string& dir, const MotionDirOptions& opt = {});

// The meta.json text written for opt.
std::string motionMetaText(const MotionDirOptions& opt);
// Per identity frame source records (nt x 328): the forged canonical keypoints,
// zero expression, pose logits peaked at small angles, scale 1, no translation.
std::vector<float> motionSourceRecords(const MotionDirOptions& opt);
// The pose a source record's logits are peaked at: {pitch, yaw, roll} in degrees.
std::array<float, 3> motionSourcePose(int frame);
// The motion vector (265) a source record (328) stands for: the generator's
// reference to the character. Tests use it as an oracle, so it is not the engine's.
std::vector<float> motionCharacterVector(const std::vector<float>& rec);
// The generator's lip opening at full loudness, per motion component (265).
std::vector<float> motionLipDirection();
// Mean log mel energy (the generator's loudness) at which the lips start to open and are fully open.
inline constexpr float kMotionQuiet = -9.0f;
inline constexpr float kMotionLoud = -1.0f;
// The stitch network: out = xd + kMotionStitchPull * (xs - xd).
inline constexpr float kMotionStitchPull = 0.02f;

}  // namespace le::forge
