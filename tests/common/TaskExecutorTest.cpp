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
    ::testing::internal::CaptureStderr();
    // Its message holds a line break: the log entry stays one line.
    executor.spawn([] { throw std::runtime_error("a task's failure\nstays its own"); });
    executor.shutdown();
    EXPECT_NE(::testing::internal::GetCapturedStderr().find(
                  "[TaskExecutor] fault: work ended with an exception: a task's failure\\nstays "
                  "its own\n"),
              std::string::npos);
    EXPECT_EQ(done.load(), 100);
    EXPECT_FALSE(executor.spawn([&] { ++done; }));
    executor.shutdown();
    EXPECT_EQ(done.load(), 100);
}

TEST(ATaskExecutor, NeverQueuesATaskBehindABlockedOneWhileItMayStartAWorker) {
    // Two tasks spawned back to back while one worker is idle: the first waits
    // for the second, so both must get a worker of their own.
    tavrin::TaskExecutor executor(8);
    int stuck = 0;
    for (int round = 0; round < 200 && stuck == 0; ++round) {
        std::promise<void> warm;
        executor.spawn([&] { warm.set_value(); });
        warm.get_future().wait();
        std::promise<void> second;
        auto secondRan = second.get_future().share();
        std::promise<bool> first;
        auto firstSaw = first.get_future();
        executor.spawn([&first, secondRan] {
            first.set_value(secondRan.wait_for(std::chrono::seconds(5)) ==
                            std::future_status::ready);
        });
        executor.spawn([&second] { second.set_value(); });
        if (!firstSaw.get())
            ++stuck;
    }
    executor.shutdown();
    EXPECT_EQ(stuck, 0);
}

TEST(ATaskExecutor, ShutsDownWithinABoundOrSaysThatTasksAreStillRunning) {
    tavrin::TaskExecutor executor(4);
    std::promise<void> release;
    auto released = release.get_future().share();
    std::atomic<int> done{0};
    executor.spawn([&] {
        released.wait();
        ++done;
    });
    EXPECT_FALSE(executor.shutdownWithin(std::chrono::milliseconds(20)));
    EXPECT_FALSE(executor.spawn([&] { ++done; })) << "took work after shutdown began";
    release.set_value();
    EXPECT_TRUE(executor.shutdownWithin(std::chrono::seconds(10)));
    EXPECT_EQ(done.load(), 1);
    EXPECT_TRUE(executor.shutdownWithin(std::chrono::milliseconds(0)));
}
