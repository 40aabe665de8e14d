#pragma once
// The page's message bridge: receives the review workspace page's requests
// posted to "fcpBridge", runs them against the editor's timeline (through its
// own ProExtensionAPI) or the container app (through a ContainerBridge), and
// answers each request that carries a "resolveId" with an "fcp:resolve" event.
// It also pushes "fcp:connected", "fcp:sequence-changed",
// "fcp:playhead-changed" and "fcp:marker-clicked" to the page.
//
// Threads: every public member is called on the main thread. Host
// notifications may arrive on any thread; they are moved to the main queue,
// in their order, before they touch the handler's state or the web view.
// Ownership: always held by std::shared_ptr; the web view is held weakly and
// the container bridge strongly. The main queue must outlive the handler and
// its ProExtensionAPI.

#include "ReviewPanel/ContainerBridge.h"
#include "ReviewPanel/ProExtensionAPI.h"
#include "ReviewPanel/WebView.h"
#include "common/MainQueue.h"
#include "common/Value.h"

#include <functional>
#include <memory>
#include <optional>
#include <string>

namespace tavrin::panel {

class MessageHandler : public std::enable_shared_from_this<MessageHandler> {
  public:
    // The name under which the page reaches the bridge.
    static constexpr const char* scriptMessageName = "fcpBridge";
    // A playhead move of more than this many seconds is a jump (checked for a marker).
    static constexpr double jumpThreshold = 0.6;
    // The threshold, in seconds, of the marker lookup that follows a jump.
    static constexpr double markerLookupThreshold = 0.5;

    // Makes a handler bound to webView, with its own ProExtensionAPI on the
    // host that the process supplies.
    static std::shared_ptr<MessageHandler> create(std::weak_ptr<WebView> webView,
                                                  MainQueue& mainQueue);

    MessageHandler(const MessageHandler&) = delete;
    MessageHandler& operator=(const MessageHandler&) = delete;

    // Replaces any earlier bridge; until one is set, container commands answer "false".
    void setContainerBridge(std::shared_ptr<ContainerBridge> bridge);

    // Sends "fcp:connected" and, when a sequence is active, "fcp:sequence-changed".
    void notifyConnected();

    // The entry for a script message: dispatches one page request.
    void userContentController(const ScriptMessage& message);

    // A handler for WebView::addScriptMessageHandler that holds this handler weakly.
    WebView::ScriptMessageHandler scriptMessageHandler();

    // For the owner letting go of the panel: from now on the editor's
    // notifications do nothing here, also while requests and lookups already
    // started still hold the handler (else a closed panel would go on
    // following the editor, start new lookups, and reach a main queue its
    // program has torn down).
    void stopObservingHost();

    struct HostEventGate;

  private:
    using Reply = std::function<void(Result<std::optional<Value>>)>;
    using Operation =
        std::function<void(ContainerBridge& bridge, const Dictionary& message, Reply reply)>;

    MessageHandler(std::weak_ptr<WebView> webView, MainQueue& mainQueue);

    void handleGetTimeline(const std::optional<std::string>& resolveId);
    void handleAsync(const Dictionary& message, const std::optional<std::string>& resolveId,
                     Operation operation);
    void resolve(const std::optional<std::string>& resolveId, const std::optional<Value>& value);
    void sendToJS(const std::string& event, const Dictionary& data);

    void rememberPlayhead(double seconds);
    void handlePlayheadChange(double seconds, bool duringSeek);
    void checkForMarkerAtTime(double seconds);
    void handleSequenceChange(const Dictionary& sequenceInfo);

    std::weak_ptr<WebView> webView_;
    std::shared_ptr<ProExtensionAPI> proExtension_;
    std::shared_ptr<ContainerBridge> containerBridge_;
    double previousPlayheadTime_ = -1.0;
    MainQueue& mainQueue_;
    std::shared_ptr<HostEventGate> hostEvents_;
};

} // namespace tavrin::panel
