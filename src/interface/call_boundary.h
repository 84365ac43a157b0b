// The one place where an exported call's outcome is decided and its error
// line written. Every export that does work runs it through GuardedCall,
// under the library-wide lock:
//
//     const bool ok = GuardedCall([&] { Job(arguments); },
//                                 [&] { return "Job of " + Describe(path); });
//
// The job returns normally when it did what it was asked, or throws. A
// Refusal becomes its own message; anything else becomes "<what> stopped by
// ...". Either way the line is traced (unless the refusal says otherwise),
// recorded as the calling thread's LastCallOutcome(), and nothing reaches
// the caller.
#pragma once

#include <mutex>
#include <string>
#include <utility>

#include "refusal.h"

namespace zentrel {

// Outcome of the calling thread's last working call. The seven exports cannot
// report failure (the trace is their only record), so hosts read it through
// zentrel_last_error. Per thread, as errno is: another thread's call never
// replaces it.
struct CallOutcome {
    bool succeeded = false;
    // Why it failed; never empty after a failure.
    std::string error;
    // Other also for failures that were not refusals.
    Refusal::Cause cause = Refusal::Cause::Other;
};

const CallOutcome& LastCallOutcome();

// The library-wide lock: every export, getters included, holds it for its
// whole run, so that calls from several threads never interleave.
std::mutex& CallMutex();

// "(null)" for a null string, so that error lines can name any argument.
std::string Describe(const char* text);

namespace detail {
void BeginCall();
void MarkSucceeded();
// Turns the exception in flight into the call's outcome; `what` names the
// call for errors that are not refusals.
void RecordCurrentException(const std::string& what) noexcept;
}  // namespace detail

// Runs `work` as one exported call; returns whether it succeeded.
template <typename Work, typename What>
bool GuardedCall(Work&& work, What&& what) noexcept {
    try {
        detail::BeginCall();
        std::forward<Work>(work)();
        detail::MarkSucceeded();
        return true;
    } catch (...) {
        std::string name;
        try {
            name = std::forward<What>(what)();
        } catch (...) {
        }
        detail::RecordCurrentException(name);
        return false;
    }
}

}  // namespace zentrel
