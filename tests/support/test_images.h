// Images made by the tests themselves: repeating patterns with a known tile,
// and simple pictures whose pixels the tests can predict.
#pragma once

#include <cstdint>
#include <string>

#include <opencv2/core.hpp>

namespace zentrel::testing {

// A tile of random shapes on a random background (fixed seed), `type`
// CV_8UC1, CV_8UC3, CV_8UC4 or CV_16UC1/3, repeated from (0, 0) over an
// image of `size`.
cv::Mat TiledPattern(cv::Size tile, cv::Size size, int type, std::uint64_t seed = 7);

// That tile alone.
cv::Mat ShapesTile(cv::Size tile, int type, std::uint64_t seed = 7);

// How neighbouring tiles are offset: each column of tiles half a tile lower
// than the one on its left (half-drop), or each row half a tile further right
// than the one above (half-brick). Halves of odd sides are rounded down.
enum class TileOffset { None, HalfDrop, HalfBrick };

// `tile` (any type) repeated over an image of `size`, the tile's corner at
// -`phase`.
cv::Mat RepeatTile(const cv::Mat& tile, cv::Size size, TileOffset offset, cv::Point phase = {});

// A fresh folder under the system's temporary directory, removed with its
// contents when the object goes away.
class TempDir {
public:
    TempDir();
    ~TempDir();
    TempDir(const TempDir&) = delete;
    TempDir& operator=(const TempDir&) = delete;

    // With a trailing separator, as the library's savePath expects.
    const std::string& path() const { return path_; }
    std::string File(const std::string& name) const { return path_ + name; }

private:
    std::string path_;
};

// Writes `image` (lossless formats only in tests that compare pixels).
std::string WriteImage(const TempDir& dir, const std::string& name, const cv::Mat& image);

}  // namespace zentrel::testing
