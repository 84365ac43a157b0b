#include "repeat_driver.h"

#include <gtest/gtest.h>

#include "result_state.h"

namespace zentrel {
namespace {

TEST(PublishCandidatePoints, TruncatesCentresTowardZeroIntoBothPointLists) {
    ClearResultLists();
    foundList = {{135.9f, 55.5f}, {-0.7f, 2.99f}, {-1.5f, 0.0f}};
    PublishCandidatePoints();
    const std::vector<cv::Point> expected{{135, 55}, {0, 2}, {-1, 0}};
    EXPECT_EQ(foundPoints, expected);
    EXPECT_EQ(checkPoints, expected);
    ClearResultLists();
}

}  // namespace
}  // namespace zentrel
