// Trace lines: the library's only report to its host. Each line is formatted
// whole with the stream defaults (floats in general notation, six significant
// digits), then written to the trace stream and flushed.
#pragma once

#include <ostream>
#include <sstream>
#include <string>

#include "zentrel/zentrel_ext.h"

namespace zentrel {

// Standard output unless redirected; null drops the trace.
std::ostream* TraceStream();
// For embedders such as the command-line tool, which keep stdout for results.
void SetTraceStream(std::ostream* stream);
// A host's callback, which takes the lines instead of the trace stream while
// it is set; null hands them back to the stream.
void SetTraceCallback(ZentrelTraceFn callback, void* user);

void WriteTraceLine(const std::string& line);

// Joins the parts as a fresh stream would print them.
template <typename... Parts>
std::string Format(const Parts&... parts) {
    std::ostringstream line;
    (line << ... << parts);
    return line.str();
}

template <typename... Parts>
void Trace(const Parts&... parts) {
    WriteTraceLine(Format(parts...));
}

}  // namespace zentrel
