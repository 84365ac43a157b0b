// The exact repeat against its near-repeats and multiples, mirrored units,
// and the region where a pattern holds.
#include <gtest/gtest.h>

#include <cmath>
#include <opencv2/imgcodecs.hpp>
#include <opencv2/imgproc.hpp>
#include <optional>
#include <string>
#include <vector>

#include "lattice.h"
#include "mirror_symmetry.h"
#include "shift_match.h"
#include "test_images.h"

namespace zentrel::lattice {
namespace {

using testing::RepeatTile;
using testing::ShapesTile;
using testing::TileOffset;

cv::Mat Jpeg(const cv::Mat& image, int quality) {
    std::vector<uchar> bytes;
    cv::imencode(".jpg", image, bytes, {cv::IMWRITE_JPEG_QUALITY, quality});
    return cv::imdecode(bytes, cv::IMREAD_UNCHANGED);
}

double Overlap(const cv::Rect& a, const cv::Rect& b) {
    const double common = (a & b).area();
    return common / (a.area() + b.area() - common);
}

// A tile of four copies of one motif, one of them changed: the motif's
// period is a near-repeat, the four together the repeat.
cv::Mat FourMotifs(const std::string& change) {
    const cv::Mat motif = ShapesTile({40, 36}, CV_8UC1, 3);
    cv::Mat odd = motif.clone();
    if (change == "recoloured") odd.convertTo(odd, -1, 0.6, 40);
    if (change == "shifted") cv::warpAffine(motif, odd, cv::Mat_<double>({2, 3}, {1, 0, 2, 0, 1, 1}), motif.size(), cv::INTER_NEAREST, cv::BORDER_WRAP);
    if (change == "flipped") cv::flip(motif, odd, 1);
    if (change == "brightened") odd += 12;
    cv::Mat top, bottom, tile;
    cv::hconcat(motif, motif, top);
    cv::hconcat(motif, odd, bottom);
    cv::vconcat(top, bottom, tile);
    return tile;
}

TEST(LatticeNearRepeat, TheTileWinsOverItsMotifsPeriod) {
    for (const std::string change : {"recoloured", "shifted", "flipped"}) {
        for (const int quality : {0, 90}) {
            SCOPED_TRACE(change + (quality ? " as JPEG" : ""));
            const cv::Mat tiled = RepeatTile(FourMotifs(change), {560, 500}, TileOffset::None, {9, 4});
            const Lattice found = EstimateLattice(quality ? Jpeg(tiled, quality) : tiled);
            ASSERT_TRUE(found.found);
            EXPECT_NEAR(found.width, 80, 1.0);
            EXPECT_NEAR(found.height, 72, 1.0);
            EXPECT_EQ(found.match, MatchType::Straight);
        }
    }
}

// Lossless, a copy a few levels off breaks the motif's period bit for bit,
// though its gradients barely show it: a brighter motif, whose tile lies on
// JPEG's block grid (80 x 72), and one two levels redder, whose tile's
// vectors lie on either side of it.
TEST(LatticeNearRepeat, ALosslessCopyAFewLevelsOffIsNoPeriod) {
    const cv::Mat motif = ShapesTile({24, 36}, CV_8UC3, 3);
    cv::Mat redder;
    cv::hconcat(motif, motif + cv::Scalar(0, 0, 2), redder);
    const struct {
        const char* name;
        cv::Mat tile;
    } cases[] = {{"brighter", FourMotifs("brightened")}, {"redder", redder}};
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        const Lattice found =
            EstimateLattice(RepeatTile(c.tile, {560, 500}, TileOffset::None, {9, 4}));
        ASSERT_TRUE(found.found);
        EXPECT_NEAR(found.width, c.tile.cols, 0.5);
        EXPECT_NEAR(found.height, c.tile.rows, 0.5);
    }
}

// The odd motif in another hue at the same luminance: its grey is the
// motif's, only its colour tells the tile from the motif's period.
TEST(LatticeNearRepeat, ARecolouringAtTheSameLuminanceIsSeen) {
    const cv::Mat shapes = ShapesTile({40, 36}, CV_8UC1, 3);
    const auto coloured = [&](int red, int blue) {
        cv::Mat luma, redness(shapes.size(), CV_8U), blueness(shapes.size(), CV_8U), ycrcb, bgr;
        shapes.convertTo(luma, CV_8U, 100.0 / 255.0, 80);
        redness.setTo(128 + red);
        blueness.setTo(128 + blue);
        redness.setTo(128 - red, shapes > 128);
        blueness.setTo(128 - blue, shapes > 128);
        cv::merge(std::vector<cv::Mat>{luma, redness, blueness}, ycrcb);
        cv::cvtColor(ycrcb, bgr, cv::COLOR_YCrCb2BGR);
        return bgr;
    };
    const cv::Mat motif = coloured(40, -30), odd = coloured(-30, 40);
    cv::Mat top, bottom, tile, grey;
    cv::hconcat(motif, motif, top);
    cv::hconcat(motif, odd, bottom);
    cv::vconcat(top, bottom, tile);
    const cv::Mat tiled = RepeatTile(tile, {560, 500}, TileOffset::None, {9, 4});
    // Only rounding tells the two motifs apart in grey.
    cv::Mat greyMotif, greyOdd;
    cv::cvtColor(motif, greyMotif, cv::COLOR_BGR2GRAY);
    cv::cvtColor(odd, greyOdd, cv::COLOR_BGR2GRAY);
    ASSERT_LE(cv::norm(greyMotif, greyOdd, cv::NORM_INF), 2.0);
    cv::cvtColor(tiled, grey, cv::COLOR_BGR2GRAY);
    const Lattice inGrey = EstimateLattice(grey);
    ASSERT_TRUE(inGrey.found);
    ASSERT_NEAR(inGrey.width * inGrey.height, 40 * 36, 40.0);

    const Lattice found = EstimateLattice(tiled);
    ASSERT_TRUE(found.found);
    EXPECT_NEAR(found.width, 80, 1.0);
    EXPECT_NEAR(found.height, 72, 1.0);
}

// A plain weave repeats its thread crossing every two cells, but one cell of
// the design's tile is darker by `odd`: lossless, the motif's lattice agrees
// to within a few thousandths of the tile's, and the tile is never among the
// strong candidates.
cv::Mat OddCellWeave(int cell, cv::Size cells, bool shaded, int odd) {
    cv::Mat tile(cells.height * cell, cells.width * cell, CV_8UC1);
    for (int y = 0; y < tile.rows; ++y) {
        for (int x = 0; x < tile.cols; ++x) {
            const bool warp = (x / cell + y / cell) % 2 == 0;
            // Each thread shaded across its width.
            const double across = ((warp ? x % cell : y % cell) + 0.5) / cell;
            const double along = ((warp ? y % cell : x % cell) + 0.5) / cell;
            const double shade = 70 * std::sin(CV_PI * across) + 17.3 * std::cos(2.1 * along);
            const double level = (warp ? 90 : 150) + (shaded ? shade : 0.0);
            tile.at<uchar>(y, x) = cv::saturate_cast<uchar>(level);
        }
    }
    tile(cv::Rect(3 * cell, 2 * cell, cell, cell)) -= odd;
    return tile;
}

// Flat cells of two grey levels put the blocks' DCT coefficients on steps
// as JPEG's quantisation does, but on every grid, not only JPEG's. In a JPEG
// the tile's points off the codec's block grid tell it from the motif.
TEST(LatticeNearRepeat, AWeaveWithOneOddCellIsFoundWhole) {
    const struct {
        const char* name;
        cv::Mat tile;
        int quality;
    } cases[] = {{"shaded threads", OddCellWeave(6, {8, 6}, true, 20), 0},
                 {"flat cells", OddCellWeave(6, {8, 6}, false, 20), 0},
                 {"JPEG", OddCellWeave(5, {6, 6}, true, 40), 80}};
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        const cv::Mat tiled = RepeatTile(c.tile, {500, 420}, TileOffset::None, {5, 7});
        const Lattice found = EstimateLattice(c.quality ? Jpeg(tiled, c.quality) : tiled);
        ASSERT_TRUE(found.found);
        EXPECT_NEAR(found.width, c.tile.cols, 1.0);
        EXPECT_NEAR(found.height, c.tile.rows, 1.0);
        EXPECT_EQ(found.match, MatchType::Straight);
    }
}

// A plain weave of four warp and three weft shades of grey, each thread
// shaded across its width: the crossing repeats every two cells, the shades
// only every 4 x 6 cells, and neither thread order reads the same backwards.
// The shading reads as noise, so only the tile's bit-exact repeat tells it
// from the crossing's near-repeat, and from a near mirror image.
TEST(LatticeNearRepeat, ALosslessWeaveIsItsWholeTileUnmirrored) {
    constexpr int kCell = 5;
    const int warp[] = {120, 122, 119, 121}, weft[] = {120, 119, 122};
    for (const int shading : {30, 60}) {
        SCOPED_TRACE(shading);
        cv::Mat tile(6 * kCell, 4 * kCell, CV_8UC1);
        for (int y = 0; y < tile.rows; ++y) {
            for (int x = 0; x < tile.cols; ++x) {
                const bool up = (x / kCell + y / kCell) % 2 == 0;
                const double across = ((up ? x : y) % kCell + 0.5) / kCell;
                const int level = up ? warp[x / kCell] : weft[y / kCell % 3];
                tile.at<uchar>(y, x) =
                    cv::saturate_cast<uchar>(level + shading * (std::sin(CV_PI * across) - 0.5));
            }
        }
        const Lattice found = EstimateLattice(RepeatTile(tile, {200, 210}, TileOffset::None, {3, 2}));
        ASSERT_TRUE(found.found);
        EXPECT_NEAR(found.width, 20, 0.5);
        EXPECT_NEAR(found.height, 30, 0.5);
        EXPECT_EQ(found.match, MatchType::Straight);
        EXPECT_EQ(found.mirror, Mirror::None);
    }
}

// Weaves whose thread colours repeat every six threads, as the accuracy
// harness makes them: the first points that repeat bit for bit are
// multiples of the crossing's cell, three tiles to their cell, one of them on
// JPEG's block grid. And one of four warp colours a level or two apart,
// whose crossing's interpolated peak reads full agreement.
TEST(LatticeNearRepeat, AWeavesTileIsAThirdOfItsCellsMultiples) {
    const struct {
        const char* file;
        cv::Size image;
        double width, height;
        MatchType match;
    } cases[] = {{"/plain_weave_tile42x28.png", {200, 200}, 21, 28, MatchType::HalfDrop},
                 {"/twill_tile24x72.png", {200, 218}, 24, 36, MatchType::HalfBrick},
                 {"/plain_weave_tile24x12.png", {200, 200}, 24, 12, MatchType::Straight}};
    for (const auto& c : cases) {
        SCOPED_TRACE(c.file);
        const cv::Mat tile = cv::imread(std::string(ZENTREL_TEST_DATA_DIR) + c.file, cv::IMREAD_COLOR);
        ASSERT_FALSE(tile.empty());
        const Lattice found = EstimateLattice(RepeatTile(tile, c.image, TileOffset::None));
        ASSERT_TRUE(found.found);
        EXPECT_NEAR(found.width, c.width, 0.5);
        EXPECT_NEAR(found.height, c.height, 0.5);
        EXPECT_EQ(found.match, c.match);
    }
}

// A grid of a grainy motif, one cell marked with a small dot, as JPEG: the
// grain reads as noise beyond the mark's cost, yet it repeats with the tile,
// whose points agree far better than the motif's.
TEST(LatticeNearRepeat, AGrainyMotifsMarkIsNotLostInTheGrain) {
    const cv::Size motif(31, 9);
    cv::Mat cell = ShapesTile(motif, CV_8UC3, 2), grain(motif, CV_32FC3);
    cv::RNG(2).fill(grain, cv::RNG::NORMAL, 0.0, 25.0);
    cv::GaussianBlur(grain, grain, {0, 0}, 0.6);
    cell.convertTo(cell, CV_32FC3);
    cv::Mat(cell + grain).convertTo(cell, CV_8UC3);
    cv::Mat tile = RepeatTile(cell, {5 * motif.width, 4 * motif.height}, TileOffset::None);
    cv::circle(tile, {77, 22}, 2, cv::Scalar(40, 200, 90), cv::FILLED, cv::LINE_AA);
    for (const int quality : {85, 91}) {
        SCOPED_TRACE(quality);
        const Lattice found = EstimateLattice(Jpeg(RepeatTile(tile, {898, 200}, TileOffset::None, {9, 4}), quality));
        ASSERT_TRUE(found.found);
        EXPECT_NEAR(found.width, 155, 0.5);
        EXPECT_NEAR(found.height, 36, 0.5);
    }
}

// A 2/2 twill of 3-pixel threads in six warp colours near one another: its
// diagonals and the weave's 12-pixel cell agree nearly as well as the tile
// and are shorter than its periods, so they partner every shift first tried.
TEST(LatticeNearRepeat, ATwillIsFoundPastItsDiagonalNearRepeats) {
    constexpr int kCell = 3;
    const cv::Vec3b warp[] = {{70, 138, 166}, {54, 121, 181}, {58, 138, 153},
                              {48, 117, 153}, {88, 113, 178}, {97, 139, 164}};
    const cv::Vec3b weft(150, 110, 60);
    cv::Mat tile(4 * kCell, 12 * kCell, CV_8UC3);
    for (int y = 0; y < tile.rows; ++y) {
        for (int x = 0; x < tile.cols; ++x) {
            const int i = x / kCell, j = y / kCell;
            const bool up = (i + j) % 4 < 2;
            const double shade = 0.6 + 0.4 * std::sin(CV_PI * ((up ? x : y) % kCell + 0.5) / kCell);
            tile.at<cv::Vec3b>(y, x) = (up ? warp[i % 6] : weft) * shade;
        }
    }
    const cv::Mat tiled = RepeatTile(tile, {200, 200}, TileOffset::None, {4, 1});
    for (const int quality : {0, 85}) {
        SCOPED_TRACE(quality);
        const Lattice found = EstimateLattice(quality ? Jpeg(tiled, quality) : tiled);
        ASSERT_TRUE(found.found);
        // Six threads across and two down is a period too: 18 x 12, half-drop.
        EXPECT_NEAR(found.width, 18, 0.5);
        EXPECT_NEAR(found.height, 12, 0.5);
        EXPECT_EQ(found.match, MatchType::HalfDrop);
    }
}

// Two courses of bricks in running bond, each brick its own shade, as JPEG
// and lossless: the courses' rows are too fine for the reduced copy, and the
// full resolution's search finds the half brick's near-repeat there, which
// agrees far worse than the tile that held.
TEST(LatticeNearRepeat, BrickCoursesKeepTheirWholeTile) {
    // The courses mirror each other but for the grain, which repeats under
    // translation and not under reflection: no mirrored unit.
    const struct {
        int width, height, bricks, quality;
        cv::Size image;
    } cases[] = {{53, 12, 6, 76, {1446, 200}},
                 {30, 9, 3, 86, {586, 200}},
                 {56, 9, 3, 93, {771, 200}},
                 {51, 12, 3, 0, {1063, 200}}};
    for (const auto& c : cases) {
        SCOPED_TRACE(cv::format("bricks %dx%d jpeg %d", c.width, c.height, c.quality));
        cv::RNG random(2);
        cv::Mat tile(2 * c.height, c.bricks * c.width, CV_8UC1, cv::Scalar(200));
        for (int row = 0; row < 2; ++row) {
            for (int k = -1; k <= c.bricks; ++k) {
                const cv::Rect brick(k * c.width + row * c.width / 2 + 2, row * c.height + 2, c.width - 2,
                                     c.height - 2);
                const int shade = random.uniform(60, 140);
                tile(brick & cv::Rect({}, tile.size())).setTo(shade);
                tile((brick - cv::Point(tile.cols, 0)) & cv::Rect({}, tile.size())).setTo(shade);
            }
        }
        cv::Mat grain(tile.size(), CV_16S);
        random.fill(grain, cv::RNG::NORMAL, 0, 6);
        tile.convertTo(tile, CV_16S);
        cv::Mat(tile + grain).convertTo(tile, CV_8U);
        const cv::Mat tiled = RepeatTile(tile, c.image, TileOffset::None, {5, 3});
        const Lattice found = EstimateLattice(c.quality ? Jpeg(tiled, c.quality) : tiled);
        ASSERT_TRUE(found.found);
        EXPECT_NEAR(found.width, tile.cols, 1.0);
        // Lossless, the period repeats the image bit for bit, whatever the
        // courses' unequal lines do to its peak between pixels.
        EXPECT_NEAR(found.height, tile.rows, c.quality ? 0.5 : 0.01);
        EXPECT_EQ(found.mirror, Mirror::None);
    }
}

// A faint tile near white, as JPEG at quality 95: too fine for the codec to
// be recognised, whose errors repeat bit for bit at shifts on its 8-pixel
// grid (104 x 24 here) while the tile agrees only to within a level or two.
// And a faint grain at quality 62, whose copy shows only a multiple on the
// grid (56 x 40, 56 x 88): the tile is two halvings below it, the second
// judged against the first, not against the grid's codec-made agreement.
// And a faint half-brick canvas at quality 53 in a large frame, whose square
// about the middle shows a multiple on the grid (34 x 34) that must not
// replace the tile found over the frame.
TEST(LatticeNearRepeat, AFaintJpegTileIsNotLostToTheBlockGrid) {
    const struct {
        double blur;
        int range, level, quality;
        cv::Size side;
        TileOffset offset = TileOffset::None;
        cv::Size image = {200, 200};
    } cases[] = {{0.7, 8, 238, 95, {13, 12}},
                 {1.5, 6, 238, 95, {13, 12}},
                 {1.5, 12, 128, 62, {28, 20}},
                 {1.5, 12, 128, 62, {28, 22}},
                 {1.5, 16, 128, 53, {34, 17}, TileOffset::HalfBrick, {2032, 2712}}};
    for (const auto& c : cases) {
        SCOPED_TRACE(cv::format("%dx%d range %d jpeg %d", c.side.width, c.side.height, c.range, c.quality));
        cv::Mat tile(c.side, CV_32FC1);
        cv::RNG(1).fill(tile, cv::RNG::UNIFORM, 0.0, 1.0);
        cv::Mat around = RepeatTile(tile, {3 * c.side.width, 3 * c.side.height}, TileOffset::None);
        cv::GaussianBlur(around, around, {0, 0}, c.blur);
        cv::normalize(around(cv::Rect({c.side.width, c.side.height}, c.side)), tile, c.level - c.range / 2,
                      c.level + c.range / 2, cv::NORM_MINMAX);
        tile.convertTo(tile, CV_8UC1);
        const Lattice found = EstimateLattice(Jpeg(RepeatTile(tile, c.image, c.offset), c.quality));
        ASSERT_TRUE(found.found);
        // (A half-brick tile is reported as the half-drop of the same cell.)
        EXPECT_NEAR(found.width * found.height, c.side.area(), 1.0);
        if (c.offset == TileOffset::None) {
            EXPECT_NEAR(found.width, c.side.width, 0.5);
        }
    }
}

// Ruled paper: dark rules every 8 rows, only a faint grain along them. Any
// shift along the rows agrees nearly as well as the tile, which alone
// repeats the image bit for bit, or peaks among its neighbours in a JPEG.
TEST(LatticeNearRepeat, RuledPaperKeepsItsWholeTileAlongTheRules) {
    cv::RNG random(3);
    cv::Mat tile(64, 64, CV_8UC1);
    for (int y = 0; y < tile.rows; ++y) {
        const int level = y % 8 == 7 ? 90 + 5 * y / 8 : 240 - 8 * (y % 8 == 0);
        for (int x = 0; x < tile.cols; ++x) {
            tile.at<uchar>(y, x) = cv::saturate_cast<uchar>(level + random.gaussian(y % 8 == 7 ? 12 : 3));
        }
    }
    for (const int quality : {0, 80}) {
        SCOPED_TRACE(quality);
        const cv::Mat ruled = RepeatTile(tile, {204, 200}, TileOffset::None);
        const Lattice found = EstimateLattice(quality ? Jpeg(ruled, quality) : ruled);
        ASSERT_TRUE(found.found);
        EXPECT_NEAR(found.width, 64, 0.5);
        EXPECT_NEAR(found.height, 64, 0.5);
    }
}

// A smooth picture in three grey levels by a 4 x 4 ordered dither: its
// cells recur everywhere, each a little different.
cv::Mat Dither(cv::Size size) {
    const int bayer[16] = {0, 8, 2, 10, 12, 4, 14, 6, 3, 11, 1, 9, 15, 7, 13, 5};
    cv::Mat dither(size, CV_8UC1);
    for (int y = 0; y < size.height; ++y) {
        for (int x = 0; x < size.width; ++x) {
            const float v =
                1.0f + 0.9f * std::sin(x / 7.0f + y / 5.0f) * std::cos(x / 17.0f - y / 4.0f);
            const bool up = v - std::floor(v) > (bayer[y % 4 * 4 + x % 4] + 0.5) / 16;
            dither.at<uchar>(y, x) = static_cast<uchar>(127.5 * (std::floor(v) + (up ? 1 : 0)));
        }
    }
    return dither;
}

// Courses of bricks in running bond, each brick its own shade, over a
// grain: a brick and two courses are a near-repeat of the whole.
cv::Mat ShadedBricks() {
    cv::RNG random(7);
    cv::Mat tile(4 * 6, 3 * 17, CV_8UC3, cv::Scalar(170, 150, 200));
    for (int course = 0; course < 4; ++course) {
        for (int brick = -1; brick < 3; ++brick) {
            const cv::Rect at(brick * 17 + (course % 2) * 8 + 1, course * 6 + 1, 16, 5);
            tile(at & cv::Rect({}, tile.size()))
                .setTo(cv::Scalar(120, 100, 140) +
                       cv::Scalar(random.uniform(-20, 20), random.uniform(-20, 20), random.uniform(-20, 20)));
        }
    }
    cv::Mat grain(tile.size(), CV_8UC3);
    random.fill(grain, cv::RNG::NORMAL, cv::Scalar::all(0), cv::Scalar::all(6));
    return tile + grain;
}

// Six rows of three motifs, the one in a corner recoloured: the block
// compared in the middle holds only the unchanged ones.
cv::Mat OneOddMotif() {
    const cv::Mat motif = ShapesTile({24, 21}, CV_8UC3, 5);
    cv::Mat tile = RepeatTile(motif, {3 * 24, 6 * 21}, TileOffset::None);
    tile(cv::Rect(0, 0, 24, 21)).convertTo(tile(cv::Rect(0, 0, 24, 21)), -1, 0.6, 40);
    return tile;
}

// A design of many motifs, a few marked: the copy proposes the motifs'
// lattice, and the tile lies beyond the multiples searched along it (twelve
// rows of a motif). A tile taller than the block first compared (336 px)
// repeats it bit for bit, as does a square about the middle that holds no
// marked motif, or the part of the frame between marked motifs; its lattice
// lies on JPEG's block grid, its motifs' off it. Two motifs of seventy
// shifted by a pixel or two change too few samples to count as more than
// odd pixels.
TEST(LatticeNearRepeat, ATileOfManyMotifsAFewMarkedIsFoundWhole) {
    const struct {
        cv::Size motif, motifs;
        int marked;
        TileOffset offset;
        int seed;
        cv::Size image;
        bool shifted = false;
    } cases[] = {{{11, 17}, {7, 8}, 4, TileOffset::None, 5, {422, 585}},
                 {{9, 12}, {8, 8}, 3, TileOffset::None, 5, {397, 425}},
                 {{12, 48}, {2, 7}, 1, TileOffset::None, 2, {157, 1385}},
                 {{12, 48}, {2, 7}, 1, TileOffset::HalfBrick, 6, {157, 1385}},
                 {{11, 17}, {4, 6}, 1, TileOffset::HalfBrick, 1, {257, 449}},
                 {{30, 8}, {2, 12}, 1, TileOffset::None, 2, {337, 425}},
                 {{13, 8}, {8, 2}, 1, TileOffset::None, 2, {278, 200}},
                 {{47, 19}, {10, 7}, 2, TileOffset::None, 2, {1600, 598}, true}};
    for (const auto& c : cases) {
        cv::Mat tile;
        cv::repeat(ShapesTile(c.motif, CV_8UC3, c.seed), c.motifs.height, c.motifs.width, tile);
        cv::RNG random(31 * c.marked);
        for (int k = 0; k < c.marked; ++k) {
            const int column = random.uniform(0, c.motifs.width);
            const int row = random.uniform(0, c.motifs.height);
            cv::Mat motif = tile(cv::Rect({column * c.motif.width, row * c.motif.height}, c.motif));
            if (c.shifted) {
                const cv::Mat moved = motif.clone();
                cv::warpAffine(moved, motif, cv::Mat_<double>({2, 3}, {1, 0, 2, 0, 1, 1}),
                               motif.size(), cv::INTER_NEAREST, cv::BORDER_WRAP);
            } else {
                motif -= cv::Scalar(60, 20, 0);
            }
        }
        SCOPED_TRACE(
            cv::format("%d x %d, offset %d", tile.cols, tile.rows, static_cast<int>(c.offset)));
        const Lattice found = EstimateLattice(RepeatTile(tile, c.image, c.offset, {3, 5}));
        ASSERT_TRUE(found.found);
        EXPECT_NEAR(found.width, tile.cols, 0.5);
        EXPECT_NEAR(found.height, tile.rows, 0.5);
    }
}

// One tile of such a design holds its motif several times but repeats
// nowhere.
TEST(LatticeNearRepeat, ASingleTileIsNoRepeat) {
    const struct {
        const char* name;
        cv::Mat tile;
        int zoom;
    } cases[] = {{"four motifs", FourMotifs("recoloured"), 4},
                 {"dither", Dither({182, 24}), 11},
                 {"shaded bricks", ShadedBricks(), 11},
                 {"an odd motif in a corner", OneOddMotif(), 11}};
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        cv::Mat single;
        cv::resize(c.tile, single, cv::Size(), c.zoom, c.zoom, cv::INTER_NEAREST);
        EXPECT_FALSE(EstimateLattice(single).found);
    }
}

TEST(LatticeMirror, MirroredUnitsAreReportedWithTheirTile) {
    const struct {
        Mirror mirror;
        cv::Size unit, image;
    } cases[] = {{Mirror::None, {44, 30}, {620, 480}},
                 {Mirror::Horizontal, {44, 30}, {620, 480}},
                 {Mirror::Vertical, {44, 30}, {620, 480}},
                 {Mirror::Both, {44, 30}, {620, 480}}};
    for (const auto& c : cases) {
        SCOPED_TRACE(cv::format("%s %dx%d", MirrorName(c.mirror), c.unit.width, c.unit.height));
        cv::Mat tile = ShapesTile(c.unit, CV_8UC3, 21);
        if (c.mirror == Mirror::Horizontal || c.mirror == Mirror::Both) {
            cv::Mat flipped;
            cv::flip(tile, flipped, 1);
            cv::hconcat(tile, flipped, tile);
        }
        if (c.mirror == Mirror::Vertical || c.mirror == Mirror::Both) {
            cv::Mat flipped;
            cv::flip(tile, flipped, 0);
            cv::vconcat(tile, flipped, tile);
        }
        const Lattice found = EstimateLattice(RepeatTile(tile, c.image, TileOffset::None, {13, 7}));
        ASSERT_TRUE(found.found);
        EXPECT_EQ(found.mirror, c.mirror);
        // A lossless mirror agrees as well as the periods: nothing to discount.
        EXPECT_GT(found.confidence, 0.95);
        EXPECT_NEAR(found.width, tile.cols, 1.0);
        EXPECT_NEAR(found.height, tile.rows, 1.0);
        // The unit starts on a mirror axis: 13 and 7 pixels into the tiling.
        if (c.mirror == Mirror::Horizontal || c.mirror == Mirror::Both) {
            EXPECT_NEAR(std::fmod(found.origin.x + 13.0, c.unit.width), 0.0, 1.0);
        }
    }
}

// A turned or resampled tiling keeps its mirrors: the axis turns with the
// lattice and may fall between pixels, where reading the axis between its
// neighbours falls a little short of a sharp peak (0.7, 1.237, 1.42). A
// turned or resampled tiling of an unmirrored tile gains none.
TEST(LatticeMirror, MirrorsSurviveATurnOrAResampling) {
    const struct {
        Mirror mirror;
        double degrees, scale;
        cv::Size unit = {44, 30};
    } cases[] = {{Mirror::Both, 0.9, 1.0},       {Mirror::Horizontal, -0.6, 1.0}, {Mirror::Vertical, 0.0, 1.335},
                 {Mirror::Vertical, 0.0, 0.7},   {Mirror::Horizontal, 0.0, 1.237}, {Mirror::Both, 0.0, 1.42},
                 {Mirror::None, 0.9, 1.0},       {Mirror::None, 0.0, 1.237},
                 // Units so small that their vectors' lean misreads the turn.
                 {Mirror::Vertical, 0.8, 1.0, {19, 9}}, {Mirror::Horizontal, 0.37, 1.0, {18, 11}}};
    for (const auto& c : cases) {
        SCOPED_TRACE(cv::format("%s turn %.2f scale %.3f unit %dx%d", MirrorName(c.mirror), c.degrees, c.scale,
                                c.unit.width, c.unit.height));
        cv::Mat tile = ShapesTile(c.unit, CV_8UC3, 21), flipped;
        if (c.mirror == Mirror::Horizontal || c.mirror == Mirror::Both) {
            cv::flip(tile, flipped, 1);
            cv::hconcat(tile, flipped, tile);
        }
        if (c.mirror == Mirror::Vertical || c.mirror == Mirror::Both) {
            cv::flip(tile, flipped, 0);
            cv::vconcat(tile, flipped, tile);
        }
        const cv::Mat tiled = RepeatTile(tile, {900, 700}, TileOffset::None, {13, 7});
        const cv::Mat turn = cv::getRotationMatrix2D({450, 350}, c.degrees, c.scale);
        cv::Mat image;
        cv::warpAffine(tiled, image, turn, tiled.size(), cv::INTER_CUBIC);
        const Lattice found = EstimateLattice(image(cv::Rect(130, 100, 640, 500)));
        ASSERT_TRUE(found.found);
        EXPECT_NEAR(found.width, tile.cols * c.scale, 1.0);
        EXPECT_NEAR(found.height, tile.rows * c.scale, 1.0);
        EXPECT_EQ(found.mirror, c.mirror);
    }
}

// Stripes along an axis, with a faint grain that sets the period across
// them, agree with their mirror image about as well as with their period
// once noise or JPEG has blurred the grain: that is no mirrored unit.
TEST(LatticeMirror, StripesUnderJpegAreNotMirrored) {
    for (const int quality : {35, 50}) {
        SCOPED_TRACE(quality);
        cv::RNG random(23);
        cv::Mat tile(16, 28, CV_8UC1);
        int level = 0;
        for (int x = 0; x < tile.cols; ++x) {
            if (x == 0 || random.uniform(0, 4) == 0) level = random.uniform(30, 220);
            tile.col(x).setTo(level);
        }
        cv::Mat grain(tile.size(), CV_16S);
        random.fill(grain, cv::RNG::NORMAL, 0, 4);
        tile.convertTo(tile, CV_16S);
        cv::Mat(tile + grain).convertTo(tile, CV_8U);
        const Lattice found = EstimateLattice(Jpeg(RepeatTile(tile, {200, 200}, TileOffset::None), quality));
        ASSERT_TRUE(found.found);
        EXPECT_NEAR(found.width, 28, 0.5);
        EXPECT_NEAR(found.height, 16, 0.5);
        EXPECT_EQ(found.mirror, Mirror::None);
    }
}

// The reduced copy only proposes an axis: one it misplaces, or cannot place
// at all, is found at full resolution. So are the axes beside the one that
// the climb, on a smoothed image, reaches a pixel off the sharp image's.
TEST(LatticeMirror, TheAxisIsFoundWhereTheCopyMisplacesIt) {
    cv::Mat unit = ShapesTile({92, 18}, CV_8UC1, 21), flipped, tile;
    cv::flip(unit, flipped, 0);
    cv::vconcat(unit, flipped, tile);
    const cv::Mat image = RepeatTile(tile, {1107, 200}, TileOffset::None, {13, 7});
    const cv::Rect region({}, image.size());
    const ShiftMatch exact(image, region, 1.0);
    cv::Mat reduced;
    cv::resize(image, reduced, {}, 1.0 / 3, 1.0 / 3, cv::INTER_AREA);
    reduced.convertTo(reduced, CV_32F);
    // Flat, a ramp whose profile is no help either, or the image itself
    // with the climb on the tiling moved by a pixel.
    const struct {
        double level;
        int off;
    } cases[] = {{0.0, 0}, {1.0, 0}, {-1.0, -1}, {-1.0, 1}};
    for (const auto& c : cases) {
        SCOPED_TRACE(cv::format("level %.0f, climb %d px off", c.level, c.off));
        cv::Mat copy(67, 369, CV_32F);
        for (int y = 0; y < copy.rows; ++y) copy.row(y).setTo(c.level * y * y);
        if (c.level < 0.0) copy = reduced;
        const ShiftMatch climb(RepeatTile(tile, image.size(), TileOffset::None, {13, 7 + c.off}), region, 1.5);
        const std::optional<double> axis = MirrorAxis(copy, 1.0 / 3, region, climb, exact, false, 36, 0.99);
        ASSERT_TRUE(axis.has_value());
        // Axes lie between units, 7 rows into the tiling.
        EXPECT_NEAR(std::remainder(*axis + 7.5, 18.0), 0.0, 0.01);
    }
}

// A tiling turned by under a degree puts its vectors between pixels, where
// the interpolation reads them lower than a multiple that falls nearer whole
// pixels: the tile, not that multiple.
TEST(LatticeTurned, ATurnedTileIsNotTakenForItsMultiple) {
    const cv::Mat photo = cv::imread(ZENTREL_TEST_DATA_DIR "/painting_scene.jpg", cv::IMREAD_GRAYSCALE);
    ASSERT_FALSE(photo.empty());
    const struct {
        cv::Rect tile;  // in the photo
        TileOffset offset;
        double degrees;
        cv::Size image;
    } cases[] = {{{0, 0, 25, 46}, TileOffset::HalfDrop, 0.70, {200, 227}},
                 {{285, 0, 58, 44}, TileOffset::HalfBrick, 0.68, {400, 287}},
                 {{0, 0, 23, 37}, TileOffset::None, -0.59, {200, 200}}};
    for (const auto& c : cases) {
        SCOPED_TRACE(cv::format("%dx%d turned %.2f", c.tile.width, c.tile.height, c.degrees));
        const cv::Size larger(c.image.width + 60, c.image.height + 60);
        const cv::Mat tiled = RepeatTile(photo(c.tile), larger, c.offset);
        cv::Mat turn = cv::getRotationMatrix2D({larger.width / 2.0f, larger.height / 2.0f}, c.degrees, 1.0);
        turn.at<double>(0, 2) -= 30;
        turn.at<double>(1, 2) -= 30;
        cv::Mat image;
        cv::warpAffine(tiled, image, turn, c.image, cv::INTER_LINEAR);
        const Lattice found = EstimateLattice(image);
        ASSERT_TRUE(found.found);
        EXPECT_NEAR(found.width, c.tile.width, 1.0);
        EXPECT_NEAR(found.height, c.tile.height, 1.0);
    }
}

// A swatch on a plain background, a little turned: the region is the
// swatch's, and a swatch too small for two repeats each way is no repeat.
TEST(LatticeRegion, ThePatternsPartOfTheFrame) {
    for (const int side : {380, 70}) {
        SCOPED_TRACE(side);
        cv::Mat image(600, 800, CV_8UC3, cv::Scalar(90, 120, 140));
        cv::randn(image, cv::Scalar(90, 120, 140), cv::Scalar::all(6));
        const cv::Rect swatch(210, 150, 420, side);
        RepeatTile(ShapesTile({50, 42}, CV_8UC3), swatch.size(), TileOffset::HalfDrop)
            .copyTo(image(swatch));
        const Lattice found = EstimateLattice(image);
        if (side < 2 * 42) {
            EXPECT_FALSE(found.found);
            continue;
        }
        ASSERT_TRUE(found.found);
        EXPECT_NEAR(found.width, 50, 1.0);
        EXPECT_GT(Overlap(found.region, swatch), 0.8);
        EXPECT_TRUE((found.region & cv::Rect(found.origin, cv::Size(50, 42))).area() == 50 * 42);
    }
}

// A tile of a sixth of the frame: on the reduced copy only a few cells fit,
// and the region measured on a yet smaller copy lost them. The tile is cut
// from a photo of bricks, so it holds a near-repeat of its own too.
TEST(LatticeRegion, ALargeTileHoldsOverTheWholeFrame) {
    const cv::Mat bricks = cv::imread(ZENTREL_TEST_DATA_DIR "/brick_tile97x61.png", cv::IMREAD_COLOR);
    ASSERT_FALSE(bricks.empty());
    const cv::Size frame(1152, 1605);
    const Lattice found =
        EstimateLattice(Jpeg(RepeatTile(bricks(cv::Rect(0, 0, 268, 259)), frame, TileOffset::None), 70));
    ASSERT_TRUE(found.found);
    EXPECT_NEAR(found.width, 268, 1.0);
    EXPECT_NEAR(found.height, 259, 1.0);
    EXPECT_EQ(found.region, cv::Rect({}, frame));
}

// A large tile in a swatch that stops a few cells short of the frame's
// bottom: the window that judges agreement blurs the swatch's edges by half a
// cell, so its rim is judged line by line, and an edge found there is not
// taken to run on to the frame's.
TEST(LatticeRegion, ALargeTilesRegionStopsWhereTheSwatchDoes) {
    const cv::Mat photo = cv::imread(ZENTREL_TEST_DATA_DIR "/painting_scene.jpg", cv::IMREAD_GRAYSCALE);
    ASSERT_FALSE(photo.empty());
    cv::Mat image;
    cv::resize(photo, image, {1494, 1563});
    const cv::Rect swatch(457, 140, 729, 1287);
    RepeatTile(photo(cv::Rect(600, 300, 274, 184)), swatch.size(), TileOffset::HalfBrick).copyTo(image(swatch));
    const Lattice found = EstimateLattice(image);
    ASSERT_TRUE(found.found);
    EXPECT_NEAR(found.width, 274, 0.5);
    EXPECT_NEAR(found.height, 184, 0.5);
    EXPECT_LT(std::abs(found.region.br().y - swatch.br().y), 184 / 2);
    EXPECT_GT(Overlap(found.region, swatch), 0.85);
}

// Smoothed colour noise, the same for every test: a busy photo's ground.
cv::Mat BusyGround(cv::Size size) {
    cv::Mat image(size, CV_8UC3);
    cv::theRNG().state = 5;
    cv::randn(image, cv::Scalar::all(128), cv::Scalar::all(90));
    cv::GaussianBlur(image, image, cv::Size(), 1.0);
    return image;
}

void TurnAboutItsMiddle(cv::Mat& tiling, double degrees) {
    const cv::Point2f middle(tiling.cols / 2.0f, tiling.rows / 2.0f);
    cv::warpAffine(tiling, tiling, cv::getRotationMatrix2D(middle, degrees, 1.0), tiling.size(),
                   cv::INTER_LINEAR, cv::BORDER_REFLECT);
}

// A faint swatch away from the middle of a busy photo, turned a little or
// not: the rest of the frame drowns its peaks on the whole copy.
TEST(LatticeRegion, AFaintSwatchOnABusyGround) {
    const struct {
        cv::Size tile;
        TileOffset offset;
        MatchType match;
        cv::Rect swatch;
        double turn, contrast;
    } cases[] = {
        {{30, 30}, TileOffset::None, MatchType::Straight, {40, 40, 540, 405}, 0.0, 0.3},
        {{44, 38}, TileOffset::HalfDrop, MatchType::HalfDrop, {40, 460, 540, 405}, 1.5, 0.2},
        {{36, 50}, TileOffset::HalfBrick, MatchType::HalfBrick, {620, 470, 540, 405}, -1.0, 0.25},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.swatch);
        cv::Mat image = BusyGround({1200, 900});
        cv::Mat tiling = RepeatTile(ShapesTile(c.tile, CV_8UC3), c.swatch.size(), c.offset);
        TurnAboutItsMiddle(tiling, c.turn);
        tiling.convertTo(image(c.swatch), -1, c.contrast, 128 * (1 - c.contrast));
        const Lattice found = EstimateLattice(image);
        EXPECT_TRUE(found.found);
        if (!found.found) continue;
        EXPECT_NEAR(found.width, c.tile.width, 0.5);
        EXPECT_NEAR(found.height, c.tile.height, 0.5);
        EXPECT_EQ(found.match, c.match);
        EXPECT_GT(Overlap(found.region, c.swatch), 0.8);
    }
}

// A swatch of fine grain (a photographed weave), which the reduced copy
// averages away, on a busier ground and off the middle of the frame, where
// the full resolution is searched first.
TEST(LatticeRegion, AFineGrainAwayFromTheMiddle) {
    const struct {
        cv::Size tile;
        TileOffset offset;
        MatchType match;
        cv::Rect swatch;
        double turn;
    } cases[] = {
        {{16, 20}, TileOffset::HalfDrop, MatchType::HalfDrop, {40, 600, 700, 460}, -0.6},
        {{14, 16}, TileOffset::HalfBrick, MatchType::HalfBrick, {860, 40, 700, 460}, 0.0},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.swatch);
        cv::Mat image = BusyGround({1600, 1100});
        cv::Mat grain(c.tile, CV_8UC3);
        cv::randn(grain, cv::Scalar::all(128), cv::Scalar::all(50));
        cv::Mat tiling = RepeatTile(grain, c.swatch.size(), c.offset);
        TurnAboutItsMiddle(tiling, c.turn);
        tiling.convertTo(image(c.swatch), -1, 0.25, 128 * 0.75);
        const Lattice found = EstimateLattice(image);
        EXPECT_TRUE(found.found);
        if (!found.found) continue;
        EXPECT_NEAR(found.width, c.tile.width, 0.5);
        EXPECT_NEAR(found.height, c.tile.height, 0.5);
        EXPECT_EQ(found.match, c.match);
        EXPECT_EQ(found.region & c.swatch, found.region);
    }
}

// A half-brick swatch little more than two tiles wide: blocks compared for
// the tile's horizontal vector reach past the swatch into the ground, its
// diagonal ones do not.
TEST(LatticeRegion, ANarrowHalfBrickSwatch) {
    const struct {
        int left;
        double blur;
    } cases[] = {{0, 12.0}, {30, 5.0}};
    for (const auto& c : cases) {
        SCOPED_TRACE(c.left);
        cv::Mat image(1252, 707, CV_8UC3);
        cv::theRNG().state = 5;
        cv::randn(image, cv::Scalar::all(128), cv::Scalar::all(90));
        cv::GaussianBlur(image, image, cv::Size(), c.blur);
        const cv::Rect swatch(c.left, 63, 384, 734);
        RepeatTile(ShapesTile({142, 127}, CV_8UC3), swatch.size(), TileOffset::HalfBrick)
            .copyTo(image(swatch));
        const Lattice found = EstimateLattice(image);
        EXPECT_TRUE(found.found);
        EXPECT_NEAR(found.width, 142, 0.5);
        EXPECT_NEAR(found.height, 127, 0.5);
        EXPECT_EQ(found.match, MatchType::HalfBrick);
    }
}

// A sheet of graph paper with a heavier line every ten cells, laid on a
// photo that drowns its peaks: the cell's vectors lean a fraction of a pixel
// off whole pixels, which ten cells carry out of the climb's reach. Turned,
// the cell is all the copy proposes, agreeing weakly (0.6 to 0.7).
TEST(LatticeRegion, GraphPaperRepeatsAtItsHeavyLines) {
    const cv::Mat photo = cv::imread(ZENTREL_TEST_DATA_DIR "/painting_scene.jpg", cv::IMREAD_COLOR);
    ASSERT_FALSE(photo.empty());
    const struct {
        int cell, quality;
        double degrees = 0.0;
    } cases[] = {{13, 0}, {15, 80}, {18, 76}, {13, 0, 0.6}, {17, 90, 2.1}};
    for (const auto& c : cases) {
        SCOPED_TRACE(cv::format("cell %d turn %.1f", c.cell, c.degrees));
        const int side = 10 * c.cell;
        cv::Mat tile(side, side, CV_8UC3, cv::Scalar(238, 242, 244));
        for (int k = 0; k < 10; ++k) {
            const cv::Scalar ink = k == 0 ? cv::Scalar(90, 100, 60) : cv::Scalar(210, 195, 165);
            tile(cv::Rect(k * c.cell, 0, k == 0 ? 2 : 1, side)).setTo(ink);
            tile(cv::Rect(0, k * c.cell, side, k == 0 ? 2 : 1)).setTo(ink);
        }
        cv::Mat image;
        cv::resize(photo, image, {1400, 1100});
        const cv::Rect sheet(200, 150, 900, 700);
        const cv::Mat tiled = RepeatTile(tile, sheet.size(), TileOffset::None);
        cv::warpAffine(tiled, image(sheet), cv::getRotationMatrix2D({450, 350}, c.degrees, 1.0), sheet.size(),
                       cv::INTER_CUBIC, cv::BORDER_REFLECT);
        const Lattice found = EstimateLattice(c.quality > 0 ? Jpeg(image, c.quality) : image);
        ASSERT_TRUE(found.found);
        EXPECT_NEAR(found.width, side, 0.5);
        EXPECT_NEAR(found.height, side, 0.5);
    }
}

// A swatch on smooth ground, which agrees with itself under short shifts: at
// the frame's edge, blocks checked at the region's rim pair pattern with
// ground; in the middle of a small frame of smoother ground, the region must
// stop at the swatch for the lattice to hold over it.
TEST(LatticeRegion, ASwatchOnSmoothGround) {
    const struct {
        cv::Size frame;
        cv::Rect swatch;
        double blur;
    } cases[] = {
        {{600, 480}, {0, 70, 400, 290}, 12.0},
        {{400, 300}, {75, 65, 250, 170}, 30.0},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.swatch);
        cv::Mat image(c.frame, CV_8UC3);
        cv::theRNG().state = 9;
        cv::randn(image, cv::Scalar::all(128), cv::Scalar::all(90));
        cv::GaussianBlur(image, image, cv::Size(), c.blur);
        cv::normalize(image, image, 40, 220, cv::NORM_MINMAX);
        RepeatTile(ShapesTile({30, 35}, CV_8UC3), c.swatch.size(), TileOffset::None)
            .copyTo(image(c.swatch));
        const Lattice found = EstimateLattice(Jpeg(image, 77));
        ASSERT_TRUE(found.found);
        EXPECT_NEAR(found.width, 30, 0.5);
        EXPECT_NEAR(found.height, 35, 0.5);
        EXPECT_GT(Overlap(found.region, c.swatch), 0.75);
    }
}

// A chessboard held in an office holds its lattice on the board only; a
// photographed puzzle grid, whose cells differ, repeats nowhere.
TEST(LatticeRegion, RealPhotos) {
    const cv::Mat board = cv::imread(ZENTREL_TEST_DATA_DIR "/left01.jpg", cv::IMREAD_UNCHANGED);
    ASSERT_FALSE(board.empty());
    const Lattice found = EstimateLattice(board);
    ASSERT_TRUE(found.found);
    // The board's outer corners span 214..550 x 51..302.
    EXPECT_GT(Overlap(found.region, cv::Rect(214, 51, 336, 251)), 0.7);

    const cv::Mat grid = cv::imread(ZENTREL_TEST_DATA_DIR "/sudoku.png", cv::IMREAD_UNCHANGED);
    ASSERT_FALSE(grid.empty());
    EXPECT_FALSE(EstimateLattice(grid).found);
}

// A puzzle grid printed and photographed at an angle, as JPEG: its lines
// repeat, its digits do not, and it holds three blocks each way at most.
TEST(LatticeRegion, APhotographedPuzzleGridIsNoRepeat) {
    const int cell = 25, side = 11 * cell;
    cv::Mat sheet(side, side, CV_8UC3, cv::Scalar::all(225));
    cv::RNG rng(2);
    for (int k = 1; k <= 10; ++k) {
        const int at = k * cell, thickness = k % 3 == 1 ? 3 : 1;
        cv::line(sheet, {at, cell}, {at, side - cell}, cv::Scalar::all(30), thickness);
        cv::line(sheet, {cell, at}, {side - cell, at}, cv::Scalar::all(30), thickness);
    }
    for (int k = 0; k < 81; ++k) {
        if (rng.uniform(0, 10) >= 4) continue;
        cv::putText(sheet, std::to_string(1 + rng.uniform(0, 9)), {(k / 9 + 1) * cell + 6, (k % 9 + 2) * cell - 5},
                    cv::FONT_HERSHEY_SIMPLEX, cell / 32.0, cv::Scalar::all(20), 1, cv::LINE_AA);
    }
    cv::Mat photo(400, 650, CV_8UC3);
    rng.fill(photo, cv::RNG::NORMAL, 120, 40);
    const std::vector<cv::Point2f> from = {{0, 0}, {side, 0}, {side, side}, {0, side}};
    const std::vector<cv::Point2f> to = {{190, 50}, {480, 40}, {455, 340}, {185, 345}};
    cv::warpPerspective(sheet, photo, cv::getPerspectiveTransform(from, to), photo.size(), cv::INTER_LINEAR,
                        cv::BORDER_TRANSPARENT);
    EXPECT_FALSE(EstimateLattice(Jpeg(photo, 70)).found);
}

}  // namespace
}  // namespace zentrel::lattice
