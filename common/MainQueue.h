#pragma once
// The main-queue seam: a serial executor on the program's main thread, with
// posted work and one-shot timers that can be invalidated.
//
// Everything that touches UI, the web view, observers and timers runs here.
// Implementations: GLibMainQueue (platform/linux, what the programs run) and
// ManualMainQueue (tests/support, a virtual clock stepped by the test).

#include <chrono>
#include <cstdint>
#include <functional>
#include <utility>

namespace tavrin {

class MainQueue {
  public:
    using Duration = std::chrono::duration<double>; // seconds
    using TimerId = std::uint64_t;                  // never 0 for a live timer

    virtual ~MainQueue() = default;

    // Runs work on the main thread after all work posted before it.
    // May be called from any thread; never blocks; never runs work inline.
    virtual void post(std::function<void()> work) = 0;

    // Runs work once on the main thread after delay (seconds, clamped to >= 0).
    // May be called from any thread. Returns an identifier for invalidate().
    virtual TimerId postAfter(Duration delay, std::function<void()> work) = 0;

    // Cancels a timer. Called on the main thread, it guarantees the work does not
    // run afterwards; an unknown or already fired timer is ignored. Thread-safe.
    virtual void invalidate(TimerId timer) = 0;

    // True when called on the thread that runs this queue.
    virtual bool isCurrent() const = 0;

    // The one door onto the main thread: runs work now when called on it, else
    // posts it. Work run now is not ordered behind work already posted.
    void runOrPost(std::function<void()> work) {
        if (isCurrent())
            work();
        else
            post(std::move(work));
    }
};

} // namespace tavrin
