#include "tile_extract.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <opencv2/imgproc.hpp>
#include <vector>

#include "seam_score.h"
#include "test_images.h"
#include "tile_combine.h"

namespace zentrel::lattice {
namespace {

using testing::RepeatTile;
using testing::ShapesTile;
using testing::TileOffset;

// The lattice RepeatTile lays `tile` out on, from the corner.
Lattice KnownLattice(cv::Size tile, TileOffset offset) {
    const double w = tile.width;
    const double h = tile.height;
    Lattice lattice;
    lattice.found = true;
    lattice.width = w;
    lattice.height = h;
    lattice.confidence = 1.0;
    lattice.vectorA = {w, 0};
    lattice.vectorB = {0, h};
    if (offset == TileOffset::HalfDrop) {
        lattice.match = MatchType::HalfDrop;
        lattice.vectorA = {w, -std::floor(h / 2)};
    } else if (offset == TileOffset::HalfBrick) {
        lattice.match = MatchType::HalfBrick;
        lattice.vectorA = {-std::floor(w / 2), h};
        lattice.vectorB = {w, 0};
    } else {
        lattice.match = MatchType::Straight;
    }
    return lattice;
}

// The least mean squared difference between `tile` and any window of its
// size cut from `tiling`: 0 when the tile is one of the pattern's tiles.
double PhaseError(const cv::Mat& tile, const cv::Mat& tiling) {
    cv::Mat a, b, scores;
    tile.convertTo(a, CV_32F);
    tiling.convertTo(b, CV_32F);
    // Found in float, which rounds sums of squares; measured exactly.
    cv::matchTemplate(b, a, scores, cv::TM_SQDIFF);
    cv::Point at;
    cv::minMaxLoc(scores, nullptr, nullptr, &at);
    return cv::norm(tile, tiling(cv::Rect(at, tile.size())), cv::NORM_L2SQR) /
           static_cast<double>(tile.total() * tile.channels());
}

struct ExactCase {
    const char* name;
    cv::Size tile;
    TileOffset offset;
    int type;
    MatchType match;
};

// Lossless tilings on whole pixels: the tile comes back bit for bit, in its
// own depth and channels, whatever the match, with seams no one can find.
TEST(TileExtract, LosslessTilingsGiveTheTileExactly) {
    const ExactCase cases[] = {
        {"straight colour", {61, 47}, TileOffset::None, CV_8UC3, MatchType::Straight},
        {"straight 16-bit grey", {40, 30}, TileOffset::None, CV_16UC1, MatchType::Straight},
        {"half-drop with alpha", {50, 36}, TileOffset::HalfDrop, CV_8UC4, MatchType::HalfDrop},
        {"half-brick 16-bit colour",
         {44, 38},
         TileOffset::HalfBrick,
         CV_16UC3,
         MatchType::HalfBrick},
    };
    for (const ExactCase& c : cases) {
        SCOPED_TRACE(c.name);
        const cv::Mat truth = ShapesTile(c.tile, c.type);
        const cv::Mat image = RepeatTile(truth, {420, 330}, c.offset, {7, 5});
        Lattice lattice = KnownLattice(c.tile, c.offset);
        lattice.origin = {13, 9};
        for (const Combine how : {Combine::Median, Combine::Mean, Combine::Best}) {
            const ExtractedTile found = ExtractTile(image, lattice, {how, false});
            ASSERT_EQ(found.tile.size(), c.tile);
            EXPECT_EQ(found.tile.type(), c.type);
            EXPECT_EQ(found.match, c.match);
            EXPECT_GE(found.repeats, how == Combine::Best ? 1 : 20);
            EXPECT_EQ(PhaseError(found.tile, RepeatTile(truth, c.tile * 2, c.offset)), 0.0);
            EXPECT_NEAR(found.seamScore, 1.0, 1e-9);
        }
    }
}

// A pattern whose units are mirror images of each other: the tile written
// is the translational repeat, unit and mirror together, which reprints it by
// plain repetition.
TEST(TileExtract, AMirroredPatternGivesItsTranslationalTile) {
    const cv::Mat unit = ShapesTile({30, 36}, CV_8UC3);
    cv::Mat mirrored, truth;
    cv::flip(unit, mirrored, 1);
    cv::hconcat(unit, mirrored, truth);
    Lattice lattice = KnownLattice(truth.size(), TileOffset::None);
    lattice.mirror = Mirror::Horizontal;
    const ExtractedTile found =
        ExtractTile(RepeatTile(truth, {420, 330}, TileOffset::None, {11, 7}), lattice);
    EXPECT_EQ(found.tile.size(), truth.size());
    EXPECT_EQ(PhaseError(found.tile, RepeatTile(truth, truth.size() * 2, TileOffset::None)), 0.0);
}

// Vectors a little off (as estimated) are corrected on the repeats
// themselves, and an odd half-drop height becomes even so the drop is whole.
TEST(TileExtract, TheLatticeIsRefinedAndTheDropMadeWhole) {
    const cv::Mat truth = ShapesTile({48, 40}, CV_8UC3);
    const cv::Mat image = RepeatTile(truth, {600, 480}, TileOffset::None);
    Lattice off = KnownLattice({48, 40}, TileOffset::None);
    off.vectorA = {48.35, 0.2};
    off.vectorB = {-0.15, 39.7};
    const ExtractedTile found = ExtractTile(image, off);
    EXPECT_EQ(found.tile.size(), cv::Size(48, 40));
    EXPECT_EQ(PhaseError(found.tile, RepeatTile(truth, {96, 80}, TileOffset::None)), 0.0);

    const cv::Mat odd = ShapesTile({40, 31}, CV_8UC1);
    const ExtractedTile dropped = ExtractTile(RepeatTile(odd, {500, 400}, TileOffset::HalfDrop),
                                              KnownLattice({40, 31}, TileOffset::HalfDrop));
    EXPECT_EQ(dropped.match, MatchType::HalfDrop);
    EXPECT_EQ(dropped.tile.rows % 2, 0);
    EXPECT_NEAR(dropped.tile.rows, 31, 1);
}

// A period of no whole pixel count (the tiling enlarged by 1.37) gives the
// nearest whole tile, resampled once, close to the pattern sampled exactly
// where the tile's pixels lie.
TEST(TileExtract, AFractionalPeriodIsResampledFaithfully) {
    cv::Mat smooth;
    cv::GaussianBlur(RepeatTile(ShapesTile({40, 32}, CV_8UC1), {480, 384}, TileOffset::None),
                     smooth, {}, 1.2);
    const double scale = 1.37;
    cv::Mat image;
    cv::resize(smooth, image, {}, scale, scale, cv::INTER_CUBIC);
    Lattice lattice = KnownLattice({40, 32}, TileOffset::None);
    lattice.vectorA *= scale;
    lattice.vectorB *= scale;
    lattice.origin = {41.1, 35.6};
    const ExtractedTile found = ExtractTile(image, lattice);
    ASSERT_EQ(found.tile.size(), cv::Size(55, 44));  // 54.8 x 43.84

    // Tile pixel (x, y) lies at origin + (x * 54.8 / 55, y * 43.84 / 44) in
    // the image, and there at ((X + 0.5) / scale - 0.5) in `smooth`.
    cv::Mat mapX(found.tile.size(), CV_32F), mapY(found.tile.size(), CV_32F);
    for (int y = 0; y < mapX.rows; ++y) {
        for (int x = 0; x < mapX.cols; ++x) {
            mapX.at<float>(y, x) = (found.origin.x + x * 54.8 / 55 + 0.5) / scale - 0.5;
            mapY.at<float>(y, x) = (found.origin.y + y * 43.84 / 44 + 0.5) / scale - 0.5;
        }
    }
    cv::Mat expected;
    cv::remap(smooth, expected, mapX, mapY, cv::INTER_CUBIC);
    const double rms = cv::norm(found.tile, expected, cv::NORM_L2) / std::sqrt(expected.total());
    EXPECT_LT(rms, 1.0);  // grey levels
}

// A blob on some repeats: the median ignores it, the mean does not, and
// the best single repeat is one the blob missed.
TEST(TileExtract, TheMedianIgnoresWhatFewRepeatsShow) {
    const cv::Mat truth = ShapesTile({40, 30}, CV_8UC3);
    const cv::Mat tiling = RepeatTile(truth, {80, 60}, TileOffset::None);
    cv::Mat image = RepeatTile(truth, {480, 360}, TileOffset::None);
    // Over the middle repeats, which the alignment would start from.
    cv::circle(image, {240, 180}, 45, cv::Scalar(255, 0, 255), cv::FILLED);
    const Lattice lattice = KnownLattice({40, 30}, TileOffset::None);
    EXPECT_EQ(PhaseError(ExtractTile(image, lattice, {Combine::Median, false}).tile, tiling), 0.0);
    EXPECT_EQ(PhaseError(ExtractTile(image, lattice, {Combine::Best, false}).tile, tiling), 0.0);
    EXPECT_GT(PhaseError(ExtractTile(image, lattice, {Combine::Mean, false}).tile, tiling), 1.0);
}

// Light varying by 40 % across the image: flattening brings the tile back
// to the pattern's own contrast and removes the slope inside it.
TEST(TileExtract, FlatteningRemovesUnevenLight) {
    cv::Mat truth = ShapesTile({40, 30}, CV_8UC3);
    truth.convertTo(truth, CV_8UC3, 0.8);  // no value clips at 1.2 times
    cv::Mat image;
    RepeatTile(truth, {600, 450}, TileOffset::None).convertTo(image, CV_32FC3);
    for (int x = 0; x < image.cols; ++x) image.col(x) *= 1.2 - 0.4 * x / image.cols;
    image.convertTo(image, CV_8UC3);
    const Lattice lattice = KnownLattice({40, 30}, TileOffset::None);
    const cv::Mat tiling = RepeatTile(truth, {80, 60}, TileOffset::None);
    const double flat =
        PhaseError(ExtractTile(image, lattice, {Combine::Median, true}).tile, tiling);
    const double uneven =
        PhaseError(ExtractTile(image, lattice, {Combine::Median, false}).tile, tiling);
    EXPECT_LT(flat, 0.5);
    EXPECT_GT(uneven, 1.0);
}

TEST(TileExtract, RepeatsAreTakenOnlyInsideTheRegion) {
    const cv::Mat truth = ShapesTile({40, 30}, CV_8UC1);
    cv::Mat image(400, 500, CV_8UC1, cv::Scalar(0));
    cv::randu(image, 0, 256);  // no pattern outside the region
    RepeatTile(truth, {200, 150}, TileOffset::None).copyTo(image(cv::Rect(120, 90, 200, 150)));
    Lattice lattice = KnownLattice({40, 30}, TileOffset::None);
    lattice.origin = {120, 90};
    lattice.region = {120, 90, 200, 150};
    const ExtractedTile found = ExtractTile(image, lattice);
    EXPECT_EQ(found.repeats, 5 * 5);
    EXPECT_EQ(PhaseError(found.tile, RepeatTile(truth, {80, 60}, TileOffset::None)), 0.0);
}

TEST(TileExtract, LatticesThatCannotGiveATileAreRefused) {
    const cv::Mat image = RepeatTile(ShapesTile({40, 30}, CV_8UC3), {300, 200}, TileOffset::None);
    const auto kindOf = [&](const Lattice& lattice) {
        try {
            ExtractTile(image, lattice);
        } catch (const ExtractError& error) {
            return static_cast<int>(error.kind());
        }
        return -1;
    };
    Lattice none;
    EXPECT_EQ(kindOf(none), static_cast<int>(ExtractError::Kind::NoRepeat));
    Lattice tooBig = KnownLattice({320, 30}, TileOffset::None);
    EXPECT_EQ(kindOf(tooBig), static_cast<int>(ExtractError::Kind::DoesNotFit));
    // Another image's lattice: its repeats here resemble nothing.
    Lattice other = KnownLattice({53, 37}, TileOffset::None);
    EXPECT_EQ(kindOf(other), static_cast<int>(ExtractError::Kind::DoesNotFit));
    // Turned 30 degrees: no rows and columns.
    Lattice turned = KnownLattice({40, 30}, TileOffset::None);
    turned.vectorA = {34.6, 20};
    turned.vectorB = {-15, 26};
    EXPECT_EQ(kindOf(turned), static_cast<int>(ExtractError::Kind::DoesNotFit));
    Lattice huge = KnownLattice({40000, 30}, TileOffset::None);
    EXPECT_EQ(kindOf(huge), static_cast<int>(ExtractError::Kind::TooLarge));
    Lattice broken = KnownLattice({40, 30}, TileOffset::None);
    broken.vectorA = {std::nan(""), 0};
    EXPECT_EQ(kindOf(broken), static_cast<int>(ExtractError::Kind::DoesNotFit));
}

// The bit-by-bit median against a sort, for odd and even counts, where ties
// and the extremes of the depth are common.
TEST(TileCombine, TheMedianIsTheMiddleOfTheSortedValues) {
    for (const int depth : {CV_8U, CV_16U, CV_32F}) {
        for (const int count : {1, 2, 7, 16, 255}) {
            SCOPED_TRACE(::testing::Message() << "depth " << depth << ", " << count << " rows");
            cv::Mat stack(count, 300, depth);
            cv::randu(stack, 0, depth == CV_8U ? 256 : 65536);
            stack.colRange(0, 20).setTo(0);
            stack.colRange(20, 40).setTo(depth == CV_8U ? 255 : 65535);
            cv::Mat median = CombineStack(stack, Combine::Median);
            median.convertTo(median, CV_64F);
            for (int e = 0; e < stack.cols; ++e) {
                cv::Mat column;
                stack.col(e).convertTo(column, CV_64F);
                cv::sort(column, column, cv::SORT_EVERY_COLUMN);
                double expected = column.at<double>((count - 1) / 2);
                if (count % 2 == 0) expected = 0.5 * (expected + column.at<double>(count / 2));
                if (depth != CV_32F) expected = std::floor(expected + 0.5);
                ASSERT_NEAR(median.at<double>(e), expected, 1e-6 * expected + 1e-9)
                    << "value " << e;
            }
        }
    }
}

// Four of twenty copies show a blob in one block: set aside, they leave the
// median of the sixteen others there, and nothing elsewhere is touched.
TEST(TileCombine, OutliersSetAsideLeaveTheMedianOfTheRest) {
    const cv::Size plane(40, 20);
    cv::Mat stack(20, plane.area() * 3, CV_8U);
    cv::randn(stack, 120, 6);
    const cv::Rect blob(16, 0, 16, 16);  // the second block of the first row
    for (int k = 0; k < 4; ++k) {
        stack.row(k).reshape(3, plane.height)(blob).setTo(cv::Scalar(250, 10, 250));
    }
    cv::Mat clean;
    cv::Mat rest = stack.rowRange(4, 20).clone();
    clean = CombineStack(rest, Combine::Median);
    cv::Mat median = CombineStack(stack, Combine::Median);
    EXPECT_EQ(SetAsideOutliers(stack, median, plane, 3), 4);
    median = CombineStack(stack, Combine::Median);
    const auto inBlob = [&](const cv::Mat& row) { return row.reshape(3, plane.height)(blob); };
    EXPECT_EQ(cv::norm(inBlob(median), inBlob(clean), cv::NORM_INF), 0.0);
    EXPECT_EQ(cv::countNonZero(stack.rowRange(4, 20) != rest), 0);
}

// What lay beyond the tile in the image against the tile's own wrap: the
// pattern's own continuation is no seam, whatever the match; a piece of a
// pattern that does not repeat there is all seams.
TEST(SeamScore, OnlyAWrapUnlikeTheImageIsASeam) {
    cv::Mat field(300, 400, CV_8UC3);
    cv::randu(field, 0, 256);
    cv::GaussianBlur(field, field, {}, 3.0);
    const cv::Mat tile = field(cv::Rect(100, 100, 40, 30));
    for (const TileOffset offset :
         {TileOffset::None, TileOffset::HalfDrop, TileOffset::HalfBrick}) {
        const cv::Mat extended = RepeatTile(tile, {41, 31}, offset);
        const int drop = offset == TileOffset::HalfDrop ? 15 : 0;
        const int shift = offset == TileOffset::HalfBrick ? 20 : 0;
        EXPECT_DOUBLE_EQ(SeamScore(extended, drop, shift), 1.0);
    }
    EXPECT_GT(SeamScore(field(cv::Rect(100, 100, 41, 31)), 0, 0), 3.0);
}

}  // namespace
}  // namespace zentrel::lattice
