// SavePerspectiveImage on arbitrary corners, name, extension and image file.
// The folder piece is always a private scratch folder and the name and
// extension are kept free of '/' and "..", so every path the library derives
// stays inside it; the target checks that nothing appears anywhere else.
// Besides surviving, each call must count itself once, hand back exactly
// "<joined path with _pers>" (joined length + 5) in the caller's buffer and
// through ReturnPath once it reaches that step, and leave both untouched
// when it stops earlier.
#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <memory>
#include <string>
#include <vector>

#include <opencv2/core.hpp>

#include "fuzz_input.h"
#include "fuzz_support.h"
#include "perspective.h"
#include "trace_text.h"
#include "zentrel/zentrel.h"

namespace {

using zentrel::fuzz::Check;
using zentrel::fuzz::StartsWith;

// Warping and encoding a legitimate output of up to 2^30 pixels would turn
// the run into a memory and encoder benchmark; larger outputs are folded
// below 2^17 pixels, while refused corners keep their raw values.
constexpr std::int64_t kMaxFuzzOutputPixels = std::int64_t{1} << 17;
constexpr std::size_t kInputPathLimit = 200;

zentrel::fuzz::ScratchFolder* scratch = nullptr;
long expectedCount = 0;

std::int64_t OutputPixels(const std::array<std::int32_t, 8>& corners) {
    std::vector<cv::Point2f> points;
    for (int k = 0; k < 4; ++k) points.emplace_back(cv::Point(corners[k], corners[k + 4]));
    zentrel::OrderCorners(points);
    const auto size = zentrel::OutputImageSize(zentrel::MeasureOutput(points));
    return size ? std::int64_t{size->width} * size->height : 0;
}

// No separator, no NUL, and no ".." anywhere in name + "." + ext, which is
// the last component of every path the library builds. No line break either:
// the trace is line by line, and a path that contains one reads as two lines.
void Sanitize(std::string& name, std::string& ext) {
    std::string component = name + "." + ext;
    for (std::size_t i = 0; i < component.size(); ++i) {
        if (component[i] == '\0' || std::strchr("/\n\r", component[i]) != nullptr) {
            component[i] = '_';
        }
        if (i > 0 && component[i] == '.' && component[i - 1] == '.') {
            // The dot the library puts between the pieces stays.
            component[i == name.size() ? i - 1 : i] = '_';
        }
    }
    name = component.substr(0, name.size());
    ext = component.substr(name.size() + 1);
}


bool IsAscii(const std::string& text) {
    return std::all_of(text.begin(), text.end(),
                       [](char c) { return static_cast<unsigned char>(c) < 0x80; });
}

std::u16string PathText() {
    const ZentrelWideChar* path = ReturnPath();
    return path == nullptr ? std::u16string() : std::u16string(path);
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
    scratch = &zentrel::fuzz::PrepareProcess();
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    zentrel::fuzz::RectifyCase input = zentrel::fuzz::DecodeRectifyCase(data, size);
    Sanitize(input.name, input.ext);
    if (OutputPixels(input.corners) > kMaxFuzzOutputPixels) {
        for (std::int32_t& corner : input.corners) corner %= 128;
    }

    const std::string& folder = scratch->Work();
    const std::string joined = folder + input.name + "." + input.ext;
    const std::string inputName = input.name + "." + input.ext;
    const bool inputWritten =
        joined.size() < kInputPathLimit && zentrel::fuzz::WriteFile(joined, input.image);
    const std::size_t dot = joined.size() - input.ext.size() - 1;
    const std::string output = joined.substr(0, dot) + "_pers" + joined.substr(dot);
    const std::string outputName = output.substr(folder.size());

    // Exactly as large as documented, so that writing past it is caught.
    const std::size_t capacity = std::max(folder.size() + 1, joined.size() + 6);
    std::unique_ptr<char[]> savePath(new char[capacity]);
    std::memset(savePath.get(), 0xA5, capacity);
    std::memcpy(savePath.get(), folder.c_str(), folder.size() + 1);
    const std::string bufferBefore(savePath.get(), capacity);

    const std::vector<int> rectangle = {ReturnX(), ReturnY(), ReturnW(), ReturnH()};
    const ZentrelWideChar* pathBefore = ReturnPath();
    const std::u16string pathTextBefore = PathText();
    const auto& c = input.corners;
    SavePerspectiveImage(c[0], c[1], c[2], c[3], c[4], c[5], c[6], c[7], savePath.get(),
                         input.name.c_str(), input.ext.c_str());
    const std::vector<std::string> lines = zentrel::fuzz::TakeTrace();

    ++expectedCount;
    Check(lines.size() >= 2, "a call traces at least its count and an outcome");
    Check(zentrel::fuzz::CountAfter(lines[0], "Pers F5 Count = ") == expectedCount,
          "the count line advances by one per call: " + lines[0]);
    Check((std::vector<int>{ReturnX(), ReturnY(), ReturnW(), ReturnH()}) == rectangle,
          "a rectification leaves the repeat rectangle alone");

    const auto published = std::find_if(lines.begin(), lines.end(), [](const std::string& line) {
        return StartsWith(line, "persImageSavePath = ");
    });
    const bool written = lines.back() == "Complete SaveImage";
    if (published != lines.end()) {
        Check(inputWritten, "only an image that exists can be rectified");
        Check(lines.size() == 7, "a call that publishes its path traces seven lines");
        Check(lines[3] == "tmpSavePath = Original Image Path" + joined, "joined path: " + lines[3]);
        Check(*published == "persImageSavePath = " + output, "output path: " + *published);
        Check(lines[5] == "FinalSavePath = " + output, "final path: " + lines[5]);
        Check(std::strlen(savePath.get()) == joined.size() + 5,
              "the caller's buffer holds the joined length + 5");
        Check(std::string(savePath.get()) == output, "the caller's buffer holds the output path");
        const std::u16string text = PathText();
        Check(IsAscii(output) ? text == zentrel::testing::Utf16(output)
                              : text.compare(0, folder.size(), zentrel::testing::Utf16(folder)) == 0,
              "ReturnPath holds the output path");
        const std::vector<std::string> entries = scratch->WorkEntries();
        Check(!written || std::find(entries.begin(), entries.end(), outputName) != entries.end(),
              "a completed call leaves its output file");
    } else {
        Check(!written, "nothing is complete before the path is published");
        Check(std::string(savePath.get(), capacity) == bufferBefore,
              "the caller's buffer is unchanged when the call stops early");
        Check(ReturnPath() == pathBefore && PathText() == pathTextBefore,
              "ReturnPath is unchanged when the call stops early");
    }
    for (const std::string& entry : scratch->WorkEntries()) {
        const bool allowed = (inputWritten && entry == inputName) ||
                             (published != lines.end() && entry == outputName);
        Check(allowed, "unexpected file in the work folder: " + entry);
    }
    scratch->CheckNothingEscaped();
    scratch->Clear();
    return 0;
}
