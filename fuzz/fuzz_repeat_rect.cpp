// The rectangle resolution on arbitrary candidate lists. With fewer than six
// distinct scores the corners are the box around the image centre; otherwise
// the first is the best candidate and the second the best further one at
// least 40 pixels up and to the left, or, when none is, the second-smallest
// score's. The rectangle follows the minimum-side rule. A score list longer
// than the point list must fail cleanly, leaving corners and rectangle as
// they were; AddressSanitizer catches any read out of range.
//
// Input: the image width and height (15 bits each), a flags byte (bit 0:
// scores are raw floats instead of one of 16 levels; bit 1: one point fewer
// than scores), the candidate count, then each candidate's score and point
// (16-bit coordinates).
#include <algorithm>
#include <cmath>
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <opencv2/core.hpp>
#include <string>
#include <vector>

#include "fuzz_input.h"
#include "fuzz_support.h"
#include "repeat_rect.h"
#include "result_state.h"

namespace {

using zentrel::fuzz::Check;
using zentrel::fuzz::Fail;

std::vector<int> Rectangle() {
    return {zentrel::repeatX, zentrel::repeatY, zentrel::repeatW, zentrel::repeatH};
}

std::string Describe(cv::Point point) {
    return "(" + std::to_string(point.x) + ", " + std::to_string(point.y) + ")";
}

// Where the value's first occurrence in highList points, if it has a point.
bool PointOf(float value, cv::Point& point) {
    const auto& scores = zentrel::highList;
    const auto at =
        static_cast<std::size_t>(std::find(scores.begin(), scores.end(), value) - scores.begin());
    if (at >= zentrel::checkPoints.size()) return false;
    point = zentrel::checkPoints[at];
    return true;
}

bool FarEnough(cv::Point best, cv::Point other) {
    return best.x - other.x >= zentrel::kCornerSeparation &&
           best.y - other.y >= zentrel::kCornerSeparation;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    zentrel::fuzz::ByteReader input(data, size);
    const int width = 1 + (input.Int16() & 0x7FFF);
    const int height = 1 + (input.Int16() & 0x7FFF);
    const std::uint8_t flags = input.Byte();
    const std::size_t count = input.Byte() % 96;

    zentrel::inputSize = cv::Size(width, height);
    zentrel::highList.clear();
    zentrel::checkPoints.clear();
    for (std::size_t k = 0; k < count; ++k) {
        // Scores are relative to the best, so finite; NaN would not order.
        float score = (flags & 1) != 0 ? input.Float() : static_cast<float>(input.Byte() % 16) / 16;
        if (!std::isfinite(score)) score = 0.0f;
        const int x = input.Int16();
        const int y = input.Int16();
        zentrel::highList.push_back(score);
        zentrel::checkPoints.emplace_back(x, y);
    }
    if ((flags & 2) != 0 && !zentrel::checkPoints.empty()) zentrel::checkPoints.pop_back();
    zentrel::highList.shrink_to_fit();
    zentrel::checkPoints.shrink_to_fit();

    const cv::Point unchanged(-7, -9);
    zentrel::cornerA = zentrel::cornerB = unchanged;
    zentrel::repeatX = zentrel::repeatY = zentrel::repeatW = zentrel::repeatH = -3;
    const std::vector<int> before = Rectangle();

    std::vector<float> distinct = zentrel::highList;
    std::sort(distinct.begin(), distinct.end());
    distinct.erase(std::unique(distinct.begin(), distinct.end()), distinct.end());

    const bool resolved = zentrel::ResolveRepeatRect();
    const cv::Point a = zentrel::cornerA;
    const cv::Point b = zentrel::cornerB;

    if (distinct.size() < static_cast<std::size_t>(zentrel::kDistinctScoresNeeded)) {
        Check(resolved, "the centre box never fails");
        if (a != cv::Point(width / 2 - width / 10, height / 2 - height / 10) ||
            b != cv::Point(width / 2 + width / 10, height / 2 + height / 10)) {
            Fail("fewer than six distinct scores give the centre box, not " + Describe(a) + " " +
                 Describe(b));
        }
    } else {
        // The values tried, best first: the best, then from the second best
        // down until one lies far enough; the smallest is never tried.
        const std::size_t n = distinct.size();
        cv::Point best;
        bool inRange = PointOf(distinct[n - 1], best);
        cv::Point expected;
        for (std::size_t k = n - 2; inRange && k >= 1; --k) {
            inRange = PointOf(distinct[k], expected);
            if (!inRange || FarEnough(best, expected)) break;
        }
        if (!inRange) {
            Check(!resolved, "a score without a point must fail");
            Check(a == unchanged && b == unchanged && Rectangle() == before,
                  "a failed resolution changes nothing");
            return 0;
        }
        Check(resolved, "every score tried has its point, yet the resolution failed");
        if (a != best) Fail("the first corner is the best candidate's point, not " + Describe(a));
        if (b != expected) {
            Fail("the second corner should be " + Describe(expected) + ", not " + Describe(b));
        }
    }

    int w = std::abs(a.x - b.x);
    int h = std::abs(a.y - b.y);
    if (w <= zentrel::kMinimumSide) w = h;
    if (h <= zentrel::kMinimumSide) h = w;
    Check(Rectangle() == std::vector<int>{std::min(a.x, b.x), std::min(a.y, b.y), w, h},
          "the rectangle is spanned by the corners with the minimum-side rule");
    return 0;
}
