// Suggested corners for rectification: the dominant quadrilateral of a photo
// (a page, a painting, a sheet of fabric, a framed sample).
#pragma once

#include <array>

#include <opencv2/core.hpp>

namespace zentrel {

struct FoundQuad {
    bool found = false;
    // Top-left, top-right, bottom-right, bottom-left, as OrderCorners orders
    // them; in pixels of the image as stored, sub-pixel. Zero when not found.
    std::array<cv::Point2d, 4> corners{};
    // 0 to 1: how clearly the four sides stand out as edges that end at the
    // corners. Zero when not found.
    double confidence = 0.0;
};

// The quadrilateral whose four straight edges best stand out in `image` (any
// depth, 1 to 4 channels; alpha is ignored), or none when no quadrilateral
// covering a fair part of the image is clearly bounded: images of texture,
// tilings, noise and flat images give none. Deterministic.
FoundQuad FindQuad(const cv::Mat& image);

}  // namespace zentrel
