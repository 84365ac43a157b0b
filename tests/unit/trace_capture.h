// Collects the trace lines written while it lives, then puts the previous
// stream back.
#pragma once

#include <sstream>
#include <string>
#include <vector>

#include "trace.h"

namespace zentrel {

class TraceCapture {
public:
    TraceCapture() : previous_(TraceStream()) { SetTraceStream(&stream_); }
    ~TraceCapture() { SetTraceStream(previous_); }
    TraceCapture(const TraceCapture&) = delete;
    TraceCapture& operator=(const TraceCapture&) = delete;

    std::string Text() const { return stream_.str(); }
    std::vector<std::string> Lines() const {
        std::istringstream text(stream_.str());
        std::vector<std::string> lines;
        for (std::string line; std::getline(text, line);) lines.push_back(line);
        return lines;
    }

private:
    std::ostream* previous_;
    std::ostringstream stream_;
};

}  // namespace zentrel
