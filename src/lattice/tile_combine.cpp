#include "tile_combine.h"

#include <algorithm>
#include <cstdint>
#include <limits>
#include <type_traits>
#include <vector>

namespace zentrel::lattice {

namespace {

// Values handled at once: every copy's share of a block stays in the first
// level cache while all of them are read several times.
constexpr int kBlock = 128;

// below[e] += row[e] < limit[e]: kept out of line and free of aliasing so
// that it is vectorised, not unrolled across rows.
template <typename T>
void CountBelow(const T* __restrict row, const T* __restrict limit, T* __restrict below) {
    for (int e = 0; e < kBlock; ++e) below[e] = static_cast<T>(below[e] + (row[e] < limit[e]));
}

// The median of whole values, found bit by bit from the top: a value's bit
// is set when fewer than the wanted rank lie below it with the bit set. A
// few passes of compare-and-count over contiguous rows, which the compiler
// vectorises (the loops run a fixed count), instead of a sort per value.
// `rows[r]` points at copy r's first value of the block.
template <typename T>
void WholeMedianBlock(const std::vector<const T*>& rows, T* out) {
    const int n = static_cast<int>(rows.size());
    const T rank = static_cast<T>((n - 1) / 2);  // the lower middle, counted from 0
    T prefix[kBlock] = {};
    T candidate[kBlock];
    T below[kBlock];
    for (int bit = 8 * static_cast<int>(sizeof(T)) - 1; bit >= 0; --bit) {
        const T set = static_cast<T>(1u << bit);
        for (int e = 0; e < kBlock; ++e) {
            candidate[e] = static_cast<T>(prefix[e] | set);
            below[e] = 0;
        }
        for (const T* row : rows) CountBelow(row, candidate, below);
        for (int e = 0; e < kBlock; ++e) prefix[e] = below[e] <= rank ? candidate[e] : prefix[e];
    }
    if (n % 2 == 1) {
        std::copy(prefix, prefix + kBlock, out);
        return;
    }
    // The upper middle: the same value if it occurs past the rank, otherwise
    // the least value above it.
    T atMost[kBlock] = {};
    T above[kBlock];
    std::fill(above, above + kBlock, std::numeric_limits<T>::max());
    for (const T* row : rows) {
        for (int e = 0; e < kBlock; ++e) {
            atMost[e] = static_cast<T>(atMost[e] + (row[e] <= prefix[e]));
            above[e] = row[e] > prefix[e] ? std::min(above[e], row[e]) : above[e];
        }
    }
    for (int e = 0; e < kBlock; ++e) {
        const unsigned upper = atMost[e] > rank + 1u ? prefix[e] : above[e];
        out[e] = static_cast<T>((prefix[e] + upper + 1u) / 2u);
    }
}

template <typename T>
void WholeMedian(const cv::Mat& stack, T* out) {
    std::vector<const T*> rows(stack.rows);
    const int whole = stack.cols / kBlock * kBlock;
    for (int start = 0; start < whole; start += kBlock) {
        for (int r = 0; r < stack.rows; ++r) rows[r] = stack.ptr<T>(r) + start;
        WholeMedianBlock(rows, out + start);
    }
    if (whole == stack.cols) return;
    // The last part block, padded to a whole one.
    cv::Mat tail = cv::Mat::zeros(stack.rows, kBlock, stack.type());
    stack.colRange(whole, stack.cols).copyTo(tail.colRange(0, stack.cols - whole));
    for (int r = 0; r < stack.rows; ++r) rows[r] = tail.ptr<T>(r);
    T medians[kBlock];
    WholeMedianBlock(rows, medians);
    std::copy(medians, medians + (stack.cols - whole), out + whole);
}

void FloatMedian(const cv::Mat& stack, float* out) {
    const int n = stack.rows;
    std::vector<float> values(n);
    for (int e = 0; e < stack.cols; ++e) {
        for (int r = 0; r < n; ++r) values[r] = stack.at<float>(r, e);
        const auto middle = values.begin() + n / 2;
        std::nth_element(values.begin(), middle, values.end());
        float median = *middle;
        if (n % 2 == 0) median = 0.5f * (median + *std::max_element(values.begin(), middle));
        out[e] = median;
    }
}

template <typename T>
void Mean(const cv::Mat& stack, T* out) {
    const int n = stack.rows;
    for (int start = 0; start < stack.cols; start += kBlock) {
        const int count = std::min(kBlock, stack.cols - start);
        double sum[kBlock] = {};
        for (int r = 0; r < n; ++r) {
            const T* row = stack.ptr<T>(r) + start;
            for (int e = 0; e < count; ++e) sum[e] += row[e];
        }
        for (int e = 0; e < count; ++e) out[start + e] = cv::saturate_cast<T>(sum[e] / n);
    }
}

cv::Mat Median(const cv::Mat& stack) {
    cv::Mat out(1, stack.cols, stack.type());
    switch (stack.depth()) {
        case CV_8U:
            WholeMedian(stack, out.ptr<std::uint8_t>());
            break;
        case CV_16U:
            WholeMedian(stack, out.ptr<std::uint16_t>());
            break;
        default:
            FloatMedian(stack, out.ptr<float>());
            break;
    }
    return out;
}

// Blocks compared by SetAsideOutliers; a copy set aside in one block keeps
// the rest.
constexpr int kOutlierBlock = 16;
// A block differing this many times more than is typical there is set
// aside; the floor keeps a lossless stack's rounding from counting.
constexpr double kOutlierFactor = 3.0;
constexpr double kOutlierFloor = 0.01;
// Fewer copies than this cannot outvote a blob.
constexpr int kLeastForOutliers = 5;

double FullScale(const cv::Mat& values) {
    switch (values.depth()) {
        case CV_8U:
            return 255.0;
        case CV_16U:
            return 65535.0;
        default: {
            double low = 0.0, high = 0.0;
            cv::minMaxLoc(values, &low, &high);
            return std::max(std::abs(low), std::abs(high));
        }
    }
}

// sums[i] += |a[i] - b[i]|: free of aliasing and branches, so vectorised.
template <typename T, typename Sum>
void AddAbsoluteDifference(const T* __restrict a, const T* __restrict b, Sum* __restrict sums,
                           int count) {
    for (int i = 0; i < count; ++i) {
        sums[i] = static_cast<Sum>(sums[i] + (std::max(a[i], b[i]) - std::min(a[i], b[i])));
    }
}

// The mean absolute difference of each copy from `median` in each block,
// one row of `distance` per copy: each band of block rows summed down the
// columns first, then across each block.
template <typename T>
void BlockDistances(const cv::Mat& stack, const cv::Mat& median, cv::Size plane, int channels,
                    cv::Mat& distance) {
    // A band of kOutlierBlock rows of differences fits these.
    using Sum =
        std::conditional_t<std::is_same_v<T, float>, float,
                           std::conditional_t<sizeof(T) == 1, std::uint16_t, std::uint32_t>>;
    const int blocksX = (plane.width + kOutlierBlock - 1) / kOutlierBlock;
    const int rowValues = plane.width * channels;
    const int blockValues = kOutlierBlock * channels;
    const T* middle = median.ptr<T>();
    std::vector<Sum> sums(rowValues);
    for (int k = 0; k < stack.rows; ++k) {
        const T* copy = stack.ptr<T>(k);
        double* out = distance.ptr<double>(k);
        for (int top = 0; top < plane.height; top += kOutlierBlock) {
            const int bottom = std::min(top + kOutlierBlock, plane.height);
            std::fill(sums.begin(), sums.end(), Sum{0});
            for (int y = top; y < bottom; ++y) {
                const std::size_t at = static_cast<std::size_t>(y) * rowValues;
                AddAbsoluteDifference(copy + at, middle + at, sums.data(), rowValues);
            }
            for (int bx = 0; bx < blocksX; ++bx) {
                const int start = bx * blockValues;
                const int end = std::min(start + blockValues, rowValues);
                double total = 0.0;
                for (int i = start; i < end; ++i) total += sums[i];
                out[(top / kOutlierBlock) * blocksX + bx] =
                    total / ((end - start) * (bottom - top));
            }
        }
    }
}

template <typename T>
void Replace(cv::Mat& stack, int row, cv::Rect block, cv::Size plane, int channels, bool low) {
    const T value = low ? std::numeric_limits<T>::lowest() : std::numeric_limits<T>::max();
    T* values = stack.ptr<T>(row);
    for (int y = block.y; y < block.y + block.height; ++y) {
        T* line = values + (static_cast<std::size_t>(y) * plane.width + block.x) * channels;
        std::fill(line, line + block.width * channels, value);
    }
}

}  // namespace

int SetAsideOutliers(cv::Mat& stack, const cv::Mat& median, cv::Size plane, int channels) {
    CV_Assert(stack.cols == plane.area() * channels && median.cols == stack.cols);
    const int copies = stack.rows;
    if (copies < kLeastForOutliers) return 0;
    const int blocksX = (plane.width + kOutlierBlock - 1) / kOutlierBlock;
    const int blocksY = (plane.height + kOutlierBlock - 1) / kOutlierBlock;
    const auto blockAt = [&](int bx, int by) {
        const int x = bx * kOutlierBlock;
        const int y = by * kOutlierBlock;
        return cv::Rect(x, y, std::min(kOutlierBlock, plane.width - x),
                        std::min(kOutlierBlock, plane.height - y));
    };

    // How far each copy's block lies from the median: its mean difference.
    cv::Mat distance(copies, blocksX * blocksY, CV_64F);
    switch (stack.depth()) {
        case CV_8U:
            BlockDistances<std::uint8_t>(stack, median, plane, channels, distance);
            break;
        case CV_16U:
            BlockDistances<std::uint16_t>(stack, median, plane, channels, distance);
            break;
        default:
            BlockDistances<float>(stack, median, plane, channels, distance);
            break;
    }

    const double floor = kOutlierFloor * FullScale(median);
    int setAside = 0;
    std::vector<double> column(copies);
    for (int b = 0; b < blocksX * blocksY; ++b) {
        for (int k = 0; k < copies; ++k) column[k] = distance.at<double>(k, b);
        std::nth_element(column.begin(), column.begin() + copies / 2, column.end());
        const double limit = kOutlierFactor * column[copies / 2] + floor;
        int here = 0;
        for (int k = 0; k < copies; ++k) {
            if (!(distance.at<double>(k, b) > limit)) continue;
            // Low and high in turn: the middle of what is left stays the middle.
            const bool low = here++ % 2 == 0;
            const cv::Rect block = blockAt(b % blocksX, b / blocksX);
            switch (stack.depth()) {
                case CV_8U:
                    Replace<std::uint8_t>(stack, k, block, plane, channels, low);
                    break;
                case CV_16U:
                    Replace<std::uint16_t>(stack, k, block, plane, channels, low);
                    break;
                default:
                    Replace<float>(stack, k, block, plane, channels, low);
                    break;
            }
        }
        setAside += here;
    }
    return setAside;
}

cv::Mat CombineStack(const cv::Mat& stack, Combine how, int* chosen) {
    CV_Assert(stack.channels() == 1 && stack.rows >= 1 && stack.rows <= kMaxCombined);
    CV_Assert(stack.depth() == CV_8U || stack.depth() == CV_16U || stack.depth() == CV_32F);
    if (how == Combine::Mean) {
        cv::Mat out(1, stack.cols, stack.type());
        switch (stack.depth()) {
            case CV_8U:
                Mean(stack, out.ptr<std::uint8_t>());
                break;
            case CV_16U:
                Mean(stack, out.ptr<std::uint16_t>());
                break;
            default:
                Mean(stack, out.ptr<float>());
                break;
        }
        return out;
    }
    const cv::Mat median = Median(stack);
    if (how == Combine::Median) return median;
    int best = 0;
    double nearest = std::numeric_limits<double>::infinity();
    for (int r = 0; r < stack.rows; ++r) {
        const double distance = cv::norm(stack.row(r), median, cv::NORM_L2SQR);
        if (distance < nearest) {
            nearest = distance;
            best = r;
        }
    }
    if (chosen != nullptr) *chosen = best;
    return stack.row(best).clone();
}

}  // namespace zentrel::lattice
