// Reading the image a call names: the one place that decides a file is
// unreadable, for every entry point.
#pragma once

#include <string>

#include <opencv2/core.hpp>

namespace zentrel {

// `path` decoded as it is (depth, channels and alpha kept). A file that cannot
// be opened and read, does not decode, or has a header beyond the decoder's
// limits is refused as Refusal::Cause::Unreadable, with the line
// "Could not read image file: PATH". A file that cannot be opened never
// reaches the decoder, which would warn about it on standard error.
cv::Mat ReadImageFile(const std::string& path);

// Whether the file at `path` begins as JPEG data does, whatever its name
// says; false for one that cannot be read.
bool HoldsJpeg(const std::string& path);

}  // namespace zentrel
