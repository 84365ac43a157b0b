#include "trace.h"

#include <iostream>

namespace zentrel {

namespace {
std::ostream* traceStream = &std::cout;
TraceCallback traceCallback = nullptr;
void* traceUser = nullptr;
}  // namespace

std::ostream* TraceStream() { return traceStream; }

void SetTraceStream(std::ostream* stream) { traceStream = stream; }

void SetTraceCallback(TraceCallback callback, void* user) {
    traceCallback = callback;
    traceUser = user;
}

void WriteTraceLine(const std::string& line) {
    if (traceCallback != nullptr) {
        traceCallback(line.c_str(), traceUser);
        return;
    }
    if (traceStream == nullptr) return;
    *traceStream << line << std::endl;
}

}  // namespace zentrel
