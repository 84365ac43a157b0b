#include "tile_export.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <filesystem>
#include <opencv2/imgcodecs.hpp>

#include "refusal.h"
#include "resolution_metadata.h"
#include "test_images.h"
#include "tile_file.h"

#ifdef ZENTREL_TEST_EXIV2
#include <exiv2/exiv2.hpp>
#endif

namespace zentrel {
namespace {

using testing::TempDir;

std::vector<std::string> Listing(const TempDir& dir) {
    std::vector<std::string> names;
    for (const auto& entry : std::filesystem::directory_iterator(dir.path())) {
        names.push_back(entry.path().filename().string());
    }
    std::sort(names.begin(), names.end());
    return names;
}

// What is recorded is read back, across and down apart, and the pixels pass
// through untouched: recorded afterwards in PNG and JPEG, encoded with a
// TIFF. Exif's centimetres are converted.
TEST(ResolutionMetadata, ARecordedResolutionIsReadBackInEachFormat) {
    if (!ResolutionMetadataSupported()) GTEST_SKIP() << "built without exiv2";
    const TempDir dir;
    const cv::Mat image = testing::ShapesTile({40, 30}, CV_8UC3);
    for (const char* name : {"a.png", "a.jpg", "a.tif"}) {
        SCOPED_TRACE(name);
        const std::string path = dir.File(name);
        const TileFormat format = *FormatOfExtension(path);
        WriteTileFile(image, path, format, std::nullopt);
        const cv::Mat before = cv::imread(path, cv::IMREAD_UNCHANGED);
        EXPECT_FALSE(ReadResolution(path));
        EXPECT_TRUE(WriteTileFile(image, path, format, Resolution{300, 150}));
        const std::optional<Resolution> read = ReadResolution(path);
        ASSERT_TRUE(read);
        EXPECT_DOUBLE_EQ(read->x, 300);
        EXPECT_DOUBLE_EQ(read->y, 150);
        EXPECT_EQ(cv::norm(cv::imread(path, cv::IMREAD_UNCHANGED), before, cv::NORM_INF), 0);
    }
#ifdef ZENTREL_TEST_EXIV2
    const std::string centimetres = dir.File("a.jpg");
    auto file = Exiv2::ImageFactory::open(centimetres);
    file->readMetadata();
    file->exifData()["Exif.Image.XResolution"] = Exiv2::URational(100, 1);
    file->exifData()["Exif.Image.ResolutionUnit"] = static_cast<std::uint16_t>(3);
    file->writeMetadata();
    EXPECT_NEAR(ReadResolution(centimetres)->x, 254.0, 1e-9);
#endif
}

TEST(TileExport, TheInputsResolutionOrTheOneGivenGoesIntoTheTile) {
    if (!ResolutionMetadataSupported()) GTEST_SKIP() << "built without exiv2";
    const TempDir dir;
    const std::string input =
        testing::WriteImage(dir, "wall.png", testing::TiledPattern({48, 40}, {300, 240}, CV_8UC3));
    ASSERT_TRUE(RecordResolution(input, {254, 254}));
    const std::string output = dir.File("wall_tile.tif");
    TileExportRequest request;
    request.input = input.c_str();
    request.output = output.c_str();
    for (const double dpi : {0.0, 600.0}) {
        request.dpi = dpi;
        const TileExportOutcome outcome = RunTileExport(request);
        const double expected = dpi > 0 ? dpi : 254;
        ASSERT_TRUE(outcome.resolution);
        EXPECT_EQ(outcome.resolution->x, expected);
        EXPECT_TRUE(outcome.recorded);
        EXPECT_EQ(ReadResolution(output)->x, expected);
        EXPECT_EQ(outcome.size, cv::Size(48, 40));
    }
}

// A write that fails after the encoding (here the resolution cannot be
// recorded) leaves neither the file nor its temporary behind.
TEST(TileExport, AFailedWriteLeavesNothingBehind) {
    // Only a build that records resolutions refuses one that is no print's.
    if (!ResolutionMetadataSupported()) GTEST_SKIP() << "built without exiv2";
    const TempDir dir;
    const std::string output = dir.File("tile.png");
    EXPECT_THROW(WriteTileFile(testing::ShapesTile({20, 20}, CV_8UC3), output, TileFormat::Png,
                               Resolution{-1, -1}),
                 Refusal);
    EXPECT_TRUE(Listing(dir).empty());
}

}  // namespace
}  // namespace zentrel
