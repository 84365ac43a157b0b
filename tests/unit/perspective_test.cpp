#include "perspective.h"

#include <gtest/gtest.h>

#include <cmath>
#include <vector>

#include "trace.h"

namespace zentrel {
namespace {

std::vector<cv::Point2f> Ordered(std::vector<cv::Point2f> corners) {
    OrderCorners(corners);
    return corners;
}

using Corners = std::vector<cv::Point2f>;

TEST(OrderCorners, AnyInputOrderGivesTopLeftTopRightBottomRightBottomLeft) {
    const Corners expected{{0, 0}, {100, 0}, {100, 50}, {0, 50}};
    EXPECT_EQ(Ordered({{0, 0}, {100, 0}, {100, 50}, {0, 50}}), expected);
    EXPECT_EQ(Ordered({{100, 50}, {0, 0}, {0, 50}, {100, 0}}), expected);
    EXPECT_EQ(Ordered({{0, 50}, {100, 50}, {100, 0}, {0, 0}}), expected);
    // A tilted quadrilateral: the two smallest y form the top pair.
    EXPECT_EQ(Ordered({{100, 40}, {0, 10}, {100, 20}, {0, 30}}),
              (Corners{{0, 10}, {100, 20}, {100, 40}, {0, 30}}));
}

TEST(OrderCorners, TiesFollowTheSelectionRules) {
    EXPECT_EQ(Ordered({{0, 0}, {10, 10}, {10, 0}, {0, 10}}),
              (Corners{{0, 0}, {10, 0}, {10, 10}, {0, 10}}));
    // Equal x exchanges a pair: the lower of two stacked points becomes
    // top-left.
    EXPECT_EQ(Ordered({{4, 0}, {4, 1}, {9, 9}, {0, 9}}),
              (Corners{{4, 1}, {4, 0}, {9, 9}, {0, 9}}));
    // Three points on one row: among equal y the last one found is selected,
    // and each pair is then sorted on its own.
    EXPECT_EQ(Ordered({{1, 0}, {2, 0}, {3, 0}, {2, 5}}),
              (Corners{{1, 0}, {3, 0}, {2, 5}, {2, 0}}));
}

TEST(MeasureOutput, LongerSidesInSinglePrecisionAndTheirTracedText) {
    const OutputExtent box = MeasureOutput({{0, 0}, {100, 0}, {100, 50}, {0, 50}});
    EXPECT_EQ(Format(box.maxW), "100");
    EXPECT_EQ(Format(box.maxH), "50");

    const OutputExtent tilted = MeasureOutput(Ordered({{100, 40}, {0, 10}, {100, 20}, {0, 30}}));
    EXPECT_EQ(Format(tilted.maxW), "100.499");
    EXPECT_EQ(Format(tilted.maxH), "20");

    const OutputExtent sheared = MeasureOutput(Ordered({{0, 0}, {10, 1}, {10, 11}, {0, 10}}));
    EXPECT_EQ(Format(sheared.maxW), "10.0499");
    EXPECT_EQ(sheared.maxW, std::sqrt(101.0f)) << "kept unrounded for the target corners";
    EXPECT_EQ(Format(sheared.maxH), "10");
}

TEST(OutputImageSize, TruncatesAndRefusesDegenerateOrHugeOutputs) {
    EXPECT_EQ(OutputImageSize({10.0499f, 10.0f}), cv::Size(10, 10));
    EXPECT_EQ(OutputImageSize({1.0f, 1.0f}), cv::Size(1, 1));
    EXPECT_FALSE(OutputImageSize({0.0f, 0.0f})) << "four identical corners";
    EXPECT_FALSE(OutputImageSize({0.99f, 500.0f}));
    EXPECT_FALSE(OutputImageSize({500.0f, 0.5f}));
    // 32768 x 32768 is exactly 2^30 pixels; one more row is too many.
    EXPECT_EQ(OutputImageSize({32768.0f, 32768.0f}), cv::Size(32768, 32768));
    EXPECT_FALSE(OutputImageSize({32768.0f, 32769.0f}));
    // Widths that do not fit an int are out of range, not undefined.
    EXPECT_FALSE(OutputImageSize({3.0e9f, 1.0f}));
    EXPECT_FALSE(OutputImageSize({2147483648.0f, 1.0f}));
    const OutputExtent farOut = MeasureOutput(
        Ordered({{-2147483648.0f, -2147483648.0f}, {2147483648.0f, -2147483648.0f},
                 {2147483648.0f, 2147483648.0f}, {-2147483648.0f, 2147483648.0f}}));
    EXPECT_FALSE(OutputImageSize(farOut));
}

}  // namespace
}  // namespace zentrel
