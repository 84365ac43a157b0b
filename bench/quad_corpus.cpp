#include "quad_corpus.h"

#include <algorithm>
#include <cmath>
#include <stdexcept>

#include <opencv2/imgcodecs.hpp>
#include <opencv2/imgproc.hpp>

#include "perspective.h"

namespace zentrel::quad_accuracy {

namespace {

using Random = std::mt19937;

constexpr double kPi = 3.14159265358979323846;

// What lies on what. Photos that hold a quadrilateral of their own, and the
// tiles with hard seams (a printed fabric, not a surface), are sheets only.
const char* const kSheets[] = {"starry_night.jpg",       "chelsea.png",        "building.jpg",
                               "brick_wall.png",         "gravel.png",         "sudoku.png",
                               "coffee_tile96x64.png",   "brick_tile97x61.png", "left01.jpg",
                               "chelsea_tile260x190.jpg", "painting_scene.jpg"};
const char* const kBackgrounds[] = {"gravel.png",  "brick_wall.png",   "brick_tile97x61.png",
                                    "building.jpg", "starry_night.jpg", "chelsea.png"};
const char* const kNegatives[] = {"gravel.png",           "chelsea.png",
                                  "brick_wall.png",       "coffee_tile96x64.png",
                                  "chelsea_tile260x190.jpg", "brick_tile97x61.png"};

// Photos of one subject; a sheet never lies on its own kind, where nothing
// but the cut would tell them apart.
std::string Subject(const std::string& name) {
    if (name.rfind("brick", 0) == 0) return "brick";
    if (name.rfind("chelsea", 0) == 0) return "cat";
    if (name.rfind("coffee", 0) == 0 || name.rfind("painting", 0) == 0) return "coffee";
    return name;
}

struct Known {
    const char* file;
    Corners corners;
};
// The corners given with the photos (top-left, top-right, bottom-right,
// bottom-left).
const Known kKnown[] = {
    {"sudoku.png", {{{73, 84}, {492, 69}, {520, 522}, {34, 516}}}},
    {"left01.jpg", {{{214, 63}, {550, 51}, {544, 302}, {221, 284}}}},
    {"painting_scene.jpg", {{{231, 118}, {1003, 171}, {958, 742}, {187, 690}}}},
};

const cv::Size kCanvasSizes[] = {{640, 480},   {800, 600},   {1024, 768},  {1200, 900},
                                 {768, 1024},  {1600, 1200}, {2400, 1800}, {3000, 2000}};

const char* const kPerspective = "perspective";
const char* const kRotation = "rotation";
const char* const kShadow = "partial shadow";
const char* const kLowContrast = "low contrast";
const char* const kNegative = "negatives";

double Uniform(Random& random, double low, double high) {
    return std::uniform_real_distribution<double>(low, high)(random);
}
int UniformInt(Random& random, int low, int high) {
    return std::uniform_int_distribution<int>(low, high)(random);
}
bool Chance(Random& random, double probability) { return Uniform(random, 0.0, 1.0) < probability; }
double Signed(Random& random, double low, double high) {
    return Uniform(random, low, high) * (Chance(random, 0.5) ? 1.0 : -1.0);
}
template <typename T>
const T& Pick(Random& random, const std::vector<T>& items) {
    return items[UniformInt(random, 0, static_cast<int>(items.size()) - 1)];
}
template <typename T, std::size_t N>
const T& Pick(Random& random, const T (&items)[N]) {
    return items[UniformInt(random, 0, static_cast<int>(N) - 1)];
}

cv::Mat Colour(const cv::Mat& image) {
    cv::Mat colour;
    if (image.channels() == 1) {
        cv::cvtColor(image, colour, cv::COLOR_GRAY2BGR);
        return colour;
    }
    if (image.channels() == 4) {
        cv::cvtColor(image, colour, cv::COLOR_BGRA2BGR);
        return colour;
    }
    return image;
}

// A view of `photo` filling `size`: turned by `degrees`, zoomed in by `zoom`
// (at least 1), somewhere inside the photo, so no border shows.
cv::Mat View(const cv::Mat& photo, cv::Size size, double degrees, double zoom, Random& random) {
    const double angle = degrees * kPi / 180.0;
    const double c = std::abs(std::cos(angle));
    const double s = std::abs(std::sin(angle));
    const double boxW = size.width * c + size.height * s;
    const double boxH = size.width * s + size.height * c;
    const double scale = std::min((photo.cols - 2) / boxW, (photo.rows - 2) / boxH) / zoom;
    const double spareX = (photo.cols - 2 - boxW * scale) / 2.0;
    const double spareY = (photo.rows - 2 - boxH * scale) / 2.0;
    const cv::Point2d centre(photo.cols / 2.0 + Uniform(random, -spareX, spareX),
                             photo.rows / 2.0 + Uniform(random, -spareY, spareY));
    // Canvas to photo: turn and scale about the canvas centre.
    cv::Mat toPhoto = (cv::Mat_<double>(2, 3) << scale * std::cos(angle), -scale * std::sin(angle),
                       0.0, scale * std::sin(angle), scale * std::cos(angle), 0.0);
    toPhoto.at<double>(0, 2) = centre.x - (toPhoto.at<double>(0, 0) * size.width / 2.0 +
                                           toPhoto.at<double>(0, 1) * size.height / 2.0);
    toPhoto.at<double>(1, 2) = centre.y - (toPhoto.at<double>(1, 0) * size.width / 2.0 +
                                           toPhoto.at<double>(1, 1) * size.height / 2.0);
    cv::Mat view;
    const cv::Mat source = Colour(photo);
    cv::Mat smooth = source;
    if (scale > 1.5) cv::GaussianBlur(source, smooth, cv::Size(), 0.4 * scale);
    cv::warpAffine(smooth, view, toPhoto, size, cv::INTER_LINEAR | cv::WARP_INVERSE_MAP,
                   cv::BORDER_REFLECT);
    return view;
}

Corners Ordered(const Corners& corners) {
    std::vector<cv::Point2f> points;
    for (const cv::Point2d& p : corners) points.emplace_back(p);
    OrderCorners(points);
    Corners ordered;
    for (int k = 0; k < 4; ++k) ordered[k] = points[k];
    return ordered;
}

bool Convex(const Corners& c) {
    int sign = 0;
    for (int k = 0; k < 4; ++k) {
        const cv::Point2d in = c[k] - c[(k + 3) % 4];
        const cv::Point2d out = c[(k + 1) % 4] - c[k];
        const int turn = in.x * out.y - in.y * out.x > 0 ? 1 : -1;
        if (sign != 0 && turn != sign) return false;
        sign = turn;
    }
    return true;
}

struct Placement {
    double degrees;
    double jitter;  // how far each corner strays, as a share of the sides
};

Placement PlacementFor(const std::string& family, Random& random) {
    if (family == kPerspective) return {Signed(random, 0.0, 10.0), Uniform(random, 0.08, 0.18)};
    if (family == kRotation) return {Signed(random, 10.0, 50.0), Uniform(random, 0.0, 0.03)};
    return {Signed(random, 0.0, 20.0), Uniform(random, 0.0, 0.1)};
}

// Where the sheet goes: inside the canvas, convex, and with a corner order
// that a tolerance's worth of error cannot change (the second and third
// corners from the top at least two tolerances apart in height).
bool Place(cv::Size canvas, double aspect, const std::string& family, Random& random,
           Placement& placement, Corners& corners) {
    const double diagonal = std::hypot(canvas.width, canvas.height);
    for (int attempt = 0; attempt < 1000; ++attempt) {
        placement = PlacementFor(family, random);
        const double share = Uniform(random, 0.12, 0.55 - 0.4 * attempt / 1000.0);
        const double width = std::sqrt(share * canvas.area() * aspect);
        const double height = width / aspect;
        const cv::Point2d centre(canvas.width * Uniform(random, 0.4, 0.6),
                                 canvas.height * Uniform(random, 0.4, 0.6));
        const double angle = placement.degrees * kPi / 180.0;
        const cv::Point2d u(std::cos(angle), std::sin(angle));
        const cv::Point2d v(-std::sin(angle), std::cos(angle));
        const double sx[4] = {-0.5, 0.5, 0.5, -0.5};
        const double sy[4] = {-0.5, -0.5, 0.5, 0.5};
        bool inside = true;
        for (int k = 0; k < 4; ++k) {
            const double jx = Uniform(random, -placement.jitter, placement.jitter);
            const double jy = Uniform(random, -placement.jitter, placement.jitter);
            corners[k] = centre + u * ((sx[k] + jx) * width) + v * ((sy[k] + jy) * height);
            const double margin = 0.02 * diagonal;
            inside = inside && corners[k].x > margin && corners[k].y > margin &&
                     corners[k].x < canvas.width - margin && corners[k].y < canvas.height - margin;
        }
        if (!inside || !Convex(corners)) continue;
        std::array<double, 4> ys;
        for (int k = 0; k < 4; ++k) ys[k] = corners[k].y;
        std::sort(ys.begin(), ys.end());
        if (ys[2] - ys[1] < 0.03 * diagonal) continue;
        return true;
    }
    return false;
}

cv::Mat Crop(const cv::Mat& photo, Random& random) {
    const int width = UniformInt(random, photo.cols * 3 / 5, photo.cols);
    const int height = UniformInt(random, photo.rows * 3 / 5, photo.rows);
    const int x = UniformInt(random, 0, photo.cols - width);
    const int y = UniformInt(random, 0, photo.rows - height);
    return Colour(photo)(cv::Rect(x, y, width, height));
}

// The sheet brought close to what it lies on: each channel's mean made that
// of the background around it, give or take a few levels, and its contrast
// lowered.
cv::Mat Dimmed(const cv::Mat& sheet, const cv::Mat& background, const cv::Mat& mask,
               Random& random, std::string& description) {
    cv::Mat ring;
    cv::Mat wide;
    const int grow = std::max(3, background.cols / 40);
    cv::dilate(mask > 0.01, wide, cv::getStructuringElement(cv::MORPH_ELLIPSE,
                                                             cv::Size(2 * grow + 1, 2 * grow + 1)));
    ring = wide & ~(mask > 0.01);
    const cv::Scalar around = cv::mean(background, ring);
    const cv::Scalar own = cv::mean(sheet);
    const double contrast = Uniform(random, 0.4, 0.7);
    const double offset = Signed(random, 8.0, 16.0);
    cv::Mat values;
    sheet.convertTo(values, CV_32FC3);
    values = (values - own) * contrast + around + cv::Scalar::all(offset);
    cv::Mat dimmed;
    values.convertTo(dimmed, CV_8UC3);
    description += cv::format(", contrast %.2f, offset %+.0f", contrast, offset);
    return dimmed;
}

// A shadow with a soft edge across the sheet and what it lies on.
void Shade(cv::Mat& image, const Corners& corners, Random& random, std::string& description) {
    const double t = Uniform(random, 0.3, 0.7);
    const cv::Point2d through = corners[0] * (1 - t) * 0.5 + corners[1] * t * 0.5 +
                                corners[3] * (1 - t) * 0.5 + corners[2] * t * 0.5;
    const double angle = Uniform(random, 0.0, kPi);
    const cv::Point2d normal(std::cos(angle), std::sin(angle));
    const double diagonal = std::hypot(image.cols, image.rows);
    const double soft = Uniform(random, 0.003, 0.03) * diagonal;
    const double light = Uniform(random, 0.45, 0.7);
    cv::Mat shade(image.size(), CV_32F);
    for (int y = 0; y < image.rows; ++y) {
        float* row = shade.ptr<float>(y);
        for (int x = 0; x < image.cols; ++x) {
            const double d = (cv::Point2d(x, y) - through).dot(normal) / soft;
            row[x] = static_cast<float>(1.0 - (1.0 - light) / (1.0 + std::exp(-d)));
        }
    }
    cv::Mat values;
    image.convertTo(values, CV_32FC3);
    cv::Mat shade3;
    cv::merge(std::vector<cv::Mat>{shade, shade, shade}, shade3);
    values = values.mul(shade3);
    values.convertTo(image, CV_8UC3);
    description += cv::format(", shadow %.2f soft %.0f px", light, soft);
}

// Blur, noise and a round trip through a file format, as a camera and a
// file would leave it.
cv::Mat AsPhotographed(const cv::Mat& image, Random& random, std::string& description) {
    cv::Mat out;
    const double blur = Uniform(random, 0.5, 1.2) * std::max(1.0, image.cols / 1200.0);
    cv::GaussianBlur(image, out, cv::Size(), blur);
    cv::Mat noise(out.size(), CV_16SC3);
    const double sigma = Uniform(random, 1.5, 4.0);
    cv::RNG rng(random());
    rng.fill(noise, cv::RNG::NORMAL, 0.0, sigma);
    cv::Mat noisy;
    cv::add(out, noise, noisy, cv::noArray(), CV_8UC3);
    std::vector<uchar> bytes;
    if (Chance(random, 0.7)) {
        const int quality = UniformInt(random, 80, 95);
        cv::imencode(".jpg", noisy, bytes, {cv::IMWRITE_JPEG_QUALITY, quality});
        description += cv::format(", blur %.1f, noise %.1f, JPEG %d", blur, sigma, quality);
    } else {
        cv::imencode(".png", noisy, bytes);
        description += cv::format(", blur %.1f, noise %.1f, PNG", blur, sigma);
    }
    return cv::imdecode(bytes, cv::IMREAD_UNCHANGED);
}

Sample Composite(const Photos& photos, const std::string& family, Random& random) {
    const cv::Size canvas = Pick(random, kCanvasSizes);
    const Photo& backgroundPhoto = Pick(random, photos.backgrounds);
    const Photo* sheetPhoto = &Pick(random, photos.sheets);
    while (Subject(sheetPhoto->name) == Subject(backgroundPhoto.name)) {
        sheetPhoto = &Pick(random, photos.sheets);
    }

    Sample sample;
    sample.family = family;
    sample.positive = true;
    cv::Mat background = View(backgroundPhoto.image, canvas, Uniform(random, -180.0, 180.0),
                              Uniform(random, 1.0, 1.6), random);
    cv::Mat sheet = Crop(sheetPhoto->image, random);
    Placement placement{};
    Corners corners;
    if (!Place(canvas, static_cast<double>(sheet.cols) / sheet.rows, family, random, placement,
               corners)) {
        throw std::runtime_error("no placement found for a sheet");
    }
    sample.description =
        cv::format("%dx%d %s on %s, %dx%d turned %.0f deg, corners stray %.0f%%", canvas.width,
                   canvas.height, sheetPhoto->name.c_str(), backgroundPhoto.name.c_str(),
                   sheet.cols, sheet.rows, placement.degrees, 100.0 * placement.jitter);

    // Shrunk near its final size first, so the warp does not alias it.
    const double across = std::hypot(corners[1].x - corners[0].x, corners[1].y - corners[0].y);
    if (across < 0.7 * sheet.cols) {
        const double scale = across / sheet.cols;
        cv::resize(sheet, sheet, cv::Size(), scale, scale, cv::INTER_AREA);
    }
    const cv::Point2f from[4] = {{-0.5f, -0.5f},
                                 {sheet.cols - 0.5f, -0.5f},
                                 {sheet.cols - 0.5f, sheet.rows - 0.5f},
                                 {-0.5f, sheet.rows - 0.5f}};
    cv::Point2f to[4];
    for (int k = 0; k < 4; ++k) to[k] = corners[k];
    const cv::Mat transform = cv::getPerspectiveTransform(from, to);
    cv::Mat mask;
    cv::warpPerspective(cv::Mat(sheet.size(), CV_32F, cv::Scalar(1.0)), mask, transform, canvas,
                        cv::INTER_LINEAR, cv::BORDER_CONSTANT, cv::Scalar(0.0));
    if (family == kLowContrast) sheet = Dimmed(sheet, background, mask, random, sample.description);
    cv::Mat warped;
    cv::warpPerspective(sheet, warped, transform, canvas, cv::INTER_LINEAR, cv::BORDER_REPLICATE);

    cv::Mat mask3;
    cv::merge(std::vector<cv::Mat>{mask, mask, mask}, mask3);
    cv::Mat a;
    cv::Mat b;
    warped.convertTo(a, CV_32FC3);
    background.convertTo(b, CV_32FC3);
    cv::Mat blended = a.mul(mask3) + b.mul(cv::Scalar::all(1.0) - mask3);
    cv::Mat image;
    blended.convertTo(image, CV_8UC3);
    if (family == kShadow) Shade(image, corners, random, sample.description);
    sample.image = AsPhotographed(image, random, sample.description);
    sample.corners = Ordered(corners);
    return sample;
}

Sample Negative(const Photos& photos, Random& random) {
    const cv::Size canvas = Pick(random, kCanvasSizes);
    Sample sample;
    sample.family = kNegative;
    const double kind = Uniform(random, 0.0, 1.0);
    cv::Mat image;
    if (kind < 0.6 && !photos.negatives.empty()) {
        const double degrees = Chance(random, 0.5) ? 0.0 : Uniform(random, -180.0, 180.0);
        const Photo& photo = Pick(random, photos.negatives);
        image = View(photo.image, canvas, degrees, Uniform(random, 1.0, 2.0), random);
        sample.description = cv::format("%dx%d %s turned %.0f deg", canvas.width, canvas.height,
                                        photo.name.c_str(), degrees);
    } else if (kind < 0.8) {
        const double sigma = Uniform(random, 10.0, 60.0);
        const double smooth = Uniform(random, 0.0, 3.0);
        image.create(canvas, CV_8UC3);
        cv::RNG rng(random());
        rng.fill(image, cv::RNG::NORMAL, 128.0, sigma);
        if (smooth > 0.5) cv::GaussianBlur(image, image, cv::Size(), smooth);
        sample.description =
            cv::format("%dx%d noise sigma %.0f blur %.1f", canvas.width, canvas.height, sigma, smooth);
    } else {
        const cv::Scalar colour(UniformInt(random, 20, 235), UniformInt(random, 20, 235),
                                UniformInt(random, 20, 235));
        cv::Mat values(canvas, CV_32FC3, colour);
        // A gentle fall-off of light across the picture.
        const cv::Point2d centre(Uniform(random, 0, canvas.width), Uniform(random, 0, canvas.height));
        const double diagonal = std::hypot(canvas.width, canvas.height);
        const double fall = Uniform(random, 0.0, 0.4);
        for (int y = 0; y < canvas.height; ++y) {
            cv::Vec3f* row = values.ptr<cv::Vec3f>(y);
            for (int x = 0; x < canvas.width; ++x) {
                const double d = std::hypot(x - centre.x, y - centre.y) / diagonal;
                row[x] *= static_cast<float>(1.0 - fall * d * d);
            }
        }
        values.convertTo(image, CV_8UC3);
        sample.description = cv::format("%dx%d flat, fall-off %.2f", canvas.width, canvas.height, fall);
    }
    sample.image = AsPhotographed(image, random, sample.description);
    return sample;
}

cv::Mat Load(const std::vector<std::string>& folders, const std::string& name) {
    for (const std::string& folder : folders) {
        const cv::Mat image = cv::imread(folder + "/" + name, cv::IMREAD_UNCHANGED);
        if (!image.empty()) return image;
    }
    return cv::Mat();
}

}  // namespace

Photos LoadPhotos(const std::vector<std::string>& folders) {
    Photos photos;
    const auto gather = [&](const auto& names, std::vector<Photo>& into) {
        for (const char* name : names) {
            const cv::Mat image = Load(folders, name);
            if (!image.empty()) into.push_back({name, image});
        }
    };
    gather(kSheets, photos.sheets);
    gather(kBackgrounds, photos.backgrounds);
    gather(kNegatives, photos.negatives);
    for (const Known& known : kKnown) {
        const cv::Mat image = Load(folders, known.file);
        if (image.empty()) continue;
        Sample sample;
        sample.family = known.file;
        sample.description = std::string(known.file) + ", corners measured";
        sample.image = image;
        sample.positive = true;
        sample.corners = known.corners;
        photos.known.push_back(sample);
    }
    return photos;
}

const std::vector<std::string>& Families() {
    static const std::vector<std::string> families = {kPerspective, kRotation, kShadow,
                                                      kLowContrast, kNegative};
    return families;
}

Sample MakeSample(const Photos& photos, const std::string& family, std::mt19937& random) {
    if (family == kNegative) return Negative(photos, random);
    if (photos.sheets.size() < 2 || photos.backgrounds.empty()) {
        throw std::invalid_argument("too few photos for composites");
    }
    return Composite(photos, family, random);
}

}  // namespace zentrel::quad_accuracy
