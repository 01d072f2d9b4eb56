// Running independent tasks in child processes.
#include "worker_pool.h"

#include <cerrno>
#include <csignal>
#include <cstring>
#include <iostream>
#include <map>
#include <sstream>

#include <sys/prctl.h>
#include <sys/wait.h>
#include <unistd.h>

namespace tolvane {
namespace {

// Small enough that a worker's whole report fits the pipe buffer, so a
// worker never waits for its parent to read.
constexpr std::size_t kMaxReport = 2048;

struct Worker {
    std::size_t task;
    int reportFd;
};

void writeAll(int fd, const std::string& text)
{
    std::size_t written = 0;
    while (written < text.size()) {
        const ssize_t n = write(fd, text.data() + written, text.size() - written);
        if (n < 0 && errno == EINTR)
            continue;
        if (n <= 0)
            return;
        written += static_cast<std::size_t>(n);
    }
}

std::string readAll(int fd)
{
    std::string text;
    char buffer[512];
    for (;;) {
        const ssize_t n = read(fd, buffer, sizeof buffer);
        if (n < 0 && errno == EINTR)
            continue;
        if (n <= 0)
            return text;
        text.append(buffer, static_cast<std::size_t>(n));
    }
}

// A worker whose parent is gone has no one to report to: it ends (removing
// a temporary file it is writing) when the parent does.
void endWithParent(pid_t parent)
{
    prctl(PR_SET_PDEATHSIG, SIGTERM);
    if (getppid() != parent)
        raise(SIGTERM);
}

[[noreturn]] void runWorker(std::size_t task, int reportFd,
                            const std::function<TaskOutcome(std::size_t)>& run)
{
    std::string report;
    try {
        report = encodeOutcome(run(task));
    } catch (const std::exception& e) {
        report = encodeOutcome(TaskOutcome{false, 0, 0, e.what()});
    }
    writeAll(reportFd, report.substr(0, kMaxReport));
    _exit(0);
}

TaskOutcome failure(const std::string& reason)
{
    return TaskOutcome{false, 0, 0, reason};
}

// The outcome of a worker that has ended with `status`.
TaskOutcome outcomeOf(int status, const std::string& report)
{
    if (WIFSIGNALED(status))
        return failure("crashed (" + std::string(strsignal(WTERMSIG(status))) + ")");
    if (!WIFEXITED(status) || WEXITSTATUS(status) != 0 || report.empty())
        return failure("the worker process ended without a result");
    return decodeOutcome(report);
}

class Pool {
public:
    Pool(const std::function<TaskOutcome(std::size_t)>& task,
         const std::function<void(std::size_t, const TaskOutcome&)>& finished)
        : task_(task), finished_(finished) {}

    // Starts the task in a new worker. When the system has no descriptor or
    // process to spare, the workers already running are waited for one at a
    // time until it has; only with none left running does the task fail.
    void start(std::size_t index)
    {
        for (;;) {
            const int reason = tryStart(index);
            if (reason == 0)
                return;
            if (!isShortage(reason) || running_.empty()) {
                finished_(index, failure(std::string("cannot start a worker: ") + std::strerror(reason)));
                return;
            }
            collectOne();
        }
    }

    // Waits for any worker to end and reports it.
    void collectOne()
    {
        int status = 0;
        pid_t pid;
        do
            pid = waitpid(-1, &status, 0);
        while (pid < 0 && errno == EINTR);
        if (pid < 0) {
            abandonAll(std::string("lost the worker processes: ") + std::strerror(errno));
            return;
        }
        const auto entry = running_.find(pid);
        if (entry == running_.end())
            return;
        const Worker worker = entry->second;
        running_.erase(entry);
        const std::string report = readAll(worker.reportFd);
        close(worker.reportFd);
        finished_(worker.task, outcomeOf(status, report));
    }

    std::size_t runningCount() const { return running_.size(); }

private:
    static bool isShortage(int reason) { return reason == EMFILE || reason == ENFILE || reason == EAGAIN; }

    // 0 when the worker runs, otherwise why it could not be started.
    int tryStart(std::size_t index)
    {
        int fds[2];
        if (pipe(fds) != 0)
            return errno;
        std::cout.flush();
        std::cerr.flush();
        const pid_t parent = getpid();
        const pid_t pid = fork();
        if (pid == 0) {
            endWithParent(parent);
            close(fds[0]);
            for (const auto& entry : running_)
                close(entry.second.reportFd);
            runWorker(index, fds[1], task_);
        }
        const int forkError = errno;
        close(fds[1]);
        if (pid < 0) {
            close(fds[0]);
            return forkError;
        }
        running_[pid] = Worker{index, fds[0]};
        return 0;
    }

    void abandonAll(const std::string& reason)
    {
        for (const auto& entry : running_) {
            close(entry.second.reportFd);
            finished_(entry.second.task, failure(reason));
        }
        running_.clear();
    }

    const std::function<TaskOutcome(std::size_t)>& task_;
    const std::function<void(std::size_t, const TaskOutcome&)>& finished_;
    std::map<pid_t, Worker> running_;
};

}  // namespace

std::string encodeOutcome(const TaskOutcome& outcome)
{
    std::ostringstream text;
    if (outcome.ok)
        text << "ok " << outcome.regions << ' ' << outcome.withoutEllipse;
    else
        text << "error " << outcome.error;
    return text.str();
}

TaskOutcome decodeOutcome(const std::string& text)
{
    TaskOutcome outcome;
    if (text.compare(0, 6, "error ") == 0) {
        outcome.error = text.substr(6);
        return outcome;
    }
    std::istringstream fields(text);
    std::string word;
    if (fields >> word >> outcome.regions >> outcome.withoutEllipse && word == "ok")
        outcome.ok = true;
    else
        outcome = failure("the worker process sent no readable result");
    return outcome;
}

void runInWorkerProcesses(std::size_t count, int jobs, const std::function<TaskOutcome(std::size_t)>& task,
                          const std::function<void(std::size_t, const TaskOutcome&)>& finished)
{
    // Workers must stay waitable even if this process was started with
    // SIGCHLD ignored.
    std::signal(SIGCHLD, SIG_DFL);
    Pool pool(task, finished);
    const std::size_t limit = jobs < 1 ? 1 : static_cast<std::size_t>(jobs);
    std::size_t next = 0;
    while (next < count || pool.runningCount() > 0) {
        while (next < count && pool.runningCount() < limit)
            pool.start(next++);
        if (pool.runningCount() > 0)
            pool.collectOne();
    }
}

}  // namespace tolvane
