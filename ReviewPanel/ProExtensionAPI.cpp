#include "ReviewPanel/ProExtensionAPI.h"

#include <cmath>
#include <dlfcn.h>

namespace tavrin::panel {

// Receives the timeline's notifications and hands them to its adapter, which
// it holds weakly: the adapter owns it, and the host may keep it longer.
class ProExtensionObserver final : public FCPXTimelineObserver {
  public:
    explicit ProExtensionObserver(std::weak_ptr<ProExtensionAPI> api) : api_(std::move(api)) {}

    void playheadTimeChanged() override {
        if (auto api = api_.lock())
            api->notifyPlayheadChanged();
    }
    void activeSequenceChanged() override {
        if (auto api = api_.lock())
            api->notifySequenceChanged();
    }

  private:
    std::weak_ptr<ProExtensionAPI> api_;
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
    // The observer needs a weak reference, so it is made once the adapter is owned.
    api->timelineObserver_ = std::make_shared<ProExtensionObserver>(api);
    if (host) {
        if (auto timeline = host->timeline())
            timeline->add(api->timelineObserver_);
    }
    return api;
}

ProExtensionAPI::ProExtensionAPI(FCPXHost* host) : host_(host) {
}

ProExtensionAPI::~ProExtensionAPI() {
    if (timelineObserver_ && host_) {
        if (auto timeline = host_->timeline())
            timeline->remove(timelineObserver_);
    }
}

void ProExtensionAPI::onPlayheadChanged(PlayheadCallback callback) {
    std::lock_guard lock(callbackMutex_);
    playheadCallback_ = std::move(callback);
}

void ProExtensionAPI::onSequenceChanged(SequenceCallback callback) {
    std::lock_guard lock(callbackMutex_);
    sequenceChangedCallback_ = std::move(callback);
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
    auto timeline = host_ ? host_->timeline() : nullptr;
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

void ProExtensionAPI::notifyPlayheadChanged() {
    PlayheadCallback callback;
    {
        std::lock_guard lock(callbackMutex_);
        callback = playheadCallback_;
    }
    if (!callback)
        return;
    auto timeline = host_ ? host_->timeline() : nullptr;
    if (!timeline)
        return;
    callback(CMTimeGetSeconds(timeline->playheadTime()));
}

void ProExtensionAPI::notifySequenceChanged() {
    SequenceCallback callback;
    {
        std::lock_guard lock(callbackMutex_);
        callback = sequenceChangedCallback_;
    }
    if (!callback)
        return;
    if (auto info = getSequenceInfo())
        callback(*info);
}

} // namespace tavrin::panel
