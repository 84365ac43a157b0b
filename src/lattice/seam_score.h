// How visible the seams are where a tile meets its own copies.
#pragma once

#include <opencv2/core.hpp>

namespace zentrel::lattice {

// `extended`: the tile with one more column and one more row, holding what
// lay right of and below it in the image (any depth, any channels).
// `drop` is how far the copy to the right lies lower (half the height for a
// half-drop), `shift` how far the copy below lies further right (half the
// width for a half-brick).
//
// The gradient energy across the tile's wrap-around edges (its last column
// against its first, its last row against its first, as the copies meet),
// against the energy across the same lines in the image, where the pattern
// continues as it was made. 1.0 for seams no one can find; above it, the
// factor by which the seams are stronger. A tenth of the tile's mean
// gradient energy is added to both, so that a seam through a flat area is
// not judged by its noise alone.
double SeamScore(const cv::Mat& extended, int drop, int shift);

// The same for a tile alone, where the image shows nothing beyond it: its
// wrap-around edges against the mean gradient energy inside it, a rougher
// figure (a seam through a motif reads high, through a plain ground low).
double SeamScoreOfTile(const cv::Mat& tile, int drop, int shift);

}  // namespace zentrel::lattice
