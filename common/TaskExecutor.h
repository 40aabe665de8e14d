#pragma once
// The shared executor for work that blocks (child processes, HTTP requests,
// waiting for the user's choice). Never used for the main queue's own work.
//
// Tasks run on worker threads; a new worker is started whenever every worker is
// busy (up to maxThreads), so a task that blocks for long never holds back the
// tasks behind it. shutdown() (and the destructor) waits for the running and
// queued tasks and joins every worker, so tests leave no thread behind.

#include <chrono>
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

    // Like shutdown(), but waits at most `bound` for the tasks to finish.
    // Returns true when every task finished and every worker was joined; false
    // when some are still running at the bound: their workers are left running,
    // so the caller must not destroy anything they use (a program then ends its
    // process). May be called again, e.g. after ending what the tasks wait on.
    bool shutdownWithin(std::chrono::milliseconds bound);

    // A process-wide executor, joined after main() returns. Programs that need
    // a defined shutdown order own an executor instead.
    static TaskExecutor& shared();

  private:
    void workerLoop();

    std::mutex mutex_;
    std::condition_variable wake_;
    std::condition_variable settled_; // a task finished
    std::deque<std::function<void()>> queue_;
    std::vector<std::thread> workers_;
    std::size_t idle_ = 0;
    std::size_t busy_ = 0;
    std::size_t maxThreads_;
    bool stopping_ = false;
};

} // namespace tavrin
