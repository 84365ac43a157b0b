// Trace text the tests and the fuzzers expect, written once.
#pragma once

#include <sstream>
#include <string>

namespace zentrel::testing {

// The result line that the repeat analysis traces for a rectangle given as
// x, y, width, height (any indexable container of four ints).
template <typename Rectangle>
std::string ResultLine(const Rectangle& rectangle) {
    std::ostringstream line;
    line << "Repeat_x = " << rectangle[0] << " Repeat_y = " << rectangle[1]
         << " Repeat_width = " << rectangle[2] << " Repeat_height = " << rectangle[3];
    return line.str();
}

// An ASCII string as the UTF-16 that ReturnPath gives for it.
inline std::u16string Utf16(const std::string& ascii) { return {ascii.begin(), ascii.end()}; }

}  // namespace zentrel::testing
