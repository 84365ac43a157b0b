#include "repeat_rect.h"

#include <gtest/gtest.h>

#include "result_state.h"

namespace zentrel {
namespace {

class RepeatRectTest : public ::testing::Test {
protected:
    void SetUp() override {
        inputSize = cv::Size(1000, 800);
        highList.clear();
        checkPoints.clear();
        cornerA = cornerB = cv::Point(0, 0);
        repeatX = repeatY = repeatW = repeatH = -1;
    }
    void TearDown() override {
        inputSize = cv::Size();
        highList.clear();
        checkPoints.clear();
    }

    void Candidates(std::initializer_list<std::pair<float, cv::Point>> candidates) {
        for (const auto& [score, point] : candidates) {
            highList.push_back(score);
            checkPoints.push_back(point);
        }
    }

    static std::vector<int> Rectangle() { return {repeatX, repeatY, repeatW, repeatH}; }
};

TEST_F(RepeatRectTest, FewerThanSixDistinctScoresFallBackToTheImageCentre) {
    Candidates({{1.0f, {1, 1}}, {0.9f, {2, 2}}, {0.8f, {3, 3}}, {0.7f, {4, 4}}, {0.6f, {5, 5}},
                {0.6f, {6, 6}}, {0.9f, {7, 7}}});
    ASSERT_TRUE(ResolveRepeatRect());
    EXPECT_EQ(cornerA, cv::Point(400, 320));
    EXPECT_EQ(cornerB, cv::Point(600, 480));
    EXPECT_EQ(Rectangle(), (std::vector<int>{400, 320, 200, 160}));

    highList.clear();
    checkPoints.clear();
    inputSize = cv::Size(29, 100);
    ASSERT_TRUE(ResolveRepeatRect()) << "no candidate at all is the fallback too";
    // A width of 4 takes the height.
    EXPECT_EQ(Rectangle(), (std::vector<int>{12, 40, 20, 20}));
}

TEST_F(RepeatRectTest, SecondCornerIsTheBestCandidateFarEnoughUpAndLeft) {
    Candidates({{1.0f, {300, 300}}, {0.9f, {250, 320}}, {0.8f, {100, 100}}, {0.7f, {50, 50}},
                {0.6f, {10, 10}}, {0.5f, {20, 20}}});
    ASSERT_TRUE(ResolveRepeatRect());
    EXPECT_EQ(Rectangle(), (std::vector<int>{100, 100, 200, 200}));
}

TEST_F(RepeatRectTest, TheSecondCornerMustBeAtLeast40PixelsUpAndLeftOnBothAxes) {
    const auto secondCorner = [&](cv::Point nearer) {
        SetUp();
        // The nearer candidate scores higher than the one that always
        // qualifies, so it is the corner whenever it qualifies itself.
        Candidates({{1.0f, {300, 300}}, {0.9f, nearer}, {0.8f, {100, 100}}, {0.7f, {1, 1}},
                    {0.6f, {2, 2}}, {0.5f, {3, 3}}});
        EXPECT_TRUE(ResolveRepeatRect());
        return cornerB;
    };
    EXPECT_EQ(secondCorner({260, 260}), cv::Point(260, 260));
    EXPECT_EQ(secondCorner({261, 260}), cv::Point(100, 100));
    EXPECT_EQ(secondCorner({260, 261}), cv::Point(100, 100));
}

TEST_F(RepeatRectTest, CandidatesBelowOrRightNeverQualifyAndTheSmallestIsNeverTried) {
    // Everything lies below-right of the best, and the smallest score sits
    // where it would qualify: the search ends on the second-smallest.
    Candidates({{1.0f, {300, 300}}, {0.9f, {500, 500}}, {0.8f, {320, 600}}, {0.7f, {600, 310}},
                {0.6f, {290, 290}}, {0.5f, {0, 0}}});
    ASSERT_TRUE(ResolveRepeatRect());
    EXPECT_EQ(cornerB, cv::Point(290, 290));
    // 10 x 10 spanned; neither side is 5 or less.
    EXPECT_EQ(Rectangle(), (std::vector<int>{290, 290, 10, 10}));
}

TEST_F(RepeatRectTest, OnlyTheFirstCandidateOfAScoreCanBeACorner) {
    Candidates({{0.5f, {900, 900}}, {1.0f, {300, 300}}, {0.9f, {290, 290}}, {0.9f, {100, 100}},
                {0.8f, {200, 150}}, {0.7f, {5, 5}}, {0.6f, {6, 6}}});
    ASSERT_TRUE(ResolveRepeatRect());
    EXPECT_EQ(cornerA, cv::Point(300, 300)) << "order of highList does not matter";
    EXPECT_EQ(cornerB, cv::Point(200, 150));
}

TEST_F(RepeatRectTest, ShortSidesTakeTheOtherSideInAFixedOrder) {
    const auto resolve = [&](cv::Point second) {
        SetUp();
        Candidates({{1.0f, {100, 100}}, {0.9f, second}, {0.8f, second}, {0.7f, second},
                    {0.6f, second}, {0.5f, second}});
        EXPECT_TRUE(ResolveRepeatRect());
        return Rectangle();
    };
    EXPECT_EQ(resolve({103, 150}), (std::vector<int>{100, 100, 50, 50}));
    EXPECT_EQ(resolve({150, 103}), (std::vector<int>{100, 100, 50, 50}));
    EXPECT_EQ(resolve({102, 104}), (std::vector<int>{100, 100, 4, 4}));
    // 5 is short, 6 is not.
    EXPECT_EQ(resolve({105, 150}), (std::vector<int>{100, 100, 50, 50}));
    EXPECT_EQ(resolve({106, 150}), (std::vector<int>{100, 100, 6, 50}));
    EXPECT_EQ(resolve({150, 105}), (std::vector<int>{100, 100, 50, 50}));
    EXPECT_EQ(resolve({150, 106}), (std::vector<int>{100, 100, 50, 6}));
}

TEST_F(RepeatRectTest, MismatchedListsLeaveCornersAndRectangleUnchanged) {
    Candidates({{1.0f, {300, 300}}, {0.9f, {200, 200}}, {0.8f, {100, 100}}, {0.7f, {50, 50}},
                {0.6f, {10, 10}}});
    highList.push_back(0.5f);
    highList.push_back(2.0f);  // the best score has no point: its lookup fails
    cornerA = cv::Point(7, 8);
    EXPECT_FALSE(ResolveRepeatRect());
    EXPECT_EQ(cornerA, cv::Point(7, 8));
    EXPECT_EQ(Rectangle(), (std::vector<int>{-1, -1, -1, -1}));
}

}  // namespace
}  // namespace zentrel
