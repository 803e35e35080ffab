// The forge's whole-clip delta engine models: two small hand-built networks.
// The extractor reports short-time energy (per 640-sample frame) in its hidden
// rows; the delta model opens the lips with loudness above the speech mean and
// smooths the opening through its recurrent inputs. Silence gives zero deltas.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

namespace le::forge {

struct FcaModelOptions {
  int layers = 12;                        // hidden-state layers of "audio_emb"
  std::vector<int64_t> hDims = {1, 384};  // declared dims of the delta model's "h"
};

struct FcaModelPaths {
  std::string extractor, model;
};

inline constexpr const char* kFcaExtractorFile = "fca_extractor.onnx";
inline constexpr const char* kFcaModelFile = "fca_delta.onnx";

// Writes both models into dir (created if needed); throws std::runtime_error.
FcaModelPaths writeFcaModels(const std::string& dir, const FcaModelOptions& opt = {});

// The extractor: hidden layer l, channel c of frame i is
// rms_i * fcaGain(l, c) + fcaBias(l, c), rms_i the root mean square of the
// frame's 640 (normalised) samples. Channels below kFcaEnergyChannels carry the
// energy; over layers 4..9 their gains average to 0.5 + c / 32 and their biases
// to 0, while every single layer (and every layer outside 4..9) differs.
inline constexpr int kFcaEnergyChannels = 32;
float fcaGain(int layer, int channel);
float fcaBias(int layer, int channel);

// The delta model, per frame: loud = mean of the energy channels of context
// rows 1 and 2 (frames t and t+1); open = clip(loud * kFcaOpenGain, 0, 1);
// m = 0.6 open D + 0.3 prev + 0.1 mean(h) D;  hn = 0.5 h + 0.5 open.
inline constexpr float kFcaOpenGain = 1.0f;
// D: the lip opening at open = 1, 63 floats over the keypoint rows of forge.h
// (upper lip up, lower lip down, mouth corners slightly inward).
std::vector<float> fcaLipDirection();

}  // namespace le::forge
