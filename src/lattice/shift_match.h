// Agreement of an image with itself shifted by whole pixels, or mirrored,
// measured on its edges at full resolution; the sub-pixel shift where that
// agreement peaks; and how much of the image's edge energy is noise that no
// period can reproduce.
#pragma once

#include <opencv2/core.hpp>
#include <vector>

namespace zentrel::lattice {

// Largest side of the block compared: enough pixels for a steady score, few
// enough for a few dozen shifts to cost milliseconds.
inline constexpr int kMatchBlockSide = 256;

class ShiftMatch {
public:
    // Compares blocks of `image` (the decoded input, any format) that lie in
    // `area`, as near its centre as the shift allows, of at most `block`
    // pixels. The image is smoothed with a Gaussian of `smoothing` pixels
    // before its gradient is taken; only the blocks compared are converted.
    // Luminance is compared, or with `chroma` (colour images only) the
    // colour alone: the gradients of its two chroma channels.
    ShiftMatch(const cv::Mat& image, cv::Rect area, double smoothing,
               cv::Size block = {kMatchBlockSide, kMatchBlockSide}, bool chroma = false);

    struct Peak {
        cv::Point2d shift;
        double similarity;  // at the sub-pixel peak, interpolated
        double whole = -1.0;  // at the best whole shift
    };
    // Climbs from `guess` to the best whole shift within `reach` pixels of
    // it, then interpolates between its neighbours. Similarity -1 when no
    // block fits in the area shifted so far.
    Peak Refine(cv::Point2d guess, int reach) const;

    // Normalised correlation of the gradient with itself mirrored across the
    // column x = twiceAxis / 2 (across == true) or the row y = twiceAxis / 2,
    // over a block beside the axis; -1 when no block fits. For a lattice
    // turned by `turn` radians the axis turns with it, about the block's
    // middle.
    double MirrorSimilarity(bool across, int twiceAxis, double turn = 0.0) const;

    // The gradient energy of each column (across == true) or row from `from`
    // to `to`, over the band of rows or columns a mirror's block spans;
    // empty when none fits. Element 0 is position `*first`.
    std::vector<double> EdgeProfile(bool across, int from, int to, int* first) const;

    // What of the image repeats nowhere, measured on the central block.
    struct Noise {
        double white = 0.0;   // the share of the edge energy that is sensor noise
        bool compressed = false;  // decoded from JPEG
        double blocks = 0.0;  // when compressed, the share of the steps between neighbours
                              // that sits on one phase of the 8-pixel block grid beyond the
                              // others
    };
    Noise MeasureNoise() const;

    // Computes at once the gradients that shifts of up to `longest` pixels
    // will compare (the shorter of them, when those are too many pixels to
    // hold); blocks beyond that window are then computed alone.
    void Expect(double longest) const;

private:
    struct Gradients {
        cv::Rect rect;  // in input pixels
        cv::Mat x, y;   // CV_32F, of the matcher's channels
    };
    // The gradients over `rect` (clipped to the image), at least; valid
    // until the next call.
    const Gradients& GradientsOver(cv::Rect rect) const;
    Gradients Compute(cv::Rect padded) const;
    // The most pixels the window of gradients holds.
    int LargestWindow() const;
    // `rect` with the border the filters need, clipped to the image.
    cv::Rect Padded(cv::Rect rect) const;
    // The block compared for `shift`, or an empty rect.
    cv::Rect BlockFor(cv::Point shift) const;
    // `knownEnergyA`, when given, holds block A's energy once measured (or
    // a negative value until then).
    double Correlate(const Gradients& a, cv::Rect blockA, const Gradients& b, cv::Rect blockB,
                     int flip, double* knownEnergyA = nullptr) const;
    // The mirror's correlation over `block` about a turned axis through
    // `centre`, sampling the mirror image between pixels.
    double CorrelateTurned(cv::Rect block, cv::Point2d centre, bool across, double turn) const;

    cv::Mat image_;
    cv::Rect area_;
    double smoothing_;
    cv::Size block_;
    int channels_;  // 1 for luminance, 2 for chroma
    mutable Gradients window_;
    mutable Gradients lone_;
    // Once the window is sized for the shifts expected, blocks beyond it are
    // computed alone.
    mutable bool settled_ = false;
};

}  // namespace zentrel::lattice
