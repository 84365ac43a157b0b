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

// {"path", "found", "width", "height", "match", "vector_a", "vector_b",
// "origin", "confidence", "ok", "error"}; found is null on failure, and the
// lattice's members are null unless a repeat was found.
std::string TileJson(const std::string& path, const TileOutcome& outcome);
// "PATH  WIDTH HEIGHT MATCH CONFIDENCE\n" (sizes with up to two decimals,
// confidence with two), or "PATH  no repeat\n".
std::string TileText(const std::string& path, const TileOutcome& outcome);

}  // namespace zentrel::cli
