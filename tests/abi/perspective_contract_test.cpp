// SavePerspectiveImage through the shared library: trace lines, the written
// image, the caller's buffer and ReturnPath, and every refused input.
#include <gtest/gtest.h>

#include <sys/stat.h>

#include <climits>
#include <cstring>
#include <filesystem>

#include <opencv2/imgcodecs.hpp>
#include <opencv2/imgproc.hpp>

#include "library_host.h"
#include "test_images.h"

namespace zentrel::testing {
namespace {

namespace fs = std::filesystem;
using Lines = std::vector<std::string>;

class RectifyTest : public ::testing::Test {
protected:
    // Writes `image` as NAME.png into the folder and returns the caller's buffer.
    PathBuffer Input(const std::string& name, const cv::Mat& image) {
        WriteImage(dir, name + ".png", image);
        return PathBuffer(dir.path());
    }

    std::vector<fs::path> Files() const {
        std::vector<fs::path> files;
        for (const auto& entry : fs::directory_iterator(dir.path())) files.push_back(entry.path());
        std::sort(files.begin(), files.end());
        return files;
    }

    LibraryHost host;
    TempDir dir;
};

cv::Mat Grey(int rows, int columns) {
    cv::Mat image(rows, columns, CV_8UC1);
    cv::randu(image, 0, 255);
    return image;
}

TEST_F(RectifyTest, WritesTheUprightImageAndTracesTheSevenLines) {
    PathBuffer buffer = Input("page", Grey(60, 120));
    const Lines lines = host.Rectify({100, 0, 0, 100}, {50, 0, 50, 0}, buffer.data, "page", "png");
    const std::string input = dir.File("page.png");
    const std::string output = dir.File("page_pers.png");
    EXPECT_EQ(lines, (Lines{"Pers F5 Count = 1", "maxW = 100", "maxH = 50",
                            "tmpSavePath = Original Image Path" + input,
                            "persImageSavePath = " + output, "FinalSavePath = " + output,
                            "Complete SaveImage"}));
    EXPECT_STREQ(buffer.data, output.c_str());
    EXPECT_EQ(host.PathText(), Utf16(output));

    const cv::Mat written = cv::imread(output, cv::IMREAD_UNCHANGED);
    ASSERT_EQ(written.size(), cv::Size(100, 50));
    EXPECT_EQ(written.type(), CV_8UC1);
    // An axis-aligned box onto a box of 99 x 49 intervals: the first pixel is
    // the corner's own.
    EXPECT_EQ(written.at<uchar>(0, 0), cv::imread(input, cv::IMREAD_UNCHANGED).at<uchar>(0, 0));
}

TEST_F(RectifyTest, CornersComeOutUprightWhateverTheirOrder) {
    cv::Mat image(220, 220, CV_8UC3, cv::Scalar(40, 40, 40));
    const cv::Point corners[4] = {{40, 30}, {170, 50}, {160, 190}, {30, 150}};  // TL TR BR BL
    const cv::Scalar colours[4] = {{0, 0, 255}, {0, 255, 0}, {255, 0, 0}, {255, 255, 255}};
    for (int k = 0; k < 4; ++k) {
        cv::rectangle(image, cv::Rect(corners[k] - cv::Point(8, 8), cv::Size(17, 17)), colours[k],
                      cv::FILLED);
    }
    PathBuffer buffer = Input("quad", image);
    // Given as BR, TL, BL, TR.
    host.Rectify({160, 40, 30, 170}, {190, 30, 150, 50}, buffer.data, "quad", "png");
    const cv::Mat out = cv::imread(dir.File("quad_pers.png"), cv::IMREAD_UNCHANGED);
    ASSERT_FALSE(out.empty());
    const int right = out.cols - 3;
    const int bottom = out.rows - 3;
    EXPECT_EQ(out.at<cv::Vec3b>(2, 2), cv::Vec3b(0, 0, 255));
    EXPECT_EQ(out.at<cv::Vec3b>(2, right), cv::Vec3b(0, 255, 0));
    EXPECT_EQ(out.at<cv::Vec3b>(bottom, right), cv::Vec3b(255, 0, 0));
    EXPECT_EQ(out.at<cv::Vec3b>(bottom, 2), cv::Vec3b(255, 255, 255));
}

TEST_F(RectifyTest, AlphaImagesKeepFourChannelsWithATransparentBorder) {
    cv::Mat image(100, 100, CV_8UC4, cv::Scalar(10, 20, 30, 255));
    PathBuffer buffer = Input("alpha", image);
    // The quadrilateral reaches 50 pixels left of the input.
    host.Rectify({-50, 99, 99, -50}, {0, 0, 99, 99}, buffer.data, "alpha", "png");
    const cv::Mat out = cv::imread(dir.File("alpha_pers.png"), cv::IMREAD_UNCHANGED);
    ASSERT_EQ(out.type(), CV_8UC4);
    ASSERT_EQ(out.size(), cv::Size(149, 99));
    EXPECT_EQ(out.at<cv::Vec4b>(50, 10), cv::Vec4b(0, 0, 0, 0));
    EXPECT_EQ(out.at<cv::Vec4b>(50, 120), cv::Vec4b(10, 20, 30, 255));
}

TEST_F(RectifyTest, ASecondCallPublishesItsOwnPathAndSharesNothingWithTheFirst) {
    Input("one", Grey(40, 40));
    Input("two", Grey(40, 40));
    PathBuffer first(dir.path());
    host.Rectify({0, 30, 30, 0}, {0, 0, 20, 20}, first.data, "one", "png");
    const ZentrelWideChar* firstPath = host.ReturnPath();
    EXPECT_EQ(host.PathText(), Utf16(dir.File("one_pers.png")));
    PathBuffer second(dir.path());
    const Lines lines = host.Rectify({0, 30, 30, 0}, {0, 0, 20, 20}, second.data, "two", "png");
    EXPECT_EQ(lines.front(), "Pers F5 Count = 2");
    EXPECT_EQ(host.PathText(), Utf16(dir.File("two_pers.png")));
    EXPECT_NE(host.ReturnPath(), firstPath) << "a new buffer for each call";
}

#ifndef _WIN32
// Narrow paths are UTF-8 here; on Windows they are in the ANSI code page, and
// tests/windows/windows_host_test.cpp has this test's twin.
TEST_F(RectifyTest, NonAsciiPathsReachTheFileSystemAndReturnPathAsUtf16) {
    const std::string folder = dir.File("r\xC3\xA9sum\xC3\xA9 \xE5\x90\x8D/");
    fs::create_directory(folder);
    cv::imwrite(folder + "scan.png", Grey(30, 30));
    PathBuffer buffer(folder);
    const Lines lines = host.Rectify({0, 20, 20, 0}, {0, 0, 20, 20}, buffer.data, "scan", "png");
    EXPECT_EQ(lines.back(), "Complete SaveImage");
    EXPECT_TRUE(fs::exists(folder + "scan_pers.png"));
    const std::u16string expected =
        Utf16(dir.path()) + u"r\u00E9sum\u00E9 \u540D/scan_pers.png";
    EXPECT_EQ(host.PathText(), expected);
}
#endif

TEST_F(RectifyTest, NullPiecesAreRefusedAfterTheCount) {
    Input("page", Grey(20, 20));
    char buffer[64] = "unchanged";
    const Lines noFolder = host.Rectify({0, 9, 9, 0}, {0, 0, 9, 9}, nullptr, "page", "png");
    ASSERT_EQ(noFolder.size(), 2u);
    EXPECT_EQ(noFolder[0], "Pers F5 Count = 1");
    EXPECT_TRUE(IsErrorLineNaming(noFolder[1], "savePath"));
    const Lines noName = host.Rectify({0, 9, 9, 0}, {0, 0, 9, 9}, buffer, nullptr, "png");
    ASSERT_EQ(noName.size(), 2u);
    EXPECT_TRUE(IsErrorLineNaming(noName[1], "imageName"));
    const Lines noExt = host.Rectify({0, 9, 9, 0}, {0, 0, 9, 9}, buffer, "page", nullptr);
    ASSERT_EQ(noExt.size(), 2u);
    EXPECT_TRUE(IsErrorLineNaming(noExt[1], "imageExt"));
    EXPECT_STREQ(buffer, "unchanged");
    EXPECT_EQ(host.ReturnPath(), nullptr);
    EXPECT_EQ(Files().size(), 1u);
}

TEST_F(RectifyTest, DegenerateAndOversizedOutputsAreRefusedAfterTheSizeLines) {
    PathBuffer buffer = Input("page", Grey(20, 20));
    const Lines same = host.Rectify({5, 5, 5, 5}, {5, 5, 5, 5}, buffer.data, "page", "png");
    ASSERT_EQ(same.size(), 4u);
    EXPECT_EQ(same[1], "maxW = 0");
    EXPECT_EQ(same[2], "maxH = 0");
    EXPECT_TRUE(IsErrorLineNaming(same[3], "0 x 0"));

    const Lines huge = host.Rectify({INT_MIN, INT_MAX, INT_MAX, INT_MIN},
                                    {INT_MIN, INT_MIN, INT_MAX, INT_MAX}, buffer.data, "page", "png");
    ASSERT_EQ(huge.size(), 4u);
    EXPECT_EQ(huge[1], "maxW = 4.29497e+09");
    EXPECT_TRUE(IsErrorLineNaming(huge[3], "4.29497e+09"));

    const Lines tooMany = host.Rectify({0, 40000, 40000, 0}, {0, 0, 40000, 40000}, buffer.data,
                                       "page", "png");
    ASSERT_EQ(tooMany.size(), 4u) << "1.6 gigapixels";

    EXPECT_EQ(std::string(buffer.data), dir.path());
    EXPECT_EQ(host.ReturnPath(), nullptr);
    EXPECT_EQ(Files().size(), 1u);
}

TEST_F(RectifyTest, InputPathsOf200CharactersAreRefusedAnd199Work) {
    // The folder and the pieces add up to exactly 199 characters.
    const std::string folder = dir.path() + std::string(150 - dir.path().size(), 'd') + "/";
    fs::create_directory(folder);
    const std::string name(199 - folder.size() - 4, 'n');
    cv::imwrite(folder + name + ".png", Grey(10, 10));

    PathBuffer fits(folder);
    const Lines accepted = host.Rectify({0, 9, 9, 0}, {0, 0, 9, 9}, fits.data, name.c_str(), "png");
    ASSERT_EQ(accepted.size(), 7u);
    EXPECT_EQ(std::strlen(fits.data), 204u);
    const std::u16string published = host.PathText();

    PathBuffer tooLong(folder);
    const std::string longer = name + "x";
    const Lines refused =
        host.Rectify({0, 9, 9, 0}, {0, 0, 9, 9}, tooLong.data, longer.c_str(), "png");
    ASSERT_EQ(refused.size(), 4u);
    EXPECT_TRUE(IsErrorLineNaming(refused[3], "200 characters"));
    EXPECT_EQ(std::string(tooLong.data), folder);
    EXPECT_EQ(host.PathText(), published);
}

TEST_F(RectifyTest, UnreadableInputsAreRefusedAfterTheJoinedPath) {
    std::FILE* text = std::fopen(dir.File("notes.png").c_str(), "w");
    std::fputs("not an image\n", text);
    std::fclose(text);
    for (const char* name : {"missing", "notes"}) {
        PathBuffer buffer(dir.path());
        const Lines lines = host.Rectify({0, 9, 9, 0}, {0, 0, 9, 9}, buffer.data, name, "png");
        ASSERT_EQ(lines.size(), 5u);
        EXPECT_EQ(lines[3], "tmpSavePath = Original Image Path" + dir.File(name) + ".png");
        EXPECT_TRUE(IsErrorLineNaming(lines[4], dir.File(name) + ".png"));
        EXPECT_EQ(std::string(buffer.data), dir.path());
    }
    EXPECT_EQ(host.ReturnPath(), nullptr);
    EXPECT_EQ(Files().size(), 1u);
}

TEST_F(RectifyTest, AFailedWriteReplacesTheLastLineButThePathIsPublished) {
    // The decoder reads by content, so a PNG named .xyz is read; no encoder
    // takes .xyz.
    WriteImage(dir, "odd.png", Grey(20, 20));
    fs::rename(dir.File("odd.png"), dir.File("odd.xyz"));
    PathBuffer odd(dir.path());
    const Lines unknown = host.Rectify({0, 9, 9, 0}, {0, 0, 9, 9}, odd.data, "odd", "xyz");
    ASSERT_EQ(unknown.size(), 7u);
    EXPECT_TRUE(IsErrorLineNaming(unknown[6], dir.File("odd_pers.xyz")));
    EXPECT_STREQ(odd.data, dir.File("odd_pers.xyz").c_str());
    EXPECT_EQ(host.PathText(), Utf16(dir.File("odd_pers.xyz")));

    // The output path is taken by a folder.
    PathBuffer blocked = Input("page", Grey(20, 20));
    fs::create_directory(dir.File("page_pers.png"));
    const Lines folder = host.Rectify({0, 9, 9, 0}, {0, 0, 9, 9}, blocked.data, "page", "png");
    ASSERT_EQ(folder.size(), 7u);
    EXPECT_TRUE(IsErrorLineNaming(folder[6], dir.File("page_pers.png")));
    EXPECT_EQ(host.PathText(), Utf16(dir.File("page_pers.png")));
}

}  // namespace
}  // namespace zentrel::testing
