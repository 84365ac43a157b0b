#include "lattice.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <limits>
#include <opencv2/imgcodecs.hpp>
#include <opencv2/imgproc.hpp>
#include <string>

#include "lattice_basis.h"
#include "test_images.h"

namespace zentrel::lattice {
namespace {

using testing::RepeatTile;
using testing::ShapesTile;
using testing::TileOffset;

// The true tile, and how far the estimate may be from it.
struct Truth {
    double width;
    double height;
    MatchType match;
};

void ExpectTile(const Lattice& found, const Truth& truth, double tolerance = 0.5) {
    ASSERT_TRUE(found.found);
    EXPECT_NEAR(found.width, truth.width, tolerance);
    EXPECT_NEAR(found.height, truth.height, tolerance);
    EXPECT_STREQ(MatchTypeName(found.match), MatchTypeName(truth.match));
    EXPECT_GT(found.confidence, 0.5);
    EXPECT_LE(found.confidence, 1.0);
}

// The reported vectors span a cell of the tile's area (half-drop and
// half-brick cells are one tile too), and the reported tile lies inside.
void ExpectConsistent(const Lattice& found, cv::Size image) {
    const double cell = std::abs(found.vectorA.cross(found.vectorB));
    const double tile = found.width * found.height;
    EXPECT_NEAR(cell, tile, 0.02 * tile);
    EXPECT_LE(cv::norm(found.vectorA), cv::norm(found.vectorB) + 1e-9);
    EXPECT_GE(found.origin.x, 0.0);
    EXPECT_GE(found.origin.y, 0.0);
    EXPECT_LE(found.origin.x + found.width, image.width + 1e-9);
    EXPECT_LE(found.origin.y + found.height, image.height + 1e-9);
}

TileOffset OffsetOf(MatchType match) {
    switch (match) {
        case MatchType::HalfDrop:
            return TileOffset::HalfDrop;
        case MatchType::HalfBrick:
            return TileOffset::HalfBrick;
        default:
            return TileOffset::None;
    }
}

struct KnownLattice {
    MatchType match;
    cv::Size tile;
    cv::Size image;
};

std::string CaseName(const ::testing::TestParamInfo<KnownLattice>& info) {
    std::string name = MatchTypeName(info.param.match);
    name.erase(std::remove(name.begin(), name.end(), '-'), name.end());
    return name + "_" + std::to_string(info.param.tile.width) + "x" +
           std::to_string(info.param.tile.height) + "_in_" + std::to_string(info.param.image.width);
}

class KnownLatticeTest : public ::testing::TestWithParam<KnownLattice> {};

TEST_P(KnownLatticeTest, FindsTheTileAndItsMatch) {
    const KnownLattice& known = GetParam();
    const cv::Mat image =
        RepeatTile(ShapesTile(known.tile, CV_8UC3), known.image, OffsetOf(known.match), {5, 3});
    const Lattice found = EstimateLattice(image);
    ExpectTile(found, {double(known.tile.width), double(known.tile.height), known.match});
    ExpectConsistent(found, image.size());
}

INSTANTIATE_TEST_SUITE_P(
    EachMatchAtSeveralSizes, KnownLatticeTest,
    ::testing::Values(KnownLattice{MatchType::Straight, {16, 20}, {400, 300}},
                      KnownLattice{MatchType::Straight, {61, 47}, {640, 480}},
                      KnownLattice{MatchType::Straight, {180, 150}, {640, 480}},
                      KnownLattice{MatchType::HalfDrop, {30, 36}, {400, 300}},
                      KnownLattice{MatchType::HalfDrop, {90, 110}, {800, 600}},
                      KnownLattice{MatchType::HalfBrick, {40, 34}, {400, 300}},
                      KnownLattice{MatchType::HalfBrick, {120, 96}, {800, 600}},
                      // Reduced eightfold for the search: found again at full resolution.
                      KnownLattice{MatchType::Straight, {18, 14}, {3200, 2400}},
                      KnownLattice{MatchType::HalfDrop, {150, 124}, {3200, 2400}}),
    CaseName);

// Every format the decoder may hand over, with the same pattern in it.
TEST(LatticeFormats, DepthsChannelsAndAlphaGiveTheSameTile) {
    const cv::Size tile(45, 33);
    const cv::Size size(500, 400);
    const Truth truth{45, 33, MatchType::Straight};
    for (const int type : {CV_8UC1, CV_8UC3, CV_8UC4, CV_16UC1, CV_16UC3}) {
        SCOPED_TRACE(type);
        const Lattice found = EstimateLattice(RepeatTile(ShapesTile(tile, type), size, TileOffset::None));
        ExpectTile(found, truth);
        // A lossless tiling of whole pixels is reported in whole pixels.
        EXPECT_EQ(found.width, tile.width);
        EXPECT_EQ(found.height, tile.height);
    }

    // Floats of any range: at 1e15 a level, the squared spectrum of the
    // self-similarity map would overflow float unless scaled.
    for (const double level : {1e-3, 1e15}) {
        SCOPED_TRACE(level);
        cv::Mat floats;
        RepeatTile(ShapesTile(tile, CV_8UC3), size, TileOffset::None).convertTo(floats, CV_32FC3, level);
        floats.at<cv::Vec3f>(7, 9)[1] = std::numeric_limits<float>::quiet_NaN();
        floats.at<cv::Vec3f>(200, 300)[0] = std::numeric_limits<float>::infinity();
        ExpectTile(EstimateLattice(floats), truth);
    }
}

// Transparent parts keep whatever colour they were given; only what shows
// may count.
TEST(LatticeFormats, ColourUnderFullTransparencyIsIgnored) {
    cv::Mat image = RepeatTile(ShapesTile({52, 40}, CV_8UC4), {520, 400}, TileOffset::None);
    cv::Mat hidden(image.size(), CV_8UC4);
    cv::randu(hidden, 0, 256);
    hidden.forEach<cv::Vec4b>([](cv::Vec4b& pixel, const int*) { pixel[3] = 0; });
    hidden(cv::Rect(0, 0, 520, 200)).copyTo(image(cv::Rect(0, 0, 520, 200)));
    // The top half is fully transparent noise: flat once composited.
    const Lattice found = EstimateLattice(image);
    ExpectTile(found, {52, 40, MatchType::Straight});
}

// Smooth colour tiles at JPEG quality 90 show too little of the codec's
// blocks to be recognised as JPEG, and their colour, coarser than their
// luminance, agrees best on the colour's own block grid: told that the file
// was a JPEG, the estimator judges them on their luminance.
TEST(LatticeFormats, AKnownJpegIsJudgedOnItsLuminance) {
    const struct {
        int seed;
        Truth truth;
    } cases[] = {{8, {18, 32, MatchType::Straight}},
                 {5, {18, 32, MatchType::HalfBrick}},
                 {7, {14, 12, MatchType::HalfBrick}}};
    for (const auto& c : cases) {
        SCOPED_TRACE(c.seed);
        const cv::Size size(static_cast<int>(c.truth.width), static_cast<int>(c.truth.height));
        cv::Mat noise(size, CV_32FC3), around, tile;
        cv::RNG(c.seed).fill(noise, cv::RNG::NORMAL, 128, 40);
        // Blurred among its own copies, so that it stays seamless.
        cv::repeat(noise, 3, 3, around);
        cv::GaussianBlur(around, around, cv::Size(), 1.5);
        around(cv::Rect({size.width, size.height}, size)).convertTo(tile, CV_8UC3);
        std::vector<uchar> bytes;
        cv::imencode(".jpg", RepeatTile(tile, {200, 200}, OffsetOf(c.truth.match)), bytes,
                     {cv::IMWRITE_JPEG_QUALITY, 90});
        ExpectTile(EstimateLattice(cv::imdecode(bytes, cv::IMREAD_UNCHANGED), Storage::Jpeg),
                   c.truth);
    }
}

TEST(LatticePeriod, AMultipleDoesNotWinOverTheTileUnderNoiseAndJpeg) {
    cv::Mat image = RepeatTile(ShapesTile({40, 30}, CV_8UC3), {600, 450}, TileOffset::None);
    cv::Mat noise(image.size(), CV_8UC3);
    cv::randn(noise, 0, 12);
    image += noise;
    std::vector<uchar> jpeg;
    cv::imencode(".jpg", image, jpeg, {cv::IMWRITE_JPEG_QUALITY, 40});
    ExpectTile(EstimateLattice(cv::imdecode(jpeg, cv::IMREAD_UNCHANGED)),
               {40, 30, MatchType::Straight});
}

// A tile whose left and right halves share most of their motifs: the half
// is a near-repeat, not the repeat.
TEST(LatticePeriod, ANearHalfPeriodDoesNotWin) {
    const cv::Mat half = ShapesTile({48, 64}, CV_8UC1, 11);
    cv::Mat tile;
    cv::hconcat(half, half, tile);
    ShapesTile({24, 32}, CV_8UC1, 12).copyTo(tile(cv::Rect(48, 0, 24, 32)));
    ExpectTile(EstimateLattice(RepeatTile(tile, {640, 480}, TileOffset::None)),
               {96, 64, MatchType::Straight});
}

TEST(LatticePeriod, TheImageTurnedTwoDegreesKeepsItsMatch) {
    const cv::Mat tiled =
        RepeatTile(ShapesTile({64, 48}, CV_8UC3), {800, 700}, TileOffset::HalfDrop);
    const cv::Mat turn = cv::getRotationMatrix2D({400, 350}, 2.0, 1.0);
    cv::Mat turned;
    cv::warpAffine(tiled, turned, turn, tiled.size());
    const Lattice found = EstimateLattice(turned(cv::Rect(100, 100, 600, 500)));
    ExpectTile(found, {64, 48, MatchType::HalfDrop}, 1.0);
}

// The image holds exactly two tiles across and down: the tile found must
// still lie inside it.
TEST(LatticeBorder, ATileOfHalfTheImageFitsInside) {
    const cv::Mat image =
        RepeatTile(ShapesTile({160, 120}, CV_8UC3), {320, 240}, TileOffset::None, {37, 11});
    const Lattice found = EstimateLattice(image);
    ExpectTile(found, {160, 120, MatchType::Straight});
    ExpectConsistent(found, image.size());
}

TEST(LatticeBorder, FewerThanTwoRepeatsAcrossIsNoRepeat) {
    const cv::Mat image = RepeatTile(ShapesTile({220, 90}, CV_8UC3), {400, 360}, TileOffset::None);
    EXPECT_FALSE(EstimateLattice(image).found);
}

// Three and a half half-drop tiles across, which the tile nearer to square
// (half-brick, 88 x 51) spans fewer than twice: the lattice repeats.
TEST(LatticeBorder, AHalfDropRepeatsInWhicheverOfItsTilesFits) {
    const cv::Mat image =
        RepeatTile(ShapesTile({44, 102}, CV_8UC3), {161, 337}, TileOffset::HalfDrop, {3, 5});
    const Lattice found = EstimateLattice(image);
    ASSERT_TRUE(found.found);
    EXPECT_NEAR(found.width * found.height, 44 * 102, 1.0);
}

// A pattern printed on a swatch that covers the middle of a plain photo.
TEST(LatticeBorder, APatternFillingPartOfTheImageIsFound) {
    cv::Mat image(600, 800, CV_8UC3, cv::Scalar(90, 120, 140));
    RepeatTile(ShapesTile({50, 42}, CV_8UC3), {500, 380}, TileOffset::None)
        .copyTo(image(cv::Rect(150, 110, 500, 380)));
    ExpectTile(EstimateLattice(image), {50, 42, MatchType::Straight});
}

class NegativeTest : public ::testing::Test {
protected:
    static cv::Mat Noise(cv::Size size, double smoothing) {
        cv::Mat noise(size, CV_8UC3);
        cv::theRNG().state = 99;
        cv::randn(noise, cv::Scalar::all(128), cv::Scalar::all(40));
        if (smoothing > 0) cv::GaussianBlur(noise, noise, cv::Size(), smoothing);
        return noise;
    }
};

TEST_F(NegativeTest, FlatImagesHaveNoRepeat) {
    EXPECT_FALSE(EstimateLattice(cv::Mat(480, 640, CV_8UC3, cv::Scalar(30, 60, 90))).found);
    EXPECT_FALSE(EstimateLattice(cv::Mat(480, 640, CV_32FC1, cv::Scalar(0.5))).found);
}

TEST_F(NegativeTest, NoiseHasNoRepeat) {
    for (const double smoothing : {0.0, 2.0, 6.0}) {
        SCOPED_TRACE(smoothing);
        EXPECT_FALSE(EstimateLattice(Noise({640, 480}, smoothing)).found);
    }
}

// Strong compression of smooth content leaves an 8-pixel grid of block edges.
TEST_F(NegativeTest, JpegBlocksAreNoRepeat) {
    std::vector<uchar> jpeg;
    cv::imencode(".jpg", Noise({640, 480}, 4.0), jpeg, {cv::IMWRITE_JPEG_QUALITY, 15});
    EXPECT_FALSE(EstimateLattice(cv::imdecode(jpeg, cv::IMREAD_UNCHANGED)).found);
}

// Stripes repeat across only: no tile height exists.
TEST_F(NegativeTest, StripesAreNoLattice) {
    cv::Mat stripes(480, 640, CV_8UC1);
    for (int x = 0; x < stripes.cols; ++x) stripes.col(x).setTo(x % 24 < 9 ? 200 : 60);
    EXPECT_FALSE(EstimateLattice(stripes).found);
}

TEST_F(NegativeTest, TinyImagesHaveNoRepeat) {
    EXPECT_FALSE(EstimateLattice(cv::Mat(12, 9, CV_8UC1, cv::Scalar(7))).found);
    EXPECT_THROW(EstimateLattice(cv::Mat()), cv::Exception);
}

// The tile and match come from the lattice, not from the basis that names it.
TEST(LatticeTile, AnyBasisOfALatticeGivesTheSameTile) {
    const struct {
        Basis basis;
        Truth truth;
    } cases[] = {
        {{{50, 0}, {0, 30}}, {50, 30, MatchType::Straight}},
        {{{50, 30}, {0, 30}}, {50, 30, MatchType::Straight}},
        {{{40, 25}, {0, 50}}, {40, 50, MatchType::HalfDrop}},
        {{{40, 25}, {40, -25}}, {40, 50, MatchType::HalfDrop}},
        {{{40, 75}, {0, 50}}, {40, 50, MatchType::HalfDrop}},
        {{{30, 44}, {60, 0}}, {60, 44, MatchType::HalfBrick}},
        {{{30, 44}, {-30, 44}}, {60, 44, MatchType::HalfBrick}},
        // Hexagonal: rows of equal circles, each shifted by half.
        {{{20, 0}, {10, 17.3205}}, {20, 17.3205, MatchType::HalfBrick}},
        // Turned by 1.5 degrees.
        {{{49.983, 1.309}, {-0.785, 29.990}}, {50, 30, MatchType::Straight}},
        // A third-drop has no designer's name.
        {{{40, 10}, {0, 30}}, {40, 40, MatchType::Other}},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(::testing::PrintToString(c.basis.a) + " " +
                     ::testing::PrintToString(c.basis.b));
        const DesignerTile tile = TileOf(ReduceBasis(c.basis.a, c.basis.b));
        EXPECT_NEAR(tile.width, c.truth.width, 1e-3);
        EXPECT_NEAR(tile.height, c.truth.height, 1e-3);
        EXPECT_EQ(tile.match, c.truth.match);
    }
}

TEST(LatticeTile, ReductionGivesTheShortestPairOfTheSameCell) {
    const Basis reduced = ReduceBasis({37, 5}, {37 * 7 + 3, 5 * 7 + 29});
    EXPECT_NEAR(CellArea(reduced), std::abs(37.0 * 29 - 5.0 * 3), 1e-9);
    EXPECT_EQ(reduced.a, cv::Point2d(3, 29));
    EXPECT_EQ(reduced.b, cv::Point2d(37, 5));
    // Either sign of a vector names the same lattice; the reduced pair points
    // right and down.
    const Basis flipped = ReduceBasis({-3, -29}, {-37, -5});
    EXPECT_EQ(flipped.a, reduced.a);
    EXPECT_EQ(flipped.b, reduced.b);
}

TEST(LatticeTile, ReductionEndsOnAHexagonalLattice) {
    // a.b is exactly half of a.a, and both vectors are equally long: each
    // step could flip b between (5, h) and (-5, h) for ever.
    const double h = 10.0 * std::sqrt(3.0) / 2.0;
    const Basis reduced = ReduceBasis({10, 0}, {5, h});
    EXPECT_NEAR(CellArea(reduced), 10.0 * h, 1e-9);
    EXPECT_NEAR(cv::norm(reduced.a), 10.0, 1e-9);
    EXPECT_NEAR(cv::norm(reduced.b), 10.0, 1e-9);
}

}  // namespace
}  // namespace zentrel::lattice
