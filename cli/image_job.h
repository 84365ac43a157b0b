// One library call per image, with its outcome gathered for the tool.
#pragma once

#include <array>
#include <optional>
#include <string>

#include "zentrel/zentrel_ext.h"

namespace zentrel::cli {

// Where and how `tile` writes each image's tile.
struct TileExport {
    std::string folder;
    ZentrelExportOptions options{};
};

struct JobSettings {
    bool keepTrace = false;
    std::optional<std::string> previewFolder;
    std::optional<TileExport> tileExport;
};

struct RepeatOutcome {
    bool ok = false;
    int x = 0;
    int y = 0;
    int width = 0;
    int height = 0;
    std::string error;         // the library's reason when !ok
    std::string trace;         // the call's trace lines, when kept
    std::string previewError;  // why the preview pictures were not written
};

// The corners the library suggested for rectify --auto.
struct SuggestedCorners {
    bool found = false;
    std::array<int, 8> corners{};  // x1,y1,...,x4,y4 in the library's order, rounded
    double confidence = 0.0;
};

struct RectifyOutcome {
    bool ok = false;
    std::string output;  // the path written
    std::string error;
    std::string trace;
    std::string previewError;
    // With --auto; not found also when the search failed.
    std::optional<SuggestedCorners> suggested;
};

struct TileOutcome {
    bool ok = false;
    ZentrelTile tile{};  // as the library filled it, when ok
    std::string error;
    std::string trace;
    std::string previewError;
    bool estimated = false;  // the estimate succeeded (an export may still fail)
    bool exportAsked = false;
    bool exported = false;
    std::string tilePath;           // the file written, when exported
    ZentrelExportResult written{};  // as the library filled it, when exported
};

RepeatOutcome RunRepeat(const std::string& path, const JobSettings& settings);

// Through the extended API only, as any host would call it.
// With an export asked for, the tile is written into its folder as
// NAME_tile.EXT; an image without a repeat then fails.
TileOutcome RunTile(const std::string& path, const JobSettings& settings);

// FOLDER/NAME_tile.png (or .tif, .jpg) for `image`.
std::string TilePath(const std::string& folder, const std::string& image, int format);

// `corners` are x1,y1,...,x4,y4.
RectifyOutcome RunRectify(const std::string& path, const std::array<int, 8>& corners,
                          const JobSettings& settings);

// The corners zentrel_find_quad suggests, rounded as rectify --auto uses
// them: `suggested` is set, and `ok` when the search ran (found or not).
RectifyOutcome RunFindQuad(const std::string& path, const JobSettings& settings);

// The same with the corners of the dominant quadrilateral that
// zentrel_find_quad finds; fails when it finds none.
RectifyOutcome RunAutoRectify(const std::string& path, const JobSettings& settings);

// Worker processes hand outcomes to the parent as bytes.
std::string EncodeRepeatOutcome(const RepeatOutcome& outcome);
std::optional<RepeatOutcome> DecodeRepeatOutcome(const std::string& bytes);
std::string EncodeTileOutcome(const TileOutcome& outcome);
std::optional<TileOutcome> DecodeTileOutcome(const std::string& bytes);

}  // namespace zentrel::cli
