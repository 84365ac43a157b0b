// How far one lattice estimation of a decoded 4000 x 3000 colour image raises
// this process's peak resident memory, next to the size of the image. A fresh
// process, so that no earlier allocation is reused; the coarse and the fine
// search are each measured in a child of their own.
#include <sys/wait.h>
#include <unistd.h>

#include <cstdio>
#include <exception>
#include <opencv2/core/utility.hpp>

#include "bench_inputs.h"
#include "lattice.h"
#include "test_images.h"

namespace {

constexpr double kMegabyte = 1e6;

int Measure(const char* what, cv::Size tile) {
    const cv::Mat image = zentrel::testing::TiledPattern(tile, {4000, 3000}, CV_8UC3);
    const double imageBytes = static_cast<double>(image.total() * image.elemSize());
    if (!zentrel::bench::ResetPeakResident()) {
        std::fprintf(stderr, "cannot reset the peak resident size (/proc/self/clear_refs)\n");
        return 2;
    }
    const long long before = zentrel::bench::ResidentBytes();
    const zentrel::lattice::Lattice found = zentrel::lattice::EstimateLattice(image);
    const long long raise = zentrel::bench::PeakResidentBytes() - before;
    std::printf("%-44s %+8.1f MB  %5.2f x the image (%.1f MB)%s\n", what, raise / kMegabyte,
                raise / imageBytes, imageBytes / kMegabyte, found.found ? "" : "  NOT FOUND");
    std::fflush(stdout);  // the child ends with _exit
    return found.found ? 0 : 1;
}

int InChild(const char* what, cv::Size tile) {
    std::fflush(stdout);
    const pid_t child = fork();
    if (child == 0) _exit(Measure(what, tile));
    int status = 0;
    if (child < 0 || waitpid(child, &status, 0) != child || !WIFEXITED(status)) return 2;
    return WEXITSTATUS(status);
}

}  // namespace

int main() try {
    cv::setNumThreads(1);
    const int coarse = InChild("lattice, 4000 x 3000 colour, tile 150 x 110", {150, 110});
    const int fine = InChild("lattice, 4000 x 3000 colour, tile 20 x 16", {20, 16});
    return coarse != 0 ? coarse : fine;
} catch (const std::exception& error) {
    std::fprintf(stderr, "%s\n", error.what());
    return 2;
}
