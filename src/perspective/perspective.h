// Perspective rectification: four corners of a quadrilateral in an image are
// mapped onto an upright rectangle, saved beside the input as NAME_pers.EXT.
#pragma once

#include <optional>
#include <vector>

#include <opencv2/core.hpp>

namespace zentrel {

// Orders four corners in place: top-left, top-right, bottom-right,
// bottom-left. Selection by y (the last of equal y wins), then each pair by x
// (equal x swaps).
void OrderCorners(std::vector<cv::Point2f>& persPt);

struct OutputExtent {
    float maxW;
    float maxH;
};

// The longer of the two widths and of the two heights of ordered corners.
OutputExtent MeasureOutput(const std::vector<cv::Point2f>& persPt);

// The image size for the warp, or nothing when a side truncates below 1, a
// side does not fit an int, or the pixel count exceeds the decoder's own
// limit of 2^30.
std::optional<cv::Size> OutputImageSize(OutputExtent extent);

// The body of the exported SavePerspectiveImage (the export adds the lock and
// the catch boundary).
void SavePerspectiveImage(int x1, int x2, int x3, int x4, int y1, int y2, int y3, int y4,
                          char* savePath, const char* imageName, const char* imageExt);

}  // namespace zentrel
