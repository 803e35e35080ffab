// Member resolution: the fixed alias table and the two generated rules.
#include "base/le_member.h"

#include <stdexcept>
#include <string_view>

#include "base/le_file.h"

namespace le {

namespace {

struct AliasRow {
  const char* requested;
  const char* descriptive;
};

constexpr AliasRow kExact[] = {
    {"P.f16", "source_frames.f16"},
    {"P_hevc.mov", "source_frames.hevc"},
    {"a2x_enc_stream.onnx", "audio_motion_encoder.onnx"},
    {"a2x_dec.onnx", "audio_motion_decoder.onnx"},
    {"M.f32", "paste_transform.f32"},
    {"mask_512.u8", "paste_mask.u8"},
    {"pooled64.f16", "pooled_features.f16"},
    {"fs_red.f16", "feature_synth.f16"},
    {"xs_target.bin", "target_keypoints.bin"},
};
static_assert(sizeof(kExact) / sizeof(kExact[0]) == 9);

bool startsWith(const std::string& s, std::string_view p) { return s.compare(0, p.size(), p) == 0; }
bool endsWith(const std::string& s, std::string_view p) {
  return s.size() >= p.size() && s.compare(s.size() - p.size(), p.size(), p) == 0;
}

}  // namespace

std::string memberAlias(const std::string& name) {
  for (const AliasRow& r : kExact)
    if (name == r.requested) return r.descriptive;

  // Director models: model_b<batch>[_<suffix>].onnx -> render_model.batch<batch>[.<suffix>].onnx
  if (startsWith(name, "model_b") && endsWith(name, ".onnx") && name.size() >= 13) {
    const std::string mid = name.substr(7, name.size() - 12);
    const std::size_t us = mid.find('_');
    const std::string batch = us == std::string::npos ? mid : mid.substr(0, us);
    const std::string suffix = us == std::string::npos ? std::string() : mid.substr(us + 1);
    return "render_model.batch" + batch + (suffix.empty() ? std::string() : "." + suffix) + ".onnx";
  }

  // Drive tables: drive/<stem><.ext> -> idle_loop/<descriptive stem><.ext>
  if (startsWith(name, "drive/")) {
    const std::string rest = name.substr(6);
    const std::size_t dot = rest.find('.');
    std::string stem = dot == std::string::npos ? rest : rest.substr(0, dot);
    const std::string ext = dot == std::string::npos ? std::string() : rest.substr(dot);
    if (stem == "xs") stem = "source_keypoints";
    else if (stem == "xd") stem = "driven_keypoints";
    else if (stem == "si") stem = "source_index";
    return "idle_loop/" + stem + ext;
  }
  return name;
}

std::string memberPath(const std::string& dir, const std::string& name) {
  // The rule the container unpacker applies to the names it writes, applied to
  // the names a reader follows.
  if ((!name.empty() && (name[0] == '/' || name[0] == '\\')) || name.find("..") != std::string::npos ||
      name.find('\0') != std::string::npos)
    throw std::runtime_error(dir + ": refusing unsafe member name '" + name + "'");
  return dir + "/" + name;
}

std::string resolveMember(const std::string& dir, const std::string& name) {
  const std::string alias = memberAlias(name);
  const std::string requested = memberPath(dir, name);
  if (alias == name) return requested;
  if (canOpen(requested)) return requested;
  const std::string descriptive = dir + "/" + alias;
  if (canOpen(descriptive)) return descriptive;
  return requested;
}

}  // namespace le
