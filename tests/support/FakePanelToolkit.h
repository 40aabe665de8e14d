#pragma once
// A panel toolkit for tests: views that only record what they are told, and a
// recording web view whose navigation delegate the test drives by hand.

#include "ReviewPanel/PanelView.h"
#include "tests/support/FakeWebView.h"

#include <map>
#include <memory>
#include <string>
#include <vector>

namespace tavrin::testing {

class FakeView : public virtual panel::View {
  public:
    explicit FakeView(const panel::Rect& frame) : frame_(frame) {}
    panel::Rect frame() const override { return frame_; }
    void setAutoresizingMask(unsigned mask) override { autoresizingMask = mask; }
    void setBackgroundColor(const panel::Color& color) override { backgroundColor = color; }
    void setHidden(bool hidden) override { hidden_ = hidden; }
    bool isHidden() const override { return hidden_; }
    void addSubview(const std::shared_ptr<panel::View>& view) override { subviews.push_back(view); }
    bool isInWindow() const override { return inWindow; }
    void makeFirstResponder() override { ++firstResponderCalls; }

    unsigned autoresizingMask = panel::ViewNotSizable;
    std::optional<panel::Color> backgroundColor;
    std::vector<std::shared_ptr<panel::View>> subviews;
    bool inWindow = false;
    int firstResponderCalls = 0;

  private:
    panel::Rect frame_;
    bool hidden_ = false;
};

class FakeTextField final : public FakeView, public panel::TextField {
  public:
    using FakeView::FakeView;
    void setStringValue(const std::string& text) override { text_ = text; }
    std::string stringValue() const override { return text_; }
    void setFont(double size, panel::FontWeight weight) override {
        fontSize = size;
        fontWeight = weight;
    }
    void setTextColor(const panel::Color& color) override { textColor = color; }
    void setLineBreakMode(panel::LineBreakMode mode) override { lineBreakMode = mode; }
    void setMaximumNumberOfLines(int lines) override { maximumNumberOfLines = lines; }

    double fontSize = 0;
    panel::FontWeight fontWeight = panel::FontWeight::regular;
    panel::Color textColor;
    panel::LineBreakMode lineBreakMode = panel::LineBreakMode::wordWrapping;
    int maximumNumberOfLines = 0;

  private:
    std::string text_;
};

class FakeSpinner final : public FakeView, public panel::ProgressIndicator {
  public:
    using FakeView::FakeView;
    void startAnimation() override { animating = true; }
    bool animating = false;
};

class FakeButton final : public FakeView, public panel::Button {
  public:
    using FakeView::FakeView;
    void setTitle(const std::string& text) override { title = text; }
    void setFont(double size, panel::FontWeight weight) override {
        fontSize = size;
        fontWeight = weight;
    }
    void setFillColor(const panel::Color& color) override { fillColor = color; }
    void setAction(std::function<void()> callback) override { action = std::move(callback); }
    // Presses the button as the user would.
    void press() { action(); }

    std::string title;
    double fontSize = 0;
    panel::FontWeight fontWeight = panel::FontWeight::regular;
    std::optional<panel::Color> fillColor;
    std::function<void()> action;
};

// Records loads; the test plays the engine's part through the delegate.
class RecordingWebView final : public panel::WebView {
  public:
    void evaluateJavaScript(const std::string& script, ScriptCompletion done) override {
        scripts.push_back(script);
        if (done)
            done(std::nullopt);
    }
    bool addScriptMessageHandler(const std::string& name, ScriptMessageHandler handler) override {
        return handlers.emplace(name, std::move(handler)).second;
    }
    void removeScriptMessageHandler(const std::string& name) override { handlers.erase(name); }
    void loadURL(const std::string& url) override { loadRequest(url, 0); }
    void loadRequest(const std::string& url, double timeoutSeconds) override {
        loads.push_back(url);
        requestTimeouts.push_back(timeoutSeconds);
        url_ = url;
    }
    void loadHTML(const std::string& html, const std::string& baseURL) override {
        loads.push_back("html:" + html);
        url_ = baseURL.empty() ? "about:blank" : baseURL;
    }
    std::string currentURL() const override { return url_; }
    void setNavigationDelegate(std::weak_ptr<panel::WebViewNavigationDelegate> d) override {
        delegate = std::move(d);
    }
    // The names of the events the page was sent.
    std::vector<std::string> eventNames() const {
        std::vector<std::string> out;
        for (const auto& s : scripts)
            if (auto e = decodeEventScript(s))
                out.push_back(e->name);
        return out;
    }
    std::shared_ptr<panel::WebViewNavigationDelegate> navigation() const { return delegate.lock(); }

    std::vector<std::string> scripts;
    std::vector<std::string> loads;
    std::vector<double> requestTimeouts;
    std::map<std::string, ScriptMessageHandler> handlers;
    std::weak_ptr<panel::WebViewNavigationDelegate> delegate;
    bool developerExtrasEnabled = false;

  private:
    std::string url_;
};

class FakePanelToolkit final : public panel::PanelToolkit {
  public:
    std::shared_ptr<panel::View> makeView(const panel::Rect& frame) override {
        auto v = std::make_shared<FakeView>(frame);
        views.push_back(v);
        return v;
    }
    std::shared_ptr<panel::TextField> makeTextField(const panel::Rect& frame) override {
        auto v = std::make_shared<FakeTextField>(frame);
        textFields.push_back(v);
        return v;
    }
    std::shared_ptr<panel::ProgressIndicator> makeSpinner(const panel::Rect& frame) override {
        auto v = std::make_shared<FakeSpinner>(frame);
        spinners.push_back(v);
        return v;
    }
    std::shared_ptr<panel::Button> makeButton(const panel::Rect& frame) override {
        auto v = std::make_shared<FakeButton>(frame);
        buttons.push_back(v);
        return v;
    }
    panel::PanelWebView makeWebView(const panel::Rect& frame,
                                    const panel::WebViewConfiguration& configuration) override {
        webView = std::make_shared<RecordingWebView>();
        webView->developerExtrasEnabled = configuration.developerExtrasEnabled;
        for (const auto& [name, handler] : configuration.scriptMessageHandlers)
            webView->addScriptMessageHandler(name, handler);
        webViewView = std::make_shared<FakeView>(frame);
        return {webView, webViewView};
    }

    std::vector<std::shared_ptr<FakeView>> views;
    std::vector<std::shared_ptr<FakeTextField>> textFields;
    std::vector<std::shared_ptr<FakeSpinner>> spinners;
    std::vector<std::shared_ptr<FakeButton>> buttons;
    std::shared_ptr<RecordingWebView> webView;
    std::shared_ptr<FakeView> webViewView;
};

} // namespace tavrin::testing
