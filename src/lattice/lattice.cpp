#include "lattice.h"

#include <algorithm>
#include <cmath>
#include <map>
#include <optional>
#include <utility>
#include <vector>

#include "lattice_basis.h"
#include "lattice_choice.h"
#include "mirror_symmetry.h"
#include "pattern_region.h"
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
// A period too fine for the reduced copy is searched again at full
// resolution over this many of its cells across, in at least this many
// pixels.
constexpr double kFineCells = 8.0;
constexpr int kFineSide = 256;
// Where the whole copy is reduced at least five times, the larger square is
// searched at half resolution, still well finer than the copy.
constexpr double kHalvedSquareScale = 0.2;
// Squares off the middle, searched at full resolution when nothing else
// showed a lattice: of this side (each costs a DFT pair of its own), taken
// at their word only for a lattice of this many cells across them.
constexpr int kOffMiddleSide = 192;
constexpr double kSquareCells = 3.0;
// The least agreement of the image with itself shifted by each vector at
// full resolution for a repeat to be reported.
constexpr double kMinConfidence = 0.3;

// Of the candidates, a shift is a period when it agrees with the image about
// as well as the best of them (the reference): to within this much...
constexpr double kBaseMargin = 0.01;
// ...plus this share of the steps that JPEG's blocks add, whose errors differ
// between periods as the shifts meet the block grid differently...
constexpr double kBlockMargin = 0.15;
// (an image whose steps sit this much on one phase of the grid is blocky)
constexpr double kBlocky = 0.05;
// ...plus this share of what the reference lacks of 1: where noise or
// compression blur every period, periods and their multiples differ by
// chance.
constexpr double kNoiseMargin = 0.5;
// A best candidate this far below what a period of the image can reach,
// given its noise, is a near-repeat of something that does not repeat.
constexpr double kRepeatMargin = 0.4;
// A lattice agreeing less than this is looked at again: noise and a
// distortion (a board photographed at an angle) lower it, and so does a
// near-repeat confined to a few copies (a printed puzzle grid).
constexpr double kWeakAgreement = 0.8;
// A lattice agreeing less than this may be a near-repeat of a coarser one
// that the copy did not propose: its vectors are measured up to this many
// times over.
constexpr double kCoarserBelow = 0.9;
constexpr int kMostCoarserMultiple = 10;
// Noise costs every shift alike; a near-repeat of a few copies fades at
// twice and three times the vectors to below this share of its agreement...
constexpr double kFadedShare = 0.7;
// ...and unlike a distortion, which a shift found afresh in small blocks
// undoes, it agrees little better there (the median of a few blocks).
constexpr double kLocalAgreement = 0.9;
// Shifts shorter than this, in pixels of a copy, say little about where it
// agrees with itself.
constexpr double kLeastRegionShift = 4.0;
// Mirror images are held to this share of the periods' own agreement, plus
// the noise's allowance.
constexpr double kMirrorMargin = 0.005;
// A true mirror image agrees as well as the periods do; one that passes
// only by falling short of them by more than this share of its margin is a
// motif that is nearly symmetric, as often as not.
constexpr double kMirrorShortShare = 0.1;
constexpr double kMirrorDoubtFactor = 0.85;
// A parabola through whole-pixel readings misses a sharp peak between them
// by a share of what it adds: a mirror read that way is allowed this share
// of its rise beyond the periods' own allowance. Not where the mirror image
// is sampled turned, between pixels already, where it would only lift nearly
// symmetric motifs.
constexpr double kMirrorRiseShare = 0.25;
// Off JPEG's block grid the periods' lack at whole pixels is the noise alone
// (the tile's own grain repeats under translation, not under reflection): a
// whole-pixel mirror that falls short and lacks more than this many times as
// much is a symmetric layout over an asymmetric grain. The margin over one
// is for the mirror's block, another part of the image than the periods'.
constexpr double kMirrorNoiseRatio = 1.25;
// Half a period along the axis is as far off the lattice as a shift gets:
// what the image loses there is its structure along the axis. A mirror has
// to gain more than the noise's allowance over that shift and fall short of
// the periods by no more than this share of their gain; stripes along the
// axis, under noise or JPEG, are their own mirror image nearly as well as
// they are their own period.
constexpr double kMirrorContrastShare = 0.1;
// Confidence: a choice is close when a candidate lies within this share of
// the margin from the threshold, or when the lattice's own agreement lies
// more than the second share of the margin below the best candidate's. The
// factors discount close choices, periods on a JPEG's block grid, fewer than
// this many repeats across or down the region, and a pattern in part of the
// frame, and a lattice only a window of the frame showed; they are fitted on
// the accuracy harness's corpus of several seeds.
constexpr double kCloseShare = 0.5;
constexpr double kOwnCloseShare = 0.35;
constexpr double kCloseFactor = 0.9;
constexpr double kCodecGridFactor = 0.9;
constexpr double kFewRepeats = 3.0;
constexpr double kFewFactor = 0.95;
constexpr double kPartFactor = 0.95;
constexpr double kWindowFactor = 0.9;

cv::Rect CentralRect(cv::Size image, cv::Size wanted) {
    const cv::Size size(std::min(image.width, wanted.width), std::min(image.height, wanted.height));
    return {(image.width - size.width) / 2, (image.height - size.height) / 2, size.width,
            size.height};
}

// The lattice chosen on a copy of `region` reduced by `scale`, with the
// candidate periods in pixels of the input.
struct Coarse {
    Basis basis;
    std::vector<cv::Point2d> candidates;  // shortest first
    std::vector<double> scores;           // theirs on the copy
    double spread;                        // input pixels per pixel of the copy
    cv::Rect region;                      // what the copy is of
    cv::Mat grey;                         // the copy
    Basis copyBasis;                      // `basis` in pixels of the copy
    double strength = 0.0;                // the lesser score of its vectors on the copy
};

// The lattice of `grey`, a copy of `region` of the input.
std::optional<Coarse> SearchCopy(const cv::Mat& grey, cv::Rect region) {
    if (std::min(grey.cols, grey.rows) < 4 * kMinPeriod) return std::nullopt;
    const std::optional<LatticeChoice> found = ChooseLattice(SelfSimilarityMap(grey), kMinPeriod);
    if (!found) return std::nullopt;
    const double toInputX = static_cast<double>(region.width) / grey.cols;
    const double toInputY = static_cast<double>(region.height) / grey.rows;
    const auto toInput = [&](cv::Point2d v) { return cv::Point2d(v.x * toInputX, v.y * toInputY); };
    Coarse coarse;
    coarse.grey = grey;
    coarse.basis = {toInput(found->basis.a), toInput(found->basis.b)};
    coarse.copyBasis = found->basis;
    coarse.spread = std::max(toInputX, toInputY);
    coarse.region = region;
    double scoreA = 0.0, scoreB = 0.0;
    for (const auto& candidate : found->candidates) {
        coarse.candidates.push_back(toInput(candidate.shift));
        coarse.scores.push_back(candidate.score);
        if (candidate.shift == found->basis.a) scoreA = candidate.score;
        if (candidate.shift == found->basis.b) scoreB = candidate.score;
    }
    coarse.strength = std::min(scoreA, scoreB);
    return coarse;
}

std::optional<Coarse> SearchRegion(const cv::Mat& image, cv::Rect region, double scale) {
    return SearchCopy(GreyWorkingCopy(image, region, scale), region);
}

// The strongest lattice of the windows of `copy` (a copy of the whole frame
// `whole`): half its side, a quarter of it apart. A pattern over part of the
// frame holds too little of the whole map's energy for its peaks to stand
// out, and need not lie in the middle, where the search at full resolution
// looks.
std::optional<Coarse> SearchWindows(const cv::Mat& copy, cv::Rect whole) {
    const double toInputX = static_cast<double>(whole.width) / copy.cols;
    const double toInputY = static_cast<double>(whole.height) / copy.rows;
    const cv::Size side(copy.cols / 2, copy.rows / 2);
    std::optional<Coarse> strongest;
    for (int row = 0; row < 3; ++row) {
        for (int column = 0; column < 3; ++column) {
            const cv::Rect window(column * copy.cols / 4, row * copy.rows / 4, side.width,
                                  side.height);
            const int left = static_cast<int>(std::lround(window.x * toInputX));
            const int top = static_cast<int>(std::lround(window.y * toInputY));
            const cv::Rect inInput(left, top,
                                   static_cast<int>(std::lround(window.width * toInputX)),
                                   static_cast<int>(std::lround(window.height * toInputY)));
            std::optional<Coarse> found = SearchCopy(copy(window), inInput + whole.tl());
            if (found && (!strongest || found->strength > strongest->strength))
                strongest = std::move(found);
        }
    }
    return strongest;
}

// Where `grey`, a copy of `region` of the input, agrees with itself under
// `basis` (in its own pixels), in input pixels.
HeldRegion HeldIn(const cv::Mat& grey, cv::Rect region, const Basis& basis) {
    const HeldRegion inCopy = PatternRegion(grey, basis.a, basis.b);
    if (inCopy.box.empty()) return {};
    const double toInputX = static_cast<double>(region.width) / grey.cols;
    const double toInputY = static_cast<double>(region.height) / grey.rows;
    const auto toInput = [&](cv::Rect r) {
        const int left = static_cast<int>(std::floor(r.x * toInputX));
        const int top = static_cast<int>(std::floor(r.y * toInputY));
        const int right = static_cast<int>(std::ceil((r.x + r.width) * toInputX));
        const int bottom = static_cast<int>(std::ceil((r.y + r.height) * toInputY));
        return cv::Rect(region.x + left, region.y + top, right - left, bottom - top) & region;
    };
    return {toInput(inCopy.box), toInput(inCopy.core)};
}

double ScaleFor(cv::Size size) {
    // A whole divisor keeps area averaging on its fast path.
    return 1.0 / std::ceil(static_cast<double>(std::max(size.width, size.height)) / kWorkingSide);
}

struct Verified {
    Basis basis;
    double confidence;
    // What makes the choice less sure: a candidate within a small share of
    // the margin from the threshold either way, a lattice that agrees
    // clearly less than the best candidate (a finer lattice chosen over a
    // better one), or a JPEG whose periods lie on its block grid, where the
    // codec's errors agree with themselves.
    bool close = false;
    bool onCodecGrid = false;
    // Lossless data whose periods repeat it bit for bit (not a JPEG's
    // block grid, whose errors repeat too).
    bool bitExact = false;
    // What the periods lack of agreeing at whole pixels: the data's noise,
    // where the periods repeat only the design.
    double wholeLack = 0.0;
};

// Whole-pixel checks of multiples of a refined vector: enough for a few
// near-repeats, bounded so that a design of a thousand identical motifs
// costs milliseconds, not seconds.
constexpr int kMaxChecks = 40;
// The candidates the reduced copy agrees with most, measured for the
// reference: the design's repeat is among them.
constexpr std::size_t kReferenceCandidates = 4;
// Halvings and thirdings of a cell: a few steps reach any finer lattice.
constexpr int kMaxSubdivisions = 4;
constexpr double kPartMargin = 0.15;
// The share of the steps on JPEG's block grid that a part of a cell on the
// grid may lack.
constexpr double kCodecMargin = 1.0;
// A part is a period only where the agreement peaks along it too: between
// its multiples it must fall by this much plus this share of what the part
// lacks of 1 (a layout that varies little along a direction agrees alike at
// every shift along it).
constexpr double kRidgeDrop = 0.03;
constexpr double kRidgeNoise = 0.25;

bool OnGrid(cv::Point2d shift) {
    return std::lround(shift.x) % 8 == 0 && std::lround(shift.y) % 8 == 0;
}
// How many multiples of the longer vector the window of gradients is sized
// for at first.
constexpr double kExpectedMultiples = 2.0;
// Colour that agrees with itself less than this at its best period (JPEG's,
// noisy or faint colour) is not trusted to judge periods. Where it judges, a
// period's colour agrees to within this margin (plus the noise's allowance)
// of the best: subsampled colour varies that much between periods, a
// recoloured cell costs more.
constexpr double kLeastColourAgreement = 0.95;
constexpr double kColourMargin = 0.2;
// Colour agreeing this well at one shift is the colour's reference: no
// other shift could raise it enough to matter against the margin.
constexpr double kWholeColourAgreement = 0.998;
// A sub-pixel period this near a whole shift, where the whole shift agrees
// to within this much, is the whole shift.
constexpr double kSnapReach = 0.2;
constexpr double kSnapLoss = 0.002;
// A lopsided peak (a heavy line beside thin ones, JPEG's ringing at them)
// leans its parabola up to nearly half a pixel off a whole-pixel period;
// within this, a multiple of the shift decides whether the lean is real.
constexpr double kLeanReach = 0.45;
// The blocks compared for exactness grow to hold the longest strong
// candidate, so that the cell in which a near-repeat differs is seen.
constexpr int kLargestExactBlock = 512;
// A motif repeated inside the tile with small changes agrees with itself
// nearly as well as the tile does. On exact data a point of its lattice that
// leaves at most this share of the lattice's shortfall beyond the noise is a
// period of the tile...
constexpr double kExactShare = 0.25;
// ...when that shortfall exceeds this, and exceeds the noise by this many
// times the noise (closer, periods differ by chance)...
constexpr double kLeastLack = 1e-4;
constexpr double kNoiseLack = 4.0;
// ...or, whatever the noise measured, when the point repeats the image bit
// for bit: only rounding is left of its shortfall, which no chance and no
// noise reaches (fine texture in a lossless design reads as noise). Then the
// lattice must fall short by more than a few odd pixels cost the shifts
// whose blocks hold them (a defect, a value that was not finite).
constexpr double kBitExactLack = 1e-6;
constexpr double kOddPixelsLack = 5e-4;
// ...measuring at most this many of the shortest points, of coordinates up
// to this, each repeating at least twice across the area.
constexpr std::size_t kSublatticePoints = 64;
constexpr int kSublatticeReach = 8;
// The partner of a point that repeats bit for bit is looked for among this
// many more points, of coordinates up to this.
constexpr std::size_t kFartherPoints = 192;
constexpr int kFartherReach = 16;
// Then, last, these multiples of the cell's vectors.
constexpr int kFarMultiples[] = {9, 10};
// Where no such points exist, a lattice of whole pixels on lossless data
// that falls short of 1 by this many times its noise, and by more than
// JPEG too fine to be recognised costs, is the near-repeat of a tile that
// does not repeat here (one tile of a design on its own).
constexpr double kNearOnlyNoise = 20.0;
constexpr double kNearOnlyLack = 0.02;
// What the best shift off JPEG's block grid may lack of the bit-exact shifts
// on it for the codec to be blamed, and how its pixels must differ: at least
// this share of them, by at most this many levels on average.
constexpr double kCodecAllowance = 0.06;
constexpr double kCodecShare = 0.2;
constexpr double kCodecLevels = 3.0;
// Where the file is known to be a JPEG, the codec's errors at quality 85 in
// textured content.
constexpr double kJpegCodecLevels = 8.0;
// A lattice that repeats its block bit for bit must do so over the frame,
// but for a rim that filters reach from the frame's edge, and a few odd
// pixels: otherwise the cell that breaks it lies outside the block.
constexpr int kExactRim = 16;
constexpr double kOddPixelShare = 0.01;
// Fewer than this share differing is no motif changed at all.
constexpr double kFewPixelShare = 0.001;
// Rows compared across the frame, at most.
constexpr int kExactRows = 256;

// The similarity of lattice points i a + j b of a refined basis, measured
// once each, at full resolution with light smoothing.
class LatticeProbe {
public:
    LatticeProbe(const ShiftMatch& match, const Basis& basis) : match_(match), basis_(basis) {}

    const ShiftMatch::Peak& At(int i, int j) {
        const auto [entry, added] = known_.try_emplace({i, j}, ShiftMatch::Peak{});
        if (added) {
            ++checks_;
            entry->second = match_.Refine(i * basis_.a + j * basis_.b, 1);
        }
        return entry->second;
    }
    // The lattice coordinates nearest to `shift`.
    cv::Point Coordinates(cv::Point2d shift) const {
        const double area = basis_.a.cross(basis_.b);
        return {static_cast<int>(std::lround(shift.cross(basis_.b) / area)),
                static_cast<int>(std::lround(basis_.a.cross(shift) / area))};
    }
    int Checks() const { return checks_; }
    // The colour's agreement at lattice point i a + j b, where luminance
    // peaks; -1 without a colour matcher.
    double Chroma(int i, int j) {
        if (!chroma_) return -1.0;
        const auto [entry, added] = chromaKnown_.try_emplace({i, j}, -1.0);
        if (added) entry->second = chroma_->Refine(At(i, j).shift, 0).similarity;
        return entry->second;
    }
    void CompareColour(const ShiftMatch* chroma) { chroma_ = chroma; }
    // Of the points measured so far, the best similarity of those whose
    // shift is off the 8-pixel grid of JPEG's blocks (and its shift), and
    // the least of those on it (where the codec's errors repeat with the
    // image and agree with themselves).
    struct ByGrid {
        double bestOff = -1.0;
        double leastOn = 2.0;
        cv::Point2d bestOffShift;
    };
    // The least distance of any similarity measured from `threshold`.
    double Closest(double threshold) const {
        double closest = 1.0;
        for (const auto& [at, peak] : known_) {
            if (peak.similarity >= 0.0) closest = std::min(closest, std::abs(peak.similarity - threshold));
        }
        return closest;
    }
    ByGrid SplitByGrid() const {
        ByGrid split;
        for (const auto& [at, peak] : known_) {
            if (peak.similarity < 0.0) continue;
            const long x = std::lround(peak.shift.x), y = std::lround(peak.shift.y);
            if (x % 8 != 0 || y % 8 != 0) {
                if (peak.similarity > split.bestOff) split.bestOffShift = peak.shift;
                split.bestOff = std::max(split.bestOff, peak.similarity);
            } else {
                split.leastOn = std::min(split.leastOn, peak.similarity);
            }
        }
        return split;
    }

private:
    const ShiftMatch& match_;
    const ShiftMatch* chroma_ = nullptr;
    Basis basis_;
    std::map<std::pair<int, int>, ShiftMatch::Peak> known_;
    std::map<std::pair<int, int>, double> chromaKnown_;
    int checks_ = 0;
};

// The whole shift nearest to `v`, and whether `v` is one.
cv::Point2d Whole(cv::Point2d v) { return {std::round(v.x), std::round(v.y)}; }
bool IsWhole(cv::Point2d v) { return v == Whole(v); }

// Whether `v` is a point of the lattice of `basis`, its coordinates within
// `tolerance` of whole numbers.
bool OnLattice(const Basis& basis, cv::Point2d v, double tolerance) {
    const double cell = basis.a.cross(basis.b);
    const double i = v.cross(basis.b) / cell, j = basis.a.cross(v) / cell;
    return std::abs(i - std::round(i)) < tolerance && std::abs(j - std::round(j)) < tolerance;
}

// Whether a refined peak lies on a whole shift that agrees as well.
bool OnWholePixels(const ShiftMatch::Peak& peak) {
    return cv::norm(peak.shift - Whole(peak.shift)) <= kSnapReach && peak.whole >= peak.similarity - kSnapLoss;
}

// Whether a refined peak is a whole shift that repeats the image bit for bit.
bool RepeatsExactly(const ShiftMatch::Peak& peak) {
    return OnWholePixels(peak) && peak.whole >= 1.0 - kBitExactLack;
}

// Whether a refined peak lies on whole pixels, or only leans off them: a
// sharp peak's parabola leans a few tenths of a pixel off a whole-pixel
// period. A peak near whole pixels is whole when, at the first multiple at
// which its lean reaches half a pixel, the whole shift's multiple agrees at
// least as well as the shift it leans to (a turned or resampled period
// leans there for real, and agrees better).
bool OnWholePixels(const ShiftMatch& exact, const ShiftMatch::Peak& peak) {
    if (OnWholePixels(peak)) return true;
    const cv::Point2d v = peak.shift, whole = Whole(v);
    const double lean = std::max(std::abs(v.x - whole.x), std::abs(v.y - whole.y));
    if (lean == 0.0) return true;
    if (cv::norm(v - whole) > kLeanReach) return false;
    const double multiple = std::ceil(0.5 / lean);
    const double atWhole = exact.Refine(multiple * whole, 0).whole;
    return atWhole >= 0.0 && atWhole >= exact.Refine(multiple * v, 0).whole;
}

// How the samples of `area`, less its rim, differ from those `shift` away:
// the share that differ (-1 when the shift leaves nothing to compare), and
// their mean absolute difference where they do (with `levels`: summing them
// costs a little on every bit-exact tiling). Every few rows are compared, so
// that a large image costs a millisecond or two.
struct Differences {
    double share = -1.0;
    double mean = 0.0;
};
Differences DifferencesAt(const cv::Mat& image, cv::Rect area, cv::Point shift,
                          bool levels = false) {
    Differences found;
    const cv::Rect inner(area.x + kExactRim, area.y + kExactRim, area.width - 2 * kExactRim,
                         area.height - 2 * kExactRim);
    if (inner.width <= 0 || inner.height <= 0) return found;
    const cv::Rect from = inner & (inner - shift);
    if (from.empty()) return found;
    const int step = std::max(1, from.height / kExactRows);
    double differing = 0.0, compared = 0.0, sum = 0.0;
    cv::Mat diff;
    for (int y = from.y; y < from.y + from.height; y += step) {
        const cv::Mat a = image.row(y).colRange(from.x, from.x + from.width).reshape(1);
        const cv::Mat b = image.row(y + shift.y)
                              .colRange(from.x + shift.x, from.x + shift.x + from.width)
                              .reshape(1);
        cv::absdiff(a, b, diff);
        differing += cv::countNonZero(diff);
        if (levels) sum += cv::sum(diff)[0];
        compared += static_cast<double>(diff.total());
    }
    found.share = differing / compared;
    found.mean = differing > 0.0 ? sum / differing : 0.0;
    return found;
}

// Whether the lattice of `basis` repeats `area` to within `most` of its
// samples at whole shifts.
bool RepeatsArea(const cv::Mat& image, cv::Rect area, const Basis& basis, double most) {
    for (const cv::Point2d v : {basis.a, basis.b}) {
        const double share = IsWhole(v) ? DifferencesAt(image, area, cv::Point(v)).share : -1.0;
        if (!(share >= 0.0 && share <= most)) return false;
    }
    return true;
}

// Whether differences (measured with levels) look like a codec's errors:
// many samples, each by a few levels at most on average. A near-repeat
// changes few samples, or changes them by more.
bool CodecLike(const Differences& d, double levels) {
    return d.share >= kCodecShare && d.mean <= levels;
}

// The lattice of exact periods among the points of a whole-pixel lattice
// (first, other) whose vectors fall measurably short of 1: the shortest
// points that leave at most a share of that shortfall beyond the noise, the
// first and the shortest independent one, and halves of their cell that
// hold as well. In a JPEG (`compressed`, or known to be one: `jpeg`), points
// on the codec's block grid, whose errors repeat with the image, are not
// judged; `image` is the data the lattice was measured on.
std::optional<Basis> ExactSublattice(const cv::Mat& image, const ShiftMatch& exact, cv::Rect area,
                                     const ShiftMatch::Peak& first, const ShiftMatch::Peak& other,
                                     bool compressed, bool jpeg) {
    const double lack = 1.0 - std::min(first.similarity, other.similarity);
    if (!OnWholePixels(exact, first) || !OnWholePixels(exact, other)) return std::nullopt;
    // How each vector changes the samples of the area, measured once when
    // needed.
    std::optional<Differences> changes[2];
    const auto changesOf = [&](int k) -> const Differences& {
        if (!changes[k]) {
            const cv::Point shift(Whole((k == 0 ? first : other).shift));
            changes[k] = DifferencesAt(image, area, shift, true);
        }
        return *changes[k];
    };
    // A copy recoloured by a few levels barely shows in the gradients. On
    // lossless data, where one vector repeats the area bit for bit, the
    // other changing more than a few odd pixels of it is a near-repeat.
    bool changed = false;
    if (!(lack > kOddPixelsLack) && !compressed && !jpeg && image.depth() == CV_8U &&
        std::max(first.whole, other.whole) >= 1.0 - kBitExactLack &&
        std::min(first.whole, other.whole) < 1.0 - kBitExactLack) {
        const double least = std::min(changesOf(0).share, changesOf(1).share);
        const double most = std::max(changesOf(0).share, changesOf(1).share);
        changed = least >= 0.0 && least <= kOddPixelShare && most > kOddPixelShare;
    }
    // The interpolation may lift a near-repeat on whole pixels to full
    // agreement; its whole shift still shows what it lacks.
    const double shortfall = std::max(lack, 1.0 - std::min(first.whole, other.whole));
    if (!(shortfall > kLeastLack) && !changed) return std::nullopt;
    const Basis cell = ReduceBasis(Whole(first.shift), Whole(other.shift));
    const auto fits = [&](cv::Point2d p) {
        return 2.0 * std::abs(p.x) <= area.width && 2.0 * std::abs(p.y) <= area.height;
    };
    // The multiples of the cell's vectors first (a motif repeated across
    // and down), then the other points, shortest first.
    std::vector<cv::Point2d> along, points;
    for (int k = 1; k <= kSublatticeReach; ++k) {
        for (const cv::Point2d v : {cell.a, cell.b}) {
            if (fits(k * v)) along.push_back(k * v);
        }
    }
    for (int j = 0; j <= kSublatticeReach; ++j) {
        for (int i = j == 0 ? 1 : -kSublatticeReach; i <= kSublatticeReach; ++i) {
            const cv::Point2d p = i * cell.a + j * cell.b;
            if (fits(p) && std::find(along.begin(), along.end(), p) == along.end()) points.push_back(p);
        }
    }
    const auto shorter = [](cv::Point2d u, cv::Point2d v) { return u.dot(u) < v.dot(v); };
    std::sort(along.begin(), along.end(), shorter);
    std::sort(points.begin(), points.end(), shorter);
    along.insert(along.end(), points.begin(), points.end());
    std::vector<cv::Point2d> farther;
    if (along.size() > kSublatticePoints) {
        farther.assign(along.begin() + kSublatticePoints, along.end());
        along.resize(kSublatticePoints);
    }
    // Farther still, for the partner of a point that repeats bit for bit: a
    // tile of many motifs (twelve rows of one) lies beyond the reach.
    for (int j = 0; j <= kFartherReach; ++j) {
        for (int i = j == 0 ? 1 : -kFartherReach; i <= kFartherReach; ++i) {
            const cv::Point2d p = i * cell.a + j * cell.b;
            if (std::max(std::abs(i), j) > kSublatticeReach && fits(p)) farther.push_back(p);
        }
    }
    std::stable_sort(farther.begin(), farther.end(), shorter);
    if (farther.size() > kFartherPoints) farther.resize(kFartherPoints);
    // Last, the farther multiples of a grid with a heavier line every few
    // cells (graph paper's every tenth), where nothing nearer repeats.
    for (const int k : kFarMultiples) {
        for (const cv::Point2d v : {cell.a, cell.b}) {
            if (fits(k * v)) along.push_back(k * v);
        }
    }
    // Judged at the whole shift, which a resampled or turned period does not
    // reach. Points that repeat the image bit for bit are periods for
    // certain and win over points that only come near; above the noise,
    // those that come near enough do too.
    std::map<std::pair<int, int>, double> measured;
    const auto at = [&](cv::Point2d p) {
        const auto [entry, added] =
            measured.try_emplace({static_cast<int>(p.x), static_cast<int>(p.y)}, -1.0);
        if (added) entry->second = exact.Refine(p, 0).whole;
        return entry->second;
    };
    // Points on JPEG's block grid repeat a JPEG's errors bit for bit. Where
    // neither vector of the cell falls short the way a codec's errors make a
    // period fall short (a little, over many samples), the image is no JPEG
    // and they are periods: a tile on the grid, its motifs off it. Measured
    // once, when needed.
    int gridTrusted = -1;
    const auto trustGrid = [&]() {
        if (gridTrusted < 0) {
            gridTrusted = !compressed && !jpeg && image.depth() == CV_8U;
            for (int k = 0; k < 2; ++k) {
                if (!gridTrusted || (k == 0 ? first : other).whole >= 1.0 - kBitExactLack) continue;
                gridTrusted =
                    changesOf(k).share >= 0.0 && !CodecLike(changesOf(k), kJpegCodecLevels);
            }
        }
        return gridTrusted == 1;
    };
    const auto bitExact = [&](cv::Point2d p, bool onGridToo = false) {
        return (shortfall > kOddPixelsLack || changed) && at(p) >= 1.0 - kBitExactLack &&
               (onGridToo || !OnGrid(p) || trustGrid());
    };
    // What a period of the image lacks of 1, as its best point shows it;
    // negative until measured.
    double noise = -1.0;
    const auto holds = [&](cv::Point2d p) {
        if (noise < 0.0 || (compressed && OnGrid(p)) || !(at(p) >= 0.0)) return false;
        return 1.0 - at(p) - noise <= kExactShare * (lack - noise);
    };
    struct Pair {
        std::optional<cv::Point2d> first, second;
        // Takes `p` when it is independent of the first; true when complete.
        bool Add(cv::Point2d p) {
            if (!first) {
                first = p;
            } else if (!second && std::abs(first->cross(p)) >= 1.0) {
                second = p;
            }
            return second.has_value();
        }
    } exactPair, nearPair;
    for (const cv::Point2d p : along) {
        if (bitExact(p) && exactPair.Add(p)) break;
    }
    // A point that repeats the image bit for bit needs its partner, which
    // for a tile of many motifs may lie beyond the shortest points.
    if (exactPair.first && !exactPair.second) {
        for (const cv::Point2d p : farther) {
            if (bitExact(p) && exactPair.Add(p)) break;
        }
    }
    const bool exactChosen = exactPair.second.has_value();
    if (!exactChosen && lack > kOddPixelsLack) {
        // The noise is what the best point still lacks (fine texture, which
        // repeats with the tile, is not noise here). A near-repeat lacks its
        // change on top; only a change well beyond the noise is told from
        // chance. Where the cell is off JPEG's block grid, points on it may
        // repeat the codec's errors too (a JPEG not recognised as one), and
        // do not say what the noise is.
        const bool cellOnGrid = OnGrid(cell.a) && OnGrid(cell.b);
        double best = -1.0;
        for (const cv::Point2d p : along) {
            if (!OnGrid(p) || (cellOnGrid && !compressed)) best = std::max(best, at(p));
        }
        if (best >= 0.0 && lack - (1.0 - best) > kNoiseLack * (1.0 - best)) {
            noise = 1.0 - best;
            for (const cv::Point2d p : along) {
                if (holds(p) && nearPair.Add(p)) break;
            }
        }
    }
    const Pair& chosen = exactChosen ? exactPair : nearPair;
    std::optional<cv::Point2d> p1 = chosen.first, p2 = chosen.second;
    if (!p2) return std::nullopt;
    // The first two points that hold may span a coarser lattice than the
    // tile's (two diagonals of a straight tile, multiples of a weave's
    // cell): halves and thirds of their cell that are points of the lattice
    // measured and hold as well make it finer. Points that repeat the image
    // bit for bit off JPEG's block grid show it is no JPEG: their parts may
    // lie on the grid.
    for (bool finer = true; finer;) {
        finer = false;
        const cv::Point2d u = *p1, v = *p2;
        const std::pair<cv::Point2d, cv::Point2d> parts[] = {
            {(u + v) / 2, u}, {(u - v) / 2, u}, {u / 2, v}, {v / 2, u},
            {(u + v) / 3, u}, {(u - v) / 3, u}, {u / 3, v}, {v / 3, u}};
        for (const auto& [part, partner] : parts) {
            if (!OnLattice(cell, part, 1e-6) || !fits(part) ||
                !(exactChosen ? bitExact(part, true) : holds(part)))
                continue;
            p1 = part;
            p2 = partner;
            finer = true;
            break;
        }
    }
    // JPEG too fine to be recognised still repeats its errors exactly at the
    // shifts on its block grid. A period there, where the cell is off the
    // grid, needs a point off the grid that holds as well, unless the image
    // shows it is no JPEG.
    if ((OnGrid(*p1) || OnGrid(*p2)) && !(OnGrid(cell.a) && OnGrid(cell.b)) &&
        !(exactChosen && trustGrid())) {
        const cv::Point2d control = OnGrid(*p1 + *p2) ? *p1 - *p2 : *p1 + *p2;
        if (OnGrid(control) || !(exactChosen ? bitExact(control) : holds(control))) return std::nullopt;
    }
    return ReduceBasis(*p1, *p2);
}

// The exact lattice among the points of the coarse one, judged at full
// resolution in `area`: the finest sublattice whose vectors agree with the
// image to within its measured noise of the best candidate. So on a lossless
// design the motif's near-repeat inside the tile loses to the tile, and on a
// noisy photo or a faint JPEG, where every period scores alike, the tile is
// not lost to its multiples. `jpeg`: the caller knows the image was stored
// as JPEG. `largest`: compared on the largest block, for a tile longer than
// the block that its candidates sized.
std::optional<Verified> ExactLattice(const cv::Mat& image, cv::Rect area, const Coarse& coarse,
                                     bool jpeg, bool largest = false) {
    // The coarse vectors moved to where the full resolution agrees best,
    // within the copy's uncertainty.
    const ShiftMatch climb(image, area, std::max(1.0, coarse.spread / 2.0));
    const int reach = static_cast<int>(std::ceil(coarse.spread)) + 2;
    // One window for both climbs, rather than one grown for the second.
    climb.Expect(std::max(cv::norm(coarse.basis.a), cv::norm(coarse.basis.b)) + 2 * reach + 2);
    const ShiftMatch::Peak a = climb.Refine(coarse.basis.a, reach);
    const ShiftMatch::Peak b = climb.Refine(coarse.basis.b, reach);
    if (!(std::min(a.similarity, b.similarity) > 0.0) || std::abs(a.shift.cross(b.shift)) < 1.0) {
        return std::nullopt;
    }
    const Basis fine = ReduceBasis(a.shift, b.shift);

    // The block holds the strongest candidate, the likeliest repeat, whole.
    std::vector<std::size_t> strongest(coarse.candidates.size());
    for (std::size_t k = 0; k < strongest.size(); ++k) strongest[k] = k;
    std::sort(strongest.begin(), strongest.end(),
              [&](std::size_t u, std::size_t v) { return coarse.scores[u] > coarse.scores[v]; });
    if (strongest.size() > kReferenceCandidates) strongest.resize(kReferenceCandidates);
    cv::Size block(kMatchBlockSide, kMatchBlockSide);
    if (!strongest.empty()) {
        const cv::Point2d top = coarse.candidates[strongest.front()];
        block.width = std::clamp(static_cast<int>(std::abs(top.x)) + 16, kMatchBlockSide, kLargestExactBlock);
        block.height = std::clamp(static_cast<int>(std::abs(top.y)) + 16, kMatchBlockSide, kLargestExactBlock);
    }
    if (largest) block = {kLargestExactBlock, kLargestExactBlock};
    const ShiftMatch exact(image, area, 1.0, block);
    // Most of the shifts measured are the candidates and the first few
    // multiples of the vectors.
    double longest = kExpectedMultiples * std::max(cv::norm(fine.a), cv::norm(fine.b));
    for (const std::size_t k : strongest) longest = std::max(longest, cv::norm(coarse.candidates[k]));
    exact.Expect(longest);
    // The multiples of a lattice whose vectors only lean off whole pixels
    // are measured at whole pixels, where they lie.
    LatticeProbe probe(exact, OnWholePixels(exact, a) && OnWholePixels(exact, b) ? Basis{Whole(fine.a), Whole(fine.b)}
                                                                                 : fine);

    // The reference: the basis and the candidates the copy agrees with most.
    double best = std::max(probe.At(1, 0).similarity, probe.At(0, 1).similarity);
    for (const std::size_t k : strongest) {
        const cv::Point at = probe.Coordinates(coarse.candidates[k]);
        if (at != cv::Point()) best = std::max(best, probe.At(at.x, at.y).similarity);
    }
    if (!(best >= kMinConfidence)) return std::nullopt;
    const ShiftMatch::Noise noise = exact.MeasureNoise();
    // What a true period can reach given the sensor noise; a best candidate
    // far below it is a near-repeat of something that does not repeat. (Fine
    // texture counts as noise here, which only makes this lenient.)
    if (best < 1.0 - noise.white - kRepeatMargin) return std::nullopt;
    // JPEG's errors repeat with the image where a shift is a whole number of
    // its 8-pixel blocks, so there a multiple agrees better than the period:
    // in a blocky image, agreement found only on the grid is the codec's.
    // The image is taken for JPEG when its steps sit on the grid, or when
    // every shift on the grid agrees better than any shift off it.
    const LatticeProbe::ByGrid grid = probe.SplitByGrid();
    const double offGrid = grid.bestOff;
    // JPEG too fine to be recognised: the shifts on its block grid repeat the
    // image bit for bit, codec errors and all, while the best shift off the
    // grid falls a little short, by a level or two over much of the image (a
    // near-repeat changes few pixels by a lot, a grain most by several). A
    // file known to be a JPEG needs no bit-exact grid to be asked.
    bool compressed = noise.compressed;
    if (!compressed && image.depth() == CV_8U && grid.leastOn <= 1.0 &&
        (jpeg || grid.leastOn >= 1.0 - kBitExactLack) && grid.bestOff >= best - kCodecAllowance &&
        grid.bestOff < best - kBaseMargin) {
        const cv::Point off(static_cast<int>(std::lround(grid.bestOffShift.x)),
                            static_cast<int>(std::lround(grid.bestOffShift.y)));
        const Differences differences = DifferencesAt(image, area, off, true);
        compressed = CodecLike(differences, jpeg ? kJpegCodecLevels : kCodecLevels);
    }
    const bool blocky = compressed && (noise.blocks >= kBlocky ||
                                       (grid.leastOn <= 1.0 && grid.leastOn > offGrid + kBaseMargin));
    const double reference = blocky && offGrid > 0.0 && best - offGrid > kBaseMargin ? offGrid : best;
    const double threshold = reference - kBaseMargin - kBlockMargin * noise.blocks -
                             kNoiseMargin * (1.0 - reference);
    // Where the image has colour, a period holds in its colour too, against
    // the colour's own reference: a copy recoloured at the same luminance is
    // a near-repeat. JPEG's colour is coarser than its luminance and its
    // errors repeat on a grid of its own, so only colour that agrees with
    // itself almost perfectly somewhere (lossless colour) decides; never a
    // file known to be a JPEG, whose colour at high quality agrees best on
    // that grid while its luminance shows too little of the codec.
    const bool lossy = compressed || jpeg;
    std::optional<ShiftMatch> chroma;
    double chromaThreshold = -1.0;
    if ((image.channels() == 3 || image.channels() == 4) && !lossy) {
        chroma.emplace(image, area, 1.0, block, true);
        // Colour is measured mostly at the vectors themselves (below).
        chroma->Expect(std::max(cv::norm(fine.a), cv::norm(fine.b)) + 2);
        probe.CompareColour(&*chroma);
        // The vectors' doubles too: where colour alone tells a near-repeat
        // from the tile, the copy proposes the near-repeat's lattice. Each
        // shift costs its own block of colour gradients, so the search stops
        // at a shift that no other could beat by more than a hair.
        std::vector<cv::Point> shifts = {{1, 0}, {0, 1}, {2, 0}, {0, 2}};
        for (const std::size_t k : strongest) {
            const cv::Point at = probe.Coordinates(coarse.candidates[k]);
            if (at != cv::Point()) shifts.push_back(at);
        }
        double chromaBest = -1.0;
        for (const cv::Point at : shifts) {
            if (chromaBest >= kWholeColourAgreement) break;
            chromaBest = std::max(chromaBest, probe.Chroma(at.x, at.y));
        }
        if (chromaBest >= kLeastColourAgreement) {
            chromaThreshold = chromaBest - kColourMargin - kNoiseMargin * (1.0 - chromaBest);
        } else {
            probe.CompareColour(nullptr);
        }
    }
    const auto holdsInColour = [&](cv::Point2d shift) {
        return chromaThreshold < 0.0 || chroma->Refine(shift, 0).similarity >= chromaThreshold;
    };
    // Between pixels the interpolation falls short of the peak by about
    // what it gained over the whole shift.
    const auto credited = [](const ShiftMatch::Peak& peak) {
        return peak.similarity + (OnWholePixels(peak) ? 0.0 : std::max(0.0, peak.similarity - peak.whole));
    };
    const auto holds = [&](int i, int j) {
        return credited(probe.At(i, j)) >= threshold &&
               (chromaThreshold < 0.0 || probe.Chroma(i, j) >= chromaThreshold);
    };

    // The period lattice in the coarse lattice's coordinates: the shortest
    // multiple of one vector that holds, then the first row of the other
    // that holds a period. Of a pattern narrower than the frame, a long
    // vector's blocks may reach into the ground beside it where its sums
    // with the other vector stay inside: then the other vector is tried
    // first, with a row's points on either side too.
    const auto periods = [&](bool otherFirst) -> std::optional<std::pair<cv::Point, cv::Point>> {
        const auto point = [&](int i, int j) {
            return otherFirst ? cv::Point(j, i) : cv::Point(i, j);
        };
        const auto at = [&](int i, int j) -> const ShiftMatch::Peak& {
            const cv::Point p = point(i, j);
            return probe.At(p.x, p.y);
        };
        const auto holdsAt = [&](int i, int j) {
            const cv::Point p = point(i, j);
            return holds(p.x, p.y);
        };
        int across = 0;
        for (int k = 1; probe.Checks() < kMaxChecks; ++k) {
            if (at(k, 0).similarity < 0.0) break;  // beyond the area
            if (holdsAt(k, 0)) {
                across = k;
                break;
            }
        }
        if (across == 0) return std::nullopt;
        for (int j = 1; probe.Checks() < kMaxChecks; ++j) {
            bool inside = false;
            for (int i = 0; i < across && probe.Checks() < kMaxChecks; ++i) {
                // Of i and i - across, the nearer to the other vector's direction first.
                const int nearer = std::abs(i) <= std::abs(i - across) ? i : i - across;
                for (const int k : {nearer, nearer - across, nearer + across}) {
                    if (k != nearer && !otherFirst) break;
                    if (at(k, j).similarity >= 0.0) inside = true;
                    if (holdsAt(k, j)) return std::make_pair(point(across, 0), point(k, j));
                }
            }
            if (!inside) break;
        }
        return std::nullopt;
    };
    std::optional<std::pair<cv::Point, cv::Point>> found = periods(false);
    if (!found) found = periods(true);
    if (!found) {
        // A tile of many motifs lies beyond the rows searched above, where
        // the copy proposed the motif's lattice; its own strongest
        // candidates that hold span the tile's lattice. In a JPEG, shifts on
        // the block grid agree through the codec's errors too.
        std::vector<cv::Point> held;
        for (const std::size_t k : strongest) {
            const cv::Point at = probe.Coordinates(coarse.candidates[k]);
            if (at == cv::Point() || (lossy && OnGrid(probe.At(at.x, at.y).shift))) continue;
            if (holds(at.x, at.y)) held.push_back(at);
        }
        std::stable_sort(held.begin(), held.end(), [&](cv::Point u, cv::Point v) {
            return cv::norm(probe.At(u.x, u.y).shift) < cv::norm(probe.At(v.x, v.y).shift);
        });
        for (std::size_t k = 1; k < held.size() && !found; ++k) {
            if (held.front().cross(held[k]) != 0) found = std::make_pair(held.front(), held[k]);
        }
    }
    std::optional<Basis> spanned;
    if (!found && !lossy && best >= 1.0 - kBitExactLack) {
        // Lossless data that a candidate repeats bit for bit: the points of
        // the measured lattice that do span the tile, wherever they lie,
        // judged at whole shifts (a near-repeat's peak may lean off them).
        const auto whole = [](ShiftMatch::Peak peak) {
            peak.shift = Whole(peak.shift);
            peak.similarity = peak.whole;
            return peak;
        };
        spanned = ExactSublattice(image, exact, area, whole(probe.At(1, 0)), whole(probe.At(0, 1)),
                                  compressed, jpeg);
    }
    if (!found && !spanned) return std::nullopt;
    // (The tile's points measured at their whole shifts: the measured
    // lattice's vectors may lean off them.)
    ShiftMatch::Peak first =
        spanned ? exact.Refine(spanned->a, 0) : probe.At(found->first.x, found->first.y);
    ShiftMatch::Peak other =
        spanned ? exact.Refine(spanned->b, 0) : probe.At(found->second.x, found->second.y);
    if (std::abs(first.shift.cross(other.shift)) < 1.0) return std::nullopt;
    // Once a part off the grid has held with the codec's allowance, it is
    // the reference for finer parts: the shifts on the grid that set the
    // threshold agreed through the codec's errors.
    double floor = threshold;
    // A period finer than the reduced copy showed: a half or a third of the
    // cell that holds as well as the cell does. (Short shifts of smooth
    // content agree fairly well without being periods, so the noise's
    // allowance does not apply here.)
    for (int step = 0, refined = 1; refined && step < kMaxSubdivisions; ++step) {
        refined = 0;
        const double cell = std::min(first.similarity, other.similarity);
        // A cell on the block grid of a JPEG agrees with itself through the
        // codec's errors too: its parts off the grid are allowed those.
        const bool onGrid = OnGrid(first.shift) && OnGrid(other.shift);
        const double codec = blocky && onGrid ? kCodecMargin * noise.blocks : 0.0;
        const double part = cell - kBaseMargin - kPartMargin * (1.0 - cell);
        // A cell that repeats the image bit for bit has parts that do too
        // where they are periods; a part that only comes near lies on a
        // ridge of a layout that varies little along it (rows of a weave).
        const bool exactCell = !compressed && RepeatsExactly(first) && RepeatsExactly(other);
        // Half, a quarter and an eighth of a part beyond it: one of them is
        // no multiple of a finer period that the part may be a multiple of.
        // A part that repeats the image bit for bit is a period anyway.
        const auto onRidge = [&](const ShiftMatch::Peak& p) {
            if (!compressed && RepeatsExactly(p)) return false;
            const double fall = kRidgeDrop + kRidgeNoise * (1.0 - p.similarity);
            for (const double on : {1.5, 1.25, 1.125}) {
                if (p.similarity - exact.Refine(on * p.shift, 0).similarity >= fall) return false;
            }
            return true;
        };
        for (const auto& [shift, partner] : Subdivisions(ReduceBasis(first.shift, other.shift))) {
            if (cv::norm(shift) < kMinPeriod) continue;
            // A part on the grid shares the cell's codec errors: it has no
            // allowance for them, or the block itself passes for a period.
            const double least = codec > 0.0 && !OnGrid(shift) ? std::max(kMinConfidence, part - codec)
                                                               : std::max(floor, part);
            const ShiftMatch::Peak part = exact.Refine(shift, 1);
            if (exactCell && !RepeatsExactly(part)) continue;
            if (part.similarity >= least && std::abs(part.shift.cross(partner)) >= 1.0 &&
                holdsInColour(part.shift) && !onRidge(part)) {
                if (codec > 0.0 && !OnGrid(shift)) {
                    floor = std::min(floor, part.similarity - kBaseMargin - kBlockMargin * noise.blocks -
                                                kNoiseMargin * (1.0 - part.similarity));
                }
                first = part;
                other = exact.Refine(partner, 1);
                refined = 1;
                break;
            }
        }
    }
    // The search above stops at the first shift that holds, which may be a
    // motif's near-repeat. On whole-pixel data the shorter points of its
    // lattice are measured too (those that fit twice across the area), and
    // the finest sublattice of points that agree measurably better than the
    // noise explains is the tile's. Noisy and resampled data, where such
    // points agree alike or by chance, keep the finer lattice.
    {
        std::optional<Basis> tile =
            ExactSublattice(image, exact, area, first, other, compressed, jpeg);
        // The cell found may be coarser than the near-repeat's and miss the
        // tile (a column of marked motifs every few rows, half-brick; a
        // twill's tile a fifth of it). Where a candidate repeats lossless
        // data bit for bit and the cell does not, the points of the finest
        // lattice measured are searched too, and the finer tile wins.
        const double exactest = std::max({best, first.whole, other.whole});
        if (!lossy && CellArea(Basis{first.shift, other.shift}) > CellArea(fine) + 0.5 &&
            exactest >= 1.0 - kBitExactLack &&
            std::min(first.whole, other.whole) < 1.0 - kBitExactLack) {
            const std::optional<Basis> finer = ExactSublattice(image, exact, area, probe.At(1, 0),
                                                               probe.At(0, 1), compressed, jpeg);
            if (finer && (!tile || CellArea(*finer) < CellArea(*tile) - 0.5)) tile = finer;
        }
        if (tile && holdsInColour(tile->a) && holdsInColour(tile->b)) {
            first = exact.Refine(tile->a, 0);
            other = exact.Refine(tile->b, 0);
        } else {
            const double lack = 1.0 - std::min(first.similarity, other.similarity);
            if (!compressed && OnWholePixels(first) && OnWholePixels(other) && lack > kNearOnlyLack &&
                lack > kNearOnlyNoise * noise.white) {
                return std::nullopt;
            }
        }
    }
    // A lattice short of full agreement may be a near-repeat of a coarser
    // one that the copy never proposed (graph paper's cells, every tenth
    // line heavier; an art texture's motif):
    // multiples along both vectors that agree better than the noise lets
    // the vectors fall short of them are the tile's sides.
    if (std::min(first.similarity, other.similarity) < kCoarserBelow) {
        std::vector<ShiftMatch::Peak> along[2];
        double coarse = 1.0;
        for (int side = 0; side < 2; ++side) {
            const ShiftMatch::Peak& v = side == 0 ? first : other;
            along[side].push_back(v);
            double most = credited(v);
            for (int k = 2; k <= kMostCoarserMultiple && 2.0 * k * std::abs(v.shift.x) <= area.width &&
                            2.0 * k * std::abs(v.shift.y) <= area.height;
                 ++k) {
                // In a blocky JPEG a multiple on the grid agrees through the
                // codec's errors too.
                if (blocky && OnGrid(k * v.shift)) continue;
                along[side].push_back(exact.Refine(k * v.shift, 1));
                most = std::max(most, credited(along[side].back()));
            }
            coarse = std::min(coarse, most);
        }
        const double least = coarse - kBaseMargin - kBlockMargin * noise.blocks - kNoiseMargin * (1.0 - coarse);
        if (credited(first) < least || credited(other) < least) {
            for (int side = 0; side < 2; ++side) {
                for (const ShiftMatch::Peak& p : along[side]) {
                    if (credited(p) >= least) {
                        (side == 0 ? first : other) = p;
                        break;
                    }
                }
            }
        }
    }
    const double confidence = std::min(first.similarity, other.similarity);
    if (!(confidence >= kMinConfidence)) return std::nullopt;
    // Over the whole frame (a pattern in part of it meets its ground), a
    // vector exact in the block must repeat the frame exactly too. Where it
    // does not, the tile is larger than the block: the lattice is judged
    // again on the largest block, whose vectors must repeat the frame.
    if (!compressed && area == cv::Rect({}, image.size())) {
        const bool bothExact = std::min(first.whole, other.whole) >= 1.0 - kBitExactLack;
        // (A JPEG's shifts on its block grid repeat the codec's errors bit
        // for bit wherever its content repeats.)
        const bool grows = !jpeg && !largest &&
                           (block.width < std::min(area.width, kLargestExactBlock) ||
                            block.height < std::min(area.height, kLargestExactBlock));
        bool few = false;
        for (const ShiftMatch::Peak* peak : {&first, &other}) {
            if (!largest && !(peak->whole >= 1.0 - kBitExactLack)) continue;
            const double share = DifferencesAt(image, area, cv::Point(Whole(peak->shift))).share;
            if (share > kOddPixelShare) {
                if (grows) return ExactLattice(image, area, coarse, jpeg, true);
                if (bothExact || largest) return std::nullopt;
            }
            few = few || share > kFewPixelShare;
        }
        // Fewer changed samples than odd pixels may still be a small motif
        // changed where the block did not look: a lattice judged on the
        // largest block that repeats the frame more exactly replaces this.
        if (few && grows) {
            const std::optional<Verified> larger = ExactLattice(image, area, coarse, jpeg, true);
            if (larger && RepeatsArea(image, area, larger->basis, kFewPixelShare)) return larger;
        }
    }
    // The lattice itself must come as near, JPEG's blocks allowed for: one
    // tile of a dither, whose cells recur everywhere but each a little
    // changed, has a candidate that agrees well and a lattice that does not.
    if (confidence < 1.0 - noise.white - kRepeatMargin - noise.blocks) return std::nullopt;
    // The interpolation leans a little off a whole-pixel period; where the
    // whole shift agrees as well, it is the period, and so is a whole shift
    // that repeats the block bit for bit, however its neighbours lean.
    for (ShiftMatch::Peak* peak : {&first, &other}) {
        if (OnWholePixels(*peak) || peak->whole >= 1.0 - kBitExactLack) {
            peak->shift = cv::Point2d(std::round(peak->shift.x), std::round(peak->shift.y));
        }
    }
    Verified verified{ReduceBasis(first.shift, other.shift), std::min(confidence, 1.0)};
    const double margin = std::max(reference - threshold, kBaseMargin);
    verified.close = probe.Closest(threshold) < kCloseShare * margin ||
                     reference - verified.confidence > kOwnCloseShare * margin;
    verified.onCodecGrid = compressed && OnGrid(verified.basis.a) && OnGrid(verified.basis.b);
    verified.wholeLack = 1.0 - std::min(first.whole, other.whole);
    verified.bitExact = !compressed && !(OnGrid(verified.basis.a) && OnGrid(verified.basis.b)) &&
                        IsWhole(first.shift) && IsWhole(other.shift) &&
                        std::min(first.whole, other.whole) >= 1.0 - kBitExactLack;
    return verified;
}

// Whether a weak lattice is a near-repeat of a few copies: its agreement
// fades at multiples of a vector, and small blocks about the region, each
// free to find its own shift, agree little better than the whole.
bool FadesAway(const cv::Mat& image, cv::Rect region, const Basis& basis) {
    const ShiftMatch match(image, region, 1.0);
    bool fades = false;
    for (const cv::Point2d v : {basis.a, basis.b}) {
        const double once = match.Refine(v, 1).similarity;
        // The farthest multiple that fits in the region.
        double far = match.Refine(3 * v, 1).similarity;
        if (far < 0.0) far = match.Refine(2 * v, 1).similarity;
        if (once > 0.0 && far >= 0.0 && far < kFadedShare * once) fades = true;
    }
    if (!fades) return false;
    const double longer = std::max(cv::norm(basis.a), cv::norm(basis.b));
    const int side = std::max(32, static_cast<int>(longer));
    const int reach = static_cast<int>(longer + side / 2.0) + 2;
    std::vector<double> local;
    for (const double fy : {0.25, 0.5, 0.75}) {
        for (const double fx : {0.25, 0.5, 0.75}) {
            const cv::Point centre(region.x + static_cast<int>(fx * region.width),
                                   region.y + static_cast<int>(fy * region.height));
            const cv::Rect area =
                cv::Rect(centre.x - reach, centre.y - reach, 2 * reach, 2 * reach) & region;
            const ShiftMatch block(image, area, 1.0, {side, side});
            double least = 2.0;
            for (const cv::Point2d v : {basis.a, basis.b}) {
                const double s = block.Refine(v, static_cast<int>(std::ceil(0.06 * cv::norm(v))) + 1).similarity;
                if (s >= -0.5) least = std::min(least, s);
            }
            if (least <= 1.0) local.push_back(least);
        }
    }
    if (local.empty()) return false;
    std::nth_element(local.begin(), local.begin() + local.size() / 2, local.end());
    return local[local.size() / 2] < kLocalAgreement;
}

struct Found {
    Verified verified;
    cv::Rect region;
    cv::Mat copy;  // the whole input reduced
    double scale;  // of the copy
    bool inWindow = false;  // found in a window of the copy, not the whole
};

// Whole-image search first. Where the pattern holds in part of the frame
// only, that part is searched again, so that the rest does not dilute its
// agreement; a period too fine for its copy, or one that does not hold at
// full resolution, sends the search to the middle of that part at full
// resolution.
std::optional<Found> FindLattice(const cv::Mat& image, bool jpeg) {
    const cv::Rect whole({}, image.size());
    const double wholeScale = ScaleFor(image.size());
    const cv::Mat wholeCopy = GreyWorkingCopy(image, whole, wholeScale);
    double scale = wholeScale;
    std::optional<Coarse> coarse;
    cv::Rect region = whole;
    // `region` less a rim of the ground beside the pattern.
    cv::Rect core = whole;
    // Where the lattice of `found` holds, over the whole frame (a window's
    // lattice finds all of its pattern), and the lattice searched again there.
    const auto locate = [&](std::optional<Coarse> found) {
        coarse = std::move(found);
        scale = wholeScale;
        region = core = whole;
        if (!coarse) return;
        const HeldRegion held = HeldIn(wholeCopy, whole, coarse->copyBasis);
        region = held.box.empty() ? coarse->region : held.box;
        core = held.box.empty() ? region : held.core;
        if (region.area() < kPartOfFrame * whole.area()) {
            const double regionScale = ScaleFor(region.size());
            if (std::optional<Coarse> inRegion = SearchRegion(image, region, regionScale)) {
                coarse = std::move(inRegion);
                scale = regionScale;
            }
        }
    };
    // The lattice checked over the region and, where that fails, over its
    // core: blocks compared at the rim pair the pattern with the ground
    // beside it.
    const auto check = [&]() -> std::optional<Verified> {
        if (!coarse) return std::nullopt;
        std::optional<Verified> held = ExactLattice(image, region, *coarse, jpeg);
        if (!held && core != region) held = ExactLattice(image, core, *coarse, jpeg);
        // A lattice that repeats a part of a lossless frame bit for bit may
        // be a motif's near-repeat, the part lying between its odd motifs;
        // a tile that repeats the whole frame bit for bit is the repeat.
        if (held && region != whole && !jpeg && held->wholeLack <= kBitExactLack) {
            const std::optional<Verified> all = ExactLattice(image, whole, *coarse, jpeg);
            if (all && all->wholeLack <= kBitExactLack &&
                RepeatsArea(image, whole, all->basis, kOddPixelShare)) {
                region = core = whole;
                return all;
            }
        }
        return held;
    };
    locate(SearchCopy(wholeCopy, whole));
    const bool wholeFound = coarse.has_value();
    std::optional<Verified> verified = check();
    const bool tooFine = coarse && cv::norm(coarse->basis.a) * scale < kFinePeriod;
    // A lattice found at full resolution in the square `centre`, verified
    // where it holds over the frame; taken when it holds.
    const auto takeFine = [&](const Coarse& fine, cv::Rect centre) {
        // The fine period's region over the whole frame, on the reduced
        // copy, where multiples of its vectors stay periods long enough to
        // measure.
        const auto longEnough = [&](cv::Point2d v) {
            const double length = cv::norm(v) * wholeScale;
            return v * wholeScale * std::ceil(kLeastRegionShift / std::max(length, 1e-3));
        };
        const HeldRegion held =
            HeldIn(wholeCopy, whole, {longEnough(fine.basis.a), longEnough(fine.basis.b)});
        cv::Rect area = held.box.empty() ? whole : held.box;
        std::optional<Verified> fineVerified = ExactLattice(image, area, fine, jpeg);
        const cv::Point middle = centre.tl() + cv::Point(centre.width / 2, centre.height / 2);
        if (!fineVerified && !verified && !area.contains(middle)) {
            // The copy averaged the fine period away and placed its region
            // elsewhere; the square it was found in holds it.
            area = centre;
            fineVerified = ExactLattice(image, area, fine, jpeg);
        }
        if (!fineVerified) return false;
        // A finer lattice found in a part of a frame that the lattice held
        // repeats bit for bit, and broken elsewhere unlike a codec, is a
        // near-repeat of its motifs that the part did not show.
        if (verified && !jpeg && verified->wholeLack <= kBitExactLack) {
            for (const cv::Point2d v : {fineVerified->basis.a, fineVerified->basis.b}) {
                const Differences d = DifferencesAt(image, region, cv::Point(Whole(v)), true);
                if (d.share > kOddPixelShare && !CodecLike(d, kCodecLevels)) return false;
            }
        }
        // A finer lattice that agrees clearly worse than the one that held
        // is a motif's near-repeat inside its tile, not detail the copy lost.
        if (verified && fineVerified->confidence < verified->confidence - kBaseMargin -
                                                       kNoiseMargin * (1.0 - verified->confidence)) {
            return false;
        }
        // One whose vectors are multiples of the lattice that held, and that
        // agrees no better, is that lattice times JPEG's block grid.
        if (verified && CellArea(fineVerified->basis) > CellArea(verified->basis) + 0.5 &&
            OnLattice(verified->basis, fineVerified->basis.a, 0.1) &&
            OnLattice(verified->basis, fineVerified->basis.b, 0.1) &&
            !(fineVerified->confidence > verified->confidence + kBaseMargin)) {
            return false;
        }
        verified = fineVerified;
        region = area;
        return true;
    };
    const auto longestOf = [](const Coarse& c) {
        return std::max(cv::norm(c.basis.a), cv::norm(c.basis.b));
    };
    // The centre of `around` searched again at `squareScale` (full
    // resolution unless said), over a square of `side`; a lattice longer
    // than `longest` is not taken.
    const auto searchCentre = [&](cv::Rect around, int side, double longest, double squareScale = 1.0) {
        const cv::Rect centre = CentralRect(around.size(), {side, side}) + around.tl();
        const std::optional<Coarse> fine = SearchRegion(image, centre, squareScale);
        return fine && longestOf(*fine) <= longest && takeFine(*fine, centre);
    };
    if (scale < 1.0 && verified && tooFine) {
        // A period that held, only too fine for the copy, needs a few of its
        // cells, not the whole working side: the map's cost grows with the
        // square of the side.
        const double longer = longestOf(*coarse);
        const int side = std::clamp(static_cast<int>(std::ceil(kFineCells * longer)), kFineSide, kWorkingSide);
        searchCentre(region, side, kWorkingSide);
    } else if (scale < 1.0 && !verified) {
        // A lattice that failed says little about where the pattern is. A
        // small square finds a fine period at a quarter of the cost; one
        // with too few cells there is looked for on the larger square, at
        // half resolution in a large image: its map then costs a quarter,
        // and a tile too long for the small square keeps 16 pixels there.
        const double largerScale = wholeScale <= kHalvedSquareScale ? 0.5 : 1.0;
        searchCentre(whole, kFineSide, kFineSide / kFineCells) ||
            searchCentre(whole, kWorkingSide, kWorkingSide, largerScale);
    }
    if (!verified && !wholeFound) {
        // A pattern over part of the frame, away from its middle, whose
        // peaks the rest of the frame drowned.
        locate(SearchWindows(wholeCopy, whole));
        verified = check();
        if (verified) return Found{*verified, region, wholeCopy, wholeScale, true};
        // A pattern too fine for the copy (its windows included) and away
        // from the middle, which was searched above: squares at full
        // resolution about the other windows' middles, the strongest lattice
        // first.
        std::vector<std::pair<Coarse, cv::Rect>> squares;
        for (int row = 1; wholeScale < 1.0 && row <= 3; ++row) {
            for (int column = 1; column <= 3; ++column) {
                if (row == 2 && column == 2) continue;
                const cv::Rect around(column * whole.width / 4 - kOffMiddleSide / 2,
                                      row * whole.height / 4 - kOffMiddleSide / 2, kOffMiddleSide,
                                      kOffMiddleSide);
                const cv::Rect square = around & whole;
                std::optional<Coarse> fine = SearchRegion(image, square, 1.0);
                if (fine && longestOf(*fine) <= kOffMiddleSide / kSquareCells) {
                    squares.emplace_back(std::move(*fine), square);
                }
            }
        }
        std::stable_sort(squares.begin(), squares.end(), [](const auto& u, const auto& v) {
            return u.first.strength > v.first.strength;
        });
        for (const auto& [fine, square] : squares) {
            if (takeFine(fine, square)) return Found{*verified, region, wholeCopy, wholeScale, true};
        }
    }
    if (!verified) return std::nullopt;
    return Found{*verified, region, wholeCopy, wholeScale};
}

// How far a straight lattice is turned, in radians: the vector nearer the x
// axis and the one nearer the y axis both turn by it, the longer one telling
// it more precisely.
double TurnOf(const Basis& basis) {
    cv::Point2d across = basis.a, down = basis.b;
    if (std::abs(across.x) < std::abs(down.x)) std::swap(across, down);
    if (across.x < 0.0) across = -across;
    if (down.y < 0.0) down = -down;
    const double length = cv::norm(across) + cv::norm(down);
    return length > 0.0 ? std::asin(std::clamp((across.y - down.x) / length, -1.0, 1.0)) : 0.0;
}

// The turn of `basis`, read where it shows most: at the farthest multiples
// of its vectors that leave half of `area` to compare, up to two blocks'
// sides. A short vector's lean off whole pixels is read short by the
// parabola, or not at all where it was snapped to whole pixels, and a
// mirror's axis, turned across a whole block, needs the turn to a few
// hundredths of a pixel there.
double MeasuredTurn(const ShiftMatch& exact, cv::Rect area, const Basis& basis) {
    const double room = std::min(0.5 * std::min(area.width, area.height), 2.0 * kMatchBlockSide);
    const auto farthest = [&](cv::Point2d v) {
        const double multiple = std::max(1.0, std::floor(room / std::max(1.0, cv::norm(v))));
        const ShiftMatch::Peak peak = exact.Refine(multiple * v, 1);
        return peak.similarity > 0.0 ? peak.shift : multiple * v;
    };
    return TurnOf({farthest(basis.a), farthest(basis.b)});
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

Lattice EstimateLattice(const cv::Mat& image, Storage storage) {
    CV_Assert(!image.empty());
    const std::optional<Found> found = FindLattice(image, storage == Storage::Jpeg);
    if (!found) return {};
    const Verified* verified = &found->verified;
    const cv::Rect region = found->region;
    const DesignerTile tile = TileOf(verified->basis);
    // Fewer than two whole repeats across or down is no evidence of a repeat.
    // A half-drop lattice is a half-brick one of twice the width and half the
    // height, and the other way round: one that repeats the data bit for bit
    // repeats in whichever tile fits. (One tile of a weave holds near-repeats
    // of that shape too.)
    const auto twice = [&](double width, double height) {
        return 2.0 * width <= region.width + 1.0 && 2.0 * height <= region.height + 1.0;
    };
    const bool exact = verified->wholeLack <= kBitExactLack;
    if (!twice(tile.width, tile.height) &&
        !(exact && tile.match == MatchType::HalfDrop &&
          twice(2.0 * tile.width, tile.height / 2.0)) &&
        !(exact && tile.match == MatchType::HalfBrick &&
          twice(tile.width / 2.0, 2.0 * tile.height))) {
        return {};
    }
    if (verified->confidence < kWeakAgreement && FadesAway(image, region, verified->basis)) return {};

    Lattice lattice;
    lattice.found = true;
    lattice.vectorA = verified->basis.a;
    lattice.vectorB = verified->basis.b;
    lattice.width = tile.width;
    lattice.height = tile.height;
    lattice.match = tile.match;
    lattice.origin = cv::Point2d(region.x + std::floor((region.width - tile.width) / 2.0),
                                 region.y + std::floor((region.height - tile.height) / 2.0));
    // The agreement, discounted for what the harness found to go with wrong
    // answers (docs/tile-estimation.md has the calibration).
    const bool few = region.width < kFewRepeats * tile.width || region.height < kFewRepeats * tile.height;
    const bool part = region.area() < kPartOfFrame * image.cols * image.rows;
    lattice.confidence = verified->confidence * (verified->close ? kCloseFactor : 1.0) *
                         (verified->onCodecGrid ? kCodecGridFactor : 1.0) *
                         (few ? kFewFactor : 1.0) * (part ? kPartFactor : 1.0) *
                         (found->inWindow ? kWindowFactor : 1.0);
    lattice.region = region;
    if (tile.match == MatchType::Straight) {
        // Units mirrored across columns or rows: the unit starts on an axis.
        const ShiftMatch climb(image, region, std::max(1.0, 0.5 / found->scale));
        const ShiftMatch exact(image, region, 1.0);
        // A mirror image agrees with the image as well as a period does: a
        // motif that is nearly symmetric is not a mirrored unit.
        // Where the periods repeat the image bit for bit, so does a mirror.
        const double least = verified->bitExact ? 1.0 - kBitExactLack
                                                : verified->confidence - kMirrorMargin -
                                                      kNoiseMargin * (1.0 - verified->confidence);
        // Whether an axis that holds falls short of the periods' agreement.
        bool doubtful = false;
        // A lattice of whole pixels puts its axes on whole or half pixels,
        // square to the image; a turned or resampled one need not.
        const bool resampled = !IsWhole(verified->basis.a) || !IsWhole(verified->basis.b);
        const bool wholeNoise = !resampled && !(OnGrid(verified->basis.a) && OnGrid(verified->basis.b));
        std::optional<double> turn;  // measured only for a mirror read between pixels
        const auto axis = [&](bool across) {
            const double period = across ? tile.width : tile.height;
            const double margin = verified->confidence - least;
            double measured = -1.0;
            std::optional<double> at =
                MirrorAxis(found->copy, found->scale, region, climb, exact, across, period, least, &measured);
            if (!at && resampled) {
                // Read between pixels, nearly symmetric motifs gain as much
                // as mirrored units do: such a reading stands only where it
                // agrees as well as the periods.
                double between = -1.0, raised = 0.0;
                if (!turn) turn = MeasuredTurn(exact, region, verified->basis);
                const std::optional<double> again = MirrorAxis(found->copy, found->scale, region, climb, exact,
                                                               across, period, least, &between, *turn, true, &raised);
                const double rise = std::abs(*turn) * kMatchBlockSide < 0.5 ? kMirrorRiseShare * raised : 0.0;
                if (again && verified->confidence - between <= kMirrorShortShare * margin + rise) {
                    at = again;
                    measured = between;
                }
            }
            if (at && !verified->bitExact && verified->confidence - measured > kMirrorShortShare * margin) {
                // Either way the call was close.
                doubtful = true;
                if (wholeNoise && 1.0 - measured > kMirrorNoiseRatio * verified->wholeLack) at.reset();
            }
            if (at && !verified->bitExact) {
                const cv::Point2d half = across ? cv::Point2d(period / 2, 0) : cv::Point2d(0, period / 2);
                const double off = exact.Refine(half, 0).whole;
                if (verified->confidence - measured > kMirrorContrastShare * (verified->confidence - off) ||
                    measured - off < margin) {
                    at.reset();
                }
            }
            return at;
        };
        const std::optional<double> column = axis(true);
        const std::optional<double> row = axis(false);
        if (doubtful) lattice.confidence *= kMirrorDoubtFactor;
        // Axes run through pixel centres; the origin is a corner, half a
        // pixel before the centre.
        const auto onAxis = [](double origin, double axis, double unit) {
            const double edge = axis + 0.5;
            return edge + std::ceil((origin - edge) / unit) * unit;
        };
        if (column) lattice.origin.x = onAxis(lattice.origin.x, *column, tile.width / 2);
        if (row) lattice.origin.y = onAxis(lattice.origin.y, *row, tile.height / 2);
        lattice.mirror = column && row ? Mirror::Both
                         : column      ? Mirror::Horizontal
                         : row         ? Mirror::Vertical
                                       : Mirror::None;
    }
    return lattice;
}

}  // namespace zentrel::lattice
