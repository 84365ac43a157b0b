// Parallel analysis in worker processes. The library keeps one result state
// per process, so threads would fight over it; forked workers each have their
// own.
#pragma once

#include <cstddef>
#include <functional>
#include <string>

namespace zentrel::cli {

struct JobReport {
    std::size_t index = 0;
    bool delivered = false;  // false: the worker died before answering
    std::string payload;     // what `work` returned
    std::string lostReason;  // when not delivered
};

// Runs work(0) .. work(count - 1) and passes each report to `done` in the
// calling process, in the order the jobs finish. With one worker everything
// runs in the calling process; otherwise up to `workers` forked processes take
// jobs one at a time, and a worker that dies is replaced.
void RunJobs(std::size_t count, int workers, const std::function<std::string(std::size_t)>& work,
             const std::function<void(JobReport)>& done);

}  // namespace zentrel::cli
