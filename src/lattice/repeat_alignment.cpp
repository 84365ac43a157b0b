#include "repeat_alignment.h"

#include <algorithm>
#include <cmath>
#include <cstdlib>
#include <opencv2/imgproc.hpp>
#include <optional>

#include "parabola_peak.h"
#include "working_image.h"

namespace zentrel::lattice {

namespace {

// The block matched: enough pixels for a steady sub-pixel peak, few enough
// for a hundred repeats to cost a few milliseconds.
constexpr int kBlockSide = 64;
constexpr int kLeastBlockSide = 12;
// How far a repeat may lie from where the growing fit predicts it.
constexpr int kReach = 3;
// Light smoothing steadies the peak under noise and JPEG blocks.
constexpr double kSmoothing = 1.0;
// Normalised correlation above which a repeat resembles the reference.
constexpr double kResembles = 0.3;
// A repeat kept off the fitted lattice must match this well and lie this
// far off it; closer, the fit is the better estimate.
constexpr double kTrusted = 0.5;
constexpr double kOffLattice = 0.3;
// Correlation this close to 1 leaves no doubt (lossless copies).
constexpr double kPerfect = 1.0 - 1e-5;

struct Measurement {
    cv::Point index;  // relative to the reference repeat
    cv::Point2d displacement;
    double score;
};

// Displacement from the reference at `index`: c + i * a + j * b.
struct Fit {
    cv::Point2d c;
    cv::Point2d a;
    cv::Point2d b;
    cv::Point2d At(cv::Point index) const { return c + index.x * a + index.y * b; }
};

cv::Mat SmoothGrey(const cv::Mat& image, cv::Rect rect) {
    const int border = 3;
    const cv::Rect padded = (rect - cv::Point(border, border) + cv::Size(2 * border, 2 * border)) &
                            cv::Rect({}, image.size());
    cv::Mat grey = GreyWorkingCopy(image, padded, 1.0);
    cv::GaussianBlur(grey, grey, cv::Size(), kSmoothing);
    return grey(rect - padded.tl()).clone();
}

// Least squares over the measurements with weight; none when their indices
// lie on one line (a, b or c would be undetermined).
std::optional<Fit> FitLattice(const std::vector<Measurement>& measurements,
                              const std::vector<bool>& use) {
    cv::Matx33d normal = cv::Matx33d::zeros();
    cv::Vec3d rightX(0, 0, 0);
    cv::Vec3d rightY(0, 0, 0);
    int count = 0;
    for (std::size_t k = 0; k < measurements.size(); ++k) {
        if (!use[k]) continue;
        const Measurement& m = measurements[k];
        const cv::Vec3d row(1.0, m.index.x, m.index.y);
        normal += row * row.t();
        rightX += row * m.displacement.x;
        rightY += row * m.displacement.y;
        ++count;
    }
    if (count < 3 || std::abs(cv::determinant(normal)) < 1e-6) return std::nullopt;
    const cv::Matx33d inverse = normal.inv(cv::DECOMP_CHOLESKY);
    const cv::Vec3d x = inverse * rightX;
    const cv::Vec3d y = inverse * rightY;
    return Fit{{x[0], y[0]}, {x[1], y[1]}, {x[2], y[2]}};
}

// The most textured block of the reference repeat's box.
cv::Rect ChooseBlock(const cv::Mat& image, cv::Rect box) {
    const int side = std::clamp(std::min(box.width, box.height), kLeastBlockSide, kBlockSide);
    const cv::Point centre(box.x + box.width / 2, box.y + box.height / 2);
    cv::Rect best(centre - cv::Point(side / 2, side / 2), cv::Size(side, side));
    if (box.width <= side && box.height <= side) return best;
    double bestSpread = -1.0;
    for (int gy = 0; gy < 3; ++gy) {
        for (int gx = 0; gx < 3; ++gx) {
            const cv::Rect block(box.x + gx * std::max(0, box.width - side) / 2,
                                 box.y + gy * std::max(0, box.height - side) / 2, side, side);
            cv::Scalar mean, deviation;
            cv::meanStdDev(SmoothGrey(image, block), mean, deviation);
            if (deviation[0] > bestSpread) {
                bestSpread = deviation[0];
                best = block;
            }
        }
    }
    return best;
}

// Normalised correlation of `templ` (zero mean) with `window` at every
// whole shift that keeps it inside: a few dozen dot products, cheaper than
// the transform the imaging library's matcher sets up for each call.
cv::Mat Correlation(const cv::Mat& window, const cv::Mat& templ, double templEnergy) {
    cv::Mat sums, squares;
    cv::integral(window, sums, squares, CV_64F, CV_64F);
    const int w = templ.cols;
    const int h = templ.rows;
    const double count = static_cast<double>(w) * h;
    cv::Mat scores(window.rows - h + 1, window.cols - w + 1, CV_32F);
    for (int y = 0; y < scores.rows; ++y) {
        for (int x = 0; x < scores.cols; ++x) {
            const auto box = [&](const cv::Mat& table) {
                return table.at<double>(y + h, x + w) - table.at<double>(y, x + w) -
                       table.at<double>(y + h, x) + table.at<double>(y, x);
            };
            const double sum = box(sums);
            const double spread = box(squares) - sum * sum / count;
            const double product = window(cv::Rect(x, y, w, h)).dot(templ);
            const double score = product / std::sqrt(std::max(spread, 0.0) * templEnergy);
            scores.at<float>(y, x) = std::isfinite(score) ? static_cast<float>(score) : -1.0f;
        }
    }
    return scores;
}

// Where the block `templ` (zero mean) taken at `block` lies near
// `block + guess`.
std::optional<Measurement> Measure(const cv::Mat& image, const cv::Mat& templ, double templEnergy,
                                   cv::Rect block, cv::Point2d guess) {
    const cv::Point shift(static_cast<int>(std::lround(guess.x)),
                          static_cast<int>(std::lround(guess.y)));
    const cv::Rect window(block.tl() + shift - cv::Point(kReach, kReach),
                          block.size() + cv::Size(2 * kReach, 2 * kReach));
    if ((window & cv::Rect({}, image.size())) != window) return std::nullopt;
    const cv::Mat scores = Correlation(SmoothGrey(image, window), templ, templEnergy);
    double best = 0.0;
    cv::Point at;
    cv::minMaxLoc(scores, nullptr, &best, nullptr, &at);
    Measurement measurement{{}, {}, best};
    // A peak on the window's edge is not bracketed: the repeat lies further off.
    if (at.x == 0 || at.y == 0 || at.x == scores.cols - 1 || at.y == scores.rows - 1) {
        measurement.score = std::min(best, kResembles - 1e-9);
        return measurement;
    }
    const auto score = [&](int dx, int dy) { return scores.at<float>(at.y + dy, at.x + dx); };
    // A perfect match is a whole shift; the parabola through an asymmetric
    // neighbourhood would move it off.
    const bool perfect = best >= kPerfect;
    const double dx = perfect ? 0.0 : ParabolaOffset(score(-1, 0), best, score(1, 0));
    const double dy = perfect ? 0.0 : ParabolaOffset(score(0, -1), best, score(0, 1));
    measurement.displacement =
        cv::Point2d(shift.x - kReach + at.x + dx, shift.y - kReach + at.y + dy);
    return measurement;
}

}  // namespace

LatticeFit AlignRepeats(const cv::Mat& image, const TileGeometry& geometry, cv::Point2d origin,
                        const std::vector<RepeatPlace>& places) {
    LatticeFit result{origin, geometry.inputA, geometry.inputB, {}, 0, 0};
    if (places.size() < 3) return result;

    cv::Point2d centroid(0, 0);
    for (const RepeatPlace& place : places) centroid += place.position;
    centroid /= static_cast<double>(places.size());
    const RepeatPlace reference = *std::min_element(
        places.begin(), places.end(), [&](const RepeatPlace& p, const RepeatPlace& q) {
            return cv::norm(p.position - centroid) < cv::norm(q.position - centroid);
        });

    const cv::Vec2d extent =
        geometry.toInput * cv::Vec2d(geometry.size.width, geometry.size.height);
    const cv::Rect box(cv::Point(static_cast<int>(std::ceil(reference.position.x)),
                                 static_cast<int>(std::ceil(reference.position.y))),
                       cv::Size(std::max(1, static_cast<int>(std::abs(extent[0])) - 1),
                                std::max(1, static_cast<int>(std::abs(extent[1])) - 1)));
    const cv::Rect block = ChooseBlock(image, box);
    if ((block & cv::Rect({}, image.size())) != block) return result;
    cv::Mat templ = SmoothGrey(image, block);
    cv::Scalar mean, deviation;
    cv::meanStdDev(templ, mean, deviation);
    // A flat block matches anywhere; the lattice as given is as good as any.
    if (!(deviation[0] > 1e-6 * (std::abs(mean[0]) + 1.0))) return result;
    templ -= mean;
    const double templEnergy = templ.dot(templ);

    // Outwards from the reference, ring by ring.
    std::vector<RepeatPlace> order(places);
    const auto ring = [&](const RepeatPlace& place) {
        const cv::Point d = place.index - reference.index;
        return std::max(std::abs(d.x), std::abs(d.y));
    };
    std::stable_sort(order.begin(), order.end(),
                     [&](const RepeatPlace& p, const RepeatPlace& q) { return ring(p) < ring(q); });

    Fit fit{{0, 0}, geometry.inputA, geometry.inputB};
    std::vector<Measurement> measurements;
    std::vector<bool> use;
    for (std::size_t k = 0; k < order.size();) {
        const int current = ring(order[k]);
        for (; k < order.size() && ring(order[k]) == current; ++k) {
            const cv::Point index = order[k].index - reference.index;
            std::optional<Measurement> found =
                Measure(image, templ, templEnergy, block, fit.At(index));
            if (!found) continue;
            found->index = index;
            ++result.measured;
            if (found->score >= kResembles) ++result.agreeing;
            measurements.push_back(*found);
            use.push_back(found->score >= kResembles);
        }
        if (std::optional<Fit> grown = FitLattice(measurements, use)) fit = *grown;
    }

    // Once more without the repeats far off the lattice (folds, stains),
    // which would bend the fit for all the others.
    std::vector<double> misses;
    for (std::size_t k = 0; k < measurements.size(); ++k) {
        if (use[k])
            misses.push_back(
                cv::norm(measurements[k].displacement - fit.At(measurements[k].index)));
    }
    if (!misses.empty()) {
        std::vector<double> sorted(misses);
        std::nth_element(sorted.begin(), sorted.begin() + sorted.size() / 2, sorted.end());
        const double limit = std::max(0.5, 4.0 * sorted[sorted.size() / 2]);
        std::vector<bool> close(use);
        for (std::size_t k = 0, m = 0; k < measurements.size(); ++k) {
            if (use[k]) close[k] = misses[m++] <= limit;
        }
        if (std::optional<Fit> steady = FitLattice(measurements, close)) fit = *steady;
    }

    for (const Measurement& m : measurements) {
        const cv::Point2d off = m.displacement - fit.At(m.index);
        if (m.score >= kTrusted && cv::norm(off) > kOffLattice) {
            const cv::Point index = m.index + reference.index;
            result.offsets[{index.x, index.y}] = off;
        }
    }
    result.inputA = fit.a;
    result.inputB = fit.b;
    result.origin =
        reference.position + fit.c - reference.index.x * fit.a - reference.index.y * fit.b;
    return result;
}

}  // namespace zentrel::lattice
