// The extended exports of zentrel_ext.h. They hold the same lock as the seven,
// and each working call is, like theirs, the one place where its errors stop;
// unlike theirs, it also hands the host a status code.
#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <mutex>
#include <opencv2/core.hpp>
#include <type_traits>
#include <vector>

#include "call_boundary.h"
#include "image_file.h"
#include "lattice.h"
#include "perspective.h"
#include "quad_finder.h"
#include "result_state.h"
#include "tile_driver.h"
#include "tile_export.h"
#include "trace.h"
#include "zentrel/zentrel_ext.h"

static_assert(std::is_same_v<ZentrelTraceFn, zentrel::TraceCallback>,
              "the host's callback is called as the trace's own");
// Hosts that lay structs out sequentially (C#, ctypes) must find the same
// offsets on every target, the 32-bit ones included.
static_assert(offsetof(ZentrelQuad, corners) == 8 && offsetof(ZentrelQuad, confidence) == 72 &&
                  sizeof(ZentrelQuad) == 80,
              "ZentrelQuad has no padding");

namespace {

using zentrel::lattice::MatchType;
using zentrel::lattice::Mirror;

using Cause = zentrel::Refusal::Cause;

int StatusOf(Cause cause) {
    switch (cause) {
        case Cause::BadArgument:
            return ZENTREL_ERROR_ARGUMENT;
        case Cause::Unreadable:
            return ZENTREL_ERROR_UNREADABLE;
        case Cause::Output:
            return ZENTREL_ERROR_OUTPUT;
        case Cause::NoRepeat:
            return ZENTREL_ERROR_NO_REPEAT;
        case Cause::TooLarge:
            return ZENTREL_ERROR_TOO_LARGE;
        case Cause::Other:
            break;
    }
    return ZENTREL_ERROR_INTERNAL;
}

struct MatchCode {
    int code;
    MatchType type;
};
constexpr MatchCode kMatchCodes[] = {{ZENTREL_MATCH_STRAIGHT, MatchType::Straight},
                                     {ZENTREL_MATCH_HALF_DROP, MatchType::HalfDrop},
                                     {ZENTREL_MATCH_HALF_BRICK, MatchType::HalfBrick},
                                     {ZENTREL_MATCH_OTHER, MatchType::Other}};

int CodeOf(MatchType type) {
    for (const MatchCode& match : kMatchCodes) {
        if (match.type == type) return match.code;
    }
    return ZENTREL_MATCH_OTHER;
}

ZentrelPoint PointOf(const cv::Point2d& point) { return {point.x, point.y}; }

// The first version of ZentrelTile ends at `confidence`; hosts compiled
// against it keep working as fields are added at the end.
constexpr std::size_t kFirstTileSize = offsetof(ZentrelTile, unit_width);
static_assert(kFirstTileSize == offsetof(ZentrelTile, confidence) + sizeof(double),
              "later fields follow the first version without a gap");
#if defined(_WIN32) || UINTPTR_MAX > 0xFFFFFFFFu
static_assert(kFirstTileSize == 88 && sizeof(ZentrelTile) == 128,
              "ZentrelTile keeps the layout hosts in other languages declare");
#endif

// Where each field after the first version ends: the caller's `size` takes
// whole fields only, never part of one.
constexpr std::size_t kTileFieldEnds[] = {
    kFirstTileSize,
    offsetof(ZentrelTile, unit_width) + sizeof(double),
    offsetof(ZentrelTile, unit_height) + sizeof(double),
    offsetof(ZentrelTile, mirror) + sizeof(std::int32_t),
    offsetof(ZentrelTile, region_x) + sizeof(std::int32_t),
    offsetof(ZentrelTile, region_y) + sizeof(std::int32_t),
    offsetof(ZentrelTile, region_width) + sizeof(std::int32_t),
    offsetof(ZentrelTile, region_height) + sizeof(std::int32_t),
    sizeof(ZentrelTile),  // with the padding at its end
};

// How much of a caller's struct of `size` bytes holds whole fields.
std::size_t TileLength(std::uint32_t size) {
    std::size_t length = 0;
    for (const std::size_t end : kTileFieldEnds) {
        if (end <= size) length = end;
    }
    return length;
}

// Copies the fields of `filled` that fit wholly in `to->size`, leaving
// `size` and every byte past the last of them as the caller had them.
void WriteTile(const ZentrelTile& filled, ZentrelTile* to) {
    const std::uint32_t size = to->size;
    std::memcpy(static_cast<void*>(to), &filled, TileLength(size));
    to->size = size;
}

struct MirrorCode {
    int code;
    Mirror mirror;
};
constexpr MirrorCode kMirrorCodes[] = {{ZENTREL_MIRROR_NONE, Mirror::None},
                                       {ZENTREL_MIRROR_H, Mirror::Horizontal},
                                       {ZENTREL_MIRROR_V, Mirror::Vertical},
                                       {ZENTREL_MIRROR_HV, Mirror::Both}};

int CodeOf(Mirror mirror) {
    for (const MirrorCode& known : kMirrorCodes) {
        if (known.mirror == mirror) return known.code;
    }
    return ZENTREL_MIRROR_NONE;
}

void EstimateTile(const char* path, ZentrelTile* result) {
    zentrel::CheckTileResult(result, result != nullptr ? result->size : 0, kFirstTileSize);
    WriteTile(ZentrelTile{}, result);
    const zentrel::lattice::Lattice lattice = zentrel::RunTileJob(path);
    if (!lattice.found) return;
    ZentrelTile filled{};
    filled.found = 1;
    filled.match = CodeOf(lattice.match);
    filled.width = lattice.width;
    filled.height = lattice.height;
    filled.vector_a = PointOf(lattice.vectorA);
    filled.vector_b = PointOf(lattice.vectorB);
    filled.origin = PointOf(lattice.origin);
    filled.confidence = lattice.confidence;
    filled.mirror = CodeOf(lattice.mirror);
    const bool acrossMirrored =
        lattice.mirror == Mirror::Horizontal || lattice.mirror == Mirror::Both;
    const bool downMirrored = lattice.mirror == Mirror::Vertical || lattice.mirror == Mirror::Both;
    filled.unit_width = acrossMirrored ? lattice.width / 2 : lattice.width;
    filled.unit_height = downMirrored ? lattice.height / 2 : lattice.height;
    filled.region_x = lattice.region.x;
    filled.region_y = lattice.region.y;
    filled.region_width = lattice.region.width;
    filled.region_height = lattice.region.height;
    WriteTile(filled, result);
}

// Fixed-size fields without padding, so that hosts in other languages lay
// them out the same on every platform.
static_assert(sizeof(ZentrelExportOptions) == 24 && sizeof(ZentrelExportResult) == 88,
              "the export's structs keep their documented layout");

// The structs' first versions: a host compiled against them keeps working as
// fields are added at their ends.
constexpr std::size_t kFirstOptionsSize = offsetof(ZentrelExportOptions, dpi) + sizeof(double);
constexpr std::size_t kFirstExportSize = offsetof(ZentrelExportResult, height_in) + sizeof(double);

// The caller's struct, as far as both it and this library know it; the
// rest of `known` keeps what it held.
template <typename Struct>
void ReadKnown(const Struct* from, Struct& known) {
    std::memcpy(static_cast<void*>(&known), from, std::min<std::size_t>(from->size, sizeof known));
    known.size = sizeof known;
}

// Writes `known` into the caller's struct as far as its size goes, leaving
// its `size` alone.
template <typename Struct>
void WriteKnown(const Struct& known, Struct* to) {
    const std::uint32_t size = to->size;
    std::memcpy(static_cast<void*>(to), &known, std::min<std::size_t>(size, sizeof known));
    to->size = size;
}

void RefuseSmall(const char* what, std::uint32_t size, std::size_t needed) {
    throw zentrel::Refusal(Cause::BadArgument,
                           zentrel::Format("zentrel_extract_tile was given ", what, " of size ",
                                           size, "; this library needs at least ", needed));
}

MatchType TypeOf(int code) {
    for (const MatchCode& match : kMatchCodes) {
        if (match.code == code) return match.type;
    }
    return MatchType::Other;
}

// The tile's region, or an empty one (the whole image) when it names none.
cv::Rect RegionOf(const ZentrelTile& tile) {
    const cv::Rect region(tile.region_x, tile.region_y, tile.region_width, tile.region_height);
    if (region == cv::Rect()) return region;
    const std::int64_t right = std::int64_t{tile.region_x} + tile.region_width;
    const std::int64_t bottom = std::int64_t{tile.region_y} + tile.region_height;
    if (region.x < 0 || region.y < 0 || region.width <= 0 || region.height <= 0 ||
        right > INT32_MAX || bottom > INT32_MAX) {
        throw zentrel::Refusal(
            Cause::BadArgument,
            zentrel::Format("zentrel_extract_tile was given a tile whose region (", region.x, ", ",
                            region.y, ", ", region.width, " x ", region.height,
                            ") is not a box of pixels; nothing was read"));
    }
    return region;
}

Mirror MirrorOf(int code) {
    for (const MirrorCode& known : kMirrorCodes) {
        if (known.code == code) return known.mirror;
    }
    return Mirror::None;
}

zentrel::lattice::Lattice LatticeOf(const ZentrelTile& tile) {
    zentrel::lattice::Lattice lattice;
    lattice.found = tile.found != 0;
    lattice.match = TypeOf(tile.match);
    lattice.width = tile.width;
    lattice.height = tile.height;
    lattice.vectorA = {tile.vector_a.x, tile.vector_a.y};
    lattice.vectorB = {tile.vector_b.x, tile.vector_b.y};
    lattice.origin = {tile.origin.x, tile.origin.y};
    lattice.confidence = tile.confidence;
    lattice.mirror = MirrorOf(tile.mirror);
    lattice.region = RegionOf(tile);
    return lattice;
}

int FormatCode(zentrel::TileFormat format) {
    switch (format) {
        case zentrel::TileFormat::Tiff:
            return ZENTREL_FORMAT_TIFF;
        case zentrel::TileFormat::Jpeg:
            return ZENTREL_FORMAT_JPEG;
        default:
            return ZENTREL_FORMAT_PNG;
    }
}

void ExportTile(const char* path, const ZentrelTile* tile, const char* output,
                const ZentrelExportOptions* options, ZentrelExportResult* result) {
    if (result == nullptr) {
        throw zentrel::Refusal(Cause::BadArgument,
                               "zentrel_extract_tile was given a null result; nothing was read");
    }
    if (result->size < kFirstExportSize) RefuseSmall("a result", result->size, kFirstExportSize);
    WriteKnown(ZentrelExportResult{}, result);

    ZentrelExportOptions chosen{sizeof chosen, ZENTREL_COMBINE_MEDIAN, 0,
                                ZENTREL_FORMAT_BY_EXTENSION, 0.0};
    if (options != nullptr) {
        if (options->size < kFirstOptionsSize) {
            RefuseSmall("options", options->size, kFirstOptionsSize);
        }
        ReadKnown(options, chosen);
    }
    static const zentrel::lattice::Combine kCombine[] = {zentrel::lattice::Combine::Median,
                                                         zentrel::lattice::Combine::Mean,
                                                         zentrel::lattice::Combine::Best};
    static const zentrel::TileFormat kFormats[] = {
        zentrel::TileFormat::ByExtension, zentrel::TileFormat::Png, zentrel::TileFormat::Tiff,
        zentrel::TileFormat::Jpeg};
    if (chosen.combine < 0 || chosen.combine > ZENTREL_COMBINE_NONE) {
        throw zentrel::Refusal(Cause::BadArgument,
                               zentrel::Format("zentrel_extract_tile was given the combination ",
                                               chosen.combine, "; it knows 0, 1 and 2"));
    }
    if (chosen.format < 0 || chosen.format > ZENTREL_FORMAT_JPEG) {
        throw zentrel::Refusal(Cause::BadArgument,
                               zentrel::Format("zentrel_extract_tile was given the format ",
                                               chosen.format, "; it knows 0 to 3"));
    }

    zentrel::TileExportRequest request;
    request.input = path;
    request.output = output;
    request.extract = {kCombine[chosen.combine], chosen.flatten != 0};
    request.format = kFormats[chosen.format];
    request.dpi = chosen.dpi;
    if (tile != nullptr) {
        if (tile->size < kFirstTileSize) RefuseSmall("a tile", tile->size, kFirstTileSize);
        ZentrelTile given{};
        std::memcpy(static_cast<void*>(&given), tile, TileLength(tile->size));
        if (given.found == 0) {
            throw zentrel::Refusal(Cause::NoRepeat,
                                   "zentrel_extract_tile was given a tile that describes no "
                                   "repeat (found is 0); nothing was read");
        }
        request.lattice = LatticeOf(given);
    }

    const zentrel::TileExportOutcome outcome = zentrel::RunTileExport(request);
    ZentrelExportResult filled{};
    filled.width = outcome.size.width;
    filled.height = outcome.size.height;
    filled.match = CodeOf(outcome.match);
    filled.repeats = outcome.repeats;
    filled.format =
        FormatCode(request.format == zentrel::TileFormat::ByExtension
                       ? zentrel::FormatOfExtension(output).value_or(zentrel::TileFormat::Png)
                       : request.format);
    filled.seam_score = outcome.seamScore;
    filled.recorded = outcome.recorded ? 1 : 0;
    if (outcome.resolution) {
        constexpr double kMillimetresPerInch = 25.4;
        filled.physical = 1;
        filled.dpi_x = outcome.resolution->x;
        filled.dpi_y = outcome.resolution->y;
        filled.width_in = outcome.size.width / outcome.resolution->x;
        filled.height_in = outcome.size.height / outcome.resolution->y;
        filled.width_mm = filled.width_in * kMillimetresPerInch;
        filled.height_mm = filled.height_in * kMillimetresPerInch;
    }
    WriteKnown(filled, result);
}

void FindQuad(const char* path, ZentrelQuad* result) {
    if (result == nullptr) {
        throw zentrel::Refusal(zentrel::Refusal::Cause::BadArgument,
                               "zentrel_find_quad was given a null result; nothing was read");
    }
    if (result->size < sizeof(ZentrelQuad)) {
        throw zentrel::Refusal(
            zentrel::Refusal::Cause::BadArgument,
            zentrel::Format("zentrel_find_quad was given a result of size ", result->size,
                            "; this library needs at least ", sizeof(ZentrelQuad),
                            " (sizeof(ZentrelQuad))"));
    }
    const std::uint32_t size = result->size;
    *result = ZentrelQuad{};
    result->size = size;
    if (path == nullptr) {
        throw zentrel::Refusal(zentrel::Refusal::Cause::BadArgument,
                               "zentrel_find_quad was given a null path; nothing was read");
    }
    const zentrel::FoundQuad quad = zentrel::FindQuad(zentrel::ReadImageFile(path));
    if (!quad.found) return;
    result->found = 1;
    for (int k = 0; k < 4; ++k) result->corners[k] = PointOf(quad.corners[k]);
    result->confidence = quad.confidence;
}

}  // namespace

extern "C" {

ZENTREL_API int ZENTREL_CALL zentrel_estimate_tile(const char* path, ZentrelTile* result) {
    const std::lock_guard<std::mutex> lock(zentrel::CallMutex());
    const bool ok =
        zentrel::GuardedCall([&] { EstimateTile(path, result); },
                             [&] { return "Tile estimation of " + zentrel::Describe(path); });
    return ok ? ZENTREL_OK : StatusOf(zentrel::LastCallOutcome().cause);
}

ZENTREL_API int ZENTREL_CALL zentrel_extract_tile(const char* path, const ZentrelTile* tile,
                                                  const char* output,
                                                  const ZentrelExportOptions* options,
                                                  ZentrelExportResult* result) {
    const std::lock_guard<std::mutex> lock(zentrel::CallMutex());
    const bool ok =
        zentrel::GuardedCall([&] { ExportTile(path, tile, output, options, result); },
                             [&] { return "Tile export of " + zentrel::Describe(path); });
    return ok ? ZENTREL_OK : StatusOf(zentrel::LastCallOutcome().cause);
}

ZENTREL_API int ZENTREL_CALL zentrel_find_quad(const char* path, ZentrelQuad* result) {
    const std::lock_guard<std::mutex> lock(zentrel::CallMutex());
    const bool ok = zentrel::GuardedCall(
        [&] { FindQuad(path, result); },
        [&] { return "Quadrilateral search of " + zentrel::Describe(path); });
    return ok ? ZENTREL_OK : StatusOf(zentrel::LastCallOutcome().cause);
}

ZENTREL_API const char* ZENTREL_CALL zentrel_last_error(void) {
    // The calling thread's own outcome: no other thread writes it, so no lock.
    return zentrel::LastCallOutcome().error.c_str();
}

ZENTREL_API void ZENTREL_CALL zentrel_set_trace_callback(ZentrelTraceFn fn, void* user) {
    const std::lock_guard<std::mutex> lock(zentrel::CallMutex());
    zentrel::SetTraceCallback(fn, user);
}

ZENTREL_API int ZENTREL_CALL zentrel_repeat_candidates(ZentrelPoint* points, int capacity) {
    const std::lock_guard<std::mutex> lock(zentrel::CallMutex());
    const std::vector<cv::Point>& centres = zentrel::checkPoints;
    if (points != nullptr && capacity > 0) {
        const std::size_t wanted = std::min(centres.size(), static_cast<std::size_t>(capacity));
        for (std::size_t i = 0; i < wanted; ++i) {
            points[i] = {static_cast<double>(centres[i].x), static_cast<double>(centres[i].y)};
        }
    }
    return static_cast<int>(centres.size());
}

ZENTREL_API void ZENTREL_CALL zentrel_order_corners(ZentrelPoint corners[4]) {
    if (corners == nullptr) return;
    try {
        std::vector<cv::Point2f> persPt;
        for (int k = 0; k < 4; ++k) {
            persPt.emplace_back(static_cast<float>(corners[k].x), static_cast<float>(corners[k].y));
        }
        zentrel::OrderCorners(persPt);
        for (int k = 0; k < 4; ++k) corners[k] = {persPt[k].x, persPt[k].y};
    } catch (...) {
        // Out of memory for four points: the corners stay as given.
    }
}

ZENTREL_API const char* ZENTREL_CALL zentrel_match_name(int match) {
    if (match == ZENTREL_MATCH_NONE) return "none";
    for (const MatchCode& known : kMatchCodes) {
        if (known.code == match) return zentrel::lattice::MatchTypeName(known.type);
    }
    return nullptr;
}

ZENTREL_API const char* ZENTREL_CALL zentrel_mirror_name(int mirror) {
    for (const MirrorCode& known : kMirrorCodes) {
        if (known.code == mirror) return zentrel::lattice::MirrorName(known.mirror);
    }
    return nullptr;
}

ZENTREL_API const char* ZENTREL_CALL zentrel_version(void) { return ZENTREL_VERSION_STRING; }

}  // extern "C"
