#include "preview_pictures.h"

#include <algorithm>
#include <cmath>
#include <exception>
#include <opencv2/imgcodecs.hpp>
#include <opencv2/imgproc.hpp>
#include <stdexcept>

#include "image_path.h"
#include "zentrel/zentrel_ext.h"

namespace zentrel::cli {

namespace {

const cv::Scalar kRectColour(0, 200, 0);
const cv::Scalar kMarkColour(0, 0, 255);
const cv::Scalar kShadow(0, 0, 0);
const cv::Scalar kRegionColour(0, 200, 255);
// Lattice points closer than this in an overview would only blur together.
constexpr double kMinPointSpacing = 6.0;
constexpr double kMaxLatticePoints = 100000;

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

struct Picture {
    const char* suffix;  // after the image's stem
    cv::Mat image;
};

// A result the pictures cannot show; its text is the preview's error.
class PreviewRefusal : public std::runtime_error {
public:
    using std::runtime_error::runtime_error;
};

// Reads the image, makes the pictures from it and writes each into `folder`.
// Returns an empty string, or why the pictures could not be written.
template <typename Make>
std::string WritePictures(const std::string& imagePath, const std::string& folder, Make&& make) {
    try {
        cv::Mat image;
        if (std::string error = ReadForPreview(imagePath, image); !error.empty()) return error;
        for (const Picture& picture : make(image)) {
            if (std::string error =
                    WritePicture(PreviewPath(folder, imagePath, picture.suffix), picture.image);
                !error.empty()) {
                return error;
            }
        }
        return "";
    } catch (const PreviewRefusal& refusal) {
        return refusal.what();
    } catch (const std::exception& error) {
        return std::string("preview failed: ") + error.what();
    }
}

cv::Point2d PointOf(const ZentrelPoint& point) { return {point.x, point.y}; }

cv::Point ScaledRounded(cv::Point2d point, double scale) {
    return {static_cast<int>(std::lround(point.x * scale)),
            static_cast<int>(std::lround(point.y * scale))};
}

double Modulo(double value, double period) {
    const double rest = std::fmod(value, period);
    return rest < 0 ? rest + period : rest;
}

// Where in the tile the lattice of `tile` takes the pixel at `at` of a
// pattern laid from the tile's corner; `size` is the cut tile's.
cv::Point2d PlaceInTile(const ZentrelTile& tile, cv::Point2d at, cv::Size2d size) {
    const cv::Point2d a = PointOf(tile.vector_a);
    const cv::Point2d b = PointOf(tile.vector_b);
    const double det = a.x * b.y - a.y * b.x;
    switch (tile.match) {
        case ZENTREL_MATCH_HALF_DROP: {
            const double column = std::floor(at.x / size.width);
            return {at.x - column * size.width,
                    Modulo(at.y - column * size.height / 2, size.height)};
        }
        case ZENTREL_MATCH_HALF_BRICK: {
            const double row = std::floor(at.y / size.height);
            return {Modulo(at.x - row * size.width / 2, size.width), at.y - row * size.height};
        }
        case ZENTREL_MATCH_OTHER:
            if (det != 0.0) {
                // The lattice cell at the origin, spanned by the two vectors.
                double s = (at.x * b.y - at.y * b.x) / det;
                double t = (a.x * at.y - a.y * at.x) / det;
                s -= std::floor(s);
                t -= std::floor(t);
                return s * a + t * b;
            }
            break;
        default:
            break;
    }
    cv::Point2d place(Modulo(at.x, size.width), Modulo(at.y, size.height));
    // Every other unit is the mirror image of its neighbours.
    const auto odd = [](double at, double side) {
        return static_cast<long long>(std::floor(at / side)) % 2 != 0;
    };
    const bool across = tile.mirror == ZENTREL_MIRROR_H || tile.mirror == ZENTREL_MIRROR_HV;
    const bool down = tile.mirror == ZENTREL_MIRROR_V || tile.mirror == ZENTREL_MIRROR_HV;
    if (across && odd(at.x, size.width)) place.x = size.width - 1 - place.x;
    if (down && odd(at.y, size.height)) place.y = size.height - 1 - place.y;
    return place;
}

// The whole image when the tile names no region.
cv::Rect RegionOf(const ZentrelTile& tile, const cv::Mat& image) {
    const cv::Rect whole(0, 0, image.cols, image.rows);
    const cv::Rect region =
        cv::Rect(tile.region_x, tile.region_y, tile.region_width, tile.region_height) & whole;
    return region.empty() ? whole : region;
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

cv::Mat DrawLatticeOverview(const cv::Mat& image, const ZentrelTile& tile) {
    const double scale = OverviewScale(image);
    cv::Mat picture = ScaledCopy(image, scale);
    const cv::Rect region = RegionOf(tile, image);
    const cv::Point2d origin = PointOf(tile.origin);
    const cv::Point2d a = PointOf(tile.vector_a);
    const cv::Point2d b = PointOf(tile.vector_b);
    const double det = a.x * b.y - a.y * b.x;
    const double spacing = std::min(cv::norm(a), cv::norm(b)) * scale;
    if (det != 0.0 && spacing >= kMinPointSpacing) {
        // The lattice coordinates of the region's corners bound those of the
        // points inside it.
        double lowI = HUGE_VAL, highI = -HUGE_VAL, lowJ = HUGE_VAL, highJ = -HUGE_VAL;
        for (const cv::Point2d corner :
             {cv::Point2d(region.tl()), cv::Point2d(region.x + region.width, region.y),
              cv::Point2d(region.x, region.y + region.height), cv::Point2d(region.br())}) {
            const cv::Point2d d = corner - origin;
            const double i = (d.x * b.y - d.y * b.x) / det;
            const double j = (a.x * d.y - a.y * d.x) / det;
            lowI = std::min(lowI, std::floor(i));
            highI = std::max(highI, std::ceil(i));
            lowJ = std::min(lowJ, std::floor(j));
            highJ = std::max(highJ, std::ceil(j));
        }
        if ((highI - lowI + 1) * (highJ - lowJ + 1) <= kMaxLatticePoints) {
            const cv::Rect2d inside(region);
            for (double i = lowI; i <= highI; ++i) {
                for (double j = lowJ; j <= highJ; ++j) {
                    const cv::Point2d point = origin + i * a + j * b;
                    if (!inside.contains(point)) continue;
                    const cv::Point at = ScaledRounded(point, scale);
                    cv::circle(picture, at, 4, kShadow, cv::FILLED, cv::LINE_AA);
                    cv::circle(picture, at, 3, kMarkColour, cv::FILLED, cv::LINE_AA);
                }
            }
        }
    }
    DrawOutlinedRect(picture, Scaled(region.tl(), scale), Scaled(region.br(), scale),
                     kRegionColour);
    DrawOutlinedRect(picture, ScaledRounded(origin, scale),
                     ScaledRounded(origin + cv::Point2d(tile.width, tile.height), scale),
                     kRectColour);
    return picture;
}

cv::Mat RepeatUnitThreeByThree(const cv::Mat& image, const ZentrelTile& tile) {
    const bool mirrored = tile.mirror != ZENTREL_MIRROR_NONE;
    const double width = mirrored ? tile.unit_width : tile.width;
    const double height = mirrored ? tile.unit_height : tile.height;
    const cv::Rect wanted(static_cast<int>(std::lround(tile.origin.x)),
                          static_cast<int>(std::lround(tile.origin.y)),
                          std::max(1, static_cast<int>(std::lround(width))),
                          std::max(1, static_cast<int>(std::lround(height))));
    const cv::Rect cut = wanted & cv::Rect(0, 0, image.cols, image.rows);
    if (cut.empty()) return {};
    cv::Mat unit(3 * cut.height, 3 * cut.width, image.type());
    // A band of rows at a time keeps the maps small beside a large unit.
    constexpr int kBandRows = 64;
    for (int top = 0; top < unit.rows; top += kBandRows) {
        const int rows = std::min(kBandRows, unit.rows - top);
        cv::Mat mapX(rows, unit.cols, CV_32FC1);
        cv::Mat mapY(rows, unit.cols, CV_32FC1);
        for (int y = 0; y < rows; ++y) {
            for (int x = 0; x < unit.cols; ++x) {
                const cv::Point2d source =
                    cv::Point2d(cut.tl()) + PlaceInTile(tile, cv::Point2d(x, top + y), cut.size());
                mapX.at<float>(y, x) = static_cast<float>(source.x);
                mapY.at<float>(y, x) = static_cast<float>(source.y);
            }
        }
        // Other lattices' cells may reach past the image's edge.
        cv::Mat band = unit.rowRange(top, top + rows);
        cv::remap(image, band, mapX, mapY, cv::INTER_NEAREST, cv::BORDER_REPLICATE);
    }
    return unit;
}

cv::Mat SeamsThreeByThree(const cv::Mat& tile, int match) {
    if (tile.empty()) return {};
    ZentrelTile lattice{};
    lattice.match = match;
    const cv::Size2d size(tile.cols, tile.rows);
    cv::Mat mapX(3 * tile.rows, 3 * tile.cols, CV_32FC1);
    cv::Mat mapY(mapX.size(), CV_32FC1);
    for (int y = 0; y < mapX.rows; ++y) {
        for (int x = 0; x < mapX.cols; ++x) {
            const cv::Point2d shifted(x + tile.cols / 2, y + tile.rows / 2);
            const cv::Point2d source = PlaceInTile(lattice, shifted, size);
            mapX.at<float>(y, x) = static_cast<float>(source.x);
            mapY.at<float>(y, x) = static_cast<float>(source.y);
        }
    }
    cv::Mat picture;
    cv::remap(tile, picture, mapX, mapY, cv::INTER_NEAREST, cv::BORDER_REPLICATE);
    return picture;
}

cv::Mat DrawQuadrilateral(const cv::Mat& image, const std::array<int, 8>& corners) {
    ZentrelPoint ordered[4];
    for (std::size_t k = 0; k < 4; ++k) {
        ordered[k] = {static_cast<double>(corners[2 * k]), static_cast<double>(corners[2 * k + 1])};
    }
    zentrel_order_corners(ordered);

    const double scale = OverviewScale(image);
    cv::Mat picture = ScaledCopy(image, scale);
    std::vector<cv::Point> polygon;
    for (const ZentrelPoint& corner : ordered) {
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
    return WritePictures(imagePath, folder, [&](const cv::Mat& image) {
        cv::Mat tile = TileThreeByThree(image, rect);
        if (tile.empty()) throw PreviewRefusal("the repeat rectangle lies outside the image");
        return std::vector<Picture>{{"_repeat.png", DrawRepeatOverview(image, rect, centres)},
                                    {"_tile.png", std::move(tile)}};
    });
}

std::string WriteTilePreview(const std::string& imagePath, const std::string& folder,
                             const ZentrelTile& tile) {
    return WritePictures(imagePath, folder, [&](const cv::Mat& image) {
        cv::Mat unit = RepeatUnitThreeByThree(image, tile);
        if (unit.empty()) throw PreviewRefusal("the tile lies outside the image");
        return std::vector<Picture>{{"_lattice.png", DrawLatticeOverview(image, tile)},
                                    {"_unit.png", std::move(unit)}};
    });
}

std::string WriteQuadPreview(const std::string& imagePath, const std::string& folder,
                             const std::array<int, 8>& corners) {
    return WritePictures(imagePath, folder, [&](const cv::Mat& image) {
        return std::vector<Picture>{{"_quad.png", DrawQuadrilateral(image, corners)}};
    });
}

std::string WriteSeamsPreview(const std::string& tilePath, const std::string& imagePath,
                              const std::string& folder, const ZentrelExportResult& written) {
    try {
        // As any viewer shows it: 8-bit colour.
        const cv::Mat tile = cv::imread(tilePath, cv::IMREAD_COLOR);
        if (tile.empty()) return "cannot read " + tilePath + " for the preview";
        return WritePicture(PreviewPath(folder, imagePath, "_seams.png"),
                            SeamsThreeByThree(tile, written.match));
    } catch (const std::exception& error) {
        return std::string("preview failed: ") + error.what();
    }
}

}  // namespace zentrel::cli
