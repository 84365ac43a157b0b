#include "accuracy_corpus.h"

#include <algorithm>
#include <cmath>
#include <opencv2/imgcodecs.hpp>
#include <opencv2/imgproc.hpp>
#include <stdexcept>

#include "test_images.h"

namespace zentrel::accuracy {

namespace {

using lattice::MatchType;
using Random = std::mt19937;

// Photos without a repeat of their own; tiles are cut from them and from
// the near-periodic ones, negatives only from these.
const char* const kAperiodicPhotos[] = {"painting_scene.jpg", "starry_night.jpg", "chelsea.png",
                                        "gravel.png"};
const char* const kOtherPhotos[] = {"building.jpg", "brick_wall.png", "sudoku.png", "left01.jpg"};

const char* const kStraightClean = "straight, lossless";
const char* const kStraightJpeg = "straight, JPEG";
const char* const kStraightDegraded = "straight, noise/blur/scale/turn";
const char* const kHalfDrop = "half-drop";
const char* const kHalfBrick = "half-brick";
const char* const kNegative = "negatives";

double Uniform(Random& random, double low, double high) {
    return std::uniform_real_distribution<double>(low, high)(random);
}
int UniformInt(Random& random, int low, int high) {
    return std::uniform_int_distribution<int>(low, high)(random);
}
bool Chance(Random& random, double probability) { return Uniform(random, 0.0, 1.0) < probability; }
template <typename T, std::size_t N>
const T& Pick(Random& random, const T (&items)[N]) {
    return items[UniformInt(random, 0, static_cast<int>(N) - 1)];
}

// Tile sides from 12 to 400 pixels, evenly on a log scale, no more than
// 1.8 : 1; half-drops need an even height and half-bricks an even width.
cv::Size TileSize(Random& random, MatchType match) {
    const int width =
        static_cast<int>(std::lround(std::exp(Uniform(random, std::log(12.0), std::log(400.0)))));
    const double aspect = std::exp(Uniform(random, -std::log(1.8), std::log(1.8)));
    cv::Size tile(width, std::clamp(static_cast<int>(std::lround(width * aspect)), 12, 400));
    if (match == MatchType::HalfBrick) tile.width += tile.width % 2;
    if (match == MatchType::HalfDrop) tile.height += tile.height % 2;
    return tile;
}

const cv::Mat& PhotoAtLeast(const std::vector<cv::Mat>& photos, cv::Size size, Random& random) {
    std::vector<const cv::Mat*> large;
    for (const cv::Mat& photo : photos) {
        if (photo.cols >= size.width && photo.rows >= size.height) large.push_back(&photo);
    }
    if (large.empty()) throw std::invalid_argument("no photo is large enough for the tile");
    return *large[UniformInt(random, 0, static_cast<int>(large.size()) - 1)];
}

// A crop of a photo; made seamless by cross-fading a strip beyond its right
// and bottom edges into its left and top ones, or left with hard seams.
cv::Mat CutTile(const std::vector<cv::Mat>& photos, cv::Size tile, bool seamless, Random& random) {
    const int margin = seamless ? std::max(2, std::min(tile.width, tile.height) / 6) : 0;
    const cv::Size cut = tile + cv::Size(margin, margin);
    const cv::Mat& photo = PhotoAtLeast(photos, cut, random);
    const cv::Point corner(UniformInt(random, 0, photo.cols - cut.width),
                           UniformInt(random, 0, photo.rows - cut.height));
    cv::Mat crop;
    photo(cv::Rect(corner, cut)).convertTo(crop, CV_32FC3);
    for (int i = 0; i < margin; ++i) {
        const float keep = (i + 0.5f) / margin;
        crop.col(i) = keep * crop.col(i) + (1.0f - keep) * crop.col(i + tile.width);
    }
    for (int i = 0; i < margin; ++i) {
        const float keep = (i + 0.5f) / margin;
        crop.row(i) = keep * crop.row(i) + (1.0f - keep) * crop.row(i + tile.height);
    }
    cv::Mat result;
    crop(cv::Rect({0, 0}, tile)).convertTo(result, CV_8UC3);
    return result;
}

// A translucent ellipse in an otherwise opaque tile.
cv::Mat WithAlpha(const cv::Mat& tile, Random& random) {
    cv::Mat alpha(tile.size(), CV_8UC1, cv::Scalar(255));
    const cv::Point centre(UniformInt(random, 0, tile.cols - 1),
                           UniformInt(random, 0, tile.rows - 1));
    cv::ellipse(alpha, centre, cv::Size(tile.cols / 4 + 1, tile.rows / 5 + 1), 0, 0, 360,
                cv::Scalar(UniformInt(random, 0, 160)), cv::FILLED);
    cv::Mat bgra;
    cv::merge(std::vector<cv::Mat>{tile, alpha}, bgra);
    return bgra;
}

testing::TileOffset OffsetOf(MatchType match) {
    switch (match) {
        case MatchType::HalfDrop:
            return testing::TileOffset::HalfDrop;
        case MatchType::HalfBrick:
            return testing::TileOffset::HalfBrick;
        default:
            return testing::TileOffset::None;
    }
}

cv::Mat Turned(const cv::Mat& image, double degrees, cv::Size size) {
    const cv::Point2f centre(image.cols / 2.0f, image.rows / 2.0f);
    cv::Mat turn = cv::getRotationMatrix2D(centre, degrees, 1.0);
    turn.at<double>(0, 2) -= (image.cols - size.width) / 2.0;
    turn.at<double>(1, 2) -= (image.rows - size.height) / 2.0;
    cv::Mat turned;
    cv::warpAffine(image, turned, turn, size, cv::INTER_LINEAR);
    return turned;
}

cv::Mat WithNoise(const cv::Mat& image, double sigma, Random& random) {
    cv::Mat noise(image.size(), CV_32FC(image.channels()));
    cv::RNG rng(random());
    rng.fill(noise, cv::RNG::NORMAL, 0.0, sigma);
    cv::Mat noisy;
    image.convertTo(noisy, noise.type());
    noisy += noise;
    noisy.convertTo(noisy, image.type());
    return noisy;
}

enum class Format { Grey, Colour, Alpha, Deep };

cv::Mat InFormat(const cv::Mat& colour, Format format) {
    cv::Mat out;
    switch (format) {
        case Format::Grey:
            cv::cvtColor(colour, out, cv::COLOR_BGR2GRAY);
            return out;
        case Format::Deep:
            colour.convertTo(out, CV_16UC3, 257.0);
            return out;
        case Format::Colour:
        case Format::Alpha:
            return colour;
    }
    return colour;
}

const char* FormatName(Format format) {
    switch (format) {
        case Format::Grey:
            return "grey";
        case Format::Colour:
            return "colour";
        case Format::Alpha:
            return "alpha";
        case Format::Deep:
            return "16-bit";
    }
    return "";
}

// How a tiled image is spoilt after tiling.
struct Spoil {
    double noise = 0.0;
    double blur = 0.0;
    double scale = 1.0;
    double turn = 0.0;
    int jpegQuality = 0;
};

std::string Describe(const Spoil& spoil) {
    std::string text;
    const auto add = [&](const std::string& part) { text += " " + part; };
    if (spoil.noise > 0) add("noise " + cv::format("%.0f", spoil.noise));
    if (spoil.blur > 0) add("blur " + cv::format("%.1f", spoil.blur));
    if (spoil.scale != 1.0) add("scale " + cv::format("%.3f", spoil.scale));
    if (spoil.turn != 0.0) add("turn " + cv::format("%.2f", spoil.turn));
    if (spoil.jpegQuality > 0) add("jpeg " + std::to_string(spoil.jpegQuality));
    return text;
}

// One of noise, blur, a non-integer rescaling or a turn of up to two degrees.
Spoil OneDegradation(Random& random, bool mild) {
    Spoil spoil;
    switch (UniformInt(random, 0, 3)) {
        case 0:
            spoil.noise = mild ? 5.0 : Pick(random, {5.0, 10.0, 15.0});
            break;
        case 1:
            spoil.blur = mild ? 1.0 : Pick(random, {1.0, 1.5, 2.5});
            break;
        case 2: {
            const double scale = Uniform(random, 0.6, 1.5);
            spoil.scale = std::abs(scale - 1.0) < 0.05 ? 1.13 : scale;
            break;
        }
        default:
            spoil.turn = (Chance(random, 0.5) ? 1 : -1) * Uniform(random, 0.3, mild ? 1.0 : 2.0);
    }
    return spoil;
}

// A side of the image: at least 2.4 tiles and 200 pixels, up to 1600 pixels
// or, for a large photo, 2000 to 3000.
int ImageSide(Random& random, double tileSide, bool large) {
    if (large) return UniformInt(random, 2000, 3000);
    const int side = static_cast<int>(std::lround(tileSide * Uniform(random, 2.4, 7.0)));
    return std::clamp(side, std::max(200, static_cast<int>(std::ceil(2.4 * tileSide))), 1600);
}

Sample Periodic(const Photos& photos, const std::string& family, MatchType match, Format format,
                const Spoil& spoil, Random& random) {
    const cv::Size tile = TileSize(random, match);
    const bool seamless = Chance(random, 0.6);
    cv::Mat cut = CutTile(photos.sources, tile, seamless, random);
    if (format == Format::Alpha) cut = WithAlpha(cut, random);

    Sample sample;
    sample.family = family;
    sample.periodic = true;
    sample.match = match;
    sample.width = tile.width * spoil.scale;
    sample.height = tile.height * spoil.scale;
    const bool large = Chance(random, 0.1);
    const cv::Size size(ImageSide(random, sample.width, large),
                        ImageSide(random, sample.height, large));

    // Tiled larger where turning or rescaling will cut or shrink it.
    cv::Size tiled(static_cast<int>(std::ceil(size.width / spoil.scale)),
                   static_cast<int>(std::ceil(size.height / spoil.scale)));
    if (spoil.turn != 0.0) tiled += cv::Size(tiled.height / 10 + 8, tiled.width / 10 + 8);
    const cv::Point phase(UniformInt(random, 0, tile.width - 1),
                          UniformInt(random, 0, tile.height - 1));
    cv::Mat image = testing::RepeatTile(cut, tiled, OffsetOf(match), phase);
    if (spoil.turn != 0.0)
        image =
            Turned(image, spoil.turn,
                   cv::Size(cvRound(size.width / spoil.scale), cvRound(size.height / spoil.scale)));
    if (spoil.scale != 1.0) {
        cv::resize(image, image, size, 0, 0, spoil.scale < 1.0 ? cv::INTER_AREA : cv::INTER_LINEAR);
    }
    if (spoil.blur > 0) cv::GaussianBlur(image, image, cv::Size(), spoil.blur);
    if (spoil.noise > 0) image = WithNoise(image, spoil.noise, random);
    sample.image = InFormat(image, format);
    sample.jpegQuality = spoil.jpegQuality;
    sample.description = cv::format("%s %s %dx%d %s tile %dx%d", lattice::MatchTypeName(match),
                                    FormatName(format), size.width, size.height,
                                    seamless ? "seamless" : "seams", tile.width, tile.height) +
                         Describe(spoil);
    return sample;
}

cv::Mat AperiodicCrop(const Photos& photos, Random& random) {
    const cv::Mat& photo =
        photos.aperiodic[UniformInt(random, 0, static_cast<int>(photos.aperiodic.size()) - 1)];
    const cv::Size size(UniformInt(random, std::min(photo.cols, 200), photo.cols),
                        UniformInt(random, std::min(photo.rows, 200), photo.rows));
    const cv::Point corner(UniformInt(random, 0, photo.cols - size.width),
                           UniformInt(random, 0, photo.rows - size.height));
    cv::Mat crop = photo(cv::Rect(corner, size)).clone();
    if (Chance(random, 0.3)) cv::resize(crop, crop, cv::Size(), 1.7, 1.7, cv::INTER_CUBIC);
    return crop;
}

// Aperiodic photos, flat images, white and smoothed noise, shaded ramps.
Sample Negative(const Photos& photos, Random& random) {
    Sample sample;
    sample.family = kNegative;
    const cv::Size size(UniformInt(random, 240, 1400), UniformInt(random, 240, 1400));
    const int kind = UniformInt(random, 0, 9);
    cv::Mat image;
    if (kind < 5 && !photos.aperiodic.empty()) {
        image = AperiodicCrop(photos, random);
        sample.description = cv::format("photo %dx%d", image.cols, image.rows);
    } else if (kind < 6) {
        image = cv::Mat(size, CV_8UC3,
                        cv::Scalar(UniformInt(random, 0, 255), UniformInt(random, 0, 255),
                                   UniformInt(random, 0, 255)));
        image = WithNoise(image, 1.0, random);
        sample.description = "flat";
    } else if (kind < 8) {
        const double smoothing = Pick(random, {0.0, 2.0, 5.0});
        image = WithNoise(cv::Mat(size, CV_8UC3, cv::Scalar::all(128)), 40.0, random);
        if (smoothing > 0) cv::GaussianBlur(image, image, cv::Size(), smoothing);
        sample.description = cv::format("noise smoothed %.0f", smoothing);
    } else {
        cv::Mat ramp(size, CV_32FC1);
        for (int y = 0; y < size.height; ++y) {
            for (int x = 0; x < size.width; ++x)
                ramp.at<float>(y, x) = 40.0f + 150.0f * (x + y) / (size.width + size.height);
        }
        ramp.convertTo(image, CV_8UC1);
        image = WithNoise(image, 3.0, random);
        sample.description = "ramp";
    }
    if (Chance(random, 0.5)) sample.jpegQuality = Pick(random, {90, 70, 50});
    sample.image = image;
    sample.description += Describe(Spoil{0, 0, 1, 0, sample.jpegQuality});
    return sample;
}

}  // namespace

Photos LoadPhotos(const std::vector<std::string>& folders) {
    Photos photos;
    const auto load = [&](const char* name, bool aperiodic) {
        for (const std::string& folder : folders) {
            cv::Mat photo = cv::imread(folder + "/" + name, cv::IMREAD_COLOR);
            if (photo.empty()) continue;
            photos.sources.push_back(photo);
            if (aperiodic) photos.aperiodic.push_back(photo);
            return;
        }
    };
    for (const char* name : kAperiodicPhotos) load(name, true);
    for (const char* name : kOtherPhotos) load(name, false);
    return photos;
}

const std::vector<std::string>& Families() {
    static const std::vector<std::string> families = {
        kStraightClean, kStraightJpeg, kStraightDegraded, kHalfDrop, kHalfBrick, kNegative};
    return families;
}

Sample MakeSample(const Photos& photos, const std::string& family, Random& random) {
    const Format anyFormat =
        Pick(random, {Format::Grey, Format::Colour, Format::Alpha, Format::Deep});
    const Format eightBit = Pick(random, {Format::Grey, Format::Colour});
    if (family == kStraightClean) {
        return Periodic(photos, family, MatchType::Straight, anyFormat, {}, random);
    }
    if (family == kStraightJpeg) {
        Spoil spoil;
        spoil.jpegQuality = Pick(random, {95, 85, 70, 50, 35});
        return Periodic(photos, family, MatchType::Straight, eightBit, spoil, random);
    }
    if (family == kStraightDegraded) {
        Spoil spoil = OneDegradation(random, false);
        if (Chance(random, 0.3)) spoil.jpegQuality = 90;
        return Periodic(photos, family, MatchType::Straight, eightBit, spoil, random);
    }
    if (family == kHalfDrop || family == kHalfBrick) {
        const MatchType match = family == kHalfDrop ? MatchType::HalfDrop : MatchType::HalfBrick;
        const int kind = UniformInt(random, 0, 9);
        if (kind < 4) return Periodic(photos, family, match, anyFormat, {}, random);
        Spoil spoil = kind < 7 ? Spoil{} : OneDegradation(random, true);
        if (kind < 7) spoil.jpegQuality = Pick(random, {90, 70, 50});
        return Periodic(photos, family, match, eightBit, spoil, random);
    }
    return Negative(photos, random);
}

}  // namespace zentrel::accuracy
