// A second UTF-8 reader for the harnesses, written from the definition of
// well-formed sequences (the code points each length may carry) rather than
// from the table of byte ranges the library's readers use.
#pragma once

#include <algorithm>
#include <cstddef>

namespace zentrel::fuzz {

struct Utf8Step {
    std::size_t length;  // bytes taken: the sequence, or its maximal ill-formed subpart
    char32_t codePoint;  // U+FFFD when ill-formed
    bool wellFormed;
};

// Reads the sequence starting at `bytes[0]` (of `available` bytes, at least 1).
inline Utf8Step ReadUtf8(const unsigned char* bytes, std::size_t available) {
    const unsigned char lead = bytes[0];
    if (lead < 0x80) return {1, lead, true};
    std::size_t length = 0;
    char32_t minimum = 0;
    if ((lead & 0xE0) == 0xC0) {
        length = 2;
        minimum = 0x80;
    } else if ((lead & 0xF0) == 0xE0) {
        length = 3;
        minimum = 0x800;
    } else if ((lead & 0xF8) == 0xF0) {
        length = 4;
        minimum = 0x10000;
    } else {
        return {1, 0xFFFD, false};
    }
    const char32_t leadBits = lead & (0x7F >> length);

    // The first `known` bytes can begin a well-formed sequence when the code
    // points they may still become (the rest all 0x80 up to all 0xBF) include
    // a scalar value that needs exactly `length` bytes.
    const auto canBegin = [&](std::size_t known) {
        char32_t low = leadBits;
        char32_t high = leadBits;
        for (std::size_t i = 1; i < length; ++i) {
            low = (low << 6) | ((i < known ? bytes[i] : 0x80) & 0x3F);
            high = (high << 6) | ((i < known ? bytes[i] : 0xBF) & 0x3F);
        }
        low = std::max(low, minimum);
        high = std::min<char32_t>(high, 0x10FFFF);
        return low <= high && !(low >= 0xD800 && high <= 0xDFFF);
    };

    std::size_t known = 1;
    while (known < length && known < available && (bytes[known] & 0xC0) == 0x80 &&
           canBegin(known + 1)) {
        ++known;
    }
    if (known < length) return {known, 0xFFFD, false};
    char32_t codePoint = leadBits;
    for (std::size_t i = 1; i < length; ++i) codePoint = (codePoint << 6) | (bytes[i] & 0x3F);
    return {length, codePoint, true};
}

}  // namespace zentrel::fuzz
