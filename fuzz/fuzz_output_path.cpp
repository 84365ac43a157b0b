// The path side of a rectification on arbitrary bytes: joining savePath,
// name and extension into the 200-byte input path, deriving the "_pers"
// output path, and the bounded copy and append beneath both. Every buffer is
// allocated at exactly its stated size, so AddressSanitizer reports any
// access past it; the target checks what is refused and that a refused call
// leaves the buffer as it was.
//
// Input: a flags byte (bit 0: null source, bit 1: null destination), the
// three pieces and then the copy's destination size, the text already in
// the destination (unterminated when bit 2 is set) and the source, each
// piece after a length byte. A NUL inside a piece ends it as a C string.
#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <memory>
#include <string>
#include <vector>

#include "fuzz_input.h"
#include "fuzz_support.h"
#include "output_path.h"
#include "platform_strings.h"

namespace {

using zentrel::fuzz::Check;

struct JoinedPath {
    char path[zentrel::kInputPathCapacity];
};

std::string TraceText() {
    std::string text;
    for (const std::string& line : zentrel::fuzz::TakeTrace()) text += line + "\n";
    return text;
}

void CheckJoinAndDerive(const std::string& savePath, const std::string& name,
                        const std::string& ext) {
    const std::string joined = savePath + name + "." + ext;
    auto buffer = std::make_unique<JoinedPath>();
    const bool fits = joined.size() < zentrel::kInputPathCapacity;
    Check(zentrel::JoinInputPath(savePath.c_str(), name.c_str(), ext.c_str(), buffer->path) == fits,
          "the join accepts exactly the paths of at most 199 characters");
    Check(TraceText() == (fits ? "tmpSavePath = Original Image Path" + joined + "\n" : ""),
          "a join traces its path once, a refused join nothing");
    if (!fits) return;
    Check(buffer->path == joined, "the joined path is the three pieces with a dot");

    const std::string output = zentrel::DeriveOutputPath(joined, ext.size());
    Check(output == savePath + name + "_pers." + ext,
          "the output path puts _pers between the name and the extension's dot: " + output);
}

// `stated` bytes holding `before`: its characters, then a terminator if it
// fits and is wanted, then filler.
std::unique_ptr<char[]> Buffer(std::size_t stated, const std::string& before, bool terminated) {
    std::unique_ptr<char[]> buffer(new char[stated]);
    std::memset(buffer.get(), 0x5A, stated);
    std::memcpy(buffer.get(), before.data(), std::min(stated, before.size()));
    if (terminated && before.size() < stated) buffer[before.size()] = '\0';
    return buffer;
}

void CheckCopyAndAppend(std::uint8_t flags, std::size_t stated, const std::string& before,
                        const std::string& source) {
    const bool nullSource = (flags & 1) != 0;
    const bool nullDestination = (flags & 2) != 0;
    const bool terminated = (flags & 4) == 0;
    const char* from = nullSource ? nullptr : source.c_str();

    for (const bool append : {false, true}) {
        std::unique_ptr<char[]> buffer = Buffer(stated, before, terminated);
        char* to = nullDestination ? nullptr : buffer.get();
        const std::string original(buffer.get(), stated);
        const bool done = append ? zentrel::platform::AppendString(to, stated, from)
                                 : zentrel::platform::CopyString(to, stated, from);

        const std::size_t used = append ? strnlen(original.c_str(), stated) : 0;
        const bool fits = !nullSource && !nullDestination && used < stated &&
                          source.size() < stated - used;
        Check(done == fits, append ? "the append refuses exactly what does not fit"
                                   : "the copy refuses exactly what does not fit");
        std::string expected = original;
        if (fits) expected.replace(used, source.size() + 1, source + '\0');
        Check(std::string(buffer.get(), stated) == expected,
              done ? "only the source and its terminator are written"
                   : "a refused call leaves the buffer as it was");
    }
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
    zentrel::fuzz::PrepareProcess();
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    zentrel::fuzz::ByteReader input(data, size);
    const std::uint8_t flags = input.Byte();
    // As C strings, the way the library receives them.
    const auto piece = [&] { return std::string(input.Text(input.Byte()).c_str()); };
    const std::string savePath = piece();
    const std::string name = piece();
    const std::string ext = piece();
    CheckJoinAndDerive(savePath, name, ext);

    const std::size_t stated = input.Byte();
    const std::string before = piece();
    const std::string source = piece();
    CheckCopyAndAppend(flags, stated, before, source);
    return 0;
}
