// The engines' meta.json readers, apart from the engines so that a reader
// can be exercised without opening a network.
#pragma once

#include <string>

namespace le {

namespace a2x {

// Keys of a2x_meta.json; window and left are required (-1 = absent here).
struct Meta {
  int h = 256;
  int window = -1;
  int left = -1;
  int layers = 6;
  int width = -1;  // -1: not declared
  int silencePrime = 0;
};
// The text is searched for "key" and the number after its colon. Throws the
// streaming message when window or left is missing.
Meta parseMeta(const std::string& text);

}  // namespace a2x

namespace motion {

// Keys of the motion engine's meta.json.
struct Meta {
  int nt = 0;
  int nSrc = 0;
  int nEmo = 0;
  float sBridge = 1.f;
  float deltaPitch = 0.f;
};
// nt, n_src, n_emo and s_bridge are required, delta_pitch defaults to 0;
// n_src must equal nt. Throws "meta.json: missing <key>" / "meta.json: bad <key>".
Meta parseMeta(const std::string& text);

}  // namespace motion

}  // namespace le
