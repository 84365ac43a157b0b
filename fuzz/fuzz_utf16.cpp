// The UTF-8 to UTF-16 conversion behind ReturnPath on arbitrary bytes,
// checked against the harness's own reader: one U+FFFD per maximal
// ill-formed subpart, surrogate pairs above U+FFFF, the size query equal to
// what is written, and a destination one unit short refused. Source and
// destination are allocated at exactly their stated sizes.
//
// Input: a flags byte (bit 0: the source is NUL-terminated and its length
// given as -1), then the source bytes.
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <memory>
#include <string>

#include "fuzz_input.h"
#include "fuzz_support.h"
#include "platform_strings.h"
#include "utf8_reference.h"

namespace {

using zentrel::fuzz::Check;
using zentrel::platform::WideChar;

std::u16string Expected(const unsigned char* bytes, std::size_t total) {
    std::u16string units;
    for (std::size_t at = 0; at < total;) {
        const zentrel::fuzz::Utf8Step step = zentrel::fuzz::ReadUtf8(bytes + at, total - at);
        at += step.length;
        if (step.codePoint > 0xFFFF) {
            units += static_cast<char16_t>(0xD800 + ((step.codePoint - 0x10000) >> 10));
            units += static_cast<char16_t>(0xDC00 + ((step.codePoint - 0x10000) & 0x3FF));
        } else {
            units += static_cast<char16_t>(step.codePoint);
        }
    }
    return units;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    zentrel::fuzz::ByteReader input(data, size);
    const bool terminated = (input.Byte() & 1) != 0;
    std::string text = input.Text(input.Remaining());
    if (terminated) text = std::string(text.c_str()) + '\0';

    std::unique_ptr<char[]> source(new char[text.size()]);
    std::memcpy(source.get(), text.data(), text.size());
    const int sourceLength = terminated ? -1 : static_cast<int>(text.size());
    const std::u16string expected =
        Expected(reinterpret_cast<const unsigned char*>(source.get()), text.size());
    const int needed = static_cast<int>(expected.size());

    Check(zentrel::platform::NarrowToWide(source.get(), sourceLength, nullptr, 0) == needed,
          "the size query counts one unit per code point below U+10000, two above");
    if (needed == 0) return 0;

    std::unique_ptr<WideChar[]> exact(new WideChar[expected.size()]);
    Check(zentrel::platform::NarrowToWide(source.get(), sourceLength, exact.get(), needed) ==
              needed,
          "a destination of the queried size takes the whole conversion");
    Check(std::u16string(exact.get(), expected.size()) == expected,
          "the conversion differs from the reference reader");

    if (needed > 1) {
        std::unique_ptr<WideChar[]> shorter(new WideChar[expected.size() - 1]);
        Check(zentrel::platform::NarrowToWide(source.get(), sourceLength, shorter.get(),
                                              needed - 1) == 0,
              "a destination one unit short is refused");
    }
    return 0;
}
