// What the fuzz targets share: a private scratch folder, the trace kept in
// memory, and invariant checks that abort so that libFuzzer (or the replayer)
// reports the input.
#pragma once

#include <cstddef>
#include <string>
#include <vector>

namespace zentrel::fuzz {

// Aborts with a message when an invariant does not hold.
void Check(bool holds, const std::string& what);
// Aborts with a message; for messages too costly to build on every run.
[[noreturn]] void Fail(const std::string& what);

class ScratchFolder;

// Caps decoded images, quiets the imaging library's log, sends the library's
// trace to memory and makes the process's scratch folder, which it returns.
// Call once, before the first input.
ScratchFolder& PrepareProcess();

// The trace lines written since the previous call.
std::vector<std::string> TakeTrace();

// A folder `outer/work/` of its own under the system's temporary directory,
// removed at exit. Inputs go in `work`; `outer` must only ever hold `work`,
// so that anything written beside or above it is noticed.
class ScratchFolder {
public:
    ScratchFolder();
    ~ScratchFolder();
    ScratchFolder(const ScratchFolder&) = delete;
    ScratchFolder& operator=(const ScratchFolder&) = delete;

    // With a trailing separator.
    const std::string& Work() const { return work_; }
    // Names in `work`, sorted.
    std::vector<std::string> WorkEntries() const;
    // Checks that `outer` holds nothing but `work`.
    void CheckNothingEscaped() const;
    // Removes everything inside `work`.
    void Clear() const;

private:
    std::string outer_;
    std::string work_;
};

// Writes `bytes` to `path`; false when the file cannot be created.
bool WriteFile(const std::string& path, const std::string& bytes);

// "LABEL N" with N a decimal number: N, or -1 when `line` is not that.
long CountAfter(const std::string& line, const std::string& label);

bool StartsWith(const std::string& text, const std::string& prefix);

}  // namespace zentrel::fuzz
