#include "repeat_search.h"

#include <gtest/gtest.h>

#include <cmath>

#include "result_state.h"
#include "test_images.h"

namespace zentrel {
namespace {

// A thresholded score map with the given cells set.
cv::Mat Scores(int rows, int columns, std::initializer_list<std::pair<cv::Point, float>> cells) {
    cv::Mat scores(rows, columns, CV_32FC1, cv::Scalar(0));
    for (const auto& [at, score] : cells) scores.at<float>(at) = score;
    return scores;
}

struct Expected {
    float score;
    float x;
    float y;
};

void ExpectCandidates(const std::vector<HighPos>& actual, const std::vector<Expected>& expected) {
    ASSERT_EQ(actual.size(), expected.size());
    for (std::size_t k = 0; k < expected.size(); ++k) {
        SCOPED_TRACE("candidate " + std::to_string(k));
        EXPECT_EQ(actual[k].similarity, static_cast<double>(expected[k].score / 100.0f));
        EXPECT_EQ(actual[k].position.x, expected[k].x);
        EXPECT_EQ(actual[k].position.y, expected[k].y);
    }
}

TEST(PointDistance, IsEuclideanWithEveryStepInSinglePrecision) {
    EXPECT_EQ(PointDistance(Vector2{0, 0}, Vector2{3, 4}), 5.0f);
    EXPECT_EQ(PointDistance(cv::Point2f(3, 0), cv::Point2f(0, 4)), 5.0f);
    // The squares overflow a float, so the distance is infinite; a double sum
    // or a hypot would give 2e19.
    EXPECT_EQ(PointDistance(Vector2{0, 0}, Vector2{2e19f, 0}), INFINITY);
}

TEST(GatherCandidates, NearMeansStrictlyCloserThanTheSpan) {
    // Exactly one span apart: two candidates. One less: one.
    ExpectCandidates(GatherCandidates(Scores(40, 40, {{{0, 0}, 0.5f}, {{30, 0}, 0.4f}}), 30.0f),
                     {{0.5f, 0, 0}, {0.4f, 30, 0}});
    ExpectCandidates(GatherCandidates(Scores(40, 40, {{{0, 0}, 0.5f}, {{29, 0}, 0.4f}}), 30.0f),
                     {{0.5f, 0, 0}});
    // Zero cells (below the threshold) never take part.
    EXPECT_TRUE(GatherCandidates(Scores(40, 40, {}), 30.0f).empty());
}

TEST(GatherCandidates, EqualScoresKeepTheCellMetFirstAndHigherOnesOverwrite) {
    ExpectCandidates(GatherCandidates(Scores(40, 40, {{{5, 2}, 0.6f}, {{1, 3}, 0.6f}}), 10.0f),
                     {{0.6f, 5, 2}});
    ExpectCandidates(GatherCandidates(Scores(40, 40, {{{5, 2}, 0.6f}, {{1, 3}, 0.7f}}), 10.0f),
                     {{0.7f, 1, 3}});
}

TEST(GatherCandidates, OneCellCanOverwriteSeveralWeakerCandidates) {
    // Two weak cells 16 apart start two candidates; a strong cell between them
    // is near both and overwrites both.
    const std::vector<HighPos> gathered = GatherCandidates(
        Scores(40, 40, {{{0, 0}, 0.4f}, {{16, 0}, 0.5f}, {{8, 1}, 0.9f}}), 10.0f);
    ExpectCandidates(gathered, {{0.9f, 8, 1}, {0.9f, 8, 1}});

    std::vector<HighPos> pruned = gathered;
    PruneCandidates(pruned, 10.0f);
    ExpectCandidates(pruned, {{0.9f, 8, 1}});
}

TEST(PruneCandidates, DropsLaterNeighboursThatAreNotStronger) {
    const auto candidate = [](float score, float x, float y) {
        return HighPos{static_cast<double>(score / 100.0f), {x, y}};
    };
    std::vector<HighPos> candidates{candidate(0.5f, 0, 0), candidate(0.5f, 5, 0),
                                    candidate(0.4f, 8, 0), candidate(0.9f, 3, 3),
                                    candidate(0.5f, 100, 0)};
    PruneCandidates(candidates, 10.0f);
    // The equal and the weaker neighbour go (the size is re-read after each
    // erase); the stronger later one stays, and so does the earlier one.
    ExpectCandidates(candidates, {{0.5f, 0, 0}, {0.9f, 3, 3}, {0.5f, 100, 0}});

    std::vector<HighPos> none;
    PruneCandidates(none, 10.0f);
    EXPECT_TRUE(none.empty());
}

TEST(OrderCandidates, BestFirstAndTheLaterOfEqualScoresFirst) {
    const auto candidate = [](double similarity, float x) { return HighPos{similarity, {x, 0}}; };
    std::vector<HighPos> candidates{candidate(0.5, 1), candidate(0.9, 2), candidate(0.5, 3),
                                    candidate(0.9, 4), candidate(0.5, 5)};
    OrderCandidates(candidates);
    std::vector<float> order;
    for (const HighPos& c : candidates) order.push_back(c.position.x);
    // Position 0 takes the last 0.9 (x 4) and x 1 moves to its place; among
    // the 0.5s each position takes the last remaining one.
    EXPECT_EQ(order, (std::vector<float>{4, 2, 5, 3, 1}));
}

TEST(WorkingScale, TruncatesTheHeightAndMapsBackByTheRealSize) {
    EXPECT_EQ(WorkingHeight(333, 1000), 199);
    EXPECT_EQ(WorkingHeight(750, 1000), 450);
    EXPECT_EQ(WorkingHeight(1, 601), 0);
    EXPECT_EQ(WorkingHeight(4000000, 1), 2400000000LL) << "no 32-bit overflow";

    const Vector2 wide = MapToInput({315, 126}, {1000, 750}, {600, 450});
    EXPECT_EQ(wide.x, 525.0f);
    EXPECT_EQ(wide.y, 210.0f);
    const Vector2 truncated = MapToInput({315, 126}, {1000, 333}, {600, 199});
    EXPECT_EQ(truncated.x, 525.0f);
    EXPECT_EQ(truncated.y, 333.0f * 126.0f / 199.0f);
    EXPECT_NEAR(truncated.y, 210.844, 0.001);
}

TEST(SearchRegion, IsTheCentreHalfOfTheWorkingImage) {
    const cv::Mat working(450, 600, CV_8UC1);
    const cv::Mat region = SearchRegion(working);
    cv::Size whole;
    cv::Point offset;
    region.locateROI(whole, offset);
    EXPECT_EQ(cv::Rect(offset, region.size()), cv::Rect(150, 112, 300, 225));
}

TEST(ThresholdScores, ZeroesScoresUpToAndIncludingTheThreshold) {
    cv::Mat scores = (cv::Mat_<float>(1, 4) << 0.3f, std::nextafter(0.3f, 1.0f), -0.9f, 0.95f);
    ThresholdScores(scores);
    EXPECT_EQ(scores.at<float>(0), 0.0f) << "exactly the threshold is not strong";
    EXPECT_EQ(scores.at<float>(1), std::nextafter(0.3f, 1.0f));
    EXPECT_EQ(scores.at<float>(2), 0.0f);
    EXPECT_EQ(scores.at<float>(3), 0.95f);
}

TEST(PublishCandidates, CentresAddHalfTheLongerTemplateSideToBothAxes) {
    foundList.clear();
    const float span = MatchSpan({30, 22});
    EXPECT_EQ(span, 30.0f);
    // Working and input of one size: no scaling, so the centre shows as is.
    PublishCandidates({{0.008, {120, 40}}, {0.004, {0.9f, 7.5f}}}, span, {600, 450}, {600, 450});
    ASSERT_EQ(foundList.size(), 2u);
    EXPECT_EQ(foundList[0].x, 135.0f);
    EXPECT_EQ(foundList[0].y, 55.0f);
    EXPECT_EQ(foundList[1].x, 15.0f) << "placements are whole cells";
    EXPECT_EQ(foundList[1].y, 22.0f);
    EXPECT_EQ(highList, (std::vector<float>{1.0f, 0.5f}));
    foundList.clear();
    highList.clear();
}

TEST(MakeWorkingImage, ScalesTo600ColumnsAndConvertsDepthsTheMatcherCannotTake) {
    const cv::Mat grey(750, 1000, CV_8UC1, cv::Scalar(200));
    const cv::Mat working = MakeWorkingImage(grey);
    EXPECT_EQ(working.size(), cv::Size(600, 450));
    EXPECT_EQ(working.type(), CV_8UC1);

    const cv::Mat deep = MakeWorkingImage(cv::Mat(333, 1000, CV_16UC3, cv::Scalar(65535, 0, 32768)));
    EXPECT_EQ(deep.size(), cv::Size(600, 199));
    ASSERT_EQ(deep.type(), CV_32FC3);
    EXPECT_FLOAT_EQ(deep.at<cv::Vec3f>(10, 10)[0], 1.0f);
    EXPECT_FLOAT_EQ(deep.at<cv::Vec3f>(10, 10)[2], 32768.0f / 65535);

    const cv::Mat signedDeep = MakeWorkingImage(cv::Mat(600, 600, CV_16SC1, cv::Scalar(-32768)));
    ASSERT_EQ(signedDeep.type(), CV_32FC1);
    EXPECT_FLOAT_EQ(signedDeep.at<float>(0, 0), 0.0f);

    const cv::Mat doubles = MakeWorkingImage(cv::Mat(600, 600, CV_64FC1, cv::Scalar(0.25)));
    ASSERT_EQ(doubles.type(), CV_32FC1);
    EXPECT_FLOAT_EQ(doubles.at<float>(0, 0), 0.25f);
}

// How far `offset` lies from the nearest whole number of tiles.
float OffTheTile(float offset, float tile) {
    const float rest = std::fmod(std::abs(offset), tile);
    return std::min(rest, tile - rest);
}

TEST(FindRepeatCandidates, ListsCentresOnTheTileBestFirstWithScoresRelativeToTheBest) {
    foundList.clear();
    const cv::Mat pattern = testing::TiledPattern({80, 60}, {800, 600}, CV_8UC3, 1);
    FindRepeatCandidates(pattern);
    ASSERT_GE(foundList.size(), 4u);
    ASSERT_EQ(highList.size(), foundList.size());
    EXPECT_EQ(highList[0], 1.0f);
    for (float score : highList) EXPECT_LE(score, 1.0f);
    // The working image repeats every 60 x 45 pixels, exactly 80 x 60 of the
    // input, so every candidate is a whole number of tiles from the best.
    const Vector2 best = foundList[0];
    for (const Vector2& centre : foundList) {
        EXPECT_GE(centre.x, 0.0f);
        EXPECT_LT(centre.x, 800.0f);
        EXPECT_GE(centre.y, 0.0f);
        EXPECT_LT(centre.y, 600.0f);
        EXPECT_LT(OffTheTile(centre.x - best.x, 80.0f), 0.01f) << centre.x;
        EXPECT_LT(OffTheTile(centre.y - best.y, 60.0f), 0.01f) << centre.y;
    }
    foundList.clear();
    highList.clear();
}

}  // namespace
}  // namespace zentrel
