// The extended API of zentrel_ext.h through the shared library, bound with
// dlsym as a host binds it: status codes and error text for bad input, the
// size-prefixed result, the last error across all working calls, and trace
// lines sent to a callback instead of standard output.
#include <dlfcn.h>
#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <iterator>
#include <opencv2/core.hpp>
#include <stdexcept>
#include <string>
#include <vector>

#include "library_host.h"
#include "test_images.h"
#include "zentrel/zentrel_ext.h"

namespace zentrel::testing {
namespace {

using testing::RepeatTile;
using testing::ShapesTile;
using testing::TileOffset;

using Lines = std::vector<std::string>;

// The extended functions, bound by name from the library LibraryHost loaded.
struct ExtendedApi {
    ExtendedApi() {
        handle = dlopen(ZENTREL_LIBRARY_PATH, RTLD_NOW | RTLD_LOCAL);
        if (handle == nullptr) throw std::runtime_error(dlerror());
        Bind("zentrel_estimate_tile", estimateTile);
        Bind("zentrel_last_error", lastError);
        Bind("zentrel_set_trace_callback", setTraceCallback);
        Bind("zentrel_match_name", matchName);
        Bind("zentrel_mirror_name", mirrorName);
        Bind("zentrel_version", version);
        Bind("zentrel_repeat_candidates", repeatCandidates);
        Bind("zentrel_order_corners", orderCorners);
    }
    ~ExtendedApi() { dlclose(handle); }
    ExtendedApi(const ExtendedApi&) = delete;
    ExtendedApi& operator=(const ExtendedApi&) = delete;

    template <typename Function>
    void Bind(const char* name, Function& function) {
        function = reinterpret_cast<Function>(dlsym(handle, name));
        if (function == nullptr) throw std::runtime_error(std::string("missing export ") + name);
    }

    void* handle = nullptr;
    int (*estimateTile)(const char*, ZentrelTile*) = nullptr;
    const char* (*lastError)() = nullptr;
    void (*setTraceCallback)(ZentrelTraceFn, void*) = nullptr;
    const char* (*matchName)(int) = nullptr;
    const char* (*mirrorName)(int) = nullptr;
    const char* (*version)() = nullptr;
    int (*repeatCandidates)(ZentrelPoint*, int) = nullptr;
    void (*orderCorners)(ZentrelPoint*) = nullptr;
};

void CollectLine(const char* line, void* user) { static_cast<Lines*>(user)->push_back(line); }

// A result whose every field after `size` holds something no call leaves there.
ZentrelTile StaleTile() {
    ZentrelTile tile;
    std::memset(&tile, 0x5A, sizeof tile);
    tile.size = sizeof tile;
    return tile;
}

::testing::AssertionResult IsNoRepeat(const ZentrelTile& tile) {
    const double fields[] = {tile.width,      tile.height,     tile.vector_a.x, tile.vector_a.y,
                             tile.vector_b.x, tile.vector_b.y, tile.origin.x,   tile.origin.y,
                             tile.confidence, tile.unit_width, tile.unit_height};
    const std::int32_t codes[] = {tile.found,        tile.match,    tile.mirror,
                                  tile.region_x,     tile.region_y, tile.region_width,
                                  tile.region_height};
    for (const std::int32_t code : codes) {
        if (code != 0) return ::testing::AssertionFailure() << "a code holds " << code;
    }
    for (const double field : fields) {
        if (field != 0.0) return ::testing::AssertionFailure() << "a field holds " << field;
    }
    return ::testing::AssertionSuccess();
}

class ExtendedApiTest : public ::testing::Test {
protected:
    void TearDown() override { api.setTraceCallback(nullptr, nullptr); }

    // Runs zentrel_estimate_tile with the trace collected; checks that a
    // failure traced exactly the one line zentrel_last_error returns.
    int Estimate(const char* path, ZentrelTile* tile) {
        Lines lines;
        api.setTraceCallback(CollectLine, &lines);
        const int status = api.estimateTile(path, tile);
        api.setTraceCallback(nullptr, nullptr);
        if (status == ZENTREL_OK) {
            EXPECT_EQ(lines, Lines{}) << "a successful estimate traces nothing";
            EXPECT_STREQ(api.lastError(), "");
        } else {
            EXPECT_EQ(lines, Lines{api.lastError()});
        }
        return status;
    }

    std::string Pattern(const std::string& name, cv::Size tile, cv::Size size) {
        return WriteImage(dir, name, TiledPattern(tile, size, CV_8UC3));
    }

    LibraryHost host;
    ExtendedApi api;
    TempDir dir;
};

TEST_F(ExtendedApiTest, BadArgumentsGiveAStatusAndAnErrorLineWithoutCrashing) {
    const std::string good = Pattern("good.png", {40, 30}, {320, 240});

    ZentrelTile tile = StaleTile();
    EXPECT_EQ(Estimate(nullptr, &tile), ZENTREL_ERROR_ARGUMENT);
    EXPECT_TRUE(IsErrorLineNaming(api.lastError(), "null path"));
    EXPECT_TRUE(IsNoRepeat(tile)) << "a usable result is cleared on failure";

    EXPECT_EQ(Estimate(good.c_str(), nullptr), ZENTREL_ERROR_ARGUMENT);
    EXPECT_TRUE(IsErrorLineNaming(api.lastError(), "null result"));
    EXPECT_EQ(Estimate(nullptr, nullptr), ZENTREL_ERROR_ARGUMENT);

    // Smaller than the first version of the struct: refused, and not a byte
    // is written.
    for (const std::uint32_t size : {0u, 4u, 87u}) {
        SCOPED_TRACE(size);
        ZentrelTile small = StaleTile();
        small.size = size;
        const ZentrelTile before = small;
        EXPECT_EQ(Estimate(good.c_str(), &small), ZENTREL_ERROR_ARGUMENT);
        EXPECT_TRUE(IsErrorLineNaming(api.lastError(), "size " + std::to_string(size) + ";"));
        EXPECT_EQ(std::memcmp(&small, &before, sizeof small), 0);
    }
}

TEST_F(ExtendedApiTest, UnreadableFilesAreRefusedWithTheirPath) {
    std::FILE* text = std::fopen(dir.File("notes.png").c_str(), "w");
    std::fputs("not an image\n", text);
    std::fclose(text);
    std::fclose(std::fopen(dir.File("empty.png").c_str(), "w"));
    for (const std::string& bad :
         {dir.File("missing.png"), dir.File("notes.png"), dir.File("empty.png"), dir.path()}) {
        SCOPED_TRACE(bad);
        ZentrelTile tile = StaleTile();
        EXPECT_EQ(Estimate(bad.c_str(), &tile), ZENTREL_ERROR_UNREADABLE);
        EXPECT_TRUE(IsErrorLineNaming(api.lastError(), bad));
        EXPECT_EQ(std::string(api.lastError()).rfind("Could not read image file: " + bad, 0), 0u);
        EXPECT_TRUE(IsNoRepeat(tile));
    }
}

TEST_F(ExtendedApiTest, AnAnalysedImageFillsEveryFieldConsistently) {
    // Holds for any estimate: either no repeat with every field 0, or a
    // lattice the fields describe.
    for (const auto& [name, type] :
         {std::pair{"grey.png", CV_8UC1}, {"alpha.png", CV_8UC4}, {"deep.png", CV_16UC1}}) {
        SCOPED_TRACE(name);
        const std::string path = WriteImage(dir, name, TiledPattern({40, 30}, {320, 240}, type));
        ZentrelTile tile = StaleTile();
        ASSERT_EQ(Estimate(path.c_str(), &tile), ZENTREL_OK);
        if (tile.found == 0) {
            EXPECT_TRUE(IsNoRepeat(tile));
            continue;
        }
        EXPECT_EQ(tile.found, 1);
        EXPECT_NE(api.matchName(tile.match), nullptr);
        EXPECT_NE(tile.match, ZENTREL_MATCH_NONE);
        EXPECT_GT(tile.width, 0.0);
        EXPECT_GT(tile.height, 0.0);
        EXPECT_GE(tile.confidence, 0.0);
        EXPECT_LE(tile.confidence, 1.0);
    }
}

TEST_F(ExtendedApiTest, ABiggerResultFromANewerHeaderIsFilledOnlyAsFarAsTheLibraryKnows) {
    struct NewerTile {
        ZentrelTile known;
        unsigned char later[24];
    } newer;
    std::memset(&newer, 0x5A, sizeof newer);
    newer.known.size = sizeof newer;
    const std::string path = Pattern("good.png", {40, 30}, {320, 240});
    ASSERT_EQ(Estimate(path.c_str(), &newer.known), ZENTREL_OK);
    EXPECT_NE(newer.known.found, 0x5A5A5A5A) << "the known fields are written";
    EXPECT_EQ(newer.known.size, sizeof newer) << "size belongs to the caller";
    for (const unsigned char byte : newer.later) EXPECT_EQ(byte, 0x5A);
}

// A unit of 44 x 30 beside its mirror images, tiled from 13, 7 pixels in.
cv::Mat MirroredTiling(int mirror) {
    cv::Mat tile = ShapesTile({44, 30}, CV_8UC3, 21);
    cv::Mat flipped;
    if (mirror == ZENTREL_MIRROR_H || mirror == ZENTREL_MIRROR_HV) {
        cv::flip(tile, flipped, 1);
        cv::hconcat(tile, flipped, tile);
    }
    if (mirror == ZENTREL_MIRROR_V || mirror == ZENTREL_MIRROR_HV) {
        cv::flip(tile, flipped, 0);
        cv::vconcat(tile, flipped, tile);
    }
    return RepeatTile(tile, {620, 480}, TileOffset::None, {13, 7});
}

TEST_F(ExtendedApiTest, MirroredUnitsComeInTheirOwnFieldsBesideTheTranslationalTile) {
    const struct {
        int mirror;
        const char* name;
        double width, height;  // the translational tile
    } cases[] = {{ZENTREL_MIRROR_NONE, "none", 44, 30},
                 {ZENTREL_MIRROR_H, "mirror-h", 88, 30},
                 {ZENTREL_MIRROR_V, "mirror-v", 44, 60},
                 {ZENTREL_MIRROR_HV, "mirror-hv", 88, 60}};
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        EXPECT_STREQ(api.mirrorName(c.mirror), c.name);
        const std::string path = WriteImage(dir, "mirror.png", MirroredTiling(c.mirror));
        ZentrelTile tile = StaleTile();
        ASSERT_EQ(Estimate(path.c_str(), &tile), ZENTREL_OK);
        ASSERT_EQ(tile.found, 1);
        EXPECT_EQ(tile.match, ZENTREL_MATCH_STRAIGHT);
        EXPECT_EQ(tile.mirror, c.mirror);
        EXPECT_NEAR(tile.width, c.width, 1.0);
        EXPECT_NEAR(tile.height, c.height, 1.0);
        EXPECT_NEAR(tile.unit_width, 44, 1.0);
        EXPECT_NEAR(tile.unit_height, 30, 1.0);
        EXPECT_EQ(cv::Rect(tile.region_x, tile.region_y, tile.region_width, tile.region_height),
                  cv::Rect(0, 0, 620, 480))
            << "the pattern fills the frame";
    }
    EXPECT_EQ(api.mirrorName(-1), nullptr);
    EXPECT_EQ(api.mirrorName(4), nullptr);
}

// A host built against the first, 88-byte struct gets that struct filled
// and nothing past it touched; a size that ends inside a field gets the
// fields before it only.
TEST_F(ExtendedApiTest, AnOlderSmallerResultIsFilledOnlyAsFarAsItsSize) {
    const std::string path = WriteImage(dir, "mirror.png", MirroredTiling(ZENTREL_MIRROR_H));
    ZentrelTile full = StaleTile();
    ASSERT_EQ(Estimate(path.c_str(), &full), ZENTREL_OK);
    ASSERT_EQ(full.mirror, ZENTREL_MIRROR_H);
    const struct {
        std::size_t size, written;
    } cases[] = {{88, 88},
                 {offsetof(ZentrelTile, unit_height) + 4, offsetof(ZentrelTile, unit_height)},
                 {offsetof(ZentrelTile, region_width) + 2, offsetof(ZentrelTile, region_width)}};
    for (const auto [size, written] : cases) {
        SCOPED_TRACE(size);
        ZentrelTile tile = StaleTile();
        tile.size = static_cast<std::uint32_t>(size);
        ASSERT_EQ(Estimate(path.c_str(), &tile), ZENTREL_OK);
        EXPECT_EQ(std::memcmp(&tile.found, &full.found, written - sizeof tile.size), 0);
        const auto* bytes = reinterpret_cast<const unsigned char*>(&tile);
        EXPECT_EQ(std::count(bytes + written, bytes + sizeof tile, 0x5A), sizeof tile - written)
            << "nothing past the caller's whole fields is written";
    }
}

// A swatch on a plain, noisy background: the box is where it lies, and the
// tile the origin names is inside it.
TEST_F(ExtendedApiTest, APatternInPartOfTheFrameGivesItsRegion) {
    cv::Mat image(600, 800, CV_8UC3);
    cv::randn(image, cv::Scalar(90, 120, 140), cv::Scalar::all(6));
    const cv::Rect swatch(210, 150, 420, 380);
    RepeatTile(ShapesTile({50, 42}, CV_8UC3), swatch.size(), TileOffset::None)
        .copyTo(image(swatch));
    const std::string path = WriteImage(dir, "swatch.png", image);
    ZentrelTile tile = StaleTile();
    ASSERT_EQ(Estimate(path.c_str(), &tile), ZENTREL_OK);
    ASSERT_EQ(tile.found, 1);
    const cv::Rect region(tile.region_x, tile.region_y, tile.region_width, tile.region_height);
    EXPECT_GT(static_cast<double>((region & swatch).area()) / (region | swatch).area(), 0.8)
        << region;
    const cv::Rect unit(cv::Point(static_cast<int>(tile.origin.x), static_cast<int>(tile.origin.y)),
                        cv::Size(50, 42));
    EXPECT_EQ(region & unit, unit);
}

TEST_F(ExtendedApiTest, LastErrorFollowsTheLastWorkingCallOfAnyKind) {
    EXPECT_STREQ(api.lastError(), "") << "before any call";
    const std::string good = Pattern("good.png", {40, 30}, {320, 240});
    const std::string missing = dir.File("missing.png");

    host.Repeat(missing.c_str());
    EXPECT_EQ(std::string(api.lastError()), "Could not read image file: " + missing);
    host.ReturnX();
    host.ReturnPath();
    api.matchName(ZENTREL_MATCH_STRAIGHT);
    api.setTraceCallback(nullptr, nullptr);
    EXPECT_EQ(std::string(api.lastError()), "Could not read image file: " + missing)
        << "getters and settings are not working calls";

    ZentrelTile tile{};
    tile.size = sizeof tile;
    ASSERT_EQ(api.estimateTile(good.c_str(), &tile), ZENTREL_OK);
    EXPECT_STREQ(api.lastError(), "") << "a success clears it";

    PathBuffer buffer(dir.path());
    const Lines rectify = host.Rectify({0, 10, 10, 0}, {0, 0, 10, 10}, buffer.data, nullptr, "png");
    ASSERT_FALSE(rectify.empty());
    EXPECT_EQ(std::string(api.lastError()), rectify.back());

    const Lines repeat = host.Repeat(good.c_str());
    ASSERT_EQ(repeat.size(), 3u);
    EXPECT_STREQ(api.lastError(), "");
}

TEST_F(ExtendedApiTest, TheCallbackGetsExactlyTheLinesStandardOutputWouldGet) {
    const std::string good = Pattern("good.png", {40, 30}, {320, 240});
    const std::string missing = dir.File("missing.png");
    const Lines plainGood = host.Repeat(good.c_str());
    const Lines plainMissing = host.Repeat(missing.c_str());
    ASSERT_EQ(plainGood.size(), 3u);
    ASSERT_EQ(plainMissing.size(), 3u);

    Lines received;
    api.setTraceCallback(CollectLine, &received);
    EXPECT_EQ(host.Repeat(good.c_str()), Lines{}) << "nothing reaches standard output";
    EXPECT_EQ(host.Repeat(missing.c_str()), Lines{});
    Lines expected = {"Show F5 Count = 3", plainGood[1],    plainGood[2],
                      "Show F5 Count = 4", plainMissing[1], plainMissing[2]};
    EXPECT_EQ(received, expected);

    PathBuffer buffer(dir.path());
    host.Rectify({0, 10, 10, 0}, {0, 0, 10, 10}, buffer.data, "absent", "png");
    ASSERT_EQ(received.size(), 11u) << "count, maxW, maxH, tmpSavePath, error";
    EXPECT_EQ(received[6], "Pers F5 Count = 1");
    EXPECT_EQ(received.back(), api.lastError());

    api.setTraceCallback(nullptr, nullptr);
    const Lines restored = host.Repeat(good.c_str());
    EXPECT_EQ(restored, (Lines{"Show F5 Count = 5", plainGood[1], plainGood[2]}))
        << "a null callback gives standard output back";
    EXPECT_EQ(received.size(), 11u);
}

TEST_F(ExtendedApiTest, MatchNamesAndVersion) {
    EXPECT_STREQ(api.matchName(ZENTREL_MATCH_NONE), "none");
    EXPECT_STREQ(api.matchName(ZENTREL_MATCH_STRAIGHT), "straight");
    EXPECT_STREQ(api.matchName(ZENTREL_MATCH_HALF_DROP), "half-drop");
    EXPECT_STREQ(api.matchName(ZENTREL_MATCH_HALF_BRICK), "half-brick");
    EXPECT_STREQ(api.matchName(ZENTREL_MATCH_OTHER), "other");
    EXPECT_EQ(api.matchName(-1), nullptr);
    EXPECT_EQ(api.matchName(5), nullptr);
    EXPECT_STREQ(api.version(), ZENTREL_VERSION_STRING);
}

TEST_F(ExtendedApiTest, RepeatCandidatesAreTheLastAnalysisCentresCopiedWithinCapacity) {
    EXPECT_EQ(api.repeatCandidates(nullptr, 0), 0) << "before any analysis";
    const std::string good = Pattern("good.png", {80, 60}, {640, 480});
    ASSERT_EQ(host.Repeat(good.c_str()).size(), 3u);
    const int count = api.repeatCandidates(nullptr, 0);
    ASSERT_GE(count, 2) << "a rectangle is spanned by two of them";

    std::vector<ZentrelPoint> points(count + 1, ZentrelPoint{-7.5, -7.5});
    EXPECT_EQ(api.repeatCandidates(points.data(), 1), count) << "the count, whatever the room";
    EXPECT_EQ(points[1].x, -7.5) << "nothing written past the capacity";
    EXPECT_EQ(api.repeatCandidates(points.data(), count + 1), count);
    EXPECT_EQ(points[count].x, -7.5);
    for (int i = 0; i < count; ++i) {
        EXPECT_TRUE(points[i].x >= 0 && points[i].x < 640 && points[i].y >= 0 && points[i].y < 480);
    }

    host.Repeat(dir.File("missing.png").c_str());
    EXPECT_EQ(api.repeatCandidates(points.data(), count), 0) << "an unreadable file has none";
}

TEST_F(ExtendedApiTest, OrderCornersGivesTheRectificationsOrder) {
    // Any input order, and coordinates taken as floats; the rules themselves
    // are the unit tests' (OrderCorners).
    const struct {
        ZentrelPoint given[4];
        ZentrelPoint ordered[4];
    } cases[] = {
        {{{100, 50}, {0, 0}, {0, 50}, {100, 0}}, {{0, 0}, {100, 0}, {100, 50}, {0, 50}}},
        {{{16777217, 0}, {0, 0}, {0, 9}, {9, 9}}, {{0, 0}, {16777216, 0}, {9, 9}, {0, 9}}},
    };
    for (const auto& one : cases) {
        ZentrelPoint corners[4];
        std::copy(std::begin(one.given), std::end(one.given), corners);
        api.orderCorners(corners);
        for (int k = 0; k < 4; ++k) {
            SCOPED_TRACE(k);
            EXPECT_EQ(corners[k].x, one.ordered[k].x);
            EXPECT_EQ(corners[k].y, one.ordered[k].y);
        }
    }
    api.orderCorners(nullptr);
}

// Needs the lattice estimator: a clean straight tiling must be found exactly.
TEST_F(ExtendedApiTest, FindsTheTileOfACleanStraightTiling) {
    const std::string path = Pattern("straight.png", {40, 30}, {320, 240});
    ZentrelTile tile{};
    tile.size = sizeof tile;
    ASSERT_EQ(Estimate(path.c_str(), &tile), ZENTREL_OK);
    ASSERT_EQ(tile.found, 1);
    EXPECT_EQ(tile.match, ZENTREL_MATCH_STRAIGHT);
    EXPECT_NEAR(tile.width, 40.0, 0.5);
    EXPECT_NEAR(tile.height, 30.0, 0.5);
    // The two vectors are (±40, 0) and (0, ±30), in either order.
    const double lengths[] = {std::hypot(tile.vector_a.x, tile.vector_a.y),
                              std::hypot(tile.vector_b.x, tile.vector_b.y)};
    EXPECT_NEAR(std::min(lengths[0], lengths[1]), 30.0, 0.5);
    EXPECT_NEAR(std::max(lengths[0], lengths[1]), 40.0, 0.5);
    EXPECT_NEAR(tile.vector_a.x * tile.vector_b.x + tile.vector_a.y * tile.vector_b.y, 0.0, 20.0);
    EXPECT_GE(tile.origin.x, 0.0);
    EXPECT_GE(tile.origin.y, 0.0);
    EXPECT_LE(tile.origin.x + tile.width, 320.5);
    EXPECT_LE(tile.origin.y + tile.height, 240.5);
    EXPECT_GT(tile.confidence, 0.9);
}

}  // namespace
}  // namespace zentrel::testing
