// Many mixed calls through the public API, checking that resident memory
// stops growing once the first 500 calls have warmed up the allocators and
// the imaging library's caches: a leak grows steadily, in most stretches of
// the calls after them, not in one or two steps. Each sample is taken right
// after the heap hands its free pages back, since otherwise when the C
// library trims on its own moves the figure by several megabytes either way. Under a sanitizer
// the figure is only reported (its allocator keeps freed memory on purpose);
// LeakSanitizer checks that build at exit instead.
//
//   zentrel_soak [CALLS]    (10000 when not given)
#include <fcntl.h>
#include <malloc.h>
#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <functional>
#include <string>
#include <vector>

#include <opencv2/core/utils/logger.hpp>
#include <opencv2/imgcodecs.hpp>

#include "test_images.h"
#include "zentrel/zentrel.h"

#if defined(__SANITIZE_ADDRESS__) || defined(__SANITIZE_THREAD__)
#define ZENTREL_SOAK_SANITIZED 1
#elif defined(__has_feature)
#if __has_feature(address_sanitizer) || __has_feature(thread_sanitizer)
#define ZENTREL_SOAK_SANITIZED 1
#endif
#endif

namespace {

using zentrel::testing::TempDir;
using zentrel::testing::TiledPattern;
using zentrel::testing::WriteImage;

constexpr long kGrowthLimitKb = 2048;
// The measured calls are read in this many stretches. A leak grows in each;
// a step (a worker thread the imaging library starts late, a cache filled,
// a new heap arena) grows in one or two, so the growth that counts is the
// median stretch's times their number. A step is a fault all the same when
// it is this large.
constexpr int kStretches = 8;
constexpr long kStepLimitKb = 4 * kGrowthLimitKb;

long ResidentKb() {
    malloc_trim(0);
    std::ifstream status("/proc/self/status");
    for (std::string line; std::getline(status, line);) {
        if (line.rfind("VmRSS:", 0) == 0) return std::atol(line.c_str() + 6);
    }
    return -1;
}

// Each Rectify call gets its own buffer holding the folder, as a host would.
void Rectify(const TempDir& dir, const int (&xs)[4], const int (&ys)[4], const char* name,
             const char* ext) {
    char savePath[205] = {};
    dir.path().copy(savePath, sizeof savePath - 1);
    SavePerspectiveImage(xs[0], xs[1], xs[2], xs[3], ys[0], ys[1], ys[2], ys[3], savePath, name,
                         ext);
}

}  // namespace

int main(int argc, char** argv) {
    // Missing files are part of the mix; their warnings are not news.
    cv::utils::logging::setLogLevel(cv::utils::logging::LOG_LEVEL_ERROR);
    const long calls = argc > 1 ? std::atol(argv[1]) : 10000;
    if (calls < 2) {
        std::fprintf(stderr, "usage: %s [CALLS >= 2]\n", argv[0]);
        return 2;
    }
    const long warmUp = std::min(500L, calls / 2);
    auto stretchStart = [&](long k) { return warmUp + k * (calls - warmUp) / kStretches; };

    TempDir dir;
    const std::string pattern = WriteImage(dir, "pattern.png", TiledPattern({80, 60}, {640, 480}, CV_8UC3));
    const std::string others[] = {
        WriteImage(dir, "photo.jpg", TiledPattern({70, 50}, {560, 420}, CV_8UC3, 3)),
        WriteImage(dir, "deep.png", TiledPattern({64, 64}, {512, 384}, CV_16UC1, 4)),
        WriteImage(dir, "alpha.png", TiledPattern({90, 45}, {450, 450}, CV_8UC4, 5)),
        WriteImage(dir, "uniform.png", cv::Mat(200, 300, CV_8UC1, cv::Scalar(77))),
    };
    const std::string notes = dir.File("notes.png");
    std::ofstream(notes) << "not an image\n";
    const std::string missing = dir.File("missing.png");
    WriteImage(dir, "page.png", TiledPattern({20, 20}, {160, 120}, CV_8UC3, 6));
    WriteImage(dir, "page.jpg", TiledPattern({20, 20}, {160, 120}, CV_8UC3, 7));
    WriteImage(dir, "odd.png", TiledPattern({20, 20}, {60, 60}, CV_8UC1, 8));
    std::rename(dir.File("odd.png").c_str(), dir.File("odd.xyz").c_str());

    long otherIndex = 0;
    std::u16string lastPath;
    int sink = 0;
    const std::vector<std::function<void()>> cycle = {
        [&] { ShowRepeatPoints(pattern.c_str()); },
        [&] { sink += ReturnX(); },
        [&] { sink += ReturnY(); },
        [&] { sink += ReturnW(); },
        [&] { sink += ReturnH(); },
        [&] { Rectify(dir, {150, 5, 10, 140}, {110, 8, 100, 4}, "page", "png"); },
        [&] { lastPath = ReturnPath(); },  // copied at once, as a host must
        [&] { ShowRepeatPoints(notes.c_str()); },
        [&] { Rectify(dir, {5, 5, 5, 5}, {9, 9, 9, 9}, "page", "png"); },
        [&] { ShowRepeatPoints(missing.c_str()); },
        [&] { Rectify(dir, {0, 30, 30, 0}, {0, 0, 30, 30}, "missing", "png"); },
        [&] { ShowRepeatPoints(others[otherIndex++ % 4].c_str()); },
        [&] { Rectify(dir, {0, 99, 99, 0}, {0, 0, 99, 99}, "page", "jpg"); },
        [&] { ShowRepeatPoints(nullptr); },
        [&] { Rectify(dir, {0, 40, 40, 0}, {0, 0, 40, 40}, "odd", "xyz"); },
        [&] { lastPath = ReturnPath(); },
    };

    // The trace of thousands of calls is not what this measures.
    std::fflush(stdout);
    const int savedStdout = dup(STDOUT_FILENO);
    const int devNull = open("/dev/null", O_WRONLY);
    dup2(devNull, STDOUT_FILENO);
    close(devNull);

    std::vector<long> samplesKb;  // at the start of each stretch, then at the end
    long nextStretch = 0;
    const long reportEvery = std::max(1L, calls / 10);
    for (long call = 0; call < calls; ++call) {
        while (nextStretch < kStretches && call == stretchStart(nextStretch)) {
            samplesKb.push_back(ResidentKb());
            ++nextStretch;
        }
        if (call % reportEvery == 0) std::fprintf(stderr, "soak: %ld calls, VmRSS %ld kB\n", call, ResidentKb());
        cycle[static_cast<std::size_t>(call) % cycle.size()]();
    }
    const long finalKb = ResidentKb();
    samplesKb.push_back(finalKb);
    const long baselineKb = samplesKb.front();

    std::fflush(stdout);
    dup2(savedStdout, STDOUT_FILENO);
    close(savedStdout);

    const long growthKb = finalKb - baselineKb;
    std::printf("soak: %ld calls; VmRSS after %ld calls %ld kB, at the end %ld kB: growth %ld kB\n",
                calls, warmUp, baselineKb, finalKb, growthKb);
    if (ReturnW() <= 0 || lastPath.empty() || sink == 0) {
        std::printf("soak: the calls did not produce results\n");
        return 1;
    }
#ifdef ZENTREL_SOAK_SANITIZED
    std::printf("soak: sanitizer build, growth not checked\n");
    return 0;
#else
    const bool measured = samplesKb.size() == kStretches + 1 &&
                          std::find(samplesKb.begin(), samplesKb.end(), -1) == samplesKb.end();
    long steadyKb = 0;
    if (measured) {
        std::vector<long> stretchKb;
        for (std::size_t k = 1; k < samplesKb.size(); ++k) stretchKb.push_back(samplesKb[k] - samplesKb[k - 1]);
        std::sort(stretchKb.begin(), stretchKb.end());
        steadyKb = kStretches * (stretchKb[kStretches / 2 - 1] + stretchKb[kStretches / 2]) / 2;
    }
    if (!measured || growthKb >= kStepLimitKb || steadyKb >= kGrowthLimitKb) {
        std::printf("soak: resident memory grew by %ld kB, %ld kB at the median stretch's pace (limit %ld kB)\n",
                    growthKb, steadyKb, kGrowthLimitKb);
        return 1;
    }
    return 0;
#endif
}
