// The rectangle that a lattice repeats as, in whole pixels, and where its
// copies lie in an image.
#pragma once

#include <opencv2/core.hpp>
#include <optional>
#include <vector>

#include "lattice.h"

namespace zentrel::lattice {

// A tile of whole pixels and the map from its pixels to the input's. The
// lattice basis has whole coordinates in tile pixels, so the drop of a
// half-drop (the shift of a half-brick) is a whole pixel.
struct TileGeometry {
    MatchType match = MatchType::Straight;  // Straight, HalfDrop or HalfBrick
    cv::Size size;       // even height for a half-drop, even width for a half-brick
    cv::Point tileA;     // the basis in tile pixels: (w, 0) and (0, h); (w, h/2) and
    cv::Point tileB;     // (0, h); (w/2, h) and (w, 0)
    cv::Point2d inputA;  // the same two vectors in input pixels
    cv::Point2d inputB;
    cv::Matx22d toInput;  // tile pixels to input pixels (linear part)
};

// The geometry whose basis is `inputA` and `inputB` in the roles that
// `match` gives them (see TileGeometry). None when the tile would be
// narrower or lower than 2 pixels, or its vectors are not finite.
std::optional<TileGeometry> GeometryFromBasis(MatchType match, cv::Point2d inputA,
                                              cv::Point2d inputB);

// The tile a designer repeats `lattice` with: straight, half-drop or
// half-brick as its horizontal and vertical vectors say (the lattice's own
// match decides between half-drop and half-brick, which describe the same
// lattice), or, for any other lattice with a horizontal and a vertical
// vector, the straight tile those span. None for a lattice without them.
std::optional<TileGeometry> DesignerGeometry(const Lattice& lattice);

struct RepeatPlace {
    cv::Point index;       // whole multiples of inputA and inputB from the origin
    cv::Point2d position;  // input position of the tile's pixel (0, 0)
};

// The input pixels of `extent` tile pixels from the corner of a repeat at
// `position` lie inside `area`, with `margin` pixels to spare.
bool RepeatInside(const TileGeometry& geometry, cv::Point2d position, cv::Size extent,
                  cv::Rect area, int margin);

// Every whole repeat inside `area` (as RepeatInside); of more than `limit`,
// an evenly spread choice of at most `limit`. Sorted by position, rows first.
std::vector<RepeatPlace> RepeatsInside(const TileGeometry& geometry, cv::Point2d origin,
                                       cv::Rect area, int margin, std::size_t limit);

}  // namespace zentrel::lattice
