// SavePerspectiveImage end to end, and each of its stages on the same inputs.
#include <cstring>
#include <functional>
#include <map>
#include <memory>
#include <stdexcept>
#include <string>
#include <utility>
#include <vector>

#include <opencv2/imgcodecs.hpp>
#include <opencv2/imgproc.hpp>

#include "bench_inputs.h"
#include "bench_stages.h"
#include "output_path.h"
#include "perspective.h"
#include "platform_strings.h"
#include "zentrel/zentrel.h"

namespace zentrel::bench {

namespace {

// Room for the joined path and the "_pers" the call copies back.
constexpr std::size_t kPathBuffer = 512;

struct RectifyInput {
    std::string name;   // e.g. png-1000x750, the output's size
    std::string folder; // with a trailing separator
    std::string imageName;
    std::string extension;
    int x[4];
    int y[4];
};

// Smooth colour noise, a stand-in for a photo.
cv::Mat Photo(cv::Size size) {
    cv::Mat coarse(std::max(2, size.height / 8), std::max(2, size.width / 8), CV_8UC3);
    cv::RNG random(99);
    random.fill(coarse, cv::RNG::UNIFORM, 0, 256);
    cv::Mat photo;
    cv::resize(coarse, photo, size, 0, 0, cv::INTER_CUBIC);
    return photo;
}

// The corners of a quadrilateral whose rectified image is exactly `output`:
// the top and right edges have the output's width and height, the bottom-left
// corner is pulled inwards, so the other two edges are shorter.
void Quadrilateral(cv::Size output, int (&x)[4], int (&y)[4]) {
    const int left = output.width / 10;
    const int top = output.height / 10;
    const int pull = std::min(output.width, output.height) / 10;
    const int xs[4] = {left, left + output.width, left + output.width, left + pull};
    const int ys[4] = {top, top, top + output.height, top + output.height - pull};
    std::copy(xs, xs + 4, x);
    std::copy(ys, ys + 4, y);
}

struct Stages {
    std::string inputPath;
    std::string outputPath;
    cv::Mat decoded;
    std::vector<cv::Point2f> corners;
    OutputExtent extent{};
    cv::Size size;
    cv::Point2f dst[4];
    cv::Mat transform;
    cv::Mat warped;
};

std::unique_ptr<Stages> Prepare(const RectifyInput& in) {
    auto s = std::make_unique<Stages>();
    s->inputPath = in.folder + in.imageName + "." + in.extension;
    s->outputPath = in.folder + in.imageName + "_pers." + in.extension;
    s->decoded = cv::imread(s->inputPath, cv::IMREAD_UNCHANGED);
    if (s->decoded.empty()) throw std::runtime_error("cannot read " + s->inputPath);
    for (int k = 0; k < 4; ++k) s->corners.emplace_back(cv::Point(in.x[k], in.y[k]));
    OrderCorners(s->corners);
    s->extent = MeasureOutput(s->corners);
    s->size = *OutputImageSize(s->extent);
    s->dst[0] = {0.0f, 0.0f};
    s->dst[1] = {s->extent.maxW - 1.0f, 0.0f};
    s->dst[2] = {s->extent.maxW - 1.0f, s->extent.maxH - 1.0f};
    s->dst[3] = {0.0f, s->extent.maxH - 1.0f};
    s->transform = cv::getPerspectiveTransform(s->corners.data(), s->dst, cv::DECOMP_LU);
    cv::warpPerspective(s->decoded, s->warped, s->transform, s->size, cv::INTER_LINEAR,
                        cv::BORDER_CONSTANT, cv::Scalar());
    return s;
}

// Made on first use and kept: repetitions of all benchmarks may be run
// interleaved.
const Stages& StagesFor(const RectifyInput& in) {
    static std::map<std::string, std::unique_ptr<Stages>> prepared;
    std::unique_ptr<Stages>& stages = prepared[in.name];
    if (!stages) stages = Prepare(in);
    return *stages;
}

void Register(const std::string& input, const char* stage,
              std::function<void(benchmark::State&)> run) {
    RegisterStage("rectify", input, stage, std::move(run));
}

void RegisterInput(const RectifyInput& in) {
    const auto nothing = [] {};
    Register(in.name, "call", [=](benchmark::State& state) {
        char savePath[kPathBuffer];
        TimeStage(
            state, kCall, [&] { std::strcpy(savePath, in.folder.c_str()); },
            [&] {
                ::SavePerspectiveImage(in.x[0], in.x[1], in.x[2], in.x[3], in.y[0], in.y[1],
                                       in.y[2], in.y[3], savePath, in.imageName.c_str(),
                                       in.extension.c_str());
            });
    });
    Register(in.name, "decode", [=](benchmark::State& state) {
        const Stages& s = StagesFor(in);
        TimeStage(state, kImaging, nothing, [&] {
            benchmark::DoNotOptimize(cv::imread(s.inputPath, cv::IMREAD_UNCHANGED));
        });
    });
    Register(in.name, "corners", [=](benchmark::State& state) {
        StagesFor(in);
        TimeStage(state, kOwn, nothing, [&] {
            std::vector<cv::Point2f> corners;
            for (int k = 0; k < 4; ++k) corners.emplace_back(cv::Point(in.x[k], in.y[k]));
            OrderCorners(corners);
            benchmark::DoNotOptimize(OutputImageSize(MeasureOutput(corners)));
        });
    });
    Register(in.name, "transform", [=](benchmark::State& state) {
        const Stages& s = StagesFor(in);
        TimeStage(state, kImaging, nothing, [&] {
            benchmark::DoNotOptimize(
                cv::getPerspectiveTransform(s.corners.data(), s.dst, cv::DECOMP_LU));
        });
    });
    Register(in.name, "warp", [=](benchmark::State& state) {
        const Stages& s = StagesFor(in);
        cv::Mat warped;
        TimeStage(state, kImaging, nothing, [&] {
            cv::warpPerspective(s.decoded, warped, s.transform, s.size, cv::INTER_LINEAR,
                                cv::BORDER_CONSTANT, cv::Scalar());
        });
    });
    Register(in.name, "paths", [=](benchmark::State& state) {
        StagesFor(in);
        char savePath[kPathBuffer];
        TimeStage(
            state, kOwn, [&] { std::strcpy(savePath, in.folder.c_str()); },
            [&] {
                // The joins, the derived output path copied back, and its
                // UTF-16 copy for ReturnPath.
                char joined[kInputPathCapacity];
                JoinInputPath(savePath, in.imageName.c_str(), in.extension.c_str(), joined);
                const std::string output = DeriveOutputPath(joined, in.extension.size());
                platform::CopyString(savePath, output.size() + 1, output.c_str());
                const int needed = platform::NarrowToWide(savePath, -1, nullptr, 0);
                std::unique_ptr<platform::WideChar[]> wide(new platform::WideChar[needed]);
                platform::NarrowToWide(savePath, static_cast<int>(output.size() + 1),
                                       wide.get(), needed);
                benchmark::DoNotOptimize(wide.get());
            });
    });
    Register(in.name, "encode", [=](benchmark::State& state) {
        const Stages& s = StagesFor(in);
        TimeStage(state, kImaging, nothing,
                  [&] { benchmark::DoNotOptimize(cv::imwrite(s.outputPath, s.warped)); });
    });
}

}  // namespace

void RegisterRectifyBenchmarks(const std::string& folder, bool quick) {
    std::vector<cv::Size> outputs = {{300, 200}, {1000, 750}};
    if (!quick) {
        outputs.push_back({2000, 1500});
        outputs.push_back({4000, 3000});
    }
    for (const char* extension : {"png", "jpg"}) {
        for (const cv::Size output : outputs) {
            RectifyInput in;
            in.name = std::string(extension) + "-" + std::to_string(output.width) + "x" +
                      std::to_string(output.height);
            in.folder = folder;
            in.imageName = "photo-" + in.name;
            in.extension = extension;
            Quadrilateral(output, in.x, in.y);
            const cv::Size input(output.width + 2 * (output.width / 10) + 1,
                                 output.height + 2 * (output.height / 10) + 1);
            WriteImage(folder + in.imageName + "." + extension, Photo(input));
            RegisterInput(in);
        }
    }
}

}  // namespace zentrel::bench
