// The byte layout of a rectification case, shared by its fuzz target and the
// seed generator: eight little-endian 32-bit corners (x1..x4, y1..y4), a
// length byte and the image name, a length byte and the extension, then the
// image file itself. Bytes missing at the end read as zero.
#pragma once

#include <algorithm>
#include <array>
#include <cstddef>
#include <cstdint>
#include <string>

namespace zentrel::fuzz {

struct RectifyCase {
    std::array<std::int32_t, 8> corners{};
    std::string name;
    std::string ext;
    std::string image;
};

inline RectifyCase DecodeRectifyCase(const std::uint8_t* data, std::size_t size) {
    RectifyCase decoded;
    std::size_t at = 0;
    const auto next = [&]() -> std::uint8_t { return at < size ? data[at++] : 0; };
    for (std::int32_t& corner : decoded.corners) {
        std::uint32_t value = 0;
        for (int shift = 0; shift < 32; shift += 8) value |= std::uint32_t{next()} << shift;
        corner = static_cast<std::int32_t>(value);
    }
    const auto piece = [&](std::size_t limit) {
        const std::size_t length = std::min<std::size_t>(next() % limit, size - std::min(at, size));
        std::string text(reinterpret_cast<const char*>(data) + std::min(at, size), length);
        at += length;
        return text;
    };
    decoded.name = piece(256);
    decoded.ext = piece(32);
    if (at < size) decoded.image.assign(reinterpret_cast<const char*>(data) + at, size - at);
    return decoded;
}

inline std::string EncodeRectifyCase(const RectifyCase& input) {
    std::string bytes;
    for (const std::int32_t corner : input.corners) {
        const auto value = static_cast<std::uint32_t>(corner);
        for (int shift = 0; shift < 32; shift += 8) bytes += static_cast<char>((value >> shift) & 0xFF);
    }
    bytes += static_cast<char>(input.name.size());
    bytes += input.name;
    bytes += static_cast<char>(input.ext.size());
    bytes += input.ext;
    return bytes + input.image;
}

}  // namespace zentrel::fuzz
