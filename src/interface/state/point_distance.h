// The distance both jobs measure with: Euclidean, every step in single
// precision, for any point type with float x and y (Vector2, cv::Point2f).
#pragma once

#include <cmath>

namespace zentrel {

template <typename Point>
float PointDistance(Point a, Point b) {
    const float dx = a.x - b.x;
    const float dy = a.y - b.y;
    const float sum = dx * dx + dy * dy;
    return std::sqrt(sum);
}

}  // namespace zentrel
