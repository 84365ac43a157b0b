// zentrel_estimate_tile on arbitrary file contents. Besides surviving, each
// call must return a status that matches its trace: nothing traced and an
// empty last error on success, with a result whose fields fit together;
// otherwise one error line naming the path, returned by zentrel_last_error,
// and a cleared result. It must leave the seven's state and the files alone.
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

bool IsCleared(const ZentrelTile& tile) {
    ZentrelTile cleared{};
    cleared.size = tile.size;
    return std::memcmp(&tile, &cleared, sizeof tile) == 0;
}

void CheckFound(const ZentrelTile& tile) {
    const double fields[] = {tile.width,      tile.height,     tile.vector_a.x,
                             tile.vector_a.y, tile.vector_b.x, tile.vector_b.y,
                             tile.origin.x,   tile.origin.y,   tile.confidence};
    for (const double field : fields) Check(std::isfinite(field), "a field is not finite");
    Check(tile.found == 1, "found is 0 or 1");
    Check(zentrel_match_name(tile.match) != nullptr && tile.match != ZENTREL_MATCH_NONE,
          "a found lattice has a known match type");
    Check(tile.width > 0 && tile.height > 0, "a found tile has a size");
    Check(tile.confidence >= 0 && tile.confidence <= 1, "confidence lies in 0..1");
    Check(zentrel_mirror_name(tile.mirror) != nullptr, "a found lattice has a known mirror");
    Check(std::isfinite(tile.unit_width) && std::isfinite(tile.unit_height) &&
              tile.unit_width > 0 && tile.unit_width <= tile.width && tile.unit_height > 0 &&
              tile.unit_height <= tile.height,
          "the unit is the tile or a half of it");
    Check(
        tile.region_x >= 0 && tile.region_y >= 0 && tile.region_width > 0 && tile.region_height > 0,
        "a found lattice holds in a region of the image");
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
    ZentrelTile tile;
    std::memset(&tile, 0x5A, sizeof tile);
    tile.size = sizeof tile;
    const int status = zentrel_estimate_tile(path.c_str(), &tile);
    const std::vector<std::string> lines = zentrel::fuzz::TakeTrace();
    const std::string error = zentrel_last_error();

    if (status == ZENTREL_OK) {
        Check(lines.empty(), "a successful estimate traces nothing");
        Check(error.empty(), "a success clears the last error: " + error);
        if (tile.found == 0) {
            Check(IsCleared(tile), "no repeat leaves every field 0");
        } else {
            CheckFound(tile);
        }
    } else {
        Check(status == ZENTREL_ERROR_UNREADABLE || status == ZENTREL_ERROR_INTERNAL,
              "a readable path and a good struct give no argument error");
        Check(lines.size() == 1 && lines[0] == error,
              "one error line, the one zentrel_last_error returns");
        Check(error.find(path) != std::string::npos, "the error names the path: " + error);
        Check(IsCleared(tile), "a failure clears the result");
    }
    Check(tile.size == sizeof tile, "the library never writes size");
    Check((std::vector<int>{ReturnX(), ReturnY(), ReturnW(), ReturnH()}) == before,
          "an estimate leaves the getters alone");
    Check(scratch->WorkEntries() == std::vector<std::string>{"input"},
          "an estimate writes no file");
    scratch->CheckNothingEscaped();
    return 0;
}
