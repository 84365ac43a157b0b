#include "image_path.h"

namespace zentrel::cli {

namespace {

std::size_t FileNameStart(const std::string& path) {
    const std::size_t slash = path.find_last_of('/');
    return slash == std::string::npos ? 0 : slash + 1;
}

}  // namespace

std::optional<ImagePathPieces> SplitImagePath(const std::string& path) {
    const std::size_t start = FileNameStart(path);
    const std::size_t dot = path.find_last_of('.');
    if (dot == std::string::npos || dot < start) return std::nullopt;
    return ImagePathPieces{path.substr(0, start), path.substr(start, dot - start),
                           path.substr(dot + 1)};
}

std::string ImageStem(const std::string& path) {
    const std::size_t start = FileNameStart(path);
    const std::size_t dot = path.find_last_of('.');
    if (dot == std::string::npos || dot <= start) return path.substr(start);
    return path.substr(start, dot - start);
}

}  // namespace zentrel::cli
