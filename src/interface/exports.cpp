// The seven exported functions: the library's only way in. Each one holds the
// library-wide lock for its whole run; the working calls run through the one
// catch boundary, so nothing thrown inside reaches the host.
#include <mutex>
#include <string>
#include <type_traits>

#include "call_boundary.h"
#include "perspective.h"
#include "repeat_driver.h"
#include "result_state.h"
#include "zentrel/zentrel.h"

static_assert(std::is_same_v<zentrel::platform::WideChar, ZentrelWideChar>,
              "ReturnPath hands out the library's own UTF-16 buffer");

namespace {

// A getter's read, under the same lock as the calls that write the field.
template <typename Field>
Field ReadLocked(const Field& field) {
    const std::lock_guard<std::mutex> lock(zentrel::CallMutex());
    return field;
}

}  // namespace

extern "C" {

ZENTREL_API void ZENTREL_CALL ShowRepeatPoints(const char* path) {
    const std::lock_guard<std::mutex> lock(zentrel::CallMutex());
    zentrel::GuardedCall([&] { zentrel::ShowRepeatPoints(path); },
                         [&] { return "Repeat analysis of " + zentrel::Describe(path); });
}

ZENTREL_API void ZENTREL_CALL SavePerspectiveImage(int x1, int x2, int x3, int x4, int y1, int y2,
                                                   int y3, int y4, char* savePath,
                                                   const char* imageName, const char* imageExt) {
    const std::lock_guard<std::mutex> lock(zentrel::CallMutex());
    zentrel::GuardedCall(
        [&] {
            zentrel::SavePerspectiveImage(x1, x2, x3, x4, y1, y2, y3, y4, savePath, imageName,
                                          imageExt);
        },
        [&] {
            return "Rectification of " + zentrel::Describe(imageName) + "." +
                   zentrel::Describe(imageExt);
        });
}

ZENTREL_API int ZENTREL_CALL ReturnX(void) { return ReadLocked(zentrel::repeatX); }

ZENTREL_API int ZENTREL_CALL ReturnY(void) { return ReadLocked(zentrel::repeatY); }

ZENTREL_API int ZENTREL_CALL ReturnW(void) { return ReadLocked(zentrel::repeatW); }

ZENTREL_API int ZENTREL_CALL ReturnH(void) { return ReadLocked(zentrel::repeatH); }

ZENTREL_API const ZentrelWideChar* ZENTREL_CALL ReturnPath(void) {
    const std::lock_guard<std::mutex> lock(zentrel::CallMutex());
    return zentrel::savedPath.get();
}

}  // extern "C"
