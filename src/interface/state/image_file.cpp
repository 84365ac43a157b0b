#include "image_file.h"

#include <cstdio>

#include <opencv2/imgcodecs.hpp>

namespace zentrel {

cv::Mat ReadImageFile(const std::string& path) {
    // The decoder logs a warning of its own on standard error for a file it
    // cannot open. The host may share the imaging library with us, so its log
    // level is not ours to change; such files stop here instead. Reading one
    // byte also turns away folders, which open like files on Linux.
    std::FILE* file = std::fopen(path.c_str(), "rb");
    if (file == nullptr) return cv::Mat();
    const bool readable = std::fgetc(file) != EOF || !std::ferror(file);
    std::fclose(file);
    if (!readable) return cv::Mat();
    return cv::imread(path, cv::IMREAD_UNCHANGED);
}

}  // namespace zentrel
