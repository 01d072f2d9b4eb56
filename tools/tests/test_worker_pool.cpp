#include "worker_pool.h"

#include <gtest/gtest.h>

#include <csignal>
#include <map>

#include <unistd.h>

using namespace tolvane;

namespace {

TEST(WorkerPool, EveryTaskRunsOnceInItsOwnProcess)
{
    for (const int jobs : {1, 3}) {
        std::map<std::size_t, TaskOutcome> outcomes;
        const pid_t parent = getpid();
        runInWorkerProcesses(
            7, jobs,
            [&](std::size_t i) { return TaskOutcome{getpid() != parent, i * 10, 0, ""}; },
            [&](std::size_t i, const TaskOutcome& outcome) { outcomes.emplace(i, outcome); });
        ASSERT_EQ(outcomes.size(), 7u);
        for (const auto& [i, outcome] : outcomes) {
            EXPECT_TRUE(outcome.ok) << "task " << i << " ran in the parent";
            EXPECT_EQ(outcome.regions, i * 10);
        }
    }
}

TEST(WorkerPool, ACrashOrAnExceptionFailsOnlyItsTask)
{
    std::map<std::size_t, TaskOutcome> outcomes;
    runInWorkerProcesses(
        4, 2,
        [](std::size_t i) -> TaskOutcome {
            if (i == 1)
                std::raise(SIGKILL);  // no handler, not even a sanitizer's, can catch it
            if (i == 2)
                throw std::runtime_error("no memory left");
            return TaskOutcome{true, i, 0, ""};
        },
        [&](std::size_t i, const TaskOutcome& outcome) { outcomes.emplace(i, outcome); });
    ASSERT_EQ(outcomes.size(), 4u);
    EXPECT_TRUE(outcomes[0].ok);
    EXPECT_FALSE(outcomes[1].ok);
    EXPECT_EQ(outcomes[1].error, "crashed (Killed)");
    EXPECT_FALSE(outcomes[2].ok);
    EXPECT_EQ(outcomes[2].error, "no memory left");
    EXPECT_TRUE(outcomes[3].ok);
}

}  // namespace
