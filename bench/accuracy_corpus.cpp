#include "accuracy_corpus.h"

#include <algorithm>
#include <cmath>
#include <optional>
#include <opencv2/imgcodecs.hpp>
#include <opencv2/imgproc.hpp>
#include <stdexcept>

#include "test_images.h"

namespace zentrel::accuracy {

namespace {

using lattice::MatchType;
using lattice::Mirror;

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
const char* const kNearRepeat = "near-repeat designs";
const char* const kFaint = "faint paper/canvas, JPEG";
const char* const kMirror = "mirror repeats";
const char* const kPartial = "pattern in part of a photo";
const char* const kArt = "pattern art (installed)";
const char* const kNegative = "negatives";

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

// `tile` tiled with `match` over an image of 2.4 to 7 tiles (of `truth`'s
// tile) a side, then spoilt.
Sample Tiled(const cv::Mat& tile, const Truth& truth, const std::string& family, MatchType match,
             Format format, const Spoil& spoil, Random& random) {
    Sample sample;
    sample.family = family;
    sample.periodic = true;
    sample.match = truth.match;
    sample.mirror = truth.mirror;
    sample.width = truth.width * spoil.scale;
    sample.height = truth.height * spoil.scale;
    // The lattice turns with the image (as cv::getRotationMatrix2D turns points).
    const double turn = spoil.turn * CV_PI / 180.0;
    const auto placed = [&](cv::Point2d v) {
        return spoil.scale * cv::Point2d(std::cos(turn) * v.x + std::sin(turn) * v.y,
                                         -std::sin(turn) * v.x + std::cos(turn) * v.y);
    };
    sample.vectorA = placed(truth.vectorA);
    sample.vectorB = placed(truth.vectorB);
    const bool large = Chance(random, 0.1);
    const cv::Size size(ImageSide(random, sample.width, large),
                        ImageSide(random, sample.height, large));

    // Tiled larger where turning or rescaling will cut or shrink it.
    cv::Size tiled(static_cast<int>(std::ceil(size.width / spoil.scale)),
                   static_cast<int>(std::ceil(size.height / spoil.scale)));
    if (spoil.turn != 0.0) tiled += cv::Size(tiled.height / 10 + 8, tiled.width / 10 + 8);
    const cv::Point phase(UniformInt(random, 0, tile.cols - 1), UniformInt(random, 0, tile.rows - 1));
    cv::Mat image = testing::RepeatTile(tile, tiled, OffsetOf(match), phase);
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
    sample.description = cv::format("%s %s %dx%d tile %dx%d", lattice::MatchTypeName(match),
                                    FormatName(format), size.width, size.height, tile.cols,
                                    tile.rows) +
                         Describe(spoil);
    return sample;
}

Truth PlainTruth(cv::Size tile, MatchType match) {
    Truth truth;
    truth.valid = true;
    truth.width = tile.width;
    truth.height = tile.height;
    truth.match = match;
    return truth;
}

Sample Periodic(const Photos& photos, const std::string& family, MatchType match, Format format,
                const Spoil& spoil, Random& random) {
    const cv::Size tile = TileSize(random, match);
    const bool seamless = Chance(random, 0.6);
    cv::Mat cut = CutTile(photos.sources, tile, seamless, random);
    if (format == Format::Alpha) cut = WithAlpha(cut, random);
    Sample sample = Tiled(cut, PlainTruth(tile, match), family, match, format, spoil, random);
    sample.description += seamless ? ", seamless" : ", seams";
    return sample;
}

// Half-drop needs an even height and half-brick an even width.
MatchType AnyMatch(Random& random, const cv::Mat& tile, double straightShare) {
    if (Chance(random, straightShare)) return MatchType::Straight;
    if (Chance(random, 0.5)) return tile.rows % 2 == 0 ? MatchType::HalfDrop : MatchType::Straight;
    return tile.cols % 2 == 0 ? MatchType::HalfBrick : MatchType::Straight;
}

// A design tiled when its exact repeat is large enough to be a tile; none
// otherwise, and the caller draws another.
std::optional<Sample> DesignSample(const Design& design, const std::string& family, MatchType match,
                                   Format format, const Spoil& spoil, Random& random) {
    const Truth truth = TruthOf(design.tile, match);
    if (!truth.valid || truth.width < 10 || truth.height < 10) return std::nullopt;
    Sample sample = Tiled(design.tile, truth, family, match, format, spoil, random);
    sample.description += ", " + design.kind;
    return sample;
}

Spoil JpegOr(Random& random, double lossless, double jpeg, int lowQuality) {
    Spoil spoil;
    const double draw = Uniform(random, 0.0, 1.0);
    if (draw < lossless) return spoil;
    if (draw < lossless + jpeg) {
        spoil.jpegQuality = UniformInt(random, lowQuality, 95);
        return spoil;
    }
    return OneDegradation(random, true);
}

Sample NearRepeat(const Photos& photos, Random& random) {
    for (;;) {
        const Design design = NearRepeatDesign(photos.sources, random);
        const MatchType match = AnyMatch(random, design.tile, 0.75);
        const Format format = Pick(random, {Format::Grey, Format::Colour});
        const Spoil spoil = JpegOr(random, 0.55, 0.3, 75);
        if (auto sample = DesignSample(design, kNearRepeat, match, format, spoil, random)) return *sample;
    }
}

Sample Faint(const Photos& photos, Random& random) {
    for (;;) {
        const Design design = FaintTexture(photos.sources, photos.art.textures, random);
        const MatchType match = AnyMatch(random, design.tile, 0.7);
        const Format format = Pick(random, {Format::Grey, Format::Colour});
        Spoil spoil;
        spoil.jpegQuality = UniformInt(random, 50, 90);
        if (auto sample = DesignSample(design, kFaint, match, format, spoil, random)) return *sample;
    }
}

Sample Mirrored(const Photos& photos, Random& random) {
    for (;;) {
        const cv::Size size(LogUniformInt(random, 8, 200), LogUniformInt(random, 8, 200));
        const int kind = UniformInt(random, 0, 9);
        cv::Mat unit;
        std::string made;
        if (kind < 6) {
            unit = CutTile(photos.sources, size, false, random);
            made = "photo";
        } else if (kind < 8) {
            unit = testing::ShapesTile(size, CV_8UC3, random());
            made = "shapes";
        } else {
            const Design design = NearRepeatDesign(photos.sources, random);
            unit = design.tile;
            made = design.kind;
        }
        const Mirror mirror = Pick(random, {Mirror::Horizontal, Mirror::Vertical, Mirror::Both});
        const Design design{MirroredTile(unit, mirror),
                            cv::format("unit %dx%d (%s) mirrored", unit.cols, unit.rows, made.c_str())};
        const Format format = Pick(random, {Format::Grey, Format::Colour});
        const Spoil spoil = JpegOr(random, 0.45, 0.35, 70);
        if (auto sample = DesignSample(design, kMirror, MatchType::Straight, format, spoil, random)) {
            return *sample;
        }
    }
}

Sample ArtTiling(const Photos& photos, Random& random) {
    for (;;) {
        const cv::Mat& tile =
            photos.art.tiles[UniformInt(random, 0, static_cast<int>(photos.art.tiles.size()) - 1)];
        const MatchType match = AnyMatch(random, tile, 0.5);
        const Format format = Pick(random, {Format::Grey, Format::Colour});
        const Spoil spoil = JpegOr(random, 0.4, 0.4, 50);
        if (auto sample = DesignSample({tile, "art"}, kArt, match, format, spoil, random)) return *sample;
    }
}

// A background photo (or a plain one) the size of `size`.
cv::Mat Background(const Photos& photos, cv::Size size, Random& random) {
    if (photos.aperiodic.empty()) return WithNoise(cv::Mat(size, CV_8UC3, cv::Scalar::all(120)), 8, random);
    const cv::Mat& photo =
        photos.aperiodic[UniformInt(random, 0, static_cast<int>(photos.aperiodic.size()) - 1)];
    const double zoom = std::max(static_cast<double>(size.width) / photo.cols,
                                 static_cast<double>(size.height) / photo.rows);
    cv::Mat scaled;
    cv::resize(photo, scaled, cv::Size(), zoom * 1.01, zoom * 1.01, cv::INTER_LINEAR);
    return scaled(cv::Rect({0, 0}, size)).clone();
}

// A tiling that covers part of a photo, turned a little or not, under light
// that falls off across the frame.
Sample PartialFrame(const Photos& photos, Random& random) {
    for (;;) {
        const cv::Size size(UniformInt(random, 500, 1600), UniformInt(random, 500, 1600));
        const cv::Size area(static_cast<int>(size.width * Uniform(random, 0.45, 0.85)),
                            static_cast<int>(size.height * Uniform(random, 0.45, 0.85)));
        const int kind = UniformInt(random, 0, 9);
        Design design;
        MatchType match = MatchType::Straight;
        if (kind < 6) {
            match = Pick(random, {MatchType::Straight, MatchType::HalfDrop, MatchType::HalfBrick});
            const int longest = static_cast<int>(std::min(area.width, area.height) / 2.6);
            cv::Size tile(LogUniformInt(random, 12, std::max(13, std::min(400, longest))), 0);
            tile.height = std::clamp(LogUniformInt(random, tile.width * 2 / 3, tile.width * 3 / 2), 12, longest);
            if (match == MatchType::HalfBrick) tile.width += tile.width % 2;
            if (match == MatchType::HalfDrop) tile.height += tile.height % 2;
            design = {CutTile(photos.sources, tile, Chance(random, 0.6), random), "photo tile"};
        } else if (kind < 8) {
            design = NearRepeatDesign(photos.sources, random);
            match = AnyMatch(random, design.tile, 0.7);
        } else {
            design = GraphPaper(random);
        }
        const Truth truth = TruthOf(design.tile, match);
        if (!truth.valid || truth.width < 10 || truth.height < 10 || 2.6 * truth.width > area.width ||
            2.6 * truth.height > area.height) {
            continue;
        }
        const double turn = Chance(random, 0.4) ? (Chance(random, 0.5) ? 1 : -1) * Uniform(random, 0.5, 3.0) : 0.0;
        const cv::Point corner(UniformInt(random, 0, size.width - area.width),
                               UniformInt(random, 0, size.height - area.height));
        const cv::Point phase(UniformInt(random, 0, design.tile.cols - 1),
                              UniformInt(random, 0, design.tile.rows - 1));
        const cv::Mat tiling = testing::RepeatTile(design.tile, size, OffsetOf(match), phase);
        cv::Mat mask = cv::Mat::zeros(size, CV_8UC1);
        const cv::RotatedRect placed(cv::Point2f(corner.x + area.width / 2.0f, corner.y + area.height / 2.0f),
                                     cv::Size2f(area), static_cast<float>(turn));
        cv::Point2f points[4];
        placed.points(points);
        std::vector<cv::Point> polygon(points, points + 4);
        cv::fillConvexPoly(mask, polygon, cv::Scalar(255));
        cv::Mat pattern = tiling;
        if (turn != 0.0) {
            const cv::Mat rotation = cv::getRotationMatrix2D(placed.center, turn, 1.0);
            cv::warpAffine(tiling, pattern, rotation, size, cv::INTER_LINEAR, cv::BORDER_REFLECT);
        }
        cv::Mat image = Background(photos, size, random);
        pattern.copyTo(image, mask);

        Sample sample;
        sample.family = kPartial;
        sample.periodic = true;
        sample.match = truth.match;
        sample.mirror = truth.mirror;
        sample.width = truth.width;
        sample.height = truth.height;
        sample.vectorA = truth.vectorA;
        sample.vectorB = truth.vectorB;
        sample.region = placed.boundingRect() & cv::Rect({}, size);
        std::string light;
        if (Chance(random, 0.3)) {
            // Light falling off across the frame, as from a window.
            cv::Mat gain(size, CV_32FC3);
            const double from = Uniform(random, 0.75, 1.0), to = Uniform(random, 1.0, 1.15);
            for (int x = 0; x < size.width; ++x)
                gain.col(x).setTo(cv::Scalar::all(from + (to - from) * x / size.width));
            image.convertTo(image, CV_32FC3);
            image = image.mul(gain);
            image.convertTo(image, CV_8UC3);
            light = ", uneven light";
        }
        Spoil spoil = JpegOr(random, 0.45, 0.4, 70);
        spoil.scale = 1.0;
        spoil.turn = 0.0;
        spoil.blur = 0.0;
        if (spoil.noise > 0) image = WithNoise(image, spoil.noise, random);
        sample.jpegQuality = spoil.jpegQuality;
        sample.image = InFormat(image, Pick(random, {Format::Grey, Format::Colour}));
        sample.description = cv::format("%s %dx%d in %dx%d of %dx%d, turn %.1f", lattice::MatchTypeName(match),
                                        design.tile.cols, design.tile.rows, area.width, area.height,
                                        size.width, size.height, turn) +
                             ", " + design.kind + light + Describe(spoil);
        return sample;
    }
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

// Aperiodic photos, flat images, white and smoothed noise, shaded ramps,
// photographed printed grids, and single tiles of designs whose motif
// repeats inside them with changes.
Sample Negative(const Photos& photos, Random& random) {
    Sample sample;
    sample.family = kNegative;
    const cv::Size size(UniformInt(random, 240, 1400), UniformInt(random, 240, 1400));
    const int kind = UniformInt(random, 0, 11);
    cv::Mat image;
    if (kind == 10) {
        image = PrintedGridPhoto(Background(photos, size, random), random);
        sample.description = cv::format("printed grid %dx%d", size.width, size.height);
    } else if (kind == 11) {
        const Design design = NearRepeatDesign(photos.sources, random);
        const int zoom = std::max(1, 240 / std::min(design.tile.cols, design.tile.rows) + 1);
        cv::resize(design.tile, image, cv::Size(), zoom, zoom, cv::INTER_NEAREST);
        sample.description = "one tile, " + design.kind + cv::format(", enlarged %d", zoom);
    } else if (kind < 5 && !photos.aperiodic.empty()) {
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
    photos.art = LoadPatternArt();
    return photos;
}

std::vector<std::string> Families(const Photos& photos) {
    std::vector<std::string> families = {kStraightClean, kStraightJpeg, kStraightDegraded,
                                         kHalfDrop,      kHalfBrick,   kNearRepeat,
                                         kFaint,         kMirror,      kPartial};
    if (!photos.art.tiles.empty()) families.push_back(kArt);
    families.push_back(kNegative);
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
    if (family == kNearRepeat) return NearRepeat(photos, random);
    if (family == kFaint) return Faint(photos, random);
    if (family == kMirror) return Mirrored(photos, random);
    if (family == kPartial) return PartialFrame(photos, random);
    if (family == kArt) return ArtTiling(photos, random);
    return Negative(photos, random);
}

}  // namespace zentrel::accuracy
