// Inputs a host may pass by mistake, each through the shared library as a
// host loads it: what is traced, what the getters return, and which files
// change. docs/reliability.md has the same rows as a table; rows that
// tests/abi already covers are named there and not repeated here.
#include <dlfcn.h>
#include <gtest/gtest.h>
#include <sys/fsuid.h>
#include <sys/stat.h>
#include <unistd.h>

#include <climits>
#include <cstdint>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <limits>
#include <map>
#include <string>
#include <vector>

#include <opencv2/core.hpp>
#include <opencv2/imgcodecs.hpp>

#include "library_host.h"
#include "test_images.h"
#include "zentrel/zentrel_ext.h"

namespace zentrel::testing {
namespace {

namespace fs = std::filesystem;
using Lines = std::vector<std::string>;

// PNG files built byte by byte, for what the encoder will not write: grey
// with alpha, and a header that promises far more than the file holds.
std::string BigEndian(std::uint32_t value) {
    return {static_cast<char>(value >> 24), static_cast<char>(value >> 16),
            static_cast<char>(value >> 8), static_cast<char>(value)};
}

std::string Chunk(const std::string& type, const std::string& data) {
    std::uint32_t crc = 0xFFFFFFFFu;
    for (const unsigned char byte : type + data) {
        crc ^= byte;
        for (int bit = 0; bit < 8; ++bit) crc = (crc >> 1) ^ (0xEDB88320u & (0u - (crc & 1u)));
    }
    return BigEndian(static_cast<std::uint32_t>(data.size())) + type + data + BigEndian(~crc);
}

// A zlib stream of stored (uncompressed) blocks.
std::string StoredZlib(const std::string& raw) {
    std::string out = "\x78\x01";
    std::size_t at = 0;
    do {
        const std::size_t length = std::min<std::size_t>(raw.size() - at, 65535);
        out += static_cast<char>(at + length == raw.size() ? 1 : 0);
        for (const std::size_t half : {length, ~length}) {
            out += static_cast<char>(half & 0xFF);
            out += static_cast<char>((half >> 8) & 0xFF);
        }
        out += raw.substr(at, length);
        at += length;
    } while (at < raw.size());
    std::uint32_t a = 1;
    std::uint32_t b = 0;
    for (const unsigned char byte : raw) {
        a = (a + byte) % 65521;
        b = (b + a) % 65521;
    }
    return out + BigEndian((b << 16) | a);
}

// `scanlines` are the filtered rows (a filter byte, then the samples).
std::string Png(std::uint32_t width, std::uint32_t height, int bitDepth, int colourType,
                const std::string& scanlines) {
    std::string header = BigEndian(width) + BigEndian(height);
    header += static_cast<char>(bitDepth);
    header += static_cast<char>(colourType);
    header += std::string(3, '\0');
    return std::string("\x89PNG\r\n\x1a\n", 8) + Chunk("IHDR", header) +
           Chunk("IDAT", StoredZlib(scanlines)) + Chunk("IEND", "");
}

// Grey with alpha (colour type 4): the pattern's grey and a ramp of alpha.
std::string GreyAlphaPng(const cv::Mat& grey, int bitDepth) {
    std::string rows;
    for (int y = 0; y < grey.rows; ++y) {
        rows += '\0';
        for (int x = 0; x < grey.cols; ++x) {
            const char value = static_cast<char>(grey.at<uchar>(y, x));
            const char alpha = static_cast<char>(x * 255 / grey.cols);
            rows += bitDepth == 16 ? std::string{value, value, alpha, alpha} : std::string{value, alpha};
        }
    }
    return Png(static_cast<std::uint32_t>(grey.cols), static_cast<std::uint32_t>(grey.rows), bitDepth,
               4, rows);
}

std::string Bytes(const std::string& path) {
    std::ifstream file(path, std::ios::binary);
    return {std::istreambuf_iterator<char>(file), std::istreambuf_iterator<char>()};
}

void WriteBytes(const std::string& path, const std::string& bytes) {
    std::ofstream(path, std::ios::binary) << bytes;
}

// Makes the calling thread's file access that of an ordinary user for its
// lifetime. Tests run as root in CI, where permissions block nothing: the
// filesystem uid is per thread, and leaving 0 drops root's override. As an
// ordinary user already, `folder` (or `file`) is made read-only instead.
class Unprivileged {
public:
    explicit Unprivileged(const fs::path& readOnly) : readOnly_(readOnly) {
        if (geteuid() == 0) {
            setfsgid(kNobody);
            setfsuid(kNobody);
            dropped_ = setfsuid(kNobody) == static_cast<int>(kNobody);
        } else {
            saved_ = fs::status(readOnly_).permissions();
            fs::permissions(readOnly_, fs::perms::owner_write | fs::perms::group_write |
                                           fs::perms::others_write,
                            fs::perm_options::remove);
            dropped_ = true;
        }
    }
    ~Unprivileged() {
        if (geteuid() == 0) {
            setfsuid(0);
            setfsgid(0);
        } else {
            fs::permissions(readOnly_, saved_);
        }
    }
    Unprivileged(const Unprivileged&) = delete;
    Unprivileged& operator=(const Unprivileged&) = delete;

    bool dropped() const { return dropped_; }

private:
    static constexpr unsigned kNobody = 65534;
    fs::path readOnly_;
    fs::perms saved_ = fs::perms::none;
    bool dropped_ = false;
};

class BadInputTest : public ::testing::Test {
protected:
    // A rectangle from a good image first, so that "unchanged" means something.
    void SetUp() override {
        const std::string good =
            WriteImage(dir, "good.png", TiledPattern({80, 60}, {640, 480}, CV_8UC3));
        host.Repeat(good.c_str());
        known = host.Rectangle();
        ASSERT_GT(known[2], 0);
        WriteImage(dir, "page.png", TiledPattern({10, 10}, {60, 40}, CV_8UC3));
    }

    // Refused: one error line, and the getters keep the previous rectangle.
    void ExpectRefused(const std::string& path) {
        const std::vector<int> before = host.Rectangle();
        const Lines lines = host.Repeat(path.c_str());
        ASSERT_EQ(lines.size(), 3u);
        EXPECT_EQ(lines[1], "C++ ImgURL = " + path);
        EXPECT_TRUE(IsErrorLineNaming(lines[2], path));
        EXPECT_EQ(host.Rectangle(), before);
    }

    // Analysed: the result line, and the getters report it.
    std::vector<int> ExpectAnalysed(const std::string& path) {
        const Lines lines = host.Repeat(path.c_str());
        EXPECT_EQ(lines.size(), 3u);
        if (lines.size() != 3u) return {};
        EXPECT_EQ(lines[1], "C++ ImgURL = " + path);
        EXPECT_EQ(lines[2], ResultLine(host.Rectangle()));
        return host.Rectangle();
    }

    // Every file below the folder with its contents.
    std::map<std::string, std::string> Files() const {
        std::map<std::string, std::string> files;
        for (const auto& entry : fs::recursive_directory_iterator(dir.path())) {
            files[entry.path().string()] = entry.is_regular_file() ? Bytes(entry.path()) : "<dir>";
        }
        return files;
    }

    Lines Rectify(const std::array<int, 8>& c, char* buffer, const char* name = "page") {
        return host.Rectify({c[0], c[1], c[2], c[3]}, {c[4], c[5], c[6], c[7]}, buffer, name, "png");
    }

    LibraryHost host;
    TempDir dir;
    std::vector<int> known;
};

TEST_F(BadInputTest, FilesThatDoNotDecodeAreRefusedAndChangeNothing) {
    std::vector<uchar> png;
    cv::imencode(".png", TiledPattern({80, 60}, {640, 480}, CV_8UC3), png);
    WriteBytes(dir.File("empty.png"), "");
    WriteBytes(dir.File("truncated.png"), std::string(png.begin(), png.begin() + png.size() / 2));
    // 20000 x 20000 RGB promised, one row delivered: the decoder stops at the
    // missing data without filling the 1.2 GB it was promised.
    WriteBytes(dir.File("bomb.png"), Png(20000, 20000, 8, 2, std::string(1 + 3 * 20000, '\0')));
    // Wider than the decoder's own limit (2^20 columns): it throws, not fails.
    WriteBytes(dir.File("wide.pbm"), "P4\n2000000 1\n" + std::string(250000, '\0'));
    const auto before = Files();
    for (const char* name : {"empty.png", "truncated.png", "bomb.png", "wide.pbm"}) {
        SCOPED_TRACE(name);
        ExpectRefused(dir.File(name));
    }
    EXPECT_EQ(Files(), before);
}

TEST_F(BadInputTest, ATruncatedJpegIsAnalysedAsFarAsItDecodes) {
    // The decoder fills the missing rows with grey and only warns, on stderr.
    std::vector<uchar> jpeg;
    cv::imencode(".jpg", TiledPattern({80, 60}, {640, 480}, CV_8UC3), jpeg);
    WriteBytes(dir.File("truncated.jpg"), std::string(jpeg.begin(), jpeg.begin() + jpeg.size() / 2));
    ExpectAnalysed(dir.File("truncated.jpg"));
}

TEST_F(BadInputTest, TinyImagesGiveADegenerateRectangleRatherThanAnError) {
    // One pixel: no scores, so the box around the centre, whose sides are a
    // fifth of 1 pixel.
    EXPECT_EQ(ExpectAnalysed(WriteImage(dir, "one.png", cv::Mat(1, 1, CV_8UC3, cv::Scalar(1, 2, 3)))),
              (std::vector<int>{0, 0, 0, 0}));
    const std::vector<int> twelve =
        ExpectAnalysed(WriteImage(dir, "twelve.png", TiledPattern({4, 4}, {12, 12}, CV_8UC1)));
    // A 4-pixel tile spans two sides of 5 or less, which take each other's
    // value: nothing is left of either.
    EXPECT_EQ(twelve, (std::vector<int>{3, 7, 0, 0}));
    // 1 column by 5000 rows would be analysed at 600 x 3000000.
    const std::string tall = WriteImage(dir, "tall.png", cv::Mat(5000, 1, CV_8UC1, cv::Scalar(1)));
    ExpectRefused(tall);
}

TEST_F(BadInputTest, ImagesWithoutKeypointsOrScoresFallBackToTheCentreBox) {
    cv::Mat ramp(300, 400, CV_8UC1);
    for (int x = 0; x < ramp.cols; ++x) ramp.col(x).setTo(x * 255 / ramp.cols);
    for (const auto& [name, image] :
         {std::pair{"ramp.png", ramp}, {"uniform.png", cv::Mat(300, 400, CV_8UC3, cv::Scalar(90))}}) {
        SCOPED_TRACE(name);
        // From C/2 - C/10 to C/2 + C/10 across, and the same down.
        EXPECT_EQ(ExpectAnalysed(WriteImage(dir, name, image)), (std::vector<int>{160, 120, 80, 60}));
    }
}

TEST_F(BadInputTest, GreyWithAlphaIsReadAsFourChannelsAndAnalysed) {
    const cv::Mat grey = TiledPattern({40, 30}, {200, 150}, CV_8UC1);
    for (const int depth : {8, 16}) {
        SCOPED_TRACE(depth);
        const std::string path = dir.File("grey-alpha-" + std::to_string(depth) + ".png");
        WriteBytes(path, GreyAlphaPng(grey, depth));
        ASSERT_EQ(cv::imread(path, cv::IMREAD_UNCHANGED).channels(), 4);
        ExpectAnalysed(path);
    }
}

TEST_F(BadInputTest, FloatPixelsTheKeypointDetectorCannotTakeAreRefused) {
    // The detector would index out of its histogram on them and end the process.
    cv::Mat pattern;
    TiledPattern({40, 30}, {200, 150}, CV_8UC1).convertTo(pattern, CV_32F, 1.0 / 255);
    const cv::Point centre(100, 75);
    cv::Mat withNan = pattern.clone();
    withNan.at<float>(centre) = std::numeric_limits<float>::quiet_NaN();
    cv::Mat withInfinity = pattern.clone();
    withInfinity.at<float>(centre) = -std::numeric_limits<float>::infinity();
    cv::Mat beyondFloat;  // 1e300 becomes infinity at single precision
    pattern.convertTo(beyondFloat, CV_64F);
    beyondFloat.at<double>(centre) = 1e300;
    for (const auto& [name, image] : {std::pair{"nan.tiff", withNan}, {"infinity.tiff", withInfinity},
                                      {"large.tiff", cv::Mat(pattern * 1e19)},
                                      {"double.tiff", beyondFloat}}) {
        SCOPED_TRACE(name);
        ExpectRefused(WriteImage(dir, name, image));
    }
    // Large but finite, and a NaN outside the centre the detector looks at.
    ExpectAnalysed(WriteImage(dir, "scaled.tiff", cv::Mat(pattern * 1e12)));
    cv::Mat cornerNan = pattern.clone();
    cornerNan.at<float>(0, 0) = std::numeric_limits<float>::quiet_NaN();
    ExpectAnalysed(WriteImage(dir, "corner-nan.tiff", cornerNan));
}

TEST_F(BadInputTest, PathsWithSpacesAndNonAsciiCharactersAreTracedByteForByte) {
    fs::create_directory(dir.File("a folder with spaces"));
    const std::string path = WriteImage(dir, "a folder with spaces/caf\xC3\xA9 \xE5\x90\x8D.png",
                                        TiledPattern({80, 60}, {640, 480}, CV_8UC1));
    ExpectAnalysed(path);
}

TEST_F(BadInputTest, RectificationRefusesInputsThatAreNotImagesAndWritesNothing) {
    fs::create_directory(dir.File("folder.png"));
    WriteBytes(dir.File("empty.png"), "");
    WriteBytes(dir.File("plain"), "a regular file");
    const auto before = Files();
    // NAME.png a folder, NAME.png empty, and a "folder" that is a regular file.
    for (const auto& [folder, name] : {std::pair{dir.path(), "folder"}, {dir.path(), "empty"},
                                       {dir.File("plain/"), "page"}}) {
        SCOPED_TRACE(name);
        PathBuffer buffer(folder);
        const Lines lines = Rectify({0, 9, 9, 0, 0, 0, 9, 9}, buffer.data, name);
        ASSERT_EQ(lines.size(), 5u);
        EXPECT_TRUE(IsErrorLineNaming(lines[4], folder + name + ".png"));
        EXPECT_EQ(std::string(buffer.data), folder);
    }
    EXPECT_EQ(host.ReturnPath(), nullptr);
    EXPECT_EQ(Files(), before);
}

TEST_F(BadInputTest, FilesThatCannotBeOpenedLeaveTheHostsStandardErrorAlone) {
    // The imaging library would warn there of its own accord (a missing file
    // did); the library's error line in the trace is the only report.
    fs::create_directory(dir.File("folder.png"));
    const std::string unreadable =
        WriteImage(dir, "unreadable.png", TiledPattern({10, 10}, {60, 40}, CV_8UC3));
    fs::permissions(unreadable, fs::perms::none);
    const std::string errors = CaptureStandardError([&] {
        const Unprivileged user(unreadable);
        if (!user.dropped()) GTEST_SKIP() << "cannot act as an ordinary user here";
        for (const char* name : {"missing", "folder", "unreadable"}) {
            SCOPED_TRACE(name);
            ExpectRefused(dir.File(std::string(name) + ".png"));
            PathBuffer buffer(dir.path());
            const Lines lines = Rectify({0, 9, 9, 0, 0, 0, 9, 9}, buffer.data, name);
            ASSERT_EQ(lines.size(), 5u);
            EXPECT_TRUE(IsErrorLineNaming(lines[4], dir.File(std::string(name) + ".png")));
        }
    });
    EXPECT_EQ(errors, "");
}

TEST_F(BadInputTest, AFolderThatCannotBeWrittenFailsAtTheWriteWithThePathPublished) {
    const auto before = Files();
    PathBuffer buffer(dir.path());
    Lines lines;
    {
        const Unprivileged user(dir.path());
        if (!user.dropped()) GTEST_SKIP() << "cannot act as an ordinary user here";
        lines = Rectify({0, 9, 9, 0, 0, 0, 9, 9}, buffer.data);
    }
    const std::string output = dir.File("page_pers.png");
    ASSERT_EQ(lines.size(), 7u);
    EXPECT_EQ(lines[5], "FinalSavePath = " + output);
    EXPECT_TRUE(IsErrorLineNaming(lines[6], output));
    EXPECT_STREQ(buffer.data, output.c_str());
    EXPECT_EQ(host.PathText(), Utf16(output));
    EXPECT_EQ(Files(), before);
}

TEST_F(BadInputTest, AReadOnlyOutputFileIsKeptUnlessTheCallerIsRoot) {
    const std::string output = dir.File("page_pers.png");
    WriteBytes(output, "keep me");
    fs::permissions(output, fs::perms::owner_read | fs::perms::group_read | fs::perms::others_read);
    {
        PathBuffer buffer(dir.path());
        Lines lines;
        {
            const Unprivileged user(output);
            if (!user.dropped()) GTEST_SKIP() << "cannot act as an ordinary user here";
            lines = Rectify({0, 9, 9, 0, 0, 0, 9, 9}, buffer.data);
        }
        ASSERT_EQ(lines.size(), 7u);
        EXPECT_TRUE(IsErrorLineNaming(lines[6], output));
        EXPECT_EQ(host.PathText(), Utf16(output));
        EXPECT_EQ(Bytes(output), "keep me");
    }
    if (geteuid() == 0) {
        // Root's writes ignore the mode: the file is replaced.
        PathBuffer buffer(dir.path());
        EXPECT_EQ(Rectify({0, 9, 9, 0, 0, 0, 9, 9}, buffer.data).back(), "Complete SaveImage");
        EXPECT_EQ(cv::imread(output).size(), cv::Size(9, 9));
    }
}

TEST_F(BadInputTest, CornersOutsideTheImageGiveABlackImageOfTheTracedSize) {
    struct Case {
        const char* what;
        std::array<int, 8> corners;
        const char* maxW;
        const char* maxH;
        cv::Size size;
    };
    // Near INT_MAX the corners become floats 128 apart: 100 across reads as
    // 128, 1000 down as 1024.
    const Case cases[] = {
        {"far outside", {5000, 5100, 5100, 5000, 5000, 5000, 5080, 5080}, "100", "80", {100, 80}},
        {"near INT_MAX",
         {INT_MAX - 100, INT_MAX, INT_MAX, INT_MAX - 100, INT_MAX - 1000, INT_MAX - 1000, INT_MAX,
          INT_MAX},
         "128", "1024", {128, 1024}},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        PathBuffer buffer(dir.path());
        const Lines lines = Rectify(c.corners, buffer.data);
        ASSERT_EQ(lines.size(), 7u);
        EXPECT_EQ(lines[1], std::string("maxW = ") + c.maxW);
        EXPECT_EQ(lines[2], std::string("maxH = ") + c.maxH);
        EXPECT_EQ(lines[6], "Complete SaveImage");
        const cv::Mat out = cv::imread(dir.File("page_pers.png"), cv::IMREAD_UNCHANGED);
        ASSERT_EQ(out.size(), c.size);
        EXPECT_EQ(cv::countNonZero(out.reshape(1)), 0);
    }
}

TEST_F(BadInputTest, CollinearAndTwistedCornersStillWriteAnImageOfTheTracedSize) {
    // A line has no perspective map; the warp still runs, and what it writes
    // means nothing. A dart-shaped quadrilateral maps, folded.
    for (const auto& corners : {std::array<int, 8>{0, 10, 20, 30, 0, 10, 20, 30},
                                std::array<int, 8>{0, 50, 59, 30, 0, 39, 0, 20}}) {
        PathBuffer buffer(dir.path());
        const Lines lines = Rectify(corners, buffer.data);
        ASSERT_EQ(lines.size(), 7u);
        EXPECT_EQ(lines[6], "Complete SaveImage");
        const cv::Mat out = cv::imread(dir.File("page_pers.png"), cv::IMREAD_UNCHANGED);
        EXPECT_EQ(out.cols, static_cast<int>(std::stof(lines[1].substr(7))));
        EXPECT_EQ(out.rows, static_cast<int>(std::stof(lines[2].substr(7))));
    }
}

TEST_F(BadInputTest, CornersGivenInACrossingOrderGiveTheSameImageAsInOrder) {
    PathBuffer inOrder(dir.path());
    Rectify({5, 50, 55, 2, 3, 6, 35, 38}, inOrder.data);  // TL TR BR BL
    const std::string expected = Bytes(dir.File("page_pers.png"));
    PathBuffer crossing(dir.path());
    Rectify({5, 55, 50, 2, 3, 35, 6, 38}, crossing.data);  // TL BR TR BL: a bow tie
    EXPECT_EQ(Bytes(dir.File("page_pers.png")), expected);
}

// The folder is checked before the work, but whether it takes a file shows
// only when the tile is written: refused then, with no temporary left.
TEST_F(BadInputTest, AnExportIntoAFolderTheCallerCannotWriteLeavesItAsItWas) {
    fs::create_directory(dir.File("locked"));
    void* library = dlopen(ZENTREL_LIBRARY_PATH, RTLD_NOW | RTLD_LOCAL);
    ASSERT_NE(library, nullptr) << dlerror();
    using Extract = int (*)(const char*, const ZentrelTile*, const char*,
                            const ZentrelExportOptions*, ZentrelExportResult*);
    const auto extract = reinterpret_cast<Extract>(dlsym(library, "zentrel_extract_tile"));
    ASSERT_NE(extract, nullptr);
    const std::string input = dir.File("good.png");
    const std::string output = dir.File("locked/good_tile.png");
    const auto before = Files();
    ZentrelExportResult result{};
    result.size = sizeof result;
    int status = ZENTREL_OK;
    {
        const Unprivileged user(dir.File("locked"));
        if (!user.dropped()) GTEST_SKIP() << "cannot act as an ordinary user here";
        status = extract(input.c_str(), nullptr, output.c_str(), nullptr, &result);
    }
    EXPECT_EQ(status, ZENTREL_ERROR_OUTPUT);
    EXPECT_EQ(Files(), before);
    dlclose(library);
}

}  // namespace
}  // namespace zentrel::testing
