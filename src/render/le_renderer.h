// The director session: an identity's frame generator opened in ONNX Runtime,
// its graph rewritten at load to the library's own operators, every input and
// output bound once, so that a frame only fills buffers and runs.
#pragma once

#include <cstdint>
#include <memory>
#include <string>

#include "bundle/le_bundle.h"

namespace le {

class Renderer {
 public:
  // Opens model_<modelKey>.onnx of the bundle. threads < 1 means
  // le::pool::threads(). ep: "" (CPU), "neon", "coreml[:unit]". Throws
  // std::runtime_error on a refusal; ONNX Runtime's own failures arrive as
  // Ort::Exception. Nothing half-built survives a throw.
  Renderer(const Manifest& m, const Identity& id, const std::string& modelKey, int threads,
           const std::string& ep);
  ~Renderer();
  Renderer(const Renderer&) = delete;
  Renderer& operator=(const Renderer&) = delete;

  // Renders n (1..batch()) frames: frame k from source frame idx[k] with the
  // 63 floats at kpSource + 63k and kpDriving + 63k. Returns batch() crops of
  // 3*crop*crop floats, frame-major; crops n..batch()-1 repeat crop n-1. Valid
  // until the next render or destruction. Not re-entrant.
  const float* render(const int* idx, const float* kpSource, const float* kpDriving, int n);

  int batch() const;
  const char* ep() const;           // "cpu" for the ORT CPU EP, else the EP string
  const char* backend() const;      // "neon" or "ort"
  const char* directorNote() const; // empty unless a load path leaves a note

  // Diagnostics.
  int threads() const;              // intra-op workers of the director session
  double runMsTotal() const;        // milliseconds inside session runs
  int64_t runCount() const;         // session runs so far
  bool featSynth() const;           // the graph takes fs_red
  bool openedFromBytes() const;     // a rewrite changed the graph, so it was opened from memory
  bool hoisted() const;             // the source cone runs in its own session, a frame ahead
  int64_t ringHits() const;         // hoisted renders whose source frame was ready
  int64_t ringMisses() const;       // hoisted renders that had to compute it first
  bool lipBound() const;            // the lip contour limits the compose alpha

  struct Impl;

 private:
  std::unique_ptr<Impl> impl_;
};

}  // namespace le
