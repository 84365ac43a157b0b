// zentrel_extract_tile through the shared library, bound with dlsym as a host
// binds it: the tile written, its struct contract, and every bad input
// refused with its status and error line, leaving the folder as it was.
#include <dlfcn.h>
#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <cstring>
#include <filesystem>
#include <functional>
#include <limits>
#include <opencv2/imgcodecs.hpp>
#include <opencv2/imgproc.hpp>
#include <stdexcept>
#include <string>
#include <vector>

#include "library_host.h"
#include "test_images.h"
#include "zentrel/zentrel_ext.h"

namespace zentrel::testing {
namespace {

namespace fs = std::filesystem;
using Lines = std::vector<std::string>;

struct ExportApi {
    ExportApi() {
        handle = dlopen(ZENTREL_LIBRARY_PATH, RTLD_NOW | RTLD_LOCAL);
        if (handle == nullptr) throw std::runtime_error(dlerror());
        Bind("zentrel_extract_tile", extractTile);
        Bind("zentrel_estimate_tile", estimateTile);
        Bind("zentrel_last_error", lastError);
        Bind("zentrel_set_trace_callback", setTraceCallback);
    }
    ~ExportApi() { dlclose(handle); }
    ExportApi(const ExportApi&) = delete;
    ExportApi& operator=(const ExportApi&) = delete;

    template <typename Function>
    void Bind(const char* name, Function& function) {
        function = reinterpret_cast<Function>(dlsym(handle, name));
        if (function == nullptr) throw std::runtime_error(std::string("missing export ") + name);
    }

    void* handle = nullptr;
    int (*extractTile)(const char*, const ZentrelTile*, const char*, const ZentrelExportOptions*,
                       ZentrelExportResult*) = nullptr;
    int (*estimateTile)(const char*, ZentrelTile*) = nullptr;
    const char* (*lastError)() = nullptr;
    void (*setTraceCallback)(ZentrelTraceFn, void*) = nullptr;
};

void CollectLine(const char* line, void* user) { static_cast<Lines*>(user)->push_back(line); }

ZentrelExportOptions Options(int combine = ZENTREL_COMBINE_MEDIAN, int format = 0,
                             double dpi = 0.0) {
    return {sizeof(ZentrelExportOptions), combine, 0, format, dpi};
}

ZentrelExportResult StaleResult() {
    ZentrelExportResult result;
    std::memset(&result, 0x5A, sizeof result);
    result.size = sizeof result;
    return result;
}

int FormatOfName(const std::string& path) {
    return fs::path(path).extension() == ".tif" ? ZENTREL_FORMAT_TIFF : ZENTREL_FORMAT_PNG;
}

bool IsCleared(const ZentrelExportResult& result) {
    ZentrelExportResult zero{};
    zero.size = result.size;
    return std::memcmp(&zero, &result, sizeof result) == 0;
}

// The least mean squared difference between `tile` and any window of the
// tiling of `truth`: 0 when the tile is one of the pattern's tiles.
double PhaseError(const cv::Mat& tile, const cv::Mat& truth, TileOffset offset) {
    const cv::Mat tiling = RepeatTile(truth, tile.size() + truth.size() * 2, offset);
    cv::Mat a, b, scores;
    tile.convertTo(a, CV_32F);
    tiling.convertTo(b, CV_32F);
    cv::matchTemplate(b, a, scores, cv::TM_SQDIFF);
    cv::Point at;
    cv::minMaxLoc(scores, nullptr, nullptr, &at);
    return cv::norm(tile, tiling(cv::Rect(at, tile.size())), cv::NORM_L2SQR) /
           static_cast<double>(tile.total() * tile.channels());
}

class TileExportTest : public ::testing::Test {
protected:
    void TearDown() override { api.setTraceCallback(nullptr, nullptr); }

    // One call with its trace collected: a success traces nothing, a failure
    // exactly the line zentrel_last_error returns.
    int Export(const char* path, const ZentrelTile* tile, const char* output,
               const ZentrelExportOptions* options, ZentrelExportResult* result) {
        Lines lines;
        api.setTraceCallback(CollectLine, &lines);
        const int status = api.extractTile(path, tile, output, options, result);
        api.setTraceCallback(nullptr, nullptr);
        EXPECT_EQ(lines, status == ZENTREL_OK ? Lines{} : Lines{api.lastError()});
        return status;
    }

    std::vector<std::string> Files() const {
        std::vector<std::string> names;
        for (const auto& entry : fs::recursive_directory_iterator(dir.path())) {
            names.push_back(entry.path().string() + " " +
                            std::to_string(entry.is_regular_file() ? fs::file_size(entry) : 0));
        }
        std::sort(names.begin(), names.end());
        return names;
    }

    ExportApi api;
    TempDir dir;
};

// Lossless tilings in every depth and match come back as the true tile, in
// their own depth and channels, through PNG and TIFF; with the caller's tile
// or estimated here. Only the output is added to the folder.
TEST_F(TileExportTest, TheTileWrittenIsTheTrueTileInItsOwnDepthAndAlpha) {
    const struct {
        const char* name;
        int type;
        TileOffset offset;
        int match;
        bool estimateFirst;
    } cases[] = {
        {"colour.png", CV_8UC3, TileOffset::None, ZENTREL_MATCH_STRAIGHT, true},
        {"alpha16.tif", CV_16UC4, TileOffset::HalfDrop, ZENTREL_MATCH_HALF_DROP, false},
        {"grey16.png", CV_16UC1, TileOffset::HalfBrick, ZENTREL_MATCH_HALF_BRICK, false},
        {"alpha.png", CV_8UC4, TileOffset::None, ZENTREL_MATCH_STRAIGHT, true},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        const cv::Mat truth = ShapesTile({44, 36}, c.type);
        const std::string input = WriteImage(dir, std::string("in_") + c.name,
                                             RepeatTile(truth, {400, 330}, c.offset, {9, 4}));
        ZentrelTile tile{};
        tile.size = sizeof tile;
        if (c.estimateFirst) {
            ASSERT_EQ(api.estimateTile(input.c_str(), &tile), ZENTREL_OK);
        }
        const std::string output = dir.File(std::string("out_") + c.name);
        const std::vector<std::string> before = Files();
        ZentrelExportResult result = StaleResult();
        ASSERT_EQ(Export(input.c_str(), c.estimateFirst ? &tile : nullptr, output.c_str(), nullptr,
                         &result),
                  ZENTREL_OK)
            << api.lastError();
        const cv::Mat written = cv::imread(output, cv::IMREAD_UNCHANGED);
        ASSERT_EQ(written.type(), c.type);
        EXPECT_EQ(PhaseError(written, truth, c.offset), 0.0);
        EXPECT_EQ(cv::Size(result.width, result.height), written.size());
        EXPECT_EQ(result.match, c.match);
        EXPECT_GE(result.repeats, 16);
        EXPECT_NEAR(result.seam_score, 1.0, 1e-9);
        EXPECT_EQ(result.format, FormatOfName(output));
        EXPECT_EQ(result.physical, 0);
        EXPECT_EQ(result.width_mm, 0.0);
        EXPECT_EQ(Files().size(), before.size() + 1);
    }
}

// The structs start with their sizes: the first version's sizes are taken,
// a newer host's longer struct keeps what the library does not know, and a
// resolution gives the printed size.
TEST_F(TileExportTest, StructsGrowWithoutBreakingHosts) {
    const std::string input =
        WriteImage(dir, "wall.png", TiledPattern({50, 40}, {400, 320}, CV_8UC3));
    const std::string output = dir.File("wall_tile.png");

    struct Longer {
        ZentrelExportResult known;
        unsigned char future[16];
    } longer;
    std::memset(&longer, 0x5A, sizeof longer);
    longer.known.size = sizeof longer;
    struct {
        ZentrelExportOptions known;
        double future[2];
    } options{{sizeof options, ZENTREL_COMBINE_MEAN, 0, ZENTREL_FORMAT_PNG, 254.0}, {1e300, 1e300}};
    ASSERT_EQ(Export(input.c_str(), nullptr, output.c_str(), &options.known, &longer.known),
              ZENTREL_OK)
        << api.lastError();
    EXPECT_EQ(longer.known.size, sizeof longer);
    EXPECT_TRUE(std::all_of(std::begin(longer.future), std::end(longer.future),
                            [](unsigned char byte) { return byte == 0x5A; }));
    // 254 pixels per inch are 10 per millimetre.
    EXPECT_EQ(longer.known.physical, 1);
    EXPECT_DOUBLE_EQ(longer.known.dpi_x, 254.0);
    EXPECT_DOUBLE_EQ(longer.known.width_mm, 5.0);
    EXPECT_DOUBLE_EQ(longer.known.height_mm, 4.0);
    EXPECT_DOUBLE_EQ(longer.known.width_in, 50.0 / 254.0);

    // The first version of each struct, as an older host compiled it.
    ZentrelExportResult first = StaleResult();
    first.size = 88;
    ZentrelExportOptions firstOptions = Options();
    firstOptions.size = 24;
    ZentrelTile tile{};
    tile.size = sizeof tile;
    ASSERT_EQ(api.estimateTile(input.c_str(), &tile), ZENTREL_OK);
    tile.size = 88;
    EXPECT_EQ(Export(input.c_str(), &tile, output.c_str(), &firstOptions, &first), ZENTREL_OK)
        << api.lastError();
    EXPECT_EQ(first.width, 50);
}

// Every input the export cannot work with: a status of its own, one error
// line naming the value, the result cleared, and not a file added, removed
// or changed.
TEST_F(TileExportTest, BadInputIsRefusedAndNothingIsWritten) {
    const std::string input =
        WriteImage(dir, "wall.png", TiledPattern({50, 40}, {400, 320}, CV_8UC3));
    const std::string alpha =
        WriteImage(dir, "alpha.png", TiledPattern({50, 40}, {400, 320}, CV_8UC4));
    cv::Mat noise(300, 300, CV_8UC3);
    cv::randu(noise, 0, 256);
    const std::string flat = WriteImage(dir, "noise.png", noise);
    const std::string readOnly = WriteImage(dir, "kept.png", noise);
    fs::permissions(readOnly, fs::perms::owner_read);
    fs::create_directory(dir.File("folder.png"));
    const std::string notes = dir.File("notes.png");
    std::FILE* text = std::fopen(notes.c_str(), "w");
    std::fputs("not an image\n", text);
    std::fclose(text);

    ZentrelTile other{};  // a lattice of another image
    other.size = sizeof other;
    other.found = 1;
    other.match = ZENTREL_MATCH_STRAIGHT;
    other.vector_a = {67, 0};
    other.vector_b = {0, 29};
    ZentrelTile none = other;
    none.found = 0;
    ZentrelTile huge = other;
    huge.vector_a = {40000, 0};
    ZentrelTile small = other;
    small.size = 87;
    // The right lattice, kept to a region that misses the image or is none.
    ZentrelTile outside{};
    outside.size = sizeof outside;
    ASSERT_EQ(api.estimateTile(input.c_str(), &outside), ZENTREL_OK);
    outside.region_x = outside.region_y = 5000;
    ZentrelTile negative = outside;
    negative.region_x = -1;
    ZentrelTile overflowing = outside;
    overflowing.region_x = overflowing.region_width = INT32_MAX;

    const std::string out = dir.File("out.png");
    const double nan = std::numeric_limits<double>::quiet_NaN();
    const struct {
        const char* what;
        const char* path;
        const ZentrelTile* tile;
        std::string output;
        ZentrelExportOptions options;
        std::uint32_t resultSize;
        int status;
        std::string named;
    } cases[] = {
        {"null path", nullptr, nullptr, out, Options(), 88, ZENTREL_ERROR_ARGUMENT, "null path"},
        {"null output", input.c_str(), nullptr, "", Options(), 88, ZENTREL_ERROR_ARGUMENT,
         "null output"},
        {"small result", input.c_str(), nullptr, out, Options(), 87, ZENTREL_ERROR_ARGUMENT,
         "size 87"},
        {"small options",
         input.c_str(),
         nullptr,
         out,
         {23, 0, 0, 0, 0.0},
         88,
         ZENTREL_ERROR_ARGUMENT,
         "size 23"},
        {"small tile", input.c_str(), &small, out, Options(), 88, ZENTREL_ERROR_ARGUMENT,
         "size 87"},
        {"combination", input.c_str(), nullptr, out, Options(7), 88, ZENTREL_ERROR_ARGUMENT,
         "combination 7"},
        {"format", input.c_str(), nullptr, out, Options(0, 9), 88, ZENTREL_ERROR_ARGUMENT,
         "format 9"},
        {"negative dpi", input.c_str(), nullptr, out, Options(0, 0, -300), 88,
         ZENTREL_ERROR_ARGUMENT, "-300"},
        {"dpi not a number", input.c_str(), nullptr, out, Options(0, 0, nan), 88,
         ZENTREL_ERROR_ARGUMENT, "nan"},
        {"missing folder", input.c_str(), nullptr, dir.File("missing/out.png"), Options(), 88,
         ZENTREL_ERROR_OUTPUT, dir.File("missing")},
        {"the input itself", input.c_str(), nullptr, input, Options(), 88, ZENTREL_ERROR_OUTPUT,
         "input image itself"},
        {"the input spelled otherwise", input.c_str(), nullptr,
         dir.path() + "./../" + fs::path(dir.path()).parent_path().filename().string() +
             "/wall.png",
         Options(), 88, ZENTREL_ERROR_OUTPUT, "input image itself"},
        {"a folder", input.c_str(), nullptr, dir.File("folder.png"), Options(), 88,
         ZENTREL_ERROR_OUTPUT, "folder.png"},
        {"a read-only file", input.c_str(), nullptr, readOnly, Options(), 88, ZENTREL_ERROR_OUTPUT,
         "read-only"},
        {"an unknown extension", input.c_str(), nullptr, dir.File("out.bmp"), Options(), 88,
         ZENTREL_ERROR_OUTPUT, "out.bmp"},
        {"another format than named", input.c_str(), nullptr, dir.File("out.tif"),
         Options(0, ZENTREL_FORMAT_PNG), 88, ZENTREL_ERROR_OUTPUT, "PNG"},
        {"alpha as JPEG", alpha.c_str(), nullptr, dir.File("out.jpg"), Options(), 88,
         ZENTREL_ERROR_OUTPUT, "alpha"},
        {"unreadable input", notes.c_str(), nullptr, out, Options(), 88, ZENTREL_ERROR_UNREADABLE,
         "notes.png"},
        {"no repeat", flat.c_str(), nullptr, out, Options(), 88, ZENTREL_ERROR_NO_REPEAT,
         "noise.png"},
        {"a tile of no repeat", input.c_str(), &none, out, Options(), 88, ZENTREL_ERROR_NO_REPEAT,
         "found is 0"},
        {"another image's tile", input.c_str(), &other, out, Options(), 88, ZENTREL_ERROR_NO_REPEAT,
         "does not fit"},
        {"a region outside the image", input.c_str(), &outside, out, Options(), 88,
         ZENTREL_ERROR_NO_REPEAT, "region"},
        {"a negative region", input.c_str(), &negative, out, Options(), 88, ZENTREL_ERROR_ARGUMENT,
         "(-1, 5000"},
        {"a region past the largest int", input.c_str(), &overflowing, out, Options(), 88,
         ZENTREL_ERROR_ARGUMENT, "2147483647"},
        {"too large to resample", input.c_str(), &huge, out, Options(), 88, ZENTREL_ERROR_TOO_LARGE,
         "40000"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.what);
        const std::vector<std::string> before = Files();
        ZentrelExportResult result = StaleResult();
        result.size = c.resultSize;
        const ZentrelExportResult original = result;
        const char* output = c.output.empty() ? nullptr : c.output.c_str();
        EXPECT_EQ(Export(c.path, c.tile, output, &c.options, &result), c.status);
        EXPECT_TRUE(IsErrorLineNaming(api.lastError(), c.named)) << api.lastError();
        if (c.resultSize >= 88) {
            EXPECT_TRUE(IsCleared(result));
        } else {
            EXPECT_EQ(std::memcmp(&result, &original, sizeof result), 0);
        }
        EXPECT_EQ(Files(), before);
    }
    EXPECT_EQ(Export(input.c_str(), nullptr, out.c_str(), nullptr, nullptr),
              ZENTREL_ERROR_ARGUMENT);
    EXPECT_TRUE(IsErrorLineNaming(api.lastError(), "null result"));
}

}  // namespace
}  // namespace zentrel::testing
