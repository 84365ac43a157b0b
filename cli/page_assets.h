// The page `zentrel serve` serves, built into the tool from cli/page/ so that
// nothing needs installing beside it (cmake/embed_page.cmake writes the
// definitions).
#pragma once

#include <cstddef>
#include <string>

namespace zentrel::cli {

struct PageAsset {
    const char* name;  // the file's name in cli/page/
    const unsigned char* data;
    std::size_t size;
};

// The file called `name`, or null.
const PageAsset* FindPageAsset(const std::string& name);

}  // namespace zentrel::cli
