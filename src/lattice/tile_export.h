// The tile export job from the caller's arguments to the file written: the
// checks, the read, the lattice (the caller's, or estimated), the tile and
// its resolution, and the class of each refusal. The export function adds
// the lock, the catch boundary and the C structs.
#pragma once

#include <optional>
#include <string>

#include "lattice.h"
#include "resolution_metadata.h"
#include "tile_extract.h"
#include "tile_file.h"

namespace zentrel {

struct TileExportRequest {
    const char* input = nullptr;
    const char* output = nullptr;
    std::optional<lattice::Lattice> lattice;  // none: estimated from the image
    lattice::ExtractOptions extract;
    TileFormat format = TileFormat::ByExtension;
    double dpi = 0.0;  // above 0: the resolution, whatever the input records
};

struct TileExportOutcome {
    cv::Size size;
    lattice::MatchType match = lattice::MatchType::Straight;
    int repeats = 0;
    double seamScore = 0.0;
    std::optional<Resolution> resolution;  // the tile's, when known
    bool recorded = false;                 // and written into the file
};

// Refuses, as a bad argument, a null input or output path and a resolution
// that is negative, not a number or beyond any print's; as Output, an
// output path that cannot be written (see CheckTileOutput) or a format that
// cannot hold the image; as Unreadable, an input that cannot be read; as
// NoRepeat, an image without a repeat, or a lattice that does not fit it; as
// TooLarge, a tile that cannot be resampled. Nothing is written unless the
// whole tile is.
TileExportOutcome RunTileExport(const TileExportRequest& request);

}  // namespace zentrel
