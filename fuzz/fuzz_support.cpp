#include "fuzz_support.h"

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <sstream>

#include <opencv2/core/utils/logger.hpp>

#include "trace.h"

namespace zentrel::fuzz {

namespace fs = std::filesystem;

namespace {
std::ostringstream traceText;
}  // namespace

void Check(bool holds, const std::string& what) {
    if (!holds) Fail(what);
}

void Fail(const std::string& what) {
    std::fprintf(stderr, "invariant broken: %s\n", what.c_str());
    std::fflush(stderr);
    std::abort();
}

ScratchFolder& PrepareProcess() {
    // The imaging library reads these at its first decode. A megapixel is
    // plenty to reach every decoder path and keeps memory out of the way.
    setenv("OPENCV_IO_MAX_IMAGE_PIXELS", "1048576", 1);
    setenv("OPENCV_IO_MAX_IMAGE_WIDTH", "16384", 1);
    setenv("OPENCV_IO_MAX_IMAGE_HEIGHT", "16384", 1);
    cv::utils::logging::setLogLevel(cv::utils::logging::LOG_LEVEL_ERROR);
    SetTraceStream(&traceText);
    static ScratchFolder folder;
    return folder;
}

std::vector<std::string> TakeTrace() {
    std::istringstream text(traceText.str());
    traceText.str("");
    traceText.clear();
    std::vector<std::string> lines;
    for (std::string line; std::getline(text, line);) lines.push_back(line);
    return lines;
}

ScratchFolder::ScratchFolder() {
    std::string pattern = (fs::temp_directory_path() / "zentrel-fuzz-XXXXXX").string();
    Check(mkdtemp(pattern.data()) != nullptr, "cannot create a scratch folder");
    outer_ = pattern + "/";
    work_ = outer_ + "work/";
    fs::create_directory(work_);
}

ScratchFolder::~ScratchFolder() {
    std::error_code ignored;
    fs::remove_all(outer_, ignored);
}

std::vector<std::string> ScratchFolder::WorkEntries() const {
    std::vector<std::string> names;
    for (const auto& entry : fs::directory_iterator(work_)) {
        names.push_back(entry.path().filename().string());
    }
    std::sort(names.begin(), names.end());
    return names;
}

void ScratchFolder::CheckNothingEscaped() const {
    for (const auto& entry : fs::directory_iterator(outer_)) {
        Check(entry.path().filename() == "work",
              "a file was written outside the work folder: " + entry.path().string());
    }
}

void ScratchFolder::Clear() const {
    for (const auto& entry : fs::directory_iterator(work_)) fs::remove_all(entry.path());
}

bool WriteFile(const std::string& path, const std::string& bytes) {
    std::ofstream file(path, std::ios::binary);
    if (!file) return false;
    file.write(bytes.data(), static_cast<std::streamsize>(bytes.size()));
    return static_cast<bool>(file);
}

long CountAfter(const std::string& line, const std::string& label) {
    if (!StartsWith(line, label) || line.size() == label.size()) return -1;
    long value = 0;
    for (std::size_t i = label.size(); i < line.size(); ++i) {
        if (line[i] < '0' || line[i] > '9' || value > 1'000'000'000) return -1;
        value = value * 10 + (line[i] - '0');
    }
    return value;
}

bool StartsWith(const std::string& text, const std::string& prefix) {
    return text.compare(0, prefix.size(), prefix) == 0;
}

}  // namespace zentrel::fuzz
