#include "tests/support/TestHost.h"

#include <algorithm>

namespace tavrin::testing {

using panel::CMTime;

CMTime TestTimeline::playheadTime() {
    std::lock_guard lock(mutex_);
    return playhead_;
}

void TestTimeline::movePlayheadTo(CMTime time) {
    if (beforeMove)
        beforeMove();
    std::lock_guard lock(mutex_);
    moves_.push_back(time);
    playhead_ = time;
}

std::shared_ptr<panel::FCPXSequence> TestTimeline::activeSequence() {
    std::lock_guard lock(mutex_);
    return sequence_;
}

void TestTimeline::add(std::shared_ptr<panel::FCPXTimelineObserver> observer) {
    std::lock_guard lock(mutex_);
    observers_.push_back(observer);
    everAdded_.push_back(std::move(observer));
}

void TestTimeline::remove(std::shared_ptr<panel::FCPXTimelineObserver> observer) {
    std::lock_guard lock(mutex_);
    ++removals_;
    observers_.erase(std::remove(observers_.begin(), observers_.end(), observer), observers_.end());
}

void TestTimeline::setPlayhead(CMTime time) {
    std::lock_guard lock(mutex_);
    playhead_ = time;
}

void TestTimeline::setPlayheadSeconds(double seconds) {
    setPlayhead(panel::CMTimeMakeWithSeconds(seconds, 600));
}

void TestTimeline::setSequence(std::shared_ptr<panel::FCPXSequence> sequence) {
    std::lock_guard lock(mutex_);
    sequence_ = std::move(sequence);
}

std::vector<std::shared_ptr<panel::FCPXTimelineObserver>>
TestTimeline::snapshot(bool everAdded) const {
    std::lock_guard lock(mutex_);
    return everAdded ? everAdded_ : observers_;
}

void TestTimeline::notifyPlayheadChanged() {
    for (auto& o : snapshot(false))
        o->playheadTimeChanged();
}

void TestTimeline::notifySequenceChanged() {
    for (auto& o : snapshot(false))
        o->activeSequenceChanged();
}

void TestTimeline::movePlayheadAndNotify(double seconds) {
    setPlayheadSeconds(seconds);
    notifyPlayheadChanged();
}

void TestTimeline::notifyEveryObserverEverAdded() {
    for (auto& o : snapshot(true)) {
        o->playheadTimeChanged();
        o->activeSequenceChanged();
    }
}

std::vector<CMTime> TestTimeline::moves() const {
    std::lock_guard lock(mutex_);
    return moves_;
}

std::size_t TestTimeline::registeredObservers() const {
    std::lock_guard lock(mutex_);
    return observers_.size();
}

int TestTimeline::removals() const {
    std::lock_guard lock(mutex_);
    return removals_;
}

std::shared_ptr<panel::FCPXTimeline> TestHost::timeline() {
    std::lock_guard lock(mutex_);
    return timeline_;
}

void TestHost::setTimeline(std::shared_ptr<TestTimeline> timeline) {
    std::lock_guard lock(mutex_);
    timeline_ = std::move(timeline);
}

TestHost& testHost() {
    static TestHost host;
    return host;
}

} // namespace tavrin::testing

extern "C" tavrin::panel::FCPXHost* ProExtensionHostSingleton(void) {
    return &tavrin::testing::testHost();
}
