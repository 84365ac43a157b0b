// Reading fuzz inputs: a cursor over the bytes for every target, and the
// byte layout of a rectification case, shared by its fuzz target and the
// seed generator.
#pragma once

#include <algorithm>
#include <array>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <string>

namespace zentrel::fuzz {

// Takes values from the front of a fuzz input. Bytes missing at the end read
// as zero, so that every input, however short, describes a whole case.
class ByteReader {
public:
    ByteReader(const std::uint8_t* data, std::size_t size) : data_(data), size_(size) {}

    std::uint8_t Byte() { return at_ < size_ ? data_[at_++] : 0; }

    // Little-endian.
    std::uint32_t Uint32() {
        std::uint32_t value = 0;
        for (int shift = 0; shift < 32; shift += 8) value |= std::uint32_t{Byte()} << shift;
        return value;
    }

    std::int32_t Int32() { return static_cast<std::int32_t>(Uint32()); }

    std::int16_t Int16() {
        const std::uint16_t low = Byte();
        return static_cast<std::int16_t>(low | static_cast<std::uint16_t>(Byte() << 8));
    }

    // Any bit pattern: NaN, infinities and subnormals included.
    float Float() {
        const std::uint32_t bits = Uint32();
        float value = 0.0f;
        std::memcpy(&value, &bits, sizeof value);
        return value;
    }

    // Up to `length` bytes, fewer when the input ends first.
    std::string Text(std::size_t length) {
        const std::size_t taken = std::min(length, Remaining());
        std::string text(reinterpret_cast<const char*>(data_) + at_, taken);
        at_ += taken;
        return text;
    }

    std::size_t Remaining() const { return size_ - std::min(at_, size_); }

private:
    const std::uint8_t* data_;
    std::size_t size_;
    std::size_t at_ = 0;
};

// A rectification case: eight little-endian 32-bit corners (x1..x4, y1..y4),
// a length byte and the image name, a length byte and the extension, then
// the image file itself.
struct RectifyCase {
    std::array<std::int32_t, 8> corners{};
    std::string name;
    std::string ext;
    std::string image;
};

inline RectifyCase DecodeRectifyCase(const std::uint8_t* data, std::size_t size) {
    RectifyCase decoded;
    ByteReader input(data, size);
    for (std::int32_t& corner : decoded.corners) corner = input.Int32();
    decoded.name = input.Text(input.Byte());
    decoded.ext = input.Text(input.Byte() % 32);
    decoded.image = input.Text(input.Remaining());
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
