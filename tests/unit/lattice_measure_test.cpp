// The estimator's measuring tools: the grey working copy and the agreement of
// shifted blocks, against plain reference computations.
#include <gtest/gtest.h>

#include <opencv2/imgproc.hpp>
#include <string>
#include <utility>
#include <vector>

#include "shift_match.h"
#include "test_images.h"
#include "working_image.h"

namespace zentrel::lattice {
namespace {

// The reduced copy is the mean luminance of each block, whichever way it is
// computed: whole blocks summed exactly, or sizes that no factor divides.
TEST(LatticeWorkingCopy, IsTheMeanLuminanceOfEachBlock) {
    struct Case {
        int type;
        cv::Size size;
        int factor;
        double tolerance;  // in the input's grey levels: the conversion's rounding
    };
    const std::vector<Case> cases = {
        {CV_8UC3, {96, 64}, 4, 0.6},      // colour, whole blocks
        {CV_16UC3, {90, 60}, 3, 2.0},     // 16-bit colour: fixed-point weights
        {CV_8UC1, {100, 70}, 5, 0.6},     // grey, whole blocks
        {CV_8UC3, {98, 66}, 4, 1.1},      // no whole blocks: resized
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(std::to_string(c.type) + " " + std::to_string(c.size.width));
        cv::Mat image(c.size, c.type);
        cv::randu(image, 0, c.type == CV_16UC3 ? 65535 : 255);
        cv::Mat reference;
        image.convertTo(reference, CV_32F);
        if (reference.channels() == 3) cv::cvtColor(reference, reference, cv::COLOR_BGR2GRAY);
        const cv::Size reduced(static_cast<int>(std::lround(double(c.size.width) / c.factor)),
                               static_cast<int>(std::lround(double(c.size.height) / c.factor)));
        cv::resize(reference, reference, reduced, 0, 0, cv::INTER_AREA);

        const cv::Mat copy = GreyWorkingCopy(image, cv::Rect({}, c.size), 1.0 / c.factor);
        ASSERT_EQ(copy.type(), CV_32FC1);
        ASSERT_EQ(copy.size(), reduced);
        EXPECT_LE(cv::norm(copy, reference, cv::NORM_INF), c.tolerance);
    }
}

// Shifts measured one after another share a window of gradients, grown and,
// for blocks far apart, bypassed; each must score as it does measured alone.
TEST(LatticeShiftMatch, SharedGradientsScoreAsFreshOnes) {
    const cv::Mat image = testing::TiledPattern({37, 29}, {1300, 1100}, CV_8UC3);
    const cv::Rect area({}, image.size());
    const std::vector<cv::Point2d> shifts = {{37, 0},  {0, 29},   {74, 29},  {-37, 58},
                                             {36, 1},  {370, 0},  {0, 580},  {-444, 522},
                                             {37, 0},  {111, -87}};
    // A window that holds the expected shifts, one capped below them, and
    // the colour's matcher: blocks inside and beyond the window alike.
    for (const auto& [longest, chroma] : {std::pair(80.0, false), std::pair(5000.0, false),
                                          std::pair(80.0, true), std::pair(5000.0, true)}) {
        const ShiftMatch shared(image, area, 1.0, {kMatchBlockSide, kMatchBlockSide}, chroma);
        shared.Expect(longest);
        for (const cv::Point2d& shift : shifts) {
            SCOPED_TRACE(cv::format("expected %.0f, chroma %d, shift %.0f, %.0f", longest, chroma,
                                    shift.x, shift.y));
            const ShiftMatch fresh(image, area, 1.0, {kMatchBlockSide, kMatchBlockSide}, chroma);
            const ShiftMatch::Peak alone = fresh.Refine(shift, 2);
            const ShiftMatch::Peak together = shared.Refine(shift, 2);
            EXPECT_NEAR(together.similarity, alone.similarity, 1e-5);
            EXPECT_NEAR(together.shift.x, alone.shift.x, 1e-4);
            EXPECT_NEAR(together.shift.y, alone.shift.y, 1e-4);
        }
        EXPECT_NEAR(shared.Refine({37, 29}, 1).similarity, 1.0, 1e-3);
        EXPECT_LT(shared.Refine({18, 14}, 1).similarity, 0.9);
    }
}

}  // namespace
}  // namespace zentrel::lattice
