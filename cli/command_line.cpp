#include "command_line.h"

#include <cerrno>
#include <climits>
#include <cmath>
#include <cstdlib>
#include <map>

#include "image_path.h"
#include "zentrel/zentrel_ext.h"

namespace zentrel::cli {

namespace {

constexpr int kMaxJobs = 256;

const char* const kToolHelp =
    "Usage: zentrel COMMAND [OPTION]... IMAGE...\n"
    "Finds the repeat rectangle and the repeat unit of patterned images, and\n"
    "rectifies perspective.\n"
    "\n"
    "Commands:\n"
    "  repeat IMAGE...                 print the repeat rectangle of each image\n"
    "  tile IMAGE...                   print the repeat unit (tile size and match)\n"
    "                                  of each image\n"
    "  rectify IMAGE --corners LIST    warp a quadrilateral of IMAGE to an upright\n"
    "                                  rectangle saved as NAME_pers.EXT beside it\n"
    "  rectify IMAGE --auto            the same with the corners the library finds\n"
    "  serve [--root DIR]              serve a page for working on the images of a\n"
    "                                  folder in a web browser\n"
    "\n"
    "Options:\n"
    "  -h, --help     show this help, or a command's help after its name\n"
    "  --version      show the version\n"
    "\n"
    "Exit status: 0 when every image succeeded, 1 when any failed, 2 for a usage\n"
    "error. Results go to standard output, messages to standard error.\n"
    "Run 'zentrel COMMAND --help' for a command's options.\n";

const char* const kRepeatHelp =
    "Usage: zentrel repeat [OPTION]... IMAGE...\n"
    "Prints the repeat rectangle (the tile of the repeating pattern) of each\n"
    "image, one line per image in the order given:\n"
    "  PATH  X Y WIDTH HEIGHT\n"
    "An image that fails is named on standard error with the reason, and has no\n"
    "result line.\n"
    "\n"
    "Options:\n"
    "  --json           print one JSON array of objects with path, x, y, width,\n"
    "                   height, ok and error instead of text lines\n"
    "  --preview DIR    write NAME_repeat.png (the image, at most 1200 pixels wide,\n"
    "                   with the rectangle and the candidate centres drawn) and\n"
    "                   NAME_tile.png (the tile repeated 3 x 3) into DIR\n"
    "  -j, --jobs N     analyse with N worker processes (default 1); the output\n"
    "                   keeps the order of the arguments\n"
    "  --trace          copy the library's trace lines to standard error\n"
    "  --               end of options: every later argument is an image\n"
    "  -h, --help       show this help\n"
    "\n"
    "Exit status: 0 when every image succeeded, 1 when any failed, 2 for a usage\n"
    "error.\n";

const char* const kRectifyHelp =
    "Usage: zentrel rectify [OPTION]... IMAGE --corners X1,Y1,X2,Y2,X3,Y3,X4,Y4\n"
    "  or:  zentrel rectify [OPTION]... IMAGE --auto\n"
    "Warps the quadrilateral with the given corners (in any order) to an upright\n"
    "rectangle and saves it beside IMAGE as NAME_pers.EXT, in the format EXT\n"
    "names. Prints the path written.\n"
    "\n"
    "Options:\n"
    "  --corners LIST   the four corners as eight integers, x before y\n"
    "  --auto           use the corners of the dominant quadrilateral the library\n"
    "                   finds (a page, a painting, a sheet), rounded to whole\n"
    "                   pixels; fails when it finds none\n"
    "  --json           print a JSON object with path, output, ok and error; with\n"
    "                   --auto also corners (the four used, in the library's\n"
    "                   order) and confidence\n"
    "  --preview DIR    write NAME_quad.png into DIR: the image with the ordered\n"
    "                   corners and the quadrilateral drawn\n"
    "  --trace          copy the library's trace lines to standard error\n"
    "  --               end of options: every later argument is an image\n"
    "  -h, --help       show this help\n"
    "\n"
    "Exit status: 0 when the image was written, 1 when not (with --auto also when\n"
    "no quadrilateral was found), 2 for a usage error.\n";

const char* const kTileHelp =
    "Usage: zentrel tile [OPTION]... IMAGE...\n"
    "Prints the repeat unit of each image, one line per image in the order given:\n"
    "  PATH  WIDTH HEIGHT MATCH CONFIDENCE\n"
    "or 'PATH  no repeat'. WIDTH and HEIGHT are the tile's size in pixels (up to\n"
    "two decimals), MATCH is straight, half-drop, half-brick or other, and\n"
    "CONFIDENCE runs from 0 to 1. When neighbouring units are mirror images,\n"
    "WIDTH and HEIGHT are the unit's and MATCH names its axes: mirror-h (left and\n"
    "right), mirror-v (above and below) or mirror-hv. An image that fails is\n"
    "named on standard error with the reason, and has no result line.\n"
    "With --export, the tile itself is written too, and the line goes on:\n"
    "  PATH  WIDTH HEIGHT MATCH CONFIDENCE  TILE  W x H px, N repeats, seam S\n"
    "with ', W x H mm' where the resolution is known; an image without a repeat\n"
    "then fails.\n"
    "\n"
    "Options:\n"
    "  --json           print one JSON array of objects with path, found, width,\n"
    "                   height, match, vector_a, vector_b, origin, confidence,\n"
    "                   mirror, unit, region, ok and error instead of text lines\n"
    "                   (with --export also tile_path, tile_width_px,\n"
    "                   tile_height_px, repeats_combined, seam_score, width_mm\n"
    "                   and height_mm)\n"
    "  --export DIR     write each image's tile into DIR (which must exist) as\n"
    "                   NAME_tile.png: every repeat resampled to whole pixels\n"
    "                   and combined into the one image that, repeated with its\n"
    "                   match, reprints the pattern\n"
    "  --combine HOW    median (the default: ignores stains and glare on a few\n"
    "                   repeats), mean, or none (the best single repeat)\n"
    "  --flatten        divide out uneven lighting before combining\n"
    "  --dpi N          the resolution to record and report, whatever the image\n"
    "                   records (without it, the image's own, if any)\n"
    "  --format F       png (the default), tiff, or jpeg (lossy)\n"
    "  --preview DIR    write NAME_lattice.png (the image, at most 1200 pixels wide,\n"
    "                   with the region where the pattern holds, the lattice\n"
    "                   points inside it and one tile drawn) and NAME_unit.png\n"
    "                   (the tile repeated 3 x 3 with its match offset, or the\n"
    "                   mirrored unit with its flips) into DIR, for each image\n"
    "                   that repeats; with --export also NAME_seams.png (the\n"
    "                   exported tile repeated 3 x 3 with its match and shifted\n"
    "                   by half a tile, so that any seam crosses the middle)\n"
    "  -j, --jobs N     analyse with N worker processes (default 1); the output\n"
    "                   keeps the order of the arguments\n"
    "  --trace          copy the library's trace lines to standard error\n"
    "  --               end of options: every later argument is an image\n"
    "  -h, --help       show this help\n"
    "\n"
    "Exit status: 0 when every image was analysed (whether or not it repeats), 1\n"
    "when any failed, 2 for a usage error.\n";

const char* const kServeHelp =
    "Usage: zentrel serve [OPTION]...\n"
    "Serves a page for working on the images of a folder in a web browser: open\n"
    "an image (or drop one onto the page), see its repeat rectangle and repeat\n"
    "unit, place four corners and rectify, check the tile's seams and export it.\n"
    "Prints the page's address, with the token that every request must carry,\n"
    "and runs until interrupted. Uploads and exports live in a private temporary\n"
    "folder that is removed when the server stops.\n"
    "\n"
    "Options:\n"
    "  --root DIR       the folder whose images the page may open; rectified\n"
    "                   images are written beside their input (default: the\n"
    "                   current folder)\n"
    "  --port N         the port to listen on (default 8765; 0 picks a free one)\n"
    "  --host H         the address to listen on (default 127.0.0.1); any other\n"
    "                   lets other machines ask for the page (with the token)\n"
    "  --open           open the page in the desktop's web browser\n"
    "  --max-upload MB  the largest file the page may upload (default 256)\n"
    "  -j, --jobs N     run the library in N worker processes (default: one per\n"
    "                   processor, at most 8)\n"
    "  --time-limit S   stop a job that takes longer than S seconds (default 60)\n"
    "  --queue N        jobs that may wait for a worker; beyond them a request\n"
    "                   is answered 503 (default 64)\n"
    "  -h, --help       show this help\n"
    "\n"
    "Exit status: 0 when stopped by a signal, 1 when the server could not start,\n"
    "2 for a usage error.\n";

std::optional<int> ParseInt(const std::string& text) {
    if (text.empty()) return std::nullopt;
    errno = 0;
    char* end = nullptr;
    const long value = std::strtol(text.c_str(), &end, 10);
    if (errno != 0 || *end != '\0' || value < INT_MIN || value > INT_MAX) return std::nullopt;
    // strtol skips leading white space; a corner written " 5" is a typo.
    if (text.front() == ' ' || text.front() == '\t') return std::nullopt;
    return static_cast<int>(value);
}

// Matches "--name VALUE" and "--name=VALUE" (and "-jN" for the short -j).
class ArgumentCursor {
public:
    ArgumentCursor(const std::vector<std::string>& arguments, std::string topic)
        : arguments_(arguments), topic_(std::move(topic)) {}

    bool Done() const { return next_ >= arguments_.size(); }
    const std::string& Take() { return arguments_[next_++]; }

    // The option's value if `argument` is `name` or `name=...`.
    std::optional<std::string> ValueFor(const std::string& argument, const std::string& name) {
        if (argument == name) {
            if (Done()) throw UsageError("option '" + name + "' needs a value", topic_);
            return Take();
        }
        if (argument.compare(0, name.size() + 1, name + "=") == 0) {
            return argument.substr(name.size() + 1);
        }
        return std::nullopt;
    }

private:
    const std::vector<std::string>& arguments_;
    std::string topic_;
    std::size_t next_ = 0;
};

// A number with an optional fraction, within [low, high].
std::optional<double> ParseNumber(const std::string& text, double low, double high) {
    if (text.empty() || text.front() == ' ' || text.front() == '\t') return std::nullopt;
    errno = 0;
    char* end = nullptr;
    const double value = std::strtod(text.c_str(), &end);
    if (errno != 0 || *end != '\0' || !(value >= low && value <= high)) return std::nullopt;
    return value;
}

// The options only serve has; false if `argument` is none of them.
bool ParseServeOption(ArgumentCursor& cursor, const std::string& argument, ServeOptions& serve) {
    const auto number = [](const std::string& name, const std::string& value, double low,
                           double high, const std::string& what) {
        const std::optional<double> parsed = ParseNumber(value, low, high);
        if (!parsed) throw UsageError(name + " needs " + what + ", not '" + value + "'", "serve");
        return *parsed;
    };
    if (argument == "--open") {
        serve.open = true;
    } else if (auto root = cursor.ValueFor(argument, "--root")) {
        if (root->empty()) throw UsageError("--root needs a folder name", "serve");
        serve.root = *root;
    } else if (auto host = cursor.ValueFor(argument, "--host")) {
        if (host->empty()) throw UsageError("--host needs an address", "serve");
        serve.host = *host;
    } else if (auto port = cursor.ValueFor(argument, "--port")) {
        const std::optional<int> value = ParseInt(*port);
        if (!value || *value < 0 || *value > 65535) {
            throw UsageError("--port needs a port number from 0 to 65535, not '" + *port + "'",
                             "serve");
        }
        serve.port = *value;
    } else if (auto size = cursor.ValueFor(argument, "--max-upload")) {
        serve.maxUpload = static_cast<long long>(
            number("--max-upload", *size, 1, 1 << 20, "a size in megabytes from 1 to 1048576") *
            (1 << 20));
    } else if (auto limit = cursor.ValueFor(argument, "--time-limit")) {
        serve.timeLimit =
            number("--time-limit", *limit, 0.01, 86400, "a number of seconds up to 86400");
    } else if (auto queue = cursor.ValueFor(argument, "--queue")) {
        const std::optional<int> value = ParseInt(*queue);
        if (!value || *value < 0 || *value > 100000) {
            throw UsageError("--queue needs a number from 0 to 100000, not '" + *queue + "'",
                             "serve");
        }
        serve.queue = *value;
    } else {
        return false;
    }
    return true;
}

}  // namespace

std::optional<std::array<int, 8>> ParseCorners(const std::string& text) {
    std::array<int, 8> corners{};
    std::size_t start = 0;
    for (std::size_t k = 0; k < corners.size(); ++k) {
        const std::size_t comma = text.find(',', start);
        const bool last = k + 1 == corners.size();
        if (last != (comma == std::string::npos)) return std::nullopt;
        const std::optional<int> value =
            ParseInt(text.substr(start, last ? std::string::npos : comma - start));
        if (!value) return std::nullopt;
        corners[k] = *value;
        start = comma + 1;
    }
    return corners;
}

Options ParseCommandLine(const std::vector<std::string>& arguments) {
    Options options;
    if (arguments.empty()) throw UsageError("no command given", "");
    const std::string& first = arguments.front();
    if (first == "-h" || first == "--help") return options;
    if (first == "--version") {
        options.command = Command::Version;
        return options;
    }
    if (first == "repeat") {
        options.command = Command::Repeat;
    } else if (first == "rectify") {
        options.command = Command::Rectify;
    } else if (first == "tile") {
        options.command = Command::Tile;
    } else if (first == "serve") {
        options.command = Command::Serve;
        options.jobs = 0;
    } else if (!first.empty() && first[0] == '-') {
        throw UsageError("unknown option '" + first + "'", "");
    } else {
        throw UsageError("unknown command '" + first + "'", "");
    }
    const bool rectify = options.command == Command::Rectify;
    const bool serve = options.command == Command::Serve;

    const std::vector<std::string> rest(arguments.begin() + 1, arguments.end());
    ArgumentCursor cursor(rest, first);
    const bool tile = options.command == Command::Tile;
    bool cornersGiven = false;
    const char* exportOnly = nullptr;  // an option given that needs --export
    bool optionsEnded = false;
    while (!cursor.Done()) {
        const std::string argument = cursor.Take();
        if (optionsEnded || argument.empty() || argument[0] != '-' || argument == "-") {
            if (serve) throw UsageError("serve takes no image, but got '" + argument + "'", first);
            options.images.push_back(argument);
            continue;
        }
        if (argument == "--") {
            optionsEnded = true;
        } else if (argument == "-h" || argument == "--help") {
            Options help;
            help.helpTopic = first;
            return help;
        } else if (serve && ParseServeOption(cursor, argument, options.serve)) {
            continue;
        } else if (serve && (argument == "--json" || argument == "--trace" ||
                             argument.compare(0, 9, "--preview") == 0)) {
            throw UsageError("unknown option '" + argument + "'", first);
        } else if (argument == "--json") {
            options.json = true;
        } else if (argument == "--trace") {
            options.trace = true;
        } else if (auto folder = cursor.ValueFor(argument, "--preview")) {
            if (folder->empty()) throw UsageError("--preview needs a folder name", first);
            options.previewFolder = *folder;
        } else if (argument == "--auto" && rectify) {
            options.autoCorners = true;
        } else if (auto corners = cursor.ValueFor(argument, "--corners"); corners && rectify) {
            const auto parsed = ParseCorners(*corners);
            if (!parsed) {
                throw UsageError(
                    "--corners needs eight integers separated by commas, not '" + *corners + "'",
                    first);
            }
            options.corners = *parsed;
            cornersGiven = true;
        } else if (auto folder = cursor.ValueFor(argument, "--export"); folder && tile) {
            if (folder->empty()) throw UsageError("--export needs a folder name", first);
            options.exportFolder = *folder;
        } else if (auto how = cursor.ValueFor(argument, "--combine"); how && tile) {
            if (*how == "median") {
                options.combine = ZENTREL_COMBINE_MEDIAN;
            } else if (*how == "mean") {
                options.combine = ZENTREL_COMBINE_MEAN;
            } else if (*how == "none") {
                options.combine = ZENTREL_COMBINE_NONE;
            } else {
                throw UsageError("--combine takes median, mean or none, not '" + *how + "'", first);
            }
            exportOnly = "--combine";
        } else if (argument == "--flatten" && tile) {
            options.flatten = true;
            exportOnly = "--flatten";
        } else if (auto dpi = cursor.ValueFor(argument, "--dpi"); dpi && tile) {
            char* end = nullptr;
            errno = 0;
            const double value = std::strtod(dpi->c_str(), &end);
            if (dpi->empty() || *end != '\0' || errno != 0 || !std::isfinite(value) ||
                !(value > 0.0) || value >= 1e5) {
                throw UsageError(
                    "--dpi needs a resolution above 0 and below 100000, not '" + *dpi + "'", first);
            }
            options.dpi = value;
            exportOnly = "--dpi";
        } else if (auto format = cursor.ValueFor(argument, "--format"); format && tile) {
            if (*format == "png") {
                options.format = ZENTREL_FORMAT_PNG;
            } else if (*format == "tiff" || *format == "tif") {
                options.format = ZENTREL_FORMAT_TIFF;
            } else if (*format == "jpeg" || *format == "jpg") {
                options.format = ZENTREL_FORMAT_JPEG;
            } else {
                throw UsageError("--format takes png, tiff or jpeg, not '" + *format + "'", first);
            }
            exportOnly = "--format";
        } else if (!rectify && (argument == "-j" || argument.compare(0, 2, "-j") == 0 ||
                                argument == "--jobs" || argument.compare(0, 7, "--jobs=") == 0)) {
            std::optional<std::string> value;
            if (argument.compare(0, 6, "--jobs") == 0) {
                value = cursor.ValueFor(argument, "--jobs");
            } else if (argument.size() > 2) {
                value = argument.substr(2);
            } else {
                value = cursor.ValueFor(argument, "-j");
            }
            const std::optional<int> jobs = ParseInt(*value);
            if (!jobs || *jobs < 1 || *jobs > kMaxJobs) {
                throw UsageError("-j needs a number of processes from 1 to " +
                                     std::to_string(kMaxJobs) + ", not '" + *value + "'",
                                 first);
            }
            options.jobs = *jobs;
        } else {
            throw UsageError("unknown option '" + argument + "'", first);
        }
    }

    if (options.images.empty() && !serve) throw UsageError("no image given", first);
    if (exportOnly != nullptr && !options.exportFolder) {
        throw UsageError(std::string(exportOnly) + " goes with --export", first);
    }
    if (options.exportFolder) {
        // Every tile is written as FOLDER/NAME_tile.EXT: a later image with the
        // same name would replace an earlier one's tile without a word.
        std::map<std::string, const std::string*> byStem;
        for (const std::string& image : options.images) {
            const auto [seen, added] = byStem.emplace(ImageStem(image), &image);
            if (!added && *seen->second != image) {
                throw UsageError("'" + *seen->second + "' and '" + image + "' would both export " +
                                     seen->first + "_tile; export them into different folders",
                                 first);
            }
        }
    }
    if (rectify) {
        if (options.images.size() > 1) throw UsageError("rectify takes one image", first);
        if (cornersGiven == options.autoCorners) {
            throw UsageError(cornersGiven ? "rectify takes --corners or --auto, not both"
                                          : "rectify needs --corners or --auto",
                             first);
        }
    }
    return options;
}

std::string HelpText(const std::string& topic) {
    if (topic == "repeat") return kRepeatHelp;
    if (topic == "rectify") return kRectifyHelp;
    if (topic == "tile") return kTileHelp;
    if (topic == "serve") return kServeHelp;
    return kToolHelp;
}

std::string VersionText() { return std::string("zentrel ") + ZENTREL_VERSION_STRING + "\n"; }

}  // namespace zentrel::cli
