#include "keypoint_target.h"

#include <gtest/gtest.h>

#include <opencv2/imgproc.hpp>

#include "trace_capture.h"

namespace zentrel {
namespace {

std::vector<cv::KeyPoint> At(std::initializer_list<cv::Point2f> positions) {
    std::vector<cv::KeyPoint> keypoints;
    for (const cv::Point2f& position : positions) keypoints.emplace_back(position, 1.0f);
    return keypoints;
}

// A keypoint near the centre of cell (row, column) of a 300 x 225 image.
cv::Point2f InCell(int row, int column) {
    return {column * 30.0f + 15.0f, row * 22.5f + 11.0f};
}

void ExpectCell(GridCell cell, int row, int column) {
    EXPECT_EQ(cell.row, row);
    EXPECT_EQ(cell.column, column);
}

TEST(DensestCell, CountsByTruncatedPosition) {
    // 29.9 truncates to 29 and 290 / 300 is column 0; 30.0 is column 1.
    ExpectCell(DensestCell(At({{29.9f, 5}, {30.0f, 5}, {30.0f, 5}}), 225, 300), 0, 1);
    ExpectCell(DensestCell(At({{29.9f, 5}, {29.9f, 5}, {30.0f, 5}}), 225, 300), 0, 0);
    // Only the position counts: two keypoints at one place count twice.
    ExpectCell(DensestCell(At({InCell(6, 6), InCell(6, 6), InCell(1, 1)}), 225, 300), 6, 6);
}

TEST(DensestCell, TiesGoToTheFirstCellInRowMajorOrder) {
    ExpectCell(DensestCell(At({InCell(5, 1), InCell(2, 7), InCell(5, 1), InCell(2, 7)}), 225, 300),
               2, 7);
    ExpectCell(DensestCell(At({InCell(3, 8), InCell(3, 2)}), 225, 300), 3, 2);
    ExpectCell(DensestCell({}, 225, 300), 0, 0);
}

TEST(DensestCell, PositionsOutsideTheImageCountInTheNearestCell) {
    ExpectCell(DensestCell(At({{300.0f, 224.9f}, {350.0f, 400.0f}, {-0.5f, 3}}), 225, 300), 9, 9);
    ExpectCell(DensestCell(At({{-40.0f, -40.0f}, {-40.0f, -40.0f}, {299, 224}}), 225, 300), 0, 0);
}

TEST(CellRegion, IsATenthOfTheImageAtTheCellsOwnOffset) {
    EXPECT_EQ(CellRegion({4, 7}, 225, 300), cv::Rect(210, 90, 30, 22));
    EXPECT_EQ(CellRegion({9, 9}, 225, 300), cv::Rect(270, 202, 30, 22));
    const cv::Rect last = CellRegion({9, 9}, 19, 29);
    EXPECT_LE(last.x + last.width, 29);
    EXPECT_LE(last.y + last.height, 19);
}

TEST(FindKeypointTarget, UniformImageGivesTheTopLeftRegion) {
    const cv::Mat uniform(225, 300, CV_8UC1, cv::Scalar(128));
    const cv::Mat target = FindKeypointTarget(uniform);
    EXPECT_EQ(target.size(), cv::Size(30, 22));
    EXPECT_EQ(target.data, uniform.data) << "a view at the image's first pixel";
}

TEST(FindKeypointTarget, PicksTheCellWhereTheDetectorFindsCorners) {
    cv::Mat image(225, 300, CV_8UC1, cv::Scalar(0));
    // A checkerboard inside cell (4, 7) and nothing anywhere else.
    for (int y = 0; y < 4; ++y) {
        for (int x = 0; x < 4; ++x) {
            if ((x + y) % 2 == 0) cv::rectangle(image, cv::Rect(212 + 6 * x, 92 + 5 * y, 6, 5), 255, cv::FILLED);
        }
    }
    const cv::Mat target = FindKeypointTarget(image);
    ASSERT_EQ(target.size(), cv::Size(30, 22));
    EXPECT_EQ(target.data, image.ptr(90, 210));
}

TEST(FindKeypointTarget, ImagesNarrowerThanTenColumnsGiveAnEmptyTarget) {
    TraceCapture trace;
    const cv::Mat narrow(225, 9, CV_8UC1, cv::Scalar(3));
    EXPECT_TRUE(FindKeypointTarget(narrow).empty());
    EXPECT_TRUE(trace.Lines().empty()) << "a zero-width region is a valid crop, not the fallback";
}

}  // namespace
}  // namespace zentrel
