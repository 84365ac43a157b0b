// Portable side of the platform layer. The narrow encoding outside Windows is
// UTF-8; ill-formed input is replaced the way Unicode recommends (one U+FFFD
// per maximal subpart), which is also what the Windows conversion does.
#ifndef _WIN32

#include <cstdint>
#include <cstring>

#include "platform_strings.h"

namespace zentrel::platform {

namespace {

constexpr char16_t kReplacement = 0xFFFD;

// Decodes one code point starting at `bytes[0]` (of `available` bytes) and
// returns how many bytes it took; `codePoint` is U+FFFD for an ill-formed
// sequence, which then covers its maximal subpart only.
std::size_t DecodeUtf8(const unsigned char* bytes, std::size_t available, char32_t& codePoint) {
    const unsigned char lead = bytes[0];
    if (lead < 0x80) {
        codePoint = lead;
        return 1;
    }
    std::size_t length = 0;
    unsigned char low = 0x80;  // allowed range of the second byte
    unsigned char high = 0xBF;
    if (lead >= 0xC2 && lead <= 0xDF) {
        length = 2;
        codePoint = lead & 0x1F;
    } else if (lead >= 0xE0 && lead <= 0xEF) {
        length = 3;
        codePoint = lead & 0x0F;
        if (lead == 0xE0) low = 0xA0;   // no overlong forms
        if (lead == 0xED) high = 0x9F;  // no surrogates
    } else if (lead >= 0xF0 && lead <= 0xF4) {
        length = 4;
        codePoint = lead & 0x07;
        if (lead == 0xF0) low = 0x90;
        if (lead == 0xF4) high = 0x8F;  // nothing above U+10FFFF
    } else {
        codePoint = kReplacement;
        return 1;
    }
    for (std::size_t i = 1; i < length; ++i) {
        const unsigned char next = i < available ? bytes[i] : 0;
        const bool inRange = i < available && next >= (i == 1 ? low : 0x80) &&
                             next <= (i == 1 ? high : 0xBF);
        if (!inRange) {
            codePoint = kReplacement;
            return i;
        }
        codePoint = (codePoint << 6) | (next & 0x3F);
    }
    return length;
}

}  // namespace

bool CopyString(char* destination, std::size_t destinationSize, const char* source) {
    if (destination == nullptr || source == nullptr || destinationSize == 0) return false;
    const std::size_t length = strnlen(source, destinationSize);
    if (length == destinationSize) return false;
    std::memcpy(destination, source, length + 1);
    return true;
}

bool AppendString(char* destination, std::size_t destinationSize, const char* source) {
    if (destination == nullptr || source == nullptr) return false;
    const std::size_t used = strnlen(destination, destinationSize);
    if (used == destinationSize) return false;
    return CopyString(destination + used, destinationSize - used, source);
}

int NarrowToWide(const char* source, int sourceLength, WideChar* destination,
                 int destinationLength) {
    if (source == nullptr || sourceLength < -1 || destinationLength < 0) return 0;
    const auto* bytes = reinterpret_cast<const unsigned char*>(source);
    const std::size_t total =
        sourceLength == -1 ? std::strlen(source) + 1 : static_cast<std::size_t>(sourceLength);

    // First pass counts, second pass writes: the caller may only ask for the size.
    std::size_t needed = 0;
    for (std::size_t at = 0; at < total;) {
        char32_t codePoint = 0;
        at += DecodeUtf8(bytes + at, total - at, codePoint);
        needed += codePoint > 0xFFFF ? 2 : 1;
    }
    if (needed > static_cast<std::size_t>(INT32_MAX)) return 0;
    if (destination == nullptr || destinationLength == 0) return static_cast<int>(needed);
    if (needed > static_cast<std::size_t>(destinationLength)) return 0;

    std::size_t written = 0;
    for (std::size_t at = 0; at < total;) {
        char32_t codePoint = 0;
        at += DecodeUtf8(bytes + at, total - at, codePoint);
        if (codePoint > 0xFFFF) {
            codePoint -= 0x10000;
            destination[written++] = static_cast<WideChar>(0xD800 + (codePoint >> 10));
            destination[written++] = static_cast<WideChar>(0xDC00 + (codePoint & 0x3FF));
        } else {
            destination[written++] = static_cast<WideChar>(codePoint);
        }
    }
    return static_cast<int>(written);
}

}  // namespace zentrel::platform

#endif  // !_WIN32
