// Sub-pixel position of a sampled peak.
#pragma once

#include <algorithm>

namespace zentrel::lattice {

// Vertex of the parabola through three equally spaced samples, as an offset
// from the middle one; 0 where they do not bend downwards.
inline double ParabolaOffset(double before, double middle, double after) {
    const double curvature = before - 2.0 * middle + after;
    if (curvature >= 0.0) return 0.0;
    return std::clamp(0.5 * (before - after) / curvature, -0.5, 0.5);
}

// How far the parabola's vertex rises above the middle sample.
inline double ParabolaRise(double before, double middle, double after) {
    const double curvature = before - 2.0 * middle + after;
    if (curvature >= 0.0) return 0.0;
    const double offset = ParabolaOffset(before, middle, after);
    return -0.5 * curvature * offset * offset;
}

}  // namespace zentrel::lattice
