#include "lattice.h"

#include <algorithm>
#include <cmath>
#include <optional>

#include "lattice_basis.h"
#include "lattice_choice.h"
#include "self_similarity_map.h"
#include "shift_match.h"
#include "working_image.h"

namespace zentrel::lattice {

namespace {

// Longest side of the copy the whole image is searched on: its DFT costs a
// few milliseconds, and tiles down to a few dozen pixels keep their shape.
constexpr int kWorkingSide = 512;
// Shortest period searched for, in pixels of the copy searched: finer shifts
// are indistinguishable from the smoothing's own correlation.
constexpr double kMinPeriod = 5.0;
// A period this short on the reduced copy is looked at again at full
// resolution, where its detail has not been averaged away.
constexpr double kFinePeriod = 10.0;
// The least agreement of the image with itself shifted by each vector at
// full resolution for a repeat to be reported.
constexpr double kMinConfidence = 0.3;

cv::Rect CentralRect(cv::Size image, cv::Size wanted) {
    const cv::Size size(std::min(image.width, wanted.width), std::min(image.height, wanted.height));
    return {(image.width - size.width) / 2, (image.height - size.height) / 2, size.width,
            size.height};
}

// The lattice of `region` searched on a copy reduced by `scale`, in pixels of
// the input.
std::optional<Basis> SearchRegion(const cv::Mat& image, cv::Rect region, double scale) {
    const cv::Mat grey = GreyWorkingCopy(image, region, scale);
    if (std::min(grey.cols, grey.rows) < 4 * kMinPeriod) return std::nullopt;
    const std::optional<Basis> found = ChooseLattice(SelfSimilarityMap(grey), kMinPeriod);
    if (!found) return std::nullopt;
    const double toInputX = static_cast<double>(region.width) / grey.cols;
    const double toInputY = static_cast<double>(region.height) / grey.rows;
    const auto toInput = [&](cv::Point2d v) { return cv::Point2d(v.x * toInputX, v.y * toInputY); };
    return Basis{toInput(found->a), toInput(found->b)};
}

struct Verified {
    Basis basis;
    double confidence;
};

// `guess` moved to where the image at full resolution agrees best with itself,
// within the uncertainty `spread` of the copy it was found on. Only the
// centre of the image that the comparison needs is converted.
ShiftMatch::Peak Refine(const cv::Mat& image, cv::Point2d guess, double spread) {
    const int reach = static_cast<int>(std::ceil(spread)) + 2;
    const cv::Size extent(kMatchBlockSide + static_cast<int>(std::abs(guess.x)) + 2 * reach + 2,
                          kMatchBlockSide + static_cast<int>(std::abs(guess.y)) + 2 * reach + 2);
    const cv::Mat grey = GreyWorkingCopy(image, CentralRect(image.size(), extent), 1.0);
    return ShiftMatch(grey, std::max(1.0, spread / 2.0)).Refine(guess, reach);
}

std::optional<Verified> Verify(const cv::Mat& image, const Basis& guess, double spread) {
    const ShiftMatch::Peak a = Refine(image, guess.a, spread);
    const ShiftMatch::Peak b = Refine(image, guess.b, spread);
    const double confidence = std::min(a.similarity, b.similarity);
    if (!(confidence >= kMinConfidence)) return std::nullopt;
    if (std::abs(a.shift.cross(b.shift)) < 1.0) return std::nullopt;
    return Verified{ReduceBasis(a.shift, b.shift), std::min(confidence, 1.0)};
}

// Whole-image search first; a period too fine for its copy, or one that does
// not hold at full resolution, sends the search to the image's centre at
// full resolution.
std::optional<Verified> FindLattice(const cv::Mat& image) {
    // A whole divisor keeps area averaging on its fast path.
    const double scale =
        1.0 / std::ceil(static_cast<double>(std::max(image.cols, image.rows)) / kWorkingSide);
    const std::optional<Basis> coarse = SearchRegion(image, cv::Rect({}, image.size()), scale);
    std::optional<Verified> verified;
    if (coarse) verified = Verify(image, *coarse, 1.0 / scale);
    const bool tooFine = coarse && cv::norm(coarse->a) * scale < kFinePeriod;
    if (scale < 1.0 && (!verified || tooFine)) {
        const cv::Rect centre = CentralRect(image.size(), {kWorkingSide, kWorkingSide});
        if (const std::optional<Basis> fine = SearchRegion(image, centre, 1.0)) {
            if (auto fineVerified = Verify(image, *fine, 1.0)) verified = fineVerified;
        }
    }
    return verified;
}

}  // namespace

const char* MatchTypeName(MatchType match) {
    switch (match) {
        case MatchType::Straight:
            return "straight";
        case MatchType::HalfDrop:
            return "half-drop";
        case MatchType::HalfBrick:
            return "half-brick";
        case MatchType::Other:
            break;
    }
    return "other";
}

const char* MirrorName(Mirror mirror) {
    switch (mirror) {
        case Mirror::Horizontal:
            return "mirror-h";
        case Mirror::Vertical:
            return "mirror-v";
        case Mirror::Both:
            return "mirror-hv";
        case Mirror::None:
            break;
    }
    return "none";
}

Lattice EstimateLattice(const cv::Mat& image) {
    CV_Assert(!image.empty());
    const std::optional<Verified> verified = FindLattice(image);
    if (!verified) return {};
    const DesignerTile tile = TileOf(verified->basis);
    // Fewer than two whole repeats across or down is no evidence of a repeat.
    if (2.0 * tile.width > image.cols + 1.0 || 2.0 * tile.height > image.rows + 1.0) return {};

    Lattice lattice;
    lattice.found = true;
    lattice.vectorA = verified->basis.a;
    lattice.vectorB = verified->basis.b;
    lattice.width = tile.width;
    lattice.height = tile.height;
    lattice.match = tile.match;
    lattice.origin = cv::Point2d(std::floor((image.cols - tile.width) / 2.0),
                                 std::floor((image.rows - tile.height) / 2.0));
    lattice.confidence = verified->confidence;
    lattice.region = cv::Rect({}, image.size());
    return lattice;
}

}  // namespace zentrel::lattice
