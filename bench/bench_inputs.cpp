#include "bench_inputs.h"

#include <fstream>
#include <stdexcept>

#include <opencv2/imgcodecs.hpp>
#include <opencv2/imgproc.hpp>

namespace zentrel::bench {

cv::Mat NoisePattern(cv::Size workingTile, cv::Size size, int type) {
    const int scale = size.width / 600;
    if (scale < 1 || size.width != 600 * scale || size.height != 450 * scale) {
        throw std::invalid_argument("pattern sizes are multiples of 600 x 450");
    }
    cv::Mat tile(workingTile, CV_8UC3);
    cv::RNG random(12345);
    random.fill(tile, cv::RNG::UNIFORM, 0, 256);
    cv::GaussianBlur(tile, tile, cv::Size(), 1.0);
    // Drawn at the working width and enlarged, so that the working image of
    // every size shows the same pattern.
    cv::resize(tile, tile, workingTile * scale, 0, 0, cv::INTER_CUBIC);

    cv::Mat typed;
    switch (type) {
        case CV_8UC1: cv::cvtColor(tile, typed, cv::COLOR_BGR2GRAY); break;
        case CV_8UC3: typed = tile; break;
        case CV_16UC3: tile.convertTo(typed, CV_16UC3, 257.0); break;
        default: throw std::invalid_argument("unsupported pattern type");
    }
    cv::Mat pattern;
    cv::repeat(typed, size.height / typed.rows + 1, size.width / typed.cols + 1, pattern);
    return pattern(cv::Rect({0, 0}, size)).clone();
}

void WriteImage(const std::string& path, const cv::Mat& image) {
    if (!cv::imwrite(path, image)) throw std::runtime_error("cannot write " + path);
}

namespace {

long long StatusKilobytes(const std::string& field) {
    std::ifstream status("/proc/self/status");
    for (std::string line; std::getline(status, line);) {
        if (line.compare(0, field.size() + 1, field + ":") == 0) {
            return std::stoll(line.substr(field.size() + 1)) * 1024;
        }
    }
    return -1;
}

}  // namespace

long long PeakResidentBytes() { return StatusKilobytes("VmHWM"); }
long long ResidentBytes() { return StatusKilobytes("VmRSS"); }

bool ResetPeakResident() {
    std::ofstream clearRefs("/proc/self/clear_refs");
    clearRefs << "5";
    clearRefs.close();
    return static_cast<bool>(clearRefs);
}

}  // namespace zentrel::bench
