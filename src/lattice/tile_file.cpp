#include "tile_file.h"

#include <algorithm>
#include <cmath>
#include <cctype>
#include <filesystem>
#include <fstream>
#include <opencv2/imgcodecs.hpp>
#include <opencv2/imgproc.hpp>
#include <random>
#include <system_error>
#include <vector>

#include "refusal.h"
#include "trace.h"

namespace zentrel {

namespace {

namespace fs = std::filesystem;

// JPEG is written only when named; then at a quality that keeps the tile.
constexpr int kJpegQuality = 95;

[[noreturn]] void Refuse(const std::string& message) {
    throw Refusal(Refusal::Cause::Output, message);
}

std::string Lower(std::string text) {
    std::transform(text.begin(), text.end(), text.begin(),
                   [](unsigned char c) { return static_cast<char>(std::tolower(c)); });
    return text;
}

const char* ExtensionOf(TileFormat format) {
    switch (format) {
        case TileFormat::Tiff:
            return ".tif";
        case TileFormat::Jpeg:
            return ".jpg";
        default:
            return ".png";
    }
}

fs::path FolderOf(const fs::path& path) {
    return path.has_parent_path() ? path.parent_path() : fs::path(".");
}

// A name in `output`'s folder that nothing uses yet, ending in the format's
// extension (the encoder goes by it).
fs::path TemporaryBeside(const fs::path& output, TileFormat format) {
    std::random_device device;
    for (int attempt = 0; attempt < 100; ++attempt) {
        const fs::path candidate =
            FolderOf(output) / ("." + output.filename().string() + ".zentrel-" +
                                std::to_string(device()) + ExtensionOf(format));
        std::error_code error;
        if (!fs::exists(candidate, error) && !error) return candidate;
    }
    Refuse("no temporary name is free beside " + output.string());
}

}  // namespace

const char* TileFormatName(TileFormat format) {
    switch (format) {
        case TileFormat::Tiff:
            return "TIFF";
        case TileFormat::Jpeg:
            return "JPEG";
        default:
            return "PNG";
    }
}

std::optional<TileFormat> FormatOfExtension(const std::string& path) {
    const std::string extension = Lower(fs::path(path).extension().string());
    if (extension == ".png") return TileFormat::Png;
    if (extension == ".tif" || extension == ".tiff") return TileFormat::Tiff;
    if (extension == ".jpg" || extension == ".jpeg") return TileFormat::Jpeg;
    return std::nullopt;
}

TileFormat CheckTileOutput(const std::string& output, const std::string& input, TileFormat asked) {
    const fs::path path(output);
    if (output.empty() || !path.has_filename()) {
        Refuse("the tile's output path \"" + output + "\" names no file");
    }
    std::error_code error;
    const fs::path folder = FolderOf(path);
    if (!fs::is_directory(folder, error)) {
        Refuse("the tile's output folder " + folder.string() + " does not exist");
    }
    if (fs::exists(path, error)) {
        if (fs::is_directory(path, error))
            Refuse("the tile's output path " + output + " is a folder");
        if (fs::equivalent(path, fs::path(input), error)) {
            Refuse("the tile's output path " + output +
                   " is the input image itself; it is never written over");
        }
        const fs::perms mode = fs::status(path, error).permissions();
        if ((mode & fs::perms::owner_write) == fs::perms::none) {
            Refuse("the tile's output file " + output + " is read-only; it is kept as it is");
        }
    }
    const std::optional<TileFormat> named = FormatOfExtension(output);
    if (asked == TileFormat::ByExtension) {
        if (!named) {
            Refuse("the tile's output path " + output +
                   " ends in no image format the export writes (.png, .tif, .tiff, .jpg, .jpeg)");
        }
        return *named;
    }
    if (named && *named != asked) {
        Refuse(Format("the tile's output path ", output, " names another format than the ",
                      TileFormatName(asked), " asked for"));
    }
    return asked;
}

void CheckFormatHolds(TileFormat format, int depth, int channels, const std::string& output) {
    const bool whole = depth == CV_8U || depth == CV_16U;
    if (format == TileFormat::Png && !whole) {
        Refuse("PNG holds 8 or 16 bits, not the floating-point values of this image; write " +
               output + " as TIFF");
    }
    if (format == TileFormat::Jpeg && (depth != CV_8U || channels == 2 || channels == 4)) {
        Refuse("JPEG holds 8-bit grey or colour without alpha; write " + output +
               " as PNG or TIFF to keep this image's " + (depth != CV_8U ? "depth" : "alpha"));
    }
    if (format == TileFormat::Tiff && !whole && depth != CV_32F) {
        Refuse("TIFF here holds 8 or 16 bits or 32-bit floating point; " + output +
               " cannot hold this image's values");
    }
}

bool WriteTileFile(const cv::Mat& tile, const std::string& output, TileFormat format,
                   std::optional<Resolution> resolution) {
    // The encoders take grey, colour and colour with alpha; grey with alpha
    // becomes colour with alpha, losing nothing.
    cv::Mat pixels = tile;
    if (tile.channels() == 2) {
        std::vector<cv::Mat> parts;
        cv::split(tile, parts);
        cv::merge(std::vector<cv::Mat>{parts[0], parts[0], parts[0], parts[1]}, pixels);
    }
    std::vector<int> parameters;
    if (format == TileFormat::Jpeg) parameters = {cv::IMWRITE_JPEG_QUALITY, kJpegQuality};
    // TIFF's encoder records the resolution itself, in whole pixels per inch.
    const bool encodedResolution = format == TileFormat::Tiff && resolution;
    if (encodedResolution) {
        parameters = {cv::IMWRITE_TIFF_RESUNIT, 2,
                      cv::IMWRITE_TIFF_XDPI, static_cast<int>(std::lround(resolution->x)),
                      cv::IMWRITE_TIFF_YDPI, static_cast<int>(std::lround(resolution->y))};
    }
    std::vector<uchar> bytes;
    try {
        if (!cv::imencode(ExtensionOf(format), pixels, bytes, parameters)) {
            Refuse(Format("the imaging library could not encode the tile as ",
                          TileFormatName(format), " for ", output));
        }
    } catch (const cv::Exception& error) {
        Refuse(Format("the imaging library could not encode the tile as ", TileFormatName(format),
                      " for ", output, ": ", error.err));
    }

    const fs::path path(output);
    const fs::path temporary = TemporaryBeside(path, format);
    const auto discard = [&] {
        std::error_code ignored;
        fs::remove(temporary, ignored);
    };
    {
        std::ofstream file(temporary, std::ios::binary);
        file.write(reinterpret_cast<const char*>(bytes.data()),
                   static_cast<std::streamsize>(bytes.size()));
        file.close();
        if (!file) {
            discard();
            Refuse("cannot write in the tile's output folder " + FolderOf(path).string());
        }
    }
    bool recorded = encodedResolution;
    if (resolution && !encodedResolution) {
        try {
            recorded = RecordResolution(temporary.string(), *resolution);
        } catch (const std::exception& error) {
            discard();
            Refuse(std::string("the tile's resolution could not be recorded: ") + error.what());
        }
    }
    std::error_code error;
    fs::rename(temporary, path, error);
    if (error) {
        discard();
        Refuse("cannot put the tile in place as " + output + ": " + error.message());
    }
    return recorded;
}

}  // namespace zentrel
