#include "preview_pictures.h"

#include <algorithm>
#include <cmath>
#include <exception>
#include <opencv2/imgcodecs.hpp>
#include <opencv2/imgproc.hpp>

#include "image_path.h"
#include "tool_access.h"

namespace zentrel::cli {

namespace {

const cv::Scalar kRectColour(0, 200, 0);
const cv::Scalar kMarkColour(0, 0, 255);
const cv::Scalar kShadow(0, 0, 0);

double OverviewScale(const cv::Mat& image) {
    return image.cols > kPreviewMaxWidth ? static_cast<double>(kPreviewMaxWidth) / image.cols : 1.0;
}

cv::Mat ScaledCopy(const cv::Mat& image, double scale) {
    cv::Mat scaled;
    if (scale == 1.0) {
        scaled = image.clone();
    } else {
        const int rows = std::max(1, static_cast<int>(std::lround(image.rows * scale)));
        cv::resize(image, scaled, cv::Size(kPreviewMaxWidth, rows), 0, 0, cv::INTER_AREA);
    }
    return scaled;
}

cv::Point Scaled(cv::Point point, double scale) {
    return {static_cast<int>(std::lround(point.x * scale)),
            static_cast<int>(std::lround(point.y * scale))};
}

// Thin black under the colour, so that lines show on light and dark images.
void DrawOutlinedRect(cv::Mat& picture, cv::Point a, cv::Point b, const cv::Scalar& colour) {
    cv::rectangle(picture, a, b, kShadow, 4, cv::LINE_AA);
    cv::rectangle(picture, a, b, colour, 2, cv::LINE_AA);
}

// Beside `corner`, but kept inside the picture so that corners on the edge
// stay labelled.
cv::Point LabelPosition(const cv::Mat& picture, const std::string& label, cv::Point corner) {
    int baseline = 0;
    const cv::Size size = cv::getTextSize(label, cv::FONT_HERSHEY_SIMPLEX, 0.8, 4, &baseline);
    const int x = std::clamp(corner.x + 6, 2, std::max(2, picture.cols - size.width - 2));
    const int y = std::clamp(corner.y - 6, size.height + 2,
                             std::max(size.height + 2, picture.rows - baseline - 2));
    return {x, y};
}

std::string ReadForPreview(const std::string& imagePath, cv::Mat& image) {
    image = cv::imread(imagePath, cv::IMREAD_COLOR);
    return image.empty() ? "cannot read " + imagePath + " for the preview" : "";
}

std::string WritePicture(const std::string& path, const cv::Mat& picture) {
    try {
        if (cv::imwrite(path, picture)) return "";
    } catch (const cv::Exception& error) {
        return "cannot write " + path + ": " + error.err;
    }
    return "cannot write " + path;
}

std::string PreviewPath(const std::string& folder, const std::string& imagePath,
                        const char* suffix) {
    std::string path = folder;
    if (!path.empty() && path.back() != '/') path += '/';
    return path + ImageStem(imagePath) + suffix;
}

}  // namespace

cv::Mat DrawRepeatOverview(const cv::Mat& image, cv::Rect rect,
                           const std::vector<cv::Point>& centres) {
    const double scale = OverviewScale(image);
    cv::Mat picture = ScaledCopy(image, scale);
    DrawOutlinedRect(picture, Scaled(rect.tl(), scale), Scaled(rect.br(), scale), kRectColour);
    for (const cv::Point& centre : centres) {
        const cv::Point at = Scaled(centre, scale);
        cv::drawMarker(picture, at, kShadow, cv::MARKER_CROSS, 14, 4);
        cv::drawMarker(picture, at, kMarkColour, cv::MARKER_CROSS, 12, 2);
    }
    return picture;
}

cv::Mat TileThreeByThree(const cv::Mat& image, cv::Rect rect) {
    const cv::Rect inside = rect & cv::Rect(0, 0, image.cols, image.rows);
    if (inside.empty()) return {};
    cv::Mat tiled;
    cv::repeat(image(inside), 3, 3, tiled);
    return tiled;
}

cv::Mat DrawQuadrilateral(const cv::Mat& image, const std::array<int, 8>& corners) {
    std::vector<cv::Point2f> ordered;
    for (std::size_t k = 0; k < 4; ++k) {
        ordered.emplace_back(static_cast<float>(corners[2 * k]),
                             static_cast<float>(corners[2 * k + 1]));
    }
    OrderCorners(ordered);

    const double scale = OverviewScale(image);
    cv::Mat picture = ScaledCopy(image, scale);
    std::vector<cv::Point> polygon;
    for (const cv::Point2f& corner : ordered) {
        polygon.push_back(
            Scaled(cv::Point(static_cast<int>(corner.x), static_cast<int>(corner.y)), scale));
    }
    cv::polylines(picture, polygon, true, kShadow, 4, cv::LINE_AA);
    cv::polylines(picture, polygon, true, kRectColour, 2, cv::LINE_AA);
    for (std::size_t k = 0; k < polygon.size(); ++k) {
        const std::string label = std::to_string(k + 1);
        const cv::Point at = LabelPosition(picture, label, polygon[k]);
        cv::circle(picture, polygon[k], 5, kMarkColour, cv::FILLED, cv::LINE_AA);
        cv::putText(picture, label, at, cv::FONT_HERSHEY_SIMPLEX, 0.8, kShadow, 4, cv::LINE_AA);
        cv::putText(picture, label, at, cv::FONT_HERSHEY_SIMPLEX, 0.8, kMarkColour, 2, cv::LINE_AA);
    }
    return picture;
}

std::string WriteRepeatPreview(const std::string& imagePath, const std::string& folder,
                               cv::Rect rect, const std::vector<cv::Point>& centres) {
    try {
        cv::Mat image;
        if (std::string error = ReadForPreview(imagePath, image); !error.empty()) return error;
        const cv::Mat tile = TileThreeByThree(image, rect);
        if (tile.empty()) return "the repeat rectangle lies outside the image";
        if (std::string error = WritePicture(PreviewPath(folder, imagePath, "_repeat.png"),
                                             DrawRepeatOverview(image, rect, centres));
            !error.empty()) {
            return error;
        }
        return WritePicture(PreviewPath(folder, imagePath, "_tile.png"), tile);
    } catch (const std::exception& error) {
        return std::string("preview failed: ") + error.what();
    }
}

std::string WriteQuadPreview(const std::string& imagePath, const std::string& folder,
                             const std::array<int, 8>& corners) {
    try {
        cv::Mat image;
        if (std::string error = ReadForPreview(imagePath, image); !error.empty()) return error;
        return WritePicture(PreviewPath(folder, imagePath, "_quad.png"),
                            DrawQuadrilateral(image, corners));
    } catch (const std::exception& error) {
        return std::string("preview failed: ") + error.what();
    }
}

}  // namespace zentrel::cli
