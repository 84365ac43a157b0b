// The path side of a rectification: joining the caller's three pieces into
// the input path, deriving the "_pers" output path, handing it back, and
// writing the image there.
#pragma once

#include <cstddef>
#include <string>

#include <opencv2/core.hpp>

namespace zentrel {

// Capacity of the joined input path, terminator included: 199 characters fit.
constexpr std::size_t kInputPathCapacity = 200;

// Joins savePath + imageName + "." + imageExt into `tmpSavePath` and traces it.
// Returns false, tracing nothing, when the result would not fit.
bool JoinInputPath(const char* savePath, const char* imageName, const char* imageExt,
                   char (&tmpSavePath)[kInputPathCapacity]);

// The joined path with "_pers" inserted before the dot that the join put in
// front of the extension. The position comes from the extension's length, so
// dots elsewhere in the path do not matter.
std::string DeriveOutputPath(const std::string& joinedPath, std::size_t extensionLength);

// Derives the output path, copies it into the caller's `savePath`, publishes
// it as UTF-16 for ReturnPath, and writes `persInput` there. Throws a Refusal
// naming the output path when the image cannot be written.
void PublishAndWrite(const char* tmpSavePath, const char* imageExt, char* savePath,
                     const cv::Mat& persInput);

}  // namespace zentrel
