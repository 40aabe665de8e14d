#pragma once
// A web view for tests: records every evaluated script and decodes the
// bridge's event scripts back into (event name, detail). Completions are
// called at once, with the error set in evaluationError.

#include "ReviewPanel/WebView.h"

#include <map>
#include <string>
#include <vector>

namespace tavrin::testing {

struct PageEvent {
    std::string name;
    Value detail;
};

// Decodes the Base64 text the bridge's script carries; empty on bad input.
std::optional<std::string> decodeBase64(std::string_view text);
// Reads the event name and payload out of a bridge event script.
std::optional<PageEvent> decodeEventScript(const std::string& script);

class FakeWebView final : public panel::WebView {
  public:
    void evaluateJavaScript(const std::string& script, ScriptCompletion done) override {
        scripts.push_back(script);
        if (done)
            done(evaluationError);
    }
    bool addScriptMessageHandler(const std::string& name, ScriptMessageHandler handler) override {
        return handlers.emplace(name, std::move(handler)).second;
    }
    void removeScriptMessageHandler(const std::string& name) override { handlers.erase(name); }
    void loadURL(const std::string& url) override { url_ = url; }
    void loadHTML(const std::string&, const std::string& baseURL) override { url_ = baseURL; }
    std::string currentURL() const override { return url_; }
    void setNavigationDelegate(std::weak_ptr<panel::WebViewNavigationDelegate> d) override {
        delegate = std::move(d);
    }

    // Every decoded event so far (scripts that do not decode are skipped).
    std::vector<PageEvent> events() const;
    // The events with the given name.
    std::vector<PageEvent> events(const std::string& name) const;

    std::vector<std::string> scripts;
    std::optional<std::string> evaluationError;
    std::map<std::string, ScriptMessageHandler> handlers;
    std::weak_ptr<panel::WebViewNavigationDelegate> delegate;

  private:
    std::string url_;
};

} // namespace tavrin::testing
