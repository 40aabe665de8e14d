#include "common/TaskExecutor.h"

#include <gtest/gtest.h>

#include <atomic>
#include <future>

TEST(ATaskExecutor, RunsBlockingTasksSideBySide) {
    tavrin::TaskExecutor executor(8);
    // Each task waits for all the others to start: this only finishes if they
    // really run at the same time.
    std::atomic<int> started{0};
    std::atomic<int> finished{0};
    for (int i = 0; i < 8; ++i)
        executor.spawn([&] {
            ++started;
            while (started.load() < 8)
                std::this_thread::yield();
            ++finished;
        });
    executor.shutdown();
    EXPECT_EQ(finished.load(), 8);
}

TEST(ATaskExecutor, FinishesQueuedWorkOnShutdownAndRefusesNewWork) {
    std::atomic<int> done{0};
    tavrin::TaskExecutor executor(1);
    for (int i = 0; i < 100; ++i)
        executor.spawn([&] { ++done; });
    executor.spawn([] { throw std::runtime_error("a task's failure stays its own"); });
    executor.shutdown();
    EXPECT_EQ(done.load(), 100);
    EXPECT_FALSE(executor.spawn([&] { ++done; }));
    executor.shutdown();
    EXPECT_EQ(done.load(), 100);
}
