// The accuracy harness's labelled corpus: tiles cut from real photos, made
// seamless or not, and tiles a designer makes (a motif repeated with small
// changes, faint paper and canvas, mirrored units, installed pattern art),
// tiled straight, half-drop and half-brick, in every pixel format, degraded
// the ways photos and files degrade them, sometimes over part of a photo;
// and aperiodic photos, printed grids, single tiles, flat and noise images
// that must show no repeat.
#pragma once

#include <opencv2/core.hpp>
#include <string>
#include <vector>

#include "accuracy_designs.h"
#include "accuracy_random.h"
#include "lattice.h"

namespace zentrel::accuracy {

struct Sample {
    std::string family;       // the row of the table it counts in
    std::string description;  // how it was made, for --verbose
    cv::Mat image;            // as it is to be written
    std::string extension;    // ".png" or ".jpg" (with its quality)
    int jpegQuality = 0;
    bool periodic = false;  // false: a negative
    double width = 0.0;     // the true tile, in pixels of the image
    double height = 0.0;
    lattice::MatchType match = lattice::MatchType::Straight;
    lattice::Mirror mirror = lattice::Mirror::None;
    cv::Point2d vectorA;  // the true lattice's basis; zero where the tile alone says it
    cv::Point2d vectorB;
    cv::Rect region;  // where the pattern lies; empty: the whole image
};

// Photos found in `folders` that tiles are cut from, and those that are
// aperiodic enough to serve as negatives; missing files are skipped.
struct Photos {
    std::vector<cv::Mat> sources;
    std::vector<cv::Mat> aperiodic;
    PatternArt art;  // from the drawing programs installed, if any
};
Photos LoadPhotos(const std::vector<std::string>& folders);

// The families in table order; the pattern art's only when it is installed.
std::vector<std::string> Families(const Photos& photos);

// One sample of `family`; the same sequence of `random` gives the same
// sample. Throws std::invalid_argument when no photo is large enough.
Sample MakeSample(const Photos& photos, const std::string& family, Random& random);

}  // namespace zentrel::accuracy
