// The tool's command line: subcommands, options and help texts.
#pragma once

#include <array>
#include <optional>
#include <stdexcept>
#include <string>
#include <vector>

namespace zentrel::cli {

enum class Command { Help, Version, Repeat, Rectify, Tile, Serve };

struct ServeOptions {
    std::string root = ".";
    int port = 8765;
    std::string host = "127.0.0.1";
    bool open = false;
    long long maxUpload = 256LL << 20;  // bytes
    double timeLimit = 60.0;            // seconds
    int queue = 64;
};

struct Options {
    Command command = Command::Help;
    // For Command::Help: "" for the tool, otherwise the subcommand's name.
    std::string helpTopic;
    std::vector<std::string> images;
    bool json = false;
    bool trace = false;
    std::optional<std::string> previewFolder;
    int jobs = 1;  // 0 for serve: one per core
    // x1,y1,x2,y2,x3,y3,x4,y4 as written on the command line.
    std::array<int, 8> corners{};
    // tile --export: the folder each NAME_tile.EXT is written into, and how
    // (ZENTREL_COMBINE_*, ZENTREL_FORMAT_*).
    std::optional<std::string> exportFolder;
    int combine = 0;
    bool flatten = false;
    double dpi = 0.0;
    int format = 1;
    // rectify --auto: the corners the library suggests instead.
    bool autoCorners = false;
    ServeOptions serve;
};

// A command line that cannot be run; the tool exits with status 2.
class UsageError : public std::runtime_error {
public:
    UsageError(const std::string& message, std::string topic)
        : std::runtime_error(message), topic_(std::move(topic)) {}
    // The subcommand whose --help would have helped, or "".
    const std::string& topic() const { return topic_; }

private:
    std::string topic_;
};

// `arguments` excludes the program name.
Options ParseCommandLine(const std::vector<std::string>& arguments);

// Eight comma-separated integers; nothing if the text is anything else.
std::optional<std::array<int, 8>> ParseCorners(const std::string& text);

std::string HelpText(const std::string& topic);
std::string VersionText();

}  // namespace zentrel::cli
