// Resolution metadata in a build without exiv2: none is read or written.
#include "resolution_metadata.h"

namespace zentrel {

bool ResolutionMetadataSupported() { return false; }

std::optional<Resolution> ReadResolution(const std::string&) { return std::nullopt; }

bool RecordResolution(const std::string&, Resolution) { return false; }

}  // namespace zentrel
