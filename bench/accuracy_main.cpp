// The accuracy harness: makes a labelled corpus in a temporary folder, runs
// the lattice estimator and the seven-call repeat rectangle on every image,
// and prints per family how often each finds the tile exactly, a multiple of
// it, or something wrong, and how often the negatives show a repeat.
//
//   zentrel_accuracy [--quick] [--verbose] [--seed N] [--per-family N] [--keep DIR] PHOTO_FOLDER...
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

Outcome Judge(double width, double height, bool matchRight, const Sample& sample) {
    if (Near(width, sample.width) && Near(height, sample.height) && matchRight)
        return Outcome::Exact;
    if (NearMultiple(width, sample.width) && NearMultiple(height, sample.height) &&
        !(Near(width, sample.width) && Near(height, sample.height))) {
        return Outcome::Multiple;
    }
    return Outcome::Wrong;
}

struct Tally {
    bool negatives = false;
    int images = 0;
    int counts[3] = {0, 0, 0};  // by Outcome
    int falseRepeats = 0;
    int rectangles[3] = {0, 0, 0};
    std::vector<double> milliseconds;

    void Add(const Tally& other) {
        images += other.images;
        for (int k = 0; k < 3; ++k) {
            counts[k] += other.counts[k];
            rectangles[k] += other.rectangles[k];
        }
        falseRepeats += other.falseRepeats;
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
        std::printf("| %-31s | %6d | %6s | %8s | %6s | %13s | %8.1f | %6s | %8s | %6s |\n",
                    name.c_str(), t.images, "", "", "", Percent(t.falseRepeats, t.images).c_str(),
                    Median(t.milliseconds), "", "", "");
        return;
    }
    std::printf("| %-31s | %6d | %6s | %8s | %6s | %13s | %8.1f | %6s | %8s | %6s |\n",
                name.c_str(), t.images, Percent(t.counts[0], t.images).c_str(),
                Percent(t.counts[1], t.images).c_str(), Percent(t.counts[2], t.images).c_str(), "",
                Median(t.milliseconds), Percent(t.rectangles[0], t.images).c_str(),
                Percent(t.rectangles[1], t.images).c_str(),
                Percent(t.rectangles[2], t.images).c_str());
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
        } else {
            folders.push_back(arg);
        }
    }
    const zentrel::accuracy::Photos photos = zentrel::accuracy::LoadPhotos(folders);
    if (photos.sources.empty()) {
        std::fprintf(stderr, "no photos found in the folders given\n");
        return 2;
    }
    std::printf(
        "%zu photos to cut tiles from, %zu aperiodic ones; %d images per family, seed %u\n\n",
        photos.sources.size(), photos.aperiodic.size(), perFamily, seed);

    cv::setNumThreads(1);
    zentrel::SetTraceStream(nullptr);
    zentrel::testing::TempDir folder;
    std::mt19937 random(seed);
    std::map<std::string, Tally> tallies;
    int written = 0;
    for (const std::string& family : zentrel::accuracy::Families()) {
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
            const zentrel::lattice::Lattice found = zentrel::lattice::EstimateLattice(decoded);
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
            } else {
                const Outcome outcome = found.found ? Judge(found.width, found.height,
                                                            found.match == sample.match, sample)
                                                    : Outcome::Wrong;
                const Outcome rectangle = Judge(::ReturnW(), ::ReturnH(), true, sample);
                ++tally.counts[static_cast<int>(outcome)];
                ++tally.rectangles[static_cast<int>(rectangle)];
                verdict = OutcomeName(outcome);
            }
            if (verbose) {
                std::printf(
                    "%-8s %s: %s; found %s %.2f x %.2f (%s) conf %.2f a (%.1f,%.1f) b (%.1f,%.1f); "
                    "rect %d x %d; %.1f ms\n",
                    verdict.c_str(), family.c_str(), sample.description.c_str(),
                    found.found ? "yes" : "no", found.width, found.height,
                    zentrel::lattice::MatchTypeName(found.match), found.confidence, found.vectorA.x,
                    found.vectorA.y, found.vectorB.x, found.vectorB.y, ::ReturnW(), ::ReturnH(),
                    milliseconds);
                std::fflush(stdout);
            }
        }
    }

    std::printf("\n| %-31s | %6s | %6s | %8s | %6s | %13s | %8s | %6s | %8s | %6s |\n", "family",
                "images", "exact", "multiple", "wrong", "false repeat", "median ms", "7-call exact",
                "multiple", "wrong");
    std::printf(
        "|%s|%s|%s|%s|%s|%s|%s|%s|%s|%s|\n", std::string(33, '-').c_str(),
        std::string(8, '-').c_str(), std::string(8, '-').c_str(), std::string(10, '-').c_str(),
        std::string(8, '-').c_str(), std::string(15, '-').c_str(), std::string(10, '-').c_str(),
        std::string(8, '-').c_str(), std::string(10, '-').c_str(), std::string(8, '-').c_str());
    Tally periodic;
    for (const std::string& family : zentrel::accuracy::Families()) {
        const Tally& tally = tallies[family];
        PrintRow(family, tally, tally.negatives);
        if (!tally.negatives) periodic.Add(tally);
    }
    PrintRow("all periodic", periodic, false);
    return 0;
} catch (const std::exception& error) {
    std::fprintf(stderr, "%s\n", error.what());
    return 2;
}
