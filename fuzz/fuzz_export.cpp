// zentrel_extract_tile on arbitrary file contents, the tile estimated first.
// Besides surviving, each call must return a status that matches its trace:
// on success nothing traced, the tile written whole at the size the result
// gives, and nothing else beside it; otherwise one error line naming the
// path, returned by zentrel_last_error, a cleared result, and no file (no
// temporary either) left in the folder.
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <opencv2/imgcodecs.hpp>
#include <string>
#include <vector>

#include "fuzz_support.h"
#include "zentrel/zentrel_ext.h"

namespace {

using zentrel::fuzz::Check;

zentrel::fuzz::ScratchFolder* scratch = nullptr;

bool IsCleared(const ZentrelExportResult& result) {
    ZentrelExportResult cleared{};
    cleared.size = result.size;
    return std::memcmp(&result, &cleared, sizeof result) == 0;
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
    scratch = &zentrel::fuzz::PrepareProcess();
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    scratch->Clear();
    const std::string path = scratch->Work() + "input";
    const std::string output = scratch->Work() + "tile.png";
    Check(zentrel::fuzz::WriteFile(path, std::string(reinterpret_cast<const char*>(data), size)),
          "cannot write the input file");

    ZentrelExportResult result;
    std::memset(&result, 0x5A, sizeof result);
    result.size = sizeof result;
    const int status = zentrel_extract_tile(path.c_str(), nullptr, output.c_str(), nullptr, &result);
    const std::vector<std::string> lines = zentrel::fuzz::TakeTrace();
    const std::string error = zentrel_last_error();

    if (status == ZENTREL_OK) {
        Check(lines.empty(), "a successful export traces nothing");
        Check(error.empty(), "a success clears the last error: " + error);
        Check(scratch->WorkEntries() == std::vector<std::string>{"input", "tile.png"},
              "the tile, and nothing else, is written");
        const cv::Mat tile = cv::imread(output, cv::IMREAD_UNCHANGED);
        Check(tile.cols == result.width && tile.rows == result.height,
              "the file holds the tile the result describes");
        Check(result.repeats >= 1 && result.seam_score >= 0.0, "the result's figures fit");
    } else {
        Check(status == ZENTREL_ERROR_UNREADABLE || status == ZENTREL_ERROR_NO_REPEAT ||
                  status == ZENTREL_ERROR_OUTPUT || status == ZENTREL_ERROR_TOO_LARGE ||
                  status == ZENTREL_ERROR_INTERNAL,
              "a readable path and good structs give no argument error");
        Check(lines.size() == 1 && lines[0] == error,
              "one error line, the one zentrel_last_error returns");
        Check(error.find(path) != std::string::npos || status == ZENTREL_ERROR_OUTPUT,
              "the error names the path: " + error);
        Check(IsCleared(result), "a failure clears the result");
        Check(scratch->WorkEntries() == std::vector<std::string>{"input"},
              "a failed export leaves no file behind");
    }
    Check(result.size == sizeof result, "the library never writes size");
    scratch->CheckNothingEscaped();
    return 0;
}
