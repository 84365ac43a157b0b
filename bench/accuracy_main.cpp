// The accuracy harness: makes a labelled corpus in a temporary folder, runs
// the lattice estimator and the seven-call repeat rectangle on every image,
// and prints per family how often each finds the tile exactly, a multiple of
// it, or something wrong, and how often the negatives show a repeat.
//
//   zentrel_accuracy [--quick] [--verbose] [--seed N] [--per-family N] [--keep DIR]
//                    [--no-art] [--floors FILE] PHOTO_FOLDER...
#include <algorithm>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <exception>
#include <map>
#include <opencv2/core/utility.hpp>
#include <opencv2/imgcodecs.hpp>
#include <string>
#include <vector>

#include "accuracy_corpus.h"
#include "lattice.h"
#include "test_images.h"
#include "trace.h"
#include "zentrel/zentrel.h"

namespace {

using zentrel::accuracy::Sample;

// The estimator's time on this thread: on a busy machine wall time says more
// about the neighbours than about the code.
double ThreadMilliseconds() {
    timespec now{};
    clock_gettime(CLOCK_THREAD_CPUTIME_ID, &now);
    return now.tv_sec * 1e3 + now.tv_nsec / 1e6;
}

enum class Outcome { Exact, Multiple, Wrong };

// Within a pixel or 1.5 %, whichever is more.
bool Near(double found, double truth) {
    return std::abs(found - truth) <= std::max(1.0, 0.015 * truth);
}

// A whole number (at least 1) of true sides.
bool NearMultiple(double found, double truth) {
    const double times = std::round(found / truth);
    return times >= 1.0 && Near(found, times * truth);
}

// The seven-call rectangle, against the repeat's whole tile.
Outcome JudgeRectangle(double width, double height, const Sample& sample) {
    if (Near(width, sample.width) && Near(height, sample.height)) return Outcome::Exact;
    if (NearMultiple(width, sample.width) && NearMultiple(height, sample.height) &&
        !(Near(width, sample.width) && Near(height, sample.height))) {
        return Outcome::Multiple;
    }
    return Outcome::Wrong;
}

// A half-drop w x h and a half-brick 2w x h/2 are one lattice: where both
// tiles are equally square either is right.
bool SameStaggeredLattice(const zentrel::lattice::Lattice& found, const Sample& sample) {
    using zentrel::lattice::MatchType;
    const auto across = [](MatchType match, double width) {
        return match == MatchType::HalfDrop ? 2 * width : width;
    };
    const auto down = [](MatchType match, double height) {
        return match == MatchType::HalfBrick ? 2 * height : height;
    };
    const bool staggered = (found.match == MatchType::HalfDrop && sample.match == MatchType::HalfBrick) ||
                           (found.match == MatchType::HalfBrick && sample.match == MatchType::HalfDrop);
    return staggered && Near(across(found.match, found.width), across(sample.match, sample.width)) &&
           Near(down(found.match, found.height), down(sample.match, sample.height));
}

// Whether `v` is a whole combination of `a` and `b`, within a pixel or 1.5 %.
bool OnLattice(cv::Point2d a, cv::Point2d b, cv::Point2d v) {
    const double det = a.cross(b);
    if (std::abs(det) < 1e-9) return false;
    const double i = std::round(v.cross(b) / det), j = std::round(a.cross(v) / det);
    return cv::norm(v - (i * a + j * b)) <= std::max(1.0, 0.015 * cv::norm(v));
}

// An `other` match has no box of its own: two equally short bases of one
// lattice draw different boxes. Exact when each basis spans the other; a
// multiple when the truth's spans what was found but not back.
Outcome JudgeOtherLattice(const zentrel::lattice::Lattice& found, const Sample& sample) {
    const bool truthSpans = OnLattice(sample.vectorA, sample.vectorB, found.vectorA) &&
                            OnLattice(sample.vectorA, sample.vectorB, found.vectorB);
    const bool foundSpans = OnLattice(found.vectorA, found.vectorB, sample.vectorA) &&
                            OnLattice(found.vectorA, found.vectorB, sample.vectorB);
    if (truthSpans && foundSpans) {
        return found.match == sample.match && found.mirror == sample.mirror ? Outcome::Exact
                                                                            : Outcome::Wrong;
    }
    return truthSpans ? Outcome::Multiple : Outcome::Wrong;
}

// The side of the unit that is mirrored to make the tile.
cv::Size2d UnitOf(double width, double height, zentrel::lattice::Mirror mirror) {
    using zentrel::lattice::Mirror;
    const bool across = mirror == Mirror::Horizontal || mirror == Mirror::Both;
    const bool down = mirror == Mirror::Vertical || mirror == Mirror::Both;
    return {across ? width / 2 : width, down ? height / 2 : height};
}

// Exact: the unit, its mirror and the match; a multiple: whole multiples of
// the unit (a mirrored pattern reported as its translational tile is one).
Outcome Judge(const zentrel::lattice::Lattice& found, const Sample& sample) {
    if (!found.found) return Outcome::Wrong;
    if (sample.match == zentrel::lattice::MatchType::Other && sample.vectorA != cv::Point2d())
        return JudgeOtherLattice(found, sample);
    const cv::Size2d unit = UnitOf(found.width, found.height, found.mirror);
    const cv::Size2d truth = UnitOf(sample.width, sample.height, sample.mirror);
    const bool sizeRight = Near(unit.width, truth.width) && Near(unit.height, truth.height);
    if (sizeRight && found.match == sample.match && found.mirror == sample.mirror)
        return Outcome::Exact;
    if (SameStaggeredLattice(found, sample)) return Outcome::Exact;
    if (!sizeRight && NearMultiple(unit.width, truth.width) &&
        NearMultiple(unit.height, truth.height)) {
        return Outcome::Multiple;
    }
    return Outcome::Wrong;
}

double Overlap(const cv::Rect& a, const cv::Rect& b) {
    const double common = (a & b).area();
    return common / std::max(1.0, static_cast<double>(a.area() + b.area()) - common);
}

// Where a region of at least this overlap with the truth counts as right.
constexpr double kRegionOverlap = 0.75;

struct Tally {
    bool negatives = false;
    int images = 0;
    int counts[3] = {0, 0, 0};  // by Outcome
    int falseRepeats = 0;
    int rectangles[3] = {0, 0, 0};
    int regions = 0;  // found, with the region right
    std::vector<double> milliseconds;

    void Add(const Tally& other) {
        images += other.images;
        for (int k = 0; k < 3; ++k) {
            counts[k] += other.counts[k];
            rectangles[k] += other.rectangles[k];
        }
        falseRepeats += other.falseRepeats;
        regions += other.regions;
        milliseconds.insert(milliseconds.end(), other.milliseconds.begin(),
                            other.milliseconds.end());
    }
};

double Median(std::vector<double> values) {
    if (values.empty()) return 0.0;
    std::nth_element(values.begin(), values.begin() + values.size() / 2, values.end());
    return values[values.size() / 2];
}

std::string Percent(int count, int total) {
    if (total == 0) return "-";
    return cv::format("%5.1f%%", 100.0 * count / total);
}

void PrintRow(const std::string& name, const Tally& t, bool negatives) {
    if (negatives) {
        std::printf("| %-31s | %6d | %6s | %8s | %6s | %6s | %13s | %8.1f | %6s | %8s | %6s |\n",
                    name.c_str(), t.images, "", "", "", "",
                    Percent(t.falseRepeats, t.images).c_str(), Median(t.milliseconds), "", "", "");
        return;
    }
    std::printf("| %-31s | %6d | %6s | %8s | %6s | %6s | %13s | %8.1f | %6s | %8s | %6s |\n",
                name.c_str(), t.images, Percent(t.counts[0], t.images).c_str(),
                Percent(t.counts[1], t.images).c_str(), Percent(t.counts[2], t.images).c_str(),
                Percent(t.regions, t.images).c_str(), "", Median(t.milliseconds),
                Percent(t.rectangles[0], t.images).c_str(),
                Percent(t.rectangles[1], t.images).c_str(),
                Percent(t.rectangles[2], t.images).c_str());
}

void PrintHeader() {
    std::printf("\n| %-31s | %6s | %6s | %8s | %6s | %6s | %13s | %8s | %6s | %8s | %6s |\n",
                "family", "images", "exact", "multiple", "wrong", "region", "false repeat",
                "median ms", "7-call exact", "multiple", "wrong");
    std::printf("|%s|%s|%s|%s|%s|%s|%s|%s|%s|%s|%s|\n", std::string(33, '-').c_str(),
                std::string(8, '-').c_str(), std::string(8, '-').c_str(),
                std::string(10, '-').c_str(), std::string(8, '-').c_str(),
                std::string(8, '-').c_str(), std::string(15, '-').c_str(),
                std::string(10, '-').c_str(), std::string(8, '-').c_str(),
                std::string(10, '-').c_str(), std::string(8, '-').c_str());
}

// Of the estimates that report a repeat, how many are exact at each level
// of confidence (a repeat in a negative is never exact).
struct Calibration {
    static constexpr double kEdges[] = {0.0, 0.5, 0.7, 0.8, 0.9, 0.95, 1.01};
    static constexpr int kBins = 6;
    int estimates[kBins] = {};
    int exact[kBins] = {};

    void Add(double confidence, bool isExact) {
        for (int k = 0; k < kBins; ++k) {
            if (confidence < kEdges[k + 1]) {
                ++estimates[k];
                exact[k] += isExact ? 1 : 0;
                return;
            }
        }
    }
    void Print() const {
        std::printf("\n| confidence  | estimates |  exact |\n|-------------|-----------|--------|\n");
        int high = 0, highExact = 0;
        for (int k = 0; k < kBins; ++k) {
            std::printf("| %4.2f - %4.2f | %9d | %6s |\n", kEdges[k], std::min(kEdges[k + 1], 1.0),
                        estimates[k], Percent(exact[k], estimates[k]).c_str());
            if (kEdges[k] >= 0.9) {
                high += estimates[k];
                highExact += exact[k];
            }
        }
        std::printf("| >= 0.90     | %9d | %6s |\n", high, Percent(highExact, high).c_str());
    }
};

// Floors from a file of lines "PERCENT FAMILY": the least share exact, or
// for the negatives the most share of false repeats. Lines starting with #
// are comments.
std::map<std::string, double> ReadFloors(const std::string& path) {
    std::map<std::string, double> floors;
    std::FILE* file = std::fopen(path.c_str(), "r");
    if (file == nullptr) throw std::runtime_error("cannot read the floors " + path);
    char line[512];
    while (std::fgets(line, sizeof line, file) != nullptr) {
        std::string text(line);
        while (!text.empty() && (text.back() == '\n' || text.back() == '\r')) text.pop_back();
        if (text.empty() || text[0] == '#') continue;
        const std::size_t space = text.find(' ');
        if (space == std::string::npos) continue;
        floors[text.substr(space + 1)] = std::stod(text.substr(0, space));
    }
    std::fclose(file);
    return floors;
}

const char* OutcomeName(Outcome outcome) {
    switch (outcome) {
        case Outcome::Exact:
            return "exact";
        case Outcome::Multiple:
            return "multiple";
        case Outcome::Wrong:
            return "wrong";
    }
    return "";
}

}  // namespace

int main(int argc, char** argv) try {
    bool verbose = false;
    int perFamily = 60;
    unsigned seed = 12;
    std::string keep;  // a folder to write the corpus to and leave there
    std::string floorsPath;
    bool withArt = true;  // the installed pattern art, when there is any
    std::vector<std::string> folders;
    for (int k = 1; k < argc; ++k) {
        const std::string arg = argv[k];
        if (arg == "--quick") {
            perFamily = 15;
        } else if (arg == "--verbose") {
            verbose = true;
        } else if (arg == "--seed" && k + 1 < argc) {
            seed = static_cast<unsigned>(std::stoul(argv[++k]));
        } else if (arg == "--keep" && k + 1 < argc) {
            keep = argv[++k];
            keep += "/";
        } else if (arg == "--per-family" && k + 1 < argc) {
            perFamily = std::stoi(argv[++k]);
        } else if (arg == "--floors" && k + 1 < argc) {
            floorsPath = argv[++k];
        } else if (arg == "--no-art") {
            withArt = false;
        } else if (arg.rfind('-', 0) == 0) {
            // A misspelt option would otherwise be taken for a folder and the
            // defaults measured in its place.
            std::fprintf(stderr, "unknown option or missing value: %s\n", arg.c_str());
            return 2;
        } else {
            folders.push_back(arg);
        }
    }
    const std::map<std::string, double> floors =
        floorsPath.empty() ? std::map<std::string, double>{} : ReadFloors(floorsPath);
    zentrel::accuracy::Photos photos = zentrel::accuracy::LoadPhotos(folders);
    if (!withArt) photos.art = {};
    if (photos.sources.empty()) {
        std::fprintf(stderr, "no photos found in the folders given\n");
        return 2;
    }
    std::printf(
        "%zu photos to cut tiles from, %zu aperiodic ones, %zu installed pattern tiles; %d images "
        "per family, seed %u\n\n",
        photos.sources.size(), photos.aperiodic.size(), photos.art.tiles.size(), perFamily, seed);

    cv::setNumThreads(1);
    zentrel::SetTraceStream(nullptr);
    zentrel::testing::TempDir folder;
    std::mt19937 random(seed);
    std::map<std::string, Tally> tallies;
    Calibration calibration;
    const std::vector<std::string> families = zentrel::accuracy::Families(photos);
    int written = 0;
    for (const std::string& family : families) {
        for (int n = 0; n < perFamily; ++n) {
            const Sample sample = zentrel::accuracy::MakeSample(photos, family, random);
            const std::string path =
                (keep.empty() ? folder.path() : keep) +
                (cv::format("%04d%s", written++, sample.jpegQuality > 0 ? ".jpg" : ".png"));
            const std::vector<int> params = {cv::IMWRITE_JPEG_QUALITY, sample.jpegQuality};
            if (!cv::imwrite(path, sample.image,
                             sample.jpegQuality > 0 ? params : std::vector<int>{})) {
                throw std::runtime_error("cannot write " + path);
            }
            const cv::Mat decoded = cv::imread(path, cv::IMREAD_UNCHANGED);

            const double start = ThreadMilliseconds();
            const zentrel::lattice::Lattice found = zentrel::lattice::EstimateLattice(
                decoded, sample.jpegQuality > 0 ? zentrel::lattice::Storage::Jpeg
                                                : zentrel::lattice::Storage::Unknown);
            const double milliseconds = ThreadMilliseconds() - start;
            ::ShowRepeatPoints(path.c_str());

            Tally& tally = tallies[family];
            ++tally.images;
            tally.milliseconds.push_back(milliseconds);
            std::string verdict;
            if (!sample.periodic) {
                tally.negatives = true;
                tally.falseRepeats += found.found ? 1 : 0;
                verdict = found.found ? "FALSE REPEAT" : "none";
                if (found.found) calibration.Add(found.confidence, false);
            } else {
                const Outcome outcome = Judge(found, sample);
                const Outcome rectangle = JudgeRectangle(::ReturnW(), ::ReturnH(), sample);
                ++tally.counts[static_cast<int>(outcome)];
                ++tally.rectangles[static_cast<int>(rectangle)];
                const cv::Rect truthRegion =
                    sample.region.empty() ? cv::Rect({}, decoded.size()) : sample.region;
                if (found.found && Overlap(found.region, truthRegion) >= kRegionOverlap) {
                    ++tally.regions;
                }
                if (found.found) calibration.Add(found.confidence, outcome == Outcome::Exact);
                verdict = OutcomeName(outcome);
            }
            if (verbose) {
                std::printf(
                    "%-8s %s: %s; truth %.1f x %.1f %s %s; found %s %.2f x %.2f (%s %s) conf "
                    "%.2f a (%.1f,%.1f) b (%.1f,%.1f) region %d,%d %dx%d; rect %d x %d; %.1f ms\n",
                    verdict.c_str(), family.c_str(), sample.description.c_str(), sample.width,
                    sample.height, zentrel::lattice::MatchTypeName(sample.match),
                    zentrel::lattice::MirrorName(sample.mirror), found.found ? "yes" : "no",
                    found.width, found.height, zentrel::lattice::MatchTypeName(found.match),
                    zentrel::lattice::MirrorName(found.mirror), found.confidence, found.vectorA.x,
                    found.vectorA.y, found.vectorB.x, found.vectorB.y, found.region.x,
                    found.region.y, found.region.width, found.region.height, ::ReturnW(),
                    ::ReturnH(), milliseconds);
                std::fflush(stdout);
            }
        }
    }

    PrintHeader();
    Tally periodic;
    for (const std::string& family : families) {
        const Tally& tally = tallies[family];
        PrintRow(family, tally, tally.negatives);
        if (!tally.negatives) periodic.Add(tally);
    }
    PrintRow("all periodic", periodic, false);
    calibration.Print();

    int below = 0;
    for (const auto& [family, floor] : floors) {
        const auto it = tallies.find(family);
        if (it == tallies.end()) continue;  // a family this run has no images of
        const Tally& tally = it->second;
        const double share =
            100.0 * (tally.negatives ? tally.falseRepeats : tally.counts[0]) / tally.images;
        const bool fails = tally.negatives ? share > floor : share < floor;
        if (fails) {
            std::printf("BELOW FLOOR: %s: %.1f%% %s, the floor is %.1f%%\n", family.c_str(), share,
                        tally.negatives ? "false repeats" : "exact", floor);
            ++below;
        }
    }
    if (!floors.empty() && below == 0) std::printf("\nevery family is at or above its floor\n");
    return below == 0 ? 0 : 1;
} catch (const std::exception& error) {
    std::fprintf(stderr, "%s\n", error.what());
    return 2;
}
