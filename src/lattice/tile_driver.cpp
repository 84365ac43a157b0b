#include "tile_driver.h"

#include "image_file.h"
#include "refusal.h"
#include "trace.h"

namespace zentrel {

void CheckTileResult(const void* result, std::uint32_t size, std::size_t needed) {
    if (result == nullptr) {
        throw Refusal(Refusal::Cause::BadArgument,
                      "zentrel_estimate_tile was given a null result; nothing was read");
    }
    if (size < needed) {
        throw Refusal(Refusal::Cause::BadArgument,
                      Format("zentrel_estimate_tile was given a result of size ", size,
                             "; this library needs at least ", needed,
                             " (ZentrelTile up to its confidence)"));
    }
}

lattice::Lattice RunTileJob(const char* path) {
    if (path == nullptr) {
        throw Refusal(Refusal::Cause::BadArgument,
                      "zentrel_estimate_tile was given a null path; nothing was read");
    }
    const cv::Mat image = ReadImageFile(path);
    return lattice::EstimateLattice(image, StorageOf(path));
}

lattice::Storage StorageOf(const char* path) {
    return HoldsJpeg(path) ? lattice::Storage::Jpeg : lattice::Storage::Unknown;
}

}  // namespace zentrel
