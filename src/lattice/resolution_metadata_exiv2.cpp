// Resolution metadata through exiv2 (the TIFF resolution tags, in TIFF
// files and in the Exif of JPEG and PNG files, and XMP's), and through
// libpng for a PNG's own physical pixel size, which exiv2 leaves alone.
// exiv2 does not rewrite a TIFF's own resolution tags either; the TIFF
// encoder writes them.
#include <png.h>

#include <algorithm>
#include <cctype>
#include <cmath>
#include <cstdio>
#include <exiv2/exiv2.hpp>
#include <filesystem>
#include <mutex>
#include <stdexcept>
#include <vector>

#include "resolution_metadata.h"

namespace zentrel {

namespace {

constexpr double kMetresPerInch = 0.0254;
constexpr double kCentimetresPerInch = 2.54;
// TIFF's ResolutionUnit: 1 no unit (an aspect ratio only), 2 inch, 3 cm.
constexpr long kUnitNone = 1;
constexpr long kUnitCentimetre = 3;
// A resolution beyond this is a broken file, not a print.
constexpr double kMostPerInch = 1e5;

bool Plausible(double perInch) {
    return std::isfinite(perInch) && perInch > 0.0 && perInch < kMostPerInch;
}

void PrepareExiv2() {
    static std::once_flag once;
    std::call_once(once, [] {
        // exiv2 writes its warnings to the host's standard error otherwise.
        Exiv2::LogMsg::setLevel(Exiv2::LogMsg::mute);
        Exiv2::XmpParser::initialize();
    });
}

std::string ExtensionOf(const std::string& path) {
    std::string extension = std::filesystem::path(path).extension().string();
    std::transform(extension.begin(), extension.end(), extension.begin(),
                   [](unsigned char c) { return static_cast<char>(std::tolower(c)); });
    return extension;
}

bool IsPng(const std::string& path) { return ExtensionOf(path) == ".png"; }

bool IsJpeg(const std::string& path) {
    const std::string extension = ExtensionOf(path);
    return extension == ".jpg" || extension == ".jpeg";
}

void QuietWarning(png_structp, png_const_charp) {}

// libpng reports errors by a long jump back to the setjmp of the struct:
// each of these functions sets it first and modifies no local after it.

bool ReadPhysical(png_structp png, png_infop info, std::FILE* file, png_uint_32* x, png_uint_32* y,
                  int* unit) {
    if (setjmp(png_jmpbuf(png)) != 0) return false;
    png_init_io(png, file);
    png_read_info(png, info);
    return png_get_pHYs(png, info, x, y, unit) != 0;
}

bool ReadWhole(png_structp png, png_infop info, std::FILE* file) {
    if (setjmp(png_jmpbuf(png)) != 0) return false;
    png_init_io(png, file);
    png_read_png(png, info, PNG_TRANSFORM_IDENTITY, nullptr);
    return true;
}

// Writes what `reader` read, with the physical pixel size set.
bool WriteWhole(png_structp reader, png_infop read, png_structp png, png_infop info,
                std::FILE* file, png_uint_32 perMetreX, png_uint_32 perMetreY) {
    if (setjmp(png_jmpbuf(png)) != 0) return false;
    png_set_IHDR(png, info, png_get_image_width(reader, read), png_get_image_height(reader, read),
                 png_get_bit_depth(reader, read), png_get_color_type(reader, read),
                 png_get_interlace_type(reader, read), PNG_COMPRESSION_TYPE_DEFAULT,
                 PNG_FILTER_TYPE_DEFAULT);
    png_set_rows(png, info, png_get_rows(reader, read));
    png_set_pHYs(png, info, perMetreX, perMetreY, PNG_RESOLUTION_METER);
    png_init_io(png, file);
    png_write_png(png, info, PNG_TRANSFORM_IDENTITY, nullptr);
    return true;
}

bool ReadPngPhysical(const std::string& path, png_uint_32* x, png_uint_32* y, int* unit) {
    std::FILE* file = std::fopen(path.c_str(), "rb");
    if (file == nullptr) return false;
    png_structp png = png_create_read_struct(PNG_LIBPNG_VER_STRING, nullptr, nullptr, QuietWarning);
    png_infop info = png != nullptr ? png_create_info_struct(png) : nullptr;
    const bool found = info != nullptr && ReadPhysical(png, info, file, x, y, unit);
    png_destroy_read_struct(&png, info != nullptr ? &info : nullptr, nullptr);
    std::fclose(file);
    return found;
}

// Reads the whole PNG at `path` and writes it back with its physical pixel
// size set; the pixels pass through unchanged.
bool RewritePngPhysical(const std::string& path, png_uint_32 perMetreX, png_uint_32 perMetreY) {
    std::FILE* in = std::fopen(path.c_str(), "rb");
    if (in == nullptr) return false;
    png_structp reader =
        png_create_read_struct(PNG_LIBPNG_VER_STRING, nullptr, nullptr, QuietWarning);
    png_infop read = reader != nullptr ? png_create_info_struct(reader) : nullptr;
    const bool loaded = read != nullptr && ReadWhole(reader, read, in);
    std::fclose(in);
    bool done = false;
    if (loaded) {
        png_structp writer =
            png_create_write_struct(PNG_LIBPNG_VER_STRING, nullptr, nullptr, QuietWarning);
        png_infop info = writer != nullptr ? png_create_info_struct(writer) : nullptr;
        std::FILE* out = info != nullptr ? std::fopen(path.c_str(), "wb") : nullptr;
        if (out != nullptr) {
            done = WriteWhole(reader, read, writer, info, out, perMetreX, perMetreY);
            done = std::fclose(out) == 0 && done;
        }
        png_destroy_write_struct(&writer, info != nullptr ? &info : nullptr);
    }
    png_destroy_read_struct(&reader, read != nullptr ? &read : nullptr, nullptr);
    return done;
}

std::optional<Resolution> PngResolution(const std::string& path) {
    png_uint_32 x = 0, y = 0;
    int unit = 0;
    if (!ReadPngPhysical(path, &x, &y, &unit) || unit != PNG_RESOLUTION_METER) {
        return std::nullopt;
    }
    // Whole pixels per metre cannot say 300 dpi exactly (11811 is 299.9994):
    // within what rounding to them moves, the resolution was a whole number.
    const auto perInch = [](png_uint_32 perMetre) {
        const double value = perMetre * kMetresPerInch;
        return std::abs(value - std::round(value)) <= kMetresPerInch / 2 ? std::round(value) : value;
    };
    const Resolution resolution{perInch(x), perInch(y)};
    if (!Plausible(resolution.x) || !Plausible(resolution.y)) return std::nullopt;
    return resolution;
}

// The value of `key` in `data` as a number; none when absent or unreadable.
template <typename Data, typename Key>
std::optional<double> Number(const Data& data, const char* key) {
    const auto found = data.findKey(Key(key));
    if (found == data.end() || found->count() == 0) return std::nullopt;
    const double value = found->toFloat(0);
    if (!std::isfinite(value)) return std::nullopt;
    return value;
}

template <typename Data, typename Key>
std::optional<Resolution> TaggedResolution(const Data& data, const char* x, const char* y,
                                           const char* unit) {
    const std::optional<double> across = Number<Data, Key>(data, x);
    const std::optional<double> down = Number<Data, Key>(data, y);
    if (!across || !down) return std::nullopt;
    // Absent, the unit is the inch (TIFF's default).
    const long units = static_cast<long>(Number<Data, Key>(data, unit).value_or(2.0));
    if (units == kUnitNone) return std::nullopt;
    const double factor = units == kUnitCentimetre ? kCentimetresPerInch : 1.0;
    const Resolution resolution{*across * factor, *down * factor};
    if (!Plausible(resolution.x) || !Plausible(resolution.y)) return std::nullopt;
    return resolution;
}

Exiv2::URational Rational(double value) {
    const long scale = 1000;
    return {static_cast<std::uint32_t>(std::lround(value * scale)), scale};
}

}  // namespace

bool ResolutionMetadataSupported() { return true; }

std::optional<Resolution> ReadResolution(const std::string& path) {
    if (IsPng(path)) {
        if (const std::optional<Resolution> own = PngResolution(path)) return own;
    }
    try {
        PrepareExiv2();
        const auto image = Exiv2::ImageFactory::open(path);
        image->readMetadata();
        if (const auto exif = TaggedResolution<Exiv2::ExifData, Exiv2::ExifKey>(
                image->exifData(), "Exif.Image.XResolution", "Exif.Image.YResolution",
                "Exif.Image.ResolutionUnit")) {
            return exif;
        }
        return TaggedResolution<Exiv2::XmpData, Exiv2::XmpKey>(
            image->xmpData(), "Xmp.tiff.XResolution", "Xmp.tiff.YResolution",
            "Xmp.tiff.ResolutionUnit");
    } catch (const std::exception&) {
        // A file exiv2 cannot parse records nothing it can tell.
        return std::nullopt;
    }
}

bool RecordResolution(const std::string& path, Resolution resolution) {
    if (!Plausible(resolution.x) || !Plausible(resolution.y)) {
        throw std::runtime_error("a resolution of " + std::to_string(resolution.x) + " x " +
                                 std::to_string(resolution.y) + " pixels per inch is no print's");
    }
    if (IsPng(path)) {
        if (!RewritePngPhysical(
                path, static_cast<png_uint_32>(std::lround(resolution.x / kMetresPerInch)),
                static_cast<png_uint_32>(std::lround(resolution.y / kMetresPerInch)))) {
            throw std::runtime_error("cannot record the resolution in " + path);
        }
        return true;
    }
    if (!IsJpeg(path)) return false;
    try {
        PrepareExiv2();
        const auto image = Exiv2::ImageFactory::open(path);
        image->readMetadata();
        Exiv2::ExifData& exif = image->exifData();
        exif["Exif.Image.XResolution"] = Rational(resolution.x);
        exif["Exif.Image.YResolution"] = Rational(resolution.y);
        exif["Exif.Image.ResolutionUnit"] = static_cast<std::uint16_t>(2);
        image->writeMetadata();
    } catch (const std::exception& error) {
        throw std::runtime_error("cannot record the resolution in " + path + ": " + error.what());
    }
    return true;
}

}  // namespace zentrel
