// The extended exports of zentrel_ext.h. They hold the same lock as the seven,
// and each working call is, like theirs, the one place where its errors stop;
// unlike theirs, it also hands the host a status code.
#include <algorithm>
#include <mutex>
#include <opencv2/core.hpp>
#include <type_traits>
#include <vector>

#include "call_boundary.h"
#include "lattice.h"
#include "perspective.h"
#include "result_state.h"
#include "tile_driver.h"
#include "trace.h"
#include "zentrel/zentrel_ext.h"

static_assert(std::is_same_v<ZentrelTraceFn, zentrel::TraceCallback>,
              "the host's callback is called as the trace's own");

namespace {

using zentrel::lattice::MatchType;

using Cause = zentrel::Refusal::Cause;

int StatusOf(Cause cause) {
    switch (cause) {
        case Cause::BadArgument:
            return ZENTREL_ERROR_ARGUMENT;
        case Cause::Unreadable:
            return ZENTREL_ERROR_UNREADABLE;
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

// Only the fields this version knows: a newer caller's struct may be longer.
void ClearKnownFields(ZentrelTile& result) {
    const std::uint32_t size = result.size;
    result = ZentrelTile{};
    result.size = size;
}

void EstimateTile(const char* path, ZentrelTile* result) {
    zentrel::CheckTileResult(result, result != nullptr ? result->size : 0, sizeof(ZentrelTile));
    ClearKnownFields(*result);
    const zentrel::lattice::Lattice lattice = zentrel::RunTileJob(path);
    if (lattice.found) {
        result->found = 1;
        result->match = CodeOf(lattice.match);
        result->width = lattice.width;
        result->height = lattice.height;
        result->vector_a = PointOf(lattice.vectorA);
        result->vector_b = PointOf(lattice.vectorB);
        result->origin = PointOf(lattice.origin);
        result->confidence = lattice.confidence;
    }
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

ZENTREL_API const char* ZENTREL_CALL zentrel_version(void) { return ZENTREL_VERSION_STRING; }

}  // extern "C"
