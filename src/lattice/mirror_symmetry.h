// Mirror repeats: a straight lattice whose neighbouring units are mirror
// images of each other across columns, rows or both.
#pragma once

#include <opencv2/core.hpp>
#include <optional>

#include "shift_match.h"

namespace zentrel::lattice {

// The column (across == true) or row about which the image is its own mirror
// image, in input pixels, for a straight repeat of `period` pixels along that
// axis; none when it is not mirrored to within `threshold` of similarity.
// `copy` is a reduced copy of the whole input (`toCopy` its scale) that
// proposes the axis; `climb` (smoothed for the copy's uncertainty) moves it
// to where the full resolution agrees best, and `exact` measures it there,
// both in `region`. When that axis fails, the profile of `exact`'s edges
// over one period proposes a few more. `measured`, when given, receives the similarity of the
// best axis found, whether it passed or not (-1 when none was measured).
// The axis turns with the lattice, by `turn` radians; with `between` (a
// resampled lattice, whose axes need not fall on whole or half pixels) the
// similarity is read between the axes measured, as a period's is, and
// `raised`, when given, receives what that reading added to the whole-pixel
// one at the same axis.
std::optional<double> MirrorAxis(const cv::Mat& copy, double toCopy, cv::Rect region,
                                 const ShiftMatch& climb, const ShiftMatch& exact, bool across,
                                 double period, double threshold, double* measured = nullptr,
                                 double turn = 0.0, bool between = false, double* raised = nullptr);

}  // namespace zentrel::lattice
