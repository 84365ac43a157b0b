// Registration of the benchmarks and the timing helper they share.
#pragma once

#include <chrono>
#include <functional>
#include <string>
#include <utility>

#include <benchmark/benchmark.h>

namespace zentrel::bench {

// What a benchmark times, reported as its label: a whole call, a stage that
// is an imaging library call, a stage of the library's own work, or a
// reference that is not part of the call (the plain scan the gathering's
// index replaced).
constexpr const char* kCall = "call";
constexpr const char* kImaging = "opencv";
constexpr const char* kOwn = "own";
constexpr const char* kReference = "reference";

// Times `stage` alone on each iteration; `setup` runs first, untimed (fresh
// copies for stages that change their input in place).
template <typename Setup, typename Stage>
void TimeStage(benchmark::State& state, const char* kind, Setup&& setup, Stage&& stage) {
    using Clock = std::chrono::steady_clock;
    for (auto _ : state) {
        setup();
        const auto start = Clock::now();
        stage();
        const auto end = Clock::now();
        state.SetIterationTime(std::chrono::duration<double>(end - start).count());
    }
    state.SetLabel(kind);
}

// Writes the benchmark images under `folder` and registers the benchmarks;
// `quick` keeps the two smaller sizes only.
// Registers JOB/INPUT/STAGE, timed by TimeStage, in milliseconds.
inline void RegisterStage(const std::string& job, const std::string& input, const char* stage,
                          std::function<void(benchmark::State&)> run) {
    benchmark::RegisterBenchmark((job + "/" + input + "/" + stage).c_str(), std::move(run))
        ->UseManualTime()
        ->Unit(benchmark::kMillisecond);
}

void RegisterRepeatBenchmarks(const std::string& folder, bool quick);
void RegisterRectifyBenchmarks(const std::string& folder, bool quick);
// The lattice estimator on a 4000 x 3000 colour image, on one core.
void RegisterLatticeBenchmarks();
// The quad finder on a 12-megapixel colour photo, on one core.
void RegisterQuadBenchmarks();
// The tile export of a 4000 x 3000 colour image of 100 repeats, on one core.
void RegisterTileBenchmarks();

}  // namespace zentrel::bench
