// Trace lines: the library's only report to its host. Each line is formatted
// whole with the stream defaults (floats in general notation, six significant
// digits) in the classic locale, whatever the host made the global one, then
// written to the trace stream and flushed.
#pragma once

#include <locale>
#include <ostream>
#include <sstream>
#include <string>

namespace zentrel {

// Where trace lines go while no callback is set: standard output unless
// redirected; null drops them.
std::ostream* TraceStream();
void SetTraceStream(std::ostream* stream);

// A host's callback, which takes the lines instead of the trace stream while
// it is set; null hands them back to the stream.
using TraceCallback = void (*)(const char* line, void* user);
void SetTraceCallback(TraceCallback callback, void* user);

void WriteTraceLine(const std::string& line);

// Joins the parts as a fresh stream in the classic locale would print them.
template <typename... Parts>
std::string Format(const Parts&... parts) {
    std::ostringstream line;
    line.imbue(std::locale::classic());
    (line << ... << parts);
    return line.str();
}

template <typename... Parts>
void Trace(const Parts&... parts) {
    WriteTraceLine(Format(parts...));
}

}  // namespace zentrel
