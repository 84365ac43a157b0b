// Plane lattices given by two vectors: the shortest basis, and the tile a
// designer states for them.
#pragma once

#include <opencv2/core.hpp>
#include <utility>
#include <vector>

#include "lattice.h"

namespace zentrel::lattice {

struct Basis {
    cv::Point2d a;  // the shorter vector
    cv::Point2d b;
};

// The shortest basis of the lattice that `a` and `b` span (Lagrange's
// reduction); each vector points right when it is nearer the x axis, down
// otherwise.
// `a` and `b` must not be parallel.
Basis ReduceBasis(cv::Point2d a, cv::Point2d b);

// Shifts that make every lattice with a half or a third of the cell, and a
// fifth of either vector (a copy reduced five times shows a fine tile as
// five of it), each with the vector that completes its basis.
std::vector<std::pair<cv::Point2d, cv::Point2d>> Subdivisions(const Basis& basis);

// The area of one cell.
double CellArea(const Basis& basis);

struct DesignerTile {
    double width;
    double height;
    MatchType match;
};

// The tile a designer would cut: straight when the lattice has a horizontal
// and a vertical vector that span it; half-drop or half-brick when those two
// span every second cell, whichever tile is nearer to square (the two describe
// the same lattice); otherwise `other`, with the box around one cell.
// Vectors within a few degrees of the axes count as on them, so that a
// slightly turned photo keeps its match.
DesignerTile TileOf(const Basis& basis);

}  // namespace zentrel::lattice
