// zentrel_ext.dll as a Windows host binds it, with LoadLibraryA and
// GetProcAddress, alone and beside zentrel.dll. The rules of the extended API
// are the Linux contract tests'; these check what crosses this DLL's
// boundary: status codes and error lines, the size-prefixed struct as the
// mingw compilers lay it out, the last error, __cdecl callbacks, and the
// companion's state kept apart from zentrel.dll's.
#include <windows.h>

#include <cmath>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <stdexcept>
#include <string>
#include <vector>

#include <gtest/gtest.h>
#include <opencv2/imgcodecs.hpp>

#include "library_host.h"
#include "test_images.h"
#include "zentrel/zentrel_ext.h"

namespace zentrel::testing {
namespace {

using Lines = std::vector<std::string>;

// The companion's functions, bound by their plain names.
struct Companion {
    Companion() : module(LoadLibraryA("zentrel_ext.dll")) {
        if (module == nullptr) {
            throw std::runtime_error("LoadLibraryA(zentrel_ext.dll) failed: " +
                                     std::to_string(GetLastError()));
        }
        Bind("zentrel_estimate_tile", estimateTile);
        Bind("zentrel_extract_tile", extractTile);
        Bind("zentrel_find_quad", findQuad);
        Bind("zentrel_last_error", lastError);
        Bind("zentrel_set_trace_callback", setTraceCallback);
        Bind("zentrel_repeat_candidates", repeatCandidates);
        Bind("zentrel_order_corners", orderCorners);
        Bind("zentrel_match_name", matchName);
        Bind("zentrel_version", version);
    }
    ~Companion() { FreeLibrary(module); }
    Companion(const Companion&) = delete;
    Companion& operator=(const Companion&) = delete;

    template <typename Function>
    void Bind(const char* name, Function& function) {
        // Through void*, as library_host does: FARPROC's own type is a fiction.
        function =
            reinterpret_cast<Function>(reinterpret_cast<void*>(GetProcAddress(module, name)));
        if (function == nullptr) throw std::runtime_error(std::string("missing export ") + name);
    }

    HMODULE module;
    int(ZENTREL_CALL* estimateTile)(const char*, ZentrelTile*) = nullptr;
    int(ZENTREL_CALL* extractTile)(const char*, const ZentrelTile*, const char*,
                                   const ZentrelExportOptions*, ZentrelExportResult*) = nullptr;
    int(ZENTREL_CALL* findQuad)(const char*, ZentrelQuad*) = nullptr;
    const char*(ZENTREL_CALL* lastError)() = nullptr;
    void(ZENTREL_CALL* setTraceCallback)(ZentrelTraceFn, void*) = nullptr;
    int(ZENTREL_CALL* repeatCandidates)(ZentrelPoint*, int) = nullptr;
    void(ZENTREL_CALL* orderCorners)(ZentrelPoint*) = nullptr;
    const char*(ZENTREL_CALL* matchName)(int) = nullptr;
    const char*(ZENTREL_CALL* version)() = nullptr;
};

void ZENTREL_CALL CollectLine(const char* line, void* user) {
    static_cast<Lines*>(user)->push_back(line);
}

Lines LinesOf(const std::string& text) {
    Lines lines;
    std::size_t start = 0;
    for (std::size_t end; (end = text.find('\n', start)) != std::string::npos; start = end + 1) {
        std::string line = text.substr(start, end - start);
        if (!line.empty() && line.back() == '\r') line.pop_back();
        lines.push_back(line);
    }
    return lines;
}

// ZentrelTile's first version, up to `confidence`: the smallest size accepted.
constexpr std::uint32_t kFirstTileSize = 88;

// A result whose every field after `size` holds what no call leaves there.
ZentrelTile StaleTile(std::uint32_t size = sizeof(ZentrelTile)) {
    ZentrelTile tile;
    std::memset(&tile, 0x5A, sizeof tile);
    tile.size = size;
    return tile;
}

bool IsCleared(const ZentrelTile& tile) {
    ZentrelTile zero{};
    zero.size = tile.size;
    return std::memcmp(&zero, &tile, sizeof tile) == 0;
}

class CompanionTest : public ::testing::Test {
protected:
    void TearDown() override { api.setTraceCallback(nullptr, nullptr); }

    // One estimate with its trace collected through the callback; what
    // reached standard output instead is in `leaked`.
    int Estimate(const char* path, ZentrelTile* tile, Lines& traced) {
        api.setTraceCallback(CollectLine, &traced);
        int status = 0;
        leaked = CaptureStandardOutput([&] { status = api.estimateTile(path, tile); });
        api.setTraceCallback(nullptr, nullptr);
        return status;
    }

    std::string Pattern() {
        return WriteImage(dir, "wall.png", TiledPattern({40, 30}, {320, 240}, CV_8UC3));
    }

    Companion api;
    TempDir dir;
    std::string leaked;
};

// Every refusal: its status, exactly one error line, through the callback
// and zentrel_last_error alike, and a result either cleared or, when too
// small to be the library's, not touched at all.
TEST_F(CompanionTest, RefusalsGiveTheirStatusAndOneErrorLine) {
    const std::string good = Pattern();
    std::FILE* text = std::fopen(dir.File("notes.png").c_str(), "w");
    std::fputs("not an image\n", text);
    std::fclose(text);
    // A file that another handle holds without sharing cannot be opened.
    const std::string locked =
        WriteImage(dir, "locked.png", TiledPattern({8, 8}, {32, 32}, CV_8UC1));
    const HANDLE holder = CreateFileA(locked.c_str(), GENERIC_READ, 0, nullptr, OPEN_EXISTING,
                                      FILE_ATTRIBUTE_NORMAL, nullptr);
    ASSERT_NE(holder, INVALID_HANDLE_VALUE);

    const std::string missing = dir.File("missing.png");
    const std::string notes = dir.File("notes.png");
    const std::uint32_t full = sizeof(ZentrelTile);
    const struct {
        const char* path;
        bool hasResult;
        std::uint32_t size;
        int status;
        std::string named;
    } cases[] = {
        {nullptr, true, full, ZENTREL_ERROR_ARGUMENT, "null path"},
        {good.c_str(), false, full, ZENTREL_ERROR_ARGUMENT, "null result"},
        {good.c_str(), true, 0, ZENTREL_ERROR_ARGUMENT, "size 0;"},
        {good.c_str(), true, kFirstTileSize - 1, ZENTREL_ERROR_ARGUMENT,
         "size " + std::to_string(kFirstTileSize - 1)},
        {missing.c_str(), true, full, ZENTREL_ERROR_UNREADABLE, missing},
        {notes.c_str(), true, full, ZENTREL_ERROR_UNREADABLE, notes},
        {dir.path().c_str(), true, full, ZENTREL_ERROR_UNREADABLE, dir.path()},
        {locked.c_str(), true, full, ZENTREL_ERROR_UNREADABLE, locked},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.named);
        ZentrelTile tile = StaleTile(c.size);
        const ZentrelTile before = tile;
        Lines traced;
        EXPECT_EQ(Estimate(c.path, c.hasResult ? &tile : nullptr, traced), c.status);
        EXPECT_TRUE(IsErrorLineNaming(api.lastError(), c.named));
        EXPECT_EQ(traced, Lines{api.lastError()});
        EXPECT_EQ(leaked, "");
        if (!c.hasResult || c.size < kFirstTileSize) {
            EXPECT_EQ(std::memcmp(&tile, &before, sizeof tile), 0) << "a byte was written";
        } else {
            EXPECT_TRUE(IsCleared(tile));
        }
    }
    CloseHandle(holder);
}

// The fields land where the header puts them: a clean straight tiling is
// read back exactly, from a longer struct of a newer header whose tail the
// library leaves alone. A success traces nothing and clears the last error.
TEST_F(CompanionTest, TheResultIsFilledAsTheHeaderLaysItOut) {
    const std::string good = Pattern();
    Lines traced;
    ZentrelTile failed{};
    ASSERT_NE(Estimate(dir.File("missing.png").c_str(), &failed, traced), ZENTREL_OK);
    ASSERT_STRNE(api.lastError(), "");

    struct {
        ZentrelTile known;
        unsigned char later[24];
    } newer;
    std::memset(&newer, 0x5A, sizeof newer);
    newer.known.size = sizeof newer;
    traced.clear();
    ASSERT_EQ(Estimate(good.c_str(), &newer.known, traced), ZENTREL_OK);
    EXPECT_EQ(traced, Lines{});
    EXPECT_EQ(leaked, "");
    EXPECT_STREQ(api.lastError(), "");

    const ZentrelTile& tile = newer.known;
    EXPECT_EQ(tile.size, sizeof newer);
    EXPECT_EQ(tile.found, 1);
    EXPECT_STREQ(api.matchName(tile.match), "straight");
    EXPECT_NEAR(tile.width, 40.0, 0.5);
    EXPECT_NEAR(tile.height, 30.0, 0.5);
    EXPECT_NEAR(std::abs(tile.vector_a.x) + std::abs(tile.vector_a.y), 30.0, 0.5);
    EXPECT_NEAR(std::abs(tile.vector_b.x) + std::abs(tile.vector_b.y), 40.0, 0.5);
    EXPECT_GT(tile.confidence, 0.9);
    EXPECT_LE(tile.confidence, 1.0);
    for (const unsigned char byte : newer.later) EXPECT_EQ(byte, 0x5A);
}

// Only working calls change the last error; the others leave it as it is.
TEST_F(CompanionTest, TheLastErrorStaysUntilTheNextWorkingCall) {
    EXPECT_STREQ(api.lastError(), "") << "before any call";
    const std::string missing = dir.File("missing.png");
    ZentrelTile tile = StaleTile();
    ASSERT_EQ(api.estimateTile(missing.c_str(), &tile), ZENTREL_ERROR_UNREADABLE);
    const std::string error = api.lastError();
    EXPECT_EQ(error, "Could not read image file: " + missing);

    ZentrelPoint corners[4] = {{9, 9}, {0, 0}, {9, 0}, {0, 9}};
    api.orderCorners(corners);
    api.matchName(ZENTREL_MATCH_HALF_DROP);
    api.version();
    api.repeatCandidates(nullptr, 0);
    api.setTraceCallback(nullptr, nullptr);
    EXPECT_EQ(api.lastError(), error);
    EXPECT_EQ(corners[2].x, 9.0);
    EXPECT_EQ(corners[2].y, 9.0) << "bottom-right third";
    EXPECT_STREQ(api.version(), ZENTREL_VERSION_STRING);
}

// A null callback gives the lines back to standard output, the C runtime's.
TEST_F(CompanionTest, WithoutACallbackTheTraceGoesToStandardOutput) {
    const std::string missing = dir.File("missing.png");
    ZentrelTile tile = StaleTile();
    Lines traced;
    api.setTraceCallback(CollectLine, &traced);
    api.setTraceCallback(nullptr, nullptr);
    const std::string written =
        CaptureStandardOutput([&] { api.estimateTile(missing.c_str(), &tile); });
    EXPECT_EQ(LinesOf(written), Lines{"Could not read image file: " + missing});
    EXPECT_EQ(traced, Lines{});
}

std::string FileText(const std::string& path) {
    std::string text;
    if (std::FILE* file = std::fopen(path.c_str(), "rb")) {
        for (int c; (c = std::fgetc(file)) != EOF;) text += static_cast<char>(c);
        std::fclose(file);
    }
    return text;
}

std::vector<std::string> FilesIn(const std::string& folder) {
    std::vector<std::string> names;
    WIN32_FIND_DATAA found;
    const HANDLE search = FindFirstFileA((folder + "*").c_str(), &found);
    if (search == INVALID_HANDLE_VALUE) return names;
    do {
        if (std::strcmp(found.cFileName, ".") != 0 && std::strcmp(found.cFileName, "..") != 0) {
            names.push_back(found.cFileName);
        }
    } while (FindNextFileA(search, &found));
    FindClose(search);
    return names;
}

// The export where Windows differs: narrow paths in the ANSI code page and
// with backslashes, an existing output replaced (a rename onto an existing
// file fails there unless asked to replace), an output another handle holds
// (refused, with the old file and no temporary left), and the resolution,
// which this build takes from the options alone.
TEST_F(CompanionTest, TheTileIsWrittenWhereAWindowsHostAsksForIt) {
    const std::string image = Pattern();
    ZentrelTile tile{};
    tile.size = sizeof tile;
    ASSERT_EQ(api.estimateTile(image.c_str(), &tile), ZENTREL_OK);
    ASSERT_EQ(tile.found, 1);

    const struct {
        const char* named;
        std::string folder;
        bool exists;
        bool held;
        double dpi;
        int status;
    } cases[] = {
        {"new file", dir.path(), false, false, 0, ZENTREL_OK},
        {"replaced", dir.path(), true, false, 0, ZENTREL_OK},
        {"ANSI and backslashes", dir.path() + "r\xE9sum\xE9\\", false, false, 0, ZENTREL_OK},
        {"stated resolution", dir.path(), false, false, 254, ZENTREL_OK},
        {"held open", dir.path(), true, true, 0, ZENTREL_ERROR_OUTPUT},
    };
    int index = 0;
    for (const auto& c : cases) {
        SCOPED_TRACE(c.named);
        CreateDirectoryA(c.folder.c_str(), nullptr);
        const std::string output = c.folder + "tile" + std::to_string(++index) + ".png";
        if (c.exists) {
            std::FILE* file = std::fopen(output.c_str(), "wb");
            std::fputs("old", file);
            std::fclose(file);
        }
        const HANDLE holder = c.held ? CreateFileA(output.c_str(), GENERIC_READ, 0, nullptr,
                                                   OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr)
                                     : INVALID_HANDLE_VALUE;
        const std::vector<std::string> before = FilesIn(c.folder);

        ZentrelExportOptions options{};
        options.size = sizeof options;
        options.dpi = c.dpi;
        ZentrelExportResult result{};
        result.size = sizeof result;
        EXPECT_EQ(api.extractTile(image.c_str(), &tile, output.c_str(), &options, &result),
                  c.status)
            << api.lastError();
        if (holder != INVALID_HANDLE_VALUE) CloseHandle(holder);

        if (c.status != ZENTREL_OK) {
            EXPECT_TRUE(IsErrorLineNaming(api.lastError(), output));
            EXPECT_EQ(FileText(output), "old");
            EXPECT_EQ(FilesIn(c.folder), before) << "a temporary was left behind";
            continue;
        }
        const cv::Mat written = cv::imread(output, cv::IMREAD_UNCHANGED);
        EXPECT_EQ(written.cols, result.width);
        EXPECT_EQ(written.rows, result.height);
        EXPECT_NEAR(result.width, 40, 1);
        EXPECT_NEAR(result.height, 30, 1);
        EXPECT_EQ(result.physical, c.dpi > 0 ? 1 : 0);
        if (c.dpi > 0) {
            EXPECT_NEAR(result.width_mm, result.width * 25.4 / c.dpi, 1e-9);
        }
    }
}

// The suggested corners across the boundary: refusals with their status and
// error line, a result too small for this library left untouched, a usable
// one cleared, and the painting found through a backslashed path with its
// corners where they were pasted, each in its slot of the in-place array.
TEST_F(CompanionTest, FindQuadKeepsItsContractAcrossTheDll) {
    const std::string photo = ZENTREL_TEST_DATA_DIR "\\painting_scene.jpg";
    const std::string missing = dir.File("missing.png");
    const auto stale = [](std::uint32_t size) {
        ZentrelQuad quad;
        std::memset(&quad, 0x5A, sizeof quad);
        quad.size = size;
        return quad;
    };
    const std::uint32_t full = sizeof(ZentrelQuad);
    const struct {
        const char* path;
        bool hasResult;
        std::uint32_t size;
        int status;
        std::string named;
    } cases[] = {
        {nullptr, true, full, ZENTREL_ERROR_ARGUMENT, "null path"},
        {photo.c_str(), false, full, ZENTREL_ERROR_ARGUMENT, "null result"},
        {photo.c_str(), true, 0, ZENTREL_ERROR_ARGUMENT, "size 0;"},
        {photo.c_str(), true, full - 1, ZENTREL_ERROR_ARGUMENT, "size " + std::to_string(full - 1)},
        {missing.c_str(), true, full, ZENTREL_ERROR_UNREADABLE, missing},
        {dir.path().c_str(), true, full, ZENTREL_ERROR_UNREADABLE, dir.path()},
        {photo.c_str(), true, full, ZENTREL_OK, ""},
    };
    const double truth[4][2] = {{231, 118}, {1003, 171}, {958, 742}, {187, 690}};
    for (const auto& c : cases) {
        SCOPED_TRACE(c.named);
        ZentrelQuad quad = stale(c.size);
        const ZentrelQuad before = quad;
        Lines traced;
        api.setTraceCallback(CollectLine, &traced);
        const int status = api.findQuad(c.path, c.hasResult ? &quad : nullptr);
        api.setTraceCallback(nullptr, nullptr);
        EXPECT_EQ(status, c.status);
        EXPECT_EQ(quad.size, c.size) << "size belongs to the caller";
        if (c.status == ZENTREL_OK) {
            EXPECT_STREQ(api.lastError(), "");
            EXPECT_EQ(traced, Lines{});
            ASSERT_EQ(quad.found, 1);
            EXPECT_GT(quad.confidence, 0.5);
            EXPECT_LE(quad.confidence, 1.0);
            for (int k = 0; k < 4; ++k) {
                EXPECT_LE(std::hypot(quad.corners[k].x - truth[k][0],
                                     quad.corners[k].y - truth[k][1]),
                          0.015 * std::hypot(1200.0, 900.0))
                    << "corner " << k << ": " << quad.corners[k].x << ", " << quad.corners[k].y;
            }
            continue;
        }
        EXPECT_TRUE(IsErrorLineNaming(api.lastError(), c.named));
        EXPECT_EQ(traced, Lines{api.lastError()});
        if (!c.hasResult || c.size < full) {
            EXPECT_EQ(std::memcmp(&quad, &before, sizeof quad), 0) << "a byte was written";
        } else {
            ZentrelQuad none{};
            none.size = quad.size;
            EXPECT_EQ(std::memcmp(&quad, &none, sizeof quad), 0) << "not cleared";
        }
    }
}

// zentrel.dll and zentrel_ext.dll in one process: each is a whole library
// with its own state, so neither sees the other's calls, settings or errors.
TEST(CompanionBesideZentrelDll, EachKeepsItsOwnState) {
    TempDir dir;
    const std::string good =
        WriteImage(dir, "wall.png", TiledPattern({80, 60}, {640, 480}, CV_8UC3));
    const std::string missing = dir.File("missing.png");
    LibraryHost host;  // zentrel.dll
    Companion api;

    ZentrelTile tile = StaleTile();
    ASSERT_EQ(api.estimateTile(missing.c_str(), &tile), ZENTREL_ERROR_UNREADABLE);
    const std::string error = api.lastError();
    Lines traced;
    api.setTraceCallback(CollectLine, &traced);

    const Lines repeat = host.Repeat(good.c_str());
    ASSERT_EQ(repeat.size(), 3u) << "zentrel.dll traces to standard output as ever";
    EXPECT_EQ(repeat[0], "Show F5 Count = 1");
    EXPECT_GT(host.Rectangle()[2], 0);
    EXPECT_EQ(traced, Lines{}) << "the companion's callback is the companion's alone";
    EXPECT_EQ(api.lastError(), error) << "zentrel.dll's success is not the companion's";
    EXPECT_EQ(api.repeatCandidates(nullptr, 0), 0) << "the analysis ran in zentrel.dll";

    tile = StaleTile();
    EXPECT_EQ(api.estimateTile(good.c_str(), &tile), ZENTREL_OK);
    EXPECT_EQ(tile.found, 1);
    api.setTraceCallback(nullptr, nullptr);
}

}  // namespace
}  // namespace zentrel::testing
