#include "ReviewPanel/ProExtensionAPI.h"

#include <cmath>
#include <dlfcn.h>

namespace tavrin::panel {

// What the host's notifications need: the host and the callbacks. Shared by
// the adapter and its observer, so the observer never holds the adapter: the
// adapter is released by its owners (on the main thread) only, never by a
// host thread in the middle of its notification loop.
struct ProExtensionAPI::Relay {
    FCPXHost* const host;
    std::mutex mutex; // setters run on the main thread, notifications anywhere
    PlayheadCallback playhead;
    SequenceCallback sequence;

    void notifyPlayheadChanged() {
        PlayheadCallback callback;
        {
            std::lock_guard lock(mutex);
            callback = playhead;
        }
        if (!callback)
            return;
        auto timeline = host ? host->timeline() : nullptr;
        if (!timeline)
            return;
        callback(CMTimeGetSeconds(timeline->playheadTime()));
    }
    void notifySequenceChanged() {
        SequenceCallback callback;
        {
            std::lock_guard lock(mutex);
            callback = sequence;
        }
        if (!callback)
            return;
        if (auto info = sequenceInfo(host))
            callback(*info);
    }
};

// Receives the timeline's notifications and hands them to the relay.
class ProExtensionObserver final : public FCPXTimelineObserver {
  public:
    explicit ProExtensionObserver(std::shared_ptr<ProExtensionAPI::Relay> relay)
        : relay_(std::move(relay)) {}

    void playheadTimeChanged() override { relay_->notifyPlayheadChanged(); }
    void activeSequenceChanged() override { relay_->notifySequenceChanged(); }

  private:
    std::shared_ptr<ProExtensionAPI::Relay> relay_;
};

FCPXHost* ProExtensionAPI::lookUpHost() {
    void* symbol = dlsym(RTLD_DEFAULT, "ProExtensionHostSingleton");
    if (!symbol)
        return nullptr;
    auto singleton = reinterpret_cast<ProExtensionHostSingletonFunction>(symbol);
    return singleton();
}

std::shared_ptr<ProExtensionAPI> ProExtensionAPI::create() {
    return create(lookUpHost());
}

std::shared_ptr<ProExtensionAPI> ProExtensionAPI::create(FCPXHost* host) {
    std::shared_ptr<ProExtensionAPI> api(new ProExtensionAPI(host));
    api->timelineObserver_ = std::make_shared<ProExtensionObserver>(api->relay_);
    if (host) {
        if (auto timeline = host->timeline())
            timeline->add(api->timelineObserver_);
    }
    return api;
}

ProExtensionAPI::ProExtensionAPI(FCPXHost* host)
    : host_(host), relay_(std::make_shared<Relay>(host)) {
}

ProExtensionAPI::~ProExtensionAPI() {
    {
        // A host that keeps calling the observer reaches no callback from now on.
        std::lock_guard lock(relay_->mutex);
        relay_->playhead = nullptr;
        relay_->sequence = nullptr;
    }
    if (timelineObserver_ && host_) {
        if (auto timeline = host_->timeline())
            timeline->remove(timelineObserver_);
    }
}

void ProExtensionAPI::onPlayheadChanged(PlayheadCallback callback) {
    std::lock_guard lock(relay_->mutex);
    relay_->playhead = std::move(callback);
}

void ProExtensionAPI::onSequenceChanged(SequenceCallback callback) {
    std::lock_guard lock(relay_->mutex);
    relay_->sequence = std::move(callback);
}

double ProExtensionAPI::getPlayheadSeconds() const {
    auto timeline = host_ ? host_->timeline() : nullptr;
    if (!timeline)
        return 0;
    return CMTimeGetSeconds(timeline->playheadTime());
}

void ProExtensionAPI::seekTo(double seconds) {
    CMTime time = CMTimeMakeWithSeconds(seconds, seekTimescale);
    if (auto timeline = host_ ? host_->timeline() : nullptr)
        timeline->movePlayheadTo(time);
}

std::optional<Dictionary> ProExtensionAPI::getSequenceInfo() const {
    return sequenceInfo(host_);
}

std::optional<Dictionary> ProExtensionAPI::sequenceInfo(FCPXHost* host) {
    auto timeline = host ? host->timeline() : nullptr;
    if (!timeline)
        return std::nullopt;
    auto sequence = timeline->activeSequence();
    if (!sequence)
        return std::nullopt;

    double duration = CMTimeGetSeconds(sequence->duration());
    double frameSeconds = CMTimeGetSeconds(sequence->frameDuration());
    // NaN fails the comparison too, so an invalid frame duration gives 0.
    double frameRate = frameSeconds > 0 ? 1.0 / frameSeconds : 0.0;
    // Two decimals, halves away from zero (std::round): 1.001/30 s gives 29.97.
    frameRate = std::round(frameRate * 100.0) / 100.0;

    Dictionary info = Dictionary::object();
    info["name"] = sequence->name();
    info["duration"] = duration;
    info["frameRate"] = frameRate;
    info["width"] = 0;
    info["height"] = 0;
    info["startTimecode"] = "00:00:00:00";
    return info;
}

} // namespace tavrin::panel
