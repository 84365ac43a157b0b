// zentrel_find_quad on arbitrary file contents. Besides surviving, each call
// must return a status that matches its trace: nothing traced and an empty
// last error on success, with corners that are finite and a confidence in
// 0..1, or a cleared result when none was found; otherwise one error line
// naming the path, returned by zentrel_last_error, and a cleared result. It
// must leave the seven's state and the files alone.
#include <cmath>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <string>
#include <vector>

#include "fuzz_support.h"
#include "zentrel/zentrel.h"
#include "zentrel/zentrel_ext.h"

namespace {

using zentrel::fuzz::Check;

zentrel::fuzz::ScratchFolder* scratch = nullptr;

bool IsCleared(const ZentrelQuad& quad) {
    ZentrelQuad cleared{};
    cleared.size = quad.size;
    return std::memcmp(&quad, &cleared, sizeof quad) == 0;
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
    scratch = &zentrel::fuzz::PrepareProcess();
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    const std::string path = scratch->Work() + "input";
    Check(zentrel::fuzz::WriteFile(path, std::string(reinterpret_cast<const char*>(data), size)),
          "cannot write the input file");

    const std::vector<int> before = {ReturnX(), ReturnY(), ReturnW(), ReturnH()};
    ZentrelQuad quad;
    std::memset(&quad, 0x5A, sizeof quad);
    quad.size = sizeof quad;
    const int status = zentrel_find_quad(path.c_str(), &quad);
    const std::vector<std::string> lines = zentrel::fuzz::TakeTrace();
    const std::string error = zentrel_last_error();

    if (status == ZENTREL_OK) {
        Check(lines.empty(), "a successful search traces nothing");
        Check(error.empty(), "a success clears the last error: " + error);
        if (quad.found == 0) {
            Check(IsCleared(quad), "none found leaves every field 0");
        } else {
            Check(quad.found == 1, "found is 0 or 1");
            for (const ZentrelPoint& corner : quad.corners) {
                Check(std::isfinite(corner.x) && std::isfinite(corner.y), "finite corners");
            }
            Check(quad.confidence >= 0 && quad.confidence <= 1, "confidence lies in 0..1");
        }
    } else {
        Check(status == ZENTREL_ERROR_UNREADABLE || status == ZENTREL_ERROR_INTERNAL,
              "a readable path and a good struct give no argument error");
        Check(lines.size() == 1 && lines[0] == error,
              "one error line, the one zentrel_last_error returns");
        Check(error.find(path) != std::string::npos, "the error names the path: " + error);
        Check(IsCleared(quad), "a failure clears the result");
    }
    Check(quad.size == sizeof quad, "the library never writes size");
    Check((std::vector<int>{ReturnX(), ReturnY(), ReturnW(), ReturnH()}) == before,
          "a search leaves the getters alone");
    Check(scratch->WorkEntries() == std::vector<std::string>{"input"},
          "a search writes no file");
    scratch->CheckNothingEscaped();
    return 0;
}
