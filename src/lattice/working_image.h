// Grey working copies of decoded images, whatever their depth and channels.
#pragma once

#include <opencv2/core.hpp>

namespace zentrel::lattice {

// `region` of `image`, resized by `scale` (at most 1) with area averaging,
// as single-channel float. Colour becomes luminance; alpha is composited over
// mid grey so that transparent parts read as one flat colour; values that are
// not finite become 0. The grey level's unit depends on the input's depth:
// everything downstream is invariant to it.
cv::Mat GreyWorkingCopy(const cv::Mat& image, cv::Rect region, double scale);

// The colour of `region` of a colour `image` (three or four channels) at full
// resolution, without its luminance: two float channels, red and blue
// against luminance (as YCrCb's), alpha composited over mid grey and values
// that are not finite set to 0, in the same unit as the grey copy.
cv::Mat ChromaWorkingCopy(const cv::Mat& image, cv::Rect region);

}  // namespace zentrel::lattice
