// The forge's expression engine directory: a2x_meta.json, the position and
// normalisation tables, xs_target.bin, the streaming encoder and the
// autoregressive decoder, and the speech feature extractor models (the legacy
// 8 s extractor and, optionally, the short-window trunk/head pair).
//
// The models are small hand-built graphs:
// - the extractors measure short-time energy: the mean square of each 80-sample
//   column, averaged over 8 columns (640 samples from the column on), read at
//   the legacy frame positions (column i * 1598/199 of the window, linearly
//   interpolated); feature (layer l, channel c) of a frame is that energy times
//   a2xFeatureGain(l, c), and a2xFeatureGain(0, 0) is 1;
// - the encoder takes feature (0, 0), smooths it `layers` times with the
//   attention band, and writes it to ctx channel 0; the position rows go to the
//   other channels; the optional "wn" output is the smoothed energy itself;
// - the decoder keeps h_out = 0.3 h + 0.7 ctx_t and opens the lips in
//   proportion to h_out[0] (x = 0.85 * h_out[0] * a2xLipPattern() + 0.15 * prev,
//   plus a small nod of the nose bridge, h_out[0] * h_out[1]); a2x_norm.f32
//   holds zero offsets, so silence gives the source pose exactly.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

namespace le::forge {

struct A2xDirOptions {
  bool shortWindow = true;        // write the trunk/head pair beside the extractor
  bool oldPairNames = false;      // name the pair w2v_trunk32.onnx / w2v_head32.onnx
  bool wn = false;                // the encoder declares a second output "wn"
  int h = 16;                     // hidden size
  int window = 2, left = 4, layers = 2;
  bool writeWindow = true;        // false: a2x_meta.json lacks "window"
  bool writeLeft = true;          // false: a2x_meta.json lacks "left"
  int metaWidth = 63;             // "width" in the meta; -1 leaves it out
  int silencePrime = 0;           // "silence_prime"
  int posRows = 64;               // rows of a2x_pos.f32
  int nt = 4;                     // rows of xs_target.bin
  uint32_t seed = 1;              // xs_target.bin content (as forge.h targetKeypoints)
  bool descriptiveNames = false;  // target_keypoints.bin, audio_motion_{encoder,decoder}.onnx
  bool trunkFixedLength = true;   // the trunk declares its input length (32000); else left open
  int trunkColumnSamples = 80;    // samples per trunk column; 80 keeps the contract (160 breaks it)
  float encFailAbove = 0.f;       // > 0: the encoder fails at run time on a frame energy above this
};

struct A2xDirFiles {
  std::string w2v;          // the legacy extractor (what W2V_ONNX names)
  std::string trunk, head;  // the short-window pair; empty when not written
};

// Writes the directory (created if needed); throws std::runtime_error.
A2xDirFiles writeA2xDir(const std::string& dir, const A2xDirOptions& opt = {});

// Gain of feature (layer, channel) over the frame energy.
float a2xFeatureGain(int layer, int channel);
// The decoder's lip opening direction: 63 floats, non-zero only on the mouth
// rows (forge.h kLipRows) and the chin.
std::vector<float> a2xLipPattern();
// Scale of a2x_norm.f32 for delta column c (its offsets are zero).
float a2xNormScale(int c);

}  // namespace le::forge
