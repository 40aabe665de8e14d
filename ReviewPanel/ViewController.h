#pragma once
// The panel's root view controller: chooses the page (diagnostic, development
// or production, switched by marker files), builds the web view with the page
// bridge and the loading and error overlays, bounds the loading phase with two
// timers, keeps the web view on the service's own hosts, and wires the
// container client to the container app's answers.
//
// States: loading (loading overlay shown, both timers running), revealed (no
// overlay, timers invalidated; the page is told it is connected 0.5 s later),
// failed (error overlay with one of three messages, timers invalidated).
//
// Ownership: made with create() and held by std::shared_ptr; timers and the
// connected notice hold it weakly. Everything passed in Environment must
// outlive it.
// Threads: every member is called on the main thread.

#include "ReviewPanel/MessageHandler.h"
#include "ReviewPanel/PanelView.h"
#include "ReviewPanel/WebView.h"
#include "common/MainQueue.h"
#include "common/NotificationCenter.h"
#include "common/Workspace.h"

#include <memory>
#include <optional>
#include <string>

namespace tavrin::panel {

// Deployment values and the marker files that switch the page.
struct PanelSettings {
    // Origin of the production page, e.g. "https://app.example.com".
    std::string webOrigin;
    // Origin of the development page: the loopback host on port 3000.
    std::string developmentOrigin = "http://localhost:3000";
    // The service API's base URL; only its host is used (an allowed host).
    std::string apiBaseURL;
    // Present: diagnostic mode (wins over development mode).
    std::string diagMarkerPath = "/tmp/tavrin-fcp-diag";
    // Present: development mode.
    std::string devMarkerPath = "/tmp/tavrin-fcp-dev";
};

class ViewController final : public WebViewNavigationDelegate,
                             public std::enable_shared_from_this<ViewController> {
  public:
    static constexpr double loadTimeoutSeconds = 30.0;
    static constexpr double autoRevealSeconds = 4.0;
    static constexpr double connectedNoticeDelaySeconds = 0.5;
    static constexpr double requestTimeoutSeconds = 60.0;
    static constexpr const char* panelPath = "/fcp-panel/login";
    static constexpr const char* logSubsystem = "ai.tavrin.fcp.extension";
    static constexpr const char* logCategory = "ViewController";

    static constexpr const char* timedOutMessage =
        "The workspace took too long to respond. Check your connection and retry.";
    static constexpr const char* connectFailedMessage =
        "Failed to connect to Tavrin. Check your internet connection.";
    static constexpr const char* offlineMessage =
        "You appear to be offline. Reconnect to the internet, then retry.";
    static constexpr const char* reopeningText = "Reopening your review workspace…";

    // The inline diagnostic page (910 bytes).
    static const std::string diagnosticHTML;
    // The origin the diagnostic page runs under. Without one its origin is
    // opaque, its own local-storage probe throws, and the page never shows its
    // five lines. Reserved domain: never fetched, never resolved.
    static constexpr const char* diagnosticBaseURL = "http://diagnostic.invalid/";

    struct Environment {
        MainQueue& mainQueue;
        PanelToolkit& toolkit;
        Workspace& workspace;
        // No centre (no bus): container commands answer their failure value.
        NotificationCenter* notificationCenter = nullptr;
    };

    static std::shared_ptr<ViewController> create(Environment environment, PanelSettings settings);
    ~ViewController() override;

    ViewController(const ViewController&) = delete;
    ViewController& operator=(const ViewController&) = delete;

    // The marker files are read afresh at every call.
    bool isDiagMode() const;
    bool isDevMode() const;
    std::string panelURL() const;

    // Builds the web view, the bridge and the overlays and starts loading.
    void loadView();
    // Creates the container client and subscribes to the container's answers.
    void viewDidLoad();
    // The retry button's action: loading state again and a fresh load.
    void retryConnection();

    // The container view (after loadView), 400 x 700 when built.
    std::shared_ptr<View> view() const { return view_; }

    bool decidePolicyForNavigation(const NavigationAction& action) override;
    void didFinishNavigation() override;
    void didFailNavigation(const NavigationError& error) override;
    void didFailProvisionalNavigation(const NavigationError& error) override;

  private:
    ViewController(Environment environment, PanelSettings settings);

    void showLoading();
    void hideLoadingOverlay();
    void showError(const std::string& message);
    void setupContainerConnection();
    void buildLoadingOverlay(View& container);
    void buildErrorOverlay(View& container);
    void loadPage();

    Environment env_;
    PanelSettings settings_;

    std::shared_ptr<WebView> webView;
    std::shared_ptr<MessageHandler> messageHandler;
    std::shared_ptr<View> loadingOverlay;
    std::shared_ptr<View> errorOverlay;
    std::shared_ptr<TextField> loadingLabel;
    std::shared_ptr<TextField> errorDetailLabel;
    std::shared_ptr<Button> retryButton;
    std::optional<MainQueue::TimerId> loadTimeout;
    std::optional<MainQueue::TimerId> autoRevealTimer;

    std::shared_ptr<View> view_;
    // Set while the inline diagnostic page is being loaded: its navigation
    // (to diagnosticBaseURL) is the panel's own and allowed once.
    bool inlinePagePending_ = false;
    // Kept so the observer ends with the controller (in the program both live
    // as long as the process).
    NotificationCenter::Observation responseObservation_;
};

// The label of the overlays: read-only, clear background, truncating at the tail.
std::shared_ptr<TextField> makeLabel(PanelToolkit& toolkit, const std::string& text,
                                     double fontSize, FontWeight weight, const Color& color,
                                     const Rect& frame);

// The host of a URL as the URL loader reads it ("" when it has none): the
// authority without user information, port and IPv6 brackets, case kept.
std::string hostOfURL(const std::string& url);

} // namespace tavrin::panel
