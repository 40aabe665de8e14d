#include "platform/linux/GLibMainQueue.h"
#include "tests/support/ManualMainQueue.h"

#include <gtest/gtest.h>

#include <atomic>
#include <stdexcept>
#include <thread>
#include <vector>

using namespace std::chrono_literals;
using tavrin::linux_platform::GLibMainQueue;
using tavrin::testing::ManualMainQueue;

TEST(AManualMainQueue, FiresTimersOnlyWhenVirtualTimeReachesThem) {
    ManualMainQueue q;
    std::vector<int> order;
    q.postAfter(60s, [&] { order.push_back(60); });
    q.postAfter(5s, [&] { order.push_back(5); });
    q.post([&] { order.push_back(0); });
    q.advance(4.999s);
    EXPECT_EQ(order, (std::vector<int>{0}));
    q.advance(55s);
    EXPECT_EQ(order, (std::vector<int>{0, 5}));
    q.advance(0.001s);
    EXPECT_EQ(order, (std::vector<int>{0, 5, 60}));
}

TEST(AManualMainQueue, FiresATimerWhenItsDelayHasPassedInWhateverSteps) {
    // Summed as floating seconds, 0.1 + 1.2 + 58.799 + 0.001 falls just short
    // of 0.1 + 60, and the timer would never fire.
    ManualMainQueue q;
    q.advance(0.1s);
    int fired = 0;
    q.postAfter(60s, [&] { ++fired; });
    q.advance(1.2s);
    q.advance(58.799s);
    EXPECT_EQ(fired, 0);
    q.advance(0.001s);
    EXPECT_EQ(fired, 1);
    EXPECT_DOUBLE_EQ(q.now().count(), 60.1);
}

TEST(AManualMainQueue, DoesNotRunAnInvalidatedTimerAndRunsWorkPostedByTimers) {
    ManualMainQueue q;
    int fired = 0;
    auto t = q.postAfter(1s, [&] { ++fired; });
    q.postAfter(2s, [&] { q.post([&] { fired += 10; }); });
    q.invalidate(t);
    q.invalidate(t); // twice is harmless
    q.advance(3s);
    EXPECT_EQ(fired, 10);
    EXPECT_EQ(q.pendingTimers(), 0u);
}

TEST(AManualMainQueue, RunsWorkPostedFromOtherThreadsOnTheTestThread) {
    ManualMainQueue q;
    std::atomic<bool> ranOnTestThread{false};
    std::thread t([&] { q.post([&] { ranOnTestThread = q.isCurrent(); }); });
    EXPECT_TRUE(q.runUntil([&] { return ranOnTestThread.load(); }));
    t.join();
}

class AGLibMainQueue : public ::testing::Test {
  protected:
    GMainContext* context = g_main_context_new();
    GMainLoop* loop = g_main_loop_new(context, FALSE);
    ~AGLibMainQueue() override {
        g_main_loop_unref(loop);
        g_main_context_unref(context);
    }
};

TEST_F(AGLibMainQueue, RunsPostedWorkInOrderFromManyThreads) {
    std::vector<int> seen;
    {
        GLibMainQueue q(context);
        std::vector<std::thread> threads;
        constexpr int perThread = 500;
        for (int t = 0; t < 4; ++t)
            threads.emplace_back([&, t] {
                for (int i = 0; i < perThread; ++i)
                    q.post([&, t, i] { seen.push_back(t * perThread + i); });
            });
        for (auto& t : threads)
            t.join();
        q.post([&] { g_main_loop_quit(loop); });
        g_main_loop_run(loop);
        ASSERT_EQ(seen.size(), 4u * perThread);
        // Each thread's posts arrive in the order that thread made them.
        std::vector<int> last(4, -1);
        for (int v : seen) {
            int t = v / perThread;
            EXPECT_GT(v, last[t]);
            last[t] = v;
        }
    }
}

TEST_F(AGLibMainQueue, FiresTimersAndSkipsInvalidatedOnes) {
    GLibMainQueue q(context);
    std::vector<int> fired;
    auto cancelled = q.postAfter(0.01s, [&] { fired.push_back(1); });
    q.postAfter(0.02s, [&] { fired.push_back(2); });
    q.postAfter(0.03s, [&] { g_main_loop_quit(loop); });
    q.invalidate(cancelled);
    g_main_loop_run(loop);
    EXPECT_EQ(fired, (std::vector<int>{2}));
    EXPECT_TRUE(q.isCurrent());
}

// Work that throws is logged and the queue goes on, as the task executor does.
TEST_F(AGLibMainQueue, LogsWorkThatThrowsAndGoesOn) {
    GLibMainQueue q(context);
    std::vector<int> ran;
    ::testing::internal::CaptureStderr();
    q.post([] { throw std::runtime_error("posted work failed"); });
    q.post([&] { ran.push_back(1); });
    q.postAfter(0.001s, [] { throw 7; });
    q.postAfter(0.002s, [&] {
        ran.push_back(2);
        g_main_loop_quit(loop);
    });
    g_main_loop_run(loop);
    std::string log = ::testing::internal::GetCapturedStderr();
    EXPECT_EQ(ran, (std::vector<int>{1, 2}));
    EXPECT_NE(log.find("work ended with an exception: posted work failed"), std::string::npos)
        << log;
    EXPECT_NE(log.find("[MainQueue] fault: work ended with an exception\n"), std::string::npos)
        << log;
}

TEST_F(AGLibMainQueue, DropsPendingWorkAndTimersWhenDestroyed) {
    int ran = 0;
    {
        GLibMainQueue q(context);
        q.post([&] { ++ran; });
        q.postAfter(0.001s, [&] { ++ran; });
    }
    while (g_main_context_iteration(context, FALSE)) {
    }
    EXPECT_EQ(ran, 0);
}
