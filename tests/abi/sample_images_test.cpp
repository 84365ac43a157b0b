// Both jobs on real photographs from tests/data, with their known truth.
#include <gtest/gtest.h>

#include <cmath>

#include <opencv2/imgcodecs.hpp>
#include <opencv2/imgproc.hpp>

#include "library_host.h"
#include "test_images.h"

namespace zentrel::testing {
namespace {

const std::string kDataDir = ZENTREL_TEST_DATA_DIR "/";

TEST(SampleImages, BrickPatternGivesOneTileOfItsTrueSize) {
    LibraryHost host;
    const std::string path = kDataDir + "brick_tile97x61.png";
    const auto lines = host.Repeat(path.c_str());
    ASSERT_EQ(lines.size(), 3u);
    EXPECT_EQ(lines[2], ResultLine(host.Rectangle()));
    // The true tile is 97 x 61; the 600-column working scale costs a pixel.
    EXPECT_EQ(host.Rectangle(), (std::vector<int>{206, 218, 98, 61}));
}

TEST(SampleImages, ChessboardIsRectifiedExactlyAsTheDocumentedWarp) {
    LibraryHost host;
    TempDir dir;
    const cv::Mat photo = cv::imread(kDataDir + "left01.jpg", cv::IMREAD_UNCHANGED);
    ASSERT_FALSE(photo.empty());
    WriteImage(dir, "board.png", photo);  // lossless, so pixels can be compared

    PathBuffer buffer(dir.path());
    const auto lines = host.Rectify({544, 214, 221, 550}, {302, 63, 284, 51}, buffer.data,
                                    "board", "png");
    ASSERT_EQ(lines.size(), 7u);
    EXPECT_EQ(lines[1], "maxW = 336.214");
    EXPECT_EQ(lines[2], "maxH = 251.072");

    // The same warp done here: ordered corners onto a box that keeps the
    // fraction of the side lengths, bilinear, zero border.
    const cv::Point2f src[4] = {{214, 63}, {550, 51}, {544, 302}, {221, 284}};
    const float w = std::sqrt(336.0f * 336.0f + 12.0f * 12.0f);  // top edge is the longer
    const float h = std::sqrt(6.0f * 6.0f + 251.0f * 251.0f);    // right edge is the longer
    const cv::Point2f dst[4] = {{0, 0}, {w - 1, 0}, {w - 1, h - 1}, {0, h - 1}};
    cv::Mat expected;
    cv::warpPerspective(photo, expected, cv::getPerspectiveTransform(src, dst, cv::DECOMP_LU),
                        cv::Size(336, 251), cv::INTER_LINEAR, cv::BORDER_CONSTANT, cv::Scalar());

    const cv::Mat written = cv::imread(dir.File("board_pers.png"), cv::IMREAD_UNCHANGED);
    ASSERT_EQ(written.size(), cv::Size(336, 251));
    ASSERT_EQ(written.type(), photo.type());
    EXPECT_EQ(cv::norm(written, expected, cv::NORM_INF), 0.0);
}

}  // namespace
}  // namespace zentrel::testing
