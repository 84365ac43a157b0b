// The physical resolution an image file records, read from it and written
// into it. Builds with exiv2 read PNG, JPEG and TIFF and write PNG and JPEG
// (a TIFF takes its resolution when it is encoded: exiv2 leaves a TIFF's
// own resolution tags alone); builds without it (ZENTREL_WITH_EXIV2=OFF)
// read nothing and write nothing.
#pragma once

#include <optional>
#include <string>

namespace zentrel {

// Pixels per inch across and down.
struct Resolution {
    double x = 0.0;
    double y = 0.0;
};

// Whether this build reads and writes resolution metadata at all.
bool ResolutionMetadataSupported();

// The resolution recorded in the image file at `path`: a PNG's physical
// pixel size, or the TIFF resolution tags (in TIFF, in a JPEG's or a PNG's
// Exif), or XMP's; none when the file records none, records only an aspect
// ratio, or cannot be read.
std::optional<Resolution> ReadResolution(const std::string& path);

// Records `resolution` in the PNG or JPEG file at `path`, written already
// (a PNG's physical pixel size; a JPEG's Exif resolution, in inches).
// Returns false when this build cannot, or for another format; throws
// std::runtime_error when the file cannot be rewritten.
bool RecordResolution(const std::string& path, Resolution resolution);

}  // namespace zentrel
