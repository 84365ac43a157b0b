// Reading the image a call names, quietly.
#pragma once

#include <string>

#include <opencv2/core.hpp>

namespace zentrel {

// `path` decoded as it is (depth, channels and alpha kept); empty when the
// file cannot be opened and read, or does not decode. Nothing is written to
// standard error on the way.
cv::Mat ReadImageFile(const std::string& path);

}  // namespace zentrel
