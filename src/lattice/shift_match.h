// Agreement of an image with itself shifted by whole pixels, measured on its
// edges, and the sub-pixel shift where that agreement peaks.
#pragma once

#include <opencv2/core.hpp>

namespace zentrel::lattice {

// Largest side of the block compared: enough pixels for a steady score, few
// enough for a few dozen shifts to cost milliseconds.
inline constexpr int kMatchBlockSide = 256;

class ShiftMatch {
public:
    // `grey`: single-channel float; it is smoothed with a Gaussian of
    // `smoothing` pixels before its gradient is taken.
    ShiftMatch(const cv::Mat& grey, double smoothing);

    // Normalised correlation of the gradient with itself shifted by `shift`,
    // over a central block of the overlap: 1 for a period, about 0 for
    // unrelated content; -1 without overlap.
    double Similarity(cv::Point shift) const;

    struct Peak {
        cv::Point2d shift;
        double similarity;  // at the best whole shift
    };
    // Climbs from `guess` to the best whole shift within `reach` pixels of
    // it, then interpolates between its neighbours.
    Peak Refine(cv::Point2d guess, int reach) const;

private:
    cv::Mat gradientX_;
    cv::Mat gradientY_;
};

}  // namespace zentrel::lattice
