// Pictures that let a person check a result at a glance.
#pragma once

#include <array>
#include <opencv2/core.hpp>
#include <string>
#include <vector>

#include "zentrel/zentrel_ext.h"

namespace zentrel::cli {

// Overview pictures are scaled down to this width; smaller images keep theirs.
constexpr int kPreviewMaxWidth = 1200;

// `image` scaled to at most kPreviewMaxWidth columns, with `rect` drawn and a
// cross on each of `centres` (all in the image's own pixels).
cv::Mat DrawRepeatOverview(const cv::Mat& image, cv::Rect rect,
                           const std::vector<cv::Point>& centres);

// The part of `rect` inside `image`, repeated 3 x 3: when the rectangle is
// the true tile, the seams line up. Empty if the rectangle misses the image.
cv::Mat TileThreeByThree(const cv::Mat& image, cv::Rect rect);

// `image` scaled like the overview, with the lattice points of `tile` (those
// inside its region, unless they would lie closer than a few pixels), the
// region and its tile, origin by width by height, drawn.
cv::Mat DrawLatticeOverview(const cv::Mat& image, const ZentrelTile& tile);

// Three by three tiles as the lattice of `tile` places them, all cut from the
// one tile at its origin: for a half-drop each column drops by half a tile,
// for a half-brick each row shifts by half, for any other lattice the
// vectors decide. A mirrored pattern gives three by three units, every other
// one flipped along each mirrored axis. When the lattice is right the seams
// line up. Empty if the tile misses the image.
cv::Mat RepeatUnitThreeByThree(const cv::Mat& image, const ZentrelTile& tile);

// `tile` repeated 3 x 3 with its match (ZENTREL_MATCH_STRAIGHT, _HALF_DROP or
// _HALF_BRICK) and shifted by half a tile each way, so that the tile's
// edges, where a seam would show, cross the middle of the picture.
cv::Mat SeamsThreeByThree(const cv::Mat& tile, int match);

// `image` scaled like the overview, with the quadrilateral of `corners`
// (x1,y1,...,x4,y4) in the library's corner order, numbered 1 to 4.
cv::Mat DrawQuadrilateral(const cv::Mat& image, const std::array<int, 8>& corners);

// Write NAME_repeat.png and NAME_tile.png, NAME_lattice.png and NAME_unit.png,
// or NAME_quad.png, into `folder`.
// Return an empty string, or why the pictures could not be written.
std::string WriteRepeatPreview(const std::string& imagePath, const std::string& folder,
                               cv::Rect rect, const std::vector<cv::Point>& centres);
std::string WriteTilePreview(const std::string& imagePath, const std::string& folder,
                             const ZentrelTile& tile);
std::string WriteQuadPreview(const std::string& imagePath, const std::string& folder,
                             const std::array<int, 8>& corners);
// NAME_seams.png from the tile exported to `tilePath`, NAME from `imagePath`.
std::string WriteSeamsPreview(const std::string& tilePath, const std::string& imagePath,
                              const std::string& folder, const ZentrelExportResult& written);

}  // namespace zentrel::cli
