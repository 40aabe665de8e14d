#include "common/TaskExecutor.h"

#include "common/Log.h"

namespace tavrin {

TaskExecutor::TaskExecutor(std::size_t maxThreads) : maxThreads_(maxThreads ? maxThreads : 1) {
}

TaskExecutor::~TaskExecutor() {
    shutdown();
}

bool TaskExecutor::spawn(std::function<void()> task) {
    std::lock_guard lock(mutex_);
    if (stopping_)
        return false;
    queue_.push_back(std::move(task));
    // Every queued task needs an idle worker of its own: an idle worker that has
    // been woken for an earlier task but not yet taken it is not free.
    if (queue_.size() > idle_ && workers_.size() < maxThreads_)
        workers_.emplace_back([this] { workerLoop(); });
    else
        wake_.notify_one();
    return true;
}

void TaskExecutor::workerLoop() {
    std::unique_lock lock(mutex_);
    for (;;) {
        ++idle_;
        wake_.wait(lock, [this] { return stopping_ || !queue_.empty(); });
        --idle_;
        if (queue_.empty())
            return; // stopping, and nothing left to do
        auto task = std::move(queue_.front());
        queue_.pop_front();
        ++busy_;
        lock.unlock();
        // A task's failure is logged; the worker carries on.
        runLoggingFailure(task, "TaskExecutor");
        task = nullptr; // release captures outside the lock
        lock.lock();
        --busy_;
        settled_.notify_all();
    }
}

void TaskExecutor::shutdown() {
    std::vector<std::thread> workers;
    {
        std::lock_guard lock(mutex_);
        stopping_ = true;
        workers.swap(workers_);
    }
    wake_.notify_all();
    for (auto& w : workers)
        if (w.joinable())
            w.join();
}

bool TaskExecutor::shutdownWithin(std::chrono::milliseconds bound) {
    {
        std::unique_lock lock(mutex_);
        stopping_ = true;
        wake_.notify_all();
        const bool settled =
            settled_.wait_for(lock, bound, [this] { return busy_ == 0 && queue_.empty(); });
        if (!settled)
            return false;
    }
    shutdown(); // every worker is about to leave its loop
    return true;
}

TaskExecutor& TaskExecutor::shared() {
    static TaskExecutor executor;
    return executor;
}

} // namespace tavrin
