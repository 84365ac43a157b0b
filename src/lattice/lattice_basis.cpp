#include "lattice_basis.h"

#include <cmath>
#include <optional>

namespace zentrel::lattice {

namespace {

// A photo turned by up to about two degrees still has its rows and columns.
const double kAxisTolerance = std::tan(4.0 * CV_PI / 180.0);

// Lattice vectors this many cells out in each direction are searched for the
// horizontal and vertical ones.
constexpr int kSearchCells = 4;

// Each step shortens the pair by a good factor, so real bases need a handful.
constexpr int kMaxReductionSteps = 64;

// The shortest vector of the lattice along an axis (x when `horizontal`),
// pointing right or down.
std::optional<cv::Point2d> ShortestOnAxis(const Basis& basis, bool horizontal) {
    std::optional<cv::Point2d> shortest;
    for (int i = -kSearchCells; i <= kSearchCells; ++i) {
        for (int j = -kSearchCells; j <= kSearchCells; ++j) {
            const cv::Point2d v = i * basis.a + j * basis.b;
            const double along = horizontal ? v.x : v.y;
            const double across = horizontal ? v.y : v.x;
            if (along <= 0.0 || std::abs(across) > kAxisTolerance * along) continue;
            if (!shortest || cv::norm(v) < cv::norm(*shortest)) shortest = v;
        }
    }
    return shortest;
}

// Of a vector and its opposite, the one pointing right when it is nearer the
// x axis, down otherwise.
cv::Point2d Canonical(cv::Point2d v) {
    const bool flip = std::abs(v.x) >= std::abs(v.y) ? v.x < 0.0 : v.y < 0.0;
    return (flip ? -v : v) + cv::Point2d(0.0, 0.0);  // no negative zeros
}

}  // namespace

Basis ReduceBasis(cv::Point2d a, cv::Point2d b) {
    CV_Assert(a.cross(b) != 0.0);
    if (b.dot(b) < a.dot(a)) std::swap(a, b);
    // Stops as soon as a step no longer shortens the pair: on a tie (a
    // hexagonal lattice, where a.b is half of a.a) the steps would otherwise
    // flip b between two vectors of equal length for ever. The bound guards
    // against rounding doing the same.
    for (int step = 0; step < kMaxReductionSteps; ++step) {
        b -= std::round(a.dot(b) / a.dot(a)) * a;
        if (b.dot(b) >= a.dot(a)) break;
        std::swap(a, b);
    }
    return {Canonical(a), Canonical(b)};
}

std::vector<std::pair<cv::Point2d, cv::Point2d>> Subdivisions(const Basis& basis) {
    const cv::Point2d a = basis.a;
    const cv::Point2d b = basis.b;
    return {{a / 2, b}, {b / 2, a},       {(a + b) / 2, a}, {a / 3, b},
            {b / 3, a}, {(a + b) / 3, a}, {(a - b) / 3, a}, {a / 5, b}, {b / 5, a}};
}

double CellArea(const Basis& basis) { return std::abs(basis.a.cross(basis.b)); }

DesignerTile TileOf(const Basis& basis) {
    const std::optional<cv::Point2d> across = ShortestOnAxis(basis, true);
    const std::optional<cv::Point2d> down = ShortestOnAxis(basis, false);
    if (across && down) {
        const double w = cv::norm(*across);
        const double h = cv::norm(*down);
        const long cells = std::lround(std::abs(across->cross(*down)) / CellArea(basis));
        if (cells == 1) return {w, h, MatchType::Straight};
        if (cells == 2) {
            // Every second cell: the lattice is centred on the w x h box.
            const double dropSkew = std::abs(std::log(w / 2.0 / h));
            const double brickSkew = std::abs(std::log(w / (h / 2.0)));
            if (dropSkew <= brickSkew) return {w / 2.0, h, MatchType::HalfDrop};
            return {w, h / 2.0, MatchType::HalfBrick};
        }
    }
    return {std::abs(basis.a.x) + std::abs(basis.b.x), std::abs(basis.a.y) + std::abs(basis.b.y),
            MatchType::Other};
}

}  // namespace zentrel::lattice
