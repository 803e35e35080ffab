// ONNX Runtime sessions: the process's one environment, session options built
// from a plain description, the CoreML provider rule shared by the director and
// the motion engine, and the small queries every model check makes.
#pragma once

#include <onnxruntime_cxx_api.h>

#include <cstddef>
#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <vector>

namespace le {

// dir + "/.coreml_cache/ort" + the runtime's version ("unknown" when it gives none).
std::string coremlCacheDir(const std::string& dir);

namespace ort {

// The process's environment (warnings and worse, log id "le"). Created on first
// use and never torn down: sessions held by process-wide records must be able
// to outlive every other static at exit.
Ort::Env& env();

// A CPU memory description for tensors over caller-owned buffers.
const Ort::MemoryInfo& cpuMemory();

struct SessionSpec {
  int intraThreads = 1;  // below 1 counts as 1
  int interThreads = 1;
  std::optional<GraphOptimizationLevel> level;  // unset: the runtime's default
  bool spinning = false;          // false sets "session.intra_op.allow_spinning" = "0"
  bool disableKleidiai = false;   // sets "mlas.disable_kleidiai" = "1"
  std::string profilePrefix;      // non-empty switches profiling on
};

Ort::SessionOptions sessionOptions(const SessionSpec& spec);

// The CoreML unit set of an execution-provider string that begins "coreml":
// "coreml", one separator of any kind, then "cpu", "gpu" or "ane"; anything
// else (or nothing) is "all".
std::string coremlUnits(const std::string& ep);
// Appends the CoreML provider for units with its compiled-model cache under cacheDir.
void appendCoreml(Ort::SessionOptions& so, const std::string& units, const std::string& cacheDir);

// Sessions on the process environment, from a file or from model bytes.
std::unique_ptr<Ort::Session> open(const std::string& path, const Ort::SessionOptions& so);
std::unique_ptr<Ort::Session> open(const std::vector<std::uint8_t>& bytes, const Ort::SessionOptions& so);

// The name of input or output i.
std::string ioName(const Ort::Session& s, std::size_t i, bool input);

}  // namespace ort
}  // namespace le
