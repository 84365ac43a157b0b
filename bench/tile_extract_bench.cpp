// The tile export on a decoded 4000 x 3000 colour image holding 100 repeats,
// on one core: repeats on whole pixels (copied) and at a fractional period
// (resampled), each mode of combination, and the estimate before it. CPU
// time is the figure to read: the busy machine inflates wall time.
#include <opencv2/core/utility.hpp>
#include <opencv2/imgproc.hpp>

#include "bench_stages.h"
#include "lattice.h"
#include "test_images.h"
#include "tile_extract.h"

namespace zentrel::bench {

namespace {

const cv::Size kImage(4000, 3000);

// 100 repeats of 400 x 300; `fractional` enlarges a slightly smaller tiling
// to the same size, so the period is 403.2 x 302.4.
const cv::Mat& Image(bool fractional) {
    static const cv::Mat whole = testing::TiledPattern({400, 300}, kImage, CV_8UC3);
    static const cv::Mat resampled = [] {
        cv::Mat image;
        cv::resize(testing::TiledPattern({400, 300}, {3968, 2976}, CV_8UC3), image, kImage, 0, 0,
                   cv::INTER_LINEAR);
        return image;
    }();
    return fractional ? resampled : whole;
}

void Register(const std::string& name, bool fractional, lattice::ExtractOptions options,
              bool estimate) {
    benchmark::RegisterBenchmark(
        ("tile/rgb8-4000x3000-100repeats" + std::string(fractional ? "-fractional" : "") + "/" +
         name)
            .c_str(),
        [=](benchmark::State& state) {
            const cv::Mat& image = Image(fractional);
            const int threads = cv::getNumThreads();
            cv::setNumThreads(1);
            const lattice::Lattice found = lattice::EstimateLattice(image);
            if (!found.found) state.SkipWithError("the benchmark's tile was not found");
            for (auto _ : state) {
                const lattice::Lattice used = estimate ? lattice::EstimateLattice(image) : found;
                benchmark::DoNotOptimize(lattice::ExtractTile(image, used, options));
            }
            state.SetLabel(estimate ? "estimate and extract" : "extract");
            cv::setNumThreads(threads);
        })
        ->Unit(benchmark::kMillisecond);
}

}  // namespace

void RegisterTileBenchmarks() {
    using lattice::Combine;
    for (const bool fractional : {false, true}) {
        Register("median", fractional, {Combine::Median, false}, false);
        Register("mean", fractional, {Combine::Mean, false}, false);
        Register("median-flatten", fractional, {Combine::Median, true}, false);
        Register("estimate-median", fractional, {Combine::Median, false}, true);
    }
}

}  // namespace zentrel::bench
