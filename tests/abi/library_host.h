// A host's view of the shared library: loaded with dlopen, the seven
// functions bound by name, and standard output captured around each call.
#pragma once

#include <functional>
#include <string>

#include <gtest/gtest.h>
#include <vector>

#include "trace_text.h"
#include "zentrel/zentrel.h"

namespace zentrel::testing {

class LibraryHost {
public:
    LibraryHost();
    ~LibraryHost();
    LibraryHost(const LibraryHost&) = delete;
    LibraryHost& operator=(const LibraryHost&) = delete;

    using ShowRepeatPointsFn = void (*)(const char*);
    using SavePerspectiveImageFn = void (*)(int, int, int, int, int, int, int, int, char*,
                                            const char*, const char*);
    using ReturnIntFn = int (*)();
    using ReturnPathFn = const ZentrelWideChar* (*)();

    ShowRepeatPointsFn ShowRepeatPoints = nullptr;
    SavePerspectiveImageFn SavePerspectiveImage = nullptr;
    ReturnIntFn ReturnX = nullptr;
    ReturnIntFn ReturnY = nullptr;
    ReturnIntFn ReturnW = nullptr;
    ReturnIntFn ReturnH = nullptr;
    ReturnPathFn ReturnPath = nullptr;

    // The trace lines that one repeat analysis writes.
    std::vector<std::string> Repeat(const char* path);
    // The trace lines of one rectification; `savePath` is the caller's buffer.
    std::vector<std::string> Rectify(const int (&xs)[4], const int (&ys)[4], char* savePath,
                                     const char* imageName, const char* imageExt);
    // ReturnPath as UTF-16 text; empty for a null pointer.
    std::u16string PathText();
    // The rectangle as the four getters report it.
    std::vector<int> Rectangle();
    // The trace lines written while the five getters are called.
    std::vector<std::string> TraceOfGetters();

private:
    template <typename Call>
    std::vector<std::string> CaptureStdout(Call&& call);

    void* handle_ = nullptr;
};

// A rectification's caller buffer, holding `firstPiece` on entry.
struct PathBuffer {
    explicit PathBuffer(const std::string& firstPiece);
    char data[512];
};

// An error line names its cause and starts with none of the trace labels, so
// that a host reading the trace cannot mistake it for a result.
::testing::AssertionResult IsErrorLineNaming(const std::string& line, const std::string& value);

// Everything written to standard error (file descriptor 2) while `call` runs.
std::string CaptureStandardError(const std::function<void()>& call);
// The same for standard output (file descriptor 1).
std::string CaptureStandardOutput(const std::function<void()>& call);

}  // namespace zentrel::testing
