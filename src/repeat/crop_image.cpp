#include "crop_image.h"

#include "trace.h"

namespace zentrel {

cv::Mat CropImage(cv::Mat image, int x, int y, int width, int height) {
    try {
        const cv::Rect roi(x, y, width, height);
        cv::Mat result(image, roi);
        return result;
    } catch (const cv::Exception&) {
        Trace("Input mat is not proper! Check CropImage Function");
        Trace("return zero matrix");
        return cv::Mat::zeros(3, 3, CV_32FC1);
    }
}

}  // namespace zentrel
