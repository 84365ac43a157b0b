// Estimation of a pattern's repeat unit: the lattice of its translational
// symmetry and the tile a designer would cut from it. Independent of the
// seven-call repeat analysis; it keeps no state between calls.
#pragma once

#include <opencv2/core.hpp>

namespace zentrel::lattice {

// How neighbouring tiles are offset, in designers' terms.
enum class MatchType {
    Straight,   // vectors (w, 0), (0, h)
    HalfDrop,   // vectors (w, h/2), (0, h)
    HalfBrick,  // vectors (w/2, h), (w, 0)
    Other,      // any other lattice; the vectors say it
};

// "straight", "half-drop", "half-brick" or "other".
const char* MatchTypeName(MatchType match);

// Whether neighbouring units are mirror images of each other: the unit
// flipped left-right across its vertical edges, top-bottom across its
// horizontal edges, or both. The vectors still describe the translational
// lattice.
enum class Mirror {
    None,
    Horizontal,  // left-right
    Vertical,    // top-bottom
    Both,
};

// "none", "mirror-h", "mirror-v" or "mirror-hv".
const char* MirrorName(Mirror mirror);

struct Lattice {
    bool found = false;     // false: the image shows no repeat
    cv::Point2d vectorA;    // the shortest pair of lattice vectors, in input
    cv::Point2d vectorB;    // pixels, sub-pixel
    double width = 0.0;     // the tile as a designer states it, in input pixels
    double height = 0.0;
    MatchType match = MatchType::Other;
    cv::Point2d origin;     // top-left corner of one whole tile lying inside the image
    double confidence = 0.0;  // 0..1: how well the image agrees with itself shifted by the vectors
    Mirror mirror = Mirror::None;
    // Where the pattern holds, in input pixels: the whole image when it holds
    // everywhere; empty when nothing was found.
    cv::Rect region;
};

// How the image was stored, where the caller knows it. A JPEG's colour is
// coarser than its luminance and repeats its errors on a grid of its own,
// and at high quality its blocks show too little in the pixels to be
// recognised there.
enum class Storage { Unknown, Jpeg };

// Estimates the lattice of `image` (any depth and channel count that the
// decoder produces, alpha included). Returns found == false for an image
// that does not repeat. Throws cv::Exception for an empty image.
Lattice EstimateLattice(const cv::Mat& image, Storage storage = Storage::Unknown);

}  // namespace zentrel::lattice
