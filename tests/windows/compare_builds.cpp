// Runs the library's jobs the way a host does, so that the Windows and the
// Linux builds can be compared on the same images (scripts/test-windows):
//
//   zentrel_compare LIBRARY repeat IMAGE...
//   zentrel_compare LIBRARY rectify FOLDER/ NAME EXT X1 X2 X3 X4 Y1 Y2 Y3 Y4
//   zentrel_compare LIBRARY extended IMAGE TILE_OUTPUT
//   zentrel_compare diff A B [LEVELS]
//   zentrel_compare near TOLERANCE A B
//   zentrel_compare topng IN OUT
//
// The seven's jobs print the library's trace as it comes, then the getters.
// `extended` runs the extended API on one image (zentrel.dll's companion,
// zentrel_ext.dll, on Windows), exporting its tile to TILE_OUTPUT and
// searching the image for the corners to suggest, and prints
// one line per result, each starting with its call's name, and its trace
// lines after that name. Given relative paths, both builds should print the
// same text, numbers aside. `diff` prints how far two images differ and exits
// 1 if any value differs by more than LEVELS (default 0); `near` exits 1
// unless two such outputs agree word for word, numbers within TOLERANCE.
#ifdef _WIN32
#include <windows.h>
#else
#include <dlfcn.h>
#endif

#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <exception>
#include <fstream>
#include <sstream>
#include <string>
#include <vector>

#include <opencv2/core.hpp>
#include <opencv2/imgcodecs.hpp>

#include "zentrel/zentrel_ext.h"

namespace {

using ShowRepeatPointsFn = void (*)(const char*);
using SavePerspectiveImageFn = void (*)(int, int, int, int, int, int, int, int, char*, const char*,
                                        const char*);
using ReturnIntFn = int (*)();
using ReturnPathFn = const ZentrelWideChar* (*)();
using EstimateTileFn = int(ZENTREL_CALL*)(const char*, ZentrelTile*);
using SetTraceCallbackFn = void(ZENTREL_CALL*)(ZentrelTraceFn, void*);
using MatchNameFn = const char*(ZENTREL_CALL*)(int);
using FindQuadFn = int(ZENTREL_CALL*)(const char*, ZentrelQuad*);
using ExtractTileFn = int(ZENTREL_CALL*)(const char*, const ZentrelTile*, const char*,
                                         const ZentrelExportOptions*, ZentrelExportResult*);

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

// The extended calls' trace lines, after the name of the call that traced them.
void ZENTREL_CALL PrintTraceLine(const char* line, void* call) {
    std::printf("%s trace: %s\n", static_cast<const char*>(call), line);
}

// Every field that a build computes, to nine significant digits: enough to
// hold the builds to a thousandth of a pixel.
void PrintTile(int status, const ZentrelTile& tile, MatchNameFn matchName) {
    const char* match = matchName(tile.match);
    std::printf(
        "estimate_tile status %d found %d match %s width %.9g height %.9g vector_a %.9g %.9g "
        "vector_b %.9g %.9g origin %.9g %.9g confidence %.9g unit %.9g %.9g mirror %d "
        "region %d %d %d %d\n",
        status, tile.found, match != nullptr ? match : "(unknown)", tile.width, tile.height,
        tile.vector_a.x, tile.vector_a.y, tile.vector_b.x, tile.vector_b.y, tile.origin.x,
        tile.origin.y, tile.confidence, tile.unit_width, tile.unit_height, tile.mirror,
        tile.region_x, tile.region_y, tile.region_width, tile.region_height);
}

// The pixels' side of an export; the resolution is left out, since only
// builds with the metadata library read the input's own.
void PrintExport(int status, const ZentrelExportResult& result) {
    std::printf(
        "extract_tile status %d width %d height %d match %d repeats %d format %d "
        "seam_score %.9g\n",
        status, result.width, result.height, result.match, result.repeats, result.format,
        result.seam_score);
}

void PrintQuad(int status, const ZentrelQuad& quad) {
    std::printf("find_quad status %d found %d", status, quad.found);
    for (const ZentrelPoint& corner : quad.corners) std::printf(" %.9g %.9g", corner.x, corner.y);
    std::printf(" confidence %.9g\n", quad.confidence);
}

int Extended(const char* library, const char* image, const char* tileOutput) {
    const auto estimateTile = Bind<EstimateTileFn>(library, "zentrel_estimate_tile");
    const auto extractTile = Bind<ExtractTileFn>(library, "zentrel_extract_tile");
    const auto setTraceCallback = Bind<SetTraceCallbackFn>(library, "zentrel_set_trace_callback");
    const auto matchName = Bind<MatchNameFn>(library, "zentrel_match_name");

    static char estimateName[] = "estimate_tile";
    ZentrelTile tile{};
    tile.size = sizeof tile;
    setTraceCallback(PrintTraceLine, estimateName);
    const int status = estimateTile(image, &tile);
    PrintTile(status, tile, matchName);

    // Each side exports the tile it estimated; an image without one is refused.
    static char extractName[] = "extract_tile";
    ZentrelExportResult exported{};
    exported.size = sizeof exported;
    setTraceCallback(PrintTraceLine, extractName);
    const int exportStatus =
        extractTile(image, tile.found ? &tile : nullptr, tileOutput, nullptr, &exported);
    PrintExport(exportStatus, exported);

    static char quadName[] = "find_quad";
    const auto findQuad = Bind<FindQuadFn>(library, "zentrel_find_quad");
    ZentrelQuad quad{};
    quad.size = sizeof quad;
    setTraceCallback(PrintTraceLine, quadName);
    const int quadStatus = findQuad(image, &quad);
    PrintQuad(quadStatus, quad);
    setTraceCallback(nullptr, nullptr);
    std::fflush(stdout);
    return 0;
}

std::vector<std::string> Words(const char* path) {
    std::ifstream file(path);
    std::vector<std::string> words;
    for (std::string word; file >> word;) words.push_back(word);
    return words;
}

bool Number(const std::string& word, double& value) {
    char* end = nullptr;
    value = std::strtod(word.c_str(), &end);
    return !word.empty() && *end == '\0';
}

int Near(const char* tolerance, const char* first, const char* second) {
    const double allowed = std::atof(tolerance);
    const std::vector<std::string> a = Words(first);
    const std::vector<std::string> b = Words(second);
    if (a.empty() || a.size() != b.size()) {
        std::printf("%zu words against %zu\n", a.size(), b.size());
        return 1;
    }
    double largest = 0;
    int numbers = 0;
    for (std::size_t i = 0; i < a.size(); ++i) {
        double x = 0;
        double y = 0;
        if (Number(a[i], x) && Number(b[i], y)) {
            ++numbers;
            const double difference = std::fabs(x - y);
            largest = difference > largest ? difference : largest;
            if (difference <= allowed) continue;
        } else if (a[i] == b[i]) {
            continue;
        }
        std::printf("word %zu differs: %s against %s\n", i + 1, a[i].c_str(), b[i].c_str());
        return 1;
    }
    std::printf("%d numbers, largest difference %g\n", numbers, largest);
    return 0;
}

int Diff(const char* first, const char* second, double levels) {
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
    return largest <= levels ? 0 : 1;
}

int ToPng(const char* input, const char* output) {
    const cv::Mat image = cv::imread(input, cv::IMREAD_UNCHANGED);
    return !image.empty() && cv::imwrite(output, image) ? 0 : 1;
}

int Usage() {
    std::fprintf(stderr,
                 "usage: zentrel_compare LIBRARY repeat IMAGE...\n"
                 "       zentrel_compare LIBRARY rectify FOLDER/ NAME EXT X1 X2 X3 X4 Y1 Y2 Y3 Y4\n"
                 "       zentrel_compare LIBRARY extended IMAGE TILE_OUTPUT\n"
                 "       zentrel_compare diff A B [LEVELS]\n"
                 "       zentrel_compare near TOLERANCE A B\n"
                 "       zentrel_compare topng IN OUT\n");
    return 2;
}

}  // namespace

int main(int argc, char** argv) try {
    if (argc < 3) return Usage();
    const std::string first = argv[1];
    const std::string second = argv[2];
    if (first == "diff" && (argc == 4 || argc == 5)) {
        return Diff(argv[2], argv[3], argc == 5 ? std::atof(argv[4]) : 0.0);
    }
    if (first == "near" && argc == 5) return Near(argv[2], argv[3], argv[4]);
    if (first == "topng" && argc == 4) return ToPng(argv[2], argv[3]);
    if (second == "repeat") return Repeat(argv[1], argc - 3, argv + 3);
    if (second == "rectify" && argc == 14) return Rectify(argv[1], argv + 3);
    if (second == "extended" && argc == 5) return Extended(argv[1], argv[3], argv[4]);
    return Usage();
} catch (const std::exception& error) {
    std::fprintf(stderr, "zentrel_compare: %s\n", error.what());
    return 2;
}
