// Many aligned copies of one tile made into one, value by value.
#pragma once

#include <opencv2/core.hpp>

namespace zentrel::lattice {

enum class Combine {
    Median,  // ignores what a few copies show alone: a stain, glare, a fold
    Mean,    // lower noise where every copy is sound
    Best,    // the one copy nearest the median, unchanged
};

// Copies of a tile may be combined this many at a time (counts fit a byte).
inline constexpr int kMaxCombined = 255;

// `stack`: one copy per row (1 to kMaxCombined rows), every copy's values in
// the same order; depth CV_8U, CV_16U or CV_32F, one channel. Returns one
// row of the same depth. Whole depths are rounded to the nearest value; the
// median of an even count is the mean of the middle two. For Best, `chosen`
// (when given) receives the row taken.
cv::Mat CombineStack(const cv::Mat& stack, Combine how, int* chosen = nullptr);

}  // namespace zentrel::lattice
