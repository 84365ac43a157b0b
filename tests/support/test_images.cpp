#include "test_images.h"

#include <cstring>
#include <filesystem>
#include <random>
#include <stdexcept>

#include <opencv2/imgcodecs.hpp>
#include <opencv2/imgproc.hpp>

namespace zentrel::testing {

cv::Mat ShapesTile(cv::Size tile, int type, std::uint64_t seed) {
    std::mt19937_64 random(seed);
    auto uniform = [&](int low, int high) {
        return std::uniform_int_distribution<int>(low, high)(random);
    };
    cv::Mat colourTile(tile, CV_8UC3, cv::Scalar(uniform(0, 255), uniform(0, 255), uniform(0, 255)));
    const int shapes = std::max(6, tile.area() / 150);
    for (int s = 0; s < shapes; ++s) {
        const cv::Scalar colour(uniform(0, 255), uniform(0, 255), uniform(0, 255));
        const cv::Point centre(uniform(0, tile.width - 1), uniform(0, tile.height - 1));
        const int radius = uniform(2, std::max(3, std::min(tile.width, tile.height) / 5));
        if (s % 2 == 0) {
            cv::circle(colourTile, centre, radius, colour, cv::FILLED);
        } else {
            cv::rectangle(colourTile, cv::Rect(centre, cv::Size(radius, radius + 2)), colour,
                          cv::FILLED);
        }
    }

    cv::Mat typedTile;
    const int channels = CV_MAT_CN(type);
    if (channels == 1) {
        cv::cvtColor(colourTile, typedTile, cv::COLOR_BGR2GRAY);
    } else if (channels == 4) {
        cv::cvtColor(colourTile, typedTile, cv::COLOR_BGR2BGRA);
    } else {
        typedTile = colourTile;
    }
    if (CV_MAT_DEPTH(type) == CV_16U) typedTile.convertTo(typedTile, type, 257.0);

    return typedTile;
}

cv::Mat TiledPattern(cv::Size tile, cv::Size size, int type, std::uint64_t seed) {
    return RepeatTile(ShapesTile(tile, type, seed), size, TileOffset::None);
}

cv::Mat RepeatTile(const cv::Mat& tile, cv::Size size, TileOffset offset, cv::Point phase) {
    cv::Mat tiled(size, tile.type());
    const std::size_t pixelBytes = tile.elemSize();
    const int w = tile.cols;
    const int h = tile.rows;
    for (int y = 0; y < size.height; ++y) {
        for (int x = 0; x < size.width; ++x) {
            int u = x + phase.x;
            int v = y + phase.y;
            if (offset == TileOffset::HalfDrop) v += (u / w) * (h / 2);
            if (offset == TileOffset::HalfBrick) u += (v / h) * (w / 2);
            std::memcpy(tiled.ptr(y, x), tile.ptr(v % h, u % w), pixelBytes);
        }
    }
    return tiled;
}

TempDir::TempDir() {
    namespace fs = std::filesystem;
    std::random_device device;
    for (int attempt = 0; attempt < 100; ++attempt) {
        const fs::path candidate =
            fs::temp_directory_path() / ("zentrel-test-" + std::to_string(device()));
        if (fs::create_directory(candidate)) {
            path_ = candidate.string() + "/";
            return;
        }
    }
    throw std::runtime_error("cannot create a temporary folder");
}

TempDir::~TempDir() {
    std::error_code ignored;
    std::filesystem::permissions(path_, std::filesystem::perms::owner_all,
                                 std::filesystem::perm_options::add, ignored);
    std::filesystem::remove_all(path_, ignored);
}

std::string WriteImage(const TempDir& dir, const std::string& name, const cv::Mat& image) {
    const std::string path = dir.File(name);
    if (!cv::imwrite(path, image)) throw std::runtime_error("cannot write " + path);
    return path;
}

}  // namespace zentrel::testing
