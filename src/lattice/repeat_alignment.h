// Where the repeats of a pattern really lie: each one found by matching it
// against one reference repeat, and the lattice fitted to all of them.
#pragma once

#include <map>
#include <opencv2/core.hpp>
#include <utility>
#include <vector>

#include "tile_geometry.h"

namespace zentrel::lattice {

struct LatticeFit {
    cv::Point2d origin;  // repeat (i, j) lies at origin + i * inputA + j * inputB
    cv::Point2d inputA;
    cv::Point2d inputB;
    // Repeats found clearly off the fitted lattice (a fold, a lens), by
    // index: where they lie minus where the fit puts them.
    std::map<std::pair<int, int>, cv::Point2d> offsets;
    double errorA = 0.0;  // standard errors of inputA and inputB, in pixels
    double errorB = 0.0;  // (0 when too few repeats tell)
    int measured = 0;  // repeats compared with the reference
    int agreeing = 0;  // of those, the ones that resemble it
};

// Refines the lattice of `geometry` placed at `origin` from the repeats at
// `places` in `image` (any depth and channels). Repeats are matched outwards
// from the one nearest the middle, the fit growing with them, so a small
// error of the vectors never adds up to a lost repeat. With fewer than
// three repeats to fit, the lattice comes back as it was given.
LatticeFit AlignRepeats(const cv::Mat& image, const TileGeometry& geometry, cv::Point2d origin,
                        const std::vector<RepeatPlace>& places);

}  // namespace zentrel::lattice
