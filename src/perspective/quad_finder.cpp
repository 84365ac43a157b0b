#include "quad_finder.h"

#include <algorithm>
#include <array>
#include <cmath>
#include <initializer_list>
#include <numeric>
#include <optional>
#include <utility>
#include <vector>

#include <opencv2/imgproc.hpp>

#include "perspective.h"

namespace zentrel {

namespace {

// Lines are found on a small copy, where a sheet's edge is a few clean
// pixels wide, and the corners refined on a larger one.
constexpr int kWorkingLongSide = 400;
constexpr int kDetailLongSide = 2048;
constexpr int kMinShortSide = 24;
// How many lines quadrilaterals are built from.
constexpr std::size_t kLineCount = 40;
// Below this score most of the quadrilaterals kept on the composites were
// wrong (a side on the wrong line, or texture lined up by chance): better
// none than a wrong one to rectify.
constexpr double kLeastConfidence = 0.8;
// A quadrilateral around the chosen one is the sheet only where each of its
// corners shows both sides near it: lines of the room or of clothing that
// happen to pass around a sheet leave some corner bare, however long and
// straight they are.
constexpr double kLeastOuterCorner = 0.1;
// A quadrilateral that the sheet's region fills (and hardly spills out of)
// is kept from this score on.
constexpr double kLeastRegionConfidence = 0.5;
constexpr double kRegionFill = 0.965;
constexpr double kRegionCover = 0.93;
constexpr double kRegionExactFill = 0.98;
// A region that fits its quadrilateral closer still needs less support from
// the edges to overrule a quadrilateral of lines.
constexpr double kRegionExacterFill = 0.985;
constexpr double kLeastExacterRegionConfidence = 0.6;
// The region of tint and texture is kept from these scores on: over a
// quadrilateral of lines, or where there is none.
constexpr double kLeastTintConfidence = 0.6;
constexpr double kLeastLoneTintConfidence = 0.3;
// Where nothing else is kept, a region that fills its quadrilateral this
// closely and hardly spills out of it, with a colour step along half of
// each side, is kept whatever its edges score: a sheet in low contrast or
// in shadow shows too little edge to score, while texture, tilings and
// noise give no region this close to four straight sides.
constexpr double kTightRegionFill = 0.983;
constexpr double kTightRegionCover = 0.98;
constexpr double kLeastTightStep = 0.5;
// The tint region may fill and cover a little less where the colour steps
// along all of every side: where the sheet's edge is that clear, what it
// leaves out or takes in is its soft rim, not what it lies on.
constexpr double kSteppedTintFill = 0.98;
constexpr double kSteppedTintCover = 0.97;
constexpr double kSteppedTintStep = 1.0;
// The stepped rule's fit is the looser, so it is tested first for both.
static_assert(kSteppedTintFill <= kTightRegionFill && kSteppedTintCover <= kTightRegionCover);
// A colour step across a side is one of at least 10 levels; a quadrilateral
// of lines needs it along at least a fifth of each side.
constexpr double kLeastStep = 10.0;
constexpr double kLeastSidesStepping = 0.2;
// Where nothing else is kept, the best quadrilateral of lines is kept from
// this score on if it leads every quadrilateral that differs from it by this
// much, shows both sides near each corner and neither region points
// elsewhere: a busy sheet's own texture clutters its sides so that it scores
// low, but nothing else scores near it, while quadrilaterals that texture
// and clutter line up by chance come with rivals that score alike.
constexpr double kLeastLeadingConfidence = 0.5;
constexpr double kLeastLead = 0.25;
// A side may move to a line that meets it near one corner and lies this far
// off (shares of the diagonal) at the other, where the quadrilateral on it
// scores at most this much less: the colour step only breaks near ties, as
// texture lines often step more than a soft edge.
constexpr double kLeastSideShift = 0.01;
constexpr double kMostSideShift = 0.04;
constexpr double kMostSideScoreLoss = 0.03;

// The lines that a textured surface crowded out which may join the others,
// and of eight stretches along a side made of one, how many must show a
// colour step of this size.
constexpr std::size_t kCrowdedOutLines = 20;
constexpr int kSurfaceStretches = 7;
constexpr double kSurfaceStep = 8.0;
// How much of a quadrilateral on such a line a segmentation's quadrilateral
// must share (shared area over joint area).
constexpr double kLeastRegionOverlap = 0.7;
constexpr double kPi = 3.14159265358979323846;
// A line this near a side's direction (the sine of 4 degrees) may stand for it.
const double kSideTurn = std::sin(4.0 * kPi / 180.0);

// ---------------------------------------------------------------------------
// The two copies of the image.

// Area averaging over whole blocks of `factor` pixels, which OpenCV does
// fastest; the last few rows and columns that fill no block are dropped.
cv::Mat Shrunk(const cv::Mat& image, int factor) {
    if (factor == 1) return image;
    const cv::Mat whole =
        image(cv::Rect(0, 0, image.cols / factor * factor, image.rows / factor * factor));
    cv::Mat shrunk;
    cv::resize(whole, shrunk, cv::Size(whole.cols / factor, whole.rows / factor), 0, 0,
               cv::INTER_AREA);
    return shrunk;
}

// Grey or BGR, without alpha.
cv::Mat WithoutAlpha(const cv::Mat& image) {
    cv::Mat out;
    switch (image.channels()) {
        case 1:
        case 3:
            return image;
        case 4:
            cv::cvtColor(image, out, cv::COLOR_BGRA2BGR);
            return out;
        default:
            cv::extractChannel(image, out, 0);
            return out;
    }
}

// 8 bits per channel. Depths without a natural full scale are stretched from
// their smallest to their largest finite value.
cv::Mat EightBit(const cv::Mat& image) {
    if (image.depth() == CV_8U) return image;
    cv::Mat out;
    if (image.depth() == CV_16U) {
        image.convertTo(out, CV_8U, 1.0 / 257.0);
        return out;
    }
    cv::Mat values;
    image.convertTo(values, CV_32F);
    double low = 0.0;
    double high = 0.0;
    bool any = false;
    values.forEach<float>([](float& value, const int*) {
        if (!std::isfinite(value)) value = 0.0f;
    });
    cv::minMaxLoc(values.reshape(1), &low, &high);
    any = high > low;
    if (!any) return cv::Mat::zeros(image.size(), CV_MAKETYPE(CV_8U, image.channels()));
    values.convertTo(out, CV_8U, 255.0 / (high - low), -low * 255.0 / (high - low));
    return out;
}

bool NativeDepth(int depth) { return depth == CV_8U || depth == CV_16U || depth == CV_32F; }

cv::Mat Grey(const cv::Mat& image) {
    if (image.channels() == 1) return image;
    cv::Mat grey;
    cv::cvtColor(image, grey, cv::COLOR_BGR2GRAY);
    return grey;
}

struct Levels {
    cv::Mat detailGrey;     // CV_8UC1
    cv::Mat working;        // CV_8UC1 or CV_8UC3
    int detailFactor = 1;   // input pixels per detail pixel
    int workingFactor = 1;  // detail pixels per working pixel
};

int FactorFor(const cv::Size& size, int longSide) {
    const int longest = std::max(size.width, size.height);
    return std::max(1, (longest + longSide - 1) / longSide);
}

Levels MakeLevels(const cv::Mat& image) {
    Levels levels;
    cv::Mat source = image;
    if (!NativeDepth(image.depth())) image.convertTo(source, CV_32F);
    levels.detailFactor = FactorFor(source.size(), kDetailLongSide);
    const cv::Mat detail = EightBit(WithoutAlpha(Shrunk(source, levels.detailFactor)));
    levels.detailGrey = Grey(detail);
    levels.workingFactor = FactorFor(detail.size(), kWorkingLongSide);
    levels.working = Shrunk(detail, levels.workingFactor);
    return levels;
}

// A point of a copy `factor` times smaller, on the larger one (pixel centres
// kept in place).
cv::Point2d Finer(const cv::Point2d& point, int factor) {
    return (point + cv::Point2d(0.5, 0.5)) * factor - cv::Point2d(0.5, 0.5);
}

// ---------------------------------------------------------------------------
// Edges on the working copy.

double Cross(const cv::Point2d& a, const cv::Point2d& b) { return a.x * b.y - a.y * b.x; }
double Length(const cv::Point2d& v) { return std::hypot(v.x, v.y); }

constexpr uchar kNoEdge = 255;
constexpr int kVoteSpread = 7;

// Edge strength and direction from the colour structure tensor, smoothed
// over a few pixels: along the border between two textures the gradient of
// single pixels points every way, the tensor's main direction does not. The
// thin edges are where the strength is at its peak across the edge; their
// direction is kept in whole degrees (0 to 179: the sign is dropped, so an
// edge may go from darker to lighter and back).
struct EdgeField {
    cv::Mat magnitude;  // CV_32F
    cv::Mat degrees;    // CV_8U: of the gradient, mod 180; kNoEdge off the edges
    float threshold = 0.0f;

    bool Inside(const cv::Point& p) const {
        return p.x >= 1 && p.y >= 1 && p.x < magnitude.cols - 1 && p.y < magnitude.rows - 1;
    }
};

EdgeField MakeEdgeField(const cv::Mat& image, double pre, double textureSigma, int textureCopies, double sigma) {
    cv::Mat working;
    if (pre > 0) cv::GaussianBlur(image, working, cv::Size(), pre); else working = image;
    if (textureSigma > 0) {
        // Where a busy texture meets a calm surface the brightness need not
        // change at all: how busy the image is, smoothed, is one more channel.
        cv::Mat grey = Grey(image);
        cv::Mat gx;
        cv::Mat gy;
        cv::Sobel(grey, gx, CV_32F, 1, 0, 3);
        cv::Sobel(grey, gy, CV_32F, 0, 1, 3);
        cv::Mat busy;
        cv::magnitude(gx, gy, busy);
        cv::GaussianBlur(busy, busy, cv::Size(), textureSigma);
        cv::Mat busy8;
        busy.convertTo(busy8, CV_8U, 0.5);
        std::vector<cv::Mat> planes;
        cv::split(working, planes);
        for (int k = 0; k < textureCopies; ++k) planes.push_back(busy8);
        cv::merge(planes, working);
    }
    cv::Mat sx;
    cv::Mat sy;
    cv::Sobel(working, sx, CV_32F, 1, 0, 3);
    cv::Sobel(working, sy, CV_32F, 0, 1, 3);
    const int channels = working.channels();
    cv::Mat xx(working.size(), CV_32F);
    cv::Mat xy(working.size(), CV_32F);
    cv::Mat yy(working.size(), CV_32F);
    for (int y = 0; y < working.rows; ++y) {
        const float* gx = sx.ptr<float>(y);
        const float* gy = sy.ptr<float>(y);
        float* oxx = xx.ptr<float>(y);
        float* oxy = xy.ptr<float>(y);
        float* oyy = yy.ptr<float>(y);
        for (int x = 0; x < working.cols; ++x) {
            float a = 0.0f;
            float b = 0.0f;
            float c = 0.0f;
            for (int k = 0; k < channels; ++k) {
                const float u = gx[x * channels + k];
                const float v = gy[x * channels + k];
                a += u * u;
                b += u * v;
                c += v * v;
            }
            oxx[x] = a / channels;
            oxy[x] = b / channels;
            oyy[x] = c / channels;
        }
    }
    cv::GaussianBlur(xx, xx, cv::Size(), sigma);
    cv::GaussianBlur(xy, xy, cv::Size(), sigma);
    cv::GaussianBlur(yy, yy, cv::Size(), sigma);

    EdgeField field;
    field.magnitude.create(working.size(), CV_32F);
    cv::Mat angles(working.size(), CV_32F);
    for (int y = 0; y < working.rows; ++y) {
        const float* a = xx.ptr<float>(y);
        const float* b = xy.ptr<float>(y);
        const float* c = yy.ptr<float>(y);
        float* m = field.magnitude.ptr<float>(y);
        float* angle = angles.ptr<float>(y);
        for (int x = 0; x < working.cols; ++x) {
            const float half = 0.5f * (a[x] - c[x]);
            const float largest = 0.5f * (a[x] + c[x]) + std::sqrt(half * half + b[x] * b[x]);
            m[x] = std::sqrt(std::max(0.0f, largest));
            float degrees = 0.5f * std::atan2(2.0f * b[x], a[x] - c[x]) * 180.0f / kPi;
            if (degrees < 0.0f) degrees += 180.0f;
            angle[x] = degrees;
        }
    }
    // Strong enough to be more than noise, and more than the typical edge of
    // a busy image.
    std::vector<float> magnitudes(field.magnitude.begin<float>(), field.magnitude.end<float>());
    const auto median = magnitudes.begin() + magnitudes.size() / 2;
    std::nth_element(magnitudes.begin(), median, magnitudes.end());
    field.threshold = std::clamp(0.5f * *median, 10.0f, 30.0f);

    field.degrees = cv::Mat(working.size(), CV_8U, cv::Scalar(kNoEdge));
    for (int y = 1; y + 1 < working.rows; ++y) {
        const float* m = field.magnitude.ptr<float>(y);
        const float* angle = angles.ptr<float>(y);
        uchar* out = field.degrees.ptr<uchar>(y);
        for (int x = 1; x + 1 < working.cols; ++x) {
            if (m[x] < field.threshold) continue;
            const int degrees = static_cast<int>(std::lround(angle[x])) % 180;
            // The two neighbours across the edge, in one of four directions.
            const int sector = ((degrees + 22) % 180) / 45;
            const int ox[4] = {1, 1, 0, -1};
            const int oy[4] = {0, 1, 1, 1};
            const float before = field.magnitude.at<float>(y - oy[sector], x - ox[sector]);
            const float after = field.magnitude.at<float>(y + oy[sector], x + ox[sector]);
            if (m[x] > before && m[x] >= after) out[x] = static_cast<uchar>(degrees);
        }
    }
    return field;
}

// ---------------------------------------------------------------------------
// Straight lines: peaks of a Hough transform in which each edge pixel votes
// only near its own direction, then fitted to the edge pixels along them.

// An infinite line fitted to edge pixels, with the stretches of it that they
// cover.
struct Line {
    cv::Point2d point;      // the centroid of its edge pixels
    cv::Point2d direction;  // unit
    double mass = 0.0;      // how many edge pixels lie on it
    std::vector<std::pair<double, double>> spans;  // along `direction` from `point`
    bool crowdedOut = false;  // left out for its direction's share or the count

    double Distance(const cv::Point2d& p) const { return std::abs(Cross(direction, p - point)); }
    double Position(const cv::Point2d& p) const { return (p - point).dot(direction); }
};

struct FittedLine {
    cv::Point2d point;
    cv::Point2d direction;
};

// The stretches of the line its edge pixels cover; gaps of up to 3 px are bridged.
void SetSpans(Line& line, const std::vector<cv::Point2d>& pixels) {
    std::vector<double> positions;
    positions.reserve(pixels.size());
    for (const cv::Point2d& p : pixels) positions.push_back(line.Position(p));
    std::sort(positions.begin(), positions.end());
    for (const double t : positions) {
        if (!line.spans.empty() && t <= line.spans.back().second + 3.0) {
            line.spans.back().second = t;
        } else {
            line.spans.emplace_back(t, t);
        }
    }
}

// Weighted total least squares.
std::optional<FittedLine> FitPoints(const std::vector<cv::Point2d>& points,
                                    const std::vector<double>& weights) {
    double mass = 0.0;
    cv::Point2d centre(0.0, 0.0);
    for (std::size_t k = 0; k < points.size(); ++k) {
        mass += weights[k];
        centre += points[k] * weights[k];
    }
    if (mass <= 0.0) return std::nullopt;
    centre /= mass;
    double xx = 0.0;
    double xy = 0.0;
    double yy = 0.0;
    for (std::size_t k = 0; k < points.size(); ++k) {
        const cv::Point2d m = points[k] - centre;
        xx += weights[k] * m.x * m.x;
        xy += weights[k] * m.x * m.y;
        yy += weights[k] * m.y * m.y;
    }
    const double angle = 0.5 * std::atan2(2.0 * xy, xx - yy);
    return FittedLine{centre, {std::cos(angle), std::sin(angle)}};
}

bool SameDirection(int a, int b, int tolerance) {
    const int d = std::abs(a - b) % 180;
    return std::min(d, 180 - d) <= tolerance;
}

// The edge pixels within `reach` of the line through `point` along `d` whose
// direction agrees with it.
std::vector<cv::Point2d> PixelsAlong(const EdgeField& field, const cv::Point2d& point,
                                     const cv::Point2d& d, double reach) {
    const cv::Point2d n(-d.y, d.x);
    double normalDegrees = std::atan2(n.y, n.x) * 180.0 / kPi;
    if (normalDegrees < 0.0) normalDegrees += 180.0;
    const int expected = static_cast<int>(std::lround(normalDegrees)) % 180;
    const double span = Length(cv::Point2d(field.magnitude.cols, field.magnitude.rows));
    std::vector<cv::Point2d> pixels;
    const int within = static_cast<int>(std::ceil(reach));
    for (double t = -span; t <= span; t += 1.0) {
        const cv::Point2d c = point + d * t;
        if (c.x < -reach || c.y < -reach || c.x > field.magnitude.cols + reach ||
            c.y > field.magnitude.rows + reach) {
            continue;
        }
        for (int step = 0; step <= 2 * within; ++step) {
            // Nearest first: 0, -1, +1, -2, +2.
            const int o = (step % 2 == 0 ? 1 : -1) * ((step + 1) / 2);
            const cv::Point q(cvRound(c.x + n.x * o), cvRound(c.y + n.y * o));
            if (!field.Inside(q)) continue;
            const uchar degrees = field.degrees.at<uchar>(q);
            if (degrees == kNoEdge || !SameDirection(degrees, expected, kVoteSpread)) continue;
            pixels.emplace_back(q.x, q.y);
            break;
        }
    }
    return pixels;
}

// The peaks that their direction's share or the count left out go to
// `crowded` (up to as many again), for a second look by other evidence.
std::vector<Line> FindLines(const EdgeField& field, double minMass, std::size_t count,
                            std::vector<Line>* crowded = nullptr) {
    const cv::Size size = field.degrees.size();
    const int offset = static_cast<int>(std::ceil(std::hypot(size.width, size.height))) + 1;
    const int bins = 2 * offset + 1;
    std::vector<double> cosines(180);
    std::vector<double> sines(180);
    for (int a = 0; a < 180; ++a) {
        cosines[a] = std::cos(a * kPi / 180.0);
        sines[a] = std::sin(a * kPi / 180.0);
    }
    cv::Mat votes(180, bins, CV_32S, cv::Scalar(0));
    // Along an edge between two textures the gradient's direction wanders by
    // several degrees: each pixel votes for every line within that of its own.
    for (int y = 0; y < size.height; ++y) {
        const uchar* row = field.degrees.ptr<uchar>(y);
        for (int x = 0; x < size.width; ++x) {
            if (row[x] == kNoEdge) continue;
            for (int d = -kVoteSpread; d <= kVoteSpread; ++d) {
                const int a = (row[x] + d + 180) % 180;
                const int rho = cvRound(x * cosines[a] + y * sines[a]) + offset;
                ++votes.at<int>(a, rho);
            }
        }
    }

    struct Peak {
        int votes;
        int angle;
        int rho;
    };
    std::vector<Peak> peaks;
    const int least = static_cast<int>(minMass);
    for (int a = 0; a < 180; ++a) {
        for (int r = 1; r + 1 < bins; ++r) {
            const int v = votes.at<int>(a, r);
            if (v < least) continue;
            bool peak = true;
            for (int da = -1; da <= 1 && peak; ++da) {
                const int b = (a + da + 180) % 180;
                for (int dr = -1; dr <= 1 && peak; ++dr) {
                    if (da == 0 && dr == 0) continue;
                    const int w = votes.at<int>(b, r + dr);
                    peak = v > w || (v == w && (da > 0 || (da == 0 && dr > 0)));
                }
            }
            if (peak) peaks.push_back({v, a, r - offset});
        }
    }
    std::stable_sort(peaks.begin(), peaks.end(),
                     [](const Peak& l, const Peak& r) { return l.votes > r.votes; });

    // One peak per line: voting near its own direction spreads each line
    // over a few degrees.
    std::vector<Peak> distinct;
    std::vector<Peak> left;
    // A brick wall or a ruled page gives dozens of lines of one direction;
    // each direction gets its share, so a sheet's sides are not crowded out.
    std::array<std::size_t, 18> perDirection{};
    const std::size_t share = std::max<std::size_t>(4, count / 6);
    const auto nearAny = [](const std::vector<Peak>& kept, const Peak& peak) {
        return std::any_of(kept.begin(), kept.end(), [&](const Peak& k) {
            const int d = std::abs(k.angle - peak.angle);
            if (d <= 4) return std::abs(k.rho - peak.rho) <= 4;
            if (180 - d <= 4) return std::abs(k.rho + peak.rho) <= 4;  // across 0 and 180
            return false;
        });
    };
    for (const Peak& peak : peaks) {
        const bool full = distinct.size() == 2 * count;
        if (!full && perDirection[peak.angle / 10] < share) {
            if (!nearAny(distinct, peak)) {
                distinct.push_back(peak);
                ++perDirection[peak.angle / 10];
            }
            continue;
        }
        if (!crowded) {
            if (full) break;
            continue;
        }
        if (full && left.size() == 2 * count) break;
        if (left.size() < 2 * count && !nearAny(distinct, peak) && !nearAny(left, peak)) left.push_back(peak);
    }

    const auto fitted = [&](const std::vector<Peak>& from) {
        std::vector<Line> lines;
        for (const Peak& peak : from) {
            const cv::Point2d n(cosines[peak.angle], sines[peak.angle]);
            const cv::Point2d d(-n.y, n.x);
            std::vector<cv::Point2d> pixels = PixelsAlong(field, n * peak.rho, d, 2.0);
            if (pixels.size() < minMass) continue;
            std::optional<FittedLine> fit =
                FitPoints(pixels, std::vector<double>(pixels.size(), 1.0));
            pixels = PixelsAlong(field, fit->point, fit->direction, 1.5);
            if (pixels.size() < minMass) continue;
            fit = FitPoints(pixels, std::vector<double>(pixels.size(), 1.0));
            Line line;
            line.point = fit->point;
            line.direction = fit->direction;
            line.mass = static_cast<double>(pixels.size());
            SetSpans(line, pixels);
            lines.push_back(line);
        }
        std::stable_sort(lines.begin(), lines.end(),
                         [](const Line& l, const Line& r) { return l.mass > r.mass; });
        return lines;
    };
    if (crowded) *crowded = fitted(left);
    return fitted(distinct);
}

// How much of [from, to] along the line its edge pixels cover, 0 to 1.
double Coverage(const Line& line, double from, double to) {
    if (to < from) std::swap(from, to);
    if (to - from <= 0.0) return 0.0;
    double covered = 0.0;
    for (const auto& span : line.spans) {
        covered += std::max(0.0, std::min(to, span.second + 0.5) - std::max(from, span.first - 0.5));
    }
    return covered / (to - from);
}

// The share of `length` pixels from `at` along `way` that the line covers,
// after a short gap that rounded corners leave bare.
double Arm(const Line& line, double at, int way, double length) {
    const double gap = 2.0;
    return way > 0 ? Coverage(line, at + gap, at + gap + length)
                   : Coverage(line, at - gap - length, at - gap);
}

// The lines to build quadrilaterals from: the longest, each standing for the
// weaker lines right beside it (both edges of a printed rule, of a frame).
std::vector<Line> Strongest(const std::vector<Line>& lines, double nearby, std::size_t count) {
    const double maxSine = std::sin(3.0 * kPi / 180.0);
    std::vector<Line> kept;
    std::array<std::size_t, 18> perDirection{};
    const std::size_t share = std::max<std::size_t>(4, count / 6);
    for (const Line& line : lines) {
        if (kept.size() == count) break;
        double degrees = std::atan2(line.direction.y, line.direction.x) * 180.0 / kPi;
        if (degrees < 0.0) degrees += 180.0;
        const int bucket = static_cast<int>(degrees / 10.0) % 18;
        if (perDirection[bucket] >= share) continue;
        const bool twin = std::any_of(kept.begin(), kept.end(), [&](const Line& k) {
            return std::abs(Cross(k.direction, line.direction)) <= maxSine &&
                   k.Distance(line.point) <= nearby;
        });
        if (!twin) {
            kept.push_back(line);
            ++perDirection[bucket];
        }
    }
    return kept;
}

std::optional<cv::Point2d> Intersection(const Line& l, const Line& m) {
    const double det = Cross(l.direction, m.direction);
    if (std::abs(det) < std::sin(20.0 * kPi / 180.0)) return std::nullopt;
    const double t = Cross(m.point - l.point, m.direction) / det;
    return l.point + l.direction * t;
}

// The pixel of the working copy nearest `p`, or the nearest on its border.
const uchar* PixelNear(const cv::Mat& working, const cv::Point2d& p) {
    const cv::Point q(std::clamp(cvRound(p.x), 0, working.cols - 1), std::clamp(cvRound(p.y), 0, working.rows - 1));
    return working.ptr<uchar>(q.y) + q.x * working.channels();
}

// How many pixels of the stretches a line's edge pixels cover show a colour
// step across it (3 and 6 pixels to either side): the lines that a textured
// surface crowded out are ranked by it.
double SteppedLength(const cv::Mat& working, const Line& line) {
    constexpr int kChunk = 8;
    const int channels = working.channels();
    const cv::Point2d n(-line.direction.y, line.direction.x);
    double stepped = 0.0;
    for (const auto& span : line.spans) {
        for (double from = span.first; from + kChunk <= span.second + 1.0; from += kChunk) {
            std::array<double, 3> difference{};
            for (int t = 0; t < kChunk; ++t) {
                const cv::Point2d p = line.point + line.direction * (from + t);
                for (const double depth : {3.0, 6.0}) {
                    const uchar* a = PixelNear(working, p + n * depth);
                    const uchar* b = PixelNear(working, p - n * depth);
                    for (int ch = 0; ch < 3; ++ch) {
                        const int m = channels == 3 ? ch : 0;
                        difference[ch] += static_cast<double>(a[m]) - b[m];
                    }
                }
            }
            double largest = 0.0;
            for (const double sum : difference) largest = std::max(largest, std::abs(sum) / (2 * kChunk));
            if (largest >= kLeastStep) stepped += kChunk;
        }
    }
    return stepped;
}

// A textured surface fills every direction with its own lines and crowds
// out a sheet's faint side: of the lines left out (`crowded`, and those of
// `all` that `lines` lacks), the ones with the most colour step across them
// join `lines`, at its end.
void AddCrowdedOut(std::vector<Line>& lines, std::vector<Line> crowded, const std::vector<Line>& all,
                   const cv::Mat& working, double diagonal) {
    for (const Line& line : all) {
        const bool kept = std::any_of(lines.begin(), lines.end(), [&](const Line& k) {
            return k.point == line.point && k.direction == line.direction;
        });
        if (!kept) crowded.push_back(line);
    }
    std::vector<std::pair<double, std::size_t>> ranked;
    for (std::size_t k = 0; k < crowded.size(); ++k) {
        const double stepped = SteppedLength(working, crowded[k]);
        if (stepped >= 0.03 * diagonal) ranked.emplace_back(stepped, k);
    }
    std::stable_sort(ranked.begin(), ranked.end(), [](const auto& l, const auto& r) { return l.first > r.first; });
    const double maxSine = std::sin(3.0 * kPi / 180.0);
    std::size_t added = 0;
    for (const auto& [stepped, k] : ranked) {
        if (added == kCrowdedOutLines) break;
        const Line& line = crowded[k];
        const bool twin = std::any_of(lines.begin(), lines.end(), [&](const Line& m) {
            return std::abs(Cross(m.direction, line.direction)) <= maxSine && m.Distance(line.point) <= 0.006 * diagonal;
        });
        if (!twin) {
            lines.push_back(line);
            lines.back().crowdedOut = true;
            ++added;
        }
    }
}

// ---------------------------------------------------------------------------
// Candidate quadrilaterals: two pairs of roughly opposite lines.

using Corners = std::array<cv::Point2d, 4>;

struct Candidate {
    Corners corners;  // in cyclic order
    std::array<int, 4> lines;
    double area = 0.0;
    double prescore = 0.0;
    double score = 0.0;  // 0 to 1
    double cornerSupport = 0.0;  // the least, over the corners, of a side's edge near it; 0 to 1
};

double Area(const Corners& c) {
    double twice = 0.0;
    for (int k = 0; k < 4; ++k) twice += Cross(c[k], c[(k + 1) % 4]);
    return std::abs(twice) / 2.0;
}

// Convex, inside the image (with a little room), with sides and corner
// angles a photographed sheet can have.
bool Plausible(const Corners& c, const cv::Size& size, double diagonal) {
    const double margin = 0.01 * diagonal;
    for (const cv::Point2d& p : c) {
        if (p.x < -margin || p.y < -margin || p.x > size.width - 1 + margin ||
            p.y > size.height - 1 + margin) {
            return false;
        }
    }
    // An edge along the image's border is the border of the picture (a scan's
    // frame, a camera's dark margin), not of an object in it.
    const auto hugs = [&](const cv::Point2d& p, const cv::Point2d& q) {
        const double near = 0.01 * diagonal;
        return (p.x < near && q.x < near) || (p.y < near && q.y < near) ||
               (p.x > size.width - 1 - near && q.x > size.width - 1 - near) ||
               (p.y > size.height - 1 - near && q.y > size.height - 1 - near);
    };
    for (int k = 0; k < 4; ++k) {
        if (hugs(c[k], c[(k + 1) % 4])) return false;
    }
    int sign = 0;
    const double minCos = std::cos(30.0 * kPi / 180.0);
    for (int k = 0; k < 4; ++k) {
        const cv::Point2d in = c[k] - c[(k + 3) % 4];
        const cv::Point2d out = c[(k + 1) % 4] - c[k];
        const double lengthIn = Length(in);
        const double lengthOut = Length(out);
        if (lengthOut < 0.06 * diagonal) return false;
        const int turn = Cross(in, out) > 0 ? 1 : -1;
        if (sign != 0 && turn != sign) return false;
        sign = turn;
        if (std::abs(in.dot(out)) / (lengthIn * lengthOut) > minCos) return false;
    }
    return true;
}

// From the lines alone: how much of each side they cover, and how little of
// the stretches beyond the corners.
double Prescore(const std::vector<Line>& lines, const Candidate& q, double beyond) {
    double product = 1.0;
    for (int k = 0; k < 4; ++k) {
        const Line& line = lines[q.lines[k]];
        const double a = line.Position(q.corners[k]);
        const double b = line.Position(q.corners[(k + 1) % 4]);
        const int way = b > a ? 1 : -1;
        const double inset = 0.03 * (b - a);
        const double covered = Coverage(line, a + inset, b - inset);
        if (covered < 0.15) return 0.0;
        product *= covered;
        product *= 1.0 - 0.5 * Arm(line, a, -way, beyond);
        product *= 1.0 - 0.5 * Arm(line, b, way, beyond);
    }
    return std::pow(product, 0.25);
}

// Where two lines meet as the corner of a sheet: each has an edge leaving
// the corner on one side (`way` along its direction) and little beyond it.
struct Corner {
    std::array<int, 2> lines;
    std::array<int, 2> ways;  // +1 or -1 along each line's direction
    std::array<double, 2> at;  // the corner's position along each line
    cv::Point2d point;

    int Slot(int line) const { return lines[0] == line ? 0 : lines[1] == line ? 1 : -1; }
};

std::vector<Corner> FindCorners(const std::vector<Line>& lines, const cv::Size& size) {
    const double diagonal = std::hypot(size.width, size.height);
    const double arm = 0.06 * diagonal;
    const double margin = 0.01 * diagonal;
    std::vector<Corner> corners;
    const int count = static_cast<int>(lines.size());
    for (int i = 0; i < count; ++i) {
        for (int j = i + 1; j < count; ++j) {
            if (std::abs(Cross(lines[i].direction, lines[j].direction)) < 0.5) continue;
            const std::optional<cv::Point2d> p = Intersection(lines[i], lines[j]);
            if (!p || p->x < -margin || p->y < -margin || p->x > size.width - 1 + margin ||
                p->y > size.height - 1 + margin) {
                continue;
            }
            const double ti = lines[i].Position(*p);
            const double tj = lines[j].Position(*p);
            for (const int wi : {1, -1}) {
                if (Arm(lines[i], ti, wi, arm) < 0.4 || Arm(lines[i], ti, -wi, arm / 2) > 0.5) {
                    continue;
                }
                for (const int wj : {1, -1}) {
                    if (Arm(lines[j], tj, wj, arm) < 0.4 ||
                        Arm(lines[j], tj, -wj, arm / 2) > 0.5) {
                        continue;
                    }
                    corners.push_back({{i, j}, {wi, wj}, {ti, tj}, *p});
                }
            }
        }
    }
    return corners;
}

// The quadrilateral whose side k runs from corner k to corner k + 1 on line
// `sides[k]`, with its area and prescore; none where two sides do not meet or
// the shape could not be a sheet's, or is smaller than `minArea`.
std::optional<Candidate> QuadOnLines(const std::vector<Line>& lines, const std::array<int, 4>& sides,
                                     const cv::Size& size, double minArea) {
    const double diagonal = std::hypot(size.width, size.height);
    Candidate q;
    q.lines = sides;
    for (int k = 0; k < 4; ++k) {
        const std::optional<cv::Point2d> p = Intersection(lines[sides[(k + 3) % 4]], lines[sides[k]]);
        if (!p) return std::nullopt;
        q.corners[k] = *p;
    }
    if (!Plausible(q.corners, size, diagonal)) return std::nullopt;
    q.area = Area(q.corners);
    if (q.area < minArea) return std::nullopt;
    q.prescore = Prescore(lines, q, 0.04 * diagonal);
    return q;
}

std::vector<Candidate> MakeCandidates(const std::vector<Line>& lines, const cv::Size& size) {
    const double diagonal = std::hypot(size.width, size.height);
    const double minArea = 0.04 * size.area();
    const double minSide = 0.06 * diagonal;
    const std::vector<Corner> corners = FindCorners(lines, size);
    std::vector<std::vector<int>> byLine(lines.size());
    for (int c = 0; c < static_cast<int>(corners.size()); ++c) {
        byLine[corners[c].lines[0]].push_back(c);
        byLine[corners[c].lines[1]].push_back(c);
    }

    std::vector<Candidate> candidates;
    // Side k of a candidate runs from corner k to corner k + 1 on line k.
    const auto offer = [&](const std::array<int, 4>& sides) {
        const std::optional<Candidate> q = QuadOnLines(lines, sides, size, minArea);
        if (q && q->prescore > 0.0) candidates.push_back(*q);
    };
    // The corner `next` on `line` that lies `way` of position `from` and
    // turns back towards it.
    const auto following = [&](int line, int way, double from, const auto& visit) {
        for (const int c : byLine[line]) {
            const Corner& corner = corners[c];
            const int slot = corner.Slot(line);
            if (corner.ways[slot] != -way) continue;
            if ((corner.at[slot] - from) * way < minSide) continue;
            visit(corner, 1 - slot);
        }
    };

    for (const Corner& a : corners) {
        for (int out = 0; out < 2; ++out) {
            const int in = 1 - out;
            const int inLine = a.lines[in];
            // Two corners in a row: their three lines, and any fourth.
            following(a.lines[out], a.ways[out], a.at[out], [&](const Corner& b, int bNext) {
                const int nextLine = b.lines[bNext];
                if (nextLine == inLine) return;
                // Three corners in a row: the fourth where the lines meet.
                following(nextLine, b.ways[bNext], b.at[bNext], [&](const Corner& c, int cNext) {
                    const int lastLine = c.lines[cNext];
                    if (lastLine == inLine || lastLine == a.lines[out]) return;
                    offer({a.lines[out], nextLine, lastLine, inLine});
                });
                for (int m = 0; m < static_cast<int>(lines.size()); ++m) {
                    if (m == inLine || m == a.lines[out] || m == nextLine) continue;
                    if (std::abs(Cross(lines[m].direction, lines[nextLine].direction)) < 0.5 ||
                        std::abs(Cross(lines[m].direction, lines[inLine].direction)) < 0.5) {
                        continue;
                    }
                    offer({a.lines[out], nextLine, m, inLine});
                }
            });
        }
    }

    // Two opposite corners, each opening towards the other.
    const auto opensTowards = [&](const Corner& c, const cv::Point2d& target) {
        const cv::Point2d u = lines[c.lines[0]].direction * c.ways[0];
        const cv::Point2d v = lines[c.lines[1]].direction * c.ways[1];
        const cv::Point2d t = target - c.point;
        const double det = Cross(u, v);
        const double alpha = Cross(t, v) / det;
        const double beta = Cross(u, t) / det;
        return alpha > minSide && beta > minSide;
    };
    for (std::size_t i = 0; i < corners.size(); ++i) {
        const Corner& a = corners[i];
        for (std::size_t j = i + 1; j < corners.size(); ++j) {
            const Corner& c = corners[j];
            if (c.Slot(a.lines[0]) >= 0 || c.Slot(a.lines[1]) >= 0) continue;
            if (!opensTowards(a, c.point) || !opensTowards(c, a.point)) continue;
            const int l0 = a.lines[0];
            const int l1 = a.lines[1];
            const bool firstOpposite = std::abs(Cross(lines[c.lines[0]].direction, lines[l0].direction)) <
                                       std::abs(Cross(lines[c.lines[1]].direction, lines[l0].direction));
            const int lx = firstOpposite ? c.lines[0] : c.lines[1];
            const int ly = firstOpposite ? c.lines[1] : c.lines[0];
            offer({l1, lx, ly, l0});
        }
    }
    // And any four of the longest lines, for corners too faint to be found.
    const int longest = std::min<int>(static_cast<int>(lines.size()), 30);
    for (int a = 0; a < longest; ++a) {
        for (int b = a + 1; b < longest; ++b) {
            if (std::abs(Cross(lines[a].direction, lines[b].direction)) > 0.7) continue;
            for (int c = 0; c < longest; ++c) {
                if (c == a || c == b) continue;
                for (int d = c + 1; d < longest; ++d) {
                    if (d == a || d == b || c < a) continue;
                    if (std::abs(Cross(lines[c].direction, lines[d].direction)) > 0.7) continue;
                    offer({c, b, d, a});
                }
            }
        }
    }
    std::stable_sort(candidates.begin(), candidates.end(),
                     [](const Candidate& l, const Candidate& r) {
                         return l.prescore > r.prescore;
                     });
    return candidates;
}

// ---------------------------------------------------------------------------
// Scoring.

// The evidence along one line, position by position (one pixel apart), as
// running sums, so that any stretch of it is measured in constant time.
struct Profile {
    double first = 0.0;  // the position along the line of index 0
    int count = 0;       // positions inside the image
    std::vector<float> edge;     // an edge across the line within 2 pixels
    std::vector<float> clutter;  // the same on the lines parallel 6 and 9 pixels away
    std::array<std::vector<float>, 3> left;   // the colour 2 to 5 pixels to one side
    std::array<std::vector<float>, 3> right;  // and to the other

    // The sum of `sums` over the positions from `from` to `to` inside the image.
    double Sum(const std::vector<float>& sums, double from, double to) const {
        if (to < from) std::swap(from, to);
        const int a = std::clamp(static_cast<int>(std::lround(from - first)), 0, count);
        const int b = std::clamp(static_cast<int>(std::lround(to - first)), 0, count);
        return sums[b] - sums[a];
    }
    int Inside(double from, double to) const {
        if (to < from) std::swap(from, to);
        const int a = std::clamp(static_cast<int>(std::lround(from - first)), 0, count);
        const int b = std::clamp(static_cast<int>(std::lround(to - first)), 0, count);
        return b - a;
    }
    // The share of the stretch with an edge; stretches outside the image
    // count as bare.
    double Support(double from, double to) const {
        const double length = std::abs(to - from);
        return length < 1.0 ? 0.0 : Sum(edge, from, to) / length;
    }
    double Clutter(double from, double to) const {
        const double length = std::abs(to - from);
        return length < 1.0 ? 0.0 : Sum(clutter, from, to) / length;
    }
};

bool EdgeAcross(const EdgeField& field, const cv::Point2d& p, const cv::Point2d& n,
                int expected) {
    for (int o = -2; o <= 2; ++o) {
        const cv::Point q(cvRound(p.x + n.x * o), cvRound(p.y + n.y * o));
        if (!field.Inside(q)) continue;
        const uchar degrees = field.degrees.at<uchar>(q);
        if (degrees != kNoEdge && SameDirection(degrees, expected, 12)) return true;
    }
    return false;
}

Profile MakeProfile(const EdgeField& field, const EdgeField& coarse, const cv::Mat& working, const Line& line) {
    const cv::Point2d d = line.direction;
    const cv::Point2d n(-d.y, d.x);
    double normalDegrees = std::atan2(n.y, n.x) * 180.0 / kPi;
    if (normalDegrees < 0.0) normalDegrees += 180.0;
    const int expected = static_cast<int>(std::lround(normalDegrees)) % 180;
    const cv::Size size = working.size();
    const double span = std::hypot(size.width, size.height);
    const int channels = working.channels();

    Profile profile;
    // The stretch of the line inside the image.
    double low = -span;
    double high = span;
    const double origin[2] = {line.point.x, line.point.y};
    const double step[2] = {d.x, d.y};
    const double limit[2] = {size.width - 1.0, size.height - 1.0};
    for (int axis = 0; axis < 2; ++axis) {
        if (std::abs(step[axis]) < 1e-9) {
            if (origin[axis] < 0.0 || origin[axis] > limit[axis]) return profile;
            continue;
        }
        double a = (0.0 - origin[axis]) / step[axis];
        double b = (limit[axis] - origin[axis]) / step[axis];
        if (a > b) std::swap(a, b);
        low = std::max(low, a);
        high = std::min(high, b);
    }
    if (high <= low) return profile;
    profile.first = std::ceil(low);
    profile.count = static_cast<int>(std::floor(high) - profile.first) + 1;
    const int count = profile.count;
    profile.edge.assign(count + 1, 0.0f);
    profile.clutter.assign(count + 1, 0.0f);
    for (int c = 0; c < 3; ++c) {
        profile.left[c].assign(count + 1, 0.0f);
        profile.right[c].assign(count + 1, 0.0f);
    }
    const double parallels[] = {-9.0, -6.0, 6.0, 9.0};
    for (int i = 0; i < count; ++i) {
        const cv::Point2d p = line.point + d * (profile.first + i);
        const auto across = [&](const cv::Point2d& at) {
            return EdgeAcross(field, at, n, expected) || (&coarse != &field && EdgeAcross(coarse, at, n, expected));
        };
        const float edge = across(p) ? 1.0f : 0.0f;
        float clutter = 0.0f;
        for (const double o : parallels) clutter += across(p + n * o) ? 0.25f : 0.0f;
        profile.edge[i + 1] = profile.edge[i] + edge;
        profile.clutter[i + 1] = profile.clutter[i] + clutter;
        float left[3] = {0, 0, 0};
        float right[3] = {0, 0, 0};
        for (const double o : {2.0, 3.5, 5.0}) {
            const cv::Point l(std::clamp(cvRound(p.x + n.x * o), 0, size.width - 1),
                              std::clamp(cvRound(p.y + n.y * o), 0, size.height - 1));
            const cv::Point r(std::clamp(cvRound(p.x - n.x * o), 0, size.width - 1),
                              std::clamp(cvRound(p.y - n.y * o), 0, size.height - 1));
            const uchar* pl = working.ptr<uchar>(l.y) + l.x * channels;
            const uchar* pr = working.ptr<uchar>(r.y) + r.x * channels;
            for (int c = 0; c < 3; ++c) {
                left[c] += pl[channels == 3 ? c : 0] / 3.0f;
                right[c] += pr[channels == 3 ? c : 0] / 3.0f;
            }
        }
        for (int c = 0; c < 3; ++c) {
            profile.left[c][i + 1] = profile.left[c][i] + left[c];
            profile.right[c][i + 1] = profile.right[c][i] + right[c];
        }
    }
    return profile;
}

// The share of eight stretches of [from, to] along which the colour on one
// side of the line differs from the other: the edge of one region against
// another, even where texture hides it from the gradient.
double RegionContrast(const Profile& profile, double from, double to) {
    const int chunks = 8;
    int differing = 0;
    for (int c = 0; c < chunks; ++c) {
        const double a = from + (to - from) * c / chunks;
        const double b = from + (to - from) * (c + 1) / chunks;
        const int inside = profile.Inside(a, b);
        if (inside == 0) continue;
        double difference = 0.0;
        for (int k = 0; k < 3; ++k) {
            difference = std::max(difference, std::abs(profile.Sum(profile.left[k], a, b) -
                                                        profile.Sum(profile.right[k], a, b)) /
                                                  inside);
        }
        if (difference >= 8.0) ++differing;
    }
    return static_cast<double>(differing) / chunks;
}

void Score(const std::vector<Profile>& profiles, const std::vector<Line>& lines,
           const cv::Size& size, Candidate& q) {
    const double diagonal = std::hypot(size.width, size.height);
    std::array<double, 4> relative{};
    std::array<double, 4> raw{};
    std::array<double, 4> region{};
    std::array<double, 4> corner{1.0, 1.0, 1.0, 1.0};
    std::array<double, 8> beyond{};
    double shortest = 1e9;
    for (int k = 0; k < 4; ++k) {
        const Line& line = lines[q.lines[k]];
        const Profile& profile = profiles[q.lines[k]];
        double a = line.Position(q.corners[k]);
        double b = line.Position(q.corners[(k + 1) % 4]);
        const double length = std::abs(b - a);
        shortest = std::min(shortest, length);
        const int way = b > a ? 1 : -1;
        const double inset = 0.04 * length * way;
        raw[k] = profile.Support(a + inset, b - inset);
        // Texture gives any line some support: count only what the side has
        // beyond the lines parallel to it nearby.
        const double clutter = profile.Clutter(a + inset, b - inset);
        relative[k] = std::clamp((raw[k] - clutter) / (1.0 - clutter), 0.0, 1.0);
        region[k] = RegionContrast(profile, a + inset, b - inset);
        const double reach = std::max(6.0, 0.12 * length) * way;
        const double gap = 0.02 * length * way;
        beyond[2 * k] = profile.Support(b + gap, b + reach);
        beyond[2 * k + 1] = profile.Support(a - reach, a - gap);
        // Each corner needs both of its sides near it: a side that runs on
        // past the object's own corner leaves the corner bare.
        const double near = 0.15 * length * way;
        corner[k] = std::min(corner[k], profile.Support(a + gap, a + near));
        corner[(k + 1) % 4] = std::min(corner[(k + 1) % 4], profile.Support(b - near, b - gap));
    }
    const auto least = [](const auto& values) { return *std::min_element(values.begin(), values.end()); };
    const auto most = [](const auto& values) { return *std::max_element(values.begin(), values.end()); };
    const auto mean = [](const auto& values) {
        return std::accumulate(values.begin(), values.end(), 0.0) / values.size();
    };
    // A logistic model whose weights were fitted on composites of photos laid
    // on other photos: the true sheet against every other candidate.
    const std::array<double, 13> features = {
        least(relative),      mean(relative), least(raw),    mean(raw),    least(corner),
        mean(corner),         mean(beyond),   most(beyond),  q.area / size.area(),
        q.prescore,           least(region),  mean(region),  shortest / diagonal};
    constexpr std::array<double, 13> kWeights = {1.9509,  0.0897,  2.7779,  -1.6217, -0.2569,
                                                 0.8819,  -1.6793, -1.5926, -2.3494, 7.0128,
                                                 0.5877,  2.6793,  9.3922};
    constexpr double kBias = -8.4751;
    double z = kBias;
    for (std::size_t f = 0; f < features.size(); ++f) z += kWeights[f] * features[f];
    q.score = 1.0 / (1.0 + std::exp(-z));
    q.cornerSupport = least(corner);
}

constexpr int kStepStretches = 8;

// The colour inside side `k` of `c` (from corner k to the next) less the
// colour outside it, `depths` pixels from it, in each of its stretches: the
// mean difference in each colour channel.
std::array<std::array<double, 3>, kStepStretches> StretchDifferences(const cv::Mat& working, const Corners& c,
                                                                     int k, std::initializer_list<double> depths) {
    constexpr int kSamples = 6;  // per stretch, at each depth
    const int channels = working.channels();
    const double sign = Cross(c[1] - c[0], c[2] - c[1]) > 0 ? 1.0 : -1.0;
    const cv::Point2d a = c[k];
    const cv::Point2d b = c[(k + 1) % 4];
    const cv::Point2d d = (b - a) / Length(b - a);
    const cv::Point2d inward = cv::Point2d(-d.y, d.x) * sign;
    std::array<std::array<double, 3>, kStepStretches> differences{};
    for (int j = 0; j < kStepStretches; ++j) {
        std::array<double, 3>& difference = differences[j];
        for (int t = 0; t < kSamples; ++t) {
            // The corners' ends are left out: a rounded or torn corner.
            const cv::Point2d p = a + (b - a) * (0.1 + 0.8 * (j + (t + 0.5) / kSamples) / kStepStretches);
            for (const double depth : depths) {
                const uchar* in = PixelNear(working, p + inward * depth);
                const uchar* out = PixelNear(working, p - inward * depth);
                for (int ch = 0; ch < 3; ++ch) {
                    const int m = channels == 3 ? ch : 0;
                    difference[ch] += static_cast<double>(in[m]) - out[m];
                }
            }
        }
        const double count = static_cast<double>(depths.size() * kSamples);
        for (double& sum : difference) sum /= count;
    }
    return differences;
}

// The colour step across side `k` of `c` in each of its stretches: the
// largest difference over the colour channels.
std::array<double, kStepStretches> SideSteps(const cv::Mat& working, const Corners& c, int k,
                                             std::initializer_list<double> depths) {
    std::array<double, kStepStretches> steps{};
    const auto differences = StretchDifferences(working, c, k, depths);
    for (int j = 0; j < kStepStretches; ++j) {
        for (const double difference : differences[j]) steps[j] = std::max(steps[j], std::abs(difference));
    }
    return steps;
}

// The least share, over the four sides, of the stretches along a side where
// the colour a few pixels inside differs from the colour a few pixels
// outside. A sheet's side has that step nearly all along; a quadrilateral of
// lines that happen to meet, across a sheet or a background, lacks it along
// some side.
double StepAcross(const cv::Mat& working, const Corners& c) {
    double least = 1.0;
    for (int k = 0; k < 4; ++k) {
        const auto steps = SideSteps(working, c, k, {3.0, 6.0, 9.0});
        const auto stepping = std::count_if(steps.begin(), steps.end(), [](double s) { return s >= kLeastStep; });
        least = std::min(least, static_cast<double>(stepping) / kStepStretches);
    }
    return least;
}

// How clearly side `k` of `c` parts inside from outside: the weakest of its
// stretches' colour steps, so that a line that leaves the edge for part of
// its length steps little there.
double Parting(const cv::Mat& working, const Corners& c, int k) {
    const auto steps = SideSteps(working, c, k, {2.0, 4.0});
    return *std::min_element(steps.begin(), steps.end());
}

// The corners of `best` with each side moved off a texture line a degree or
// two off the edge, crossing it or pivoting on a corner: of such lines, the
// one with the clearly stronger weakest step is the edge.
Corners OffTiltedLines(const cv::Mat& working, const std::vector<Profile>& profiles,
                       const std::vector<Line>& lines, const cv::Size& size, Candidate best) {
    const double diagonal = std::hypot(size.width, size.height);
    const double floor = best.score - kMostSideScoreLoss;
    for (int k = 0; k < 4; ++k) {
        const Line& side = lines[best.lines[k]];
        double most = Parting(working, best.corners, k);
        std::optional<Candidate> better;
        for (std::size_t m = 0; m < lines.size(); ++m) {
            if (lines[m].crowdedOut) continue;
            const double d0 = lines[m].Distance(best.corners[k]);
            const double d1 = lines[m].Distance(best.corners[(k + 1) % 4]);
            const double near = std::min(d0, d1);
            const double off = std::max(d0, d1);
            if (std::abs(Cross(lines[m].direction, side.direction)) > kSideTurn ||
                near > kLeastSideShift * diagonal || off < kLeastSideShift * diagonal ||
                off > kMostSideShift * diagonal) {
                continue;
            }
            std::array<int, 4> sides = best.lines;
            sides[k] = static_cast<int>(m);
            std::optional<Candidate> q = QuadOnLines(lines, sides, size, 0.0);
            if (!q) continue;
            Score(profiles, lines, size, *q);
            if (q->score < floor) continue;
            const double parting = Parting(working, q->corners, k);
            if (parting >= most + kLeastStep) {
                most = parting;
                better = q;
            }
        }
        if (better) {
            best.corners = better->corners;
            best.lines = better->lines;
        }
    }
    return best.corners;
}

// Along how many of eight stretches of side k of `c` the colour in a band 4
// to 16 pixels deep inside differs from that outside, the same way as over
// the whole side.
int SurfaceSteps(const cv::Mat& working, const Corners& c, int k) {
    const auto colour = StretchDifferences(working, c, k, {4.0, 8.0, 12.0, 16.0});
    std::array<double, 3> total{};
    for (const auto& stretch : colour) {
        for (int ch = 0; ch < 3; ++ch) total[ch] += stretch[ch];
    }
    int main = 0;
    for (int ch = 1; ch < 3; ++ch) {
        if (std::abs(total[ch]) > std::abs(total[main])) main = ch;
    }
    const double way = total[main] >= 0.0 ? 1.0 : -1.0;
    int steps = 0;
    for (const auto& stretch : colour) {
        if (stretch[main] * way >= kSurfaceStep) ++steps;
    }
    return steps;
}

// Whether side k of `c` parts two surfaces: a colour step along nearly all
// of it, one way. Right beside a line of a texture (a course of bricks, the
// squares of a chessboard) the step is often strong, but further off the
// same surface lies on both sides, or the step turns from square to square.
bool PartsSurfaces(const cv::Mat& working, const Corners& c, int k) {
    return SurfaceSteps(working, c, k) >= kSurfaceStretches;
}

// Whether `outer` holds all of `inner` (give or take `margin`), is clearly
// larger and shares at most `sharable` of its lines: a larger quadrilateral
// that keeps some of the sides is mostly a line of what lies around the sheet
// taken for one. One kept line is allowed only where `outer` is much larger:
// a framed picture whose frame runs along a side of the photo it is in.
bool Encloses(const Candidate& outer, const Candidate& inner, double margin, int sharable) {
    if (outer.area < 1.15 * inner.area) return false;
    int shared = 0;
    for (const int line : outer.lines) {
        if (std::find(inner.lines.begin(), inner.lines.end(), line) != inner.lines.end()) ++shared;
    }
    if (shared > sharable || (shared > 0 && outer.area < 1.5 * inner.area)) return false;
    const std::vector<cv::Point2f> polygon(outer.corners.begin(), outer.corners.end());
    for (const cv::Point2d& p : inner.corners) {
        if (cv::pointPolygonTest(polygon, cv::Point2f(p), true) < -margin) return false;
    }
    return true;
}

// The line through `a` and `b` (working pixels), moved onto the edge pixels
// along it where there are enough, with the stretches they cover.
Line SideLine(const EdgeField& field, const EdgeField& coarse, const cv::Point2d& a,
              const cv::Point2d& b) {
    Line line;
    line.point = (a + b) * 0.5;
    line.direction = (b - a) / Length(b - a);
    const double half = 0.5 * Length(b - a);
    const auto within = [&](const std::vector<cv::Point2d>& pixels, const Line& l, double share) {
        std::vector<cv::Point2d> kept;
        for (const cv::Point2d& p : pixels) {
            if (std::abs(l.Position(p)) <= share * half) kept.push_back(p);
        }
        return kept;
    };
    for (const EdgeField* f : {&field, &coarse}) {
        std::vector<cv::Point2d> pixels = within(PixelsAlong(*f, line.point, line.direction, 3.0), line, 0.85);
        if (pixels.size() < 0.4 * half) continue;
        std::optional<FittedLine> fit = FitPoints(pixels, std::vector<double>(pixels.size(), 1.0));
        Line moved = line;
        moved.point = fit->point;
        moved.direction = fit->direction;
        pixels = within(PixelsAlong(*f, moved.point, moved.direction, 1.5), moved, 0.85);
        if (pixels.size() < 0.4 * half) continue;
        fit = FitPoints(pixels, std::vector<double>(pixels.size(), 1.0));
        if (std::abs(Cross(fit->direction, line.direction)) > kSideTurn ||
            line.Distance(fit->point) > 3.0) {
            continue;
        }
        line.point = fit->point;
        line.direction = fit->direction;
        break;
    }
    const std::vector<cv::Point2d> pixels = PixelsAlong(field, line.point, line.direction, 1.5);
    line.mass = static_cast<double>(pixels.size());
    SetSpans(line, pixels);
    return line;
}

// ---------------------------------------------------------------------------
// Sub-pixel corners on the detail copy.

float Sample(const cv::Mat& grey, double x, double y) {
    x = std::clamp(x, 0.0, grey.cols - 1.0);
    y = std::clamp(y, 0.0, grey.rows - 1.0);
    const int x0 = std::min(static_cast<int>(x), grey.cols - 2 < 0 ? 0 : grey.cols - 2);
    const int y0 = std::min(static_cast<int>(y), grey.rows - 2 < 0 ? 0 : grey.rows - 2);
    const int x1 = std::min(x0 + 1, grey.cols - 1);
    const int y1 = std::min(y0 + 1, grey.rows - 1);
    const double fx = x - x0;
    const double fy = y - y0;
    const uchar* top = grey.ptr<uchar>(y0);
    const uchar* bottom = grey.ptr<uchar>(y1);
    const double upper = top[x0] + (top[x1] - top[x0]) * fx;
    const double lower = bottom[x0] + (bottom[x1] - bottom[x0]) * fx;
    return static_cast<float>(upper + (lower - upper) * fy);
}

// The edge along the side from `a` to `b` (detail pixels), searched within
// `reach` pixels across it: the strongest step of the side's own polarity at
// each of many points, fitted with a line that ignores stray points.
std::optional<FittedLine> RefineSide(const cv::Mat& grey, const cv::Point2d& a,
                                     const cv::Point2d& b, double reach) {
    const cv::Point2d along = b - a;
    const double length = Length(along);
    const cv::Point2d d = along / length;
    const cv::Point2d n(-d.y, d.x);
    const int positions = std::clamp(static_cast<int>(length / 3.0), 12, 200);
    const double step = 0.5;
    const int half = static_cast<int>(std::ceil(reach / step));

    struct Peak {
        cv::Point2d point;
        double strength;
    };
    std::vector<std::vector<float>> slopes(positions);
    std::vector<cv::Point2d> centres(positions);
    double balance = 0.0;
    std::vector<float> profile(2 * half + 3);
    for (int s = 0; s < positions; ++s) {
        const cv::Point2d c = a + along * (0.1 + 0.8 * (s + 0.5) / positions);
        centres[s] = c;
        for (int o = 0; o < static_cast<int>(profile.size()); ++o) {
            const double offset = (o - half - 1) * step;
            float sum = 0.0f;
            for (int t = -1; t <= 1; ++t) {
                const cv::Point2d p = c + n * offset + d * static_cast<double>(t);
                sum += Sample(grey, p.x, p.y);
            }
            profile[o] = sum / 3.0f;
        }
        std::vector<float>& slope = slopes[s];
        slope.resize(2 * half + 1);
        float strongest = 0.0f;
        for (int o = 0; o < static_cast<int>(slope.size()); ++o) {
            slope[o] = profile[o + 2] - profile[o];
            if (std::abs(slope[o]) > std::abs(strongest)) strongest = slope[o];
        }
        balance += strongest;
    }
    const float polarity = balance >= 0.0 ? 1.0f : -1.0f;

    std::vector<cv::Point2d> points;
    std::vector<double> weights;
    for (int s = 0; s < positions; ++s) {
        const std::vector<float>& slope = slopes[s];
        int best = -1;
        for (int o = 0; o < static_cast<int>(slope.size()); ++o) {
            if (slope[o] * polarity > 0.0f && (best < 0 || slope[o] * polarity > slope[best] * polarity)) {
                best = o;
            }
        }
        if (best < 0) continue;
        double offset = best;
        if (best > 0 && best + 1 < static_cast<int>(slope.size())) {
            const double l = slope[best - 1] * polarity;
            const double c = slope[best] * polarity;
            const double r = slope[best + 1] * polarity;
            const double curvature = l - 2.0 * c + r;
            if (curvature < 0.0) offset += std::clamp(0.5 * (l - r) / curvature, -0.5, 0.5);
        }
        points.push_back(centres[s] + n * ((offset - half) * step));
        weights.push_back(slope[best] * polarity);
    }
    if (points.size() < static_cast<std::size_t>(positions) / 2) return std::nullopt;

    std::optional<FittedLine> line = FitPoints(points, weights);
    for (int round = 0; round < 3 && line; ++round) {
        std::vector<double> residuals;
        const cv::Point2d normal(-line->direction.y, line->direction.x);
        for (const cv::Point2d& p : points) residuals.push_back(std::abs((p - line->point).dot(normal)));
        std::vector<double> sorted = residuals;
        std::nth_element(sorted.begin(), sorted.begin() + sorted.size() / 2, sorted.end());
        const double limit = std::max(0.5, 3.0 * 1.4826 * sorted[sorted.size() / 2]);
        std::vector<cv::Point2d> kept;
        std::vector<double> keptWeights;
        for (std::size_t k = 0; k < points.size(); ++k) {
            if (residuals[k] <= limit) {
                kept.push_back(points[k]);
                keptWeights.push_back(weights[k]);
            }
        }
        if (kept.size() < static_cast<std::size_t>(positions) / 2) return std::nullopt;
        line = FitPoints(kept, keptWeights);
    }
    return line;
}

std::optional<cv::Point2d> Meet(const FittedLine& l, const FittedLine& m) {
    const double det = Cross(l.direction, m.direction);
    if (std::abs(det) < 1e-6) return std::nullopt;
    const double t = Cross(m.point - l.point, m.direction) / det;
    return l.point + l.direction * t;
}

// The corners on the detail copy; the working estimate where a side's edge
// cannot be followed, or the refined corners move too far.
Corners Refine(const Levels& levels, const Corners& working) {
    Corners detail;
    for (int k = 0; k < 4; ++k) detail[k] = Finer(working[k], levels.workingFactor);
    const double reach = 1.5 * levels.workingFactor + 2.0;
    std::array<std::optional<FittedLine>, 4> sides;
    for (int k = 0; k < 4; ++k) {
        sides[k] = RefineSide(levels.detailGrey, detail[k], detail[(k + 1) % 4], reach);
    }
    Corners refined = detail;
    for (int k = 0; k < 4; ++k) {
        const auto& before = sides[(k + 3) % 4];
        const auto& after = sides[k];
        if (!before || !after) continue;
        const std::optional<cv::Point2d> corner = Meet(*before, *after);
        if (corner && Length(*corner - detail[k]) <= 2.0 * reach) refined[k] = *corner;
    }
    return refined;
}

// ---------------------------------------------------------------------------
// A quadrilateral from the image's regions: a sheet whose sides are too faint
// for lines often still differs from what it lies on in colour and texture.

struct RegionQuad {
    Corners corners;  // working pixels, cyclic
    double fill = 0.0;  // the region's share of the quadrilateral's area
    double cover = 0.0;  // the quadrilateral's share of the region's area
    cv::Mat region;  // the region on the segmented copy, 255 inside
};

constexpr int kRegionLongSide = 200;
constexpr int kRegionRounds = 2;
// The band left in doubt around a known region: this share of the copy's
// short side on either side of its outline.
constexpr int kBandShare = 12;
// A plane of tint or texture is stretched to full scale, but a nearly flat
// one no further than this range: stretched to full scale, its noise and
// rounding steps would become the edges the segmentation follows.
constexpr double kLeastTintRange = 32.0;

// The copy the segmentation works on: about 200 pixels on its long side, in
// colour.
cv::Mat RegionCopy(const cv::Mat& working, int factor) {
    cv::Mat small = Shrunk(working, factor);
    if (small.channels() == 1) cv::cvtColor(small, small, cv::COLOR_GRAY2BGR);
    return small;
}

// The region copy as tint and texture: the two colour axes of CIE Lab and
// how much the brightness varies nearby, each stretched to full scale.
// Without the brightness itself, a shadow across the sheet, or a sheet
// brought to the brightness of what it lies on, no longer splits or hides it.
cv::Mat TintCopy(const cv::Mat& working, int factor) {
    cv::Mat colour = working;
    if (colour.channels() == 1) cv::cvtColor(colour, colour, cv::COLOR_GRAY2BGR);
    cv::Mat lab;
    cv::cvtColor(colour, lab, cv::COLOR_BGR2Lab);
    std::vector<cv::Mat> planes;
    cv::split(lab, planes);
    cv::Mat grey;
    Grey(working).convertTo(grey, CV_32F);
    const double sigma = 2.0 * factor + 1.0;
    cv::Mat mean;
    cv::Mat square;
    cv::GaussianBlur(grey, mean, cv::Size(), sigma);
    cv::GaussianBlur(grey.mul(grey), square, cv::Size(), sigma);
    cv::sqrt(cv::max(square - mean.mul(mean), 0.0), planes[0]);
    std::rotate(planes.begin(), planes.begin() + 1, planes.end());
    for (cv::Mat& plane : planes) {
        double low = 0.0;
        double high = 0.0;
        cv::minMaxLoc(plane, &low, &high);
        const double scale = 255.0 / std::max(high - low, kLeastTintRange);
        plane.convertTo(plane, CV_8U, scale, -low * scale);
        plane = Shrunk(plane, factor);
    }
    cv::Mat merged;
    cv::merge(planes, merged);
    return merged;
}

// The largest region that the border does not explain, segmented on `small`
// (a copy `factor` times smaller than the working one), approximated by four
// sides fitted to its outline; none when it is small or not four-sided
// enough to approximate.
std::optional<RegionQuad> FindRegionQuad(const cv::Mat& small, int factor, const cv::Size& workingSize,
                                         const cv::Mat& known = cv::Mat()) {
    const int ring = std::max(2, std::min(small.cols, small.rows) / 40);
    // What touches the border is what the sheet lies on; the rest may be it.
    cv::Mat mask(small.size(), CV_8U, cv::Scalar(cv::GC_PR_FGD));
    if (!known.empty()) {
        // A region found already leaves in doubt only a band along its
        // outline: the cut then settles far fewer pixels.
        const int band = std::max(3, std::min(small.cols, small.rows) / kBandShare);
        const cv::Mat round = cv::getStructuringElement(cv::MORPH_ELLIPSE, cv::Size(2 * band + 1, 2 * band + 1));
        cv::Mat outer;
        cv::Mat inner;
        cv::dilate(known, outer, round);
        cv::erode(known, inner, round);
        mask.setTo(cv::GC_BGD);
        mask.setTo(cv::GC_PR_BGD, outer);
        mask.setTo(cv::GC_PR_FGD, known);
        mask.setTo(cv::GC_FGD, inner);
    }
    mask.rowRange(0, ring).setTo(cv::GC_BGD);
    mask.rowRange(small.rows - ring, small.rows).setTo(cv::GC_BGD);
    mask.colRange(0, ring).setTo(cv::GC_BGD);
    mask.colRange(small.cols - ring, small.cols).setTo(cv::GC_BGD);
    cv::Mat bgModel;
    cv::Mat fgModel;
    // The segmentation seeds its colour clusters from OpenCV's random
    // generator: a fixed state keeps the finder deterministic, and the
    // caller's state is given back.
    cv::RNG& random = cv::theRNG();
    const cv::RNG callers = random;
    random.state = 0x5eed;
    try {
        cv::grabCut(small, mask, cv::Rect(), bgModel, fgModel, kRegionRounds, cv::GC_INIT_WITH_MASK);
    } catch (const cv::Exception&) {
        // The region is a second opinion: without it the lines decide.
        random = callers;
        return std::nullopt;
    }
    random = callers;
    cv::Mat region = (mask == cv::GC_FGD) | (mask == cv::GC_PR_FGD);
    const cv::Mat round = cv::getStructuringElement(cv::MORPH_ELLIPSE, cv::Size(5, 5));
    cv::morphologyEx(region, region, cv::MORPH_OPEN, round);
    cv::morphologyEx(region, region, cv::MORPH_CLOSE, round);
    std::vector<std::vector<cv::Point>> contours;
    cv::findContours(region, contours, cv::RETR_EXTERNAL, cv::CHAIN_APPROX_NONE);
    if (contours.empty()) return std::nullopt;
    const auto largest = std::max_element(contours.begin(), contours.end(), [](const auto& a, const auto& b) {
        return cv::contourArea(a) < cv::contourArea(b);
    });
    const std::vector<cv::Point>& outline = *largest;
    const double regionArea = cv::contourArea(outline);
    if (regionArea < 0.04 * small.size().area()) return std::nullopt;
    std::vector<cv::Point> hull;
    cv::convexHull(outline, hull);
    std::vector<cv::Point> four;
    const double perimeter = cv::arcLength(hull, true);
    for (double epsilon = 0.01; epsilon < 0.2; epsilon += 0.01) {
        cv::approxPolyDP(hull, four, epsilon * perimeter, true);
        if (four.size() <= 4) break;
    }
    if (four.size() != 4) return std::nullopt;
    // Each side refitted to the outline between its corners, ends left out
    // (the segmentation rounds the corners).
    std::array<std::vector<cv::Point2f>, 4> sidePoints;
    for (const cv::Point& p : outline) {
        int best = -1;
        double bestDistance = 1e9;
        for (int k = 0; k < 4; ++k) {
            const cv::Point2d a = four[k];
            const cv::Point2d b = four[(k + 1) % 4];
            const cv::Point2d ab = b - a;
            const double t = (cv::Point2d(p) - a).dot(ab) / ab.dot(ab);
            if (t < 0.12 || t > 0.88) continue;
            const double distance = std::abs(Cross(ab, cv::Point2d(p) - a)) / Length(ab);
            if (distance < bestDistance) {
                bestDistance = distance;
                best = k;
            }
        }
        if (best >= 0 && bestDistance < 0.05 * Length(cv::Point2d(four[(best + 1) % 4] - four[best]))) {
            sidePoints[best].emplace_back(p);
        }
    }
    std::array<FittedLine, 4> sides;
    for (int k = 0; k < 4; ++k) {
        if (sidePoints[k].size() < 5) return std::nullopt;
        cv::Vec4f fit;
        cv::fitLine(sidePoints[k], fit, cv::DIST_HUBER, 0, 0.01, 0.01);
        sides[k] = {Finer({fit[2], fit[3]}, factor), {fit[0], fit[1]}};
    }
    RegionQuad quad;
    for (int k = 0; k < 4; ++k) {
        const std::optional<cv::Point2d> corner = Meet(sides[(k + 3) % 4], sides[k]);
        if (!corner) return std::nullopt;
        quad.corners[k] = *corner;
    }
    if (!Plausible(quad.corners, workingSize, std::hypot(workingSize.width, workingSize.height))) {
        return std::nullopt;
    }
    cv::Mat filled = cv::Mat::zeros(small.size(), CV_8U);
    std::vector<cv::Point> polygon;
    for (const cv::Point2d& c : quad.corners) {
        const cv::Point2d p = (c + cv::Point2d(0.5, 0.5)) / factor - cv::Point2d(0.5, 0.5);
        polygon.emplace_back(cvRound(p.x), cvRound(p.y));
    }
    cv::fillConvexPoly(filled, polygon, cv::Scalar(255));
    cv::Mat component = cv::Mat::zeros(small.size(), CV_8U);
    cv::drawContours(component, contours, static_cast<int>(largest - contours.begin()), cv::Scalar(255), cv::FILLED);
    const double both = cv::countNonZero(filled & component);
    quad.fill = both / std::max(1, cv::countNonZero(filled));
    quad.cover = both / std::max(1, cv::countNonZero(component));
    quad.region = component;
    return quad;
}

}  // namespace

FoundQuad FindQuad(const cv::Mat& image) {
    FoundQuad none;
    if (image.empty() || std::min(image.cols, image.rows) < kMinShortSide) return none;
    const Levels levels = MakeLevels(image);
    const cv::Size size = levels.working.size();
    if (std::min(size.width, size.height) < kMinShortSide) return none;
    const double diagonal = std::hypot(size.width, size.height);
    // The fine field finds sharp edges; the coarse one, blurred and with the
    // image's busyness as extra channels, finds the border of a texture.
    const EdgeField field = MakeEdgeField(levels.working, 0.0, 0.0, 0, 1.2);
    const EdgeField coarse = MakeEdgeField(levels.working, 2.0, 2.5, 3, 1.5);
    std::vector<Line> crowded;
    std::vector<Line> crowdedMore;
    std::vector<Line> all = FindLines(field, 0.03 * diagonal, kLineCount, &crowded);
    std::vector<Line> more = FindLines(coarse, 0.03 * diagonal, kLineCount, &crowdedMore);
    all.insert(all.end(), more.begin(), more.end());
    crowded.insert(crowded.end(), crowdedMore.begin(), crowdedMore.end());
    std::stable_sort(all.begin(), all.end(),
                     [](const Line& l, const Line& r) { return l.mass > r.mass; });
    std::vector<Line> lines = Strongest(all, 0.006 * diagonal, kLineCount);
    const std::size_t detected = lines.size();
    AddCrowdedOut(lines, crowded, all, levels.working, diagonal);
    std::vector<Candidate> candidates;
    std::vector<Candidate> crowdedOut;
    for (Candidate& q : MakeCandidates(lines, size)) {
        const bool extra = std::any_of(q.lines.begin(), q.lines.end(), [&](int l) { return lines[l].crowdedOut; });
        (extra ? crowdedOut : candidates).push_back(std::move(q));
    }

    // The region's quadrilateral, each side also tried on the detected lines
    // beside it, which are straighter than the region's outline.
    const auto regionCandidates = [&](const RegionQuad& found) {
        std::vector<Candidate> out;
        std::array<std::vector<int>, 4> choices;
        for (int k = 0; k < 4; ++k) {
            const cv::Point2d& a = found.corners[k];
            const cv::Point2d& b = found.corners[(k + 1) % 4];
            lines.push_back(SideLine(field, coarse, a, b));
            const Line& side = lines.back();
            choices[k].push_back(static_cast<int>(lines.size()) - 1);
            const cv::Point2d middle = (a + b) * 0.5;
            for (std::size_t m = 0; m < detected && choices[k].size() < 3; ++m) {
                if (std::abs(Cross(lines[m].direction, side.direction)) <= kSideTurn &&
                    lines[m].Distance(middle) <= 0.015 * diagonal) {
                    choices[k].push_back(static_cast<int>(m));
                }
            }
        }
        for (const int l0 : choices[0]) {
            for (const int l1 : choices[1]) {
                for (const int l2 : choices[2]) {
                    for (const int l3 : choices[3]) {
                        const std::optional<Candidate> q = QuadOnLines(lines, {l0, l1, l2, l3}, size, 0.0);
                        if (q) out.push_back(*q);
                    }
                }
            }
        }
        return out;
    };
    const int regionFactor = FactorFor(size, kRegionLongSide);
    const std::optional<RegionQuad> region = FindRegionQuad(RegionCopy(levels.working, regionFactor), regionFactor, size);
    std::vector<Candidate> fromRegion;
    if (region) fromRegion = regionCandidates(*region);
    const auto holds = [](const std::optional<RegionQuad>& r, const std::vector<Candidate>& from) {
        return r && !from.empty() && r->fill >= kRegionFill && r->cover >= kRegionCover;
    };
    // On tint and texture the segmentation can take several times as long
    // per pixel as on colour: where the colour region holds already, only
    // the band along its outline is segmented again.
    const std::optional<RegionQuad> tint =
        FindRegionQuad(TintCopy(levels.working, regionFactor), regionFactor, size,
                       holds(region, fromRegion) ? region->region : cv::Mat());
    std::vector<Candidate> fromTint;
    if (tint) fromTint = regionCandidates(*tint);
    if (candidates.empty() && fromRegion.empty() && fromTint.empty()) return none;
    std::vector<Profile> profiles;
    for (const Line& line : lines) {
        profiles.push_back(MakeProfile(field, coarse, levels.working, line));
    }
    for (Candidate& q : candidates) Score(profiles, lines, size, q);
    for (Candidate& q : crowdedOut) Score(profiles, lines, size, q);
    for (Candidate& q : fromRegion) Score(profiles, lines, size, q);
    for (Candidate& q : fromTint) Score(profiles, lines, size, q);
    const auto byScore = [](const Candidate& l, const Candidate& r) { return l.score > r.score; };
    std::stable_sort(fromRegion.begin(), fromRegion.end(), byScore);
    if (!fromRegion.empty()) candidates.push_back(fromRegion.front());
    std::stable_sort(fromTint.begin(), fromTint.end(), byScore);
    // Stable, so that ties keep the order the lines gave: deterministic.
    std::stable_sort(candidates.begin(), candidates.end(), byScore);
    // A sheet may show a quadrilateral of its own (a painting, a printed
    // grid, a chessboard): the sheet is the clearly bounded one around it.
    const Candidate* chosen = candidates.empty() ? nullptr : &candidates.front();
    for (bool outward = chosen && chosen->score >= kLeastConfidence; outward;) {
        outward = false;
        // One that keeps a line of the inner one only where none keeps none.
        for (int sharable = 0; sharable <= 1 && !outward; ++sharable) {
            for (const Candidate& q : candidates) {
                if (q.score < kLeastConfidence) break;
                if (q.cornerSupport >= kLeastOuterCorner &&
                    Encloses(q, *chosen, 0.01 * diagonal, sharable)) {
                    chosen = &q;
                    outward = true;
                    break;
                }
            }
        }
    }
    if (chosen && (chosen->score < kLeastConfidence ||
                   StepAcross(levels.working, chosen->corners) < kLeastSidesStepping)) {
        chosen = nullptr;
    }
    // Where no quadrilateral of lines stands out, one that the region agrees
    // with closely needs less evidence from its edges; where the region's
    // own stands out as well and fills the region almost exactly, it settles
    // which of the lines beside a side is the sheet's edge.
    const auto differs = [&](const Candidate& a, const Candidate& b) {
        for (const cv::Point2d& p : a.corners) {
            double nearest = diagonal;
            for (const cv::Point2d& q : b.corners) nearest = std::min(nearest, Length(p - q));
            if (nearest > 0.015 * diagonal) return true;
        }
        return false;
    };
    if (holds(region, fromRegion)) {
        const Candidate& own = fromRegion.front();
        if (!chosen) {
            if (own.score >= kLeastRegionConfidence) chosen = &own;
        } else if (differs(own, *chosen) &&
                   ((region->fill >= kRegionExactFill && own.score >= kLeastConfidence) ||
                    (region->fill >= kRegionExacterFill && own.score >= kLeastExacterRegionConfidence))) {
            chosen = &own;
        }
    }
    // The region of tint and texture separates the sheet from what it lies on
    // more often than the region of colour: where it holds, it decides, but
    // not over a kept one where some corner of it shows no edge at all (its
    // side then mostly runs along the sheet's soft rim, just off the edge).
    if (holds(tint, fromTint) &&
        fromTint.front().score >= (chosen ? kLeastTintConfidence : kLeastLoneTintConfidence) &&
        (!chosen || fromTint.front().cornerSupport > 0.0)) {
        chosen = &fromTint.front();
    }
    if (!chosen) {
        const auto tight = [&](const std::optional<RegionQuad>& r, const std::vector<Candidate>& from) {
            return holds(r, from) && r->fill >= kTightRegionFill && r->cover >= kTightRegionCover &&
                   StepAcross(levels.working, from.front().corners) >= kLeastTightStep;
        };
        // The tint region's step is measured once: either rule may take it.
        if (holds(tint, fromTint) && tint->fill >= kSteppedTintFill && tint->cover >= kSteppedTintCover) {
            const double step = StepAcross(levels.working, fromTint.front().corners);
            if (step >= kSteppedTintStep ||
                (tint->fill >= kTightRegionFill && tint->cover >= kTightRegionCover && step >= kLeastTightStep)) {
                chosen = &fromTint.front();
            }
        }
        // Where both fit this closely, the one whose sides stand out more.
        if (tight(region, fromRegion) && (!chosen || fromRegion.front().score > chosen->score)) {
            chosen = &fromRegion.front();
        }
    }
    if (!chosen && !candidates.empty()) {
        const Candidate& top = candidates.front();
        const auto agrees = [&](const std::optional<RegionQuad>& r,
                                const std::vector<Candidate>& from) {
            return !r || from.empty() || !differs(from.front(), top);
        };
        const auto rival = std::find_if(candidates.begin() + 1, candidates.end(),
                                        [&](const Candidate& q) { return differs(q, top); });
        const double lead = top.score - (rival == candidates.end() ? 0.0 : rival->score);
        if (top.score >= kLeastLeadingConfidence && lead >= kLeastLead &&
            top.cornerSupport >= kLeastOuterCorner && agrees(region, fromRegion) &&
            agrees(tint, fromTint) &&
            StepAcross(levels.working, top.corners) >= kLeastSidesStepping) {
            chosen = &top;
        }
    }
    // Shared area over joint area, counted in pixels: a region's outline may
    // give a quadrilateral that is not convex.
    const auto overlap = [&](const Corners& a, const Corners& b) {
        const auto mask = [&](const Corners& c) {
            cv::Mat m = cv::Mat::zeros(size, CV_8U);
            std::vector<cv::Point> polygon;
            for (const cv::Point2d& p : c) polygon.emplace_back(cvRound(p.x), cvRound(p.y));
            cv::fillPoly(m, std::vector<std::vector<cv::Point>>{polygon}, 255);
            return m;
        };
        const cv::Mat ma = mask(a);
        const cv::Mat mb = mask(b);
        const double joint = cv::countNonZero(ma | mb);
        return joint > 0.0 ? cv::countNonZero(ma & mb) / joint : 0.0;
    };
    // A quadrilateral on a line that texture crowded out stands for the sheet
    // only where a segmentation agrees with it: such lines are mostly the
    // texture's own, and only the region tells a texture cell from a sheet.
    std::stable_sort(crowdedOut.begin(), crowdedOut.end(), byScore);
    const Candidate* rescue = nullptr;
    for (const Candidate& q : crowdedOut) {
        if (q.score < kLeastConfidence) break;
        bool parts = true;
        for (int k = 0; k < 4 && parts; ++k) {
            if (lines[q.lines[k]].crowdedOut) parts = PartsSurfaces(levels.working, q.corners, k);
        }
        if (!parts || StepAcross(levels.working, q.corners) < kLeastSidesStepping) continue;
        double agreeing = 0.0;
        if (!fromRegion.empty()) agreeing = std::max(agreeing, overlap(fromRegion.front().corners, q.corners));
        if (!fromTint.empty()) agreeing = std::max(agreeing, overlap(fromTint.front().corners, q.corners));
        if (agreeing >= kLeastRegionOverlap) rescue = &q;
        break;
    }
    // It takes the place of one kept only as the sheet around it.
    if (rescue && (!chosen || Encloses(*rescue, *chosen, 0.01 * diagonal, 1))) chosen = rescue;
    if (!chosen) return none;
    const Corners corners = OffTiltedLines(levels.working, profiles, lines, size, *chosen);

    const Corners detail = Refine(levels, corners);
    std::vector<cv::Point2f> ordered;
    Corners input;
    for (int k = 0; k < 4; ++k) {
        input[k] = Finer(detail[k], levels.detailFactor);
        ordered.emplace_back(input[k]);
    }
    OrderCorners(ordered);
    FoundQuad quad;
    quad.found = true;
    quad.confidence = chosen->score;
    // OrderCorners works in float: map back to the double corners it placed.
    for (int k = 0; k < 4; ++k) {
        for (int m = 0; m < 4; ++m) {
            if (cv::Point2f(input[m]) == ordered[k]) quad.corners[k] = input[m];
        }
    }
    return quad;
}

}  // namespace zentrel
