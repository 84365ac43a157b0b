#include "self_similarity_map.h"

#include <algorithm>
#include <cmath>
#include <opencv2/imgproc.hpp>

#include "parabola_peak.h"

namespace zentrel::lattice {

namespace {

// Width of the Gaussian, in working pixels, that smooths the image before its
// gradient is taken: pixel noise and JPEG ringing count little, yet a motif a
// few pixels across keeps its edges.
constexpr double kSmoothingSigma = 0.7;

// Cosine ramps at the ends, so that the zero padding adds no edge of its own.
std::vector<float> EdgeTaper(int length) {
    std::vector<float> taper(length, 1.0f);
    const int ramp = std::max(2, length / 16);
    for (int i = 0; i < ramp && i < length; ++i) {
        const float value = static_cast<float>(0.5 - 0.5 * std::cos(CV_PI * (i + 0.5) / ramp));
        taper[i] = std::min(taper[i], value);
        taper[length - 1 - i] = std::min(taper[length - 1 - i], value);
    }
    return taper;
}

// How much of the taper overlaps itself at each shift 0..reach: what an
// autocorrelation value is divided by to be a mean over the overlap.
std::vector<double> TaperOverlap(const std::vector<float>& taper, int reach) {
    std::vector<double> overlap(reach + 1, 0.0);
    const int length = static_cast<int>(taper.size());
    for (int shift = 0; shift <= reach; ++shift) {
        for (int i = 0; i + shift < length; ++i) overlap[shift] += taper[i] * taper[i + shift];
    }
    return overlap;
}

// The response, in power, of the smoothed gradient along one axis, at each
// frequency of a DFT of `length`: its derivative part and its smoothing part.
// Weighting the power spectrum by it makes the autocorrelation that of the
// image's edges, whose peaks are narrow whatever the scale of the motif.
struct AxisResponse {
    std::vector<double> derivative;
    std::vector<double> smoothing;
};

AxisResponse EdgeResponse(int length) {
    AxisResponse response{std::vector<double>(length), std::vector<double>(length)};
    const double sigma = 2.0 * CV_PI * kSmoothingSigma;
    for (int k = 0; k < length; ++k) {
        const double frequency = static_cast<double>(std::min(k, length - k)) / length;
        response.derivative[k] = std::pow(std::sin(CV_PI * frequency), 2);
        response.smoothing[k] = std::exp(-sigma * sigma * frequency * frequency);
    }
    return response;
}

// Each direction's edges count alike, however faint: a pattern of strong
// stripes with a faint cross pattern would otherwise look periodic along the
// stripes at every shift. A direction with almost no edges is not amplified
// beyond this share of all of them.
constexpr double kLeastDirectionShare = 0.01;

// The circular autocorrelation of the padded image's edges across and down,
// each normalised by its own energy. `padded` is zero past row `imageRows`,
// and only rows 0 to `rowsWanted` of the result are computed: the DFT skips
// the rest. `unit` scales the spectrum so that its power stays well inside
// float.
cv::Mat EdgeAutocorrelation(const cv::Mat& padded, int imageRows, int rowsWanted, float unit) {
    cv::Mat spectrum;
    cv::dft(padded, spectrum, cv::DFT_COMPLEX_OUTPUT, imageRows);
    const int cols = spectrum.cols;
    const AxisResponse across = EdgeResponse(cols);
    const AxisResponse down = EdgeResponse(spectrum.rows);
    // The response is separable: factors per column, in float, each twice
    // to meet a spectrum row's real and imaginary parts in order.
    const int samples = 2 * cols;
    std::vector<float> smoothAcross(samples), edgesAcross(samples);
    for (int i = 0; i < samples; ++i) {
        smoothAcross[i] = static_cast<float>(across.smoothing[i / 2]);
        edgesAcross[i] = static_cast<float>(across.smoothing[i / 2] * across.derivative[i / 2]);
    }
    // Summed down the columns first, each row weighted by its own factors,
    // so that the loop runs along the row without a sum across it.
    std::vector<float> downSums(samples, 0.0f), acrossSums(samples, 0.0f);
    for (int v = 0; v < spectrum.rows; ++v) {
        const float* in = spectrum.ptr<float>(v);
        const float smoothDown = static_cast<float>(down.smoothing[v]);
        const float edgesDown = static_cast<float>(down.smoothing[v] * down.derivative[v]);
        for (int i = 0; i < samples; ++i) {
            const float value = in[i] * unit;
            downSums[i] += value * value * edgesDown;
            acrossSums[i] += value * value * smoothDown;
        }
    }
    double energyAcross = 0.0;
    double energyDown = 0.0;
    for (int i = 0; i < samples; ++i) {
        energyAcross += double(acrossSums[i]) * edgesAcross[i];
        energyDown += double(downSums[i]) * smoothAcross[i];
    }
    const double least = kLeastDirectionShare * (energyAcross + energyDown);
    const double weightAcross = 1.0 / std::max(energyAcross, least);
    const double weightDown = 1.0 / std::max(energyDown, least);

    for (int i = 0; i < samples; ++i) edgesAcross[i] = static_cast<float>(edgesAcross[i] * weightAcross);
    for (int v = 0; v < spectrum.rows; ++v) {
        float* row = spectrum.ptr<float>(v);
        const float smoothDown = static_cast<float>(down.smoothing[v]);
        const float edgesDown = static_cast<float>(weightDown * down.derivative[v] * down.smoothing[v]);
        for (int u = 0; u < cols; ++u) {
            const float re = row[2 * u] * unit, im = row[2 * u + 1] * unit;
            row[2 * u] = (re * re + im * im) *
                         (edgesAcross[2 * u] * smoothDown + smoothAcross[2 * u] * edgesDown);
            row[2 * u + 1] = 0.0f;
        }
    }
    cv::Mat correlation;
    cv::dft(spectrum, correlation, cv::DFT_INVERSE | cv::DFT_REAL_OUTPUT, rowsWanted);
    return correlation;
}

// Half the side and a little more: a tile of exactly half the image, two
// repeats, is then a peak inside the map rather than on its edge.
int ReachOf(int side) { return std::min(side - 1, side / 2 + 2); }

}  // namespace

SelfSimilarityMap::SelfSimilarityMap(const cv::Mat& grey)
    : reach_(ReachOf(grey.cols), ReachOf(grey.rows)) {
    CV_Assert(grey.type() == CV_32FC1);
    const std::vector<float> taperX = EdgeTaper(grey.cols);
    const std::vector<float> taperY = EdgeTaper(grey.rows);

    // Zero padding by the reach keeps shifts from wrapping around.
    const cv::Size padded(cv::getOptimalDFTSize(grey.cols + reach_.width + 1),
                          cv::getOptimalDFTSize(grey.rows + reach_.height + 1));
    cv::Mat image = cv::Mat::zeros(padded, CV_32F);
    const float mean = static_cast<float>(cv::mean(grey)[0]);
    for (int y = 0; y < grey.rows; ++y) {
        const float* in = grey.ptr<float>(y);
        float* out = image.ptr<float>(y);
        for (int x = 0; x < grey.cols; ++x) out[x] = (in[x] - mean) * taperX[x] * taperY[y];
    }
    // Each value scaled to at most 1, the spectrum's power stays inside float
    // whatever the input's range; the scores, normalised, do not depend on it.
    double lowest = 0.0, highest = 0.0;
    cv::minMaxLoc(grey, &lowest, &highest);
    const double largest = std::max(highest - mean, mean - lowest);
    const float unit = largest > 0.0 ? static_cast<float>(1.0 / largest) : 1.0f;
    const cv::Mat correlation = EdgeAutocorrelation(image, grey.rows, reach_.height + 1, unit);

    const std::vector<double> overlapX = TaperOverlap(taperX, reach_.width);
    const std::vector<double> overlapY = TaperOverlap(taperY, reach_.height);
    scores_ = cv::Mat::zeros(2 * reach_.height + 1, 2 * reach_.width + 1, CV_32F);
    const double energy = correlation.at<float>(0, 0) / (overlapX[0] * overlapY[0]);
    if (!(energy > 0.0)) return;  // a flat image agrees with nothing
    // An autocorrelation is symmetric about the origin: the shifts up the
    // image are those down it, turned about the origin.
    for (int dy = 0; dy <= reach_.height; ++dy) {
        const float* in = correlation.ptr<float>(dy);
        float* down = scores_.ptr<float>(reach_.height + dy);
        float* up = scores_.ptr<float>(reach_.height - dy);
        const double rowScale = 1.0 / (overlapY[dy] * energy);
        for (int dx = -reach_.width; dx <= reach_.width; ++dx) {
            const float score = static_cast<float>(in[dx < 0 ? dx + padded.width : dx] *
                                                   rowScale / overlapX[std::abs(dx)]);
            down[reach_.width + dx] = score;
            if (dy > 0) up[reach_.width - dx] = score;
        }
    }
}

double SelfSimilarityMap::Whole(int dx, int dy) const {
    if (std::abs(dx) > reach_.width || std::abs(dy) > reach_.height) return -1.0;
    return scores_.at<float>(reach_.height + dy, reach_.width + dx);
}

double SelfSimilarityMap::At(cv::Point2d shift) const {
    const int x = static_cast<int>(std::floor(shift.x));
    const int y = static_cast<int>(std::floor(shift.y));
    return std::max({Whole(x, y), Whole(x + 1, y), Whole(x, y + 1), Whole(x + 1, y + 1)});
}

std::vector<SelfSimilarityMap::Peak> SelfSimilarityMap::Peaks(double minScore,
                                                              double minLength) const {
    cv::Mat neighbourhoodMax;
    cv::dilate(scores_, neighbourhoodMax, cv::Mat());
    std::vector<Peak> peaks;
    for (int dy = 0; dy < reach_.height; ++dy) {
        for (int dx = dy == 0 ? 1 : 1 - reach_.width; dx < reach_.width; ++dx) {
            const double score = Whole(dx, dy);
            if (score < minScore ||
                score < neighbourhoodMax.at<float>(reach_.height + dy, reach_.width + dx) ||
                std::hypot(dx, dy) < minLength) {
                continue;
            }
            const double left = Whole(dx - 1, dy), right = Whole(dx + 1, dy);
            const double up = Whole(dx, dy - 1), down = Whole(dx, dy + 1);
            // A period between whole pixels shows as a lower sample; its
            // score is the interpolated top, so it competes fairly.
            peaks.push_back(
                {cv::Point2d(dx + ParabolaOffset(left, score, right),
                             dy + ParabolaOffset(up, score, down)),
                 score + ParabolaRise(left, score, right) + ParabolaRise(up, score, down)});
        }
    }
    std::sort(peaks.begin(), peaks.end(),
              [](const Peak& a, const Peak& b) { return a.score > b.score; });
    return peaks;
}

}  // namespace zentrel::lattice
