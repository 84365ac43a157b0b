// The candidate gathering as its rule reads: every cell above zero tested
// against every candidate found so far. The indexed GatherCandidates must
// give the same list bit for bit; the tests hold it to this, and the
// benchmarks time it beside the index.
#pragma once

#include <vector>

#include <opencv2/core.hpp>

#include "repeat_search.h"

namespace zentrel::testing {

inline std::vector<HighPos> GatherByScan(const cv::Mat& scores, float span) {
    std::vector<HighPos> resultHigh;
    for (int i = 0; i < scores.rows; ++i) {
        const float* row = scores.ptr<float>(i);
        for (int j = 0; j < scores.cols; ++j) {
            const double s = static_cast<double>(row[j] / 100.0f);
            if (!(s > 0)) continue;
            const Vector2 p{static_cast<float>(j), static_cast<float>(i)};
            bool near = false;
            for (HighPos& candidate : resultHigh) {
                if (PointDistance(candidate.position, p) < span) {
                    near = true;
                    if (s > candidate.similarity) candidate = HighPos{s, p};
                }
            }
            if (!near) resultHigh.push_back(HighPos{s, p});
        }
    }
    return resultHigh;
}

}  // namespace zentrel::testing
