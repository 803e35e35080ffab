// com.corvane.int8::Int8ConvVNNI: a 2-D convolution with int8 weights and
// per-call quantised uint8 activations, in its own process-wide custom-op domain.
#pragma once

namespace Ort {
struct SessionOptions;
}

namespace le {

// Adds the domain "com.corvane.int8" (created once per process, operator added
// once) to the options. Called on every director session.
void registerInt8ConvVNNI(Ort::SessionOptions& so);

// The processor paths of the accumulation. All of them produce the same int32
// sums, so the outputs are bitwise equal whichever runs.
enum class Int8ConvPath {
  Auto,        // the best one this processor has (the order below, last first)
  Portable,    // plain C++
  Avx2,        // 8-wide, the byte dot product spelt with 16-bit multiply-adds
  AvxVnni,     // 8-wide byte dot product, VEX encoding
  Avx512Vnni,  // 8-wide byte dot product, EVEX encoding (AVX-512 VL)
};

// Test and benchmark hook, process-wide, read at every compute: pin a path.
// A path the processor lacks falls back to the best one it has below it.
void int8ConvForcePath(Int8ConvPath path);
// Shorthand for int8ConvForcePath(Portable) / (Auto).
void int8ConvForcePortable(bool on);
// The path a compute started now would take.
Int8ConvPath int8ConvActivePath();
// "portable", "avx2", "avx-vnni", "avx512-vnni" ("auto" for Auto).
const char* int8ConvPathName(Int8ConvPath path);

}  // namespace le
