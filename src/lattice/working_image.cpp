#include "working_image.h"

#include <algorithm>
#include <cmath>
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
    values.forEach<float>([](float& value, const int*) {
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

}  // namespace zentrel::lattice
