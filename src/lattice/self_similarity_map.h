// How well a working image agrees with itself shifted, for every shift up to
// about half its size, from one autocorrelation through the DFT.
#pragma once

#include <opencv2/core.hpp>
#include <vector>

namespace zentrel::lattice {

class SelfSimilarityMap {
public:
    // `grey`: a single-channel float working copy.
    explicit SelfSimilarityMap(const cv::Mat& grey);

    // The score of a shift, about 1 for a period of the image and about 0
    // for unrelated content; the best of the four whole shifts around `shift`,
    // -1 outside the map.
    double At(cv::Point2d shift) const;
    // Largest shift the map covers in each direction.
    cv::Size Reach() const { return reach_; }

    struct Peak {
        cv::Point2d shift;  // sub-pixel, in the half-plane y > 0 or y == 0, x > 0
        double score;       // interpolated between whole shifts
    };
    // Local maxima of at least `minScore` and `minLength` pixels from the
    // origin, best first.
    std::vector<Peak> Peaks(double minScore, double minLength) const;

private:
    double Whole(int dx, int dy) const;

    cv::Mat scores_;  // CV_32F, shift (dx, dy) at (reach_.width + dx, reach_.height + dy)
    cv::Size reach_;
};

}  // namespace zentrel::lattice
