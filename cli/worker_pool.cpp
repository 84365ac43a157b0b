#include "worker_pool.h"

#include <poll.h>
#include <signal.h>
#include <sys/socket.h>
#include <sys/types.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <deque>
#include <iostream>
#include <stdexcept>
#include <system_error>
#include <vector>

namespace zentrel::cli {

namespace {

constexpr std::uint64_t kNoJob = static_cast<std::uint64_t>(-1);

using Work = std::function<std::string(const std::string&)>;

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

// A message that starts with a number: the job index of RunJobs, the job id
// of JobService.
std::string Numbered(std::uint64_t number, const std::string& text) {
    std::string message(reinterpret_cast<const char*>(&number), sizeof number);
    return message + text;
}

bool SplitNumbered(const std::string& message, std::uint64_t& number, std::string& text) {
    if (message.size() < sizeof number) return false;
    std::memcpy(&number, message.data(), sizeof number);
    text = message.substr(sizeof number);
    return true;
}

struct Worker {
    pid_t pid = -1;
    int jobs = -1;     // parent writes jobs
    int results = -1;  // parent reads results
    std::uint64_t job = kNoJob;
    std::chrono::steady_clock::time_point deadline;
};

[[noreturn]] void WorkerMain(int jobs, int results, const Work& work) {
    std::string request;
    while (ReceiveMessage(jobs, request)) {
        std::string payload;
        try {
            payload = work(request);
        } catch (...) {
            _exit(3);  // the parent reports the job as lost
        }
        if (!SendMessage(results, payload)) _exit(4);
    }
    // _exit: the parent's buffers and static destructors are not ours to run.
    _exit(0);
}

// `alsoClose`: descriptors of the forking process that the worker must not hold.
Worker StartWorker(const std::vector<Worker>& others, const Work& work, int alsoClose = -1) {
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
        if (alsoClose >= 0) close(alsoClose);
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

std::string DescribeEnd(int status, const std::string& who = "the worker process") {
    if (WIFSIGNALED(status)) {
        const int signal = WTERMSIG(status);
        const char* name = strsignal(signal);
        return who + " was killed by signal " + std::to_string(signal) +
               (name != nullptr ? std::string(" (") + name + ")" : "");
    }
    if (WIFEXITED(status)) {
        return who + " ended with status " + std::to_string(WEXITSTATUS(status)) +
               " before answering";
    }
    return who + " ended before answering";
}

int Reap(pid_t pid) {
    int status = 0;
    while (waitpid(pid, &status, 0) < 0 && errno == EINTR) {
    }
    return status;
}

// Closes the worker's pipes and reaps it; returns how it ended.
std::string StopWorker(Worker& worker) {
    close(worker.jobs);
    close(worker.results);
    const int status = Reap(worker.pid);
    worker.pid = -1;
    worker.job = kNoJob;
    return DescribeEnd(status);
}

class Pool {
public:
    Pool(std::size_t count, const Work& work, const std::function<void(JobReport)>& done)
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
            if (SendMessage(worker.jobs, Numbered(next_, ""))) {
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
        report.index = static_cast<std::size_t>(worker.job);
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
    const Work& work_;
    const std::function<void(JobReport)>& done_;
    std::vector<Worker> workers_;
    std::size_t next_ = 0;
    std::size_t finished_ = 0;
};

// What the keeper tells the service about a job: its id, then one of these,
// then the payload or the reason.
enum AnswerKind : char { kDone = 'D', kLost = 'L', kTimedOut = 'T' };

std::string Seconds(std::chrono::milliseconds time) {
    char text[32];
    std::snprintf(text, sizeof text, "%g", static_cast<double>(time.count()) / 1000.0);
    return text;
}

// The keeper: forks the workers, hands them the jobs that arrive on `channel`
// in turn, and answers on it. Single-threaded, and it runs no job itself, so
// every fork starts from a clean process. Ends when the channel closes.
class Keeper {
public:
    Keeper(int channel, const JobService::Limits& limits, const Work& work)
        : channel_(channel), limits_(limits), work_(work) {}

    [[noreturn]] void Run() {
        int status = 0;
        try {
            for (int k = 0; k < limits_.workers; ++k) {
                workers_.push_back(StartWorker(workers_, work_, channel_));
            }
            while (Step()) {
            }
        } catch (...) {
            status = 1;
        }
        for (Worker& worker : workers_) {
            if (worker.pid < 0) continue;
            kill(worker.pid, SIGKILL);
            StopWorker(worker);
        }
        _exit(status);
    }

private:
    // One round of waiting; false once the service has gone.
    bool Step() {
        AssignWaitingJobs();
        std::vector<pollfd> fds{{channel_, POLLIN, 0}};
        std::vector<std::size_t> owners;
        auto now = std::chrono::steady_clock::now();
        auto nearest = std::chrono::steady_clock::time_point::max();
        for (std::size_t k = 0; k < workers_.size(); ++k) {
            if (workers_[k].job == kNoJob) continue;
            fds.push_back({workers_[k].results, POLLIN, 0});
            owners.push_back(k);
            nearest = std::min(nearest, workers_[k].deadline);
        }
        int timeout = -1;
        if (nearest != std::chrono::steady_clock::time_point::max()) {
            const auto wait = std::chrono::ceil<std::chrono::milliseconds>(nearest - now);
            timeout = static_cast<int>(std::max<std::int64_t>(0, wait.count()));
        }
        if (poll(fds.data(), fds.size(), timeout) < 0) {
            if (errno == EINTR) return true;
            throw SystemError("cannot wait for the worker processes");
        }
        for (std::size_t f = 1; f < fds.size(); ++f) {
            if (fds[f].revents != 0) Collect(workers_[owners[f - 1]]);
        }
        now = std::chrono::steady_clock::now();
        for (Worker& worker : workers_) {
            if (worker.job != kNoJob && worker.deadline <= now) StopOverrun(worker);
        }
        if (fds[0].revents != 0) {
            std::string message;
            if (!ReceiveMessage(channel_, message)) return false;
            std::uint64_t id = 0;
            std::string request;
            if (!SplitNumbered(message, id, request)) return false;
            waiting_.emplace_back(id, std::move(request));
        }
        return true;
    }

    void AssignWaitingJobs() {
        for (Worker& worker : workers_) {
            while (worker.job == kNoJob && !waiting_.empty()) {
                if (worker.pid < 0) worker = StartWorker(workers_, work_, channel_);
                if (!SendMessage(worker.jobs, waiting_.front().second)) {
                    // Died while idle: not the job's fault, so it waits for the next one.
                    StopWorker(worker);
                    continue;
                }
                worker.job = waiting_.front().first;
                worker.deadline = std::chrono::steady_clock::now() + limits_.time;
                waiting_.pop_front();
            }
        }
    }

    void Collect(Worker& worker) {
        std::string payload;
        const std::uint64_t id = worker.job;
        if (ReceiveMessage(worker.results, payload)) {
            worker.job = kNoJob;
            Answer(id, kDone, payload);
            return;
        }
        const std::string reason = StopWorker(worker);
        Answer(id, kLost, reason);
    }

    void StopOverrun(Worker& worker) {
        const std::uint64_t id = worker.job;
        kill(worker.pid, SIGKILL);
        StopWorker(worker);
        Answer(id, kTimedOut,
               "the job took longer than " + Seconds(limits_.time) +
                   " s, so its worker process was stopped");
    }

    void Answer(std::uint64_t id, AnswerKind kind, const std::string& text) {
        if (!SendMessage(channel_, Numbered(id, std::string(1, kind) + text))) {
            throw std::runtime_error("the service has gone");
        }
    }

    int channel_;
    JobService::Limits limits_;
    const Work& work_;
    std::vector<Worker> workers_;
    std::deque<std::pair<std::uint64_t, std::string>> waiting_;
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
    const Work byIndex = [&work](const std::string& message) {
        std::uint64_t index = 0;
        std::string rest;
        if (!SplitNumbered(message, index, rest)) throw std::runtime_error("garbled job");
        return work(static_cast<std::size_t>(index));
    };
    Pool pool(count, byIndex, done);
    pool.Run(std::min(count, static_cast<std::size_t>(workers)));
}

JobService::JobService(const Limits& limits, std::function<std::string(const std::string&)> work)
    : limits_(limits) {
    limits_.workers = std::max(1, limits_.workers);
    signal(SIGPIPE, SIG_IGN);
    int ends[2];
    if (socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, ends) != 0) {
        throw SystemError("cannot create a socket pair");
    }
    std::cout.flush();
    std::cerr.flush();
    std::fflush(nullptr);
    keeper_ = fork();
    if (keeper_ < 0) {
        close(ends[0]);
        close(ends[1]);
        throw SystemError("cannot start the worker processes' keeper");
    }
    if (keeper_ == 0) {
        close(ends[0]);
        Keeper(ends[1], limits_, work).Run();
    }
    close(ends[1]);
    channel_ = ends[0];
    reader_ = std::thread([this] { ReadAnswers(); });
}

JobService::~JobService() {
    Stop();
    reader_.join();
    close(channel_);
}

void JobService::Stop() {
    // The keeper reads the end of the channel, stops its workers and leaves;
    // the reader then sees the channel close and fails whatever still waits.
    shutdown(channel_, SHUT_WR);
}

JobService::Answer JobService::Run(const std::string& request) {
    std::uint64_t id = 0;
    {
        std::lock_guard<std::mutex> lock(mutex_);
        if (keeperGone_) return {Status::Lost, "", keeperGoneReason_};
        if (inFlight_ >= static_cast<std::size_t>(limits_.workers) + limits_.queue) {
            return {Status::Busy, "", "every worker is busy and the queue is full"};
        }
        id = nextId_++;
        ++inFlight_;
    }
    bool sent = false;
    {
        std::lock_guard<std::mutex> lock(sending_);
        sent = SendMessage(channel_, Numbered(id, request));
    }
    std::unique_lock<std::mutex> lock(mutex_);
    answered_.wait(lock, [&] { return !sent || keeperGone_ || answers_.count(id) != 0; });
    --inFlight_;
    const auto found = answers_.find(id);
    if (found == answers_.end()) {
        return {Status::Lost, "", keeperGone_ ? keeperGoneReason_ : "cannot reach the workers"};
    }
    Answer answer = std::move(found->second);
    answers_.erase(found);
    return answer;
}

void JobService::ReadAnswers() {
    std::string message;
    while (ReceiveMessage(channel_, message)) {
        std::uint64_t id = 0;
        std::string text;
        if (!SplitNumbered(message, id, text) || text.empty()) break;
        Answer answer;
        const char kind = text[0];
        text.erase(0, 1);
        if (kind == kDone) {
            answer.status = Status::Done;
            answer.payload = std::move(text);
        } else {
            answer.status = kind == kTimedOut ? Status::TimedOut : Status::Lost;
            answer.reason = std::move(text);
        }
        std::lock_guard<std::mutex> lock(mutex_);
        answers_[id] = std::move(answer);
        answered_.notify_all();
    }
    const int status = Reap(keeper_);
    std::lock_guard<std::mutex> lock(mutex_);
    keeperGone_ = true;
    keeperGoneReason_ = WIFEXITED(status) && WEXITSTATUS(status) == 0
                            ? "the worker processes have stopped"
                            : DescribeEnd(status, "the process that keeps the workers");
    answered_.notify_all();
}

}  // namespace zentrel::cli
