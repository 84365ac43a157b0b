#include "tile_export.h"

#include <cmath>

#include "image_file.h"
#include "refusal.h"
#include "tile_driver.h"
#include "trace.h"

namespace zentrel {

namespace {

// Beyond this no print has its pixels.
constexpr double kMostDpi = 1e5;

Refusal::Cause CauseOf(lattice::ExtractError::Kind kind) {
    switch (kind) {
        case lattice::ExtractError::Kind::TooLarge:
            return Refusal::Cause::TooLarge;
        default:
            return Refusal::Cause::NoRepeat;
    }
}

}  // namespace

TileExportOutcome RunTileExport(const TileExportRequest& request) {
    if (request.input == nullptr) {
        throw Refusal(Refusal::Cause::BadArgument,
                      "zentrel_extract_tile was given a null path; nothing was read");
    }
    if (request.output == nullptr) {
        throw Refusal(Refusal::Cause::BadArgument,
                      "zentrel_extract_tile was given a null output path; nothing was read");
    }
    if (!(request.dpi >= 0.0 && request.dpi < kMostDpi)) {
        throw Refusal(
            Refusal::Cause::BadArgument,
            Format("zentrel_extract_tile was given a resolution of ", request.dpi,
                   " dpi; it takes 0 (the input's own) or a positive number below ", kMostDpi));
    }
    const TileFormat format = CheckTileOutput(request.output, request.input, request.format);
    const cv::Mat image = ReadImageFile(request.input);
    CheckFormatHolds(format, image.depth(), image.channels(), request.output);

    const lattice::Lattice found = request.lattice
                                       ? *request.lattice
                                       : lattice::EstimateLattice(image, StorageOf(request.input));
    lattice::ExtractedTile tile;
    try {
        tile = lattice::ExtractTile(image, found, request.extract);
    } catch (const lattice::ExtractError& error) {
        throw Refusal(CauseOf(error.kind()),
                      Format("No tile was exported from ", request.input, ": ", error.what()));
    }

    TileExportOutcome outcome;
    outcome.size = tile.tile.size();
    outcome.match = tile.match;
    outcome.repeats = tile.repeats;
    outcome.seamScore = tile.seamScore;
    outcome.resolution = request.dpi > 0.0 ? std::optional<Resolution>({request.dpi, request.dpi})
                                           : ReadResolution(request.input);
    outcome.recorded = WriteTileFile(tile.tile, request.output, format, outcome.resolution);
    return outcome;
}

}  // namespace zentrel
