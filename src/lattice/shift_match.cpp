#include "shift_match.h"

#include <algorithm>
#include <cmath>
#include <opencv2/imgproc.hpp>
#include <iterator>
#include <map>
#include <vector>

#include "parabola_peak.h"
#include "working_image.h"

namespace zentrel::lattice {

namespace {

// Blocks narrower than this give no steady score.
constexpr int kLeastBlockSide = 12;
// JPEG codes 8 x 8 blocks; their edges sit on this grid of the image.
constexpr int kCodecBlock = 8;
// Side of the cells whose quietest quarter tells the sensor noise: flat
// enough cells exist in most images, and texture inflates the others.
constexpr int kNoiseCell = 16;
constexpr double kQuietShare = 0.25;
// Quantisation steps looked for in DCT coefficients, the least number of
// coefficients beyond half a step that make a count, and the share of them on
// multiples of the step that shows quantisation.
constexpr int kLeastStep = 3;
constexpr int kLargestStep = 48;
constexpr int kLeastCoefficients = 24;
constexpr double kQuantisedShare = 0.8;
// The window of gradients grows by at least this many pixels each way, and
// holds at most this many pixels (two float planes of it).
constexpr int kWindowSlack = 64;
constexpr int kLargestWindow = 1 << 20;

// One side of the block for a shift of `shift` (moving by up to `reach`)
// along an axis of `length`, and where it starts, as near the middle as the
// shifted block allows.
cv::Rect CentralRect(cv::Rect area, cv::Size size) {
    return {area.x + (area.width - size.width) / 2, area.y + (area.height - size.height) / 2,
            size.width, size.height};
}

bool PlaceBlock(int start, int length, int largest, int shift, int reach, int& from, int& side) {
    side = std::min(largest, length - std::max(std::abs(shift) + reach, 2 * reach));
    if (side < kLeastBlockSide) return false;
    const int lowest = start + std::max(0, reach - shift);
    const int highest = start + length - side - std::max(0, shift + reach);
    if (highest < lowest) return false;
    from = std::clamp(start + (length - side) / 2 - shift / 2, lowest, highest);
    return true;
}

// Energy that white noise of unit variance leaves in the smoothed gradient:
// the squared taps of the smoothing and derivative filters together.
double NoiseGain(double smoothing) {
    const int half = static_cast<int>(std::ceil(4 * smoothing)) + 3;
    cv::Mat impulse = cv::Mat::zeros(2 * half + 1, 2 * half + 1, CV_32F);
    impulse.at<float>(half, half) = 1.0f;
    cv::GaussianBlur(impulse, impulse, cv::Size(), smoothing);
    cv::Mat x, y;
    cv::Sobel(impulse, x, CV_32F, 1, 0);
    cv::Sobel(impulse, y, CV_32F, 0, 1);
    return x.dot(x) + y.dot(y);
}

// Standard deviation of white noise in `grey` (Immerkaer's estimate), from
// its quietest cells so that texture and edges do not count as noise.
double SensorNoise(const cv::Mat& grey) {
    static const cv::Mat kernel = (cv::Mat_<float>(3, 3) << 1, -2, 1, -2, 4, -2, 1, -2, 1);
    cv::Mat response;
    cv::filter2D(grey, response, CV_32F, kernel, {-1, -1}, 0, cv::BORDER_REFLECT);
    response = cv::abs(response);
    std::vector<double> cells;
    for (int y = 1; y + kNoiseCell <= grey.rows - 1; y += kNoiseCell) {
        for (int x = 1; x + kNoiseCell <= grey.cols - 1; x += kNoiseCell) {
            cells.push_back(cv::mean(response(cv::Rect(x, y, kNoiseCell, kNoiseCell)))[0]);
        }
    }
    if (cells.empty()) return 0.0;
    const auto quiet = cells.begin() + static_cast<long>(kQuietShare * (cells.size() - 1));
    std::nth_element(cells.begin(), quiet, cells.end());
    return std::sqrt(CV_PI / 2.0) / 6.0 * *quiet;
}

// The share of the differences between neighbours along one axis that sits,
// in excess of the others, on one phase of the codec's block grid.
double BlockEdgeShare(const cv::Mat& grey, cv::Point origin, bool across) {
    double energy[kCodecBlock] = {};
    const int columns = grey.cols - (across ? 1 : 0);
    const int rows = grey.rows - (across ? 0 : 1);
    for (int y = 0; y < rows; ++y) {
        const float* here = grey.ptr<float>(y);
        const float* below = grey.ptr<float>(across ? y : y + 1);
        for (int x = 0; x < columns; ++x) {
            const double step = across ? here[x + 1] - here[x] : below[x] - here[x];
            const int phase = ((across ? origin.x + x : origin.y + y) % kCodecBlock + kCodecBlock) %
                              kCodecBlock;
            energy[phase] += step * step;
        }
    }
    std::vector<double> sorted(energy, energy + kCodecBlock);
    std::sort(sorted.begin(), sorted.end());
    double total = 0.0;
    for (double e : sorted) total += e;
    if (!(total > 0.0)) return 0.0;
    const double typical = 0.5 * (sorted[kCodecBlock / 2 - 1] + sorted[kCodecBlock / 2]);
    return (sorted.back() - typical) / total;
}

// Whether most of the lowest DCT coefficients of the 8 x 8 blocks of
// `grey` whose grid starts at (left, top) lie on multiples of a step.
bool CoefficientsOnSteps(const cv::Mat& grey, int left, int top) {
    // The lowest frequencies across, down and both: quantised finest, so
    // most often not zero.
    const cv::Point frequencies[] = {{1, 0}, {0, 1}, {1, 1}, {2, 0}, {0, 2}};
    constexpr int kFrequencies = static_cast<int>(std::size(frequencies));
    // Their basis images, as cv::dct scales them: five products per block
    // instead of a whole transform.
    float basis[kFrequencies][kCodecBlock * kCodecBlock];
    const auto cosine = [](int u, int x) {
        const double scale = u == 0 ? std::sqrt(1.0 / kCodecBlock) : std::sqrt(2.0 / kCodecBlock);
        return scale * std::cos(CV_PI * (2 * x + 1) * u / (2.0 * kCodecBlock));
    };
    for (int k = 0; k < kFrequencies; ++k) {
        for (int y = 0; y < kCodecBlock; ++y) {
            for (int x = 0; x < kCodecBlock; ++x) {
                basis[k][y * kCodecBlock + x] =
                    static_cast<float>(cosine(frequencies[k].y, y) * cosine(frequencies[k].x, x));
            }
        }
    }
    std::vector<std::vector<float>> values(kFrequencies);
    for (int y = top; y + kCodecBlock <= grey.rows; y += kCodecBlock) {
        for (int x = left; x + kCodecBlock <= grey.cols; x += kCodecBlock) {
            float sums[kFrequencies] = {};
            for (int row = 0; row < kCodecBlock; ++row) {
                const float* pixels = grey.ptr<float>(y + row) + x;
                for (int k = 0; k < kFrequencies; ++k) {
                    const float* weights = basis[k] + row * kCodecBlock;
                    for (int col = 0; col < kCodecBlock; ++col) sums[k] += weights[col] * pixels[col];
                }
            }
            for (int k = 0; k < kFrequencies; ++k) values[k].push_back(sums[k]);
        }
    }
    // A step explains a coefficient when it lies within a fifth of a step of
    // a multiple; at random a coefficient does so two times in five.
    int explained = 0, tested = 0;
    for (const std::vector<float>& column : values) {
        double bestShare = 0.0;
        int bestCount = 0;
        for (int step = kLeastStep; step <= kLargestStep; ++step) {
            int count = 0, near = 0;
            for (const float value : column) {
                if (std::abs(value) < step / 2.0f) continue;
                ++count;
                const double ratio = value / step;
                near += std::abs(ratio - std::round(ratio)) < 0.2 ? 1 : 0;
            }
            if (count >= kLeastCoefficients && near > bestShare * count) {
                bestShare = static_cast<double>(near) / count;
                bestCount = count;
            }
        }
        if (bestCount == 0) continue;
        ++tested;
        explained += bestShare >= kQuantisedShare ? 1 : 0;
    }
    return tested > 0 && 2 * explained > tested;
}

// Whether `grey` (whose top-left pixel is `origin` of the image) was decoded
// from JPEG: the DCT coefficients of its 8 x 8 blocks, on the grid that
// starts at the image's corner, lie on multiples of a quantisation step.
// Content that merely repeats every 8 pixels shows no such steps. Content
// of a few flat grey levels (a dither, a weave of flat cells) puts them on
// steps on any grid; JPEG only on its own, not on one half a block off.
bool LooksCompressed(const cv::Mat& grey, cv::Point origin) {
    const int left = (kCodecBlock - origin.x % kCodecBlock) % kCodecBlock;
    const int top = (kCodecBlock - origin.y % kCodecBlock) % kCodecBlock;
    return CoefficientsOnSteps(grey, left, top) &&
           !CoefficientsOnSteps(grey, left + kCodecBlock / 2, top + kCodecBlock / 2);
}

}  // namespace

ShiftMatch::ShiftMatch(const cv::Mat& image, cv::Rect area, double smoothing, cv::Size block,
                       bool chroma)
    : image_(image), smoothing_(smoothing), block_(block), channels_(chroma ? 2 : 1) {
    CV_Assert(!chroma || image.channels() == 3 || image.channels() == 4);
    // Gradients within the filters' reach of the area's edge see what lies
    // beyond it (padding, or what the pattern lies on): blocks stay clear.
    const int border = static_cast<int>(std::ceil(3 * smoothing)) + 2;
    const cv::Rect inside = area & cv::Rect({}, image.size());
    const cv::Rect inner(inside.x + border, inside.y + border, inside.width - 2 * border,
                         inside.height - 2 * border);
    area_ = inner.width > 0 && inner.height > 0 ? inner : inside;
}

ShiftMatch::Gradients ShiftMatch::Compute(cv::Rect padded) const {
    Gradients gradients;
    gradients.rect = padded;
    // Smoothed in place (the working copies are copies of their own): one
    // plane fewer held at the peak.
    cv::Mat values =
        channels_ == 1 ? GreyWorkingCopy(image_, padded, 1.0) : ChromaWorkingCopy(image_, padded);
    cv::GaussianBlur(values, values, cv::Size(), smoothing_);
    cv::Sobel(values, gradients.x, CV_32F, 1, 0);
    cv::Sobel(values, gradients.y, CV_32F, 0, 1);
    return gradients;
}

int ShiftMatch::LargestWindow() const {
    // A colour window's conversion holds several planes of its channels at
    // once: a quarter of the pixels keeps it within the grey window's memory.
    return channels_ == 1 ? kLargestWindow : kLargestWindow / 4;
}

cv::Rect ShiftMatch::Padded(cv::Rect rect) const {
    const int border = static_cast<int>(std::ceil(3 * smoothing_)) + 2;
    return cv::Rect(rect.x - border, rect.y - border, rect.width + 2 * border,
                    rect.height + 2 * border) &
           cv::Rect({}, image_.size());
}

void ShiftMatch::Expect(double longest) const {
    // Blocks sit about the area's centre, half the shift either way.
    int spanX = std::min(area_.width, block_.width + static_cast<int>(std::ceil(longest)) + 4);
    int spanY = std::min(area_.height, block_.height + static_cast<int>(std::ceil(longest)) + 4);
    // Too many pixels for the longest shifts: the window holds the shorter
    // ones, which are most of those measured, and the longer ones are
    // computed alone rather than by growing the window time and again.
    const double over = std::sqrt(static_cast<double>(Padded(CentralRect(area_, {spanX, spanY})).area()) /
                                  LargestWindow());
    if (over > 1.0) {
        spanX = std::max(std::min(spanX, block_.width), static_cast<int>(spanX / over) - 16);
        spanY = std::max(std::min(spanY, block_.height), static_cast<int>(spanY / over) - 16);
    }
    const cv::Rect window = Padded(CentralRect(area_, {spanX, spanY}));
    if (window.area() > LargestWindow()) return;
    if ((window & window_.rect) != window) {
        window_ = Gradients{};
        window_ = Compute(window);
    }
    settled_ = true;
}

const ShiftMatch::Gradients& ShiftMatch::GradientsOver(cv::Rect rect) const {
    const cv::Rect padded = Padded(rect);
    // The blocks of neighbouring shifts overlap almost entirely: they are
    // cut from one window of gradients, computed once and grown with some
    // slack when a block falls outside it.
    if (!window_.x.empty() && (padded & window_.rect) == padded) return window_;
    if (settled_) {
        lone_ = Compute(padded);
        return lone_;
    }
    const cv::Rect joined = window_.x.empty() ? padded : (padded | window_.rect);
    const auto grow = [&](int slackX, int slackY) {
        return cv::Rect(joined.x - slackX, joined.y - slackY, joined.width + 2 * slackX,
                        joined.height + 2 * slackY) &
               cv::Rect({}, image_.size());
    };
    const int largest = LargestWindow();
    cv::Rect grown = grow(std::max(kWindowSlack, joined.width / 4), std::max(kWindowSlack, joined.height / 4));
    if (grown.area() > largest) grown = grow(kWindowSlack, kWindowSlack);
    if (grown.area() <= largest) {
        window_ = Gradients{};
        window_ = Compute(grown);
        return window_;
    }
    // Blocks far apart: each its own, so that memory stays bounded.
    lone_ = Compute(padded);
    return lone_;
}

cv::Rect ShiftMatch::BlockFor(cv::Point shift) const {
    // The block of a shift measured on its own, not climbed from.
    cv::Rect block;
    if (!PlaceBlock(area_.x, area_.width, block_.width, shift.x, 0, block.x, block.width) ||
        !PlaceBlock(area_.y, area_.height, block_.height, shift.y, 0, block.y, block.height)) {
        return {};
    }
    return block;
}

double ShiftMatch::Correlate(const Gradients& a, cv::Rect blockA, const Gradients& b,
                             cv::Rect blockB, int flip, double* knownEnergyA) const {
    const cv::Rect inA = blockA - a.rect.tl();
    const cv::Rect inB = blockB - b.rect.tl();
    if ((inA & cv::Rect({}, a.x.size())) != inA || (inB & cv::Rect({}, b.x.size())) != inB) {
        return -1.0;
    }
    // One pass over both blocks; a mirrored block is read backwards, and a
    // gradient across the mirror's axis changes its sign.
    const bool backwards = flip == 1, upsideDown = flip == 0;
    const float signX = backwards ? -1.0f : 1.0f, signY = upsideDown ? -1.0f : 1.0f;
    double energyA = 0.0, energyB = 0.0, product = 0.0;
    // Every second row (more in a tall block): the smoothed gradient changes
    // little from one row to the next, and the score stays as steady.
    const int rowStep = 2 * ((inA.height + kMatchBlockSide - 1) / kMatchBlockSide);
    // Unflipped rows compare sample by sample, whatever the channels.
    const int n = channels_, width = inA.width * n;
    for (int y = 0; y < inA.height; y += rowStep) {
        const int yb = upsideDown ? inB.y + inB.height - 1 - y : inB.y + y;
        const float* x0 = a.x.ptr<float>(inA.y + y) + inA.x * n;
        const float* y0 = a.y.ptr<float>(inA.y + y) + inA.x * n;
        const float* x1 = b.x.ptr<float>(yb) + inB.x * n;
        const float* y1 = b.y.ptr<float>(yb) + inB.x * n;
        float rowA = 0.0f, rowB = 0.0f, rowProduct = 0.0f;
        if (backwards) {
            // Pixels backwards, each one's channels in their order.
            for (int x = 0, xb = inB.width - 1; x < inA.width; ++x, --xb) {
                for (int c = 0; c < n; ++c) {
                    const int at = x * n + c, bt = xb * n + c;
                    const float u = signX * x1[bt], v = signY * y1[bt];
                    rowA += x0[at] * x0[at] + y0[at] * y0[at];
                    rowB += u * u + v * v;
                    rowProduct += x0[at] * u + y0[at] * v;
                }
            }
        } else if (!upsideDown && knownEnergyA && *knownEnergyA >= 0.0) {
            // The fixed block's energy is the same for every shift.
            constexpr int kLanes = 8;
            float laneB[kLanes] = {}, laneProduct[kLanes] = {};
            int x = 0;
            for (; x + kLanes <= width; x += kLanes) {
                for (int k = 0; k < kLanes; ++k) {
                    laneB[k] += x1[x + k] * x1[x + k] + y1[x + k] * y1[x + k];
                    laneProduct[k] += x0[x + k] * x1[x + k] + y0[x + k] * y1[x + k];
                }
            }
            for (int k = 0; k < kLanes; ++k) {
                rowB += laneB[k];
                rowProduct += laneProduct[k];
            }
            for (; x < width; ++x) {
                rowB += x1[x] * x1[x] + y1[x] * y1[x];
                rowProduct += x0[x] * x1[x] + y0[x] * y1[x];
            }
        } else if (!upsideDown) {
            // Lanes the compiler keeps in vector registers.
            constexpr int kLanes = 8;
            float laneA[kLanes] = {}, laneB[kLanes] = {}, laneProduct[kLanes] = {};
            int x = 0;
            for (; x + kLanes <= width; x += kLanes) {
                for (int k = 0; k < kLanes; ++k) {
                    laneA[k] += x0[x + k] * x0[x + k] + y0[x + k] * y0[x + k];
                    laneB[k] += x1[x + k] * x1[x + k] + y1[x + k] * y1[x + k];
                    laneProduct[k] += x0[x + k] * x1[x + k] + y0[x + k] * y1[x + k];
                }
            }
            for (int k = 0; k < kLanes; ++k) {
                rowA += laneA[k];
                rowB += laneB[k];
                rowProduct += laneProduct[k];
            }
            for (; x < width; ++x) {
                rowA += x0[x] * x0[x] + y0[x] * y0[x];
                rowB += x1[x] * x1[x] + y1[x] * y1[x];
                rowProduct += x0[x] * x1[x] + y0[x] * y1[x];
            }
        } else {
            for (int x = 0; x < width; ++x) {
                const float u = x1[x], v = signY * y1[x];
                rowA += x0[x] * x0[x] + y0[x] * y0[x];
                rowB += u * u + v * v;
                rowProduct += x0[x] * u + y0[x] * v;
            }
        }
        energyA += rowA;
        energyB += rowB;
        product += rowProduct;
    }
    if (knownEnergyA) {
        if (*knownEnergyA >= 0.0) {
            energyA = *knownEnergyA;
        } else {
            *knownEnergyA = energyA;
        }
    }
    const double energy = energyA * energyB;
    // Samples too large for the gradients' floats overflow to infinities,
    // whose correlation means nothing.
    if (!(energy > 0.0) || !std::isfinite(energy)) return 0.0;
    const double similarity = product / std::sqrt(energy);
    return std::isfinite(similarity) ? similarity : 0.0;
}

ShiftMatch::Peak ShiftMatch::Refine(cv::Point2d guess, int reach) const {
    const cv::Point start(static_cast<int>(std::lround(guess.x)), static_cast<int>(std::lround(guess.y)));
    // One block for the whole climb, so that every shift is measured on the
    // same pixels; its partner moves within reach (and one more for the
    // interpolation).
    const int margin = reach + 1;
    cv::Rect here;
    if (!PlaceBlock(area_.x, area_.width, block_.width, start.x, margin, here.x, here.width) ||
        !PlaceBlock(area_.y, area_.height, block_.height, start.y, margin, here.y, here.height)) {
        return {guess, -1.0};
    }
    // Copies of the headers: a later call may clear the cache.
    const Gradients fixed = GradientsOver(here);
    const cv::Rect reachable(here.x + start.x - margin, here.y + start.y - margin,
                             here.width + 2 * margin, here.height + 2 * margin);
    const Gradients moving = GradientsOver(reachable);

    std::map<std::pair<int, int>, double> known;
    double fixedEnergy = -1.0;
    const auto similarity = [&](cv::Point shift) {
        const auto [entry, added] = known.try_emplace({shift.x, shift.y}, 0.0);
        if (added) entry->second = Correlate(fixed, here, moving, here + shift, 2, &fixedEnergy);
        return entry->second;
    };
    // Up, down, left and right first: a good guess needs no more; otherwise
    // every neighbour, until none is better.
    cv::Point best = start;
    for (const cv::Point step : {cv::Point(1, 0), cv::Point(-1, 0), cv::Point(0, 1), cv::Point(0, -1)}) {
        if (reach >= 1 && similarity(start + step) > similarity(best)) best = start + step;
    }
    for (bool moved = best != start; moved;) {
        moved = false;
        const cv::Point centre = best;
        for (int dy = -1; dy <= 1; ++dy) {
            for (int dx = -1; dx <= 1; ++dx) {
                const cv::Point next = centre + cv::Point(dx, dy);
                if (std::abs(next.x - start.x) > reach || std::abs(next.y - start.y) > reach) {
                    continue;
                }
                if (similarity(next) > similarity(best)) {
                    best = next;
                    moved = true;
                }
            }
        }
    }
    const double peak = similarity(best);
    const double left = similarity(best - cv::Point(1, 0)), right = similarity(best + cv::Point(1, 0));
    const double up = similarity(best - cv::Point(0, 1)), down = similarity(best + cv::Point(0, 1));
    const cv::Point2d offset(ParabolaOffset(left, peak, right), ParabolaOffset(up, peak, down));
    const double top = peak + ParabolaRise(left, peak, right) + ParabolaRise(up, peak, down);
    return {cv::Point2d(best) + offset, std::min(top, 1.0), peak};
}

double ShiftMatch::MirrorSimilarity(bool across, int twiceAxis, double turn) const {
    // A block straddling the axis is its own mirror image's place.
    const int start = across ? area_.x : area_.y;
    const int length = across ? area_.width : area_.height;
    int side = std::min(across ? block_.width : block_.height, length);
    if ((twiceAxis - side + 1) % 2 != 0) --side;
    int from = (twiceAxis - side + 1) / 2;
    // Near the area's edge the block shrinks to what lies on both sides.
    const int spare = std::min(from - start, start + length - (from + side));
    if (spare < 0) {
        side += 2 * spare;
        from -= spare;
    }
    // A small block beside the area's edge agrees with its mirror image by
    // chance: the block stays at least half as wide as it can be.
    if (side < std::max(kLeastBlockSide, std::min(across ? block_.width : block_.height, length) / 2)) {
        return -1.0;
    }
    cv::Rect block = across ? cv::Rect(from, 0, side, 0) : cv::Rect(0, from, 0, side);
    int otherFrom = 0, otherSide = 0;
    if (!PlaceBlock(across ? area_.y : area_.x, across ? area_.height : area_.width,
                    across ? block_.height : block_.width, 0, 0, otherFrom, otherSide)) {
        return -1.0;
    }
    if (across) {
        block.y = otherFrom;
        block.height = otherSide;
    } else {
        block.x = otherFrom;
        block.width = otherSide;
    }
    // A turned axis reflects rows onto other rows: only where that moves the
    // block's far corners by half a pixel or more is it worth sampling
    // between pixels.
    if (std::abs(turn) * std::max(block.width, block.height) >= 0.5) {
        const double axis = 0.5 * twiceAxis;
        const cv::Point2d centre = across ? cv::Point2d(axis, block.y + 0.5 * (block.height - 1))
                                          : cv::Point2d(block.x + 0.5 * (block.width - 1), axis);
        return CorrelateTurned(block, centre, across, turn);
    }
    // Neighbouring axes share their gradients: the rect asked for is snapped
    // to a coarse grid along the axis, so a climb finds it computed.
    constexpr int kSnap = 32;
    cv::Rect wider = block;
    int& low = across ? wider.x : wider.y;
    int& extent = across ? wider.width : wider.height;
    const int end = low + extent;
    low = (low / kSnap - 1) * kSnap;
    extent = (end / kSnap + 2) * kSnap - low;
    const Gradients gradients = GradientsOver(wider);
    return Correlate(gradients, block, gradients, block, across ? 1 : 0);
}

double ShiftMatch::CorrelateTurned(cv::Rect block, cv::Point2d centre, bool across, double turn) const {
    // The reflection about the axis's direction d is 2 d d^T - 1; it maps
    // both positions (about the centre) and gradients.
    const cv::Point2d d = across ? cv::Point2d(-std::sin(turn), std::cos(turn))
                                 : cv::Point2d(std::cos(turn), std::sin(turn));
    const double rxx = 2.0 * d.x * d.x - 1.0, rxy = 2.0 * d.x * d.y, ryy = 2.0 * d.y * d.y - 1.0;
    const int reach = static_cast<int>(std::ceil(std::abs(turn) * std::max(block.width, block.height))) + 2;
    const cv::Rect wider(block.x - reach, block.y - reach, block.width + 2 * reach, block.height + 2 * reach);
    const Gradients& g = GradientsOver(wider);
    const int n = channels_;
    double energyA = 0.0, energyB = 0.0, product = 0.0;
    const int rowStep = 2 * ((block.height + kMatchBlockSide - 1) / kMatchBlockSide);
    for (int y = block.y; y < block.y + block.height; y += rowStep) {
        if (y < g.rect.y || y >= g.rect.y + g.rect.height) continue;
        const float* ax = g.x.ptr<float>(y - g.rect.y);
        const float* ay = g.y.ptr<float>(y - g.rect.y);
        for (int x = block.x; x < block.x + block.width; ++x) {
            const double px = x - centre.x, py = y - centre.y;
            const double qx = centre.x + rxx * px + rxy * py - g.rect.x;
            const double qy = centre.y + rxy * px + ryy * py - g.rect.y;
            const int x0 = static_cast<int>(std::floor(qx)), y0 = static_cast<int>(std::floor(qy));
            if (x - g.rect.x < 0 || x - g.rect.x >= g.x.cols || x0 < 0 || y0 < 0 || x0 + 1 >= g.x.cols ||
                y0 + 1 >= g.x.rows) {
                continue;
            }
            const float fx = static_cast<float>(qx - x0), fy = static_cast<float>(qy - y0);
            const float w00 = (1 - fx) * (1 - fy), w01 = fx * (1 - fy), w10 = (1 - fx) * fy, w11 = fx * fy;
            const float* bx0 = g.x.ptr<float>(y0) + x0 * n;
            const float* bx1 = g.x.ptr<float>(y0 + 1) + x0 * n;
            const float* by0 = g.y.ptr<float>(y0) + x0 * n;
            const float* by1 = g.y.ptr<float>(y0 + 1) + x0 * n;
            for (int c = 0; c < n; ++c) {
                const double bx = w00 * bx0[c] + w01 * bx0[n + c] + w10 * bx1[c] + w11 * bx1[n + c];
                const double by = w00 * by0[c] + w01 * by0[n + c] + w10 * by1[c] + w11 * by1[n + c];
                const double u = rxx * bx + rxy * by, v = rxy * bx + ryy * by;
                const double gx = ax[(x - g.rect.x) * n + c], gy = ay[(x - g.rect.x) * n + c];
                energyA += gx * gx + gy * gy;
                energyB += u * u + v * v;
                product += gx * u + gy * v;
            }
        }
    }
    const double energy = energyA * energyB;
    if (!(energy > 0.0) || !std::isfinite(energy)) return 0.0;
    const double similarity = product / std::sqrt(energy);
    return std::isfinite(similarity) ? similarity : 0.0;
}

std::vector<double> ShiftMatch::EdgeProfile(bool across, int from, int to, int* first) const {
    const int start = across ? area_.x : area_.y;
    const int end = start + (across ? area_.width : area_.height);
    from = std::max(from, start);
    to = std::min(to, end);
    int otherFrom = 0, otherSide = 0;
    if (to <= from || !PlaceBlock(across ? area_.y : area_.x, across ? area_.height : area_.width,
                                  across ? block_.height : block_.width, 0, 0, otherFrom, otherSide)) {
        return {};
    }
    const cv::Rect rect = across ? cv::Rect(from, otherFrom, to - from, otherSide)
                                 : cv::Rect(otherFrom, from, otherSide, to - from);
    const Gradients gradients = GradientsOver(rect);
    const cv::Rect inside = rect - gradients.rect.tl();
    cv::Mat energy = gradients.x(inside).mul(gradients.x(inside)) + gradients.y(inside).mul(gradients.y(inside));
    cv::Mat sums;
    cv::reduce(energy.reshape(1, energy.rows), sums, across ? 0 : 1, cv::REDUCE_SUM, CV_64F);
    std::vector<double> profile(sums.begin<double>(), sums.end<double>());
    if (across && channels_ > 1) {
        // Channels side by side in a row: one value per column.
        std::vector<double> columns(profile.size() / channels_, 0.0);
        for (std::size_t k = 0; k < profile.size(); ++k) columns[k / channels_] += profile[k];
        profile = std::move(columns);
    }
    *first = from;
    return profile;
}

ShiftMatch::Noise ShiftMatch::MeasureNoise() const {
    const cv::Rect block = BlockFor({0, 0});
    if (block.empty()) return {};
    // The noise is measured on luminance: its edges are those of a grey
    // matcher's gradients.
    Gradients gradients;
    if (channels_ == 1) {
        gradients = GradientsOver(block);
    } else {
        const ShiftMatch grey(image_, area_, smoothing_, block_);
        gradients = grey.Compute(Padded(block));
    }
    const cv::Rect inside = block - gradients.rect.tl();
    const cv::Mat grey = GreyWorkingCopy(image_, block, 1.0);
    const cv::Mat x = gradients.x(inside), y = gradients.y(inside);
    const double edges = (x.dot(x) + y.dot(y)) / static_cast<double>(block.area());
    if (!(edges > 0.0) || !std::isfinite(edges)) return {};
    const double sensor = SensorNoise(grey);
    Noise noise;
    noise.white = std::clamp(sensor * sensor * NoiseGain(smoothing_) / edges, 0.0, 1.0);
    noise.compressed = LooksCompressed(grey, block.tl());
    noise.blocks = noise.compressed ? 0.5 * (BlockEdgeShare(grey, block.tl(), true) +
                                             BlockEdgeShare(grey, block.tl(), false))
                                    : 0.0;
    return noise;
}

}  // namespace zentrel::lattice
