// Where and how an exported tile is written: the format, the checks made
// before any work, and a write that never leaves half a file.
#pragma once

#include <opencv2/core.hpp>
#include <optional>
#include <string>

#include "resolution_metadata.h"

namespace zentrel {

enum class TileFormat { ByExtension, Png, Tiff, Jpeg };

// "PNG", "TIFF" or "JPEG".
const char* TileFormatName(TileFormat format);

// The format the output path's extension names: .png, .tif or .tiff, .jpg or
// .jpeg, in any case; none for any other.
std::optional<TileFormat> FormatOfExtension(const std::string& path);

// The checks made before the image is read: the output's folder exists, the
// output is neither a folder, nor a read-only file, nor the input image
// itself (however named: links and other spellings of one file count), and
// its format is known (`asked`, or its extension's) and agrees with its
// extension. Returns the format to write. Throws a Refusal with the cause
// Output, naming the path.
TileFormat CheckTileOutput(const std::string& output, const std::string& input, TileFormat asked);

// Refuses (cause Output) a tile of `depth` and `channels` that `format`
// cannot hold without loss: PNG takes 8 and 16 bits, TIFF also float, JPEG
// 8-bit grey or colour only.
void CheckFormatHolds(TileFormat format, int depth, int channels, const std::string& output);

// Writes `tile` to `output` in `format` through a temporary file in the same
// folder, renamed over `output` once complete, so that `output` is either
// what it was or the whole tile; `resolution`, when given, is recorded in
// the file where this build can (a TIFF always, in whole pixels per inch).
// Returns whether it was recorded. Throws a
// Refusal with the cause Output when the file cannot be written; the
// temporary file is then removed.
bool WriteTileFile(const cv::Mat& tile, const std::string& output, TileFormat format,
                   std::optional<Resolution> resolution);

}  // namespace zentrel
