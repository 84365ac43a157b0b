// How the tool shows one image's outcome: a JSON object for --json, and the
// result line of an image that succeeded.
#pragma once

#include <string>

#include "image_job.h"

namespace zentrel::cli {

// `error` as a JSON string when the call failed, otherwise null.
std::string JsonError(bool ok, const std::string& error);

// {"path", "x", "y", "width", "height", "ok", "error"}; null coordinates on failure.
std::string RepeatJson(const std::string& path, const RepeatOutcome& outcome);
// "PATH  X Y WIDTH HEIGHT\n"
std::string RepeatText(const std::string& path, const RepeatOutcome& outcome);

// {"path", "output", "ok", "error"}; with rectify --auto also "corners" (four
// [x, y], the ones rectified) and "confidence" before "ok", both null unless
// a quadrilateral was found.
std::string RectifyJson(const std::string& path, const RectifyOutcome& outcome);
// {"path", "found", "corners", "confidence", "ok", "error"} for RunFindQuad:
// the corners rectify --auto would use; found is null when the search
// failed, and the corners and confidence are null unless found.
std::string QuadJson(const std::string& path, const RectifyOutcome& outcome);

// {"path", "found", "width", "height", "match", "vector_a", "vector_b",
// "origin", "confidence", "mirror", "unit", "region", "ok", "error"}; found
// is null when the estimate failed, and the lattice's members are null
// unless a repeat was found. "unit" is [width, height], "region" [x, y,
// width, height]. With an export asked for, "tile_path", "tile_width_px",
// "tile_height_px", "repeats_combined", "seam_score", "width_mm" and
// "height_mm" come before "ok": null unless the tile was written (the sizes
// in mm, unless its resolution is known).
std::string TileJson(const std::string& path, const TileOutcome& outcome);
// "PATH  WIDTH HEIGHT MATCH CONFIDENCE\n" (sizes with up to two decimals,
// confidence with two), or "PATH  no repeat\n"; a mirrored pattern gives its
// unit and axes: "PATH  UNIT_WIDTH UNIT_HEIGHT mirror-h CONFIDENCE". An
// exported tile adds "  TILE  W x H px, N repeats, seam S[, W x H mm]"
// before the newline.
std::string TileText(const std::string& path, const TileOutcome& outcome);

}  // namespace zentrel::cli
