// JSON text for the tool's --json output.
#pragma once

#include <string>

namespace zentrel::cli {

// `text` as a JSON string literal, quotes included. A Linux file name may hold
// bytes that are not UTF-8; each such byte becomes U+FFFD so that the document
// stays valid JSON.
std::string JsonString(const std::string& text);

}  // namespace zentrel::cli
