// The tool's command-line parser and JSON string writer on arbitrary
// arguments. The parser either refuses with a usage error or returns options
// that hold together; corners it accepts read back the same once printed.
// Every argument, as a JSON string, must be valid JSON in valid UTF-8 that
// reads back as the argument with each byte that starts no well-formed
// sequence replaced by U+FFFD.
//
// Input: the arguments, separated by NUL bytes.
#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <exception>
#include <string>
#include <vector>

#include "command_line.h"
#include "fuzz_support.h"
#include "json_text.h"
#include "utf8_reference.h"

namespace {

using zentrel::cli::Command;
using zentrel::cli::Options;
using zentrel::fuzz::Check;
using zentrel::fuzz::Fail;

constexpr std::size_t kMaxArguments = 64;

void AppendUtf8(std::string& out, char32_t codePoint) {
    if (codePoint < 0x80) {
        out += static_cast<char>(codePoint);
    } else if (codePoint < 0x800) {
        out += static_cast<char>(0xC0 | (codePoint >> 6));
        out += static_cast<char>(0x80 | (codePoint & 0x3F));
    } else if (codePoint < 0x10000) {
        out += static_cast<char>(0xE0 | (codePoint >> 12));
        out += static_cast<char>(0x80 | ((codePoint >> 6) & 0x3F));
        out += static_cast<char>(0x80 | (codePoint & 0x3F));
    } else {
        out += static_cast<char>(0xF0 | (codePoint >> 18));
        out += static_cast<char>(0x80 | ((codePoint >> 12) & 0x3F));
        out += static_cast<char>(0x80 | ((codePoint >> 6) & 0x3F));
        out += static_cast<char>(0x80 | (codePoint & 0x3F));
    }
}

std::string Utf8Valid(const std::string& text) {
    std::string out;
    const auto* bytes = reinterpret_cast<const unsigned char*>(text.data());
    for (std::size_t at = 0; at < text.size();) {
        const zentrel::fuzz::Utf8Step step = zentrel::fuzz::ReadUtf8(bytes + at, text.size() - at);
        if (step.wellFormed) {
            out.append(text, at, step.length);
            at += step.length;
        } else {
            AppendUtf8(out, 0xFFFD);
            ++at;  // the writer replaces byte by byte
        }
    }
    return out;
}

int HexDigit(char c) {
    if (c >= '0' && c <= '9') return c - '0';
    if (c >= 'a' && c <= 'f') return c - 'a' + 10;
    if (c >= 'A' && c <= 'F') return c - 'A' + 10;
    return -1;
}

// Reads a JSON string literal by the JSON grammar; aborts when it is not one.
std::string ReadJsonString(const std::string& json) {
    if (Utf8Valid(json) != json) Fail("JSON text must be UTF-8: " + json);
    if (json.size() < 2 || json.front() != '"' || json.back() != '"') {
        Fail("a JSON string is quoted: " + json);
    }
    std::string text;
    for (std::size_t i = 1; i + 1 < json.size(); ++i) {
        const auto c = static_cast<unsigned char>(json[i]);
        if (c < 0x20 || c == '"') Fail("unescaped quote or control character in " + json);
        if (c != '\\') {
            text += json[i];
            continue;
        }
        if (i + 2 >= json.size()) Fail("an escape runs into the closing quote: " + json);
        const char kind = json[++i];
        const std::string simple = "\"\\/bfnrt";
        const std::string meaning = "\"\\/\b\f\n\r\t";
        if (const auto at = simple.find(kind); at != std::string::npos) {
            text += meaning[at];
            continue;
        }
        if (kind != 'u' || i + 4 >= json.size() - 1) Fail("not a JSON escape in " + json);
        char32_t unit = 0;
        for (int k = 0; k < 4; ++k) {
            const int digit = HexDigit(json[++i]);
            if (digit < 0) Fail("\\u needs four hex digits: " + json);
            unit = unit * 16 + static_cast<char32_t>(digit);
        }
        if (unit >= 0xD800 && unit <= 0xDFFF) Fail("the writer never escapes surrogates: " + json);
        AppendUtf8(text, unit);
    }
    return text;
}

bool IsArgument(const std::vector<std::string>& arguments, const std::string& value) {
    return std::find(arguments.begin() + 1, arguments.end(), value) != arguments.end();
}

void CheckOptions(const std::vector<std::string>& arguments, const Options& options) {
    const std::string& first = arguments.front();
    switch (options.command) {
        case Command::Help:
            Check(options.helpTopic.empty()
                      ? first == "-h" || first == "--help"
                      : options.helpTopic == first &&
                            (first == "repeat" || first == "rectify" || first == "tile" ||
                             first == "serve"),
                  "help is asked for first, or after a command, which is its topic");
            return;
        case Command::Version:
            Check(first == "--version", "--version only as the first argument");
            return;
        case Command::Repeat:
        case Command::Tile:
            Check(first == (options.command == Command::Repeat ? "repeat" : "tile"),
                  "repeat and tile options from their own command lines");
            Check(options.jobs >= 1 && options.jobs <= 256, "-j takes 1 to 256 processes");
            Check(!options.images.empty(), "repeat and tile need an image");
            break;
        case Command::Rectify:
            Check(first == "rectify", "rectify options from a rectify command line");
            Check(options.images.size() == 1, "rectify takes one image");
            Check(options.jobs == 1, "rectify has no -j");
            break;
        case Command::Serve:
            Check(first == "serve", "serve options from a serve command line");
            Check(options.images.empty(), "serve takes no image");
            Check(options.serve.port >= 0 && options.serve.port <= 65535, "a port number");
            Check(options.serve.maxUpload > 0 && options.serve.timeLimit > 0,
                  "an upload limit and a time limit above zero");
            break;
    }
    for (const std::string& image : options.images) {
        if (!IsArgument(arguments, image)) Fail("an image that is no argument: " + image);
    }
    Check(!options.previewFolder || !options.previewFolder->empty(), "a preview folder has a name");
}

void CheckCorners(const std::string& text) {
    const auto corners = zentrel::cli::ParseCorners(text);
    if (!corners) return;
    if (std::count(text.begin(), text.end(), ',') != 7) Fail("corners are eight values: " + text);
    std::string printed;
    for (const int value : *corners)
        printed += (printed.empty() ? "" : ",") + std::to_string(value);
    if (zentrel::cli::ParseCorners(printed) != corners) Fail("printed corners read back: " + text);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    std::vector<std::string> arguments(1);
    for (std::size_t i = 0; i < size && arguments.size() <= kMaxArguments; ++i) {
        if (data[i] == '\0') {
            arguments.emplace_back();
        } else {
            arguments.back() += static_cast<char>(data[i]);
        }
    }

    for (const std::string& argument : arguments) {
        if (ReadJsonString(zentrel::cli::JsonString(argument)) != Utf8Valid(argument)) {
            Fail("the JSON string does not read back as its argument: " + argument);
        }
        CheckCorners(argument);
    }

    try {
        CheckOptions(arguments, zentrel::cli::ParseCommandLine(arguments));
    } catch (const zentrel::cli::UsageError& error) {
        Check(error.what()[0] != '\0', "a usage error says what is wrong");
    } catch (const std::exception& error) {
        Fail(std::string("the parser threw something other than a usage error: ") + error.what());
    }
    return 0;
}
