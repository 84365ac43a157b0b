// How far repeat analyses of a 4800 x 3600 colour image raise this process's
// peak resident memory, next to the size of the decoded image itself. The
// library is loaded with dlopen as a host would; the images are written by a
// child process so that making them never counts here.
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
    std::printf("%-58s %+8.1f MB  %5.2f x the image\n", what, raise / kMegabyte,
                raise / imageBytes);
}

}  // namespace

int main() try {
    zentrel::testing::TempDir folder;
    const std::string large = folder.path() + "pattern_4800x3600.png";
    const std::string small = folder.path() + "pattern_600x450.png";
    const pid_t child = fork();
    if (child == 0) {
        try {
            zentrel::bench::WriteImage(large, zentrel::bench::NoisePattern({150, 110}, {4800, 3600}, CV_8UC3));
            zentrel::bench::WriteImage(small, zentrel::bench::NoisePattern({150, 110}, {600, 450}, CV_8UC3));
            _exit(0);
        } catch (...) {
            _exit(1);
        }
    }
    int status = 0;
    if (child < 0 || waitpid(child, &status, 0) != child || !WIFEXITED(status) ||
        WEXITSTATUS(status) != 0) {
        std::fprintf(stderr, "could not write the benchmark images\n");
        return 2;
    }

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

    const double imageBytes = 4800.0 * 3600.0 * 3.0;
    std::printf("decoded 4800 x 3600 colour image: %.1f MB\n", imageBytes / kMegabyte);
    const long long loaded = zentrel::bench::ResidentBytes();

    const Raise first = Measure(show, large);
    Report("first analysis, over the loaded library", first.peak - loaded, imageBytes);
    const Raise again = Measure(show, large);
    Report("second analysis, over the resident size before it", again.peak - again.before,
           imageBytes);
    Report("second analysis, over the loaded library", again.peak - loaded, imageBytes);
    Silently(show, small);  // the held image becomes a small one
    const Raise warm = Measure(show, large);
    Report("after one of 600 x 450, over the resident size before it", warm.peak - warm.before,
           imageBytes);
    std::printf("resident: %.1f MB with the library loaded, %.1f MB at the end\n",
                loaded / kMegabyte, zentrel::bench::ResidentBytes() / kMegabyte);
    return 0;
} catch (const std::exception& error) {
    std::fprintf(stderr, "%s\n", error.what());
    return 2;
}
