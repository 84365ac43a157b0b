#include "tile_extract.h"

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <limits>
#include <opencv2/imgproc.hpp>
#include <sstream>
#include <vector>

#include "lighting_gain.h"
#include "repeat_alignment.h"
#include "seam_score.h"
#include "tile_geometry.h"

namespace zentrel::lattice {

namespace {

// The imaging library's remap keeps coordinates in 16 bits.
constexpr int kMaxTileSide = 32767;
// The copies are held at once; beyond this they are thinned, and a single
// copy this large is refused.
constexpr double kMaxStackBytes = sizeof(void*) == 4 ? 256.0 * (1 << 20) : 4096.0 * (1 << 20);
// Pixels kept around each repeat for the interpolation's neighbours.
constexpr int kInterpolationMargin = 1;
// Repeats that lie within this of a grid of whole pixels are copied instead
// of resampled: a lossless tiling stays exact. Where the fit is less sure,
// within its uncertainty, up to kMostDoubt.
constexpr double kWholeEnough = 0.1;
constexpr double kMostDoubt = 0.5;
// Fewer of the compared repeats than this share resembling the middle one
// means the lattice belongs to another image.
constexpr double kLeastAgreeing = 0.5;
constexpr int kInterpolation = cv::INTER_LINEAR;

template <typename... Parts>
std::string Text(const Parts&... parts) {
    std::ostringstream text;
    (text << ... << parts);
    return text.str();
}

std::string Describe(cv::Point2d v) { return Text("(", v.x, ", ", v.y, ")"); }

// Whether the fitted repeats lie on the whole-pixel grid of the tile
// everywhere among `places`, but for one common sub-pixel phase, which is
// the designer's free choice: to within a tenth of a pixel, or within the
// fit's own uncertainty (up to half a pixel) where that is larger.
bool OnWholeGrid(const TileGeometry& geometry, const LatticeFit& fit,
                 const std::vector<RepeatPlace>& places) {
    const cv::Matx22d difference = geometry.toInput - cv::Matx22d::eye();
    for (const cv::Vec2d& corner :
         {cv::Vec2d(geometry.size.width, 0), cv::Vec2d(0, geometry.size.height),
          cv::Vec2d(geometry.size.width, geometry.size.height)}) {
        const cv::Vec2d off = difference * corner;
        if (std::abs(off[0]) > kWholeEnough || std::abs(off[1]) > kWholeEnough) return false;
    }
    const cv::Point2d driftA = geometry.inputA - cv::Point2d(geometry.tileA);
    const cv::Point2d driftB = geometry.inputB - cv::Point2d(geometry.tileB);
    const cv::Point start = places.front().index;
    for (const RepeatPlace& place : places) {
        const cv::Point steps = place.index - start;
        const cv::Point2d drift = steps.x * driftA + steps.y * driftB;
        const double doubt = 3.0 * std::hypot(steps.x * fit.errorA, steps.y * fit.errorB);
        const double allowed = std::clamp(doubt, kWholeEnough, kMostDoubt);
        if (std::abs(drift.x) > allowed || std::abs(drift.y) > allowed) return false;
    }
    return true;
}

// Depths the resampling and the combination work in; others go through float.
bool NativeDepth(int depth) { return depth == CV_8U || depth == CV_16U || depth == CV_32F; }

struct Copy {
    cv::Point2d position;
    bool whole;     // copied, not resampled
    bool extended;  // the column and row beyond it lie inside too
};

// One repeat onto its row of the stack: copied, or resampled once. The
// extra column and row, where they lie outside, are left as they are.
void Place(const cv::Mat& image, const TileGeometry& geometry, const Copy& copy, cv::Mat plane) {
    const cv::Size extent = copy.extended ? plane.size() : geometry.size;
    if (copy.whole) {
        const cv::Point at(static_cast<int>(std::lround(copy.position.x)),
                           static_cast<int>(std::lround(copy.position.y)));
        image(cv::Rect(at, extent)).copyTo(plane(cv::Rect({}, extent)));
        return;
    }
    // Only the part of the image around this repeat, so that coordinates
    // stay small whatever the image's size.
    cv::Point2d low = copy.position;
    cv::Point2d high = copy.position;
    for (const cv::Point corner : {cv::Point(extent.width - 1, 0), cv::Point(0, extent.height - 1),
                                   cv::Point(extent.width - 1, extent.height - 1)}) {
        const cv::Vec2d offset = geometry.toInput * cv::Vec2d(corner.x, corner.y);
        const cv::Point2d p = copy.position + cv::Point2d(offset[0], offset[1]);
        low = {std::min(low.x, p.x), std::min(low.y, p.y)};
        high = {std::max(high.x, p.x), std::max(high.y, p.y)};
    }
    const cv::Point first(static_cast<int>(std::floor(low.x)) - kInterpolationMargin,
                          static_cast<int>(std::floor(low.y)) - kInterpolationMargin);
    const cv::Point last(static_cast<int>(std::ceil(high.x)) + kInterpolationMargin,
                         static_cast<int>(std::ceil(high.y)) + kInterpolationMargin);
    const cv::Rect around = cv::Rect(first, last + cv::Point(1, 1)) & cv::Rect({}, image.size());
    const cv::Matx23d map(geometry.toInput(0, 0), geometry.toInput(0, 1),
                          copy.position.x - around.x, geometry.toInput(1, 0),
                          geometry.toInput(1, 1), copy.position.y - around.y);
    cv::Mat target = plane(cv::Rect({}, extent));
    const uchar* before = target.data;
    cv::warpAffine(image(around), target, map, extent, kInterpolation | cv::WARP_INVERSE_MAP,
                   cv::BORDER_CONSTANT);
    CV_Assert(target.data == before);  // written into the stack, not elsewhere
}

// The column and row beyond the tile, combined from the copies that have
// them, into `combined`; false when none has.
bool CombineBeyond(const cv::Mat& stack, const std::vector<Copy>& copies, cv::Size extended,
                   int channels, Combine how, cv::Mat& combined) {
    const int w = extended.width - 1;
    const int h = extended.height - 1;
    cv::Mat beyond(0, (w + h + 1) * channels, stack.depth());
    for (std::size_t k = 0; k < copies.size(); ++k) {
        if (!copies[k].extended) continue;
        const cv::Mat plane = stack.row(static_cast<int>(k)).reshape(channels, extended.height);
        cv::Mat row;
        cv::hconcat(plane.col(w).t(), plane.row(h).colRange(0, w), row);
        beyond.push_back(row.reshape(1, 1));
    }
    if (beyond.empty()) return false;
    if (static_cast<std::size_t>(beyond.rows) == copies.size() && how != Combine::Best) {
        return true;  // the whole stack's combination has them already
    }
    const cv::Mat values =
        CombineStack(beyond, how == Combine::Best ? Combine::Median : how).reshape(channels, 1);
    values.colRange(0, h + 1).reshape(channels, h + 1).copyTo(combined.col(w));
    values.colRange(h + 1, h + 1 + w).copyTo(combined.row(h).colRange(0, w));
    return true;
}

}  // namespace

ExtractedTile ExtractTile(const cv::Mat& image, const Lattice& lattice,
                          const ExtractOptions& options) {
    CV_Assert(!image.empty() && image.channels() <= 4);
    using Kind = ExtractError::Kind;
    if (!lattice.found) throw ExtractError(Kind::NoRepeat, "no repeat was found in the image");

    const std::optional<TileGeometry> designed = DesignerGeometry(lattice);
    if (!designed) {
        throw ExtractError(
            Kind::DoesNotFit,
            Text("the lattice ", Describe(lattice.vectorA), ", ", Describe(lattice.vectorB),
                 " has no horizontal and vertical repeat, so no rectangular tile "
                 "reprints it"));
    }
    const cv::Rect whole({}, image.size());
    const cv::Rect area = lattice.region.empty() ? whole : lattice.region & whole;
    const std::string where = area == whole ? "the image" : "the region where the pattern holds";

    // Work in a depth the resampling handles; the tile is given back in the input's.
    cv::Mat source = image;
    if (!NativeDepth(image.depth())) image.convertTo(source, CV_32F);

    TileGeometry geometry = *designed;
    const auto tooLarge = [&](const TileGeometry& g) {
        const double values = (g.size.width + 1.0) * (g.size.height + 1.0) * source.channels();
        return std::max(g.size.width, g.size.height) > kMaxTileSide ||
               values * source.elemSize1() > kMaxStackBytes ||
               values > std::numeric_limits<int>::max();
    };
    if (tooLarge(geometry)) {
        throw ExtractError(Kind::TooLarge,
                           Text("a tile of ", geometry.size.width, " x ", geometry.size.height,
                                " pixels is too large to resample"));
    }
    const auto limitFor = [&](const TileGeometry& g) {
        const double plane = (g.size.width + 1.0) * (g.size.height + 1.0) * source.elemSize();
        return static_cast<std::size_t>(
            std::clamp(kMaxStackBytes / plane, 1.0, static_cast<double>(kMaxCombined)));
    };

    const std::vector<RepeatPlace> first =
        RepeatsInside(geometry, lattice.origin, area, kInterpolationMargin, limitFor(geometry));
    if (first.empty()) {
        throw ExtractError(
            Kind::DoesNotFit,
            Text("no whole repeat of the ", geometry.size.width, " x ", geometry.size.height,
                 " tile lies inside ", where, " (", area.width, " x ", area.height, " pixels)"));
    }
    const LatticeFit fit = AlignRepeats(source, geometry, lattice.origin, first);
    if (fit.measured >= 3 && fit.agreeing < kLeastAgreeing * fit.measured) {
        throw ExtractError(Kind::DoesNotFit,
                           Text("the tile does not fit this image: only ", fit.agreeing, " of ",
                                fit.measured, " repeats resemble each other"));
    }
    if (const auto refined = GeometryFromBasis(geometry.match, fit.inputA, fit.inputB)) {
        if (!tooLarge(*refined)) geometry = *refined;
    }

    // On a grid that is already whole the repeats are copied, from a whole
    // pixel near the fitted phase.
    cv::Point2d origin = fit.origin;
    const bool wholeGrid = OnWholeGrid(geometry, fit, first);
    if (wholeGrid) {
        const RepeatPlace& middle = first[first.size() / 2];
        const cv::Point2d at =
            fit.origin + middle.index.x * geometry.inputA + middle.index.y * geometry.inputB;
        geometry.toInput = cv::Matx22d::eye();
        geometry.inputA = geometry.tileA;
        geometry.inputB = geometry.tileB;
        origin = cv::Point2d(std::round(at.x), std::round(at.y)) -
                 middle.index.x * geometry.inputA - middle.index.y * geometry.inputB;
    }
    std::vector<Copy> copies;
    const cv::Size extended = geometry.size + cv::Size(1, 1);
    const int margin = wholeGrid ? 0 : kInterpolationMargin;
    for (const RepeatPlace& place :
         RepeatsInside(geometry, origin, area, margin, limitFor(geometry))) {
        const auto off = fit.offsets.find({place.index.x, place.index.y});
        if (off == fit.offsets.end()) {
            copies.push_back({place.position, wholeGrid,
                              RepeatInside(geometry, place.position, extended, area, margin)});
            continue;
        }
        // Off the lattice: resampled where it lies, if that is inside.
        const cv::Point2d moved = place.position + off->second;
        if (RepeatInside(geometry, moved, geometry.size, area, kInterpolationMargin)) {
            copies.push_back({moved, false,
                              RepeatInside(geometry, moved, extended, area, kInterpolationMargin)});
        }
    }
    if (copies.empty()) {
        throw ExtractError(
            Kind::DoesNotFit,
            Text("no whole repeat of the ", geometry.size.width, " x ", geometry.size.height,
                 " tile lies inside ", where, " (", area.width, " x ", area.height, " pixels)"));
    }

    const int channels = source.channels();
    cv::Mat stack(static_cast<int>(copies.size()), extended.area() * channels, source.depth(),
                  cv::Scalar(0));
    std::vector<cv::Point2d> positions;
    for (std::size_t k = 0; k < copies.size(); ++k) {
        Place(source, geometry, copies[k],
              cv::Mat(extended, source.type(), stack.ptr(static_cast<int>(k))));
        positions.push_back(copies[k].position);
    }
    if (stack.depth() == CV_32F) {
        // Not-a-number would have no order for the median.
        stack.forEach<float>([](float& value, const int*) {
            if (!std::isfinite(value)) value = 0.0f;
        });
    }
    if (options.flatten) {
        FlattenLighting(stack, extended, geometry.size, channels, channels == 2 || channels == 4,
                        positions, geometry.toInput);
    }

    int chosen = 0;
    cv::Mat combined = CombineStack(stack, options.combine, &chosen);
    if (options.combine == Combine::Median &&
        SetAsideOutliers(stack, combined, extended, channels) > 0) {
        combined = CombineStack(stack, Combine::Median);
    }
    combined = combined.reshape(channels, extended.height);
    const bool beyond = CombineBeyond(stack, copies, extended, channels, options.combine, combined);
    stack.release();

    ExtractedTile result;
    result.match = geometry.match;
    result.repeats = options.combine == Combine::Best ? 1 : static_cast<int>(copies.size());
    const int drop = geometry.match == MatchType::HalfDrop ? geometry.size.height / 2 : 0;
    const int shift = geometry.match == MatchType::HalfBrick ? geometry.size.width / 2 : 0;
    result.seamScore = beyond ? SeamScore(combined, drop, shift)
                              : SeamScoreOfTile(combined(cv::Rect({}, geometry.size)), drop, shift);
    result.origin = copies[options.combine == Combine::Best ? chosen : copies.size() / 2].position;
    combined(cv::Rect({}, geometry.size)).convertTo(result.tile, image.depth());
    return result;
}

}  // namespace zentrel::lattice
