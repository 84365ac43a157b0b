#pragma once

#include <vector>

#include <opencv2/core.hpp>

namespace zentrel {

constexpr int kGridCells = 10;

struct GridCell {
    int row;
    int column;
};

// The densest cell of a 10 x 10 grid over an image of `rows` x `columns`,
// counting keypoints by truncated position; ties go to the first cell in
// row-major order. A position outside the image counts in the nearest cell.
GridCell DensestCell(const std::vector<cv::KeyPoint>& keypoints, int rows, int columns);

// The region of `cell` in an image of `rows` x `columns`: a tenth of each
// side, at the cell's own truncated offset. Always inside the image.
cv::Rect CellRegion(GridCell cell, int rows, int columns);

// The template for the repeat search: the densest cell's region of `image`,
// a tenth of its width and height, as a view of its pixels. Throws
// std::runtime_error for a float image holding a value that is not finite or
// beyond 1e15 in magnitude, which the detector cannot take.
cv::Mat FindKeypointTarget(cv::Mat image);

}  // namespace zentrel
