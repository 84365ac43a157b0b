// The library's internals that the command-line tool may use, and no others:
// the tool links the static core but sees only this header and the public one.
#pragma once

#include <ostream>
#include <sstream>
#include <string>
#include <vector>

#include <opencv2/core.hpp>

namespace zentrel {

// Outcome of the last working call. The seven exports cannot report failure
// (the trace is their only record), so embedders read it here instead.
struct CallOutcome {
    bool succeeded = false;
    std::string error;  // why it failed; empty on success
};

const CallOutcome& LastCallOutcome();

// Where trace lines go: standard output unless redirected; null drops them.
std::ostream* TraceStream();
void SetTraceStream(std::ostream* stream);

// Collects the trace lines written while it lives, then puts the previous
// stream back.
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

// The candidate centres of the last repeat analysis, in input pixels, best
// first.
std::vector<cv::Point> CandidateCentres();

// Orders four corners in place: top-left, top-right, bottom-right,
// bottom-left. Selection by y (the last of equal y wins), then each pair by x
// (equal x swaps).
void OrderCorners(std::vector<cv::Point2f>& persPt);

}  // namespace zentrel
