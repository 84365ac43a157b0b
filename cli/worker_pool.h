// Parallel analysis in worker processes. The library keeps one result state
// per process, so threads would fight over it; forked workers each have their
// own.
#pragma once

#include <sys/types.h>

#include <chrono>
#include <condition_variable>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <map>
#include <mutex>
#include <string>
#include <thread>

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

// Jobs that arrive one at a time from any thread of the calling process (the
// server's), each run in a worker process under a time limit. A job whose
// worker dies or overruns fails alone: the worker is replaced and the others
// go on.
//
// The workers are forked by a keeper process that this constructor forks and
// that never runs a job itself. Construct the service before the program
// starts any thread, so that no lock another thread holds is copied into a
// worker.
class JobService {
public:
    struct Limits {
        int workers = 1;
        std::size_t queue = 64;  // jobs that may wait for a free worker
        std::chrono::milliseconds time{60000};
    };

    enum class Status {
        Done,      // `payload` is what `work` returned
        Lost,      // the worker died (or the keeper did): `reason` says how
        TimedOut,  // the worker was stopped at the time limit
        Busy,      // refused: the queue was full
    };

    struct Answer {
        Status status = Status::Lost;
        std::string payload;
        std::string reason;
    };

    JobService(const Limits& limits, std::function<std::string(const std::string&)> work);
    ~JobService();
    JobService(const JobService&) = delete;
    JobService& operator=(const JobService&) = delete;

    // Runs work(request) in a worker and waits for the answer.
    Answer Run(const std::string& request);

    // Stops the workers: jobs still waiting or running are answered Lost,
    // and so is every later one.
    void Stop();

    // The keeper's process id, whose children are the workers.
    pid_t KeeperId() const { return keeper_; }

private:
    void ReadAnswers();

    Limits limits_;
    pid_t keeper_ = -1;
    int channel_ = -1;  // to and from the keeper

    std::mutex sending_;  // one request on the channel at a time
    std::mutex mutex_;    // guards everything below
    std::condition_variable answered_;
    std::uint64_t nextId_ = 0;
    std::size_t inFlight_ = 0;
    bool keeperGone_ = false;
    std::string keeperGoneReason_;
    std::map<std::uint64_t, Answer> answers_;
    std::thread reader_;
};

}  // namespace zentrel::cli
