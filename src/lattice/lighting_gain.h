// Uneven lighting across a photographed pattern, measured on the repeats
// themselves and divided out.
#pragma once

#include <opencv2/core.hpp>
#include <vector>

namespace zentrel::lattice {

// `stack`: one copy of the tile per row (CV_8U, CV_16U or CV_32F, one
// channel), each copy `plane` in size with `channels` interleaved values per
// pixel, the last of them alpha when `alpha`; the light is measured on the
// top-left `measured` pixels of each copy. `positions[k]` is where the
// pixel (0, 0) of copy k lay in the input, and `toInput` maps tile pixels to
// input pixels.
//
// Every part of the tile is seen at many places in the image; how much
// brighter it is at one place than in its typical copy samples the light
// there. A smooth surface (quadratic in position) fitted to those samples,
// with outliers (a stain, a blob) left out, is the gain, normalised to 1 on
// average over the copies; each copy's colour values are divided by it
// where they lay. Alpha is left as it is. Fewer than three copies carry no
// evidence of the light and are left unchanged.
void FlattenLighting(cv::Mat& stack, cv::Size plane, cv::Size measured, int channels, bool alpha,
                     const std::vector<cv::Point2d>& positions, const cv::Matx22d& toInput);

}  // namespace zentrel::lattice
