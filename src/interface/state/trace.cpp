#include "trace.h"

#include <iostream>

namespace zentrel {

namespace {
std::ostream* traceStream = &std::cout;
}  // namespace

std::ostream* TraceStream() { return traceStream; }

void SetTraceStream(std::ostream* stream) { traceStream = stream; }

void WriteTraceLine(const std::string& line) {
    if (traceStream == nullptr) return;
    *traceStream << line << std::endl;
}

}  // namespace zentrel
