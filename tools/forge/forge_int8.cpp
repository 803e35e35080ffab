#include "forge/forge_int8.h"

#include <onnx/onnx_pb.h>

#include <cmath>
#include <random>
#include <stdexcept>
#include <vector>

namespace le::forge {

std::string int8Conv(onnxb::Model& m, const std::string& x, int64_t C, int64_t M, int64_t k, int64_t pad,
                     int64_t group, uint32_t seed, const std::string& name) {
  if (group < 1 || C < 1 || M < 1 || C % group != 0 || M % group != 0 || k < 1 || pad < 0)
    throw std::runtime_error("forge int8Conv " + name + ": C=" + std::to_string(C) + ", M=" + std::to_string(M) +
                             " must be positive multiples of group=" + std::to_string(group) +
                             ", with k >= 1 and pad >= 0");
  const std::string domain = "com.corvane.int8";
  bool imported = false;
  for (const auto& op : m.proto().opset_import()) imported = imported || op.domain() == domain;
  if (!imported) m.domain(domain, 1);

  const int64_t Cg = C / group, fanIn = Cg * k * k;
  std::mt19937 rng(seed);
  std::uniform_int_distribution<int> wd(-127, 127);
  std::uniform_real_distribution<float> ud(0.0f, 1.0f);
  std::vector<int8_t> w(size_t(M * fanIn));
  for (int8_t& v : w) v = int8_t(wd(rng));
  // Uniform weights in [-127, 127] spread about 73; with these scales each output
  // keeps roughly the spread of its input, so stacked layers neither die out
  // nor blow up.
  std::vector<float> scale(static_cast<size_t>(M)), bias(static_cast<size_t>(M));
  const float unit = 1.0f / (73.0f * std::sqrt(float(fanIn)));
  for (float& s : scale) s = unit * (0.75f + 0.5f * ud(rng));
  for (float& b : bias) b = 0.1f * (ud(rng) - 0.5f);

  const std::string wName = m.initI8(name + "/w", w, {M, Cg, k, k});
  const std::string sName = m.init(name + "/scale", scale, {M});
  const std::string bName = m.init(name + "/bias", bias, {M});
  return m.node("Int8ConvVNNI", {x, wName, sName, bName}, {name + "/y"},
                {onnxb::Attr::ints("strides", {1, 1}), onnxb::Attr::ints("pads", {pad, pad, pad, pad}),
                 onnxb::Attr::ints("dilations", {1, 1}), onnxb::Attr::i("group", group)},
                name, domain);
}

}  // namespace le::forge
