#include "outcome_text.h"

#include <cmath>
#include <cstdio>
#include <cstdlib>

#include "json_text.h"
#include "zentrel/zentrel_ext.h"

namespace zentrel::cli {

namespace {

std::string JsonInt(bool present, int value) { return present ? std::to_string(value) : "null"; }

std::string Fixed(double value, int places) {
    char text[64];
    std::snprintf(text, sizeof text, "%.*f", places, value);
    return text;
}

// Up to two decimals, without trailing zeros: a size as a designer states it.
std::string Size(double value) {
    std::string number = Fixed(value, 2);
    number.erase(number.find_last_not_of('0') + 1);
    if (number.back() == '.') number.pop_back();
    return number == "-0" ? "0" : number;
}

// The shortest text that reads back as the same double; JSON has no words
// for infinities or NaN.
std::string JsonNumber(double value) {
    if (!std::isfinite(value)) return "null";
    char text[32];
    for (int precision = 15; precision <= 17; ++precision) {
        std::snprintf(text, sizeof text, "%.*g", precision, value);
        if (std::strtod(text, nullptr) == value) break;
    }
    return text;
}

std::string JsonPoint(const ZentrelPoint& point) {
    return "[" + JsonNumber(point.x) + ", " + JsonNumber(point.y) + "]";
}

std::string JsonRegion(const ZentrelTile& tile) {
    return "[" + std::to_string(tile.region_x) + ", " + std::to_string(tile.region_y) + ", " +
           std::to_string(tile.region_width) + ", " + std::to_string(tile.region_height) + "]";
}

}  // namespace

std::string JsonError(bool ok, const std::string& error) { return ok ? "null" : JsonString(error); }

std::string RepeatJson(const std::string& path, const RepeatOutcome& outcome) {
    return "{\"path\": " + JsonString(path) + ", \"x\": " + JsonInt(outcome.ok, outcome.x) +
           ", \"y\": " + JsonInt(outcome.ok, outcome.y) +
           ", \"width\": " + JsonInt(outcome.ok, outcome.width) +
           ", \"height\": " + JsonInt(outcome.ok, outcome.height) +
           ", \"ok\": " + (outcome.ok ? "true" : "false") +
           ", \"error\": " + JsonError(outcome.ok, outcome.error) + "}";
}

namespace {

// "corners" (four [x, y]) and "confidence", null unless found.
std::string SuggestedJson(const SuggestedCorners& suggested) {
    std::string corners = "null";
    std::string confidence = "null";
    if (suggested.found) {
        confidence = JsonNumber(suggested.confidence);
        corners = "[";
        for (int k = 0; k < 4; ++k) {
            corners += (k == 0 ? "[" : ", [") + std::to_string(suggested.corners[2 * k]) + ", " +
                       std::to_string(suggested.corners[2 * k + 1]) + "]";
        }
        corners += "]";
    }
    return ", \"corners\": " + corners + ", \"confidence\": " + confidence;
}

}  // namespace

std::string RectifyJson(const std::string& path, const RectifyOutcome& outcome) {
    std::string json = "{\"path\": " + JsonString(path) +
                       ", \"output\": " + (outcome.ok ? JsonString(outcome.output) : "null");
    if (outcome.suggested) json += SuggestedJson(*outcome.suggested);
    return json + ", \"ok\": " + (outcome.ok ? "true" : "false") +
           ", \"error\": " + JsonError(outcome.ok, outcome.error) + "}";
}

std::string QuadJson(const std::string& path, const RectifyOutcome& outcome) {
    const bool found = outcome.ok && outcome.suggested && outcome.suggested->found;
    return "{\"path\": " + JsonString(path) +
           ", \"found\": " + (outcome.ok ? (found ? "true" : "false") : "null") +
           SuggestedJson(found ? *outcome.suggested : SuggestedCorners{}) +
           ", \"ok\": " + (outcome.ok ? "true" : "false") +
           ", \"error\": " + JsonError(outcome.ok, outcome.error) + "}";
}

std::string RepeatText(const std::string& path, const RepeatOutcome& outcome) {
    return path + "  " + std::to_string(outcome.x) + ' ' + std::to_string(outcome.y) + ' ' +
           std::to_string(outcome.width) + ' ' + std::to_string(outcome.height) + '\n';
}

namespace {

// The exported tile's members, after the lattice's: null where nothing was
// written, the sizes in millimetres null where no resolution is known.
std::string ExportJson(const TileOutcome& outcome) {
    const ZentrelExportResult& written = outcome.written;
    const bool done = outcome.exported;
    const bool physical = done && written.physical != 0;
    const auto number = [](bool present, double value) {
        return present ? JsonNumber(value) : "null";
    };
    return ", \"tile_path\": " + (done ? JsonString(outcome.tilePath) : "null") +
           ", \"tile_width_px\": " + JsonInt(done, written.width) +
           ", \"tile_height_px\": " + JsonInt(done, written.height) +
           ", \"repeats_combined\": " + JsonInt(done, written.repeats) +
           ", \"seam_score\": " + number(done, written.seam_score) +
           ", \"width_mm\": " + number(physical, written.width_mm) +
           ", \"height_mm\": " + number(physical, written.height_mm);
}

}  // namespace

std::string TileJson(const std::string& path, const TileOutcome& outcome) {
    const ZentrelTile& tile = outcome.tile;
    // An export that failed leaves the estimate before it to be read.
    const bool estimated = outcome.ok || outcome.estimated;
    const bool found = estimated && tile.found != 0;
    const auto number = [&](double value) { return found ? JsonNumber(value) : "null"; };
    const auto point = [&](const ZentrelPoint& value) { return found ? JsonPoint(value) : "null"; };
    const char* match = zentrel_match_name(tile.match);
    const char* mirror = zentrel_mirror_name(tile.mirror);
    return "{\"path\": " + JsonString(path) +
           ", \"found\": " + (estimated ? (found ? "true" : "false") : "null") +
           ", \"width\": " + number(tile.width) + ", \"height\": " + number(tile.height) +
           ", \"match\": " + (found && match != nullptr ? JsonString(match) : "null") +
           ", \"vector_a\": " + point(tile.vector_a) + ", \"vector_b\": " + point(tile.vector_b) +
           ", \"origin\": " + point(tile.origin) + ", \"confidence\": " + number(tile.confidence) +
           ", \"mirror\": " + (found && mirror != nullptr ? JsonString(mirror) : "null") +
           ", \"unit\": " + point({tile.unit_width, tile.unit_height}) +
           ", \"region\": " + (found ? JsonRegion(tile) : "null") +
           (outcome.exportAsked ? ExportJson(outcome) : "") +
           ", \"ok\": " + (outcome.ok ? "true" : "false") +
           ", \"error\": " + JsonError(outcome.ok, outcome.error) + "}";
}

std::string TileText(const std::string& path, const TileOutcome& outcome) {
    const ZentrelTile& tile = outcome.tile;
    if (tile.found == 0) return path + "  no repeat\n";
    // A mirrored unit is what a designer states; its translational tile is
    // in the JSON.
    const bool mirrored = tile.mirror != ZENTREL_MIRROR_NONE;
    const char* kind = mirrored ? zentrel_mirror_name(tile.mirror) : zentrel_match_name(tile.match);
    std::string line = path + "  " + Size(mirrored ? tile.unit_width : tile.width) + ' ' +
                       Size(mirrored ? tile.unit_height : tile.height) + ' ' +
                       (kind != nullptr ? kind : "unknown") + ' ' + Fixed(tile.confidence, 2);
    if (outcome.exported) {
        const ZentrelExportResult& written = outcome.written;
        line += "  " + outcome.tilePath + "  " + std::to_string(written.width) + " x " +
                std::to_string(written.height) + " px, " + std::to_string(written.repeats) +
                (written.repeats == 1 ? " repeat" : " repeats") + ", seam " +
                Fixed(written.seam_score, 2);
        if (written.physical != 0) {
            line += ", " + Fixed(written.width_mm, 1) + " x " + Fixed(written.height_mm, 1) + " mm";
        }
    }
    return line + '\n';
}

}  // namespace zentrel::cli
