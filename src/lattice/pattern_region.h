// Where an image agrees with itself under a lattice: the part of a photo
// that a pattern covers.
#pragma once

#include <opencv2/core.hpp>

namespace zentrel::lattice {

// A pattern covering less of the frame than this is in part of it: it is
// searched again on its own, and its region's rim is judged for ground.
inline constexpr double kPartOfFrame = 0.8;

struct HeldRegion {
    cv::Rect box;
    // The box less rows and columns at its rim that are flat or disagree
    // with themselves: where blocks compared under the lattice hold pattern
    // only. The box itself where the pattern covers most of the frame.
    cv::Rect core;
};

// The box of `grey` (a single-channel float working copy) in which the image
// agrees with itself shifted by `a` and by `b` (in its pixels), as a whole
// piece: the largest connected part where the local agreement is near the
// best found, and its core. Empty when no part agrees.
HeldRegion PatternRegion(const cv::Mat& grey, cv::Point2d a, cv::Point2d b);

}  // namespace zentrel::lattice
