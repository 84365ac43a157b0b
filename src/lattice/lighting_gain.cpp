#include "lighting_gain.h"

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <limits>
#include <type_traits>

namespace zentrel::lattice {

namespace {

// Each copy is sampled in a grid of this many cells each way (fewer for
// tiny tiles): the light varies across a large tile too.
constexpr int kCells = 4;
constexpr int kLeastCellSide = 8;
// Cells this dark against the brightest say nothing about a ratio.
constexpr double kLeastLevel = 0.01;
// The six terms of a quadratic surface in x and y.
constexpr int kTerms = 6;

struct Sample {
    cv::Point2d where;
    double factor;  // what brings this copy's cell to its typical level
};

cv::Vec<double, kTerms> Terms(double u, double v) { return {1.0, u, v, u * u, u * v, v * v}; }

// The quadratic in normalised coordinates through the samples, least
// squares (the minimum-norm one when they do not determine it).
cv::Mat FitSurface(const std::vector<Sample>& samples, const std::vector<bool>& use,
                   cv::Point2d centre, double scale) {
    cv::Mat design(0, kTerms, CV_64F);
    cv::Mat target(0, 1, CV_64F);
    for (std::size_t k = 0; k < samples.size(); ++k) {
        if (!use[k]) continue;
        const cv::Point2d p = (samples[k].where - centre) / scale;
        design.push_back(cv::Mat(Terms(p.x, p.y)).t());
        target.push_back(samples[k].factor);
    }
    cv::Mat coefficients;
    cv::solve(design, target, coefficients, cv::DECOMP_SVD);
    return coefficients;
}

double Evaluate(const cv::Mat& coefficients, cv::Point2d p) {
    const cv::Vec<double, kTerms> terms = Terms(p.x, p.y);
    double value = 0.0;
    for (int t = 0; t < kTerms; ++t) value += coefficients.at<double>(t) * terms[t];
    return value;
}

// values[i] *= factors[i], rounded and clamped for whole depths: a plain
// loop the compiler vectorises.
template <typename T>
void Scale(T* __restrict values, const float* __restrict factors, int count) {
    if constexpr (std::is_same_v<T, float>) {
        for (int i = 0; i < count; ++i) values[i] *= factors[i];
    } else {
        const float top = static_cast<float>(std::numeric_limits<T>::max());
        for (int i = 0; i < count; ++i) {
            values[i] = static_cast<T>(std::min(values[i] * factors[i] + 0.5f, top));
        }
    }
}

}  // namespace

void FlattenLighting(cv::Mat& stack, cv::Size plane, cv::Size measured, int channels, bool alpha,
                     const std::vector<cv::Point2d>& positions, const cv::Matx22d& toInput) {
    const int copies = stack.rows;
    if (copies < 3) return;
    const int colours = alpha ? channels - 1 : channels;
    const int cellsX = std::clamp(measured.width / kLeastCellSide, 1, kCells);
    const int cellsY = std::clamp(measured.height / kLeastCellSide, 1, kCells);

    // Each copy's mean colour level in each cell.
    cv::Mat levels(copies, cellsX * cellsY, CV_64F);
    for (int k = 0; k < copies; ++k) {
        const cv::Mat copy = stack.row(k).reshape(channels, plane.height);
        for (int cy = 0; cy < cellsY; ++cy) {
            for (int cx = 0; cx < cellsX; ++cx) {
                const int left = cx * measured.width / cellsX;
                const int top = cy * measured.height / cellsY;
                const cv::Rect cell(left, top, (cx + 1) * measured.width / cellsX - left,
                                    (cy + 1) * measured.height / cellsY - top);
                const cv::Scalar mean = cv::mean(copy(cell));
                double level = 0.0;
                for (int c = 0; c < colours; ++c) level += mean[c];
                levels.at<double>(k, cy * cellsX + cx) = level / colours;
            }
        }
    }
    double brightest = 0.0;
    cv::minMaxLoc(levels, nullptr, &brightest);

    std::vector<Sample> samples;
    std::vector<double> column(copies);
    for (int cell = 0; cell < cellsX * cellsY; ++cell) {
        for (int k = 0; k < copies; ++k) column[k] = levels.at<double>(k, cell);
        std::nth_element(column.begin(), column.begin() + copies / 2, column.end());
        const double typical = column[copies / 2];
        if (!(typical > kLeastLevel * brightest)) continue;
        const int cx = cell % cellsX;
        const int cy = cell / cellsX;
        const cv::Vec2d middle = toInput * cv::Vec2d((cx + 0.5) * measured.width / cellsX,
                                                     (cy + 0.5) * measured.height / cellsY);
        for (int k = 0; k < copies; ++k) {
            const double level = levels.at<double>(k, cell);
            if (!(level > kLeastLevel * brightest)) continue;
            samples.push_back({positions[k] + cv::Point2d(middle[0], middle[1]), typical / level});
        }
    }
    if (samples.size() < 2 * kTerms) return;

    cv::Point2d centre(0, 0);
    for (const Sample& s : samples) centre += s.where;
    centre /= static_cast<double>(samples.size());
    double scale = 1.0;
    for (const Sample& s : samples)
        scale = std::max({scale, std::abs(s.where.x - centre.x), std::abs(s.where.y - centre.y)});

    std::vector<bool> use(samples.size(), true);
    cv::Mat surface = FitSurface(samples, use, centre, scale);
    // Once more without the cells that a stain or a blob darkened.
    std::vector<double> misses(samples.size());
    for (std::size_t k = 0; k < samples.size(); ++k) {
        misses[k] =
            std::abs(samples[k].factor - Evaluate(surface, (samples[k].where - centre) / scale));
    }
    std::vector<double> sorted(misses);
    std::nth_element(sorted.begin(), sorted.begin() + sorted.size() / 2, sorted.end());
    const double limit = std::max(0.01, 3.0 * 1.4826 * sorted[sorted.size() / 2]);
    for (std::size_t k = 0; k < samples.size(); ++k) use[k] = misses[k] <= limit;
    surface = FitSurface(samples, use, centre, scale);

    // On average over the copies the light stays as it was: the mean gain
    // (the inverse of the factor) is 1.
    double gain = 0.0;
    for (const Sample& s : samples) gain += 1.0 / Evaluate(surface, (s.where - centre) / scale);
    gain /= static_cast<double>(samples.size());
    if (!(gain > 0.0) || !std::isfinite(gain)) return;
    surface *= gain;

    const cv::Vec2d along = toInput * cv::Vec2d(1.0 / scale, 0.0);
    const int count = plane.width * channels;
    std::vector<float> factors(count, 1.0f);  // alpha keeps 1
    for (int k = 0; k < copies; ++k) {
        for (int y = 0; y < plane.height; ++y) {
            const cv::Vec2d down = toInput * cv::Vec2d(0.0, y);
            const cv::Point2d start =
                (positions[k] + cv::Point2d(down[0], down[1]) - centre) / scale;
            // Along a row the surface is a quadratic in x: finite differences.
            const double f0 = Evaluate(surface, start);
            const double f1 = Evaluate(surface, start + cv::Point2d(along[0], along[1]));
            const double f2 = Evaluate(surface, start + 2.0 * cv::Point2d(along[0], along[1]));
            const double bend = (f2 - 2.0 * f1 + f0) / 2.0;
            double factor = f0;
            double slope = f1 - f0;
            for (int x = 0; x < plane.width; ++x) {
                for (int c = 0; c < colours; ++c)
                    factors[x * channels + c] = static_cast<float>(factor);
                factor += slope;
                slope += 2.0 * bend;
            }
            const std::size_t offset = static_cast<std::size_t>(y) * count;
            switch (stack.depth()) {
                case CV_8U:
                    Scale(stack.ptr<std::uint8_t>(k) + offset, factors.data(), count);
                    break;
                case CV_16U:
                    Scale(stack.ptr<std::uint16_t>(k) + offset, factors.data(), count);
                    break;
                default:
                    Scale(stack.ptr<float>(k) + offset, factors.data(), count);
                    break;
            }
        }
    }
}

}  // namespace zentrel::lattice
