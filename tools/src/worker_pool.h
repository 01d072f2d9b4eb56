// Running independent tasks in child processes.
#ifndef TOLVANE_WORKER_POOL_H
#define TOLVANE_WORKER_POOL_H

#include <cstddef>
#include <functional>
#include <string>

namespace tolvane {

// What one task reports back to the parent process.
struct TaskOutcome {
    bool ok = false;
    std::size_t regions = 0;
    std::size_t withoutEllipse = 0;
    std::string error;
};

// Runs task(0) .. task(count - 1), each in a child process of its own, at
// most `jobs` at a time, and calls `finished` in this process as each one
// ends, in the order they end. Every task runs in a fresh copy of this
// process, so tasks share no memory and a task that crashes fails alone.
void runInWorkerProcesses(std::size_t count, int jobs, const std::function<TaskOutcome(std::size_t)>& task,
                          const std::function<void(std::size_t, const TaskOutcome&)>& finished);

// The text a worker sends back, and its reading; exposed for tests.
std::string encodeOutcome(const TaskOutcome& outcome);
TaskOutcome decodeOutcome(const std::string& text);

}  // namespace tolvane

#endif
