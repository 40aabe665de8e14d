#include "ReviewPanel/ViewController.h"

#include "ReviewPanel/ContainerAppBridge.h"
#include "common/Log.h"

#include <cstdio>
#include <filesystem>
#include <system_error>

namespace tavrin::panel {

namespace {

constexpr Rect kPanelFrame{0, 0, 400, 700};

// The overlays' colours.
constexpr Color kLoadingVeil{0.09, 0.09, 0.08, 0.92};
constexpr Color kErrorBackground{0.09, 0.09, 0.08, 1.0};
constexpr Color kAccent{0.88, 0.4, 0.32, 1.0};
constexpr Color kTitleText{0.94, 0.93, 0.89, 1.0};
constexpr Color kSecondaryText{0.6, 0.59, 0.55, 1.0};
constexpr Color kRetryFill{0.12, 0.12, 0.11, 1.0};

void log(LogLevel level, const std::string& message) {
    logLine(ViewController::logSubsystem, ViewController::logCategory, level, message);
}

bool fileExists(const std::string& path) {
    std::error_code error;
    return std::filesystem::exists(path, error);
}

// The scheme in lower case ("" when the URL has none).
std::string schemeOfURL(const std::string& url) {
    auto colon = url.find(':');
    if (colon == std::string::npos || colon == 0)
        return "";
    std::string scheme;
    for (std::size_t i = 0; i < colon; ++i) {
        char c = url[i];
        bool letter = (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z');
        bool other = (c >= '0' && c <= '9') || c == '+' || c == '-' || c == '.';
        if (!letter && !(i > 0 && other))
            return "";
        scheme += static_cast<char>(letter && c <= 'Z' ? c - 'A' + 'a' : c);
    }
    return scheme;
}

} // namespace

std::string hostOfURL(const std::string& url) {
    auto scheme = schemeOfURL(url);
    if (scheme.empty() || url.compare(scheme.size(), 3, "://") != 0)
        return "";
    std::size_t start = scheme.size() + 3;
    std::size_t end = url.find_first_of("/?#", start);
    std::string authority = url.substr(start, end == std::string::npos ? end : end - start);
    if (auto at = authority.rfind('@'); at != std::string::npos)
        authority.erase(0, at + 1);
    if (!authority.empty() && authority.front() == '[') {
        auto close = authority.find(']');
        return close == std::string::npos ? "" : authority.substr(1, close - 1);
    }
    return authority.substr(0, authority.find(':'));
}

// 17 lines, 910 bytes; "\\n" is a backslash and an n in the page's script.
const std::string ViewController::diagnosticHTML =
    "<!DOCTYPE html><html><head><meta charset=\"utf-8\"><title>FCP Diag</title>\n"
    "<style>body{font-family:-apple-system;margin:40px;background:#0a0a0a;color:#f0eee4}\n"
    "h1{font-size:18px;color:#f2762e}pre{font-size:11px;color:#9a988d;margin-top:20px}\n"
    ".ok{color:#4caf50}.fail{color:#e06551}</style></head>\n"
    "<body><h1>Tavrin FCP Extension — Diagnostic</h1>\n"
    "<p>If you see this, the WKWebView is rendering correctly.</p>\n"
    "<p>The issue is with the production React app, not the native extension.</p>\n"
    "<pre id=\"info\">Checking...</pre>\n"
    "<script>\n"
    "var e=document.getElementById('info');\n"
    "e.innerHTML='URL: '+location.href+'\\n'+\n"
    "'User-Agent: '+navigator.userAgent+'\\n'+\n"
    "'fcpBridge: '+(!!window.webkit?.messageHandlers?.fcpBridge?'OK':'MISSING')+'\\n'+\n"
    "'localStorage: '+(typeof localStorage!=='undefined'?'OK':'MISSING')+'\\n'+\n"
    "'Time: '+new Date().toISOString();\n"
    "console.log('[FCP Diag] Page loaded successfully');\n"
    "</script></body></html>";

std::shared_ptr<TextField> makeLabel(PanelToolkit& toolkit, const std::string& text,
                                     double fontSize, FontWeight weight, const Color& color,
                                     const Rect& frame) {
    auto label = toolkit.makeTextField(frame);
    label->setStringValue(text);
    label->setFont(fontSize, weight);
    label->setTextColor(color);
    label->setLineBreakMode(LineBreakMode::truncatingTail);
    return label;
}

std::shared_ptr<ViewController> ViewController::create(Environment environment,
                                                       PanelSettings settings) {
    return std::shared_ptr<ViewController>(new ViewController(environment, std::move(settings)));
}

ViewController::ViewController(Environment environment, PanelSettings settings)
    : env_(environment), settings_(std::move(settings)) {
}

// The bridge may outlive the panel while container requests it started are
// open; the editor must not reach it any more.
ViewController::~ViewController() {
    if (messageHandler)
        messageHandler->stopObservingHost();
}

bool ViewController::isDiagMode() const {
    return fileExists(settings_.diagMarkerPath);
}

bool ViewController::isDevMode() const {
    return fileExists(settings_.devMarkerPath);
}

std::string ViewController::panelURL() const {
    if (isDiagMode())
        return "about:blank";
    if (isDevMode())
        return settings_.developmentOrigin + panelPath;
    return settings_.webOrigin + panelPath;
}

void ViewController::loadView() {
    log(LogLevel::Info, "loadView starting, panelURL: " + panelURL());

    // A provisional bridge, bound to no displayed web view, registered on the
    // configuration; the displayed view's own bridge replaces it below.
    WebViewConfiguration configuration;
    messageHandler = MessageHandler::create(std::weak_ptr<WebView>(), env_.mainQueue);
    configuration.scriptMessageHandlers.emplace_back(MessageHandler::scriptMessageName,
                                                     messageHandler->scriptMessageHandler());
    configuration.developerExtrasEnabled = true;

    auto made = env_.toolkit.makeWebView(kPanelFrame, configuration);
    webView = made.webView;
    webView->setNavigationDelegate(weak_from_this());
    made.view->setAutoresizingMask(ViewWidthSizable | ViewHeightSizable);
    // The engine's inspectable flag exists only on the other platform; with
    // developer extras on, WebKitGTK offers the inspector in its context menu.

    messageHandler = MessageHandler::create(webView, env_.mainQueue);
    webView->removeScriptMessageHandler(MessageHandler::scriptMessageName);
    webView->addScriptMessageHandler(MessageHandler::scriptMessageName,
                                     messageHandler->scriptMessageHandler());

    auto container = env_.toolkit.makeView(kPanelFrame);
    container->setAutoresizingMask(ViewWidthSizable | ViewHeightSizable);
    container->setBackgroundColor(kErrorBackground);
    view_ = container;
    container->addSubview(made.view);

    buildLoadingOverlay(*container);
    buildErrorOverlay(*container);
    showLoading();

    loadPage();
    log(LogLevel::Info, "loadView complete, loading started");
}

void ViewController::loadPage() {
    if (isDiagMode()) {
        inlinePagePending_ = true;
        webView->loadHTML(diagnosticHTML, diagnosticBaseURL);
        log(LogLevel::Info, "Diagnostic mode: loading inline HTML");
    } else {
        inlinePagePending_ = false;
        webView->loadRequest(panelURL(), requestTimeoutSeconds);
    }
}

void ViewController::viewDidLoad() {
    setupContainerConnection();
}

void ViewController::setupContainerConnection() {
    if (!env_.notificationCenter) {
        log(LogLevel::Error, "setupContainerConnection: no notification centre, the container app "
                             "cannot be reached");
        return;
    }
    auto bridge = ContainerAppBridge::create(*env_.notificationCenter, env_.mainQueue);
    messageHandler->setContainerBridge(bridge);
    responseObservation_ = ContainerAppBridge::observeResponses(bridge);
}

void ViewController::showLoading() {
    log(LogLevel::Info, "showLoading");
    std::weak_ptr<ViewController> weak = weak_from_this();
    if (loadTimeout)
        env_.mainQueue.invalidate(*loadTimeout);
    loadTimeout = env_.mainQueue.postAfter(MainQueue::Duration(loadTimeoutSeconds), [weak] {
        char text[64];
        std::snprintf(text, sizeof text, "Load timed out after %.0fs", loadTimeoutSeconds);
        log(LogLevel::Error, text);
        if (auto self = weak.lock())
            self->showError(timedOutMessage);
    });
    if (autoRevealTimer)
        env_.mainQueue.invalidate(*autoRevealTimer);
    autoRevealTimer = env_.mainQueue.postAfter(MainQueue::Duration(autoRevealSeconds), [weak] {
        log(LogLevel::Info, "Auto-reveal timer fired — hiding overlay");
        if (auto self = weak.lock())
            self->hideLoadingOverlay();
    });
    loadingOverlay->setHidden(false);
    errorOverlay->setHidden(true);
}

void ViewController::hideLoadingOverlay() {
    log(LogLevel::Info, "hideLoadingOverlay — revealing WebView");
    if (loadTimeout)
        env_.mainQueue.invalidate(*loadTimeout);
    if (autoRevealTimer)
        env_.mainQueue.invalidate(*autoRevealTimer);
    loadingOverlay->setHidden(true);
    std::weak_ptr<ViewController> weak = weak_from_this();
    env_.mainQueue.postAfter(MainQueue::Duration(connectedNoticeDelaySeconds), [weak] {
        if (auto self = weak.lock())
            self->messageHandler->notifyConnected();
    });
}

void ViewController::showError(const std::string& message) {
    log(LogLevel::Error, "showError: " + message);
    if (loadTimeout)
        env_.mainQueue.invalidate(*loadTimeout);
    if (autoRevealTimer)
        env_.mainQueue.invalidate(*autoRevealTimer);
    loadingOverlay->setHidden(true);
    errorOverlay->setHidden(false);
    errorDetailLabel->setStringValue(message);
    if (view_->isInWindow())
        retryButton->makeFirstResponder();
}

void ViewController::retryConnection() {
    log(LogLevel::Info, "retryConnection");
    showLoading();
    loadingLabel->setStringValue(reopeningText);
    // In diagnostic mode this loads the diagnostic page again, not a blank page.
    loadPage();
}

void ViewController::didFinishNavigation() {
    inlinePagePending_ = false;
    auto url = webView->currentURL();
    log(LogLevel::Info, "didFinish: " + (url.empty() ? std::string("nil") : url));
    hideLoadingOverlay();
}

void ViewController::didFailNavigation(const NavigationError& error) {
    inlinePagePending_ = false;
    log(LogLevel::Error, "didFail: " + error.localizedDescription);
    showError(connectFailedMessage);
}

void ViewController::didFailProvisionalNavigation(const NavigationError& error) {
    inlinePagePending_ = false;
    log(LogLevel::Error, "didFailProvisional: [" + error.domain + ":" + std::to_string(error.code) +
                             "] " + error.localizedDescription);
    bool offline =
        error.domain == URLErrorDomain &&
        (error.code == URLErrorNotConnectedToInternet ||
         error.code == URLErrorNetworkConnectionLost ||
         error.code == URLErrorInternationalRoamingOff || error.code == URLErrorDataNotAllowed);
    showError(offline ? offlineMessage : connectFailedMessage);
}

bool ViewController::decidePolicyForNavigation(const NavigationAction& action) {
    if (action.url.empty())
        return false;
    const std::string& url = action.url;
    log(LogLevel::Debug, "navigate policy: " + url);

    // The inline diagnostic page's load is the panel's own.
    if (inlinePagePending_ && action.isMainFrame && !action.isNewWindow &&
        url == diagnosticBaseURL) {
        inlinePagePending_ = false;
        return true;
    }
    // Exact, case-sensitive host comparison: a subdomain is another host.
    auto host = hostOfURL(url);
    if (!host.empty())
        for (const auto* allowed :
             {&settings_.webOrigin, &settings_.apiBaseURL, &settings_.developmentOrigin})
            if (host == hostOfURL(*allowed))
                return true;

    // Only web pages go to the desktop: another scheme could start any program.
    auto scheme = schemeOfURL(url);
    if (scheme != "http" && scheme != "https") {
        log(LogLevel::Info, "Refusing to open non-web URL: " + url);
        return false;
    }
    // An embedded frame must not open windows on the user's desktop by itself.
    if (!action.isMainFrame) {
        log(LogLevel::Info, "Blocked sub-frame navigation to external URL: " + url);
        return false;
    }
    log(LogLevel::Info, "Opening external URL: " + url);
    env_.workspace.openURL(url);
    return false;
}

// The loading overlay: a translucent veil with a spinner and a status line,
// kept at the bottom-left corner.
void ViewController::buildLoadingOverlay(View& container) {
    auto bounds = container.bounds();
    loadingOverlay = env_.toolkit.makeView(bounds);
    loadingOverlay->setAutoresizingMask(ViewWidthSizable | ViewHeightSizable);
    loadingOverlay->setBackgroundColor(kLoadingVeil);

    auto spinner = env_.toolkit.makeSpinner({20, 30, 16, 16});
    spinner->startAnimation();
    loadingOverlay->addSubview(spinner);

    loadingLabel = makeLabel(env_.toolkit, "Opening your review workspace…", 10,
                             FontWeight::regular, kSecondaryText, {42, 30, bounds.width - 50, 16});
    loadingOverlay->addSubview(loadingLabel);
    container.addSubview(loadingOverlay);
}

// The error overlay: opaque, with an accent bar along the left edge, a
// caption, a title, the message line and the retry button.
void ViewController::buildErrorOverlay(View& container) {
    auto bounds = container.bounds();
    errorOverlay = env_.toolkit.makeView(bounds);
    errorOverlay->setAutoresizingMask(ViewWidthSizable | ViewHeightSizable);
    errorOverlay->setBackgroundColor(kErrorBackground);
    errorOverlay->setHidden(true);

    auto bar = env_.toolkit.makeView({8, 8, 3, bounds.height - 16});
    bar->setAutoresizingMask(ViewHeightSizable | ViewMaxYMargin);
    bar->setBackgroundColor(kAccent);
    errorOverlay->addSubview(bar);

    errorOverlay->addSubview(makeLabel(env_.toolkit, "TAVRIN / OFFLINE", 9, FontWeight::bold,
                                       kAccent, {20, 70, bounds.width - 28, 12}));
    errorOverlay->addSubview(makeLabel(env_.toolkit, "Connection paused", 14, FontWeight::semibold,
                                       kTitleText, {20, 48, bounds.width - 28, 18}));

    errorDetailLabel =
        makeLabel(env_.toolkit, "Check your connection and try again.", 10, FontWeight::regular,
                  kSecondaryText, {20, 28, bounds.width - 28, 14});
    errorDetailLabel->setLineBreakMode(LineBreakMode::wordWrapping);
    errorDetailLabel->setMaximumNumberOfLines(3);
    errorOverlay->addSubview(errorDetailLabel);

    retryButton = env_.toolkit.makeButton({20, 4, 140, 24});
    retryButton->setAutoresizingMask(ViewMaxXMargin | ViewMaxYMargin);
    retryButton->setTitle("Retry connection");
    retryButton->setFont(10, FontWeight::semibold);
    std::weak_ptr<ViewController> weak = weak_from_this();
    retryButton->setAction([weak] {
        if (auto self = weak.lock())
            self->retryConnection();
    });
    retryButton->setFillColor(kRetryFill);
    errorOverlay->addSubview(retryButton);
    container.addSubview(errorOverlay);
}

} // namespace tavrin::panel
