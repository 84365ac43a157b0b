// Reading the image a call names without the decoder's warnings about files
// it cannot open.
#pragma once

#include <string>

#include <opencv2/core.hpp>

namespace zentrel {

// `path` decoded as it is (depth, channels and alpha kept); empty when the
// file cannot be opened and read, or does not decode. A file that cannot be
// opened never reaches the decoder, which would warn about it on standard
// error.
cv::Mat ReadImageFile(const std::string& path);

}  // namespace zentrel
