// The quad finder's accuracy harness: makes a labelled corpus in memory, runs
// the finder on every image, and prints per family how often all four
// corners come within 1.5 % of the image diagonal, how often a negative
// shows a quadrilateral, and the result on each real photo with measured
// corners.
//
//   zentrel_quad_accuracy [--quick] [--verbose] [--seed N] [--per-family N] [--keep DIR]
//                         PHOTO_FOLDER...
#include <algorithm>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <ctime>
#include <exception>
#include <map>
#include <string>
#include <vector>

#include <opencv2/core/utility.hpp>
#include <opencv2/imgcodecs.hpp>
#include <opencv2/imgproc.hpp>

#include "quad_corpus.h"
#include "quad_finder.h"

namespace {

using zentrel::quad_accuracy::Corners;
using zentrel::quad_accuracy::Sample;

constexpr double kTolerance = 0.015;  // of the image diagonal

// The finder's time on this thread: on a busy machine wall time says more
// about the neighbours than about the code.
double ThreadMilliseconds() {
    timespec now{};
    clock_gettime(CLOCK_THREAD_CPUTIME_ID, &now);
    return now.tv_sec * 1e3 + now.tv_nsec / 1e6;
}

// The largest distance between a found corner and the true one in the same
// place of the order, as a share of the diagonal.
double WorstCorner(const zentrel::FoundQuad& found, const Sample& sample) {
    const double diagonal = std::hypot(sample.image.cols, sample.image.rows);
    double worst = 0.0;
    for (int k = 0; k < 4; ++k) {
        const cv::Point2d error = found.corners[k] - sample.corners[k];
        worst = std::max(worst, std::hypot(error.x, error.y) / diagonal);
    }
    return worst;
}

struct Tally {
    int images = 0;
    int found = 0;
    int within = 0;
    std::vector<double> worst;  // of the quadrilaterals found
    std::vector<double> milliseconds;

    void Add(const Tally& other) {
        images += other.images;
        found += other.found;
        within += other.within;
        worst.insert(worst.end(), other.worst.begin(), other.worst.end());
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
    return cv::format("%.1f %%", 100.0 * count / total);
}

void PrintRow(const std::string& name, const Tally& t) {
    std::printf("| %-16s | %6d | %8s | %16s | %16.2f %% | %8.1f |\n", name.c_str(), t.images,
                Percent(t.found, t.images).c_str(), Percent(t.within, t.images).c_str(),
                100.0 * Median(t.worst), Median(t.milliseconds));
}

void Keep(const std::string& folder, int number, const Sample& sample,
          const zentrel::FoundQuad& found, const std::string& verdict) {
    cv::Mat picture = sample.image.clone();
    if (picture.depth() != CV_8U) picture.convertTo(picture, CV_8U, 1.0 / 257.0);
    if (picture.channels() == 1) cv::cvtColor(picture, picture, cv::COLOR_GRAY2BGR);
    if (picture.channels() == 4) cv::cvtColor(picture, picture, cv::COLOR_BGRA2BGR);
    const int thickness = std::max(1, picture.cols / 500);
    for (int k = 0; k < 4 && sample.positive; ++k) {
        cv::line(picture, sample.corners[k], sample.corners[(k + 1) % 4], {0, 255, 0}, thickness);
    }
    for (int k = 0; k < 4 && found.found; ++k) {
        cv::line(picture, found.corners[k], found.corners[(k + 1) % 4], {0, 0, 255}, thickness);
        cv::circle(picture, found.corners[k], 3 * thickness * (k + 1), {0, 0, 255}, thickness);
    }
    std::string name = sample.family;
    std::replace(name.begin(), name.end(), ' ', '-');
    cv::imwrite(folder + cv::format("%04d-", number) + name + "-" + verdict + ".png", picture);
}

}  // namespace

int main(int argc, char** argv) try {
    bool verbose = false;
    int perFamily = 50;
    unsigned seed = 20;
    std::string keep;  // a folder to write each image to, with the truth and the result drawn
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
            keep = std::string(argv[++k]) + "/";
        } else if (arg == "--per-family" && k + 1 < argc) {
            perFamily = std::stoi(argv[++k]);
        } else if (arg.rfind('-', 0) == 0) {
            // A misspelt option would otherwise be taken for a folder and the
            // defaults measured in its place.
            std::fprintf(stderr, "unknown option or missing value: %s\n", arg.c_str());
            return 2;
        } else {
            folders.push_back(arg);
        }
    }
    const zentrel::quad_accuracy::Photos photos = zentrel::quad_accuracy::LoadPhotos(folders);
    std::printf(
        "%zu photos to lay down, %zu to lay them on, %zu for negatives, %zu with measured "
        "corners; %d images per family, seed %u\n\n",
        photos.sheets.size(), photos.backgrounds.size(), photos.negatives.size(),
        photos.known.size(), perFamily, seed);

    cv::setNumThreads(1);
    std::mt19937 random(seed);
    std::map<std::string, Tally> tallies;
    int number = 0;
    const auto run = [&](const Sample& sample) {
        const double start = ThreadMilliseconds();
        const zentrel::FoundQuad found = zentrel::FindQuad(sample.image);
        const double milliseconds = ThreadMilliseconds() - start;
        Tally& tally = tallies[sample.family];
        ++tally.images;
        tally.milliseconds.push_back(milliseconds);
        tally.found += found.found ? 1 : 0;
        std::string verdict = found.found ? "FALSE" : "none";
        double worst = 0.0;
        if (sample.positive) {
            worst = found.found ? WorstCorner(found, sample) : 1.0;
            if (found.found) tally.worst.push_back(worst);
            tally.within += worst <= kTolerance ? 1 : 0;
            verdict = !found.found ? "MISSED" : worst <= kTolerance ? "good" : "WRONG";
        }
        if (verbose) {
            std::printf("%-6s %s: %s; confidence %.2f, worst corner %.2f %%, %.1f ms\n",
                        verdict.c_str(), sample.family.c_str(), sample.description.c_str(),
                        found.confidence, 100.0 * worst, milliseconds);
        }
        if (!keep.empty()) Keep(keep, number, sample, found, verdict);
        ++number;
        return found;
    };

    for (const std::string& family : zentrel::quad_accuracy::Families()) {
        for (int n = 0; n < perFamily; ++n) {
            run(zentrel::quad_accuracy::MakeSample(photos, family, random));
        }
    }
    std::vector<std::pair<std::string, zentrel::FoundQuad>> known;
    for (const Sample& sample : photos.known) known.emplace_back(sample.family, run(sample));

    std::printf("\n| %-16s | %6s | %8s | %16s | %18s | %8s |\n", "composites", "images", "found",
                "corners in 1.5 %", "median worst corner", "median ms");
    std::printf("|%s|%s|%s|%s|%s|%s|\n", std::string(18, '-').c_str(),
                std::string(8, '-').c_str(), std::string(10, '-').c_str(),
                std::string(18, '-').c_str(), std::string(20, '-').c_str(),
                std::string(10, '-').c_str());
    Tally composites;
    const std::vector<std::string>& families = zentrel::quad_accuracy::Families();
    for (std::size_t f = 0; f + 1 < families.size(); ++f) {
        PrintRow(families[f], tallies[families[f]]);
        composites.Add(tallies[families[f]]);
    }
    PrintRow("all composites", composites);

    const Tally& negatives = tallies[families.back()];
    std::printf("\n| %-16s | %6s | %10s | %11s | %8s |\n", "negatives", "images", "none found",
                "false quads", "median ms");
    std::printf("|%s|%s|%s|%s|%s|\n", std::string(18, '-').c_str(), std::string(8, '-').c_str(),
                std::string(12, '-').c_str(), std::string(13, '-').c_str(),
                std::string(10, '-').c_str());
    std::printf("| %-16s | %6d | %10s | %11d | %8.1f |\n", "all", negatives.images,
                Percent(negatives.images - negatives.found, negatives.images).c_str(),
                negatives.found, Median(negatives.milliseconds));

    if (!known.empty()) {
        std::printf("\n| %-18s | %5s | %10s | %12s |\n", "photo", "found", "confidence",
                    "worst corner");
        std::printf("|%s|%s|%s|%s|\n", std::string(20, '-').c_str(), std::string(7, '-').c_str(),
                    std::string(12, '-').c_str(), std::string(14, '-').c_str());
        for (std::size_t k = 0; k < known.size(); ++k) {
            const zentrel::FoundQuad& found = known[k].second;
            std::printf("| %-18s | %5s | %10.2f | %10.2f %% |\n", known[k].first.c_str(),
                        found.found ? "yes" : "no", found.confidence,
                        found.found ? 100.0 * WorstCorner(found, photos.known[k]) : 100.0);
        }
    }
    return 0;
} catch (const std::exception& error) {
    std::fprintf(stderr, "%s\n", error.what());
    return 2;
}
