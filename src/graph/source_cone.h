// The source cone: the part of the director that depends only on the source
// frame (everything between the input P_rgb and the one Concat that reads
// it). Split off into a prep graph, it runs once per source frame instead of
// once per rendered frame; the per-frame graph takes its tip as an input.
#pragma once

#include <cstddef>
#include <cstdint>
#include <set>
#include <string>
#include <vector>

#include "graph/gridsample_fast.h"

namespace le {

// The number of Concat nodes that read "P_rgb" and have a non-empty first
// output. When it is exactly 1, `name` is that output (the tensor at which the
// cone can be cut); otherwise `name` is cleared.
size_t findSourceConeBoundary(const std::vector<uint8_t>& model, std::string& name);

// Marks the cone's nodes (one flag per node) and checks that it can be cut
// out: nothing outside it reads P_rgb or any cone value but the boundary.
bool gsSourceCone(const std::vector<GsNodeInfo>& nodes, const std::set<std::string>& initializers,
                  const std::set<std::string>& graphInputs, const std::string& boundary, std::vector<char>& cone,
                  std::string& reason);

// The prep graph: P_rgb in, the boundary out (all four dimensions symbolic).
bool buildSourceConePrep(const std::vector<uint8_t>& model, const std::string& boundary, std::vector<uint8_t>& prep,
                         std::string& reason);

// The per-frame graph: the cone gone, the boundary a new input of the given
// static dimensions in place of P_rgb.
bool buildSourceConePerFrame(const std::vector<uint8_t>& model, const std::string& boundary, const int64_t* dims,
                             size_t rank, std::vector<uint8_t>& perFrame, std::string& reason);

}  // namespace le
