// How far one tile export (estimate, then extract) of a decoded 4000 x 3000
// colour image of 100 repeats raises this process's peak resident memory,
// next to the size of the image: repeats on whole pixels and at a fractional
// period, each in a fresh child process so that no earlier allocation is
// reused.
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <exception>
#include <opencv2/core/utility.hpp>
#include <opencv2/imgproc.hpp>

#include "bench_inputs.h"
#include "lattice.h"
#include "test_images.h"
#include "tile_extract.h"

namespace {

constexpr double kMegabyte = 1e6;
const cv::Size kImage(4000, 3000);

int Measure(const char* what, bool fractional, bool flatten) {
    cv::Mat image = zentrel::testing::TiledPattern({400, 300}, kImage, CV_8UC3);
    if (fractional) {
        cv::Mat smaller = zentrel::testing::TiledPattern({400, 300}, {3968, 2976}, CV_8UC3);
        cv::resize(smaller, image, kImage, 0, 0, cv::INTER_LINEAR);
    }
    const double imageBytes = static_cast<double>(image.total() * image.elemSize());
    if (!zentrel::bench::ResetPeakResident()) {
        std::fprintf(stderr, "cannot reset the peak resident size (/proc/self/clear_refs)\n");
        return 2;
    }
    const long long before = zentrel::bench::ResidentBytes();
    const zentrel::lattice::Lattice found = zentrel::lattice::EstimateLattice(image);
    int repeats = 0;
    if (found.found) {
        repeats = zentrel::lattice::ExtractTile(image, found,
                                                {zentrel::lattice::Combine::Median, flatten})
                      .repeats;
    }
    const long long raise = zentrel::bench::PeakResidentBytes() - before;
    std::printf("%-52s %+8.1f MB  %5.2f x the image (%.1f MB), %d repeats\n", what,
                raise / kMegabyte, raise / imageBytes, imageBytes / kMegabyte, repeats);
    std::fflush(stdout);  // the child ends with _exit
    return found.found ? 0 : 1;
}

int InChild(const char* what, bool fractional, bool flatten) {
    std::fflush(stdout);
    const pid_t child = fork();
    if (child == 0) _exit(Measure(what, fractional, flatten));
    int status = 0;
    if (child < 0 || waitpid(child, &status, 0) != child || !WIFEXITED(status)) return 2;
    return WEXITSTATUS(status);
}

}  // namespace

int main() try {
    cv::setNumThreads(1);
    int worst = 0;
    worst = std::max(worst, InChild("tile export, 4000 x 3000 colour, whole pixels", false, false));
    worst = std::max(worst, InChild("tile export, 4000 x 3000 colour, fractional", true, false));
    worst = std::max(worst,
                     InChild("tile export, 4000 x 3000 colour, fractional, flatten", true, true));
    return worst;
} catch (const std::exception& error) {
    std::fprintf(stderr, "%s\n", error.what());
    return 2;
}
