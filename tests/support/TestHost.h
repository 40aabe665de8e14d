#pragma once
// An editor host for tests: a timeline with a settable playhead, an active
// sequence and registered observers. The test program that compiles
// TestHost.cpp supplies ProExtensionHostSingleton, returning testHost().
// Thread-safe, so tests may notify from a thread of their own.

#include "ReviewPanel/FCPXHost.h"

#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

namespace tavrin::testing {

struct TestSequence final : panel::FCPXSequence {
    TestSequence(std::string n, panel::CMTime d, panel::CMTime f)
        : sequenceName(std::move(n)), sequenceDuration(d), frame(f) {}
    std::string name() const override { return sequenceName; }
    panel::CMTime duration() const override { return sequenceDuration; }
    panel::CMTime frameDuration() const override { return frame; }
    panel::CMTime start() const override { return panel::kCMTimeZero; }

    std::string sequenceName;
    panel::CMTime sequenceDuration;
    panel::CMTime frame;
};

class TestTimeline final : public panel::FCPXTimeline {
  public:
    panel::CMTime playheadTime() override;
    void movePlayheadTo(panel::CMTime time) override;
    std::shared_ptr<panel::FCPXSequence> activeSequence() override;
    void add(std::shared_ptr<panel::FCPXTimelineObserver> observer) override;
    void remove(std::shared_ptr<panel::FCPXTimelineObserver> observer) override;

    void setPlayhead(panel::CMTime time);
    void setPlayheadSeconds(double seconds); // in 1/600 s units
    void setSequence(std::shared_ptr<panel::FCPXSequence> sequence);

    // Calls the registered observers, as the editor does after a change.
    void notifyPlayheadChanged();
    void notifySequenceChanged();
    // Sets the playhead, then notifies.
    void movePlayheadAndNotify(double seconds);
    // Calls every observer ever added, removed or not (a host that keeps them).
    void notifyEveryObserverEverAdded();

    // Called as movePlayheadTo starts, before the playhead changes.
    std::function<void()> beforeMove;
    std::vector<panel::CMTime> moves() const;
    std::size_t registeredObservers() const;
    int removals() const;

  private:
    std::vector<std::shared_ptr<panel::FCPXTimelineObserver>> snapshot(bool everAdded) const;

    mutable std::mutex mutex_;
    panel::CMTime playhead_ = panel::kCMTimeZero;
    std::vector<panel::CMTime> moves_;
    std::shared_ptr<panel::FCPXSequence> sequence_;
    std::vector<std::shared_ptr<panel::FCPXTimelineObserver>> observers_;
    std::vector<std::shared_ptr<panel::FCPXTimelineObserver>> everAdded_;
    int removals_ = 0;
};

class TestHost final : public panel::FCPXHost {
  public:
    std::shared_ptr<panel::FCPXTimeline> timeline() override;
    // null: a host without a timeline.
    void setTimeline(std::shared_ptr<TestTimeline> timeline);

  private:
    mutable std::mutex mutex_;
    std::shared_ptr<TestTimeline> timeline_;
};

// The host that ProExtensionHostSingleton returns in this test program.
TestHost& testHost();

} // namespace tavrin::testing
