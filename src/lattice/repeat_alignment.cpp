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
// The fit takes repeats matching at least this share of the typical score,
// and lying within three times the typical miss (at least kLeastMiss).
constexpr double kShareOfTypical = 0.9;
constexpr double kLeastMiss = 0.15;
// A repeat kept off the lattice must match nearly as well as most.
constexpr double kShareOfTrusted = 0.95;
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
    double errorA = 0.0;  // standard errors of a and b (0: unknown)
    double errorB = 0.0;
    cv::Point2d At(cv::Point index) const { return c + index.x * a + index.y * b; }
};

double Middle(std::vector<double> values) {
    if (values.empty()) return 0.0;
    std::nth_element(values.begin(), values.begin() + values.size() / 2, values.end());
    return values[values.size() / 2];
}

cv::Mat SmoothGrey(const cv::Mat& image, cv::Rect rect) {
    const int border = 3;
    const cv::Rect padded = (rect - cv::Point(border, border) + cv::Size(2 * border, 2 * border)) &
                            cv::Rect({}, image.size());
    cv::Mat grey = GreyWorkingCopy(image, padded, 1.0);
    cv::GaussianBlur(grey, grey, cv::Size(), kSmoothing);
    return grey(rect - padded.tl()).clone();
}

double MissOf(const Measurement& m, const Fit& fit) {
    return cv::norm(m.displacement - fit.At(m.index));
}

// Least squares over the measurements in use; none when their indices
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
    Fit fit{{x[0], y[0]}, {x[1], y[1]}, {x[2], y[2]}};
    if (count > 3) {
        double squares = 0.0;
        for (std::size_t k = 0; k < measurements.size(); ++k) {
            if (!use[k]) continue;
            const cv::Point2d miss = measurements[k].displacement - fit.At(measurements[k].index);
            squares += miss.dot(miss);
        }
        const double variance = squares / (2.0 * (count - 3));  // per axis
        fit.errorA = std::sqrt(2.0 * variance * inverse(1, 1));
        fit.errorB = std::sqrt(2.0 * variance * inverse(2, 2));
    }
    return fit;
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

// The alignment on one reference repeat; none when its block is flat or
// outside the image.
std::optional<LatticeFit> AlignOn(const cv::Mat& image, const TileGeometry& geometry,
                                  const std::vector<RepeatPlace>& places,
                                  const RepeatPlace& reference) {
    LatticeFit result;

    const cv::Vec2d extent =
        geometry.toInput * cv::Vec2d(geometry.size.width, geometry.size.height);
    const cv::Rect box(cv::Point(static_cast<int>(std::ceil(reference.position.x)),
                                 static_cast<int>(std::ceil(reference.position.y))),
                       cv::Size(std::max(1, static_cast<int>(std::abs(extent[0])) - 1),
                                std::max(1, static_cast<int>(std::abs(extent[1])) - 1)));
    const cv::Rect block = ChooseBlock(image, box);
    if ((block & cv::Rect({}, image.size())) != block) return std::nullopt;
    cv::Mat templ = SmoothGrey(image, block);
    cv::Scalar mean, deviation;
    cv::meanStdDev(templ, mean, deviation);
    // A flat block matches anywhere; the lattice as given is as good as any.
    if (!(deviation[0] > 1e-6 * (std::abs(mean[0]) + 1.0))) return std::nullopt;
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

    // The final fit from the repeats that match about as well as most and
    // lie near it: one half covered by a stain may still resemble the
    // reference, a little off, and would bend the fit for all the others.
    std::vector<double> scores;
    for (std::size_t k = 0; k < measurements.size(); ++k) {
        if (use[k]) scores.push_back(measurements[k].score);
    }
    const double typical = Middle(scores);
    for (std::size_t k = 0; k < measurements.size(); ++k) {
        use[k] = use[k] && measurements[k].score >= kShareOfTypical * typical;
    }
    for (int round = 0; round < 2; ++round) {
        if (std::optional<Fit> steady = FitLattice(measurements, use)) fit = *steady;
        std::vector<double> misses;
        for (std::size_t k = 0; k < measurements.size(); ++k) {
            if (use[k]) misses.push_back(MissOf(measurements[k], fit));
        }
        const double limit = std::max(kLeastMiss, 3.0 * Middle(misses));
        for (std::size_t k = 0; k < measurements.size(); ++k) {
            use[k] = use[k] && MissOf(measurements[k], fit) <= limit;
        }
    }
    if (std::optional<Fit> steady = FitLattice(measurements, use)) fit = *steady;

    for (const Measurement& m : measurements) {
        const cv::Point2d off = m.displacement - fit.At(m.index);
        if (m.score >= std::max(kTrusted, kShareOfTrusted * typical) &&
            cv::norm(off) > kOffLattice) {
            const cv::Point index = m.index + reference.index;
            result.offsets[{index.x, index.y}] = off;
        }
    }
    result.errorA = fit.errorA;
    result.errorB = fit.errorB;
    result.inputA = fit.a;
    result.inputB = fit.b;
    result.origin =
        reference.position + fit.c - reference.index.x * fit.a - reference.index.y * fit.b;
    return result;
}

}  // namespace

LatticeFit AlignRepeats(const cv::Mat& image, const TileGeometry& geometry, cv::Point2d origin,
                        const std::vector<RepeatPlace>& places) {
    LatticeFit given{origin, geometry.inputA, geometry.inputB, {}, 0, 0};
    if (places.size() < 3) return given;
    // The repeat nearest the middle, then those halfway from it towards the
    // four corners: a stain over the middle would make every other repeat
    // look foreign, so others are tried before the lattice is called another
    // image's.
    cv::Point2d centroid(0, 0);
    cv::Point2d low = places.front().position;
    cv::Point2d high = low;
    for (const RepeatPlace& place : places) {
        centroid += place.position;
        low = {std::min(low.x, place.position.x), std::min(low.y, place.position.y)};
        high = {std::max(high.x, place.position.x), std::max(high.y, place.position.y)};
    }
    centroid /= static_cast<double>(places.size());
    const auto nearest = [&](cv::Point2d target) {
        return *std::min_element(
            places.begin(), places.end(), [&](const RepeatPlace& p, const RepeatPlace& q) {
                return cv::norm(p.position - target) < cv::norm(q.position - target);
            });
    };
    std::vector<RepeatPlace> candidates{nearest(centroid)};
    for (const cv::Point2d corner :
         {low, high, cv::Point2d(low.x, high.y), cv::Point2d(high.x, low.y)}) {
        const RepeatPlace place = nearest((centroid + corner) / 2.0);
        const bool known =
            std::any_of(candidates.begin(), candidates.end(),
                        [&](const RepeatPlace& c) { return c.index == place.index; });
        if (!known) candidates.push_back(place);
    }
    std::optional<LatticeFit> best;
    for (const RepeatPlace& reference : candidates) {
        std::optional<LatticeFit> fit = AlignOn(image, geometry, places, reference);
        if (!fit) continue;
        if (!best || fit->agreeing > best->agreeing) best = std::move(fit);
        if (2 * best->agreeing >= best->measured) break;
    }
    return best ? *best : given;
}

}  // namespace zentrel::lattice
