#include "base/le_ort.h"

#include <cstdlib>

namespace le {

std::string coremlCacheDir(const std::string& dir) {
  const OrtApiBase* base = OrtGetApiBase();
  const char* v = base && base->GetVersionString ? base->GetVersionString() : nullptr;
  return dir + "/.coreml_cache/ort" + ((v && *v) ? std::string(v) : std::string("unknown"));
}

namespace ort {

Ort::Env& env() {
  static Ort::Env* const e = [] {
    // Unless the host decided otherwise, ONNX Runtime's usage telemetry stays
    // off: it writes a database under the user's home (and would upload it),
    // and the library writes nowhere but the bundle. Only this switch, read
    // when the environment is created, stops the writing.
    ::setenv("ORT_DISABLE_TELEMETRY", "1", 0);
    return new Ort::Env(ORT_LOGGING_LEVEL_WARNING, "le");
  }();
  return *e;
}

const Ort::MemoryInfo& cpuMemory() {
  static const Ort::MemoryInfo* const mem =
      new Ort::MemoryInfo(Ort::MemoryInfo::CreateCpu(OrtArenaAllocator, OrtMemTypeDefault));
  return *mem;
}

Ort::SessionOptions sessionOptions(const SessionSpec& spec) {
  Ort::SessionOptions so;
  so.SetIntraOpNumThreads(spec.intraThreads > 0 ? spec.intraThreads : 1);
  so.SetInterOpNumThreads(spec.interThreads > 0 ? spec.interThreads : 1);
  if (spec.level) so.SetGraphOptimizationLevel(*spec.level);
  if (!spec.spinning) so.AddConfigEntry("session.intra_op.allow_spinning", "0");
  if (spec.disableKleidiai) so.AddConfigEntry("mlas.disable_kleidiai", "1");
  if (!spec.profilePrefix.empty()) so.EnableProfiling(spec.profilePrefix.c_str());
  return so;
}

std::string coremlUnits(const std::string& ep) {
  if (ep.size() >= 8) {
    const std::string u = ep.substr(7);
    if (u == "cpu" || u == "gpu" || u == "ane") return u;
  }
  return "all";
}

void appendCoreml(Ort::SessionOptions& so, const std::string& units, const std::string& cacheDir) {
  const char* computeUnits = units == "cpu"   ? "CPUOnly"
                             : units == "gpu" ? "CPUAndGPU"
                             : units == "ane" ? "CPUAndNeuralEngine"
                                              : "ALL";
  so.AppendExecutionProvider("CoreML", {{"ModelFormat", "MLProgram"},
                                        {"MLComputeUnits", computeUnits},
                                        {"ModelCacheDirectory", cacheDir}});
}

std::unique_ptr<Ort::Session> open(const std::string& path, const Ort::SessionOptions& so) {
  return std::make_unique<Ort::Session>(env(), path.c_str(), so);
}

std::unique_ptr<Ort::Session> open(const std::vector<std::uint8_t>& bytes, const Ort::SessionOptions& so) {
  return std::make_unique<Ort::Session>(env(), bytes.data(), bytes.size(), so);
}

std::string ioName(const Ort::Session& s, std::size_t i, bool input) {
  Ort::AllocatorWithDefaultOptions alloc;
  auto n = input ? s.GetInputNameAllocated(i, alloc) : s.GetOutputNameAllocated(i, alloc);
  return n.get();
}

}  // namespace ort
}  // namespace le
