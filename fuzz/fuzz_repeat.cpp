// ShowRepeatPoints on arbitrary file contents. Besides surviving, each call
// must count itself once, trace the path it was given, and leave the getters
// equal to the result line it traced, or, without one, as they were.
#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

#include <opencv2/imgcodecs.hpp>

#include "fuzz_support.h"
#include "trace_text.h"
#include "zentrel/zentrel.h"

namespace {

using zentrel::fuzz::Check;

// The analysis always works at 600 columns, so its cost grows with the height
// of the working image while its code paths do not. Decodable inputs that
// would be analysed taller than this are left out; taller than 20000 rows
// they are refused by the library and stay in.
constexpr std::int64_t kMaxFuzzWorkingRows = 120;
constexpr std::int64_t kRefusedWorkingRows = 20000;

zentrel::fuzz::ScratchFolder* scratch = nullptr;
long expectedCount = 0;

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
    scratch = &zentrel::fuzz::PrepareProcess();
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    // No extension: the decoders are chosen by the content alone.
    const std::string path = scratch->Work() + "input";
    Check(zentrel::fuzz::WriteFile(path, std::string(reinterpret_cast<const char*>(data), size)),
          "cannot write the input file");

    cv::Mat probe;
    try {
        probe = cv::imread(path, cv::IMREAD_UNCHANGED);
    } catch (const cv::Exception&) {
        // A header beyond the decoder's limits throws rather than failing;
        // the library's own read must cope with that too.
    }
    if (!probe.empty()) {
        const std::int64_t rows = std::int64_t{probe.rows} * 600 / probe.cols;
        if (rows > kMaxFuzzWorkingRows && rows <= kRefusedWorkingRows) return 0;
    }

    const std::vector<int> before = {ReturnX(), ReturnY(), ReturnW(), ReturnH()};
    const ZentrelWideChar* pathBefore = ReturnPath();
    ShowRepeatPoints(path.c_str());
    const std::vector<std::string> lines = zentrel::fuzz::TakeTrace();
    const std::vector<int> after = {ReturnX(), ReturnY(), ReturnW(), ReturnH()};

    ++expectedCount;
    Check(lines.size() >= 3, "a call traces at least its count, its path and an outcome");
    Check(zentrel::fuzz::CountAfter(lines[0], "Show F5 Count = ") == expectedCount,
          "the count line advances by one per call: " + lines[0]);
    Check(lines[1] == "C++ ImgURL = " + path, "the path line names the input: " + lines[1]);

    std::size_t resultLines = 0;
    for (const std::string& line : lines) {
        resultLines += zentrel::fuzz::StartsWith(line, "Repeat_x = ") ? 1 : 0;
    }
    Check(resultLines <= 1, "at most one result line");
    if (resultLines == 1) {
        Check(lines.back() == zentrel::testing::ResultLine(after),
              "the getters report the traced rectangle: " + lines.back());
    } else {
        // Only the crop's own two warning lines may come before the error line.
        for (std::size_t i = 2; i + 1 < lines.size(); ++i) {
            Check(lines[i] == "Input mat is not proper! Check CropImage Function" ||
                      lines[i] == "return zero matrix",
                  "unexpected line before the error: " + lines[i]);
        }
        Check(lines.back().find(path) != std::string::npos,
              "the error names the path: " + lines.back());
        Check(after == before, "a refused input leaves the rectangle as it was");
    }
    Check(ReturnPath() == pathBefore, "a repeat analysis leaves ReturnPath alone");

    Check(scratch->WorkEntries() == std::vector<std::string>{"input"},
          "a repeat analysis writes no file");
    scratch->CheckNothingEscaped();
    return 0;
}
