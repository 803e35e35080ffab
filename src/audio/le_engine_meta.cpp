// The engines' meta.json readers. See le_engine_meta.h.
#include "audio/le_engine_meta.h"

#include <algorithm>
#include <cmath>
#include <stdexcept>

#include "base/le_json.h"

namespace le {

namespace a2x {

namespace {

// An integer key of a2x_meta.json; out is left as it is when the key is absent.
bool metaInt(const std::string& text, const char* key, int& out) {
  const auto v = json::number(text, key, "a2x_meta.json");
  if (!v) return false;
  out = static_cast<int>(std::clamp(*v, -2147483648.0, 2147483647.0));
  return true;
}

}  // namespace

Meta parseMeta(const std::string& text) {
  Meta m;
  metaInt(text, "h", m.h);
  bool w = metaInt(text, "window", m.window);
  bool l = metaInt(text, "left", m.left);
  if (!w || !l) throw std::runtime_error("le_a2x_create: meta lacks causal window/left (not a streaming a2x)");
  metaInt(text, "layers", m.layers);
  metaInt(text, "width", m.width);
  metaInt(text, "silence_prime", m.silencePrime);
  // Values that would make the band or the tables meaningless are refused here
  // rather than discovered as out-of-range reads later.
  if (m.h < 1 || m.window < 0 || m.left < 0 || m.layers < 1)
    throw std::runtime_error("le_a2x_create: meta h/window/left/layers out of range");
  return m;
}

}  // namespace a2x

namespace motion {

namespace {

int metaInt(const std::string& text, const char* key, int lo, int hi) {
  const auto found = json::number(text, key, "meta.json");
  if (!found) throw std::runtime_error(std::string("meta.json: missing ") + key);
  const double v = *found;
  // Counts index tables and divide frame numbers: a fraction, zero or an absurd value is refused.
  if (v != std::floor(v) || v < lo || v > hi) throw std::runtime_error(std::string("meta.json: bad ") + key);
  return int(v);
}

float metaFloat(const std::string& text, const char* key, bool required, float dflt) {
  const auto v = json::number(text, key, "meta.json");
  if (!v) {
    if (required) throw std::runtime_error(std::string("meta.json: missing ") + key);
    return dflt;
  }
  // A gain or an angle past float's range would serve infinite keypoints.
  const float f = float(*v);
  if (!std::isfinite(f)) throw std::runtime_error(std::string("meta.json: bad ") + key);
  return f;
}

}  // namespace

Meta parseMeta(const std::string& text) {
  Meta m;
  m.nt = metaInt(text, "nt", 1, 10000000);
  m.nSrc = metaInt(text, "n_src", 1, 10000000);
  m.nEmo = metaInt(text, "n_emo", 1, 10000000);
  m.sBridge = metaFloat(text, "s_bridge", true, 1.f);
  m.deltaPitch = metaFloat(text, "delta_pitch", false, 0.f);
  if (m.nSrc != m.nt) throw std::runtime_error("le_motion: n_src != nt unsupported");
  return m;
}

}  // namespace motion

}  // namespace le
