#pragma once
// The panel's adapter to the editor's timeline: reads the playhead and the
// active sequence, moves the playhead, and forwards the host's change
// notifications to two callbacks.
//
// Threads: the reads and seekTo run on the caller's thread and call the host
// synchronously (the bridge calls them on the main thread). Notifications run
// on whatever thread the host notifies on; the callbacks are called
// synchronously there, with no hop. Setting a callback is thread-safe. The
// host's observer never holds the adapter, so the adapter is only ever
// destroyed by its owners, on their thread; once destroyed, no callback of it
// is called any more.

#include "ReviewPanel/FCPXHost.h"
#include "common/Value.h"

#include <functional>
#include <memory>
#include <mutex>
#include <optional>

namespace tavrin::panel {

class ProExtensionObserver;

class ProExtensionAPI : public std::enable_shared_from_this<ProExtensionAPI> {
  public:
    using PlayheadCallback = std::function<void(double seconds)>;
    using SequenceCallback = std::function<void(const Dictionary& sequenceInfo)>;

    // The host from ProExtensionHostSingleton, looked up among the images
    // loaded into the process; null when no image supplies it (the adapter then
    // behaves as with a host that has no timeline).
    static FCPXHost* lookUpHost();

    // Makes an adapter on lookUpHost() and registers its observer with the
    // host's timeline, if there is one at this moment.
    static std::shared_ptr<ProExtensionAPI> create();
    // The same on a given host (null: no host).
    static std::shared_ptr<ProExtensionAPI> create(FCPXHost* host);

    // Unregisters the observer from the host's timeline, if there is one.
    ~ProExtensionAPI();

    ProExtensionAPI(const ProExtensionAPI&) = delete;
    ProExtensionAPI& operator=(const ProExtensionAPI&) = delete;

    // Replace any earlier callback.
    void onPlayheadChanged(PlayheadCallback callback);
    void onSequenceChanged(SequenceCallback callback);

    // The playhead in seconds; 0 without a timeline, NaN for an invalid time.
    double getPlayheadSeconds() const;
    // Moves the playhead to seconds, rounded to 1/600 s; nothing without a timeline.
    void seekTo(double seconds);
    // The sequence info dictionary ("name", "duration" in seconds, "frameRate"
    // in frames per second rounded to two decimals, "width" 0, "height" 0,
    // "startTimecode" "00:00:00:00"); no value without a timeline or active sequence.
    std::optional<Dictionary> getSequenceInfo() const;

    // The time scale used for seeks (units per second).
    static constexpr CMTimeScale seekTimescale = 600;

    struct Relay;

  private:
    explicit ProExtensionAPI(FCPXHost* host);
    static std::optional<Dictionary> sequenceInfo(FCPXHost* host);

    FCPXHost* const host_;
    std::shared_ptr<Relay> relay_;
    std::shared_ptr<FCPXTimelineObserver> timelineObserver_;
};

} // namespace tavrin::panel
