#include "repeat_rect.h"

#include <algorithm>
#include <cstdlib>
#include <exception>
#include <vector>

#include "result_state.h"

namespace zentrel {

namespace {

// The point of the first candidate in highList whose score equals `value`.
cv::Point LookUp(float value) {
    const auto it = std::find(highList.begin(), highList.end(), value);
    return checkPoints.at(static_cast<std::size_t>(it - highList.begin()));
}

}  // namespace

bool FindRepeatCorners() {
    try {
        std::vector<float> sim = highList;
        std::sort(sim.begin(), sim.end());
        std::vector<float> zz;
        for (const float value : sim) {
            if (zz.empty() || value != zz.back()) zz.push_back(value);
        }

        if (zz.size() < kDistinctScoresNeeded) {
            const int C = inputSize.width;
            const int R = inputSize.height;
            cornerA = cv::Point(C / 2 - C / 10, R / 2 - R / 10);
            cornerB = cv::Point(C / 2 + C / 10, R / 2 + R / 10);
            return true;
        }

        const int n = static_cast<int>(zz.size());
        // Both looked up before either corner is written, so that a failed
        // lookup leaves the corners as they were.
        const cv::Point best = LookUp(zz[n - 1]);
        int k = 1;
        cv::Point second = LookUp(zz[n - 1 - k]);
        while (!(best.x - second.x >= kCornerSeparation && best.y - second.y >= kCornerSeparation)) {
            ++k;
            if (n - k == 1) break;  // zz[0] is never tried
            second = LookUp(zz[n - 1 - k]);
        }
        cornerA = best;
        cornerB = second;
        return true;
    } catch (const std::exception&) {
        return false;
    }
}

bool ResolveRepeatRect() {
    if (!FindRepeatCorners()) return false;
    int w = std::abs(cornerA.x - cornerB.x);
    int h = std::abs(cornerA.y - cornerB.y);
    if (w <= kMinimumSide) w = h;
    if (h <= kMinimumSide) h = w;
    repeatX = std::min(cornerA.x, cornerB.x);
    repeatY = std::min(cornerA.y, cornerB.y);
    repeatW = w;
    repeatH = h;
    return true;
}

}  // namespace zentrel
