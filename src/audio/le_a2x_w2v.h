// The expression engine's shared speech feature frontend: the legacy extractor
// (one session per process and path) and the short-window trunk/head pair.
// Both live until the process ends and are shared by every engine.
#pragma once

#include <onnxruntime_cxx_api.h>

#include <cstdint>
#include <memory>
#include <string>

namespace le::a2x {

struct Extractor {
  std::string path;
  std::unique_ptr<Ort::Session> session;  // "input_values" -> "audio_emb"
};

struct ShortPair {
  std::string trunkPath, headPath;
  std::unique_ptr<Ort::Session> trunk, head;
  std::string trunkIn, trunkOut, headIn, headOut;
  int64_t lt = -1;  // the trunk's declared input length; -1 when left open
};

// Session options of every a2x session: intra-op threads, no spinning, and the
// CUDA rule for the tag ("enc/dec" or "w2v").
Ort::SessionOptions sessionOptions(int threads, const char* tag);

// Opens a session; a creation failure naming both "Gelu" and "float16" is
// retried once at the basic optimisation level. Other failures propagate.
std::unique_ptr<Ort::Session> openGeluSafe(const std::string& path, Ort::SessionOptions& so);

// The legacy extractor for path, loaded on first use. Throws on failure.
Extractor& sharedExtractor(const std::string& path);

// The short-window pair that goes with the extractor at w2vPath: found through
// LE_A2X_W2V_WIN_ONNX / LE_A2X_W2V_HEAD_ONNX or beside the extractor, loaded
// once per pair. Null (after its log line) when absent or when loading fails.
ShortPair* sharedShortPair(const std::string& w2vPath);

// Prints the live-cadence line once per process.
void sayCadenceOnce(int threads);

}  // namespace le::a2x
