// The seven exported functions: the library's only way in. Each one holds the
// library-wide lock for its whole run, and each working call is the one place
// where errors stop: nothing thrown inside may reach the host.
#include <exception>
#include <mutex>
#include <string>

#include <opencv2/core.hpp>

#include "call_status.h"
#include "library_lock.h"
#include "perspective.h"
#include "repeat_driver.h"
#include "result_state.h"
#include "trace.h"
#include "zentrel/zentrel.h"

namespace {

std::string Describe(const char* text) { return text != nullptr ? text : "(null)"; }

// Runs `work`; anything it throws becomes one error line that names `what`.
template <typename Work, typename What>
void RunGuarded(Work&& work, What&& what) noexcept {
    try {
        zentrel::BeginCall();
        work();
        return;
    } catch (const cv::Exception& error) {
        try {
            zentrel::ReportError(what() + " stopped by an imaging library error: " + error.err +
                                 " (in " + error.func + ")");
        } catch (...) {
        }
    } catch (const std::exception& error) {
        try {
            zentrel::ReportError(what() + " stopped by an error: " + error.what());
        } catch (...) {
        }
    } catch (...) {
        try {
            zentrel::ReportError(what() + " stopped by an unknown error");
        } catch (...) {
        }
    }
}

// A getter's read, under the same lock as the calls that write the field.
template <typename Field>
Field ReadLocked(const Field& field) {
    const std::lock_guard<std::mutex> lock(zentrel::libraryMutex);
    return field;
}

}  // namespace

extern "C" {

ZENTREL_API void ZENTREL_CALL ShowRepeatPoints(const char* path) {
    const std::lock_guard<std::mutex> lock(zentrel::libraryMutex);
    RunGuarded([&] { zentrel::ShowRepeatPoints(path); },
               [&] { return "Repeat analysis of " + Describe(path); });
}

ZENTREL_API void ZENTREL_CALL SavePerspectiveImage(int x1, int x2, int x3, int x4, int y1, int y2,
                                                   int y3, int y4, char* savePath,
                                                   const char* imageName, const char* imageExt) {
    const std::lock_guard<std::mutex> lock(zentrel::libraryMutex);
    RunGuarded(
        [&] {
            zentrel::SavePerspectiveImage(x1, x2, x3, x4, y1, y2, y3, y4, savePath, imageName,
                                          imageExt);
        },
        [&] { return "Rectification of " + Describe(imageName) + "." + Describe(imageExt); });
}

ZENTREL_API int ZENTREL_CALL ReturnX(void) { return ReadLocked(zentrel::repeatX); }

ZENTREL_API int ZENTREL_CALL ReturnY(void) { return ReadLocked(zentrel::repeatY); }

ZENTREL_API int ZENTREL_CALL ReturnW(void) { return ReadLocked(zentrel::repeatW); }

ZENTREL_API int ZENTREL_CALL ReturnH(void) { return ReadLocked(zentrel::repeatH); }

ZENTREL_API const ZentrelWideChar* ZENTREL_CALL ReturnPath(void) {
    const std::lock_guard<std::mutex> lock(zentrel::libraryMutex);
    return zentrel::savedPath.get();
}

}  // extern "C"
