// Designs for the accuracy corpus: tiles that a designer makes rather than
// cuts from a photo (a motif repeated with small changes inside the tile,
// faint paper and canvas, mirrored units), scenes in which a pattern fills
// part of the frame, printed grids, the pattern art of installed drawing
// programs, and the exact truth of any tiling.
#pragma once

#include <opencv2/core.hpp>
#include <string>
#include <vector>

#include "accuracy_random.h"
#include "lattice.h"

namespace zentrel::accuracy {

// A crop of one of `photos` of size `tile`; made seamless by cross-fading a
// strip beyond its right and bottom edges into its left and top ones, or
// left with hard seams. Throws std::invalid_argument when no photo is large
// enough.
cv::Mat CutTile(const std::vector<cv::Mat>& photos, cv::Size tile, bool seamless, Random& random);

struct Design {
    cv::Mat tile;      // 8-bit colour, repeats seamlessly
    std::string kind;  // how it was made, for --verbose
};

// A tile that holds a motif several times with small changes: a grid of a
// motif with odd cells (recoloured, replaced, shifted, flipped, marked), a
// weave with its own thread colours, an ordered dither of a smooth picture,
// brick courses with their own shades, tumbling cubes with an odd cube, or a
// motif beside its shifted or recoloured copy.
Design NearRepeatDesign(const std::vector<cv::Mat>& photos, Random& random);

// A faint texture (standard deviation 2 to 5 grey levels): paper, canvas, a
// photo's crop, or one of `art`'s textures, at that contrast.
Design FaintTexture(const std::vector<cv::Mat>& photos, const std::vector<cv::Mat>& art,
                    Random& random);

// `unit` beside its mirror image (Horizontal), above it (Vertical), or both.
cv::Mat MirroredTile(const cv::Mat& unit, lattice::Mirror mirror);

// Graph paper: fine lines every `cell` pixels and heavier ones every few
// cells; the tile is one heavy cell.
Design GraphPaper(Random& random);

// A photographed printed grid (a puzzle of 9 x 9 cells, digits in some of
// them) in perspective over `background`, of the background's size.
cv::Mat PrintedGridPhoto(const cv::Mat& background, Random& random);

// Pattern tiles from drawing programs' data when installed: GIMP's patterns
// and MyPaint's paper and canvas backgrounds. Empty when none is installed.
struct PatternArt {
    std::vector<cv::Mat> tiles;     // every pattern larger than 12 x 12
    std::vector<cv::Mat> textures;  // the faint ones among them (papers, canvases)
};
PatternArt LoadPatternArt();

// The exact repeat of `tile` tiled with `match`: the finest lattice that the
// tiling agrees with pixel for pixel, as a designer's tile, and whether it is
// mirror-symmetric across its rows or columns (straight tiles only). Not
// valid when the tiling has a repeat under 6 pixels (flat, stripes).
struct Truth {
    bool valid = false;
    double width = 0.0;
    double height = 0.0;
    lattice::MatchType match = lattice::MatchType::Straight;
    lattice::Mirror mirror = lattice::Mirror::None;
    cv::Point2d vectorA;  // the lattice's shortest basis
    cv::Point2d vectorB;
};
Truth TruthOf(const cv::Mat& tile, lattice::MatchType match);

}  // namespace zentrel::accuracy
