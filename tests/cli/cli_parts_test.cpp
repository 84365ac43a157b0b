// The tool's pieces that its end-to-end tests reach only awkwardly: byte-level
// JSON escaping, path splitting, corner parsing, the worker pool when a worker
// dies, the preview geometry, and tile results the estimator may never give.
#include <gtest/gtest.h>
#include <signal.h>
#include <unistd.h>

#include <filesystem>
#include <map>
#include <opencv2/imgcodecs.hpp>
#include <string>

#include "command_line.h"
#include "image_job.h"
#include "image_path.h"
#include "json_text.h"
#include "outcome_text.h"
#include "preview_pictures.h"
#include "worker_pool.h"

namespace zentrel::cli {
namespace {

TEST(JsonStringTest, EscapesWhatJsonRequires) {
    EXPECT_EQ(JsonString("a\"b\\c/d"), R"("a\"b\\c/d")");
    EXPECT_EQ(JsonString("\t\n\r\b\f"), R"("\t\n\r\b\f")");
    EXPECT_EQ(JsonString(std::string("\x01\x1f\x7f", 3)), "\"\\u0001\\u001f\x7f\"");
    EXPECT_EQ(JsonString(std::string("a\0b", 3)), R"("a\u0000b")");
}

TEST(JsonStringTest, KeepsUtf8AndReplacesEachInvalidByte) {
    EXPECT_EQ(JsonString("é日😀"), "\"é日😀\"");
    const std::map<std::string, std::string> invalid = {
        {"\xff", R"("\ufffd")"},
        {"a\xc3", R"("a\ufffd")"},                              // truncated at the end
        {"\xc3(", R"("\ufffd(")"},                              // bad continuation
        {"\xc0\xaf", R"("\ufffd\ufffd")"},                      // overlong
        {"\xed\xa0\x80", R"("\ufffd\ufffd\ufffd")"},            // surrogate
        {"\xf4\x90\x80\x80", R"("\ufffd\ufffd\ufffd\ufffd")"},  // above U+10FFFF
    };
    for (const auto& [input, expected] : invalid) EXPECT_EQ(JsonString(input), expected);
}

TEST(ImagePathTest, SplitsAtTheLastSeparatorAndTheLastDotOfTheName) {
    const auto check = [](const std::string& path, const std::string& folder,
                          const std::string& name, const std::string& extension) {
        const auto pieces = SplitImagePath(path);
        ASSERT_TRUE(pieces) << path;
        EXPECT_EQ(pieces->folder, folder) << path;
        EXPECT_EQ(pieces->name, name) << path;
        EXPECT_EQ(pieces->extension, extension) << path;
    };
    check("a.png", "", "a", "png");
    check("/x.y/b.c.jpg", "/x.y/", "b.c", "jpg");
    check("dir/.png", "dir/", "", "png");
    EXPECT_FALSE(SplitImagePath("dir.d/file"));
    EXPECT_FALSE(SplitImagePath("file"));

    EXPECT_EQ(ImageStem("x.y/b.c.jpg"), "b.c");
    EXPECT_EQ(ImageStem("x.y/file"), "file");
    EXPECT_EQ(ImageStem(".hidden"), ".hidden");
}

TEST(CornersTest, TakesExactlyEightIntegers) {
    const auto corners = ParseCorners("-1,2,2147483647,-2147483648,0,0,10,+3");
    ASSERT_TRUE(corners);
    EXPECT_EQ(*corners, (std::array<int, 8>{-1, 2, 2147483647, -2147483648, 0, 0, 10, 3}));
    for (const char* bad : {"", "1,2,3,4,5,6,7", "1,2,3,4,5,6,7,8,9", "1,2,3,4,5,6,7,",
                            "1,,3,4,5,6,7,8", "1,2,3,4,5,6,7,2147483648", "1,2,3,4,5,6,7, 8",
                            "1,2,3,4,5,6,7,8x", "1.5,2,3,4,5,6,7,8"}) {
        EXPECT_FALSE(ParseCorners(bad)) << bad;
    }
}

TEST(RepeatOutcomeTest, CodecRoundTripsAndRejectsDamage) {
    RepeatOutcome outcome;
    outcome.ok = true;
    outcome.x = -3;
    outcome.width = 120;
    outcome.error = std::string("with\0nul", 8);
    outcome.trace = "line 1\nline 2\n";
    const std::string bytes = EncodeRepeatOutcome(outcome);
    const auto decoded = DecodeRepeatOutcome(bytes);
    ASSERT_TRUE(decoded);
    EXPECT_EQ(EncodeRepeatOutcome(*decoded), bytes);
    EXPECT_FALSE(DecodeRepeatOutcome(bytes.substr(0, bytes.size() - 1)));
    EXPECT_FALSE(DecodeRepeatOutcome(bytes + "x"));
}

TEST(WorkerPoolTest, RunsEveryJobOnceInOtherProcesses) {
    std::map<std::size_t, std::string> payloads;
    RunJobs(
        9, 3,
        [](std::size_t index) { return std::to_string(index) + ":" + std::to_string(getpid()); },
        [&](JobReport report) {
            ASSERT_TRUE(report.delivered);
            EXPECT_TRUE(payloads.emplace(report.index, report.payload).second);
        });
    ASSERT_EQ(payloads.size(), 9u);
    for (const auto& [index, payload] : payloads) {
        EXPECT_EQ(payload.substr(0, payload.find(':')), std::to_string(index));
        EXPECT_NE(payload.substr(payload.find(':') + 1), std::to_string(getpid()));
    }
}

TEST(WorkerPoolTest, ADyingWorkerLosesOnlyItsJob) {
    std::map<std::size_t, JobReport> reports;
    RunJobs(
        6, 2,
        [](std::size_t index) {
            if (index == 2) raise(SIGKILL);
            return std::string(index, 'x');
        },
        [&](JobReport report) { reports.emplace(report.index, std::move(report)); });
    ASSERT_EQ(reports.size(), 6u);
    for (const auto& [index, report] : reports) {
        if (index == 2) {
            EXPECT_FALSE(report.delivered);
            EXPECT_NE(report.lostReason.find("killed by signal 9"), std::string::npos)
                << report.lostReason;
        } else {
            EXPECT_TRUE(report.delivered);
            EXPECT_EQ(report.payload, std::string(index, 'x'));
        }
    }
}

TEST(PreviewTest, TileIsClippedToTheImage) {
    const cv::Mat image(100, 200, CV_8UC3, cv::Scalar::all(7));
    EXPECT_EQ(TileThreeByThree(image, {10, 20, 30, 40}).size(), cv::Size(90, 120));
    EXPECT_EQ(TileThreeByThree(image, {190, 90, 30, 40}).size(), cv::Size(30, 30));
    EXPECT_TRUE(TileThreeByThree(image, {300, 0, 10, 10}).empty());
}

TEST(PreviewTest, LatticePointsAndTheTileAreDrawnWhereTheLatticeSays) {
    const cv::Mat image(100, 200, CV_8UC3, cv::Scalar::all(128));
    ZentrelTile tile{};
    tile.found = 1;
    tile.match = ZENTREL_MATCH_STRAIGHT;
    tile.width = tile.height = 20;
    tile.vector_a = {20, 0};
    tile.vector_b = {0, 20};
    tile.origin = {10, 10};
    const auto at = [](const cv::Mat& picture, int x, int y) {
        return picture.at<cv::Vec3b>(y, x);
    };
    const cv::Mat picture = DrawLatticeOverview(image, tile);
    EXPECT_EQ(at(picture, 70, 50), cv::Vec3b(0, 0, 255)) << "origin + 3a + 2b";
    EXPECT_EQ(at(picture, 190, 90), cv::Vec3b(0, 0, 255)) << "the last point inside";
    EXPECT_EQ(at(picture, 80, 45), cv::Vec3b(128, 128, 128)) << "between points";
    EXPECT_EQ(at(picture, 10, 20), cv::Vec3b(0, 200, 0)) << "the tile's left side";

    // Only where the pattern holds, which is outlined.
    tile.region_width = 150;
    tile.region_height = 60;
    const cv::Mat part = DrawLatticeOverview(image, tile);
    EXPECT_EQ(at(part, 70, 50), cv::Vec3b(0, 0, 255));
    EXPECT_EQ(at(part, 190, 90), cv::Vec3b(128, 128, 128)) << "outside the region";
    EXPECT_EQ(at(part, 120, 60), cv::Vec3b(0, 200, 255)) << "the region's lower side";

    // Points a few pixels apart would only hide the picture.
    tile.vector_a = {2, 0};
    tile.vector_b = {0, 2};
    const cv::Mat dense = DrawLatticeOverview(image, tile);
    EXPECT_EQ(at(dense, 70, 50), cv::Vec3b(128, 128, 128));
}

// `tile` laid at every point i * a + j * b, as a pattern of that lattice is.
cv::Mat LatticePattern(const cv::Mat& tile, cv::Point a, cv::Point b, cv::Size size) {
    cv::Mat image(size, tile.type(), cv::Scalar::all(0));
    for (int i = -8; i <= 8; ++i) {
        for (int j = -8; j <= 8; ++j) {
            const cv::Point at = i * a + j * b;
            const cv::Rect cell = cv::Rect(at, tile.size()) & cv::Rect({}, size);
            if (cell.empty()) continue;
            tile(cv::Rect(cell.tl() - at, cell.size())).copyTo(image(cell));
        }
    }
    return image;
}

TEST(PreviewTest, TheUnitFollowsTheMatchOffsetSoOnlyTheRightLatticeIsSeamless) {
    cv::Mat tileContent(16, 20, CV_8UC3);
    cv::RNG(5).fill(tileContent, cv::RNG::UNIFORM, 0, 256);
    struct Case {
        const char* name;
        cv::Point a;
        cv::Point b;
        int match;
    };
    const Case cases[] = {{"straight", {20, 0}, {0, 16}, ZENTREL_MATCH_STRAIGHT},
                          {"half-drop", {20, 8}, {0, 16}, ZENTREL_MATCH_HALF_DROP},
                          {"half-brick", {10, 16}, {20, 0}, ZENTREL_MATCH_HALF_BRICK},
                          {"other", {20, 8}, {0, 16}, ZENTREL_MATCH_OTHER},
                          {"other, skewed", {20, 5}, {3, 16}, ZENTREL_MATCH_OTHER}};
    for (const Case& laid : cases) {
        SCOPED_TRACE(laid.name);
        const cv::Mat image = LatticePattern(tileContent, laid.a, laid.b, {60, 48});
        for (const Case& claimed : cases) {
            ZentrelTile tile{};
            tile.found = 1;
            tile.match = claimed.match;
            tile.width = 20;
            tile.height = 16;
            tile.vector_a = {static_cast<double>(claimed.a.x), static_cast<double>(claimed.a.y)};
            tile.vector_b = {static_cast<double>(claimed.b.x), static_cast<double>(claimed.b.y)};
            const cv::Mat unit = RepeatUnitThreeByThree(image, tile);
            ASSERT_EQ(unit.size(), cv::Size(60, 48));
            const bool same = cv::norm(unit, image, cv::NORM_INF) == 0;
            const bool sameLattice = claimed.a == laid.a && claimed.b == laid.b;
            EXPECT_EQ(same, sameLattice) << "claimed " << claimed.name;
        }
    }
}

// A 10 x 8 unit beside its mirror images: only the right axes lay the
// unit's flips where the pattern has them.
TEST(PreviewTest, AMirroredUnitIsLaidWithItsFlips) {
    cv::Mat unit(8, 10, CV_8UC3);
    cv::RNG(3).fill(unit, cv::RNG::UNIFORM, 0, 256);
    for (const int laid : {ZENTREL_MIRROR_H, ZENTREL_MIRROR_V, ZENTREL_MIRROR_HV}) {
        SCOPED_TRACE(laid);
        cv::Mat tile = unit;
        cv::Mat flipped;
        if (laid != ZENTREL_MIRROR_V) {
            cv::flip(tile, flipped, 1);
            cv::hconcat(tile, flipped, tile);
        }
        if (laid != ZENTREL_MIRROR_H) {
            cv::flip(tile, flipped, 0);
            cv::vconcat(tile, flipped, tile);
        }
        const cv::Mat image = LatticePattern(tile, {tile.cols, 0}, {0, tile.rows}, {60, 48});
        for (const int claimed : {ZENTREL_MIRROR_H, ZENTREL_MIRROR_V, ZENTREL_MIRROR_HV}) {
            ZentrelTile found{};
            found.found = 1;
            found.match = ZENTREL_MATCH_STRAIGHT;
            found.mirror = claimed;
            found.width = tile.cols;
            found.height = tile.rows;
            found.unit_width = 10;
            found.unit_height = 8;
            const cv::Mat picture = RepeatUnitThreeByThree(image, found);
            ASSERT_EQ(picture.size(), cv::Size(30, 24));
            const bool same = cv::norm(picture, image(cv::Rect(0, 0, 30, 24)), cv::NORM_INF) == 0;
            EXPECT_EQ(same, claimed == laid) << "claimed " << claimed;
        }
    }
}

TEST(PreviewTest, TheUnitIsCutFromTheOriginAndClippedToTheImage) {
    cv::Mat image(40, 50, CV_8UC1);
    cv::RNG(9).fill(image, cv::RNG::UNIFORM, 0, 256);
    ZentrelTile tile{};
    tile.found = 1;
    tile.match = ZENTREL_MATCH_STRAIGHT;
    tile.width = 10.4;
    tile.height = 7.6;
    tile.origin = {4.6, 3};
    const cv::Mat unit = RepeatUnitThreeByThree(image, tile);
    ASSERT_EQ(unit.size(), cv::Size(30, 24));
    EXPECT_EQ(cv::norm(unit(cv::Rect(20, 16, 10, 8)), image(cv::Rect(5, 3, 10, 8)), cv::NORM_INF),
              0);
    tile.origin = {45, 36};
    EXPECT_EQ(RepeatUnitThreeByThree(image, tile).size(), cv::Size(15, 12));
    // Tall enough to be drawn in more than one band of rows.
    tile.origin = {0, 0};
    tile.height = 30;
    const cv::Mat tall = RepeatUnitThreeByThree(image, tile);
    ASSERT_EQ(tall.size(), cv::Size(30, 90));
    EXPECT_EQ(cv::norm(tall(cv::Rect(20, 60, 10, 30)), image(cv::Rect(0, 0, 10, 30)), cv::NORM_INF),
              0);
    tile.origin = {60, 0};
    EXPECT_TRUE(RepeatUnitThreeByThree(image, tile).empty());
}

TEST(PreviewTest, TilePicturesAreWrittenBesideEachOtherOrRefused) {
    namespace fs = std::filesystem;
    const fs::path folder = fs::temp_directory_path() / ("zentrel-cli-" + std::to_string(getpid()));
    fs::create_directories(folder);
    const std::string image = (folder / "cloth.v2.png").string();
    ASSERT_TRUE(cv::imwrite(image, cv::Mat(60, 80, CV_8UC3, cv::Scalar(10, 20, 30))));
    ZentrelTile tile{};
    tile.found = 1;
    tile.match = ZENTREL_MATCH_HALF_BRICK;
    tile.width = 20;
    tile.height = 15;
    tile.vector_a = {10, 15};
    tile.vector_b = {20, 0};
    tile.origin = {5, 5};
    const std::string pictures = (folder / "pictures").string();
    fs::create_directories(pictures);
    EXPECT_EQ(WriteTilePreview(image, pictures, tile), "");
    EXPECT_EQ(cv::imread(pictures + "/cloth.v2_lattice.png").size(), cv::Size(80, 60));
    EXPECT_EQ(cv::imread(pictures + "/cloth.v2_unit.png").size(), cv::Size(60, 45));

    tile.origin = {100, 5};
    EXPECT_EQ(WriteTilePreview(image, pictures, tile), "the tile lies outside the image");
    EXPECT_EQ(WriteTilePreview((folder / "missing.png").string(), pictures, tile),
              "cannot read " + (folder / "missing.png").string() + " for the preview");
    fs::remove_all(folder);
}

TileOutcome FoundTile() {
    TileOutcome outcome;
    outcome.ok = true;
    outcome.tile.size = sizeof outcome.tile;
    outcome.tile.found = 1;
    outcome.tile.match = ZENTREL_MATCH_HALF_DROP;
    outcome.tile.width = 40.333;
    outcome.tile.height = 29.5;
    outcome.tile.vector_a = {40.333, 14.75};
    outcome.tile.vector_b = {0, 29.5};
    outcome.tile.origin = {0.1, 3};
    outcome.tile.confidence = 0.987;
    outcome.tile.unit_width = 40.333;
    outcome.tile.unit_height = 29.5;
    outcome.tile.region_x = 5;
    outcome.tile.region_width = 200;
    outcome.tile.region_height = 150;
    return outcome;
}

TEST(TileOutcomeTest, TextLinesShowSizeMatchAndConfidenceOrNoRepeat) {
    EXPECT_EQ(TileText("a b.png", FoundTile()), "a b.png  40.33 29.5 half-drop 0.99\n");
    TileOutcome whole = FoundTile();
    whole.tile.match = ZENTREL_MATCH_STRAIGHT;
    whole.tile.width = 40;
    whole.tile.height = 30.004;
    whole.tile.confidence = 1;
    EXPECT_EQ(TileText("a.png", whole), "a.png  40 30 straight 1.00\n");
    whole.tile.mirror = ZENTREL_MIRROR_H;
    whole.tile.unit_width = 20;
    whole.tile.unit_height = 30;
    EXPECT_EQ(TileText("a.png", whole), "a.png  20 30 mirror-h 1.00\n") << "the unit and its axes";
    TileOutcome none;
    none.ok = true;
    EXPECT_EQ(TileText("a.png", none), "a.png  no repeat\n");
}

TEST(TileOutcomeTest, JsonHasEveryFieldAndNullsWhereThereIsNothing) {
    EXPECT_EQ(TileJson("a.png", FoundTile()),
              "{\"path\": \"a.png\", \"found\": true, \"width\": 40.333, \"height\": 29.5, "
              "\"match\": \"half-drop\", \"vector_a\": [40.333, 14.75], \"vector_b\": [0, 29.5], "
              "\"origin\": [0.1, 3], \"confidence\": 0.987, \"mirror\": \"none\", "
              "\"unit\": [40.333, 29.5], \"region\": [5, 0, 200, 150], \"ok\": true, "
              "\"error\": null}");
    TileOutcome none;
    none.ok = true;
    EXPECT_EQ(TileJson("a.png", none),
              "{\"path\": \"a.png\", \"found\": false, \"width\": null, \"height\": null, "
              "\"match\": null, \"vector_a\": null, \"vector_b\": null, \"origin\": null, "
              "\"confidence\": null, \"mirror\": null, \"unit\": null, \"region\": null, "
              "\"ok\": true, \"error\": null}");
    TileOutcome failed = FoundTile();
    failed.ok = false;
    failed.error = "Could not read image file: a.png";
    EXPECT_EQ(TileJson("a.png", failed),
              "{\"path\": \"a.png\", \"found\": null, \"width\": null, \"height\": null, "
              "\"match\": null, \"vector_a\": null, \"vector_b\": null, \"origin\": null, "
              "\"confidence\": null, \"mirror\": null, \"unit\": null, \"region\": null, "
              "\"ok\": false, "
              "\"error\": \"Could not read image file: a.png\"}");
}

// An export's members come before ok: the file and its figures where it was
// written, the estimate's members still where only the writing failed.
TEST(TileOutcomeTest, AnExportAddsItsMembersAndItsPartOfTheLine) {
    TileOutcome written = FoundTile();
    written.exportAsked = written.exported = true;
    written.tilePath = "out/a_tile.png";
    written.written.width = 40;
    written.written.height = 30;
    written.written.repeats = 16;
    written.written.seam_score = 1.004;
    const std::string found =
        "\"match\": \"half-drop\", \"vector_a\": [40.333, 14.75], \"vector_b\": [0, 29.5], "
        "\"origin\": [0.1, 3], \"confidence\": 0.987, \"mirror\": \"none\", "
        "\"unit\": [40.333, 29.5], \"region\": [5, 0, 200, 150], ";
    EXPECT_EQ(TileJson("a.png", written),
              "{\"path\": \"a.png\", \"found\": true, \"width\": 40.333, \"height\": 29.5, " +
                  found +
                  "\"tile_path\": \"out/a_tile.png\", \"tile_width_px\": 40, "
                  "\"tile_height_px\": 30, \"repeats_combined\": 16, \"seam_score\": 1.004, "
                  "\"width_mm\": null, \"height_mm\": null, \"ok\": true, \"error\": null}");
    EXPECT_EQ(TileText("a.png", written),
              "a.png  40.33 29.5 half-drop 0.99  out/a_tile.png  40 x 30 px, 16 repeats, seam "
              "1.00\n");
    written.written.physical = 1;
    written.written.width_mm = 3.4;
    written.written.height_mm = 2.56;
    EXPECT_NE(TileJson("a.png", written).find("\"width_mm\": 3.4, \"height_mm\": 2.56"),
              std::string::npos);
    EXPECT_EQ(TileText("a.png", written),
              "a.png  40.33 29.5 half-drop 0.99  out/a_tile.png  40 x 30 px, 16 repeats, seam "
              "1.00, 3.4 x 2.6 mm\n");

    TileOutcome unwritten = FoundTile();
    unwritten.ok = false;
    unwritten.estimated = unwritten.exportAsked = true;
    unwritten.error = "the tile's output folder out does not exist";
    EXPECT_EQ(TileJson("a.png", unwritten),
              "{\"path\": \"a.png\", \"found\": true, \"width\": 40.333, \"height\": 29.5, " +
                  found +
                  "\"tile_path\": null, \"tile_width_px\": null, \"tile_height_px\": null, "
                  "\"repeats_combined\": null, \"seam_score\": null, \"width_mm\": null, "
                  "\"height_mm\": null, \"ok\": false, "
                  "\"error\": \"the tile's output folder out does not exist\"}");
}

TEST(TileOutcomeTest, CodecRoundTripsAndRejectsDamage) {
    TileOutcome outcome = FoundTile();
    outcome.trace = "line\n";
    outcome.previewError = "cannot write x";
    outcome.exportAsked = outcome.exported = true;
    outcome.tilePath = "out/a_tile.png";
    outcome.written.seam_score = 1.25;
    const std::string bytes = EncodeTileOutcome(outcome);
    const auto decoded = DecodeTileOutcome(bytes);
    ASSERT_TRUE(decoded);
    EXPECT_EQ(EncodeTileOutcome(*decoded), bytes);
    EXPECT_EQ(decoded->tile.vector_a.y, 14.75);
    EXPECT_EQ(decoded->tilePath, "out/a_tile.png");
    EXPECT_EQ(decoded->written.seam_score, 1.25);
    EXPECT_TRUE(decoded->exported);
    EXPECT_FALSE(DecodeTileOutcome(bytes.substr(0, bytes.size() - 1)));
    EXPECT_FALSE(DecodeTileOutcome(bytes + "x"));
    EXPECT_FALSE(DecodeRepeatOutcome(bytes)) << "the two kinds are not confused";
}

}  // namespace
}  // namespace zentrel::cli
