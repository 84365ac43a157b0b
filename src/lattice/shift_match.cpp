#include "shift_match.h"

#include <algorithm>
#include <cmath>
#include <map>
#include <opencv2/imgproc.hpp>
#include <utility>

#include "parabola_peak.h"

namespace zentrel::lattice {

namespace {

// The part of `size` that shifted by `shift` still lies inside, limited to a
// central block.
cv::Rect CentralOverlap(cv::Size size, cv::Point shift) {
    const int width = std::min(size.width - std::abs(shift.x), kMatchBlockSide);
    const int height = std::min(size.height - std::abs(shift.y), kMatchBlockSide);
    if (width <= 0 || height <= 0) return {};
    const int left = std::max(0, -shift.x) + (size.width - std::abs(shift.x) - width) / 2;
    const int top = std::max(0, -shift.y) + (size.height - std::abs(shift.y) - height) / 2;
    return {left, top, width, height};
}

}  // namespace

ShiftMatch::ShiftMatch(const cv::Mat& grey, double smoothing) {
    cv::Mat smooth;
    cv::GaussianBlur(grey, smooth, cv::Size(), smoothing);
    cv::Sobel(smooth, gradientX_, CV_32F, 1, 0);
    cv::Sobel(smooth, gradientY_, CV_32F, 0, 1);
}

double ShiftMatch::Similarity(cv::Point shift) const {
    const cv::Rect here = CentralOverlap(gradientX_.size(), shift);
    if (here.empty()) return -1.0;
    const cv::Rect there = here + shift;
    const cv::Mat x0 = gradientX_(here), x1 = gradientX_(there);
    const cv::Mat y0 = gradientY_(here), y1 = gradientY_(there);
    const double energy = (x0.dot(x0) + y0.dot(y0)) * (x1.dot(x1) + y1.dot(y1));
    // Samples too large for the gradients' floats overflow to infinities,
    // whose correlation means nothing.
    if (!(energy > 0.0) || !std::isfinite(energy)) return 0.0;
    const double similarity = (x0.dot(x1) + y0.dot(y1)) / std::sqrt(energy);
    return std::isfinite(similarity) ? similarity : 0.0;
}

ShiftMatch::Peak ShiftMatch::Refine(cv::Point2d guess, int reach) const {
    const cv::Point start(static_cast<int>(std::lround(guess.x)),
                          static_cast<int>(std::lround(guess.y)));
    std::map<std::pair<int, int>, double> known;
    const auto similarity = [&](cv::Point shift) {
        const auto [entry, added] = known.try_emplace({shift.x, shift.y}, 0.0);
        if (added) entry->second = Similarity(shift);
        return entry->second;
    };

    cv::Point best = start;
    for (bool moved = true; moved;) {
        moved = false;
        const cv::Point centre = best;
        for (int dy = -1; dy <= 1; ++dy) {
            for (int dx = -1; dx <= 1; ++dx) {
                const cv::Point next = centre + cv::Point(dx, dy);
                if (std::abs(next.x - start.x) > reach || std::abs(next.y - start.y) > reach) {
                    continue;
                }
                if (similarity(next) > similarity(best)) {
                    best = next;
                    moved = true;
                }
            }
        }
    }
    const double peak = similarity(best);
    const cv::Point2d offset(ParabolaOffset(similarity(best - cv::Point(1, 0)), peak,
                                            similarity(best + cv::Point(1, 0))),
                             ParabolaOffset(similarity(best - cv::Point(0, 1)), peak,
                                            similarity(best + cv::Point(0, 1))));
    return {cv::Point2d(best) + offset, peak};
}

}  // namespace zentrel::lattice
