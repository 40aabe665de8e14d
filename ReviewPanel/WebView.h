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

namespace tavrin::panel {

// A message the page posted with window.webkit.messageHandlers.NAME.postMessage(body).
struct ScriptMessage {
    std::string name;
    // The body as a property-list value: a dictionary when the page posted an
    // object; null when the body has no property-list form (undefined, a function).
    Value body;
};

// Told about the main frame's loads; decides whether a navigation may proceed.
class WebViewNavigationDelegate {
  public:
    virtual ~WebViewNavigationDelegate() = default;
    // Return false to cancel the navigation to url. The default allows all.
    virtual bool decidePolicyForNavigation(const std::string& /*url*/) { return true; }
    virtual void didFinishNavigation() {}
    // message: the engine's localised description of the failure.
    virtual void didFailNavigation(const std::string& /*message*/) {}
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
    // baseURL: the origin the page runs under (may be empty).
    virtual void loadHTML(const std::string& html, const std::string& baseURL) = 0;
    // The URL of the main frame, empty when nothing is loaded.
    virtual std::string currentURL() const = 0;

    // The delegate is held weakly; pass an empty pointer to clear it.
    virtual void setNavigationDelegate(std::weak_ptr<WebViewNavigationDelegate> delegate) = 0;
};

} // namespace tavrin::panel
