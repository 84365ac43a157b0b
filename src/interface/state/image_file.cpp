#include "image_file.h"

#include <cstdio>

#include <opencv2/imgcodecs.hpp>

#include "refusal.h"

namespace zentrel {

namespace {

[[noreturn]] void RefuseUnreadable(const std::string& path, const std::string& detail) {
    throw Refusal(Refusal::Cause::Unreadable, "Could not read image file: " + path + detail);
}

}  // namespace

cv::Mat ReadImageFile(const std::string& path) {
    // The decoder logs a warning of its own on standard error for a file it
    // cannot open. The host may share the imaging library with us, so its log
    // level is not ours to change; such files stop here instead. Reading one
    // byte also turns away folders, which open like files on Linux.
    std::FILE* file = std::fopen(path.c_str(), "rb");
    if (file == nullptr) RefuseUnreadable(path, "");
    const bool readable = std::fgetc(file) != EOF || !std::ferror(file);
    std::fclose(file);
    if (!readable) RefuseUnreadable(path, "");
    cv::Mat image;
    try {
        image = cv::imread(path, cv::IMREAD_UNCHANGED);
    } catch (const cv::Exception& error) {
        // A header beyond the decoder's limits: the file's fault, not ours.
        RefuseUnreadable(path, " (the decoder stopped: " + error.err + ")");
    }
    if (image.empty()) RefuseUnreadable(path, "");
    return image;
}

bool HoldsJpeg(const std::string& path) {
    std::FILE* file = std::fopen(path.c_str(), "rb");
    if (file == nullptr) return false;
    unsigned char start[3] = {};
    const std::size_t read = std::fread(start, 1, sizeof start, file);
    std::fclose(file);
    // Start of image, then the first marker.
    return read == sizeof start && start[0] == 0xFF && start[1] == 0xD8 && start[2] == 0xFF;
}

}  // namespace zentrel
