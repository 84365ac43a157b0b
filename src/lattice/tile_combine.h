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

// Sets aside the parts of copies that a few copies show alone: a stain, a
// blob, glare. Each copy (`plane` pixels of `channels` values, a row of
// `stack`) is compared with `median`, the median of all, in blocks of
// 16 x 16 pixels; a block that differs from it several times more than the
// copies typically do there is set aside, its values replaced by the
// lowest and the highest value of the depth in turn, so that the median of
// the stack becomes the median of the copies that are left. Returns the
// number of blocks set aside.
//
// The median alone drifts towards what the blob shows by the share of
// copies it covers; with many copies that drift, not the noise, would
// decide how close the tile comes.
int SetAsideOutliers(cv::Mat& stack, const cv::Mat& median, cv::Size plane, int channels);

}  // namespace zentrel::lattice
