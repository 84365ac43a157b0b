// The indexed candidate gathering against the plain scan it replaced: both
// must give the same candidates, in the same order, with the same positions
// and scores, bit for bit, on any map and span.
#include <cmath>
#include <limits>
#include <random>
#include <sstream>
#include <string>

#include <gtest/gtest.h>
#include <opencv2/imgproc.hpp>

#include "keypoint_target.h"
#include "gather_by_scan.h"
#include "repeat_search.h"
#include "test_images.h"

namespace zentrel {
namespace {

using testing::GatherByScan;

std::string Describe(const HighPos& c) {
    std::ostringstream text;
    text.precision(17);
    text << "{" << c.similarity << " at " << c.position.x << ", " << c.position.y << "}";
    return text.str();
}

::testing::AssertionResult GathersAsTheScan(const cv::Mat& scores, float span) {
    const std::vector<HighPos> expected = GatherByScan(scores, span);
    const std::vector<HighPos> actual = GatherCandidates(scores, span);
    const auto context = [&] {
        std::ostringstream text;
        text.precision(9);
        text << " (map " << scores.cols << " x " << scores.rows << ", span " << span << ")";
        return text.str();
    };
    if (actual.size() != expected.size()) {
        return ::testing::AssertionFailure() << actual.size() << " candidates instead of "
                                             << expected.size() << context();
    }
    for (std::size_t k = 0; k < expected.size(); ++k) {
        const HighPos& a = actual[k];
        const HighPos& e = expected[k];
        if (a.similarity != e.similarity || a.position.x != e.position.x ||
            a.position.y != e.position.y) {
            return ::testing::AssertionFailure() << "candidate " << k << " is " << Describe(a)
                                                 << " instead of " << Describe(e) << context();
        }
    }
    return ::testing::AssertionSuccess() << expected.size() << " candidates";
}

// How the strong cells of a random map are scored.
enum class Scores { Continuous, FewLevels, AllEqual, RisingInScanOrder };

cv::Mat RandomMap(std::mt19937& random, cv::Size size, double density, Scores kind) {
    std::uniform_real_distribution<float> unit(0.0f, 1.0f);
    const float levels[] = {0.4f, 0.6f, 0.8f};
    cv::Mat map(size, CV_32FC1, cv::Scalar(0));
    float rising = 0.31f;
    for (int y = 0; y < size.height; ++y) {
        for (int x = 0; x < size.width; ++x) {
            if (unit(random) >= density) continue;
            float score = 0.0f;
            switch (kind) {
                case Scores::Continuous: score = 0.3f + 0.7f * unit(random); break;
                case Scores::FewLevels: score = levels[random() % 3]; break;
                case Scores::AllEqual: score = 0.5f; break;
                case Scores::RisingInScanOrder: score = rising = std::nextafter(rising, 2.0f); break;
            }
            map.at<float>(y, x) = score;
        }
    }
    return map;
}

TEST(CandidateGathering, MatchesTheScanOnThousandsOfRandomMaps) {
    std::mt19937 random(20240611);
    const float spans[] = {1.0f, 2.0f, 3.0f, 4.0f, 5.0f, 7.0f, 10.0f, 16.0f, 2.5f, 1.5f};
    const double densities[] = {0.02, 0.1, 0.35, 0.8, 1.0};
    const Scores kinds[] = {Scores::Continuous, Scores::FewLevels, Scores::AllEqual,
                            Scores::RisingInScanOrder};
    int maps = 0;
    for (int round = 0; round < 60; ++round) {
        for (const Scores kind : kinds) {
            for (const double density : densities) {
                const cv::Size size(1 + static_cast<int>(random() % 48),
                                    1 + static_cast<int>(random() % 40));
                const cv::Mat map = RandomMap(random, size, density, kind);
                const float span = spans[random() % std::size(spans)];
                ASSERT_TRUE(GathersAsTheScan(map, span))
                    << "round " << round << ", kind " << static_cast<int>(kind) << ", density "
                    << density;
                ++maps;
            }
        }
    }
    // A view into a larger map: rows that are not contiguous.
    const cv::Mat large = RandomMap(random, {80, 60}, 0.3, Scores::FewLevels);
    EXPECT_TRUE(GathersAsTheScan(large(cv::Rect(7, 5, 50, 40)), 6.0f));
    EXPECT_EQ(maps, 1200);
}

// Strong cells on a lattice of step `step`, with weaker ones scattered around.
cv::Mat Lattice(cv::Size size, int stepX, int stepY, std::mt19937& random, double noise) {
    std::uniform_real_distribution<float> unit(0.0f, 1.0f);
    cv::Mat map(size, CV_32FC1, cv::Scalar(0));
    for (int y = 0; y < size.height; ++y) {
        for (int x = 0; x < size.width; ++x) {
            if (x % stepX == 0 && y % stepY == 0) {
                map.at<float>(y, x) = 0.9f;
            } else if (unit(random) < noise) {
                map.at<float>(y, x) = 0.3f + 0.6f * unit(random);
            }
        }
    }
    return map;
}

TEST(CandidateGathering, MatchesTheScanWhereDistancesEqualTheSpan) {
    std::mt19937 random(5);
    for (const int span : {1, 2, 3, 5, 8, 13}) {
        SCOPED_TRACE("span " + std::to_string(span));
        // Cells exactly one span apart, one less and one more, bare and noisy.
        for (const int step : {span - 1, span, span + 1}) {
            if (step < 1) continue;
            for (const double noise : {0.0, 0.2, 0.7}) {
                EXPECT_TRUE(GathersAsTheScan(Lattice({60, 45}, step, step, random, noise),
                                             static_cast<float>(span)));
            }
        }
    }
    // Diagonals of exactly the span: 3-4-5 and 5-12-13 steps.
    EXPECT_TRUE(GathersAsTheScan(Lattice({61, 61}, 3, 4, random, 0.0), 5.0f));
    EXPECT_TRUE(GathersAsTheScan(Lattice({61, 61}, 4, 3, random, 0.3), 5.0f));
    EXPECT_TRUE(GathersAsTheScan(Lattice({70, 70}, 5, 12, random, 0.3), 13.0f));
    // Spans a hair below and above an integer distance.
    for (const float span : {std::nextafter(5.0f, 0.0f), std::nextafter(5.0f, 10.0f),
                             std::sqrt(2.0f), std::nextafter(std::sqrt(2.0f), 2.0f)}) {
        EXPECT_TRUE(GathersAsTheScan(Lattice({50, 50}, 3, 4, random, 0.5), span));
        EXPECT_TRUE(GathersAsTheScan(Lattice({50, 50}, 1, 1, random, 0.0), span));
    }
}

TEST(CandidateGathering, MatchesTheScanWhenOneCellOverwritesSeveralCandidates) {
    // A ring of weak cells, each starting its own candidate, then a stronger
    // cell near all of them: every one moves onto it, and a later cell near
    // the pile sees them all at once.
    for (const int span : {4, 10, 30}) {
        cv::Mat map(3 * span + 4, 3 * span + 4, CV_32FC1, cv::Scalar(0));
        const int cx = map.cols / 2;
        const int cy = map.rows / 2;
        for (int k = 0; k < 8; ++k) {
            const double angle = k * CV_PI / 4;
            const int x = cx + static_cast<int>(std::lround(0.9 * span * std::cos(angle)));
            const int y = cy - span / 2 + static_cast<int>(std::lround(0.45 * span * std::sin(angle)));
            if (y < cy) map.at<float>(y, x) = 0.35f + 0.01f * static_cast<float>(k);
        }
        map.at<float>(cy, cx) = 0.8f;
        map.at<float>(cy, cx + 1) = 0.8f;      // equal: keeps the first
        map.at<float>(cy + 1, cx - 1) = 0.9f;  // stronger: moves the whole pile
        map.at<float>(cy + span - 1, cx) = 0.95f;
        EXPECT_TRUE(GathersAsTheScan(map, static_cast<float>(span))) << "span " << span;
    }

    // Scores rising along the scan: every cell overwrites whatever it is near,
    // so candidates keep moving right and down.
    std::mt19937 random(11);
    for (const int span : {2, 3, 7, 20}) {
        EXPECT_TRUE(GathersAsTheScan(RandomMap(random, {90, 70}, 0.6, Scores::RisingInScanOrder),
                                     static_cast<float>(span)));
    }
}

TEST(CandidateGathering, MatchesTheScanAtDegenerateSpansAndScores) {
    std::mt19937 random(3);
    const cv::Mat map = RandomMap(random, {30, 20}, 0.5, Scores::FewLevels);
    const float nan = std::numeric_limits<float>::quiet_NaN();
    const float inf = std::numeric_limits<float>::infinity();
    for (const float span : {0.0f, -3.0f, nan, 1e-30f, 0.5f, 1000.0f, 3e38f, inf}) {
        EXPECT_TRUE(GathersAsTheScan(map, span));
    }

    // Scores the threshold never leaves, but the gathering still takes:
    // negative, NaN, infinite, and positive ones that vanish when divided.
    cv::Mat odd = RandomMap(random, {30, 20}, 0.5, Scores::Continuous);
    odd.at<float>(0, 0) = std::numeric_limits<float>::denorm_min();
    odd.at<float>(0, 3) = 1e-43f;
    odd.at<float>(1, 1) = -0.5f;
    odd.at<float>(2, 2) = nan;
    odd.at<float>(3, 3) = inf;
    odd.at<float>(3, 4) = inf;
    odd.at<float>(10, 10) = std::numeric_limits<float>::max();
    for (const float span : {1.0f, 3.0f, 9.0f}) EXPECT_TRUE(GathersAsTheScan(odd, span));

    EXPECT_TRUE(GatherCandidates(cv::Mat(0, 0, CV_32FC1), 30.0f).empty());
    EXPECT_TRUE(GathersAsTheScan(cv::Mat(1, 1, CV_32FC1, cv::Scalar(0.5)), 30.0f));
}

TEST(CandidateGathering, MatchesTheScanOnFullSizeScoreMaps) {
    // The search's own maps: a small tile fills the map with strong cells and
    // gives a few hundred candidates, a large one gives a handful.
    for (const cv::Size tile : {cv::Size(12, 9), cv::Size(150, 110)}) {
        const cv::Mat pattern = testing::TiledPattern(tile, {600, 450}, CV_8UC3, 7);
        const cv::Mat target = FindKeypointTarget(SearchRegion(pattern));
        cv::Mat scores = MatchScores(pattern, target);
        ThresholdScores(scores);
        EXPECT_TRUE(GathersAsTheScan(scores, MatchSpan(target.size())))
            << "tile " << tile.width << " x " << tile.height;
    }

    // 600 x 450 maps with random strong cells at the search's span, at a
    // large one and, sparser, at the tiniest.
    std::mt19937 random(17);
    EXPECT_TRUE(GathersAsTheScan(RandomMap(random, {600, 450}, 0.3, Scores::Continuous), 30.0f));
    EXPECT_TRUE(GathersAsTheScan(RandomMap(random, {600, 450}, 0.05, Scores::FewLevels), 200.0f));
    EXPECT_TRUE(GathersAsTheScan(RandomMap(random, {600, 450}, 0.004, Scores::FewLevels), 1.0f));
    EXPECT_TRUE(GathersAsTheScan(RandomMap(random, {600, 450}, 0.004, Scores::Continuous), 2.0f));
}

}  // namespace
}  // namespace zentrel
