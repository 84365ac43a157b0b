#include "accuracy_designs.h"

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <numeric>
#include <optional>
#include <opencv2/imgcodecs.hpp>
#include <opencv2/imgproc.hpp>
#include <stdexcept>

#include "lattice_basis.h"
#include "test_images.h"

namespace zentrel::accuracy {

namespace {

using lattice::MatchType;
using lattice::Mirror;

const cv::Mat& PhotoAtLeast(const std::vector<cv::Mat>& photos, cv::Size size, Random& random) {
    std::vector<const cv::Mat*> large;
    for (const cv::Mat& photo : photos) {
        if (photo.cols >= size.width && photo.rows >= size.height) large.push_back(&photo);
    }
    if (large.empty()) throw std::invalid_argument("no photo is large enough for the tile");
    return *large[UniformInt(random, 0, static_cast<int>(large.size()) - 1)];
}

cv::Scalar RandomColour(Random& random) {
    return cv::Scalar(UniformInt(random, 0, 255), UniformInt(random, 0, 255),
                      UniformInt(random, 0, 255));
}

// A colour near `base`: every channel moved by up to `spread`.
cv::Scalar Near(const cv::Scalar& base, double spread, Random& random) {
    cv::Scalar colour;
    for (int c = 0; c < 3; ++c) colour[c] = std::clamp(base[c] + Uniform(random, -spread, spread), 0.0, 255.0);
    return colour;
}

// Content of `image` moved by `shift` with wrap-around.
cv::Mat Rolled(const cv::Mat& image, cv::Point shift) {
    cv::Mat rolled(image.size(), image.type());
    for (int y = 0; y < image.rows; ++y) {
        for (int x = 0; x < image.cols; ++x) {
            const int u = ((x - shift.x) % image.cols + image.cols) % image.cols;
            const int v = ((y - shift.y) % image.rows + image.rows) % image.rows;
            std::memcpy(rolled.ptr(y, x), image.ptr(v, u), image.elemSize());
        }
    }
    return rolled;
}

cv::Mat Recoloured(const cv::Mat& image, Random& random) {
    cv::Mat out;
    std::vector<cv::Mat> planes;
    cv::split(image, planes);
    for (cv::Mat& plane : planes) {
        const double gain = Chance(random, 0.5) ? Uniform(random, 0.55, 0.8) : Uniform(random, 1.2, 1.5);
        plane.convertTo(plane, CV_8U, gain, Uniform(random, -25, 25));
    }
    cv::merge(planes, out);
    return out;
}

cv::Mat Motif(const std::vector<cv::Mat>& photos, cv::Size size, Random& random) {
    if (Chance(random, 0.5)) return CutTile(photos, size, false, random);
    return testing::ShapesTile(size, CV_8UC3, random());
}

// A grid of one motif in which a few cells differ.
Design MotifGrid(const std::vector<cv::Mat>& photos, Random& random) {
    const cv::Size motif(LogUniformInt(random, 6, 64), LogUniformInt(random, 6, 64));
    const int across = UniformInt(random, 1, std::max(1, std::min(8, 400 / motif.width)));
    const int down = UniformInt(random, across == 1 ? 2 : 1, std::max(2, std::min(8, 400 / motif.height)));
    const cv::Mat cell = Motif(photos, motif, random);
    cv::Mat tile = testing::RepeatTile(cell, {across * motif.width, down * motif.height},
                                       testing::TileOffset::None);
    const int cells = across * down;
    const int odd = std::max(1, cells / 12);
    static const char* const kChanges[] = {"recoloured", "replaced", "shifted", "flipped", "marked"};
    const int change = UniformInt(random, 0, 4);
    for (int k = 0; k < odd; ++k) {
        const int index = UniformInt(random, 0, cells - 1);
        const cv::Rect where(cv::Point(index % across * motif.width, index / across * motif.height),
                             motif);
        cv::Mat target = tile(where);
        switch (change) {
            case 0:
                Recoloured(cell, random).copyTo(target);
                break;
            case 1:
                Motif(photos, motif, random).copyTo(target);
                break;
            case 2:
                Rolled(cell, {UniformInt(random, 1, 3), UniformInt(random, -2, 2)}).copyTo(target);
                break;
            case 3: {
                cv::Mat flipped;
                cv::flip(cell, flipped, UniformInt(random, -1, 1));
                flipped.copyTo(target);
                break;
            }
            default:
                cv::circle(target, {UniformInt(random, 0, motif.width - 1), UniformInt(random, 0, motif.height - 1)},
                           std::max(2, std::min(motif.width, motif.height) / 3), RandomColour(random),
                           cv::FILLED, cv::LINE_AA);
        }
    }
    return {tile, cv::format("grid of %dx%d motifs %dx%d, %d %s", across, down, motif.width,
                             motif.height, odd, kChanges[change])};
}

// Cloth: warp and weft threads crossing over and under by a weave's rule,
// each thread with its own colour from a sequence.
Design Weave(Random& random) {
    const int cell = UniformInt(random, 3, 12);
    static const char* const kWeaves[] = {"plain", "twill 2/1", "twill 2/2", "basket", "satin"};
    const int weave = UniformInt(random, 0, 4);
    const int repeat[] = {2, 3, 4, 4, 5};
    const auto over = [&](int i, int j) {
        switch (weave) {
            case 0:
                return (i + j) % 2 == 0;
            case 1:
                return (i + j) % 3 < 2;
            case 2:
                return (i + j) % 4 < 2;
            case 3:
                return (i / 2 + j / 2) % 2 == 0;
            default:
                return (2 * i + j) % 5 == 0;
        }
    };
    const int n = repeat[weave];
    const int limit = std::max(n, 400 / cell);
    int warpColours = UniformInt(random, 1, 6);
    int weftColours = UniformInt(random, 1, 6);
    while (std::lcm(n, warpColours) > limit) --warpColours;
    while (std::lcm(n, weftColours) > limit) --weftColours;
    const int across = std::lcm(n, warpColours);
    const int down = std::lcm(n, weftColours);
    const cv::Scalar warpBase = RandomColour(random);
    const cv::Scalar weftBase = RandomColour(random);
    const double spread = Pick(random, {12.0, 30.0, 60.0});
    std::vector<cv::Scalar> warp, weft;
    for (int k = 0; k < warpColours; ++k) warp.push_back(Near(warpBase, spread, random));
    for (int k = 0; k < weftColours; ++k) weft.push_back(Near(weftBase, spread, random));

    cv::Mat tile(down * cell, across * cell, CV_8UC3);
    for (int y = 0; y < tile.rows; ++y) {
        for (int x = 0; x < tile.cols; ++x) {
            const int i = x / cell, j = y / cell;
            const bool up = over(i, j);
            // A thread is rounded: brightest along its middle.
            const double along = up ? (x % cell + 0.5) / cell : (y % cell + 0.5) / cell;
            const double shade = 0.6 + 0.4 * std::sin(CV_PI * along);
            const cv::Scalar& colour = up ? warp[i % warpColours] : weft[j % weftColours];
            for (int c = 0; c < 3; ++c) tile.at<cv::Vec3b>(y, x)[c] = cv::saturate_cast<uchar>(colour[c] * shade);
        }
    }
    return {tile, cv::format("%s weave, cell %d, %d warp and %d weft colours", kWeaves[weave], cell,
                             warpColours, weftColours)};
}

// Ordered dither of a smooth picture to a few levels.
Design Dither(const std::vector<cv::Mat>& photos, Random& random) {
    const cv::Size size(LogUniformInt(random, 16, 400), LogUniformInt(random, 16, 400));
    cv::Mat smooth;
    CutTile(photos, size, true, random).convertTo(smooth, CV_32FC3, 1.0 / 255);
    cv::GaussianBlur(smooth, smooth, cv::Size(), std::max(1.0, std::min(size.width, size.height) / 12.0));
    cv::normalize(smooth, smooth, 0.0, 1.0, cv::NORM_MINMAX);
    const int order = Pick(random, {2, 4, 8});
    const int levels = UniformInt(random, 2, 4);
    // The Bayer matrix of `order`, built from the 2 x 2 one.
    std::vector<int> bayer = {0};
    for (int n = 1; n < order; n *= 2) {
        std::vector<int> next(4 * n * n);
        for (int y = 0; y < n; ++y) {
            for (int x = 0; x < n; ++x) {
                const int v = 4 * bayer[y * n + x];
                next[y * 2 * n + x] = v;
                next[y * 2 * n + x + n] = v + 2;
                next[(y + n) * 2 * n + x] = v + 3;
                next[(y + n) * 2 * n + x + n] = v + 1;
            }
        }
        bayer = next;
    }
    cv::Mat tile(size, CV_8UC3);
    const bool grey = Chance(random, 0.5);
    for (int y = 0; y < size.height; ++y) {
        for (int x = 0; x < size.width; ++x) {
            const double threshold = (bayer[(y % order) * order + x % order] + 0.5) / (order * order);
            const cv::Vec3f value = smooth.at<cv::Vec3f>(y, x);
            for (int c = 0; c < 3; ++c) {
                const double v = (grey ? value[1] : value[c]) * (levels - 1);
                const double level = std::floor(v) + (v - std::floor(v) > threshold ? 1 : 0);
                tile.at<cv::Vec3b>(y, x)[c] = cv::saturate_cast<uchar>(255.0 * level / (levels - 1));
            }
        }
    }
    return {tile, cv::format("dither %dx%d, Bayer %d, %d levels", size.width, size.height, order, levels)};
}

// Courses of bricks in running bond, every brick its own shade.
Design BrickCourses(Random& random) {
    const int brickWidth = UniformInt(random, 12, 60);
    const int brickHeight = UniformInt(random, 6, std::max(6, brickWidth / 2));
    const int mortar = UniformInt(random, 1, 3);
    const int bricks = UniformInt(random, 2, std::max(2, std::min(6, 400 / brickWidth)));
    const int courses = 2 * UniformInt(random, 1, std::max(1, std::min(3, 200 / brickHeight)));
    const cv::Scalar base = RandomColour(random);
    const double spread = Pick(random, {8.0, 20.0, 40.0});
    cv::Mat tile(courses * brickHeight, bricks * brickWidth, CV_8UC3, Near(base, 60, random) * 0.5 + cv::Scalar::all(100));
    cv::Mat texture(tile.size(), CV_8UC3);
    cv::randn(texture, cv::Scalar::all(0), cv::Scalar::all(6));
    for (int row = 0; row < courses; ++row) {
        const int offset = row % 2 == 0 ? 0 : brickWidth / 2;
        for (int k = -1; k <= bricks; ++k) {
            const cv::Scalar shade = Near(base, spread, random);
            const int left = k * brickWidth + offset;
            cv::Rect brick(left + mortar, row * brickHeight + mortar, brickWidth - mortar, brickHeight - mortar);
            // A brick across the right edge continues at the left one.
            for (const int wrap : {0, -tile.cols}) {
                const cv::Rect part = (brick + cv::Point(wrap, 0)) & cv::Rect({}, tile.size());
                if (!part.empty()) tile(part).setTo(shade);
            }
        }
    }
    tile += texture;
    if (Chance(random, 0.5)) cv::transpose(tile, tile);
    return {tile, cv::format("%d courses of %d bricks %dx%d", courses, bricks, brickWidth, brickHeight)};
}

// Tumbling blocks: cubes drawn as three rhombi, rows offset by half a cube,
// one cube (or one row) coloured differently.
Design Cubes(Random& random) {
    const int cube = 2 * UniformInt(random, 6, 30);
    const int rowStep = static_cast<int>(std::lround(cube * 0.866));
    const int across = UniformInt(random, 1, std::max(1, std::min(4, 400 / cube)));
    const int rows = 2 * UniformInt(random, 1, std::max(1, std::min(3, 200 / rowStep)));
    const cv::Size size(across * cube, rows * rowStep);
    const double side = rowStep / 1.5;
    const cv::Scalar base = RandomColour(random);
    const cv::Scalar oddBase = RandomColour(random);
    const int oddRow = UniformInt(random, 0, rows - 1);
    const int oddColumn = Chance(random, 0.5) ? -1 : UniformInt(random, 0, across - 1);
    cv::Mat canvas(size * 3, CV_8UC3, cv::Scalar::all(0));
    for (int r = -1; r <= 3 * rows; ++r) {
        for (int i = -1; i <= 3 * across; ++i) {
            const int row = ((r % rows) + rows) % rows;
            const int column = ((i % across) + across) % across;
            const bool odd = row == oddRow && (oddColumn < 0 || column == oddColumn);
            const cv::Scalar colour = odd ? oddBase : base;
            const double cx = i * cube + (row % 2 ? cube / 2.0 : 0.0);
            const double cy = r * rowStep;
            const auto at = [&](double dx, double dy) {
                return cv::Point(static_cast<int>(std::lround((cx + dx) * 16)),
                                 static_cast<int>(std::lround((cy + dy) * 16)));
            };
            const double h = cube / 2.0;
            const std::vector<cv::Point> top = {at(0, -side), at(h, -side / 2), at(0, 0), at(-h, -side / 2)};
            const std::vector<cv::Point> left = {at(-h, -side / 2), at(0, 0), at(0, side), at(-h, side / 2)};
            const std::vector<cv::Point> right = {at(h, -side / 2), at(0, 0), at(0, side), at(h, side / 2)};
            cv::fillConvexPoly(canvas, top, colour, cv::LINE_AA, 4);
            cv::fillConvexPoly(canvas, left, colour * 0.7, cv::LINE_AA, 4);
            cv::fillConvexPoly(canvas, right, colour * 0.45, cv::LINE_AA, 4);
        }
    }
    const cv::Mat tile = canvas(cv::Rect(cv::Point(size.width, size.height), size)).clone();
    return {tile, cv::format("cubes %d wide, %dx%d, odd %s", cube, across, rows,
                             oddColumn < 0 ? "row" : "cube")};
}

// A motif beside copies of itself, one of them shifted or recoloured.
Design ChangedCopy(const std::vector<cv::Mat>& photos, Random& random) {
    const cv::Size motif(LogUniformInt(random, 8, 200), LogUniformInt(random, 8, 200));
    const cv::Mat cell = Motif(photos, motif, random);
    const bool across = Chance(random, 0.5);
    const int copies = UniformInt(random, 2, std::max(2, std::min(4, 400 / (across ? motif.width : motif.height))));
    const int changed = UniformInt(random, 0, copies - 1);
    const bool shift = Chance(random, 0.5);
    std::vector<cv::Mat> parts;
    for (int k = 0; k < copies; ++k) {
        if (k != changed) {
            parts.push_back(cell);
        } else if (shift) {
            parts.push_back(Rolled(cell, {UniformInt(random, 1, 4), UniformInt(random, 0, 2)}));
        } else {
            parts.push_back(Recoloured(cell, random));
        }
    }
    cv::Mat tile;
    if (across) {
        cv::hconcat(parts, tile);
    } else {
        cv::vconcat(parts, tile);
    }
    return {tile, cv::format("%d copies of a %dx%d motif, one %s", copies, motif.width,
                             motif.height, shift ? "shifted" : "recoloured")};
}

// Gaussian smoothing with wrap-around, so that the result tiles seamlessly.
cv::Mat SmoothedOnTorus(const cv::Mat& image, double sigma) {
    cv::Mat padded;
    const int border = std::min({image.cols, image.rows, static_cast<int>(std::ceil(4 * sigma)) + 1});
    cv::copyMakeBorder(image, padded, border, border, border, border, cv::BORDER_WRAP);
    cv::GaussianBlur(padded, padded, cv::Size(), sigma);
    return padded(cv::Rect(border, border, image.cols, image.rows)).clone();
}

// Paper: fibres and a fine grain, tiling seamlessly.
cv::Mat Paper(cv::Size size, Random& random) {
    cv::Mat grain(size, CV_32FC1);
    cv::RNG rng(random());
    rng.fill(grain, cv::RNG::NORMAL, 0.0, 1.0);
    grain = SmoothedOnTorus(grain, Uniform(random, 0.6, 2.5));
    cv::Mat fibres(size * 3, CV_32FC1, cv::Scalar(0));
    const int count = std::max(3, size.area() / 300);
    for (int k = 0; k < count; ++k) {
        const cv::Point2d start(Uniform(random, 0, size.width), Uniform(random, 0, size.height));
        const double angle = Uniform(random, 0, CV_PI);
        const double length = Uniform(random, 4, 30);
        const float weight = static_cast<float>(Uniform(random, -1.0, 1.0));
        for (int i = 0; i < 3; ++i) {
            for (int j = 0; j < 3; ++j) {
                const cv::Point2d at = start + cv::Point2d(i * size.width, j * size.height);
                cv::line(fibres, at, at + length * cv::Point2d(std::cos(angle), std::sin(angle)), weight);
            }
        }
    }
    cv::Mat paper = grain + fibres(cv::Rect(size.width, size.height, size.width, size.height));
    return paper;
}

// Canvas: a plain weave of uneven threads.
cv::Mat Canvas(cv::Size size, Random& random) {
    const double spacing = Uniform(random, 3.0, 8.0);
    const int threadsAcross = std::max(2, static_cast<int>(std::lround(size.width / spacing)));
    const int threadsDown = std::max(2, static_cast<int>(std::lround(size.height / spacing)));
    std::vector<double> warp(threadsAcross), weft(threadsDown);
    for (double& t : warp) t = Uniform(random, 0.6, 1.4);
    for (double& t : weft) t = Uniform(random, 0.6, 1.4);
    cv::Mat canvas(size, CV_32FC1);
    for (int y = 0; y < size.height; ++y) {
        for (int x = 0; x < size.width; ++x) {
            const double u = x * threadsAcross / static_cast<double>(size.width);
            const double v = y * threadsDown / static_cast<double>(size.height);
            const int i = static_cast<int>(u), j = static_cast<int>(v);
            const bool up = (i + j) % 2 == 0;
            const double along = up ? u - i : v - j;
            canvas.at<float>(y, x) =
                static_cast<float>((up ? warp[i] : weft[j]) * std::sin(CV_PI * along));
        }
    }
    cv::Mat noise(size, CV_32FC1);
    cv::RNG rng(random());
    rng.fill(noise, cv::RNG::NORMAL, 0.0, 0.3);
    return canvas + SmoothedOnTorus(noise, 1.0);
}

// `texture` (any type) at a standard deviation of `sigma` grey levels
// around a light paper colour, tinted or grey.
cv::Mat AtContrast(const cv::Mat& texture, double sigma, Random& random) {
    cv::Mat grey;
    texture.convertTo(grey, CV_32F);
    if (grey.channels() == 3) cv::cvtColor(grey, grey, cv::COLOR_BGR2GRAY);
    cv::Scalar mean, deviation;
    cv::meanStdDev(grey, mean, deviation);
    grey = (grey - mean[0]) * (sigma / std::max(deviation[0], 1e-6));
    const double level = Uniform(random, 150, 235);
    const cv::Scalar tint = Chance(random, 0.5) ? cv::Scalar::all(level) : Near(cv::Scalar::all(level), 20, random);
    std::vector<cv::Mat> planes;
    for (int c = 0; c < 3; ++c) planes.push_back(grey + tint[c]);
    cv::Mat colour;
    cv::merge(planes, colour);
    colour.convertTo(colour, CV_8UC3);
    return colour;
}

// A GIMP pattern file: a big-endian header (its size, version, width, height,
// bytes per pixel, "GPAT", name) followed by the pixels in RGB order.
cv::Mat ReadGimpPattern(const std::filesystem::path& path) {
    std::ifstream file(path, std::ios::binary);
    unsigned char header[24];
    if (!file.read(reinterpret_cast<char*>(header), sizeof header)) return {};
    const auto word = [&](int k) {
        return std::uint32_t(header[4 * k]) << 24 | std::uint32_t(header[4 * k + 1]) << 16 |
               std::uint32_t(header[4 * k + 2]) << 8 | header[4 * k + 3];
    };
    const std::uint32_t headerSize = word(0), width = word(2), height = word(3), bytes = word(4);
    if (std::string(reinterpret_cast<char*>(header) + 20, 4) != "GPAT" || bytes < 1 || bytes > 4 ||
        width < 1 || height < 1 || width > 4096 || height > 4096) {
        return {};
    }
    file.seekg(headerSize);
    cv::Mat pixels(static_cast<int>(height), static_cast<int>(width), CV_8UC(static_cast<int>(bytes)));
    if (!file.read(reinterpret_cast<char*>(pixels.data), static_cast<std::streamsize>(pixels.total() * bytes))) return {};
    cv::Mat colour;
    switch (bytes) {
        case 1:
            cv::cvtColor(pixels, colour, cv::COLOR_GRAY2BGR);
            break;
        case 2: {
            cv::Mat grey;
            cv::extractChannel(pixels, grey, 0);
            cv::cvtColor(grey, colour, cv::COLOR_GRAY2BGR);
            break;
        }
        case 3:
            cv::cvtColor(pixels, colour, cv::COLOR_RGB2BGR);
            break;
        default:
            cv::cvtColor(pixels, colour, cv::COLOR_RGBA2BGR);
    }
    return colour;
}

double GreyDeviation(const cv::Mat& colour) {
    cv::Mat grey;
    cv::cvtColor(colour, grey, cv::COLOR_BGR2GRAY);
    cv::Scalar mean, deviation;
    cv::meanStdDev(grey, mean, deviation);
    return deviation[0];
}

}  // namespace

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

Design NearRepeatDesign(const std::vector<cv::Mat>& photos, Random& random) {
    switch (UniformInt(random, 0, 5)) {
        case 0:
            return MotifGrid(photos, random);
        case 1:
            return Weave(random);
        case 2:
            return Dither(photos, random);
        case 3:
            return BrickCourses(random);
        case 4:
            return Cubes(random);
        default:
            return ChangedCopy(photos, random);
    }
}

Design FaintTexture(const std::vector<cv::Mat>& photos, const std::vector<cv::Mat>& art,
                    Random& random) {
    const double sigma = Uniform(random, 2.0, 5.0);
    const int kind = UniformInt(random, 0, art.empty() ? 2 : 3);
    if (kind == 3) {
        const cv::Mat& texture = art[UniformInt(random, 0, static_cast<int>(art.size()) - 1)];
        return {AtContrast(texture, sigma, random),
                cv::format("art texture %dx%d, sigma %.1f", texture.cols, texture.rows, sigma)};
    }
    const cv::Size size(LogUniformInt(random, 16, 400), LogUniformInt(random, 16, 400));
    static const char* const kKinds[] = {"paper", "canvas", "photo"};
    const cv::Mat texture = kind == 0   ? Paper(size, random)
                            : kind == 1 ? Canvas(size, random)
                                        : CutTile(photos, size, true, random);
    return {AtContrast(texture, sigma, random),
            cv::format("%s %dx%d, sigma %.1f", kKinds[kind], size.width, size.height, sigma)};
}

cv::Mat MirroredTile(const cv::Mat& unit, Mirror mirror) {
    cv::Mat tile = unit;
    if (mirror == Mirror::Horizontal || mirror == Mirror::Both) {
        cv::Mat flipped;
        cv::flip(tile, flipped, 1);
        cv::hconcat(tile, flipped, tile);
    }
    if (mirror == Mirror::Vertical || mirror == Mirror::Both) {
        cv::Mat flipped;
        cv::flip(tile, flipped, 0);
        cv::vconcat(tile, flipped, tile);
    }
    return tile;
}

Design GraphPaper(Random& random) {
    const int cell = UniformInt(random, 5, 24);
    const int every = Pick(random, {4, 5, 10});
    const int side = cell * every;
    const cv::Scalar paper = Near(cv::Scalar(235, 240, 245), 10, random);
    const cv::Scalar ink = Chance(random, 0.5) ? cv::Scalar(190, 150, 90) : cv::Scalar(120, 170, 120);
    cv::Mat tile(side, side, CV_8UC3, paper);
    for (int k = 0; k < every; ++k) {
        const cv::Scalar colour = k == 0 ? ink * 0.7 : (ink + paper) * 0.5;
        const int thickness = k == 0 ? 2 : 1;
        tile(cv::Rect(k * cell, 0, thickness, side)).setTo(colour);
        tile(cv::Rect(0, k * cell, side, thickness)).setTo(colour);
    }
    return {tile, cv::format("graph paper, cell %d, heavy every %d", cell, every)};
}

cv::Mat PrintedGridPhoto(const cv::Mat& background, Random& random) {
    const int cell = UniformInt(random, 18, 50);
    const int side = 9 * cell;
    cv::Mat sheet(side + 2 * cell, side + 2 * cell, CV_8UC3, Near(cv::Scalar::all(225), 20, random));
    const cv::Point corner(cell, cell);
    for (int k = 0; k <= 9; ++k) {
        const int thickness = k % 3 == 0 ? 3 : 1;
        cv::line(sheet, corner + cv::Point(k * cell, 0), corner + cv::Point(k * cell, side), cv::Scalar::all(30), thickness);
        cv::line(sheet, corner + cv::Point(0, k * cell), corner + cv::Point(side, k * cell), cv::Scalar::all(30), thickness);
    }
    for (int i = 0; i < 9; ++i) {
        for (int j = 0; j < 9; ++j) {
            if (!Chance(random, 0.4)) continue;
            const std::string digit(1, static_cast<char>('1' + UniformInt(random, 0, 8)));
            cv::putText(sheet, digit, corner + cv::Point(i * cell + cell / 4, (j + 1) * cell - cell / 5),
                        cv::FONT_HERSHEY_SIMPLEX, cell / 32.0, cv::Scalar::all(20), std::max(1, cell / 14),
                        cv::LINE_AA);
        }
    }
    // The sheet photographed at an angle: its corners moved by up to 15 %
    // of its placed size.
    const cv::Size size = background.size();
    const double scale = Uniform(random, 0.5, 0.9) * std::min(size.width, size.height) / sheet.cols;
    const cv::Point2f centre(size.width / 2.0f, size.height / 2.0f);
    const float half = static_cast<float>(sheet.cols * scale / 2);
    std::vector<cv::Point2f> from = {{0, 0}, {float(sheet.cols), 0}, {float(sheet.cols), float(sheet.rows)}, {0, float(sheet.rows)}};
    std::vector<cv::Point2f> to;
    const cv::Point2f unit[] = {{-1, -1}, {1, -1}, {1, 1}, {-1, 1}};
    for (const cv::Point2f& u : unit) {
        to.push_back(centre + half * u +
                     cv::Point2f(static_cast<float>(Uniform(random, -0.15, 0.15) * half),
                                 static_cast<float>(Uniform(random, -0.15, 0.15) * half)));
    }
    cv::Mat photo = background.clone();
    cv::warpPerspective(sheet, photo, cv::getPerspectiveTransform(from, to), size, cv::INTER_LINEAR,
                        cv::BORDER_TRANSPARENT);
    return photo;
}

PatternArt LoadPatternArt() {
    namespace fs = std::filesystem;
    PatternArt art;
    const auto add = [&](const cv::Mat& tile, bool faintKind) {
        if (tile.empty() || tile.cols < 12 || tile.rows < 12 || tile.cols > 700 || tile.rows > 700) return;
        art.tiles.push_back(tile);
        if (faintKind || GreyDeviation(tile) < 8.0) art.textures.push_back(tile);
    };
    std::error_code error;
    for (const char* folder : {"/usr/share/gimp/2.0/patterns", "/usr/share/gimp-data-extras"}) {
        for (fs::recursive_directory_iterator it(folder, error), end; !error && it != end; it.increment(error)) {
            if (it->path().extension() == ".pat") add(ReadGimpPattern(it->path()), false);
        }
        error.clear();
    }
    for (fs::recursive_directory_iterator it("/usr/share/mypaint/backgrounds", error), end;
         !error && it != end; it.increment(error)) {
        const std::string name = it->path().filename().string();
        if (it->path().extension() != ".png") continue;
        const bool faint = name.rfind("paper", 0) == 0 || name.rfind("canvas", 0) == 0 ||
                           name.find("Canvas") != std::string::npos;
        add(cv::imread(it->path().string(), cv::IMREAD_COLOR), faint);
    }
    return art;
}

Truth TruthOf(const cv::Mat& tile, MatchType match) {
    // One whole period of the tiling, on which shifts wrap around exactly.
    cv::Size size = tile.size();
    if (match == MatchType::HalfDrop) size.width *= 2;
    if (match == MatchType::HalfBrick) size.height *= 2;
    const testing::TileOffset offset = match == MatchType::HalfDrop    ? testing::TileOffset::HalfDrop
                                       : match == MatchType::HalfBrick ? testing::TileOffset::HalfBrick
                                                                       : testing::TileOffset::None;
    cv::Mat torus;
    testing::RepeatTile(tile, size, offset).convertTo(torus, CV_64F);
    std::vector<cv::Mat> planes;
    cv::split(torus, planes);

    // Sum over the channels of the circular correlation of the torus with
    // `other(torus)`: where it equals the energy, the two agree exactly.
    const auto correlation = [&](auto other) {
        cv::Mat sum = cv::Mat::zeros(size, CV_64F);
        double energy = 0.0;
        for (cv::Mat plane : planes) {
            plane = plane - cv::mean(plane)[0];
            energy += plane.dot(plane);
            cv::Mat a, b, product, back;
            cv::dft(plane, a, cv::DFT_COMPLEX_OUTPUT);
            cv::dft(other(plane), b, cv::DFT_COMPLEX_OUTPUT);
            cv::mulSpectrums(a, b, product, 0, true);
            cv::dft(product, back, cv::DFT_INVERSE | cv::DFT_REAL_OUTPUT | cv::DFT_SCALE);
            sum += back;
        }
        return std::make_pair(sum, energy);
    };
    // Whole-pixel differences square to at least 1: half of that is exact.
    const auto [self, energy] = correlation([](const cv::Mat& p) { return p; });
    if (!(energy > 0.0)) return {};
    std::vector<cv::Point2d> periods;
    for (int y = 0; y < size.height; ++y) {
        for (int x = 0; x < size.width; ++x) {
            if (2.0 * (energy - self.at<double>(y, x)) > 0.5) continue;
            for (int i = -1; i <= 0; ++i) {
                for (int j = -1; j <= 0; ++j) periods.emplace_back(x + i * size.width, y + j * size.height);
            }
            if (periods.size() > 40000) return {};
        }
    }
    const auto shortest = [&](auto accept) {
        std::optional<cv::Point2d> best;
        for (const cv::Point2d& p : periods) {
            if (p == cv::Point2d() || !accept(p)) continue;
            if (!best || cv::norm(p) < cv::norm(*best)) best = p;
        }
        return best;
    };
    const auto a = shortest([](cv::Point2d) { return true; });
    if (!a) return {};
    const auto b = shortest([&](cv::Point2d p) { return std::abs(a->cross(p)) > 0.5; });
    if (!b) return {};
    const lattice::Basis basis = lattice::ReduceBasis(*a, *b);
    if (cv::norm(basis.a) < 6.0) return {};
    const lattice::DesignerTile designer = lattice::TileOf(basis);

    Truth truth;
    truth.valid = true;
    truth.width = designer.width;
    truth.height = designer.height;
    truth.match = designer.match;
    truth.vectorA = basis.a;
    truth.vectorB = basis.b;
    if (designer.match != MatchType::Straight) return truth;
    // Mirrored about some column (or row): the torus agrees exactly with its
    // flip at some circular shift.
    const auto symmetric = [&](int flipCode) {
        const auto flipped = correlation([&](const cv::Mat& p) {
            cv::Mat f;
            cv::flip(p, f, flipCode);
            return f;
        }).first;
        double best = 0.0;
        cv::minMaxLoc(flipped, nullptr, &best);
        return 2.0 * (energy - best) <= 0.5;
    };
    const bool across = symmetric(1);
    const bool down = symmetric(0);
    truth.mirror = across && down ? Mirror::Both
                   : across       ? Mirror::Horizontal
                   : down         ? Mirror::Vertical
                                  : Mirror::None;
    return truth;
}

}  // namespace zentrel::accuracy
