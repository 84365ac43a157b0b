// The repeat analysis from a path to the rectangle in the result state.
#pragma once

#include <opencv2/core.hpp>

namespace zentrel {

// Working heights above this are refused: a tall, narrow image would be
// scaled up to hundreds of megapixels before the keypoint detector sees it.
constexpr int kMaxWorkingHeight = 20000;

// Empties foundList, checkPoints, foundPoints and highList, in that order.
void ClearResultLists();

// Appends foundList's centres, truncated toward zero, to foundPoints and
// checkPoints.
void PublishCandidatePoints();

// Search, candidate points, rectangle and its trace line. Passed the only
// reference to the decoded image, the search frees its pixels once the
// working image is made.
void RunRepeatAnalysis(cv::Mat image);

// The body of the exported ShowRepeatPoints (the export adds the lock and the
// catch boundary).
void ShowRepeatPoints(const char* path);

}  // namespace zentrel
