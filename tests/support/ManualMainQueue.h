#pragma once
// A main queue for tests with a virtual clock. Nothing runs until the test
// says so: runPending() runs posted work, advance(d) moves the clock and fires
// the timers that fall due, in due order, with the work they post.
// post() and postAfter() may be called from any thread (like the real queue);
// the running itself happens on the test's thread.

#include "common/MainQueue.h"

#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <deque>
#include <map>
#include <mutex>
#include <thread>

namespace tavrin::testing {

class ManualMainQueue final : public MainQueue {
  public:
    ManualMainQueue();

    void post(std::function<void()> work) override;
    TimerId postAfter(Duration delay, std::function<void()> work) override;
    void invalidate(TimerId timer) override;
    bool isCurrent() const override;

    // Virtual time elapsed since construction.
    Duration now() const;
    // Runs posted work (including work it posts) until none is left.
    // Returns the number of items run.
    std::size_t runPending();
    // Moves the clock forward by d, firing due timers in order and running
    // posted work between them.
    void advance(Duration d);
    // Runs posted work as it arrives from other threads until predicate() holds
    // or realTimeout passes (real time). Returns predicate().
    bool runUntil(const std::function<bool()>& predicate,
                  std::chrono::milliseconds realTimeout = std::chrono::seconds(10));
    // Number of timers still pending.
    std::size_t pendingTimers() const;

  private:
    bool runOnePosted();

    mutable std::mutex mutex_;
    std::condition_variable arrived_;
    std::deque<std::function<void()>> posted_;
    // Virtual time in whole nanoseconds, so that steps add up exactly: a timer
    // due in 60 s fires after advance(1.2s) and advance(58.8s), as it would
    // after advance(60s).
    using Ticks = std::int64_t;
    static Ticks ticksOf(Duration d);

    // Keyed by (due time, id) so timers due at the same moment fire in the
    // order they were made.
    std::map<std::pair<Ticks, TimerId>, std::function<void()>> timers_;
    std::map<TimerId, Ticks> dueOf_;
    Ticks now_ = 0;
    TimerId nextId_ = 1;
    std::thread::id owner_;
};

} // namespace tavrin::testing
