// How the tool turns an image argument into the pieces the library joins.
#pragma once

#include <optional>
#include <string>

namespace zentrel::cli {

// SavePerspectiveImage reads savePath + imageName + "." + imageExt.
struct ImagePathPieces {
    std::string folder;     // with its trailing separator; empty for the current folder
    std::string name;       // the file name up to its last dot
    std::string extension;  // after that dot
};

// Nothing when the file name has no dot: the library always puts one between
// name and extension, so such a file could not be named to it.
std::optional<ImagePathPieces> SplitImagePath(const std::string& path);

// The file name without its extension ("a/b.c.png" gives "b.c"), for naming
// preview pictures.
std::string ImageStem(const std::string& path);

}  // namespace zentrel::cli
