// The lattice estimator on small images made straight from the input bytes
// (no decoder on the way): every depth and channel count the decoders
// produce, up to 64 x 64 pixels. Besides surviving, a lattice that is found
// has finite vectors, a positive tile whose origin and size lie inside the
// image, and a confidence from 0 to 1.
//
// Input: the rows and columns bytes, a type byte, then the pixels' bytes in
// memory order; missing bytes read as zero.
#include <algorithm>
#include <cmath>
#include <cstddef>
#include <cstdint>
#include <string>

#include <opencv2/core.hpp>

#include "fuzz_input.h"
#include "fuzz_support.h"
#include "lattice.h"

namespace {

using zentrel::fuzz::Check;
using zentrel::fuzz::Fail;

constexpr int kMaxSide = 64;
// What the decoders hand over: 8-bit, 16-bit, float and double samples;
// grey, colour and colour with alpha.
constexpr int kTypes[] = {CV_8UC1,  CV_8UC3,  CV_8UC4,  CV_16UC1, CV_16UC3,
                          CV_16UC4, CV_32FC1, CV_32FC3, CV_32FC4, CV_64FC1};

bool Finite(cv::Point2d vector) { return std::isfinite(vector.x) && std::isfinite(vector.y); }

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    zentrel::fuzz::ByteReader input(data, size);
    const int rows = 1 + input.Byte() % kMaxSide;
    const int cols = 1 + input.Byte() % kMaxSide;
    const int type = kTypes[input.Byte() % (sizeof kTypes / sizeof kTypes[0])];
    cv::Mat image = cv::Mat::zeros(rows, cols, type);
    const std::string pixels = input.Text(image.total() * image.elemSize());
    std::copy(pixels.begin(), pixels.end(), image.data);

    const zentrel::lattice::Lattice lattice = zentrel::lattice::EstimateLattice(image);
    if (!(lattice.confidence >= 0.0 && lattice.confidence <= 1.0)) {
        Fail("confidence lies in 0..1: " + std::to_string(lattice.confidence));
    }
    if (!lattice.found) return 0;
    Check(Finite(lattice.vectorA) && Finite(lattice.vectorB), "a found lattice has finite vectors");
    Check(lattice.width > 0.0 && lattice.height > 0.0, "a found tile has a positive size");
    if (!(lattice.origin.x >= 0.0 && lattice.origin.y >= 0.0 &&
          lattice.origin.x + lattice.width <= cols && lattice.origin.y + lattice.height <= rows)) {
        Fail("the tile lies inside the image: origin (" + std::to_string(lattice.origin.x) + ", " +
             std::to_string(lattice.origin.y) + "), " + std::to_string(lattice.width) + " x " +
             std::to_string(lattice.height));
    }
    Check(lattice.match == zentrel::lattice::MatchType::Straight ||
              lattice.match == zentrel::lattice::MatchType::HalfDrop ||
              lattice.match == zentrel::lattice::MatchType::HalfBrick ||
              lattice.match == zentrel::lattice::MatchType::Other,
          "the match type is one of the four");
    return 0;
}
