// ShowRepeatPoints end to end, and each of its stages on the same inputs.
#include <functional>
#include <map>
#include <memory>
#include <stdexcept>
#include <string>
#include <utility>
#include <vector>

#include <opencv2/features2d.hpp>
#include <opencv2/imgcodecs.hpp>

#include "bench_inputs.h"
#include "bench_stages.h"
#include "crop_image.h"
#include "keypoint_target.h"
#include "repeat_rect.h"
#include "gather_by_scan.h"
#include "repeat_search.h"
#include "result_state.h"
#include "zentrel/zentrel.h"

namespace zentrel::bench {

namespace {

struct RepeatInput {
    std::string name;
    std::string path;
};

// The detection inside FindKeypointTarget, with the same settings, so that it
// can be timed apart from the grid; Prepare checks that both agree.
std::vector<cv::KeyPoint> DetectKeypoints(const cv::Mat& region) {
    const cv::Ptr<cv::AKAZE> akaze = cv::AKAZE::create(
        cv::AKAZE::DESCRIPTOR_MLDB, 0, 3, 0.001f, 4, 4, cv::KAZE::DIFF_PM_G2);
    std::vector<cv::KeyPoint> keypoints;
    cv::Mat descriptors;
    akaze->detectAndCompute(region, cv::noArray(), keypoints, descriptors, false);
    return keypoints;
}

using testing::GatherByScan;

// What each stage starts from: the results of the stages before it.
struct Pipeline {
    std::string path;
    cv::Mat decoded;
    cv::Mat working;
    cv::Mat region;
    std::vector<cv::KeyPoint> keypoints;
    cv::Rect cell;
    cv::Mat target;
    cv::Mat rawScores;
    cv::Mat scores;
    float span = 0;
    std::vector<HighPos> gathered;
    std::vector<HighPos> pruned;
    std::vector<HighPos> ordered;
    std::vector<Vector2> found;
    std::vector<float> scoresRelative;
};

std::unique_ptr<Pipeline> Prepare(const std::string& path) {
    auto p = std::make_unique<Pipeline>();
    p->path = path;
    p->decoded = cv::imread(path, cv::IMREAD_UNCHANGED);
    if (p->decoded.empty()) throw std::runtime_error("cannot read " + path);
    p->working = MakeWorkingImage(p->decoded);
    p->region = SearchRegion(p->working);
    p->keypoints = DetectKeypoints(p->region);
    p->cell = CellRegion(DensestCell(p->keypoints, p->region.rows, p->region.cols), p->region.rows,
                         p->region.cols);
    p->target = CropImage(p->region, p->cell.x, p->cell.y, p->cell.width, p->cell.height);
    const cv::Mat libraryTarget = FindKeypointTarget(p->region);
    if (libraryTarget.data != p->target.data || libraryTarget.size() != p->target.size()) {
        throw std::logic_error("the benchmark's keypoint detection no longer matches the library's");
    }
    p->rawScores = MatchScores(p->working, p->target);
    p->scores = p->rawScores.clone();
    ThresholdScores(p->scores);
    p->span = MatchSpan(p->target.size());
    p->gathered = GatherCandidates(p->scores, p->span);
    p->pruned = p->gathered;
    PruneCandidates(p->pruned, p->span);
    p->ordered = p->pruned;
    OrderCandidates(p->ordered);
    foundList.clear();
    PublishCandidates(p->ordered, p->span, p->decoded.size(), p->working.size());
    p->found = foundList;
    p->scoresRelative = highList;
    return p;
}

// Made on first use and kept: repetitions of all benchmarks may be run
// interleaved.
const Pipeline& PipelineFor(const std::string& path) {
    static std::map<std::string, std::unique_ptr<Pipeline>> prepared;
    std::unique_ptr<Pipeline>& pipeline = prepared[path];
    if (!pipeline) pipeline = Prepare(path);
    return *pipeline;
}

void Register(const std::string& input, const char* stage,
              std::function<void(benchmark::State&)> run) {
    RegisterStage("repeat", input, stage, std::move(run));
}

void RegisterInput(const RepeatInput& in) {
    const std::string path = in.path;
    const auto nothing = [] {};

    Register(in.name, "call", [=](benchmark::State& state) {
        TimeStage(state, kCall, nothing, [&] { ::ShowRepeatPoints(path.c_str()); });
    });
    Register(in.name, "decode", [=](benchmark::State& state) {
        TimeStage(state, kImaging, nothing, [&] {
            benchmark::DoNotOptimize(cv::imread(path, cv::IMREAD_UNCHANGED));
        });
    });
    Register(in.name, "resize", [=](benchmark::State& state) {
        const Pipeline& p = PipelineFor(path);
        TimeStage(state, kImaging, nothing,
                  [&] { benchmark::DoNotOptimize(MakeWorkingImage(p.decoded)); });
    });
    Register(in.name, "crop", [=](benchmark::State& state) {
        const Pipeline& p = PipelineFor(path);
        TimeStage(state, kImaging, nothing, [&] {
            const cv::Mat region = SearchRegion(p.working);
            benchmark::DoNotOptimize(
                CropImage(region, p.cell.x, p.cell.y, p.cell.width, p.cell.height));
        });
    });
    Register(in.name, "keypoints", [=](benchmark::State& state) {
        const Pipeline& p = PipelineFor(path);
        TimeStage(state, kImaging, nothing,
                  [&] { benchmark::DoNotOptimize(DetectKeypoints(p.region)); });
    });
    Register(in.name, "grid", [=](benchmark::State& state) {
        const Pipeline& p = PipelineFor(path);
        TimeStage(state, kOwn, nothing, [&] {
            const GridCell cell = DensestCell(p.keypoints, p.region.rows, p.region.cols);
            benchmark::DoNotOptimize(CellRegion(cell, p.region.rows, p.region.cols));
        });
    });
    Register(in.name, "match", [=](benchmark::State& state) {
        const Pipeline& p = PipelineFor(path);
        TimeStage(state, kImaging, nothing,
                  [&] { benchmark::DoNotOptimize(MatchScores(p.working, p.target)); });
    });
    Register(in.name, "threshold", [=](benchmark::State& state) {
        const Pipeline& p = PipelineFor(path);
        cv::Mat scores;
        TimeStage(state, kImaging, [&] { p.rawScores.copyTo(scores); },
                  [&] { ThresholdScores(scores); });
    });
    Register(in.name, "gather", [=](benchmark::State& state) {
        const Pipeline& p = PipelineFor(path);
        TimeStage(state, kOwn, nothing,
                  [&] { benchmark::DoNotOptimize(GatherCandidates(p.scores, p.span)); });
        state.counters["candidates"] = static_cast<double>(p.gathered.size());
    });
    Register(in.name, "gather_scan", [=](benchmark::State& state) {
        const Pipeline& p = PipelineFor(path);
        std::vector<HighPos> gathered;
        TimeStage(state, kReference, nothing, [&] { gathered = GatherByScan(p.scores, p.span); });
        if (gathered.size() != p.gathered.size()) state.SkipWithError("the two gatherings differ");
    });
    Register(in.name, "prune", [=](benchmark::State& state) {
        const Pipeline& p = PipelineFor(path);
        std::vector<HighPos> candidates;
        TimeStage(state, kOwn, [&] { candidates = p.gathered; },
                  [&] { PruneCandidates(candidates, p.span); });
        state.counters["candidates"] = static_cast<double>(p.pruned.size());
    });
    Register(in.name, "order", [=](benchmark::State& state) {
        const Pipeline& p = PipelineFor(path);
        std::vector<HighPos> candidates;
        TimeStage(state, kOwn, [&] { candidates = p.pruned; },
                  [&] { OrderCandidates(candidates); });
    });
    Register(in.name, "map_back", [=](benchmark::State& state) {
        const Pipeline& p = PipelineFor(path);
        TimeStage(
            state, kOwn, [] { foundList.clear(); },
            [&] { PublishCandidates(p.ordered, p.span, p.decoded.size(), p.working.size()); });
    });
    Register(in.name, "corners", [=](benchmark::State& state) {
        const Pipeline& p = PipelineFor(path);
        // The state the driver leaves for the corner choice.
        inputSize = p.decoded.size();
        foundList = p.found;
        highList = p.scoresRelative;
        checkPoints.clear();
        for (const Vector2& centre : p.found) {
            checkPoints.emplace_back(static_cast<int>(centre.x), static_cast<int>(centre.y));
        }
        TimeStage(state, kOwn, nothing, [&] { benchmark::DoNotOptimize(ResolveRepeatRect()); });
    });
}

}  // namespace

void RegisterRepeatBenchmarks(const std::string& folder, bool quick) {
    struct Kind {
        const char* name;
        int type;
    };
    const Kind kinds[] = {{"rgb8", CV_8UC3}, {"grey8", CV_8UC1}, {"rgb16", CV_16UC3}};
    // Tiles at the working width: a large one gives 9 candidates in colour
    // (66 in grey) from a few hundred strong cells; a small one fills the
    // score map with some 30000 strong cells and about 270 candidates.
    const struct {
        const char* name;
        cv::Size tile;
    } tiles[] = {{"few", {200, 150}}, {"many", {10, 7}}};
    std::vector<cv::Size> sizes = {{600, 450}, {1200, 900}};
    if (!quick) {
        sizes.push_back({2400, 1800});
        sizes.push_back({4800, 3600});
    }
    for (const Kind& kind : kinds) {
        for (const cv::Size size : sizes) {
            for (const auto& tile : tiles) {
                const std::string name = std::string(kind.name) + "-" +
                                         std::to_string(size.width) + "x" +
                                         std::to_string(size.height) + "-" + tile.name;
                const std::string path = folder + name + ".png";
                WriteImage(path, NoisePattern(tile.tile, size, kind.type));
                RegisterInput({name, path});
            }
        }
    }
}

}  // namespace zentrel::bench
