#include "call_boundary.h"

#include <exception>
#include <opencv2/core.hpp>

#include "trace.h"

namespace zentrel {

namespace {

CallOutcome lastOutcome;
Refusal::Cause lastCause = Refusal::Cause::Other;

}  // namespace

std::mutex& CallMutex() {
    static std::mutex mutex;
    return mutex;
}

std::string Describe(const char* text) { return text != nullptr ? text : "(null)"; }

const CallOutcome& LastCallOutcome() { return lastOutcome; }

Refusal::Cause LastRefusalCause() { return lastCause; }

namespace detail {

void BeginCall() {
    lastOutcome.succeeded = false;
    lastOutcome.error.clear();
}

void MarkSucceeded() {
    lastOutcome.succeeded = true;
    lastOutcome.error.clear();
}

void RecordCurrentException(const std::string& what) noexcept {
    lastOutcome.succeeded = false;
    lastCause = Refusal::Cause::Other;
    try {
        bool traced = true;
        try {
            throw;
        } catch (const Refusal& refusal) {
            lastCause = refusal.GetCause();
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
        // Out of memory while describing: the outcome stays a failure.
    }
}

}  // namespace detail

}  // namespace zentrel
