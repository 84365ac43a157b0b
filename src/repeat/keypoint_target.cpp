#include "keypoint_target.h"

#include <algorithm>
#include <array>
#include <stdexcept>

#include <opencv2/features2d.hpp>

#include "crop_image.h"

namespace zentrel {

namespace {

// The detector takes float pixels as they are and squares their gradients in
// single precision. A value that is not finite, or large enough for that
// square to overflow (from about 1.8e19), turns into an out-of-range histogram
// index inside it and kills the process; such images are refused instead. The
// bound leaves room for the filter's sums.
constexpr double kMaxDetectorMagnitude = 1e15;

int GridIndex(float position, int extent) {
    if (extent <= 0) return 0;
    const int index = (static_cast<int>(position) * kGridCells) / extent;
    return std::clamp(index, 0, kGridCells - 1);
}

}  // namespace

GridCell DensestCell(const std::vector<cv::KeyPoint>& keypoints, int rows, int columns) {
    std::array<std::array<int, kGridCells>, kGridCells> counts{};
    for (const cv::KeyPoint& keypoint : keypoints) {
        const cv::Point2f kypt = keypoint.pt;
        ++counts[GridIndex(kypt.y, rows)][GridIndex(kypt.x, columns)];
    }
    GridCell best{0, 0};
    int bestCount = -1;
    for (int row = 0; row < kGridCells; ++row) {
        for (int column = 0; column < kGridCells; ++column) {
            if (counts[row][column] > bestCount) {
                bestCount = counts[row][column];
                best = {row, column};
            }
        }
    }
    return best;
}

cv::Rect CellRegion(GridCell cell, int rows, int columns) {
    // Computed on its own, not from the counting boundaries.
    return {(columns * cell.column) / kGridCells, (rows * cell.row) / kGridCells,
            columns / kGridCells, rows / kGridCells};
}

cv::Mat FindKeypointTarget(cv::Mat image) {
    if (image.depth() == CV_32F &&
        !cv::checkRange(image, true, nullptr, -kMaxDetectorMagnitude, kMaxDetectorMagnitude)) {
        throw std::runtime_error(
            "the image holds values the keypoint detector cannot take (not finite, or beyond "
            "1e15)");
    }
    const cv::Ptr<cv::AKAZE> akaze = cv::AKAZE::create(
        cv::AKAZE::DESCRIPTOR_MLDB, 0, 3, 0.001f, 4, 4, cv::KAZE::DIFF_PM_G2);
    std::vector<cv::KeyPoint> keypoints;
    cv::Mat desc;
    akaze->detectAndCompute(image, cv::noArray(), keypoints, desc, false);

    const cv::Rect region =
        CellRegion(DensestCell(keypoints, image.rows, image.cols), image.rows, image.cols);
    return CropImage(image, region.x, region.y, region.width, region.height);
}

}  // namespace zentrel
