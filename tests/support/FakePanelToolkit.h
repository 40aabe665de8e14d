#pragma once
// A panel toolkit for tests: one recording view class plays every kind of
// view, and a recording web view whose navigation delegate the test drives.

#include "ReviewPanel/PanelView.h"
#include "tests/support/FakeWebView.h"

#include <algorithm>
#include <map>
#include <memory>
#include <string>
#include <vector>

namespace tavrin::testing {

class FakeView final : public panel::TextField,
                       public panel::ProgressIndicator,
                       public panel::Button {
  public:
    explicit FakeView(const panel::Rect& frame) : frame_(frame) {}
    panel::Rect frame() const override { return frame_; }
    void setAutoresizingMask(unsigned m) override { mask = m; }
    void setBackgroundColor(const panel::Color& c) override { background = c; }
    void setHidden(bool h) override { hidden = h; }
    bool isHidden() const override { return hidden; }
    void addSubview(const std::shared_ptr<panel::View>& v) override { subviews.push_back(v); }
    bool isInWindow() const override { return inWindow; }
    void makeFirstResponder() override { ++firstResponderCalls; }
    void setStringValue(const std::string& t) override { text = t; }
    std::string stringValue() const override { return text; }
    void setFont(double size, panel::FontWeight) override { fontSize = size; }
    void setTextColor(const panel::Color& c) override { textColor = c; }
    void setLineBreakMode(panel::LineBreakMode) override {}
    void setMaximumNumberOfLines(int) override {}
    void startAnimation() override {}
    void setTitle(const std::string& t) override { text = t; }
    void setFillColor(const panel::Color&) override {}
    void setAction(std::function<void()> a) override { action = std::move(a); }

    unsigned mask = 0;
    panel::Color background, textColor;
    bool hidden = false, inWindow = false;
    int firstResponderCalls = 0;
    double fontSize = 0;
    std::string text;
    std::function<void()> action;
    std::vector<std::shared_ptr<panel::View>> subviews;

  private:
    panel::Rect frame_;
};

// Records loads; the test plays the engine's part through the delegate.
class RecordingWebView final : public panel::WebView {
  public:
    void evaluateJavaScript(const std::string& script, ScriptCompletion done) override {
        scripts.push_back(script);
        if (done)
            done(std::nullopt);
    }
    bool addScriptMessageHandler(const std::string& name, ScriptMessageHandler h) override {
        return handlers.emplace(name, std::move(h)).second;
    }
    void removeScriptMessageHandler(const std::string& name) override { handlers.erase(name); }
    void loadURL(const std::string& url) override { loadRequest(url, 0); }
    void loadRequest(const std::string& url, double) override { loads.push_back(url_ = url); }
    void loadHTML(const std::string& html, const std::string& baseURL) override {
        loads.push_back("html:" + html);
        url_ = baseURL;
    }
    std::string currentURL() const override { return url_; }
    void setNavigationDelegate(std::weak_ptr<panel::WebViewNavigationDelegate> d) override {
        delegate = std::move(d);
    }
    panel::WebViewNavigationDelegate& navigation() const { return *delegate.lock(); }
    // How many times the page was sent the event name.
    long events(const std::string& name) const {
        return std::count_if(scripts.begin(), scripts.end(), [&](const std::string& s) {
            auto e = decodeEventScript(s);
            return e && e->name == name;
        });
    }

    std::vector<std::string> scripts, loads;
    std::map<std::string, ScriptMessageHandler> handlers;
    std::weak_ptr<panel::WebViewNavigationDelegate> delegate;
    bool developerExtras = false;

  private:
    std::string url_;
};

// Every made view in order of making: views[0] is the first one.
class FakePanelToolkit final : public panel::PanelToolkit {
  public:
    std::shared_ptr<panel::View> makeView(const panel::Rect& f) override { return make(f); }
    std::shared_ptr<panel::TextField> makeTextField(const panel::Rect& f) override {
        return labels.emplace_back(make(f));
    }
    std::shared_ptr<panel::ProgressIndicator> makeSpinner(const panel::Rect& f) override {
        return make(f);
    }
    std::shared_ptr<panel::Button> makeButton(const panel::Rect& f) override {
        return button = make(f);
    }
    panel::PanelWebView makeWebView(const panel::Rect& f,
                                    const panel::WebViewConfiguration& configuration) override {
        webView = std::make_shared<RecordingWebView>();
        webView->developerExtras = configuration.developerExtrasEnabled;
        for (const auto& [name, handler] : configuration.scriptMessageHandlers)
            webView->addScriptMessageHandler(name, handler);
        return {webView, make(f)};
    }

    std::vector<std::shared_ptr<FakeView>> views, labels;
    std::shared_ptr<FakeView> button;
    std::shared_ptr<RecordingWebView> webView;

  private:
    std::shared_ptr<FakeView> make(const panel::Rect& f) {
        return views.emplace_back(std::make_shared<FakeView>(f));
    }
};

} // namespace tavrin::testing
