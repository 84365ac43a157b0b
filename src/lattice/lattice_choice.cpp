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
constexpr std::size_t kPeakCount = 64;
constexpr int kMaxSubdivisions = 8;

double Cross(cv::Point2d u, cv::Point2d v) { return u.x * v.y - u.y * v.x; }

// Vectors in the lattice's direction, or so close to it that they are the
// same period measured twice.
bool Parallel(cv::Point2d u, cv::Point2d v) { return std::abs(Cross(u, v)) < 1.5 * cv::norm(u); }

// Shifts that would make a lattice of half or a third of the cell, each with
// the vector that completes its basis.
std::vector<std::pair<cv::Point2d, cv::Point2d>> Subdivisions(const Basis& basis) {
    const cv::Point2d a = basis.a;
    const cv::Point2d b = basis.b;
    return {{a / 2, b}, {b / 2, a}, {(a + b) / 2, a}, {(a - b) / 2, a}, {a / 3, b}, {b / 3, a}};
}

// A map that agrees with half a vector and with one and a half of it agrees
// with the whole line: stripes, periodic across only.
bool OnRidge(const SelfSimilarityMap& map, cv::Point2d v, double accept) {
    return map.At(v / 2) >= accept && map.At(v * 1.5) >= accept;
}

}  // namespace

std::optional<Basis> ChooseLattice(const SelfSimilarityMap& map, double minLength) {
    const std::vector<SelfSimilarityMap::Peak> peaks =
        map.Peaks(kMinPeakScore, minLength, kPeakCount);
    if (peaks.empty()) return std::nullopt;
    const double accept = peaks.front().score * kShareOfBest;

    std::vector<cv::Point2d> strong;
    for (const auto& peak : peaks) {
        if (peak.score >= accept) strong.push_back(peak.shift);
    }
    std::sort(strong.begin(), strong.end(),
              [](cv::Point2d u, cv::Point2d v) { return cv::norm(u) < cv::norm(v); });
    const cv::Point2d a = strong.front();
    const auto b = std::find_if(strong.begin(), strong.end(),
                                [&](cv::Point2d v) { return !Parallel(a, v); });
    if (b == strong.end()) return std::nullopt;

    Basis basis = ReduceBasis(a, *b);
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
    if (OnRidge(map, basis.a, accept) || OnRidge(map, basis.b, accept)) return std::nullopt;
    return basis;
}

}  // namespace zentrel::lattice
