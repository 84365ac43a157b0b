// The extended exports of zentrel_ext.h. They hold the same lock as the seven,
// and each working call is, like theirs, the one place where its errors stop;
// unlike theirs, it also hands the host a status code.
#include <exception>
#include <mutex>
#include <opencv2/core.hpp>
#include <opencv2/imgcodecs.hpp>
#include <stdexcept>
#include <string>

#include "call_status.h"
#include "lattice.h"
#include "library_lock.h"
#include "trace.h"
#include "zentrel/zentrel_ext.h"

namespace {

using zentrel::lattice::MatchType;

// A call refused before or instead of its work: the complete error line and
// the status the call returns.
class CallRefusal : public std::runtime_error {
public:
    CallRefusal(int status, const std::string& line) : std::runtime_error(line), status_(status) {}
    int status() const { return status_; }

private:
    int status_;
};

template <typename Line>
void ReportQuietly(Line&& line) noexcept {
    try {
        zentrel::ReportError(line());
    } catch (...) {
    }
}

// Runs `work`: a refusal becomes its own error line and status; anything else
// thrown becomes one error line naming `what`, and ZENTREL_ERROR_INTERNAL.
template <typename Work, typename What>
int GuardedStatus(Work&& work, What&& what) noexcept {
    try {
        zentrel::BeginCall();
        work();
        return ZENTREL_OK;
    } catch (const CallRefusal& refusal) {
        ReportQuietly([&] { return std::string(refusal.what()); });
        return refusal.status();
    } catch (const cv::Exception& error) {
        ReportQuietly([&] {
            return what() + " stopped by an imaging library error: " + error.err + " (in " +
                   error.func + ")";
        });
    } catch (const std::exception& error) {
        ReportQuietly([&] { return what() + " stopped by an error: " + error.what(); });
    } catch (...) {
        ReportQuietly([&] { return what() + " stopped by an unknown error"; });
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
    if (result == nullptr) {
        throw CallRefusal(ZENTREL_ERROR_ARGUMENT,
                          "zentrel_estimate_tile was given a null result; nothing was read");
    }
    if (result->size < sizeof(ZentrelTile)) {
        throw CallRefusal(ZENTREL_ERROR_ARGUMENT,
                          zentrel::Format("zentrel_estimate_tile was given a result of size ",
                                          result->size, "; this library needs at least ",
                                          sizeof(ZentrelTile), " (sizeof(ZentrelTile))"));
    }
    ClearKnownFields(*result);
    if (path == nullptr) {
        throw CallRefusal(ZENTREL_ERROR_ARGUMENT,
                          "zentrel_estimate_tile was given a null path; nothing was read");
    }
    cv::Mat image;
    try {
        image = cv::imread(path, cv::IMREAD_UNCHANGED);
    } catch (const cv::Exception& error) {
        // A header beyond the decoder's limits: unreadable, not a fault of ours.
        throw CallRefusal(ZENTREL_ERROR_UNREADABLE,
                          std::string("Could not read image file: ") + path +
                              " (the decoder stopped: " + error.err + ")");
    }
    if (image.empty()) {
        throw CallRefusal(ZENTREL_ERROR_UNREADABLE,
                          std::string("Could not read image file: ") + path);
    }

    const zentrel::lattice::Lattice lattice = zentrel::lattice::EstimateLattice(image);
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
    zentrel::MarkSucceeded();
}

}  // namespace

extern "C" {

ZENTREL_API int ZENTREL_CALL zentrel_estimate_tile(const char* path, ZentrelTile* result) {
    const std::lock_guard<std::mutex> lock(zentrel::libraryMutex);
    return GuardedStatus(
        [&] { EstimateTile(path, result); },
        [&] { return "Tile estimation of " + std::string(path != nullptr ? path : "(null)"); });
}

ZENTREL_API const char* ZENTREL_CALL zentrel_last_error(void) {
    // This thread's own copy: another thread's call may replace the
    // library's text while the host still reads it.
    thread_local std::string copy;
    const std::lock_guard<std::mutex> lock(zentrel::libraryMutex);
    try {
        copy = zentrel::LastCallOutcome().error;
    } catch (...) {
        return "the last error text could not be copied: out of memory";
    }
    return copy.c_str();
}

ZENTREL_API void ZENTREL_CALL zentrel_set_trace_callback(ZentrelTraceFn fn, void* user) {
    const std::lock_guard<std::mutex> lock(zentrel::libraryMutex);
    zentrel::SetTraceCallback(fn, user);
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
