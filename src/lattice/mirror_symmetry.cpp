#include "mirror_symmetry.h"

#include <algorithm>
#include <cmath>
#include <map>
#include <opencv2/imgproc.hpp>
#include <utility>
#include <vector>

#include "parabola_peak.h"

namespace zentrel::lattice {

namespace {

// The climb along the axis at full resolution stops after this many steps.
constexpr int kMaxSteps = 24;
// Axes the full resolution's profile proposes when the copy's fails.
constexpr int kProposals = 3;
// ...and only where the periods agree well: against a lenient threshold
// (noise, faint JPEG) every further axis tried is a further chance to pass.
constexpr double kProposalsFrom = 0.9;

// The edge energy of `copy` summed across the other axis: a mirror image
// about an axis has a profile symmetric about it.
std::vector<double> Profile(const cv::Mat& copy, bool across) {
    cv::Mat x, y, energy;
    cv::Sobel(copy, x, CV_32F, 1, 0);
    cv::Sobel(copy, y, CV_32F, 0, 1);
    energy = cv::abs(x) + cv::abs(y);
    cv::Mat sum;
    cv::reduce(energy, sum, across ? 0 : 1, cv::REDUCE_AVG, CV_64F);
    std::vector<double> profile(sum.begin<double>(), sum.end<double>());
    const double mean = cv::mean(sum)[0];
    for (double& value : profile) value -= mean;
    return profile;
}

// How well the profile matches itself reflected as x -> twice - x.
double Symmetry(const std::vector<double>& profile, int twice) {
    const int n = static_cast<int>(profile.size());
    const int from = std::max(0, twice - (n - 1)), to = std::min(n - 1, twice);
    double product = 0.0, energy = 0.0;
    for (int x = from; x <= to; ++x) {
        product += profile[x] * profile[twice - x];
        energy += profile[x] * profile[x];
    }
    return energy > 0.0 ? product / energy : -1.0;
}

// The same about the axis twice / 2, over `half` positions either side of
// it, for a profile whose element 0 is position `first`.
double LocalSymmetry(const std::vector<double>& profile, int first, int twice, int half) {
    const int n = static_cast<int>(profile.size());
    const int centre = twice / 2 - first;
    const int from = std::max({0, centre - half, twice - 2 * first - (n - 1)});
    const int to = std::min({n - 1, centre + half + 1, twice - 2 * first});
    if (to - from < 4) return -1.0;
    double mean = 0.0;
    for (int x = from; x <= to; ++x) mean += profile[x];
    mean /= (to - from + 1);
    double product = 0.0, energy = 0.0;
    for (int x = from; x <= to; ++x) {
        const double here = profile[x] - mean, there = profile[twice - 2 * first - x] - mean;
        product += here * there;
        energy += here * here;
    }
    return energy > 0.0 ? product / energy : -1.0;
}

}  // namespace

std::optional<double> MirrorAxis(const cv::Mat& copy, double toCopy, cv::Rect region,
                                 const ShiftMatch& climb, const ShiftMatch& exact, bool across,
                                 double period, double threshold, double* measured, double turn,
                                 bool between, double* raised) {
    if (measured) *measured = -1.0;
    if (raised) *raised = 0.0;
    // The region on the copy; its profile proposes the axis.
    const cv::Rect inCopy =
        cv::Rect(static_cast<int>(region.x * toCopy), static_cast<int>(region.y * toCopy),
                 static_cast<int>(region.width * toCopy), static_cast<int>(region.height * toCopy)) &
        cv::Rect({}, copy.size());
    if (inCopy.width < 8 || inCopy.height < 8) return std::nullopt;
    const std::vector<double> profile = Profile(copy(inCopy), across);
    const int n = static_cast<int>(profile.size());
    // Axes repeat every half period, so twice the axis repeats every period:
    // one period of candidates around the middle.
    const int span = std::max(1, static_cast<int>(std::lround(period * toCopy)));
    int best = n - 1;
    double bestSymmetry = -2.0;
    for (int twice = n - 1 - span / 2; twice < n - 1 - span / 2 + span; ++twice) {
        const double symmetry = Symmetry(profile, twice);
        if (symmetry > bestSymmetry) {
            bestSymmetry = symmetry;
            best = twice;
        }
    }
    // Climbed to at full resolution, on the smoothed image that tolerates
    // the copy's uncertainty, then measured on the sharp one.
    int twice = static_cast<int>(std::lround((2.0 * (across ? inCopy.x : inCopy.y) + best) / toCopy));
    double similarity = climb.MirrorSimilarity(across, twice, turn);
    const int reach = 2 * static_cast<int>(std::ceil(1.0 / toCopy)) + 2;
    for (int step = 0; step < std::min(kMaxSteps, reach); ++step) {
        const double left = climb.MirrorSimilarity(across, twice - 1, turn);
        const double right = climb.MirrorSimilarity(across, twice + 1, turn);
        if (left <= similarity && right <= similarity) break;
        twice += left > right ? -1 : 1;
        similarity = std::max(left, right);
    }
    // A resampled unit's axis falls between the whole and half pixels that
    // `twice` reaches: as for a period, the agreement is read at the peak of
    // the parabola through the neighbouring axes.
    std::map<int, double> known;
    const auto atWhole = [&](int at) {
        const auto [entry, added] = known.try_emplace(at, 0.0);
        if (added) entry->second = exact.MirrorSimilarity(across, at, turn);
        return entry->second;
    };
    const auto atPeak = [&](int at) {
        const double middle = atWhole(at);
        if (!between || middle < 0.0) return middle;
        return std::min(1.0, middle + ParabolaRise(atWhole(at - 1), middle, atWhole(at + 1)));
    };
    int sharpest = twice;
    double sharp = -1.0;
    for (int near = twice - 1; near <= twice + 1; ++near) {
        const double value = atPeak(near);
        if (value > sharp) {
            sharp = value;
            sharpest = near;
        }
    }
    if (!(sharp >= threshold) && threshold >= kProposalsFrom) {
        // The copy's profile can favour a point between two axes, and the
        // climb stops at any rise: the full resolution's own profile, over
        // one period of axes, proposes a few more.
        const int periodPx = static_cast<int>(std::ceil(period));
        // Compared over about the span of the mirror's block.
        const int half = std::clamp((across ? region.width : region.height) / 4, 8, kMatchBlockSide / 2);
        int first = 0;
        const std::vector<double> profile = exact.EdgeProfile(
            across, (twice - periodPx) / 2 - half - 1, (twice + periodPx) / 2 + half + 2, &first);
        std::vector<std::pair<double, int>> proposals;
        std::vector<double> symmetry(periodPx + 2, -2.0);
        for (int k = 0; k < periodPx + 2; ++k) {
            symmetry[k] = LocalSymmetry(profile, first, twice - periodPx / 2 - 1 + k, half);
        }
        for (int k = 1; k + 1 < periodPx + 2; ++k) {
            if (symmetry[k] > symmetry[k - 1] && symmetry[k] >= symmetry[k + 1]) {
                proposals.emplace_back(symmetry[k], twice - periodPx / 2 - 1 + k);
            }
        }
        std::sort(proposals.rbegin(), proposals.rend());
        // Only an axis that holds replaces the first: the others' values say
        // nothing of how close the first call was. Only the first call's own
        // axes were measured: one beside the axis it settled on, at the edge
        // of those, was not.
        int tried = 0;
        for (const auto& [score, proposed] : proposals) {
            if (tried == kProposals || sharp >= threshold) break;
            if (std::abs(proposed - twice) <= 1) continue;
            ++tried;
            for (int near = proposed - 1; near <= proposed + 1; ++near) {
                const double value = atPeak(near);
                if (value >= threshold && value > sharp) {
                    sharp = value;
                    sharpest = near;
                }
            }
        }
    }
    if (measured) *measured = sharp;
    if (raised && sharp >= 0.0) *raised = sharp - atWhole(sharpest);
    if (!(sharp >= threshold)) return std::nullopt;
    return sharpest / 2.0;
}

}  // namespace zentrel::lattice
