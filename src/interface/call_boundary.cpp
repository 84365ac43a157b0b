#include "call_boundary.h"

#include <exception>
#include <opencv2/core.hpp>

#include "trace.h"

namespace zentrel {

namespace {

thread_local CallOutcome lastOutcome;

}  // namespace

std::mutex& CallMutex() {
    static std::mutex mutex;
    return mutex;
}

std::string Describe(const char* text) { return text != nullptr ? text : "(null)"; }

const CallOutcome& LastCallOutcome() { return lastOutcome; }

namespace detail {

void BeginCall() {
    lastOutcome.succeeded = false;
    lastOutcome.error.clear();
    lastOutcome.cause = Refusal::Cause::Other;
}

void MarkSucceeded() {
    lastOutcome.succeeded = true;
    lastOutcome.error.clear();
}

void RecordCurrentException(const std::string& what) noexcept {
    lastOutcome.succeeded = false;
    lastOutcome.cause = Refusal::Cause::Other;
    try {
        bool traced = true;
        try {
            throw;
        } catch (const Refusal& refusal) {
            lastOutcome.cause = refusal.GetCause();
            lastOutcome.error = refusal.what();
            traced = refusal.Traced();
        } catch (const cv::Exception& error) {
            lastOutcome.error = what + " stopped by an imaging library error: " + error.err +
                                " (in " + error.func + ")";
        } catch (const std::exception& error) {
            lastOutcome.error = what + " stopped by an error: " + error.what();
        } catch (...) {
            lastOutcome.error = what + " stopped by an unknown error";
        }
        if (traced) WriteTraceLine(lastOutcome.error);
    } catch (...) {
        // Out of memory while describing. An empty text would read as a
        // success; this one fits the string's own buffer, so it cannot fail.
        if (lastOutcome.error.empty()) lastOutcome.error = "out of memory";
    }
}

}  // namespace detail

}  // namespace zentrel
