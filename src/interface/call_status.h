// Outcome of the last working call. The seven exports cannot report failure
// (the trace is their only record), so embedders that link the core, such as
// the command-line tool, read it here instead.
#pragma once

#include <string>

namespace zentrel {

struct CallOutcome {
    bool succeeded = false;
    std::string error;  // why it failed; empty on success
};

// Called by the exported working functions before any work.
void BeginCall();
// The call did what it was asked.
void MarkSucceeded();
// Traces `message` as the call's one error line and records it.
void ReportError(const std::string& message);
// Records why the call produced no result, without a trace line (for outcomes
// that the trace already shows in its own way).
void RecordFailure(const std::string& reason);

const CallOutcome& LastCallOutcome();

}  // namespace zentrel
