#include "call_status.h"

#include "trace.h"

namespace zentrel {

namespace {
CallOutcome lastOutcome;
}  // namespace

void BeginCall() {
    lastOutcome.succeeded = false;
    lastOutcome.error.clear();
}

void MarkSucceeded() {
    lastOutcome.succeeded = true;
    lastOutcome.error.clear();
}

void ReportError(const std::string& message) {
    RecordFailure(message);
    WriteTraceLine(message);
}

void RecordFailure(const std::string& reason) {
    lastOutcome.succeeded = false;
    lastOutcome.error = reason;
}

const CallOutcome& LastCallOutcome() { return lastOutcome; }

}  // namespace zentrel
