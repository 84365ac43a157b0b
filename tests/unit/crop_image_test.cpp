#include "crop_image.h"

#include <gtest/gtest.h>

#include "trace_capture.h"

namespace zentrel {
namespace {

using Lines = std::vector<std::string>;
const Lines kFallbackTrace{"Input mat is not proper! Check CropImage Function",
                           "return zero matrix"};

cv::Mat Numbered(int rows, int columns) {
    cv::Mat image(rows, columns, CV_8UC3);
    cv::randu(image, 0, 255);
    return image;
}

void ExpectFallback(const cv::Mat& result) {
    ASSERT_EQ(result.type(), CV_32FC1);
    ASSERT_EQ(result.size(), cv::Size(3, 3));
    EXPECT_EQ(cv::countNonZero(result), 0);
}

TEST(CropImage, ReturnsAViewThatSharesThePixels) {
    cv::Mat image = Numbered(450, 600);
    TraceCapture trace;
    const cv::Mat view = CropImage(image, 150, 112, 300, 225);
    ASSERT_EQ(view.size(), cv::Size(300, 225));
    EXPECT_EQ(view.at<cv::Vec3b>(0, 0), image.at<cv::Vec3b>(112, 150));
    image.at<cv::Vec3b>(112, 150) = cv::Vec3b(1, 2, 3);
    EXPECT_EQ(view.at<cv::Vec3b>(0, 0), cv::Vec3b(1, 2, 3)) << "a change shows through the view";
    EXPECT_TRUE(trace.Lines().empty());
}

TEST(CropImage, RectanglesOnTheEdgeAreProperAndZeroExtentIsEmpty) {
    const cv::Mat image = Numbered(450, 600);
    TraceCapture trace;
    EXPECT_EQ(CropImage(image, 500, 0, 100, 450).size(), cv::Size(100, 450));
    EXPECT_EQ(CropImage(image, 0, 400, 600, 50).size(), cv::Size(600, 50));
    const cv::Mat empty = CropImage(image, 10, 10, 0, 20);
    EXPECT_TRUE(empty.empty());
    EXPECT_NE(empty.type(), CV_32FC1) << "an empty region is not the fallback";
    EXPECT_TRUE(trace.Lines().empty());
}

TEST(CropImage, ImproperRectanglesGiveTheTracedZeroFallback) {
    const cv::Mat image = Numbered(450, 600);
    for (const cv::Rect& improper : {cv::Rect(501, 0, 100, 10), cv::Rect(0, 401, 10, 50),
                                     cv::Rect(-1, 0, 10, 10), cv::Rect(0, -1, 10, 10),
                                     cv::Rect(0, 0, -5, 10)}) {
        SCOPED_TRACE(::testing::PrintToString(improper));
        TraceCapture trace;
        ExpectFallback(CropImage(image, improper.x, improper.y, improper.width, improper.height));
        EXPECT_EQ(trace.Lines(), kFallbackTrace);
    }
}

}  // namespace
}  // namespace zentrel
