#pragma once
// The web-view seam: what the panel needs of the engine that shows the review
// workspace page. Implemented by linux_platform::WebKitWebView (WebKitGTK) and
// by fakes in tests.
//
// Threads: every member is called on the main thread, and every callback
// (completions, script messages, navigation) arrives on the main thread.

#include "common/Value.h"

#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <utility>
#include <vector>

namespace tavrin::panel {

// A message the page posted with window.webkit.messageHandlers.NAME.postMessage(body).
struct ScriptMessage {
    std::string name;
    // The body as a property-list value: a dictionary when the page posted an
    // object; null when the body has no property-list form (undefined, a function).
    Value body;
};

// A navigation the page (or the panel) is about to make, in any frame, or a
// request for a new window (a link with a target, window.open).
struct NavigationAction {
    // The request's URL; empty when the request has none.
    std::string url;
    // False for a navigation inside an embedded frame. Engines that cannot
    // tell the frame (WebKitGTK) report as main-frame only what they know is:
    // see the implementation.
    bool isMainFrame = true;
    // True for a request to open a new window.
    bool isNewWindow = false;
};

// The URL-loading error domain and the codes of it that the panel tells
// apart. Engines report the failures these codes stand for in these terms
// and every other failure in their own domain and code.
inline constexpr const char* URLErrorDomain = "NSURLErrorDomain";
enum URLErrorCode : long {
    URLErrorCancelled = -999,
    URLErrorTimedOut = -1001,
    URLErrorNetworkConnectionLost = -1005,
    URLErrorNotConnectedToInternet = -1009,
    URLErrorInternationalRoamingOff = -1018,
    URLErrorDataNotAllowed = -1020,
};

struct NavigationError {
    std::string domain;
    long code = 0;
    // The engine's localised description of the failure.
    std::string localizedDescription;
};

// Told about the main frame's loads; decides whether a navigation may proceed.
// Each load ends in exactly one of didFinishNavigation, didFailNavigation and
// didFailProvisionalNavigation.
class WebViewNavigationDelegate {
  public:
    virtual ~WebViewNavigationDelegate() = default;
    // Asked once for every navigation of every frame and every new-window
    // request; return false to cancel it. The default allows all.
    virtual bool decidePolicyForNavigation(const NavigationAction& /*action*/) { return true; }
    virtual void didFinishNavigation() {}
    // The load failed after the page had started to arrive.
    virtual void didFailNavigation(const NavigationError& /*error*/) {}
    // The load failed before any of the page arrived (no connection, refused,
    // cancelled, timed out).
    virtual void didFailProvisionalNavigation(const NavigationError& /*error*/) {}
};

class WebView {
  public:
    // error: the engine's localised description when evaluation failed.
    using ScriptCompletion = std::function<void(std::optional<std::string> error)>;
    using ScriptMessageHandler = std::function<void(const ScriptMessage& message)>;

    virtual ~WebView() = default;

    // Evaluates script in the page's main world; never blocks. done (may be
    // empty) is called once with the error, or with no value on success; the
    // script's result is not passed on. An answer that arrives after the web
    // view has been destroyed is dropped (done is not called).
    virtual void evaluateJavaScript(const std::string& script, ScriptCompletion done) = 0;

    // Makes window.webkit.messageHandlers.<name> available to pages loaded from
    // now on and calls handler for each message posted to it. Returns false when
    // name is already registered.
    virtual bool addScriptMessageHandler(const std::string& name, ScriptMessageHandler handler) = 0;
    virtual void removeScriptMessageHandler(const std::string& name) = 0;

    virtual void loadURL(const std::string& url) = 0;
    // Loads url with the protocol's default cache policy; a load that has not
    // started to arrive within timeoutSeconds fails provisionally with
    // URLErrorTimedOut. The default ignores the time-out.
    virtual void loadRequest(const std::string& url, double /*timeoutSeconds*/) { loadURL(url); }
    // baseURL: the origin the page runs under (may be empty).
    virtual void loadHTML(const std::string& html, const std::string& baseURL) = 0;
    // The URL of the main frame, empty when nothing is loaded.
    virtual std::string currentURL() const = 0;

    // The delegate is held weakly; pass an empty pointer to clear it.
    virtual void setNavigationDelegate(std::weak_ptr<WebViewNavigationDelegate> delegate) = 0;
};

// What a web view is made with: the script message handlers registered before
// it loads anything, and whether developer extras (the web inspector) are on.
struct WebViewConfiguration {
    std::vector<std::pair<std::string, WebView::ScriptMessageHandler>> scriptMessageHandlers;
    bool developerExtrasEnabled = false;
};

} // namespace tavrin::panel
