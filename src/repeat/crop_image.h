#pragma once

#include <opencv2/core.hpp>

namespace zentrel {

// The region (x, y, width, height) of `image` as a view sharing its pixels.
// A rectangle that does not lie inside the image is not an error for the
// caller: it traces two lines and gets a 3 x 3 CV_32FC1 zero matrix.
cv::Mat CropImage(cv::Mat image, int x, int y, int width, int height);

}  // namespace zentrel
