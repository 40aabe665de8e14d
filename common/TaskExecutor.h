#pragma once
// The shared executor for work that blocks (child processes, HTTP requests,
// waiting for the user's choice). Never used for the main queue's own work.
//
// Tasks run on worker threads; a new worker is started whenever every worker is
// busy (up to maxThreads), so a task that blocks for long never holds back the
// tasks behind it. shutdown() (and the destructor) waits for the running and
// queued tasks and joins every worker, so tests leave no thread behind.

#include <condition_variable>
#include <cstddef>
#include <deque>
#include <functional>
#include <mutex>
#include <thread>
#include <vector>

namespace tavrin {

class TaskExecutor {
  public:
    explicit TaskExecutor(std::size_t maxThreads = 64);
    ~TaskExecutor();
    TaskExecutor(const TaskExecutor&) = delete;
    TaskExecutor& operator=(const TaskExecutor&) = delete;

    // Queues a task. Thread-safe. Returns false (and drops the task) after
    // shutdown() has begun. An exception escaping a task is swallowed.
    bool spawn(std::function<void()> task);

    // Lets queued and running tasks finish, then joins every worker.
    // Must not be called from one of this executor's tasks. Idempotent.
    void shutdown();

    // The process-wide executor; joined at exit.
    static TaskExecutor& shared();

  private:
    void workerLoop();

    std::mutex mutex_;
    std::condition_variable wake_;
    std::deque<std::function<void()>> queue_;
    std::vector<std::thread> workers_;
    std::size_t idle_ = 0;
    std::size_t maxThreads_;
    bool stopping_ = false;
};

} // namespace tavrin
