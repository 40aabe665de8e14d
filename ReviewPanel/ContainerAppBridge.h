#pragma once
// The panel's end of the container command channel: each ContainerBridge
// operation becomes one command notification to the container app; answers
// come back as response notifications, paired by request identifier. A request
// not answered within 60 seconds completes with its failure value. The client
// never reports an error: a missing, late or mistyped answer gives false or no
// value.
//
// Ownership: made with create() and owned by std::shared_ptr; time-outs hold it
// weakly. The response observer (observeResponses) holds it strongly. When the
// client is destroyed, completions not yet called are dropped.
//
// Threads: operations may be called from any thread and never block; they post
// the command on the caller's thread. Responses and time-outs are handled on
// the main queue, and every completion is called there, never while the
// client's lock is held, at most once.

#include "ReviewPanel/ContainerBridge.h"
#include "common/MainQueue.h"
#include "common/NotificationCenter.h"

#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <unordered_map>

namespace tavrin::panel {

class ContainerAppBridge final : public ContainerBridge,
                                 public std::enable_shared_from_this<ContainerAppBridge> {
  public:
    // center and mainQueue must outlive the client. Registers nothing.
    static std::shared_ptr<ContainerAppBridge> create(NotificationCenter& center,
                                                      MainQueue& mainQueue);

    // Registers the response observer on the client's centre and main queue;
    // its block holds client strongly. Keep the token (or release() it) for as
    // long as the client should hear answers.
    [[nodiscard]] static NotificationCenter::Observation
    observeResponses(const std::shared_ptr<ContainerAppBridge>& client);

    // Handles one "com.tavrin.fcp.containerResponse" notification. Meant for the
    // main thread; called elsewhere, it moves itself onto the main queue.
    void handleResponse(const Notification& notification);

    void openURL(const std::string& url) override;
    void syncComment(const Dictionary& comment, Completion<bool> done) override;
    void deleteComment(const std::string& commentId, Completion<bool> done) override;
    void syncAllComments(const std::vector<Dictionary>& comments, Completion<bool> done) override;
    void clearAllMarkers(Completion<bool> done) override;
    void startExport(const Dictionary& config, Completion<bool> done) override;
    void cancelExport(Completion<bool> done) override;
    void selectOutputFolder(Completion<std::optional<std::string>> done) override;
    void getMarkerAtTime(double seconds, double threshold,
                         Completion<std::optional<Dictionary>> done) override;

    ~ContainerAppBridge() override;

  private:
    // Receives the answer: no value for a missing result or null.
    using ResponseCallback = std::function<void(std::optional<Value>)>;

    ContainerAppBridge(NotificationCenter& center, MainQueue& mainQueue);

    void sendCommand(const std::string& command, Dictionary arguments, ResponseCallback callback);
    void sendBooleanCommand(const std::string& command, Dictionary arguments,
                            Completion<bool> done);
    void timeOut(const std::string& requestId);
    std::optional<ResponseCallback> takePending(const std::string& requestId);

    NotificationCenter& center_;
    MainQueue& mainQueue_;
    mutable std::mutex mutex_; // guards pendingRequests, requestCounter, timeOuts_
    std::unordered_map<std::string, ResponseCallback> pendingRequests;
    std::int64_t requestCounter = 0;
    // The time-out timer of each pending request, so that an answered request
    // does not leave a timer behind for 60 s (thousands of idle timers slow the
    // main loop down). A timer that fires after its answer finds nothing to do.
    std::unordered_map<std::string, MainQueue::TimerId> timeOuts_;
};

} // namespace tavrin::panel
