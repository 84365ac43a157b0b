// The tool's pieces that its end-to-end tests reach only awkwardly: byte-level
// JSON escaping, path splitting, corner parsing, the worker pool when a worker
// dies, and the preview geometry.
#include <gtest/gtest.h>
#include <signal.h>
#include <unistd.h>

#include <map>
#include <string>

#include "command_line.h"
#include "image_job.h"
#include "image_path.h"
#include "json_text.h"
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

}  // namespace
}  // namespace zentrel::cli
