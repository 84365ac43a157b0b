// The tile itself: every whole repeat of a pattern resampled onto one grid
// of whole pixels, aligned and combined into the one image that, repeated
// with its match, reprints the pattern.
#pragma once

#include <opencv2/core.hpp>
#include <stdexcept>
#include <string>

#include "lattice.h"
#include "tile_combine.h"

namespace zentrel::lattice {

struct ExtractOptions {
    Combine combine = Combine::Median;
    bool flatten = false;  // divide out uneven lighting before combining
};

struct ExtractedTile {
    cv::Mat tile;                           // the input's depth and channels, alpha included
    MatchType match = MatchType::Straight;  // Straight, HalfDrop or HalfBrick
    int repeats = 0;                        // copies combined; 1 for Combine::Best
    double seamScore = 0.0;                 // see SeamScore: 1.0 for seams no one can find
    cv::Point2d origin;  // input position of the tile's pixel (0, 0), in one repeat used
};

// Why no tile could be cut; the message names the cause and the values.
class ExtractError : public std::runtime_error {
public:
    enum class Kind {
        NoRepeat,    // the lattice says the image does not repeat
        DoesNotFit,  // no whole repeat inside the image, or the repeats differ
        TooLarge,    // the tile cannot be resampled
    };
    ExtractError(Kind kind, const std::string& message)
        : std::runtime_error(message), kind_(kind) {}
    Kind kind() const { return kind_; }

private:
    Kind kind_;
};

// From `image` (any depth and 1 to 4 channels, as decoded) and its lattice
// (from EstimateLattice, or a caller's): the lattice vectors are resampled
// onto a tile of whole pixels (an even height for a half-drop, an even width
// for a half-brick) with a single interpolation, which is a plain copy where
// the repeats already lie on whole pixels; every whole repeat inside the
// lattice's region is found where it really lies, optionally freed of
// uneven lighting, and the copies are combined value by value. A lattice
// reported mirrored gives its translational tile: the one that reprints the
// pattern by plain repetition with its match.
//
// Throws ExtractError when no tile can be cut, cv::Exception for an empty
// image or more than 4 channels.
ExtractedTile ExtractTile(const cv::Mat& image, const Lattice& lattice,
                          const ExtractOptions& options = {});

}  // namespace zentrel::lattice
