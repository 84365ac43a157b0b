#include "working_image.h"

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <vector>
#include <opencv2/imgproc.hpp>

namespace zentrel::lattice {

namespace {

// The value of full intensity, which alpha is measured against.
double FullScale(int depth) {
    switch (depth) {
        case CV_8U:
            return 255.0;
        case CV_16U:
            return 65535.0;
        default:
            return 1.0;
    }
}

// Area averaging and colour conversion work on these depths; anything else
// goes through float.
bool NativeDepth(int depth) { return depth == CV_8U || depth == CV_16U || depth == CV_32F; }

// Sums of the squares of this many 16-bit values stay within 32 bits.
constexpr int kLargestBlockFactor = 64;

// The mean of each whole block of `factor` x `factor` pixels of a single
// channel of 8 or 16 bits, as float: the block's rows are summed into one
// row of integers first, so that most of the work is a plain addition.
template <typename Sample>
cv::Mat BlockMeans(const cv::Mat& grey, int factor) {
    cv::Mat means(grey.rows / factor, grey.cols / factor, CV_32F);
    std::vector<std::uint32_t> sums(grey.cols);
    const float norm = 1.0f / static_cast<float>(factor * factor);
    for (int y = 0; y < means.rows; ++y) {
        std::fill(sums.begin(), sums.end(), 0u);
        for (int row = y * factor; row < (y + 1) * factor; ++row) {
            const Sample* in = grey.ptr<Sample>(row);
            for (int x = 0; x < grey.cols; ++x) sums[x] += in[x];
        }
        float* out = means.ptr<float>(y);
        for (int x = 0; x < means.cols; ++x) {
            std::uint32_t sum = 0;
            for (int k = 0; k < factor; ++k) sum += sums[x * factor + k];
            out[x] = static_cast<float>(sum) * norm;
        }
    }
    return means;
}

cv::Mat Resized(const cv::Mat& region, double scale) {
    cv::Mat source = region;
    if (!NativeDepth(region.depth())) region.convertTo(source, CV_32F);
    if (scale >= 1.0) return source;
    const cv::Size size(std::max(1, static_cast<int>(std::lround(region.cols * scale))),
                        std::max(1, static_cast<int>(std::lround(region.rows * scale))));
    cv::Mat resized;
    cv::resize(source, resized, size, 0, 0, cv::INTER_AREA);
    return resized;
}

// Luminance in the image's own depth, where the conversion is fastest.
cv::Mat Luminance(const cv::Mat& image) {
    cv::Mat grey;
    switch (image.channels()) {
        case 1:
            return image;
        case 3:
            cv::cvtColor(image, grey, cv::COLOR_BGR2GRAY);
            return grey;
        case 4:
            cv::cvtColor(image, grey, cv::COLOR_BGRA2GRAY);
            return grey;
        default:
            cv::extractChannel(image, grey, 0);
            return grey;
    }
}

void ZeroNonFinite(cv::Mat& values) {
    cv::Mat samples = values.reshape(1);
    samples.forEach<float>([](float& value, const int*) {
        if (!std::isfinite(value)) value = 0.0f;
    });
}

cv::Mat AsFloat(const cv::Mat& image) {
    cv::Mat values;
    image.convertTo(values, CV_32F);
    if (image.depth() == CV_32F) ZeroNonFinite(values);
    return values;
}

}  // namespace

cv::Mat GreyWorkingCopy(const cv::Mat& image, cv::Rect region, double scale) {
    // Colour without alpha turns grey first: one channel to average instead
    // of three, and luminance is linear, so the order changes only rounding.
    // Whole blocks of integers are averaged exactly, without a resize's
    // rounding.
    if (image.channels() <= 3 && image.channels() != 2 && NativeDepth(image.depth())) {
        const cv::Mat grey = Luminance(image(region));
        const int factor = static_cast<int>(std::lround(1.0 / scale));
        if (grey.depth() != CV_32F && factor > 1 && factor <= kLargestBlockFactor &&
            std::abs(scale * factor - 1.0) < 1e-9 && grey.cols % factor == 0 &&
            grey.rows % factor == 0) {
            return grey.depth() == CV_8U ? BlockMeans<std::uint8_t>(grey, factor)
                                         : BlockMeans<std::uint16_t>(grey, factor);
        }
        return AsFloat(Resized(grey, scale));
    }
    const cv::Mat resized = Resized(image(region), scale);
    cv::Mat grey = AsFloat(Luminance(resized));
    if (resized.channels() == 2 || resized.channels() == 4) {
        // Over mid grey: luminance is linear, so blending it equals blending
        // the colours.
        const double fullScale = FullScale(image.depth());
        cv::Mat alpha;
        cv::extractChannel(resized, alpha, resized.channels() - 1);
        alpha = AsFloat(alpha) / fullScale;
        cv::min(cv::max(alpha, 0.0), 1.0, alpha);
        grey = (grey - 0.5 * fullScale).mul(alpha) + 0.5 * fullScale;
    }
    return grey;
}

cv::Mat ChromaWorkingCopy(const cv::Mat& image, cv::Rect region) {
    CV_Assert(image.channels() == 3 || image.channels() == 4);
    // Converted in the image's own depth where it can be, so that only the
    // two channels kept are ever float.
    cv::Mat colour = image(region);
    if (colour.channels() == 4 || !NativeDepth(colour.depth())) {
        colour = AsFloat(colour);
        if (colour.channels() == 4) {
            const double fullScale = FullScale(image.depth());
            cv::Mat alpha, opaque, alpha3;
            cv::extractChannel(colour, alpha, 3);
            alpha /= fullScale;
            cv::min(cv::max(alpha, 0.0), 1.0, alpha);
            cv::cvtColor(colour, opaque, cv::COLOR_BGRA2BGR);
            cv::merge(std::vector<cv::Mat>(3, alpha), alpha3);
            colour = (opaque - cv::Scalar::all(0.5 * fullScale)).mul(alpha3) +
                     cv::Scalar::all(0.5 * fullScale);
        }
    }
    cv::Mat ycrcb, chroma(colour.size(), CV_MAKETYPE(colour.depth(), 2));
    cv::cvtColor(colour, ycrcb, cv::COLOR_BGR2YCrCb);
    const int pairs[] = {1, 0, 2, 1};
    cv::mixChannels(&ycrcb, 1, &chroma, 1, pairs, 2);
    return AsFloat(chroma);
}

}  // namespace zentrel::lattice
