// The lattice estimator on a 4000 x 3000 colour image already decoded, on one
// core: a tile the reduced copy resolves, and one so fine that the centre is
// searched again at full resolution. (Its memory is measured by
// zentrel_lattice_memory, in a fresh process.)
#include <cmath>
#include <opencv2/core/utility.hpp>

#include "bench_stages.h"
#include "lattice.h"
#include "test_images.h"

namespace zentrel::bench {

namespace {

void RegisterInput(const std::string& name, cv::Size tile) {
    RegisterStage("lattice", name, "call", [tile](benchmark::State& state) {
        static const cv::Size size(4000, 3000);
        const cv::Mat image = testing::TiledPattern(tile, size, CV_8UC3);
        const int threads = cv::getNumThreads();
        cv::setNumThreads(1);
        const lattice::Lattice found = lattice::EstimateLattice(image);
        if (!found.found || std::abs(found.width - tile.width) > 1.0) {
            state.SkipWithError("the benchmark's tile was not found");
        }
        TimeStage(
            state, kCall, [] {},
            [&] { benchmark::DoNotOptimize(lattice::EstimateLattice(image)); });
        cv::setNumThreads(threads);
    });
}

}  // namespace

void RegisterLatticeBenchmarks() {
    RegisterInput("rgb8-4000x3000-tile150x110", {150, 110});
    RegisterInput("rgb8-4000x3000-tile20x16", {20, 16});
}

}  // namespace zentrel::bench
