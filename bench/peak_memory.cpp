// How far repeat analyses of a 4800 x 3600 and of a 600 x 450 colour image
// raise the peak resident memory, next to the size of the decoded image
// itself: a process's first analysis, and the steady state after analyses of
// both sizes. Each size is measured in a process of its own that loads the
// library with dlopen, as a host would.
#include <dlfcn.h>
#include <fcntl.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <exception>
#include <string>

#include "bench_inputs.h"
#include "test_images.h"

namespace {

using ShowRepeatPointsFunction = void (*)(const char*);

constexpr double kMegabyte = 1e6;

// The library traces to standard output; that is not what is measured here.
void Silently(ShowRepeatPointsFunction show, const std::string& path) {
    std::fflush(stdout);
    const int saved = dup(STDOUT_FILENO);
    const int devNull = open("/dev/null", O_WRONLY);
    dup2(devNull, STDOUT_FILENO);
    show(path.c_str());
    std::fflush(stdout);
    dup2(saved, STDOUT_FILENO);
    close(devNull);
    close(saved);
}

struct Raise {
    long long before;  // resident bytes just before the call
    long long peak;    // peak resident bytes during it
};

Raise Measure(ShowRepeatPointsFunction show, const std::string& path) {
    if (!zentrel::bench::ResetPeakResident()) {
        std::fprintf(stderr, "cannot reset the peak resident size (/proc/self/clear_refs)\n");
        std::exit(2);
    }
    const long long before = zentrel::bench::ResidentBytes();
    Silently(show, path);
    return {before, zentrel::bench::PeakResidentBytes()};
}

void Report(const char* what, long long raise, double imageBytes) {
    std::printf("  %-52s %+8.1f MB  %6.2f x the image\n", what, raise / kMegabyte,
                raise / imageBytes);
}

struct Input {
    std::string path;
    cv::Size size;
};

// In a fresh process, so that its first analysis is the process's first:
// that one, then the steady state, once analyses of both sizes have run.
int MeasureInFreshProcess(const Input& measured, const Input& other) {
    void* library = dlopen(ZENTREL_LIBRARY_PATH, RTLD_NOW | RTLD_LOCAL);
    if (library == nullptr) {
        std::fprintf(stderr, "cannot load %s: %s\n", ZENTREL_LIBRARY_PATH, dlerror());
        return 2;
    }
    const auto show =
        reinterpret_cast<ShowRepeatPointsFunction>(dlsym(library, "ShowRepeatPoints"));
    if (show == nullptr) {
        std::fprintf(stderr, "ShowRepeatPoints is not exported\n");
        return 2;
    }

    const double imageBytes = 3.0 * measured.size.area();
    std::printf("%d x %d colour image, decoded %.2f MB:\n", measured.size.width,
                measured.size.height, imageBytes / kMegabyte);
    const long long loaded = zentrel::bench::ResidentBytes();
    const Raise first = Measure(show, measured.path);
    Report("first analysis in the process, over the loaded library", first.peak - loaded,
           imageBytes);
    for (const Input* input : {&other, &measured, &other}) Silently(show, input->path);
    const Raise steady = Measure(show, measured.path);
    Report("steady state, over the resident size before it", steady.peak - steady.before,
           imageBytes);
    Report("steady state, over the loaded library", steady.peak - loaded, imageBytes);
    std::printf("  resident: %.1f MB with the library loaded, %.1f MB at the end\n",
                loaded / kMegabyte, zentrel::bench::ResidentBytes() / kMegabyte);
    std::fflush(stdout);
    return 0;
}

// Runs `body` in a child process; true when it exited with 0.
template <typename Body>
bool InChild(Body&& body) {
    std::fflush(stdout);
    const pid_t child = fork();
    if (child == 0) {
        int code = 1;
        try {
            code = body();
        } catch (const std::exception& error) {
            std::fprintf(stderr, "%s\n", error.what());
        }
        std::fflush(stdout);
        _exit(code);
    }
    int status = 0;
    return child > 0 && waitpid(child, &status, 0) == child && WIFEXITED(status) &&
           WEXITSTATUS(status) == 0;
}

}  // namespace

int main() try {
    zentrel::testing::TempDir folder;
    const Input large{folder.path() + "pattern_4800x3600.png", {4800, 3600}};
    const Input small{folder.path() + "pattern_600x450.png", {600, 450}};
    // Written by a child, so that making them never counts here.
    const bool written = InChild([&] {
        for (const Input* input : {&large, &small}) {
            zentrel::bench::WriteImage(
                input->path, zentrel::bench::NoisePattern({150, 110}, input->size, CV_8UC3));
        }
        return 0;
    });
    if (!written) {
        std::fprintf(stderr, "could not write the benchmark images\n");
        return 2;
    }
    const bool measured = InChild([&] { return MeasureInFreshProcess(large, small); }) &&
                          InChild([&] { return MeasureInFreshProcess(small, large); });
    return measured ? 0 : 2;
} catch (const std::exception& error) {
    std::fprintf(stderr, "%s\n", error.what());
    return 2;
}
