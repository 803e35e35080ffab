// Binding the identity's lip contour to the director's compose alpha: a new
// graph input "lip_delivery" (one float plane per frame, rasterised by the
// renderer from the driving keypoints) and a Min node, so that every reader of
// the alpha reads Min(alpha, lip_delivery) instead of the graph's own ellipse.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

namespace le {

// Positive when the model was rewritten; 0 (model untouched) with a reason.
// canvasW and canvasH receive the compose canvas side read off the graph.
size_t rewriteBindLipContour(std::vector<uint8_t>& model, std::string& reason, int* canvasW, int* canvasH);

}  // namespace le
