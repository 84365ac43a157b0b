#include "worker_pool.h"

#include <poll.h>
#include <signal.h>
#include <sys/types.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <iostream>
#include <stdexcept>
#include <system_error>
#include <vector>

namespace zentrel::cli {

namespace {

constexpr std::size_t kNoJob = static_cast<std::size_t>(-1);

std::system_error SystemError(const char* what) {
    return std::system_error(errno, std::generic_category(), what);
}

bool WriteAll(int fd, const void* data, std::size_t size) {
    const char* bytes = static_cast<const char*>(data);
    while (size > 0) {
        const ssize_t written = write(fd, bytes, size);
        if (written < 0 && errno == EINTR) continue;
        if (written <= 0) return false;
        bytes += written;
        size -= static_cast<std::size_t>(written);
    }
    return true;
}

// False on end of file or error before `size` bytes arrived.
bool ReadAll(int fd, void* data, std::size_t size) {
    char* bytes = static_cast<char*>(data);
    while (size > 0) {
        const ssize_t got = read(fd, bytes, size);
        if (got < 0 && errno == EINTR) continue;
        if (got <= 0) return false;
        bytes += got;
        size -= static_cast<std::size_t>(got);
    }
    return true;
}

bool SendMessage(int fd, const std::string& message) {
    const std::uint64_t size = message.size();
    return WriteAll(fd, &size, sizeof size) && WriteAll(fd, message.data(), message.size());
}

bool ReceiveMessage(int fd, std::string& message) {
    std::uint64_t size = 0;
    if (!ReadAll(fd, &size, sizeof size)) return false;
    message.resize(size);
    return ReadAll(fd, message.data(), size);
}

struct Worker {
    pid_t pid = -1;
    int jobs = -1;     // parent writes job indices
    int results = -1;  // parent reads results
    std::size_t job = kNoJob;
};

[[noreturn]] void WorkerMain(int jobs, int results,
                             const std::function<std::string(std::size_t)>& work) {
    std::uint64_t index = 0;
    while (ReadAll(jobs, &index, sizeof index)) {
        std::string payload;
        try {
            payload = work(static_cast<std::size_t>(index));
        } catch (...) {
            _exit(3);  // the parent reports the job as lost
        }
        if (!SendMessage(results, payload)) _exit(4);
    }
    // _exit: the parent's buffers and static destructors are not ours to run.
    _exit(0);
}

Worker StartWorker(const std::vector<Worker>& others,
                   const std::function<std::string(std::size_t)>& work) {
    int jobs[2];
    int results[2];
    if (pipe(jobs) != 0) throw SystemError("cannot create a pipe");
    if (pipe(results) != 0) {
        close(jobs[0]);
        close(jobs[1]);
        throw SystemError("cannot create a pipe");
    }
    std::cout.flush();
    std::cerr.flush();
    std::fflush(nullptr);
    const pid_t pid = fork();
    if (pid < 0) {
        for (int fd : {jobs[0], jobs[1], results[0], results[1]}) close(fd);
        throw SystemError("cannot start a worker process");
    }
    if (pid == 0) {
        // A sibling's pipe ends held open here would hide that sibling's death.
        for (const Worker& other : others) {
            if (other.pid < 0) continue;
            close(other.jobs);
            close(other.results);
        }
        close(jobs[1]);
        close(results[0]);
        WorkerMain(jobs[0], results[1], work);
    }
    close(jobs[0]);
    close(results[1]);
    Worker worker;
    worker.pid = pid;
    worker.jobs = jobs[1];
    worker.results = results[0];
    return worker;
}

std::string DescribeEnd(int status) {
    if (WIFSIGNALED(status)) {
        const int signal = WTERMSIG(status);
        const char* name = strsignal(signal);
        return "the worker process was killed by signal " + std::to_string(signal) +
               (name != nullptr ? std::string(" (") + name + ")" : "");
    }
    if (WIFEXITED(status)) {
        return "the worker process ended with status " + std::to_string(WEXITSTATUS(status)) +
               " before answering";
    }
    return "the worker process ended before answering";
}

// Closes the worker's pipes and reaps it; returns how it ended.
std::string StopWorker(Worker& worker) {
    close(worker.jobs);
    close(worker.results);
    int status = 0;
    while (waitpid(worker.pid, &status, 0) < 0 && errno == EINTR) {
    }
    worker.pid = -1;
    return DescribeEnd(status);
}

class Pool {
public:
    Pool(std::size_t count, const std::function<std::string(std::size_t)>& work,
         const std::function<void(JobReport)>& done)
        : count_(count), work_(work), done_(done) {}

    void Run(std::size_t workers) {
        for (std::size_t k = 0; k < workers; ++k) {
            workers_.push_back(StartWorker(workers_, work_));
        }
        for (Worker& worker : workers_) Assign(worker);
        while (finished_ < count_) WaitForResults();
        for (Worker& worker : workers_) {
            if (worker.pid >= 0) StopWorker(worker);
        }
    }

private:
    // Gives the worker the next job, if any; a worker found dead is replaced.
    void Assign(Worker& worker) {
        while (next_ < count_) {
            const std::uint64_t index = next_;
            if (WriteAll(worker.jobs, &index, sizeof index)) {
                worker.job = next_++;
                return;
            }
            StopWorker(worker);
            worker = StartWorker(workers_, work_);
        }
        worker.job = kNoJob;
    }

    void WaitForResults() {
        std::vector<pollfd> fds;
        std::vector<std::size_t> owners;
        for (std::size_t k = 0; k < workers_.size(); ++k) {
            if (workers_[k].job == kNoJob) continue;
            fds.push_back({workers_[k].results, POLLIN, 0});
            owners.push_back(k);
        }
        if (fds.empty()) throw std::logic_error("jobs remain but no worker holds one");
        if (poll(fds.data(), fds.size(), -1) < 0) {
            if (errno == EINTR) return;
            throw SystemError("cannot wait for the worker processes");
        }
        for (std::size_t f = 0; f < fds.size(); ++f) {
            if (fds[f].revents != 0) Collect(workers_[owners[f]]);
        }
    }

    void Collect(Worker& worker) {
        JobReport report;
        report.index = worker.job;
        report.delivered = ReceiveMessage(worker.results, report.payload);
        worker.job = kNoJob;
        if (!report.delivered) {
            report.payload.clear();
            report.lostReason = StopWorker(worker);
            if (next_ < count_) worker = StartWorker(workers_, work_);
        }
        ++finished_;
        done_(std::move(report));
        if (worker.pid >= 0) Assign(worker);
    }

    std::size_t count_;
    const std::function<std::string(std::size_t)>& work_;
    const std::function<void(JobReport)>& done_;
    std::vector<Worker> workers_;
    std::size_t next_ = 0;
    std::size_t finished_ = 0;
};

}  // namespace

void RunJobs(std::size_t count, int workers, const std::function<std::string(std::size_t)>& work,
             const std::function<void(JobReport)>& done) {
    if (workers <= 1 || count <= 1) {
        for (std::size_t index = 0; index < count; ++index) {
            JobReport report;
            report.index = index;
            report.delivered = true;
            report.payload = work(index);
            done(std::move(report));
        }
        return;
    }
    // A worker that dies while the parent writes to it must not take the
    // parent with it.
    signal(SIGPIPE, SIG_IGN);
    Pool pool(count, work, done);
    pool.Run(std::min(count, static_cast<std::size_t>(workers)));
}

}  // namespace zentrel::cli
