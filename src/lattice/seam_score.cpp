#include "seam_score.h"

#include <limits>

namespace zentrel::lattice {

namespace {

constexpr double kFloorShare = 0.1;

double Energy(const cv::Mat& a, const cv::Mat& b) { return cv::norm(a, b, cv::NORM_L2SQR); }

// A row or column moved cyclically by `by` along its length.
cv::Mat Rolled(const cv::Mat& line, int by, bool alongColumns) {
    const int length = alongColumns ? line.rows : line.cols;
    by = ((by % length) + length) % length;
    if (by == 0) return line;
    cv::Mat rolled;
    if (alongColumns) {
        cv::vconcat(line.rowRange(length - by, length), line.rowRange(0, length - by), rolled);
    } else {
        cv::hconcat(line.colRange(length - by, length), line.colRange(0, length - by), rolled);
    }
    return rolled;
}

// Energy across the wrap-around edges, and inside: both summed over the
// pairs of neighbours they hold.
struct Energies {
    double seams;
    double inside;
    double pairs;  // inside
};

Energies TileEnergies(const cv::Mat& tile, int drop, int shift) {
    const int w = tile.cols;
    const int h = tile.rows;
    // Right of the last column lies the first, `drop` rows lower; below the
    // last row the first, `shift` columns further right.
    return {Energy(tile.col(w - 1), Rolled(tile.col(0), drop, true)) +
                Energy(tile.row(h - 1), Rolled(tile.row(0), shift, false)),
            Energy(tile.colRange(0, w - 1), tile.colRange(1, w)) +
                Energy(tile.rowRange(0, h - 1), tile.rowRange(1, h)),
            static_cast<double>(h) * (w - 1) + static_cast<double>(w) * (h - 1)};
}

}  // namespace

double SeamScore(const cv::Mat& extended, int drop, int shift) {
    CV_Assert(extended.cols >= 3 && extended.rows >= 3);
    const int w = extended.cols - 1;
    const int h = extended.rows - 1;
    const Energies tile = TileEnergies(extended(cv::Rect(0, 0, w, h)), drop, shift);
    const double image =
        Energy(extended.col(w - 1).rowRange(0, h), extended.col(w).rowRange(0, h)) +
        Energy(extended.row(h - 1).colRange(0, w), extended.row(h).colRange(0, w));
    const double floor = kFloorShare * tile.inside / tile.pairs * (w + h);
    if (!(image + floor > 0.0)) return 1.0;  // a flat tile has no seam to see
    return (tile.seams + floor) / (image + floor);
}

double SeamScoreOfTile(const cv::Mat& tile, int drop, int shift) {
    CV_Assert(tile.cols >= 2 && tile.rows >= 2);
    const Energies energies = TileEnergies(tile, drop, shift);
    const double perSeam = energies.seams / (tile.cols + tile.rows);
    const double perInside = energies.inside / energies.pairs;
    if (!(perInside > 0.0)) return perSeam > 0.0 ? std::numeric_limits<double>::infinity() : 1.0;
    return perSeam / perInside;
}

}  // namespace zentrel::lattice
