#include "lattice_choice.h"

#include <algorithm>
#include <cmath>
#include <utility>
#include <vector>

namespace zentrel::lattice {

namespace {

// Below this score a peak is chance agreement of unrelated content.
constexpr double kMinPeakScore = 0.25;
// A shorter shift scoring at least this share of the best peak wins over it.
// Noise, blur and JPEG lower every period's score by the same factor, so the
// share holds where a fixed margin would not.
constexpr double kShareOfBest = 0.85;
constexpr int kMaxSubdivisions = 8;
// The peaks this close to the best are periods whatever else is; the lattice
// must contain them.
constexpr double kShareOfTop = 0.95;
constexpr std::size_t kTopCount = 8;
// The shortest strong shifts tried as the first vector; a lattice is found
// among the first few or the map is noise.
constexpr std::size_t kMaxTries = 12;
// Across the first vector, a peak this far below the best is chance.
constexpr double kLeastPartnerShare = 0.5;

// Vectors in the lattice's direction, or so close to it that they are the
// same period measured twice.
bool Parallel(cv::Point2d u, cv::Point2d v) { return std::abs(u.cross(v)) < 1.5 * cv::norm(u); }

// A map that agrees with half a vector and with one and a half of it about as
// well as with the vector agrees with the whole line: stripes, periodic
// across only.
bool OnRidge(const SelfSimilarityMap& map, cv::Point2d v) {
    const double level = kShareOfBest * map.At(v);
    return map.At(v / 2) >= level && map.At(v * 1.5) >= level;
}

// A shift within a pixel, or 3 % of its length, of a point of the lattice.
bool OnLattice(cv::Point2d v, const Basis& basis) {
    const double area = basis.a.cross(basis.b);
    const double i = std::round(v.cross(basis.b) / area);
    const double j = std::round(basis.a.cross(v) / area);
    return cv::norm(v - i * basis.a - j * basis.b) <= std::max(1.0, 0.03 * cv::norm(v));
}

// `basis` with every half or third of its cell that scores at least `accept`
// added; none when that leaves a vector shorter than `minLength` or the map
// agrees with the whole line of a vector.
std::optional<Basis> Finest(const SelfSimilarityMap& map, Basis basis, double accept,
                            double minLength) {
    // Each step divides the cell, so a few steps reach any fine lattice.
    bool refined = true;
    for (int step = 0; refined && step < kMaxSubdivisions; ++step) {
        refined = false;
        for (const auto& [shift, partner] : Subdivisions(basis)) {
            if (cv::norm(shift) >= minLength && map.At(shift) >= accept) {
                basis = ReduceBasis(shift, partner);
                refined = true;
                break;
            }
        }
    }
    if (cv::norm(basis.a) < minLength) return std::nullopt;
    if (OnRidge(map, basis.a) || OnRidge(map, basis.b)) return std::nullopt;
    return basis;
}

// The shortest peak across `a` that scores nearly as well as the best peak
// across it. Compression and blur may blur one direction more than the
// other, so the second vector is measured against its own direction.
std::optional<cv::Point2d> Partner(const std::vector<SelfSimilarityMap::Peak>& peaks,
                                   cv::Point2d a) {
    double bestAcross = 0.0;
    for (const auto& peak : peaks) {
        if (!Parallel(a, peak.shift)) bestAcross = std::max(bestAcross, peak.score);
    }
    if (bestAcross < kLeastPartnerShare * peaks.front().score) return std::nullopt;
    std::optional<cv::Point2d> partner;
    for (const auto& peak : peaks) {
        if (Parallel(a, peak.shift) || peak.score < kShareOfBest * bestAcross) continue;
        if (!partner || cv::norm(peak.shift) < cv::norm(*partner)) partner = peak.shift;
    }
    return partner;
}

// Candidates beyond this many, by length, are multiples that a shorter
// candidate decides.
constexpr std::size_t kMaxCandidates = 16;
constexpr std::size_t kStrongestKept = 4;

std::vector<SelfSimilarityMap::Peak> Candidates(const SelfSimilarityMap& map,
                                                const std::vector<SelfSimilarityMap::Peak>& peaks,
                                                const Basis& basis) {
    std::vector<SelfSimilarityMap::Peak> candidates = {{basis.a, map.At(basis.a)},
                                                       {basis.b, map.At(basis.b)}};
    for (const auto& peak : peaks) {
        if (!OnLattice(peak.shift, basis)) continue;
        const bool known = std::any_of(candidates.begin(), candidates.end(), [&](const auto& c) {
            return cv::norm(c.shift - peak.shift) < 1.0 || cv::norm(c.shift + peak.shift) < 1.0;
        });
        if (!known) candidates.push_back(peak);
    }
    const auto shorter = [](const auto& u, const auto& v) {
        return cv::norm(u.shift) < cv::norm(v.shift);
    };
    // The strongest peaks stay, however long: one of them may be the repeat
    // of a design whose motif repeats many times inside it.
    std::sort(candidates.begin() + 2, candidates.end(),
              [](const auto& u, const auto& v) { return u.score > v.score; });
    std::sort(candidates.begin() + std::min<std::size_t>(candidates.size(), 2 + kStrongestKept),
              candidates.end(), shorter);
    if (candidates.size() > kMaxCandidates) candidates.resize(kMaxCandidates);
    std::sort(candidates.begin(), candidates.end(), shorter);
    return candidates;
}

}  // namespace

std::optional<LatticeChoice> ChooseLattice(const SelfSimilarityMap& map, double minLength) {
    const std::vector<SelfSimilarityMap::Peak> peaks = map.Peaks(kMinPeakScore, minLength);
    if (peaks.empty()) return std::nullopt;
    const double best = peaks.front().score;
    const double accept = kShareOfBest * best;

    std::vector<cv::Point2d> strong;
    std::vector<cv::Point2d> top;
    for (const auto& peak : peaks) {
        if (peak.score >= accept) strong.push_back(peak.shift);
        if (peak.score >= kShareOfTop * best && top.size() < kTopCount) top.push_back(peak.shift);
    }
    const auto shorter = [](cv::Point2d u, cv::Point2d v) { return cv::norm(u) < cv::norm(v); };
    std::sort(strong.begin(), strong.end(), shorter);
    const auto holdsTop = [&](const std::optional<Basis>& basis) {
        return basis && std::all_of(top.begin(), top.end(),
                                    [&](cv::Point2d v) { return OnLattice(v, *basis); });
    };
    // The shortest strong shift first; one that leaves the best peaks off its
    // lattice is a motif's own near-repeat, and the next one is tried.
    if (strong.size() > kMaxTries) strong.resize(kMaxTries);
    for (const cv::Point2d a : strong) {
        const std::optional<cv::Point2d> b = Partner(peaks, a);
        if (!b) continue;
        const std::optional<Basis> basis = Finest(map, ReduceBasis(a, *b), accept, minLength);
        if (holdsTop(basis)) return LatticeChoice{*basis, Candidates(map, peaks, *basis)};
    }
    // A near-repeat shorter than the tile (a motif's, a mirrored unit's) may
    // have been every vector's partner, and the design's own partner, longer,
    // never tried. The best peaks are periods: the shortest of them and the
    // shortest across it span the lattice to refine.
    std::sort(top.begin(), top.end(), shorter);
    const auto across = std::find_if(top.begin(), top.end(),
                                     [&](cv::Point2d v) { return !Parallel(top.front(), v); });
    if (across != top.end()) {
        const std::optional<Basis> basis =
            Finest(map, ReduceBasis(top.front(), *across), accept, minLength);
        if (holdsTop(basis)) return LatticeChoice{*basis, Candidates(map, peaks, *basis)};
    }
    return std::nullopt;
}

}  // namespace zentrel::lattice
