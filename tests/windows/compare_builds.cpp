// Runs the library's two jobs the way a host does, so that the Windows and
// the Linux build can be compared on the same images (scripts/test-windows):
//
//   zentrel_compare LIBRARY repeat IMAGE...
//   zentrel_compare LIBRARY rectify FOLDER/ NAME EXT X1 X2 X3 X4 Y1 Y2 Y3 Y4
//   zentrel_compare diff A B
//   zentrel_compare topng IN OUT
//
// The jobs print the library's trace as it comes, then the getters. Given
// relative paths, both builds should print the same text. `diff` prints how
// far two images differ and exits 1 if they differ at all.
#ifdef _WIN32
#include <windows.h>
#else
#include <dlfcn.h>
#endif

#include <cstdio>
#include <cstdlib>
#include <exception>
#include <string>

#include <opencv2/core.hpp>
#include <opencv2/imgcodecs.hpp>

#include "zentrel/zentrel.h"

namespace {

using ShowRepeatPointsFn = void (*)(const char*);
using SavePerspectiveImageFn = void (*)(int, int, int, int, int, int, int, int, char*, const char*,
                                        const char*);
using ReturnIntFn = int (*)();
using ReturnPathFn = const ZentrelWideChar* (*)();

void* Symbol(const char* library, const char* name) {
#ifdef _WIN32
    static HMODULE handle = LoadLibraryA(library);
    void* symbol = handle ? reinterpret_cast<void*>(GetProcAddress(handle, name)) : nullptr;
#else
    static void* handle = dlopen(library, RTLD_NOW | RTLD_LOCAL);
    void* symbol = handle ? dlsym(handle, name) : nullptr;
#endif
    if (symbol == nullptr) {
        std::fprintf(stderr, "cannot bind %s in %s\n", name, library);
        std::exit(2);
    }
    return symbol;
}

template <typename Function>
Function Bind(const char* library, const char* name) {
    return reinterpret_cast<Function>(Symbol(library, name));
}

// ASCII as it is, anything else as \uXXXX: the same text on both platforms.
std::string Printable(const ZentrelWideChar* text) {
    if (text == nullptr) return "(null)";
    std::string out;
    for (; *text != 0; ++text) {
        const unsigned unit = static_cast<unsigned>(*text);
        if (unit >= 0x20 && unit < 0x7F) {
            out += static_cast<char>(unit);
        } else {
            char escaped[8];
            std::snprintf(escaped, sizeof escaped, "\\u%04X", unit);
            out += escaped;
        }
    }
    return out;
}

int Repeat(const char* library, int count, char** images) {
    const auto show = Bind<ShowRepeatPointsFn>(library, "ShowRepeatPoints");
    const ReturnIntFn getters[4] = {Bind<ReturnIntFn>(library, "ReturnX"),
                                    Bind<ReturnIntFn>(library, "ReturnY"),
                                    Bind<ReturnIntFn>(library, "ReturnW"),
                                    Bind<ReturnIntFn>(library, "ReturnH")};
    for (int i = 0; i < count; ++i) {
        show(images[i]);
        std::fflush(stdout);
        std::printf("getters %s: %d %d %d %d\n", images[i], getters[0](), getters[1](),
                    getters[2](), getters[3]());
        std::fflush(stdout);
    }
    return 0;
}

int Rectify(const char* library, char** args) {
    const auto save = Bind<SavePerspectiveImageFn>(library, "SavePerspectiveImage");
    const auto path = Bind<ReturnPathFn>(library, "ReturnPath");
    int c[8];
    for (int k = 0; k < 8; ++k) c[k] = std::atoi(args[3 + k]);
    char buffer[512] = {};
    std::snprintf(buffer, sizeof buffer, "%s", args[0]);
    save(c[0], c[1], c[2], c[3], c[4], c[5], c[6], c[7], buffer, args[1], args[2]);
    std::fflush(stdout);
    std::printf("savePath %s\nReturnPath %s\n", buffer, Printable(path()).c_str());
    return 0;
}

int Diff(const char* first, const char* second) {
    const cv::Mat a = cv::imread(first, cv::IMREAD_UNCHANGED);
    const cv::Mat b = cv::imread(second, cv::IMREAD_UNCHANGED);
    if (a.empty() || b.empty() || a.size() != b.size() || a.type() != b.type()) {
        std::printf("%s vs %s: not comparable (%dx%d type %d, %dx%d type %d)\n", first, second,
                    a.cols, a.rows, a.type(), b.cols, b.rows, b.type());
        return 1;
    }
    cv::Mat difference;
    cv::absdiff(a, b, difference);
    double largest = 0;
    cv::minMaxLoc(difference.reshape(1), nullptr, &largest);
    // A pixel differs if any of its channels does.
    cv::Mat perPixel = difference.reshape(1, static_cast<int>(a.total()));
    cv::reduce(perPixel, perPixel, 1, cv::REDUCE_MAX);
    const int differing = cv::countNonZero(perPixel);
    std::printf("%s: %dx%d, max abs difference %g, %d of %d pixels differ\n", first, a.cols,
                a.rows, largest, differing, static_cast<int>(a.total()));
    return differing == 0 ? 0 : 1;
}

int ToPng(const char* input, const char* output) {
    const cv::Mat image = cv::imread(input, cv::IMREAD_UNCHANGED);
    return !image.empty() && cv::imwrite(output, image) ? 0 : 1;
}

int Usage() {
    std::fprintf(stderr,
                 "usage: zentrel_compare LIBRARY repeat IMAGE...\n"
                 "       zentrel_compare LIBRARY rectify FOLDER/ NAME EXT X1 X2 X3 X4 Y1 Y2 Y3 Y4\n"
                 "       zentrel_compare diff A B\n"
                 "       zentrel_compare topng IN OUT\n");
    return 2;
}

}  // namespace

int main(int argc, char** argv) try {
    if (argc < 3) return Usage();
    const std::string first = argv[1];
    const std::string second = argv[2];
    if (first == "diff" && argc == 4) return Diff(argv[2], argv[3]);
    if (first == "topng" && argc == 4) return ToPng(argv[2], argv[3]);
    if (second == "repeat") return Repeat(argv[1], argc - 3, argv + 3);
    if (second == "rectify" && argc == 14) return Rectify(argv[1], argv + 3);
    return Usage();
} catch (const std::exception& error) {
    std::fprintf(stderr, "zentrel_compare: %s\n", error.what());
    return 2;
}
