#include "pattern_region.h"

#include <algorithm>
#include <cmath>
#include <opencv2/imgproc.hpp>
#include <vector>

namespace zentrel::lattice {

namespace {

// The same light smoothing as the self-similarity map's.
constexpr double kSmoothingSigma = 0.7;
// A place belongs to the pattern where its agreement reaches this share of
// the agreement that most of the pattern shows...
constexpr double kShareOfTypical = 0.6;
// ...taken as this quantile of all places: a pattern covers at least a tenth
// of the frame.
constexpr double kTypicalQuantile = 0.95;
// Below this, agreement is chance.
constexpr double kLeastAgreement = 0.3;
// Vectors at least this long are measured on a copy of half the size, while
// that copy keeps this many pixels on its shorter side: below it, a large
// tile leaves too few cells to tell the pattern from its rim.
constexpr double kHalvedShift = 12.0;
constexpr int kLeastHalvedSide = 64;
// Places with less edge energy than this share of the typical are flat
// (a wall, a table): they agree with nothing.
constexpr double kLeastEnergyShare = 0.05;
// Smooth ground (fur, a wall) agrees with itself under short shifts and,
// where it fills most of the frame, passes the floor above: the pattern's
// windows all hold a motif, so ground is also what has less edge energy
// than this share of the windows that agree, where a window holds a cell.
constexpr double kPatternEnergyShare = 0.15;
// A row or column at the box's rim whose own energy is below this share of
// the box's typical line is flat ground the window's blur took in.
constexpr double kRimEnergyShare = 0.1;

// The unblurred terms of the agreement with one shift.
struct Terms {
    cv::Mat product;
    cv::Mat shiftedEnergy;
};

// `image` moved by `shift` (the value at p is the image's at p + shift),
// bilinear, zero outside.
cv::Mat Shifted(const cv::Mat& image, cv::Point2d shift) {
    const int wholeX = static_cast<int>(std::floor(shift.x));
    const int wholeY = static_cast<int>(std::floor(shift.y));
    const float fx = static_cast<float>(shift.x - wholeX);
    const float fy = static_cast<float>(shift.y - wholeY);
    const float weights[4] = {(1 - fx) * (1 - fy), fx * (1 - fy), (1 - fx) * fy, fx * fy};
    // Padded by one pixel of zeros beyond the shifted reach, so that the
    // four taps never leave it.
    cv::Mat padded;
    const int above = std::max(0, 1 - wholeY), below = std::max(0, wholeY + 1);
    const int before = std::max(0, 1 - wholeX), after = std::max(0, wholeX + 1);
    cv::copyMakeBorder(image, padded, above, below, before, after, cv::BORDER_CONSTANT, 0);
    cv::Mat shifted(image.size(), CV_32F);
    for (int y = 0; y < image.rows; ++y) {
        const float* upper = padded.ptr<float>(y + above + wholeY) + before + wholeX;
        const float* lower = padded.ptr<float>(y + above + wholeY + 1) + before + wholeX;
        float* out = shifted.ptr<float>(y);
        for (int x = 0; x < image.cols; ++x) {
            out[x] = weights[0] * upper[x] + weights[1] * upper[x + 1] + weights[2] * lower[x] +
                     weights[3] * lower[x + 1];
        }
    }
    return shifted;
}

double Quantile(const cv::Mat& values, double q) {
    std::vector<float> all(values.begin<float>(), values.end<float>());
    if (all.empty()) return 0.0;
    const auto at = all.begin() + static_cast<long>(q * (all.size() - 1));
    std::nth_element(all.begin(), at, all.end());
    return *at;
}

// Line `k` of `box`: a row, or a column (k may lie outside the box).
cv::Rect LineOf(cv::Rect box, bool rows, int k) {
    return rows ? cv::Rect(box.x, box.y + k, box.width, 1) : cv::Rect(box.x + k, box.y, 1, box.height);
}

// Whether a line of the rim is ground: flat (under `flat` of edge energy), or
// agreeing with itself under the vectors less than `level`, as in the
// windows (the lesser over the vectors of the better way), unblurred.
bool IsGround(cv::Rect line, const cv::Mat& energy, const std::vector<Terms>& terms, double flat,
              double level) {
    const double lineEnergy = cv::sum(energy(line))[0];
    if (lineEnergy < flat) return true;
    for (std::size_t k = 0; k + 1 < terms.size(); k += 2) {
        double best = -1.0;
        for (std::size_t w = k; w < k + 2; ++w) {
            const double product = cv::sum(terms[w].product(line))[0];
            const double shifted = cv::sum(terms[w].shiftedEnergy(line))[0];
            best = std::max(best, product / std::sqrt(lineEnergy * shifted + 1e-12));
        }
        if (best < level) return true;
    }
    return false;
}

// A tenth of the box's typical row or column energy: a rim line below it is
// flat.
double FlatLine(cv::Rect box, const cv::Mat& energy, bool rows) {
    cv::Mat lines;
    cv::reduce(energy(box), lines, rows ? 1 : 0, cv::REDUCE_SUM, CV_64F);
    std::vector<double> sorted(lines.begin<double>(), lines.end<double>());
    std::nth_element(sorted.begin(), sorted.begin() + sorted.size() / 2, sorted.end());
    return kRimEnergyShare * sorted[sorted.size() / 2];
}

// The box grown line by line, up to `reach` on each side, while the line
// beyond it is no ground: the window's blur leaves off up to half a window
// of the pattern's edge inside the frame, which for a large tile is most of
// a repeat. `ended` says which sides stopped at ground: left, top, right,
// bottom.
cv::Rect GrowRim(cv::Rect box, cv::Size frame, const cv::Mat& energy, const std::vector<Terms>& terms,
                 double level, int reach, bool ended[4]) {
    for (const bool rows : {true, false}) {
        const double flat = FlatLine(box, energy, rows);
        for (const bool after : {false, true}) {
            for (int grown = 0; grown < reach; ++grown) {
                const cv::Rect line = LineOf(box, rows, after ? (rows ? box.height : box.width) : -1);
                if ((line & cv::Rect({}, frame)) != line) break;
                if (IsGround(line, energy, terms, flat, level)) {
                    ended[(rows ? 1 : 0) + (after ? 2 : 0)] = true;
                    break;
                }
                box |= line;
            }
        }
    }
    return box;
}

// The box less its rim lines that are ground, line by line (the window
// above blurs them in), each side up to a quarter of the box. `sides` says
// which sides were moved: left, top, right, bottom.
cv::Rect TrimRim(cv::Rect box, const cv::Mat& energy, const std::vector<Terms>& terms, double level,
                 bool sides[4]) {
    for (const bool rows : {true, false}) {
        const double flat = FlatLine(box, energy, rows);
        const int count = rows ? box.height : box.width;
        const auto ground = [&](int k) { return IsGround(LineOf(box, rows, k), energy, terms, flat, level); };
        int first = 0, last = count;
        while (first < count / 4 && ground(first)) ++first;
        while (count - last < count / 4 && ground(last - 1)) --last;
        sides[rows ? 1 : 0] = first > 0;
        sides[rows ? 3 : 2] = last < count;
        box = rows ? cv::Rect(box.x, box.y + first, box.width, last - first)
                   : cv::Rect(box.x + first, box.y, last - first, box.height);
    }
    return box;
}

}  // namespace

HeldRegion PatternRegion(const cv::Mat& grey, cv::Point2d a, cv::Point2d b) {
    // Long vectors are measured as well on a copy of half the size, at a
    // quarter of the cost.
    if (std::min(cv::norm(a), cv::norm(b)) >= kHalvedShift &&
        std::min(grey.cols, grey.rows) >= 2 * kLeastHalvedSide) {
        cv::Mat half;
        cv::resize(grey, half, cv::Size(grey.cols / 2, grey.rows / 2), 0, 0, cv::INTER_AREA);
        const HeldRegion held = PatternRegion(half, a / 2, b / 2);
        const auto doubled = [&](cv::Rect box) {
            const int right = box.x + box.width == half.cols ? grey.cols : 2 * (box.x + box.width);
            const int bottom = box.y + box.height == half.rows ? grey.rows : 2 * (box.y + box.height);
            return cv::Rect(2 * box.x, 2 * box.y, right - 2 * box.x, bottom - 2 * box.y);
        };
        if (held.box.empty()) return {};
        return {doubled(held.box), doubled(held.core)};
    }
    cv::Mat smooth, x, y;
    cv::GaussianBlur(grey, smooth, cv::Size(), kSmoothingSigma);
    cv::Sobel(smooth, x, CV_32F, 1, 0);
    cv::Sobel(smooth, y, CV_32F, 0, 1);
    const cv::Mat energy = x.mul(x) + y.mul(y);

    // About one cell: enough to hold the motif whatever its layout.
    const int side = std::clamp(static_cast<int>(std::lround(std::max(cv::norm(a), cv::norm(b)))),
                                5, std::max(5, std::min(grey.cols, grey.rows) / 3));
    const cv::Size window(side, side);
    cv::Mat localEnergy;
    cv::boxFilter(energy, localEnergy, CV_32F, window);

    // The agreement with each vector, either way (so the pattern's far edges
    // count too), and with both vectors.
    cv::Mat agreement;
    std::vector<Terms> terms;  // unblurred, to judge the rim line by line
    for (const cv::Point2d v : {a, b}) {
        cv::Mat best;
        for (const cv::Point2d shift : {v, -v}) {
            const cv::Mat sx = Shifted(x, shift), sy = Shifted(y, shift);
            terms.push_back({x.mul(sx) + y.mul(sy), sx.mul(sx) + sy.mul(sy)});
            cv::Mat product, shiftedEnergy;
            cv::boxFilter(terms.back().product, product, CV_32F, window);
            cv::boxFilter(terms.back().shiftedEnergy, shiftedEnergy, CV_32F, window);
            cv::Mat norm;
            cv::sqrt(localEnergy.mul(shiftedEnergy) + 1e-12f, norm);
            cv::Mat local = product / norm;
            best = best.empty() ? local : cv::max(best, local);
        }
        agreement = agreement.empty() ? best : cv::min(agreement, best);
    }

    const double typicalEnergy = Quantile(localEnergy, 0.5);
    const double level =
        std::max(kLeastAgreement, kShareOfTypical * Quantile(agreement, kTypicalQuantile));
    cv::Mat mask = (agreement >= level) & (localEnergy >= kLeastEnergyShare * typicalEnergy);
    if (cv::countNonZero(mask) == 0) return {};
    if (side >= std::max(cv::norm(a), cv::norm(b)) - 0.5) {
        std::vector<float> agreeing;
        for (int y = 0; y < mask.rows; ++y) {
            const uchar* in = mask.ptr<uchar>(y);
            const float* e = localEnergy.ptr<float>(y);
            for (int x = 0; x < mask.cols; ++x)
                if (in[x]) agreeing.push_back(e[x]);
        }
        const auto middle = agreeing.begin() + static_cast<long>(agreeing.size() / 2);
        std::nth_element(agreeing.begin(), middle, agreeing.end());
        mask &= localEnergy >= kPatternEnergyShare * *middle;
    }
    // Gaps inside the pattern (a plain patch of its motif) close; specks
    // outside it go.
    const cv::Mat kernel = cv::getStructuringElement(cv::MORPH_RECT, window);
    cv::morphologyEx(mask, mask, cv::MORPH_CLOSE, kernel);
    cv::Mat labels, stats, centroids;
    const int count = cv::connectedComponentsWithStats(mask, labels, stats, centroids, 8, CV_32S);
    int largest = 0;
    for (int k = 1; k < count; ++k) {
        if (largest == 0 ||
            stats.at<int>(k, cv::CC_STAT_AREA) > stats.at<int>(largest, cv::CC_STAT_AREA)) {
            largest = k;
        }
    }
    if (largest == 0) return {};
    cv::Rect box(stats.at<int>(largest, cv::CC_STAT_LEFT), stats.at<int>(largest, cv::CC_STAT_TOP),
                 stats.at<int>(largest, cv::CC_STAT_WIDTH), stats.at<int>(largest, cv::CC_STAT_HEIGHT));
    // The window blurs the edges by half its side; within that of the
    // frame's edge, the pattern reaches the edge, unless its rim was found
    // to be ground.
    const int half = side / 2;
    // A side that stopped growing at ground has its edge: it does not
    // reach the frame's.
    bool ended[4] = {false, false, false, false};
    if (box.area() < kPartOfFrame * static_cast<double>(grey.total())) {
        box = GrowRim(box, grey.size(), energy, terms, level, half, ended);
    }
    const auto reach = [&](cv::Rect r, const bool sides[4]) {
        const int left = r.x <= half && !sides[0] ? 0 : r.x;
        const int top = r.y <= half && !sides[1] ? 0 : r.y;
        const int right = r.x + r.width >= grey.cols - half && !sides[2] ? grey.cols : r.x + r.width;
        const int bottom = r.y + r.height >= grey.rows - half && !sides[3] ? grey.rows : r.y + r.height;
        return cv::Rect(left, top, right - left, bottom - top);
    };
    bool trimmed[4] = {false, false, false, false};
    // Over most of the frame the rim is not judged: at the frame's edges,
    // beyond which shifts compare nothing, it would pass for ground.
    const cv::Rect core = box.area() < kPartOfFrame * static_cast<double>(grey.total())
                              ? TrimRim(box, energy, terms, level, trimmed)
                              : box;
    for (int k = 0; k < 4; ++k) trimmed[k] = trimmed[k] || ended[k];
    return {reach(box, ended), reach(core, trimmed)};
}

}  // namespace zentrel::lattice
