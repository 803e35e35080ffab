// The forge's director models: deterministic, hand-designed ONNX graphs that
// warp the identity's source frame by a smooth flow derived from the keypoint
// displacement (driving minus source), so moving the lip keypoints opens and
// closes the mouth. Included at the end of forge.h.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

namespace le::forge {

struct BundleSpec;

// Graphs that break one assumption of a load-time rewrite, so each refusal can
// be seen; LoneGrid and ExitArithmetic are well-formed graphs a careless
// rewrite would break.
enum class DirectorVariant {
  Standard,
  TwoPrgbConcats,    // a second Concat reads P_rgb
  ShapeOfPrgb,       // a Shape node reads P_rgb outside the source cone
  EscapingCone,      // a cone value (a second difference) is also read outside the cone
  TwoTipSamplers,    // a second GridSample samples the cone's tip
  ZerosPadding,      // the warp's GridSample pads with zeros
  TwoExits,          // a slice of the sampled stack is also read outside the block
  LoneGrid,          // only the warp block reads the grid tensor (the alpha warps by its own copy)
  ExitArithmetic,    // the block's exit feeds the colour-bias Add directly (no clamp between)
  TwoCubicResizes,   // the head upsamples twice with a cubic Resize
  OffScales,         // the head's cubic Resize scales are [1, 1, 2, 2.0001]
  HasLipDelivery,    // the graph already declares an input "lip_delivery"
};

struct DirectorOptions {
  int batch = 1;             // frames per run, the leading dimension of every input and of "rgb"
  bool featSynth = false;    // inputs fs_red, pooled, kd, ks (no P_rgb)
  bool legacyBlend = false;  // the pooled colour blend as a MatMul "/s2/blend" (else a Gemm of that name)
  int kpRows = 21;           // keypoint rows declared (and used) by kp_driving / kp_source; at least 16
  bool symbolicBatch = false;   // leading dimension declared as "batch"
  bool symbolicKpRows = false;  // keypoint rows declared as "kp_rows"
  bool truncated = false;       // only the first two thirds of the encoded model (a file no parser takes)
  DirectorVariant variant = DirectorVariant::Standard;
  bool int8Blur = true;  // the mouth blob blurred by a com.corvane.int8 Int8ConvVNNI node
};

// The model bytes and the model file for a spec (its crop S, which must be even).
std::string directorBytes(const BundleSpec& spec, const DirectorOptions& opt = {});
void writeDirector(const std::string& path, const BundleSpec& spec, const DirectorOptions& opt = {});

// Options of the director writeBundle writes for a key such as "b1", "b4" or
// "b24_fp32": the batch is the number after 'b'; a FeatSynth bundle gets FeatSynth
// directors. Throws std::runtime_error for a key that is not "b<digits>[_suffix]".
DirectorOptions directorOptionsForKey(const BundleSpec& spec, const std::string& key);

// Tunables of the graph, in normalised crop coordinates (x, y in [-1, 1]).
constexpr float kDirectorSigma = 0.09f;     // radius of the Gaussian around each keypoint
constexpr float kDirectorShadeGain = 20.f;  // mouth-interior darkening per unit of lip opening
constexpr float kDirectorShadeMax = 0.85f;
constexpr float kDirectorBiasScale = 0.25f;  // reach of the pooled colour bias

// Block i of pooled64.f16 (65536 halves) and of fs_red.f16 (262144 halves), as writeBundle writes them.
std::vector<uint16_t> pooledFeatures(const BundleSpec& spec, int i);
std::vector<uint16_t> fsRedFeatures(const BundleSpec& spec, int i);
// The per-channel colour bias the director adds for source frame si (R, G, B): a fixed
// blend of the mean square of each pooled64 channel.
std::vector<double> directorColourBias(const BundleSpec& spec, int si);
// What a raw-prior director renders for source frame si when the source and driving
// keypoints are equal: 3 x S x S floats, planes R, G, B, each clamp(P + bias, 0, 1),
// P the source frame's half-precision value.
std::vector<float> directorIdentityCrop(const BundleSpec& spec, int si);

}  // namespace le::forge
