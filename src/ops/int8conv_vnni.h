// com.corvane.int8::Int8ConvVNNI registration.
#pragma once

namespace Ort {
struct SessionOptions;
}

namespace le {

// Registered on every director session. The int8 operator arrives later: for
// now no model this library loads carries it, and this adds nothing.
void registerInt8ConvVNNI(Ort::SessionOptions& so);

}  // namespace le
