// How close the exported tile comes to the truth: tilings made from tiles
// cut out of real photos, degraded as the six cases below say, estimated and
// exported as a user would (EstimateLattice, then ExtractTile), and compared
// with the true tile after aligning the phase. Each figure stands beside the
// baseline measured on the same files: the best single repeat cut out alone
// (Combine::Best).
//
//   zentrel_tile_quality [--quick] [--seed N] [--verbose] FOLDER...
//
// Photos are the .png and .jpg files of the folders whose names hold no
// "_tile" (those are tilings already).
#include <algorithm>
#include <cmath>
#include <cstdio>
#include <cstring>
#include <exception>
#include <filesystem>
#include <functional>
#include <limits>
#include <opencv2/core/utility.hpp>
#include <opencv2/imgcodecs.hpp>
#include <opencv2/imgproc.hpp>
#include <random>
#include <string>
#include <vector>

#include "lattice.h"
#include "test_images.h"
#include "tile_extract.h"

namespace {

using zentrel::lattice::Combine;
using zentrel::lattice::ExtractTile;
using zentrel::lattice::Lattice;
using zentrel::testing::RepeatTile;
using zentrel::testing::TileOffset;

struct Settings {
    int images = 12;
    unsigned seed = 19;
    bool verbose = false;
    std::vector<std::string> folders;
};

// A generated test: the image, the true tile and how it is laid out.
struct Sample {
    cv::Mat image;
    cv::Mat truth;  // at the image's own scale
    TileOffset offset = TileOffset::None;
    cv::Size period;     // of the tiling before any rescaling
    double scale = 1.0;  // of the image against that tiling
    std::string name;
};

// The lattice the image was made with (its phase is left to the export).
Lattice TrueLattice(const Sample& sample) {
    const double w = sample.period.width;
    const double h = sample.period.height;
    Lattice lattice;
    lattice.found = true;
    lattice.match = zentrel::lattice::MatchType::Straight;
    lattice.vectorA = {w, 0};
    lattice.vectorB = {0, h};
    if (sample.offset == TileOffset::HalfDrop) {
        lattice.match = zentrel::lattice::MatchType::HalfDrop;
        lattice.vectorA = {w, -std::floor(h / 2)};
    } else if (sample.offset == TileOffset::HalfBrick) {
        lattice.match = zentrel::lattice::MatchType::HalfBrick;
        lattice.vectorA = {-std::floor(w / 2), h};
        lattice.vectorB = {w, 0};
    }
    lattice.vectorA *= sample.scale;
    lattice.vectorB *= sample.scale;
    lattice.width = w * sample.scale;
    lattice.height = h * sample.scale;
    return lattice;
}

// What one export gave against the truth.
struct Outcome {
    bool done = false;  // a tile of the true size came back
    double psnr = 0.0;
    double seam = 0.0;
    bool identical = false;
    std::string error;
};

double Peak(int depth) { return depth == CV_16U ? 65535.0 : 255.0; }

double Psnr(double meanSquare, int depth) {
    if (meanSquare <= 0.0) return std::numeric_limits<double>::infinity();
    return 10.0 * std::log10(Peak(depth) * Peak(depth) / meanSquare);
}

// The window of the truth's tiling that `tile` matches best, found at whole
// pixels and refined to sub-pixel: the mean squared difference at the better
// of the two.
double PhaseAlignedError(const cv::Mat& tile, const cv::Mat& truth, TileOffset offset,
                         bool* identical) {
    // Any tile of the pattern, however described (a half-drop may come back
    // as the half-brick of the same lattice), is a window of its tiling.
    const cv::Mat tiling = RepeatTile(truth, tile.size() + truth.size() * 3, offset);
    cv::Mat a, b, scores;
    tile.convertTo(a, CV_32F);
    tiling(cv::Rect({}, tile.size() + truth.size() * 2)).convertTo(b, CV_32F);
    cv::matchTemplate(b, a, scores, cv::TM_SQDIFF);
    cv::Point at;
    cv::minMaxLoc(scores, nullptr, nullptr, &at);
    const double values = static_cast<double>(tile.total() * tile.channels());
    const double whole = cv::norm(tile, tiling(cv::Rect(at, tile.size())), cv::NORM_L2SQR) / values;
    *identical = whole == 0.0;
    if (at.x == 0 || at.y == 0 || at.x == scores.cols - 1 || at.y == scores.rows - 1) return whole;
    const auto score = [&](int dx, int dy) { return scores.at<float>(at.y + dy, at.x + dx); };
    const auto vertex = [](double before, double middle, double after) {
        const double bend = before - 2.0 * middle + after;
        return bend > 0.0 ? std::clamp(0.5 * (before - after) / bend, -0.5, 0.5) : 0.0;
    };
    const double dx = vertex(score(-1, 0), score(0, 0), score(1, 0));
    const double dy = vertex(score(0, -1), score(0, 0), score(0, 1));
    const cv::Matx23d shift(1, 0, at.x + dx, 0, 1, at.y + dy);
    cv::Mat moved;
    cv::warpAffine(tiling, moved, shift, tile.size(), cv::INTER_CUBIC | cv::WARP_INVERSE_MAP);
    return std::min(whole, cv::norm(tile, moved, cv::NORM_L2SQR) / values);
}

Outcome Export(const Sample& sample, const Lattice& lattice,
               zentrel::lattice::ExtractOptions options) {
    Outcome outcome;
    try {
        const zentrel::lattice::ExtractedTile found = ExtractTile(sample.image, lattice, options);
        outcome.seam = found.seamScore;
        if (found.tile.total() != sample.truth.total()) {  // another description is fine
            outcome.error = "tile " + std::to_string(found.tile.cols) + " x " +
                            std::to_string(found.tile.rows) + ", truth " +
                            std::to_string(sample.truth.cols) + " x " +
                            std::to_string(sample.truth.rows);
            return outcome;
        }
        outcome.done = true;
        outcome.psnr =
            Psnr(PhaseAlignedError(found.tile, sample.truth, sample.offset, &outcome.identical),
                 sample.truth.depth());
    } catch (const std::exception& error) {
        outcome.error = error.what();
    }
    return outcome;
}

class Generator {
public:
    Generator(const Settings& settings) : random_(settings.seed) {
        for (const std::string& folder : settings.folders) {
            for (const auto& entry : std::filesystem::directory_iterator(folder)) {
                const std::string name = entry.path().filename().string();
                const std::string ext = entry.path().extension().string();
                if ((ext != ".png" && ext != ".jpg") || name.find("_tile") != std::string::npos) {
                    continue;
                }
                cv::Mat photo = cv::imread(entry.path().string(), cv::IMREAD_COLOR);
                if (!photo.empty() && std::min(photo.cols, photo.rows) >= 200) {
                    photos_.push_back(photo);
                    names_.push_back(name);
                }
            }
        }
        if (photos_.empty()) throw std::runtime_error("no photos to cut tiles from");
    }

    int Uniform(int low, int high) {
        return std::uniform_int_distribution<int>(low, high)(random_);
    }

    // A tile cut from a photo, `low` to `high` pixels a side; `even` for
    // sides a half-drop or half-brick needs whole; `offGrid` for sides that
    // are no multiple of 8.
    cv::Mat Tile(int low, int high, bool even, bool offGrid, std::string& from) {
        const std::size_t which = static_cast<std::size_t>(Uniform(0, photos_.size() - 1));
        const cv::Mat& photo = photos_[which];
        from = names_[which];
        auto side = [&] {
            for (;;) {
                int s = Uniform(low, std::min(high, std::min(photo.cols, photo.rows) - 1));
                if (even) s &= ~1;
                if (!offGrid || s % 8 != 0) return s;
            }
        };
        const cv::Size size(side(), side());
        const cv::Point at(Uniform(0, photo.cols - size.width),
                           Uniform(0, photo.rows - size.height));
        return photo(cv::Rect(at, size)).clone();
    }

    // `tile` repeated `across` x `down` times and a part, from a random phase.
    cv::Mat Tiling(const cv::Mat& tile, TileOffset offset, double across, double down) {
        const cv::Size size(static_cast<int>(tile.cols * across),
                            static_cast<int>(tile.rows * down));
        return RepeatTile(tile, size, offset,
                          {Uniform(0, tile.cols - 1), Uniform(0, tile.rows - 1)});
    }

    void Noise(cv::Mat& image, double sigma) {
        cv::Mat noise(image.size(), CV_32FC(image.channels()));
        cv::theRNG().state = random_();
        cv::randn(noise, 0.0, sigma);
        cv::Mat values;
        image.convertTo(values, CV_32F);
        values += noise;
        values.convertTo(image, image.type());
    }

private:
    std::mt19937 random_;
    std::vector<cv::Mat> photos_;
    std::vector<std::string> names_;
};

double Median(std::vector<double> values) {
    if (values.empty()) return std::nan("");
    std::sort(values.begin(), values.end());
    const std::size_t n = values.size();
    return n % 2 == 1 ? values[n / 2] : 0.5 * (values[n / 2 - 1] + values[n / 2]);
}

// One line of the table: figures as medians over the case's images, the
// gain as the median of each image's gain over its own baseline.
void Row(const char* what, const std::vector<double>& figure, const std::vector<double>& baseline,
         const char* goal) {
    std::vector<double> done, base, gains;
    for (std::size_t k = 0; k < figure.size(); ++k) {
        if (!std::isnan(figure[k])) done.push_back(figure[k]);
        if (!std::isnan(baseline[k])) base.push_back(baseline[k]);
        if (!std::isnan(figure[k] - baseline[k])) gains.push_back(figure[k] - baseline[k]);
    }
    std::printf("| %-44s | %6zu | %7.2f | %8.2f | %+6.2f | %-30s |\n", what, done.size(),
                Median(done), Median(base), Median(gains), goal);
}

// The estimator's lattice, as a user gets it; where it misses the true
// lattice (none, or a cell of another area), the true one, so that the
// export is measured on every image (the misses are the estimator's, and
// counted apart).
Lattice LatticeFor(const Sample& sample, int& misses) {
    const Lattice found = zentrel::lattice::EstimateLattice(sample.image);
    const Lattice truth = TrueLattice(sample);
    const double cell = std::abs(truth.vectorA.cross(truth.vectorB));
    if (found.found &&
        std::abs(std::abs(found.vectorA.cross(found.vectorB)) - cell) < 0.03 * cell) {
        return found;
    }
    ++misses;
    return truth;
}

void Report(const Settings& settings, const Sample& sample, const char* what, const Outcome& o) {
    if (!settings.verbose && o.done) return;
    std::printf("  %-22s %-14s %s: %s psnr %.2f seam %.3f %s\n", sample.name.c_str(), what,
                o.done ? "ok" : "FAILED", o.identical ? "identical" : "", o.psnr, o.seam,
                o.error.c_str());
}

int Run(const Settings& settings) {
    cv::setNumThreads(1);
    Generator make(settings);
    const int n = settings.images;
    int failures = 0;
    const zentrel::lattice::ExtractOptions median{Combine::Median, false};
    const zentrel::lattice::ExtractOptions mean{Combine::Mean, false};
    const zentrel::lattice::ExtractOptions best{Combine::Best, false};
    const zentrel::lattice::ExtractOptions flatten{Combine::Median, true};

    // Each sample exported with `options` and as the baseline; PSNR per
    // sample, NaN where the export failed.
    struct Figures {
        std::vector<double> figure;
        std::vector<double> baseline;
        std::vector<double> seam;
        int identical = 0;
        int baselineIdentical = 0;
        int misses = 0;  // the estimator's, replaced by the true lattice
    };
    const auto measure = [&](const std::vector<Sample>& samples, const char* what,
                             zentrel::lattice::ExtractOptions options) {
        Figures f;
        for (const Sample& s : samples) {
            const Lattice lattice = LatticeFor(s, f.misses);
            const Outcome o = Export(s, lattice, options);
            const Outcome b = Export(s, lattice, best);
            Report(settings, s, what, o);
            failures += o.done ? 0 : 1;
            f.figure.push_back(o.done ? o.psnr : std::nan(""));
            f.baseline.push_back(b.done ? b.psnr : std::nan(""));
            f.seam.push_back(o.done ? o.seam : std::nan(""));
            f.identical += o.identical;
            f.baselineIdentical += b.identical;
        }
        return f;
    };
    const auto kept = [](const std::vector<double>& values) {
        std::vector<double> finite;
        for (const double v : values) {
            if (!std::isnan(v)) finite.push_back(v);
        }
        return finite;
    };
    const auto row = [&](const char* what, const Figures& f, const char* goal) {
        Row(what, f.figure, f.baseline, goal);
    };
    // The median over the samples of the difference of two exports of each.
    const auto paired = [&](const char* what, const Figures& a, const Figures& b,
                            const char* goal) {
        std::vector<double> differences;
        for (std::size_t k = 0; k < a.figure.size(); ++k) {
            const double d = a.figure[k] - b.figure[k];
            if (!std::isnan(d)) differences.push_back(d);
        }
        std::printf("| %-44s | %6zu | %+7.2f | %8s | %6s | %-30s |\n", what, differences.size(),
                    Median(differences), "", "", goal);
    };

    std::printf(
        "| case                                         | images |  figure | baseline |   gain | "
        "goal                           |\n");
    std::printf(
        "|----------------------------------------------|--------|---------|----------|--------|-"
        "-------------------------------|\n");
    int misses = 0;

    // 1. Lossless, every match, depth and alpha: bit for bit, no seam to see.
    {
        const TileOffset offsets[] = {TileOffset::None, TileOffset::HalfDrop,
                                      TileOffset::HalfBrick};
        const int types[] = {CV_8UC3, CV_8UC4, CV_16UC3};
        std::vector<Sample> samples;
        for (int k = 0; k < n; ++k) {
            Sample s;
            s.offset = offsets[k % 3];
            cv::Mat tile = make.Tile(40, 160, true, false, s.name);
            const int type = types[(k / 3) % 3];
            if (CV_MAT_CN(type) == 4) cv::cvtColor(tile, tile, cv::COLOR_BGR2BGRA);
            if (CV_MAT_DEPTH(type) == CV_16U) tile.convertTo(tile, type, 257.0);
            s.truth = tile;
            s.period = tile.size();
            s.image = make.Tiling(tile, s.offset, make.Uniform(50, 70) / 10.0,
                                  make.Uniform(50, 70) / 10.0);
            samples.push_back(s);
        }
        const Figures f = measure(samples, "lossless", median);
        misses += f.misses;
        const std::vector<double> seams = kept(f.seam);
        std::printf("| %-44s | %6d | %7d | %8d | %6s | %-30s |\n",
                    "lossless: tiles identical to the truth", n, f.identical, f.baselineIdentical,
                    "", "all");
        std::printf("| %-44s | %6zu | %7.3f | %8s | %6s | %-30s |\n", "lossless: worst seam score",
                    seams.size(),
                    seams.empty() ? 0.0 : *std::max_element(seams.begin(), seams.end()), "", "",
                    "at most 1.02");
    }

    // 2 to 5 share their making: a colour tiling of 16 or more repeats,
    // degraded by `degrade`.
    const auto series = [&](int low, int high, bool offGrid,
                            const std::function<void(cv::Mat&, cv::Mat&)>& degrade) {
        std::vector<Sample> samples;
        for (int k = 0; k < n; ++k) {
            Sample s;
            s.truth = make.Tile(low, high, false, offGrid, s.name);
            s.period = s.truth.size();
            s.image = make.Tiling(s.truth, TileOffset::None, make.Uniform(50, 70) / 10.0,
                                  make.Uniform(40, 60) / 10.0);
            degrade(s.image, s.truth);
            samples.push_back(s);
        }
        return samples;
    };

    // 2. Gaussian noise.
    {
        const auto noisy =
            series(40, 120, false, [&](cv::Mat& image, cv::Mat&) { make.Noise(image, 10.0); });
        const Figures f = measure(noisy, "noise", median);
        misses += f.misses;
        row("noise sigma 10: median (dB)", f, "8 dB above the baseline");
        row("noise sigma 10: mean (dB)", measure(noisy, "noise, mean", mean), "");
    }

    // 3. JPEG at quality 60, sides no multiple of 8.
    {
        const auto jpeg = series(40, 120, true, [&](cv::Mat& image, cv::Mat&) {
            std::vector<uchar> bytes;
            cv::imencode(".jpg", image, bytes, {cv::IMWRITE_JPEG_QUALITY, 60});
            image = cv::imdecode(bytes, cv::IMREAD_UNCHANGED);
        });
        const Figures f = measure(jpeg, "jpeg", median);
        misses += f.misses;
        row("JPEG quality 60: median (dB)", f, "3 dB above the baseline");
        row("JPEG quality 60: mean (dB)", measure(jpeg, "jpeg, mean", mean), "");
    }

    // 4. An opaque blob over a tenth of the image, with sigma 5 noise; the
    // same images without it.
    {
        const std::vector<Sample> clean =
            series(40, 120, false, [&](cv::Mat& image, cv::Mat&) { make.Noise(image, 5.0); });
        std::vector<Sample> blotted = clean;
        for (Sample& s : blotted) {
            s.image = s.image.clone();
            const int radius = static_cast<int>(std::sqrt(0.1 * s.image.total() / CV_PI));
            const cv::Point centre(make.Uniform(radius, s.image.cols - radius),
                                   make.Uniform(radius, s.image.rows - radius));
            cv::circle(s.image, centre, radius,
                       cv::Scalar(make.Uniform(0, 255), make.Uniform(0, 255), make.Uniform(0, 255)),
                       cv::FILLED);
        }
        const Figures without = measure(clean, "blob: none", median);
        const Figures with = measure(blotted, "blob", median);
        const Figures meanWithout = measure(clean, "blob: none, mean", mean);
        const Figures meanWith = measure(blotted, "blob, mean", mean);
        misses += with.misses;
        row("blob 10 %, sigma 5: median, no blob (dB)", without, "");
        row("blob 10 %, sigma 5: median (dB)", with, "");
        paired("blob 10 %: median, blob against none (dB)", with, without, "within 1 dB");
        row("blob 10 %, sigma 5: mean, no blob (dB)", meanWithout, "");
        row("blob 10 %, sigma 5: mean (dB)", meanWith, "");
        paired("blob 10 %: mean, blob against none (dB)", meanWith, meanWithout, "(shown)");
    }

    // 5. Light varying by 40 % across the image, with sigma 5 noise; the
    // tiles kept clear of white so the light clips nothing.
    {
        const std::vector<Sample> even =
            series(40, 120, false, [&](cv::Mat& image, cv::Mat& truth) {
                image.convertTo(image, -1, 0.75, 16);
                truth.convertTo(truth, -1, 0.75, 16);
                make.Noise(image, 5.0);
            });
        std::vector<Sample> lit = even;
        for (Sample& s : lit) {
            cv::Mat values;
            s.image.convertTo(values, CV_32FC3);
            const double angle = make.Uniform(0, 359) * CV_PI / 180.0;
            const double dx = std::cos(angle), dy = std::sin(angle);
            const double reach = std::abs(dx) * values.cols + std::abs(dy) * values.rows;
            const double start = std::min(0.0, dx * values.cols) + std::min(0.0, dy * values.rows);
            for (int y = 0; y < values.rows; ++y) {
                for (int x = 0; x < values.cols; ++x) {
                    const double along = (dx * x + dy * y - start) / reach;  // 0 to 1
                    values.at<cv::Vec3f>(y, x) *= static_cast<float>(1.2 - 0.4 * along);
                }
            }
            s.image = cv::Mat();  // shared with the evenly lit copy until now
            values.convertTo(s.image, CV_8UC3);
        }
        const Figures evenPlain = measure(even, "even light", median);
        const Figures litFlat = measure(lit, "uneven light, flatten", flatten);
        const Figures litPlain = measure(lit, "uneven light", median);
        misses += litFlat.misses;
        row("even light, sigma 5: median (dB)", evenPlain, "");
        row("light +-20 %, sigma 5: median, flatten (dB)", litFlat, "");
        paired("light: flatten against even light (dB)", litFlat, evenPlain, "within 2 dB");
        row("light +-20 %, sigma 5: median (dB)", litPlain, "");
        paired("light: no flatten against even light (dB)", litPlain, evenPlain, "(shown)");
    }

    // 6. Rescaled by 1.37: the period is no whole pixel count; the truth is
    // the tile resampled to the size exported.
    {
        const double scale = 1.37;
        std::vector<Sample> samples;
        for (int k = 0; k < n; ++k) {
            Sample s;
            const cv::Mat tile = make.Tile(40, 100, false, false, s.name);
            s.period = tile.size();
            s.scale = scale;
            const cv::Mat tiling = make.Tiling(tile, TileOffset::None, make.Uniform(60, 80) / 10.0,
                                               make.Uniform(50, 70) / 10.0);
            cv::resize(tiling, s.image, {}, scale, scale, cv::INTER_CUBIC);
            const cv::Size size(static_cast<int>(std::lround(tile.cols * scale)),
                                static_cast<int>(std::lround(tile.rows * scale)));
            // Resampled from three by three copies, so that its edges wrap.
            cv::Mat big;
            cv::resize(RepeatTile(tile, tile.size() * 3, TileOffset::None), big, size * 3, 0, 0,
                       cv::INTER_CUBIC);
            s.truth = big(cv::Rect(cv::Point(size.width, size.height), size)).clone();
            samples.push_back(s);
        }
        const Figures f = measure(samples, "rescaled", median);
        misses += f.misses;
        row("rescaled by 1.37: median (dB)", f, "30 dB");
    }
    std::printf(
        "\nThe estimator missed the true lattice on %d of the images above; they were "
        "exported with the true one.\n",
        misses);
    if (failures > 0) std::printf("%d exports failed (see above)\n", failures);
    return failures == 0 ? 0 : 1;
}

}  // namespace

int main(int argc, char** argv) try {
    Settings settings;
    for (int k = 1; k < argc; ++k) {
        const std::string arg = argv[k];
        if (arg == "--quick") {
            settings.images = 4;
        } else if (arg == "--verbose") {
            settings.verbose = true;
        } else if (arg == "--seed" && k + 1 < argc) {
            settings.seed = static_cast<unsigned>(std::stoul(argv[++k]));
        } else if (arg == "--images" && k + 1 < argc) {
            settings.images = std::stoi(argv[++k]);
        } else {
            settings.folders.push_back(arg);
        }
    }
    return Run(settings);
} catch (const std::exception& error) {
    std::fprintf(stderr, "zentrel_tile_quality: %s\n", error.what());
    return 2;
}
