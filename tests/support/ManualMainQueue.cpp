#include "tests/support/ManualMainQueue.h"

#include <algorithm>
#include <cmath>

namespace tavrin::testing {

ManualMainQueue::ManualMainQueue() : owner_(std::this_thread::get_id()) {
}

ManualMainQueue::Ticks ManualMainQueue::ticksOf(Duration d) {
    // Negative and NaN delays count as none; absurdly long ones are capped
    // (about 30 years) so the sum cannot overflow.
    constexpr double kMaxSeconds = 1.0e9;
    double seconds = std::min(std::max(0.0, d.count()), kMaxSeconds);
    return std::llround(seconds * 1.0e9);
}

void ManualMainQueue::post(std::function<void()> work) {
    {
        std::lock_guard lock(mutex_);
        posted_.push_back(std::move(work));
    }
    arrived_.notify_all();
}

MainQueue::TimerId ManualMainQueue::postAfter(Duration delay, std::function<void()> work) {
    std::lock_guard lock(mutex_);
    TimerId id = nextId_++;
    Ticks due = now_ + ticksOf(delay);
    timers_.emplace(std::make_pair(due, id), std::move(work));
    dueOf_[id] = due;
    return id;
}

void ManualMainQueue::invalidate(TimerId id) {
    std::lock_guard lock(mutex_);
    auto it = dueOf_.find(id);
    if (it == dueOf_.end())
        return;
    timers_.erase({it->second, id});
    dueOf_.erase(it);
}

bool ManualMainQueue::isCurrent() const {
    return std::this_thread::get_id() == owner_;
}

MainQueue::Duration ManualMainQueue::now() const {
    std::lock_guard lock(mutex_);
    return Duration(static_cast<double>(now_) / 1.0e9);
}

bool ManualMainQueue::runOnePosted() {
    std::function<void()> work;
    {
        std::lock_guard lock(mutex_);
        if (posted_.empty())
            return false;
        work = std::move(posted_.front());
        posted_.pop_front();
    }
    work();
    return true;
}

std::size_t ManualMainQueue::runPending() {
    std::size_t n = 0;
    while (runOnePosted())
        ++n;
    return n;
}

void ManualMainQueue::advance(Duration d) {
    Ticks target;
    {
        std::lock_guard lock(mutex_);
        target = now_ + ticksOf(d);
    }
    runPending();
    for (;;) {
        std::function<void()> work;
        {
            std::lock_guard lock(mutex_);
            if (timers_.empty() || timers_.begin()->first.first > target)
                break;
            auto it = timers_.begin();
            now_ = it->first.first;
            dueOf_.erase(it->first.second);
            work = std::move(it->second);
            timers_.erase(it);
        }
        work();
        runPending();
    }
    {
        std::lock_guard lock(mutex_);
        now_ = target;
    }
    runPending();
}

bool ManualMainQueue::runUntil(const std::function<bool()>& predicate,
                               std::chrono::milliseconds realTimeout) {
    auto deadline = std::chrono::steady_clock::now() + realTimeout;
    for (;;) {
        runPending();
        if (predicate())
            return true;
        std::unique_lock lock(mutex_);
        if (!arrived_.wait_until(lock, deadline, [this] { return !posted_.empty(); })) {
            lock.unlock();
            runPending();
            return predicate();
        }
    }
}

std::size_t ManualMainQueue::pendingTimers() const {
    std::lock_guard lock(mutex_);
    return timers_.size();
}

} // namespace tavrin::testing
