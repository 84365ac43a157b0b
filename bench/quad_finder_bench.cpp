// The quad finder on a 12-megapixel colour photo already decoded, on one
// core: a light sheet in perspective on a mottled background.
#include <opencv2/core/utility.hpp>
#include <opencv2/imgproc.hpp>

#include "bench_stages.h"
#include "quad_finder.h"

namespace zentrel::bench {

namespace {

cv::Mat SheetPhoto(cv::Size size) {
    cv::Mat coarse(size.height / 16, size.width / 16, CV_8UC3);
    cv::RNG(11).fill(coarse, cv::RNG::NORMAL, 90.0, 30.0);
    cv::Mat photo;
    cv::resize(coarse, photo, size, 0, 0, cv::INTER_CUBIC);
    const double w = size.width;
    const double h = size.height;
    const cv::Point corners[4] = {{cvRound(0.25 * w), cvRound(0.2 * h)},
                                  {cvRound(0.72 * w), cvRound(0.17 * h)},
                                  {cvRound(0.76 * w), cvRound(0.8 * h)},
                                  {cvRound(0.21 * w), cvRound(0.75 * h)}};
    cv::fillConvexPoly(photo, corners, 4, cv::Scalar(200, 205, 210), cv::LINE_AA);
    return photo;
}

}  // namespace

void RegisterQuadBenchmarks() {
    RegisterStage("quad", "rgb8-4000x3000", "call", [](benchmark::State& state) {
        const cv::Mat photo = SheetPhoto({4000, 3000});
        const int threads = cv::getNumThreads();
        cv::setNumThreads(1);
        if (!FindQuad(photo).found) state.SkipWithError("the benchmark's sheet was not found");
        TimeStage(
            state, kCall, [] {}, [&] { benchmark::DoNotOptimize(FindQuad(photo)); });
        cv::setNumThreads(threads);
    });
}

}  // namespace zentrel::bench
