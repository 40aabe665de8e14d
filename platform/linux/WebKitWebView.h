#pragma once
// The web-view seam on WebKitGTK 4.1: a WebKitWebView widget with its own
// user content manager. Pages reach registered handlers as
// window.webkit.messageHandlers.NAME, as on the other platform.
//
// Threads: construct, use and destroy on the GTK main thread, after
// gtk_init(); all callbacks arrive on that thread from the GLib main loop.
// WebKit headers stay out of this header (they are slow to compile).
//
// Each main-frame load ends in one report to the navigation delegate: a
// failed load is reported once, as a failure (WebKitGTK also emits its
// "finished" stage after a failure), and WebKit's own error page is not shown.

#include "ReviewPanel/WebView.h"

#include <map>
#include <memory>
#include <string>

struct _GtkWidget;
struct _GError;

namespace tavrin::linux_platform {

// A load failure the engine reported, in the panel's terms: which failures
// count as "not connected" and which keep the engine's own domain and code is
// said at the definition.
panel::NavigationError navigationErrorFor(const _GError* error);

class WebKitWebView final : public panel::WebView {
  public:
    WebKitWebView();
    // Made with configuration's script message handlers and developer extras.
    explicit WebKitWebView(const panel::WebViewConfiguration& configuration);
    ~WebKitWebView() override;

    WebKitWebView(const WebKitWebView&) = delete;
    WebKitWebView& operator=(const WebKitWebView&) = delete;

    // The GtkWidget to put into a window. Owned by this object (a reference is held).
    _GtkWidget* widget() const;

    void evaluateJavaScript(const std::string& script, ScriptCompletion done) override;
    bool addScriptMessageHandler(const std::string& name, ScriptMessageHandler handler) override;
    void removeScriptMessageHandler(const std::string& name) override;
    void loadURL(const std::string& url) override;
    void loadRequest(const std::string& url, double timeoutSeconds) override;
    void loadHTML(const std::string& html, const std::string& baseURL) override;
    std::string currentURL() const override;
    void setNavigationDelegate(std::weak_ptr<panel::WebViewNavigationDelegate> delegate) override;

  private:
    struct Impl;
    std::unique_ptr<Impl> impl_;
};

} // namespace tavrin::linux_platform
