// Where an image agrees with itself under a lattice: the part of a photo
// that a pattern covers.
#pragma once

#include <opencv2/core.hpp>

namespace zentrel::lattice {

// The box of `grey` (a single-channel float working copy) in which the image
// agrees with itself shifted by `a` and by `b` (in its pixels), as a whole
// piece: the largest connected part where the local agreement is near the
// best found. Empty when no part agrees.
cv::Rect PatternRegion(const cv::Mat& grey, cv::Point2d a, cv::Point2d b);

}  // namespace zentrel::lattice
