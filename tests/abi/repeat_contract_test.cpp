// ShowRepeatPoints through the shared library, on generated patterns whose
// tile is known, and on inputs it must refuse.
#include <gtest/gtest.h>

#include <cstdio>

#include <opencv2/imgcodecs.hpp>

#include "library_host.h"
#include "test_images.h"

namespace zentrel::testing {
namespace {

using Lines = std::vector<std::string>;

class RepeatTest : public ::testing::Test {
protected:
    std::string Pattern(const std::string& name, int type, cv::Size tile = {80, 60},
                        std::uint64_t seed = 1) {
        return WriteImage(dir, name, TiledPattern(tile, {640, 480}, type, seed));
    }

    // Runs a successful analysis and checks the trace against the getters.
    std::vector<int> Analyse(const std::string& path) {
        const Lines lines = host.Repeat(path.c_str());
        EXPECT_EQ(lines.size(), 3u);
        if (lines.size() != 3u) return {};
        EXPECT_EQ(lines[1], "C++ ImgURL = " + path);
        const std::vector<int> rectangle = host.Rectangle();
        EXPECT_EQ(lines[2], ResultLine(rectangle)) << "the getters report what was traced";
        return rectangle;
    }

    LibraryHost host;
    TempDir dir;
};

// Whole multiples of the tile are correct periods; scaling to 600 columns
// and back may shift a side by a pixel or two.
::testing::AssertionResult IsWholeTiles(const std::vector<int>& rectangle, cv::Size tile) {
    const auto close = [](int side, int period) {
        const int tiles = (side + period / 2) / period;
        return tiles >= 1 && std::abs(side - tiles * period) <= 2;
    };
    if (rectangle.size() == 4 && close(rectangle[2], tile.width) &&
        close(rectangle[3], tile.height)) {
        return ::testing::AssertionSuccess();
    }
    return ::testing::AssertionFailure() << ::testing::PrintToString(rectangle)
                                         << " is not whole tiles of " << tile;
}

TEST_F(RepeatTest, FindsWholeTilesInGreyColourAlphaAnd16BitPatterns) {
    for (const auto& [name, type] : {std::pair{"grey.png", CV_8UC1}, {"colour.png", CV_8UC3},
                                     {"alpha.png", CV_8UC4}, {"deep.png", CV_16UC1},
                                     {"deep-colour.tiff", CV_16UC3}}) {
        SCOPED_TRACE(name);
        EXPECT_TRUE(IsWholeTiles(Analyse(Pattern(name, type)), {80, 60}));
    }
}

TEST_F(RepeatTest, CountsCallsAndKeepsTheRectangleWhenALaterCallFails) {
    const std::string good = Pattern("good.png", CV_8UC1);
    const std::vector<int> found = Analyse(good);
    ASSERT_TRUE(IsWholeTiles(found, {80, 60}));

    std::FILE* text = std::fopen(dir.File("notes.png").c_str(), "w");
    std::fputs("not an image\n", text);
    std::fclose(text);
    for (const std::string& bad : {dir.File("missing.png"), dir.File("notes.png"), dir.path()}) {
        const Lines lines = host.Repeat(bad.c_str());
        ASSERT_EQ(lines.size(), 3u) << "no result line after an unreadable file";
        EXPECT_EQ(lines[1], "C++ ImgURL = " + bad);
        EXPECT_TRUE(IsErrorLineNaming(lines[2], bad));
        EXPECT_EQ(host.Rectangle(), found);
    }
    const Lines nullPath = host.Repeat(nullptr);
    ASSERT_EQ(nullPath.size(), 2u);
    EXPECT_EQ(nullPath[0], "Show F5 Count = 5");
    EXPECT_TRUE(IsErrorLineNaming(nullPath[1], "null"));
    EXPECT_EQ(host.Rectangle(), found);
}

TEST_F(RepeatTest, ShapesThatCannotBeScaledTo600ColumnsAreRefused) {
    const std::string good = Pattern("good.png", CV_8UC3);
    const std::vector<int> found = Analyse(good);
    // 1000 x 1 scales to 0 rows; 1 x 400 would scale to 240000 rows.
    for (const cv::Size size : {cv::Size(1000, 1), cv::Size(1, 400)}) {
        const std::string path = WriteImage(dir, "strip.png", cv::Mat(size, CV_8UC1, cv::Scalar(9)));
        const Lines lines = host.Repeat(path.c_str());
        ASSERT_EQ(lines.size(), 3u);
        EXPECT_TRUE(IsErrorLineNaming(lines[2], path));
        EXPECT_EQ(host.Rectangle(), found);
    }
}

TEST_F(RepeatTest, GettersWriteNoTraceLineAndKeepTheirValues) {
    EXPECT_TRUE(host.TraceOfGetters().empty()) << "before any call";
    const std::vector<int> found = Analyse(Pattern("grey.png", CV_8UC1));
    EXPECT_TRUE(host.TraceOfGetters().empty()) << "after an analysis";
    host.Repeat("/nonexistent/zentrel/missing.png");
    EXPECT_TRUE(host.TraceOfGetters().empty()) << "after a refused analysis";
    EXPECT_EQ(host.Rectangle(), found);
}

}  // namespace
}  // namespace zentrel::testing
