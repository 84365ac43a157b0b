#include "tile_geometry.h"

#include <algorithm>
#include <cmath>
#include <tuple>

#include "lattice_basis.h"

namespace zentrel::lattice {

namespace {

// As the estimator's: a slightly turned photo keeps its rows and columns.
const double kAxisTolerance = std::tan(4.0 * CV_PI / 180.0);
// A lattice whose rows and columns need more cells than this is no tile.
constexpr int kSearchCells = 6;

// Vectors this long describe no image (and would overflow a side).
constexpr double kLongest = 1e9;

int Whole(double length) { return static_cast<int>(std::lround(length)); }
int Even(double length) { return 2 * static_cast<int>(std::lround(length / 2.0)); }

bool Usable(cv::Point2d v) {
    return std::isfinite(v.x) && std::isfinite(v.y) && cv::norm(v) < kLongest;
}

// The shortest lattice vector along x (or y), pointing right (or down).
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

// The corners a repeat's `extent` reaches, relative to its corner pixel.
void Reach(const TileGeometry& geometry, cv::Size extent, cv::Point2d& low, cv::Point2d& high) {
    low = high = cv::Point2d(0, 0);
    for (const cv::Point corner : {cv::Point(extent.width - 1, 0), cv::Point(0, extent.height - 1),
                                   cv::Point(extent.width - 1, extent.height - 1)}) {
        const cv::Vec2d offset = geometry.toInput * cv::Vec2d(corner.x, corner.y);
        low = {std::min(low.x, offset[0]), std::min(low.y, offset[1])};
        high = {std::max(high.x, offset[0]), std::max(high.y, offset[1])};
    }
}

}  // namespace

std::optional<TileGeometry> GeometryFromBasis(MatchType match, cv::Point2d inputA,
                                              cv::Point2d inputB) {
    if (!Usable(inputA) || !Usable(inputB)) return std::nullopt;
    TileGeometry geometry;
    geometry.match = match;
    int w = 0;
    int h = 0;
    switch (match) {
        case MatchType::Straight:
            w = Whole(cv::norm(inputA));
            h = Whole(cv::norm(inputB));
            geometry.tileA = {w, 0};
            geometry.tileB = {0, h};
            break;
        case MatchType::HalfDrop:
            w = Whole(cv::norm(2.0 * inputA - inputB) / 2.0);
            h = Even(cv::norm(inputB));
            geometry.tileA = {w, h / 2};
            geometry.tileB = {0, h};
            break;
        case MatchType::HalfBrick:
            w = Even(cv::norm(inputB));
            h = Whole(cv::norm(2.0 * inputA - inputB) / 2.0);
            geometry.tileA = {w / 2, h};
            geometry.tileB = {w, 0};
            break;
        case MatchType::Other:
            return std::nullopt;
    }
    if (std::min(w, h) < 2) return std::nullopt;
    geometry.size = {w, h};
    geometry.inputA = inputA;
    geometry.inputB = inputB;
    const cv::Matx22d input(inputA.x, inputB.x, inputA.y, inputB.y);
    const cv::Matx22d tile(geometry.tileA.x, geometry.tileB.x, geometry.tileA.y, geometry.tileB.y);
    geometry.toInput = input * tile.inv();
    return geometry;
}

std::optional<TileGeometry> DesignerGeometry(const Lattice& lattice) {
    if (!Usable(lattice.vectorA) || !Usable(lattice.vectorB)) return std::nullopt;
    // A cell under a pixel is no tile, and would not reduce.
    if (!(std::abs(lattice.vectorA.cross(lattice.vectorB)) >= 1.0)) return std::nullopt;
    const Basis basis = ReduceBasis(lattice.vectorA, lattice.vectorB);
    const std::optional<cv::Point2d> across = ShortestOnAxis(basis, true);
    const std::optional<cv::Point2d> down = ShortestOnAxis(basis, false);
    if (!across || !down) return std::nullopt;
    const long cells = std::lround(std::abs(across->cross(*down)) / CellArea(basis));
    if (cells == 2) {
        // Neither half of `across` nor of `down` is in the lattice (they are
        // the shortest), so the second coset is the middle of the box.
        const cv::Point2d middle = (*across + *down) / 2.0;
        if (lattice.match == MatchType::HalfBrick) {
            return GeometryFromBasis(MatchType::HalfBrick, middle, *across);
        }
        return GeometryFromBasis(MatchType::HalfDrop, middle, *down);
    }
    // One cell: the straight tile; more: the smallest straight tile that
    // repeats the lattice by plain repetition.
    return GeometryFromBasis(MatchType::Straight, *across, *down);
}

bool RepeatInside(const TileGeometry& geometry, cv::Point2d position, cv::Size extent,
                  cv::Rect area, int margin) {
    cv::Point2d low, high;
    Reach(geometry, extent, low, high);
    return position.x + low.x >= area.x + margin && position.y + low.y >= area.y + margin &&
           position.x + high.x <= area.x + area.width - 1 - margin &&
           position.y + high.y <= area.y + area.height - 1 - margin;
}

std::vector<RepeatPlace> RepeatsInside(const TileGeometry& geometry, cv::Point2d origin,
                                       cv::Rect area, int margin, std::size_t limit) {
    cv::Point2d low, high;
    Reach(geometry, geometry.size, low, high);
    const cv::Point2d first(area.x + margin - low.x, area.y + margin - low.y);
    const cv::Point2d last(area.x + area.width - 1 - margin - high.x,
                           area.y + area.height - 1 - margin - high.y);
    std::vector<RepeatPlace> places;
    if (first.x > last.x || first.y > last.y) return places;

    // The index range that covers the rectangle of allowed corners.
    const cv::Matx22d basis(geometry.inputA.x, geometry.inputB.x, geometry.inputA.y,
                            geometry.inputB.y);
    const cv::Matx22d toIndex = basis.inv();
    double lowI = 1e300, highI = -1e300, lowJ = 1e300, highJ = -1e300;
    for (const cv::Point2d corner :
         {first, last, cv::Point2d(first.x, last.y), cv::Point2d(last.x, first.y)}) {
        const cv::Vec2d index = toIndex * cv::Vec2d(corner.x - origin.x, corner.y - origin.y);
        lowI = std::min(lowI, index[0]);
        highI = std::max(highI, index[0]);
        lowJ = std::min(lowJ, index[1]);
        highJ = std::max(highJ, index[1]);
    }
    // Every `step`th repeat each way, so that a tiny tile on a huge image
    // neither lists nor combines millions.
    const double cells = (highI - lowI + 1.0) * (highJ - lowJ + 1.0);
    const int step = std::max(1, static_cast<int>(std::ceil(std::sqrt(cells / limit))));
    for (double j = std::floor(lowJ); j <= std::ceil(highJ); j += step) {
        for (double i = std::floor(lowI); i <= std::ceil(highI); i += step) {
            const cv::Point2d position = origin + i * geometry.inputA + j * geometry.inputB;
            if (position.x >= first.x && position.y >= first.y && position.x <= last.x &&
                position.y <= last.y) {
                places.push_back({{static_cast<int>(i), static_cast<int>(j)}, position});
            }
        }
    }
    std::sort(places.begin(), places.end(), [](const RepeatPlace& p, const RepeatPlace& q) {
        return std::tie(p.position.y, p.position.x) < std::tie(q.position.y, q.position.x);
    });
    if (places.size() > limit) {
        // The box of indices holds more than the area: thin what is left evenly.
        std::vector<RepeatPlace> chosen;
        for (std::size_t k = 0; k < limit; ++k) chosen.push_back(places[k * places.size() / limit]);
        places.swap(chosen);
    }
    return places;
}

}  // namespace zentrel::lattice
