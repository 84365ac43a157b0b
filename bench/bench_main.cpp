// Benchmarks of ShowRepeatPoints and SavePerspectiveImage, whole and stage by
// stage, and of the lattice estimator and the quad finder. Besides Google
// Benchmark's own flags: --quick, the two smaller sizes only. scripts/bench
// runs it and prints the table.
#include <cstdio>
#include <cstring>
#include <exception>

#include <benchmark/benchmark.h>

#include "bench_inputs.h"
#include "bench_stages.h"
#include "test_images.h"
#include "trace.h"

int main(int argc, char** argv) try {
    bool quick = false;
    int kept = 1;
    for (int k = 1; k < argc; ++k) {
        if (std::strcmp(argv[k], "--quick") == 0) {
            quick = true;
        } else {
            argv[kept++] = argv[k];
        }
    }
    argc = kept;
    benchmark::Initialize(&argc, argv);
    if (benchmark::ReportUnrecognizedArguments(argc, argv)) return 1;

    // The trace lines are still formatted, as in every call, but not written.
    zentrel::SetTraceStream(nullptr);
    zentrel::testing::TempDir folder;
    std::fprintf(stderr, "writing the benchmark images to %s\n", folder.path().c_str());
    zentrel::bench::RegisterRepeatBenchmarks(folder.path(), quick);
    zentrel::bench::RegisterRectifyBenchmarks(folder.path(), quick);
    zentrel::bench::RegisterLatticeBenchmarks();
    zentrel::bench::RegisterQuadBenchmarks();
    zentrel::bench::RegisterTileBenchmarks();

    benchmark::RunSpecifiedBenchmarks();
    benchmark::Shutdown();
    return 0;
} catch (const std::exception& error) {
    std::fprintf(stderr, "%s\n", error.what());
    return 2;
}
