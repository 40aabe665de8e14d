// The panel's view controller on the virtual clock, with a recording web view,
// recording views, a recording workspace and an in-process notification centre.
#include "ReviewPanel/ViewController.h"
#include "common/ContainerChannel.h"
#include "tests/support/FakePanelToolkit.h"
#include "tests/support/FakeWorkspace.h"
#include "tests/support/InProcessNotificationCenter.h"
#include "tests/support/ManualMainQueue.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <filesystem>
#include <fstream>

using namespace tavrin;
using namespace tavrin::testing;
using namespace std::chrono_literals;
using panel::NavigationAction;
using panel::NavigationError;
using panel::Rect;
using panel::ViewController;

namespace fs = std::filesystem;

namespace {

const std::string kProduction = "https://app.tavrin.test/fcp-panel/login";
const std::string kDevelopment = "http://localhost:3000/fcp-panel/login";

class APanel : public ::testing::Test {
  protected:
    void SetUp() override {
        dir = fs::temp_directory_path() /
              ("panel-vc-" + std::to_string(::getpid()) + "-" +
               ::testing::UnitTest::GetInstance()->current_test_info()->name());
        fs::create_directories(dir);
        settings.webOrigin = "https://app.tavrin.test";
        settings.apiBaseURL = "https://api.tavrin.test";
        settings.diagMarkerPath = (dir / "diag").string();
        settings.devMarkerPath = (dir / "dev").string();
    }
    void TearDown() override {
        controller.reset();
        fs::remove_all(dir);
    }
    void mark(const std::string& path, bool present) {
        if (present)
            std::ofstream(path).put('x');
        else
            fs::remove(path);
    }
    void start() {
        controller = ViewController::create({queue, toolkit, workspace, &center}, settings);
        controller->loadView();
        controller->viewDidLoad();
        web = toolkit.webView;
    }
    FakeView& loadingOverlay() { return *toolkit.views.at(1); }
    FakeView& errorOverlay() { return *toolkit.views.at(2); }
    FakeTextField& loadingLabel() { return *toolkit.textFields.at(0); }
    FakeTextField& detailLabel() { return *toolkit.textFields.at(3); }
    FakeButton& retry() { return *toolkit.buttons.at(0); }
    std::string state() {
        bool loading = !loadingOverlay().isHidden(), failed = !errorOverlay().isHidden();
        if (loading && !failed)
            return "loading";
        if (!loading && failed)
            return "failed: " + detailLabel().stringValue();
        if (!loading && !failed)
            return "revealed";
        return "both overlays shown";
    }
    std::size_t connectedNotices() const {
        auto names = web->eventNames();
        return std::count(names.begin(), names.end(), "fcp:connected");
    }
    bool allows(const std::string& url, bool mainFrame = true, bool newWindow = false) {
        return controller->decidePolicyForNavigation(NavigationAction{url, mainFrame, newWindow});
    }

    fs::path dir;
    panel::PanelSettings settings;
    ManualMainQueue queue;
    FakePanelToolkit toolkit;
    FakeWorkspace workspace;
    InProcessNotificationCenter center;
    std::shared_ptr<ViewController> controller;
    std::shared_ptr<RecordingWebView> web;
};

TEST_F(APanel, ChoosesItsPageFromTheMarkerFilesReadAtEveryUse) {
    struct Case {
        bool diag, dev;
        std::string url;
    };
    for (const auto& c : std::vector<Case>{{false, false, kProduction},
                                           {false, true, kDevelopment},
                                           {true, false, "about:blank"},
                                           {true, true, "about:blank"}}) {
        mark(settings.diagMarkerPath, c.diag);
        mark(settings.devMarkerPath, c.dev);
        auto probe = ViewController::create({queue, toolkit, workspace, nullptr}, settings);
        EXPECT_EQ(probe->panelURL(), c.url) << c.diag << c.dev;
    }

    mark(settings.diagMarkerPath, false);
    mark(settings.devMarkerPath, true);
    start();
    ASSERT_EQ(web->loads, std::vector<std::string>{kDevelopment});
    EXPECT_EQ(web->requestTimeouts.at(0), 60.0);
    EXPECT_TRUE(web->developerExtrasEnabled);
    web->navigation()->didFailProvisionalNavigation({"WebKitNetworkError", 399, "boom"});
    mark(settings.devMarkerPath, false);
    retry().press();
    EXPECT_EQ(web->loads.back(), kProduction);
}

TEST_F(APanel, DiagnosticModeLoadsTheInlinePageAndRetryLoadsItAgain) {
    EXPECT_EQ(ViewController::diagnosticHTML.size(), 910u);
    EXPECT_EQ(std::count(ViewController::diagnosticHTML.begin(),
                         ViewController::diagnosticHTML.end(), '\n'),
              16);
    mark(settings.diagMarkerPath, true);
    mark(settings.devMarkerPath, true);
    start();
    ASSERT_EQ(web->loads, std::vector<std::string>{"html:" + ViewController::diagnosticHTML});
    // The inline page's own navigation is allowed once, and opens nothing.
    const std::string page = ViewController::diagnosticBaseURL;
    EXPECT_TRUE(allows(page));
    EXPECT_TRUE(workspace.opened().empty());
    EXPECT_FALSE(allows(page));
    web->navigation()->didFailNavigation({"WebKitNetworkError", 399, "broken"});
    retry().press();
    EXPECT_EQ(web->loads.back(), "html:" + ViewController::diagnosticHTML);
    EXPECT_FALSE(allows(page, /*mainFrame=*/false));
    EXPECT_TRUE(allows(page));
}

TEST_F(APanel, MovesThroughLoadingRevealedFailedAndRetry) {
    start();
    EXPECT_EQ(state(), "loading");
    EXPECT_EQ(queue.pendingTimers(), 2u);

    // Finished: revealed, and the page hears it is connected half a second later.
    web->navigation()->didFinishNavigation();
    EXPECT_EQ(state(), "revealed");
    queue.advance(0.49s);
    EXPECT_EQ(connectedNotices(), 0u);
    queue.advance(0.01s);
    EXPECT_EQ(connectedNotices(), 1u);
    // Both timers went with the reveal: nothing more happens.
    queue.advance(60s);
    EXPECT_EQ(state(), "revealed");
    EXPECT_EQ(connectedNotices(), 1u);

    // A later navigation finishing tells the page again.
    web->navigation()->didFinishNavigation();
    queue.advance(0.5s);
    EXPECT_EQ(connectedNotices(), 2u);

    web->navigation()->didFailNavigation({"WebKitNetworkError", 399, "gone"});
    EXPECT_EQ(state(), std::string("failed: ") + ViewController::connectFailedMessage);
    EXPECT_EQ(retry().firstResponderCalls, 0); // not in a window

    toolkit.views.at(0)->inWindow = true;
    retry().press();
    EXPECT_EQ(state(), "loading");
    EXPECT_EQ(loadingLabel().stringValue(), ViewController::reopeningText);
    EXPECT_EQ(web->loads.size(), 2u);
    web->navigation()->didFailProvisionalNavigation(
        {panel::URLErrorDomain, panel::URLErrorNotConnectedToInternet, "offline"});
    EXPECT_EQ(state(), std::string("failed: ") + ViewController::offlineMessage);
    EXPECT_EQ(retry().firstResponderCalls, 1);
    // Failed invalidated both timers.
    queue.advance(60s);
    EXPECT_EQ(state(), std::string("failed: ") + ViewController::offlineMessage);

    retry().press();
    web->navigation()->didFinishNavigation();
    EXPECT_EQ(state(), "revealed");
    // The status line keeps the retry text.
    EXPECT_EQ(loadingLabel().stringValue(), ViewController::reopeningText);
}

TEST_F(APanel, RevealsAfterFourSecondsAndTellsThePageTwiceWhenTheFinishComesLater) {
    start();
    queue.advance(3.99s);
    EXPECT_EQ(state(), "loading");
    queue.advance(0.01s);
    EXPECT_EQ(state(), "revealed");
    queue.advance(0.5s);
    EXPECT_EQ(connectedNotices(), 1u);
    // The load time-out was invalidated by the reveal.
    queue.advance(40s);
    EXPECT_EQ(state(), "revealed");
    web->navigation()->didFinishNavigation();
    queue.advance(0.5s);
    EXPECT_EQ(connectedNotices(), 2u);
    EXPECT_EQ(queue.pendingTimers(), 0u);
}

TEST_F(APanel, TimersAndNoticesDoNothingOnceTheControllerIsGone) {
    start();
    web->navigation()->didFinishNavigation();
    std::weak_ptr<ViewController> weak = controller;
    controller.reset();
    EXPECT_TRUE(weak.expired());
    queue.advance(60s); // must not crash
    EXPECT_EQ(connectedNotices(), 0u);
}

TEST_F(APanel, MapsLoadFailuresToTheirMessages) {
    struct Case {
        bool provisional;
        std::string domain;
        long code;
        const char* message;
    };
    const std::string url = panel::URLErrorDomain;
    const std::vector<Case> cases{
        {true, url, -1009, ViewController::offlineMessage},
        {true, url, -1005, ViewController::offlineMessage},
        {true, url, -1018, ViewController::offlineMessage},
        {true, url, -1020, ViewController::offlineMessage},
        {true, "g-io-error-quark", -1009, ViewController::connectFailedMessage},
        {true, url, -999, ViewController::connectFailedMessage},
        {true, url, -1001, ViewController::connectFailedMessage},
        {true, "g-io-error-quark", 39, ViewController::connectFailedMessage},
        {false, url, -1009, ViewController::connectFailedMessage},
    };
    start();
    for (const auto& c : cases) {
        NavigationError error{c.domain, c.code, "description"};
        if (c.provisional)
            web->navigation()->didFailProvisionalNavigation(error);
        else
            web->navigation()->didFailNavigation(error);
        EXPECT_EQ(detailLabel().stringValue(), c.message) << c.domain << c.code;
    }
}

TEST_F(APanel, KeepsTheWebViewOnTheServiceHosts) {
    settings.developmentOrigin = "http://127.0.0.1:3000";
    start();
    struct Case {
        std::string url;
        bool mainFrame, newWindow, allowed, opened;
    };
    const std::vector<Case> cases{
        {"https://app.tavrin.test/review/1", true, false, true, false},
        {"http://app.tavrin.test:8080/x", true, false, true,
         false}, // scheme and port not looked at
        {"https://api.tavrin.test/api/v1", false, false, true, false},
        {"http://127.0.0.1:5555/fcp-panel/login", true, false, true, false},
        {"https://user@app.tavrin.test/x", true, false, true, false},
        {"https://eu.app.tavrin.test/x", true, false, false, true}, // a subdomain is another host
        {"https://APP.tavrin.test/x", true, false, false, true},
        {"https://app.tavrin.test.evil.example/x", true, false, false, true},
        {"https://example.com/help", true, true, false, true},     // a new window
        {"https://example.com/embed", false, false, false, false}, // a sub-frame opens nothing
        {"about:blank", true, false, false, false},
        {"mailto:team@example.com", true, false, false, false},
        {"file:///etc/passwd", true, false, false, false},
        {"javascript:alert(1)", true, false, false, false},
        {"", true, false, false, false},
    };
    for (const auto& c : cases) {
        auto before = workspace.opened().size();
        EXPECT_EQ(allows(c.url, c.mainFrame, c.newWindow), c.allowed) << c.url;
        EXPECT_EQ(workspace.opened().size() - before, c.opened ? 1u : 0u) << c.url;
        if (c.opened) {
            EXPECT_EQ(workspace.opened().back(), c.url);
        }
    }
}

TEST_F(APanel, BuildsTheOverlaysAtTheirPlaces) {
    start();
    auto& container = *toolkit.views.at(0);
    EXPECT_EQ(container.frame(), (Rect{0, 0, 400, 700}));
    EXPECT_EQ(container.backgroundColor, (panel::Color{0.09, 0.09, 0.08, 1.0}));
    // Web view, then loading overlay, then error overlay on top.
    ASSERT_EQ(container.subviews.size(), 3u);
    EXPECT_EQ(container.subviews[0], toolkit.webViewView);
    EXPECT_EQ(container.subviews[2].get(), &errorOverlay());
    EXPECT_EQ(toolkit.webViewView->autoresizingMask, 18u);
    EXPECT_EQ(loadingOverlay().backgroundColor, (panel::Color{0.09, 0.09, 0.08, 0.92}));
    EXPECT_EQ(errorOverlay().autoresizingMask, 18u);
    EXPECT_TRUE(toolkit.spinners.at(0)->animating);
    EXPECT_EQ(toolkit.spinners.at(0)->frame(), (Rect{20, 30, 16, 16}));

    auto& bar = *toolkit.views.at(3);
    EXPECT_EQ(bar.frame(), (Rect{8, 8, 3, 684}));
    EXPECT_EQ(bar.autoresizingMask, 48u);
    struct Label {
        std::string text;
        Rect frame;
        double size;
        panel::FontWeight weight;
    };
    const std::vector<Label> labels{
        {"Opening your review workspace…", {42, 30, 350, 16}, 10, panel::FontWeight::regular},
        {"TAVRIN / OFFLINE", {20, 70, 372, 12}, 9, panel::FontWeight::bold},
        {"Connection paused", {20, 48, 372, 18}, 14, panel::FontWeight::semibold},
        {"Check your connection and try again.", {20, 28, 372, 14}, 10, panel::FontWeight::regular},
    };
    for (std::size_t i = 0; i < labels.size(); ++i) {
        auto& field = *toolkit.textFields.at(i);
        EXPECT_EQ(field.stringValue(), labels[i].text);
        EXPECT_EQ(field.frame(), labels[i].frame) << labels[i].text;
        EXPECT_EQ(field.fontSize, labels[i].size);
        EXPECT_EQ(field.fontWeight, labels[i].weight);
        EXPECT_EQ(field.autoresizingMask, 0u);
    }
    EXPECT_EQ(toolkit.textFields.at(1)->textColor, (panel::Color{0.88, 0.4, 0.32, 1.0}));
    EXPECT_EQ(detailLabel().lineBreakMode, panel::LineBreakMode::wordWrapping);
    EXPECT_EQ(detailLabel().maximumNumberOfLines, 3);
    EXPECT_EQ(retry().frame(), (Rect{20, 4, 140, 24}));
    EXPECT_EQ(retry().autoresizingMask, 36u);
    EXPECT_EQ(retry().title, "Retry connection");
}

TEST(Autoresizing, KeepsCornerDistancesAndGrowsWhatIsFlexible) {
    const Rect old{0, 0, 400, 700}, bigger{0, 0, 600, 1000};
    struct Case {
        Rect frame;
        unsigned mask;
        Rect expected;
    };
    const std::vector<Case> cases{
        {{20, 30, 16, 16}, 0, {20, 30, 16, 16}},
        {{0, 0, 400, 700}, 18, {0, 0, 600, 1000}},
        {{20, 4, 140, 24}, 36, {20, 4, 140, 24}},
        // The bar shares the growth with its top margin, in proportion (684 : 8).
        {{8, 8, 3, 684}, 48, {8, 8, 3, 684 + 300.0 * 684 / 692}},
        {{10, 10, 100, 100}, 1 | 4, {10 + 200.0 * 10 / 300, 10, 100, 100}}, // 10 : 290
    };
    for (const auto& c : cases) {
        auto r = panel::autoresizedFrame(c.frame, c.mask, old, bigger);
        EXPECT_NEAR(r.x, c.expected.x, 1e-9);
        EXPECT_NEAR(r.y, c.expected.y, 1e-9);
        EXPECT_NEAR(r.width, c.expected.width, 1e-9);
        EXPECT_NEAR(r.height, c.expected.height, 1e-9);
    }
}

TEST_F(APanel, WiresThePageBridgeToTheContainerApp) {
    start();
    ASSERT_EQ(web->handlers.count("fcpBridge"), 1u);
    EXPECT_EQ(center.observerCount(), 1u);
    web->handlers.at("fcpBridge")(
        {"fcpBridge", Value{{"command", "clearAllMarkers"}, {"resolveId", "r1"}}});
    ASSERT_TRUE(queue.runUntil([&] { return !center.posted().empty(); }));
    auto command = center.posted().at(0);
    EXPECT_EQ(command.name, ContainerChannel::kCommandNotification);
    auto requestId = stringFor(*command.userInfo, ContainerChannel::kRequestIdKey).value();
    center.post(ContainerChannel::kResponseNotification,
                Dictionary{{"requestId", requestId}, {"result", true}});
    ASSERT_TRUE(queue.runUntil([&] {
        auto names = web->eventNames();
        return std::count(names.begin(), names.end(), "fcp:resolve") == 1;
    }));
}

TEST_F(APanel, WritesThePanelLogLines) {
    ::testing::internal::CaptureStderr();
    start();
    web->navigation()->didFailProvisionalNavigation(
        {panel::URLErrorDomain, panel::URLErrorCancelled, "cancelled"});
    allows("https://example.com/x");
    std::string log = ::testing::internal::GetCapturedStderr();
    const std::string prefix = "ai.tavrin.fcp.extension [ViewController] ";
    for (const std::string& line : {
             "info: loadView starting, panelURL: " + kProduction,
             std::string("info: showLoading"),
             std::string("info: loadView complete, loading started"),
             std::string("error: didFailProvisional: [NSURLErrorDomain:-999] cancelled"),
             "error: showError: " + std::string(ViewController::connectFailedMessage),
             std::string("debug: navigate policy: https://example.com/x"),
             std::string("info: Opening external URL: https://example.com/x"),
         })
        EXPECT_NE(log.find(prefix + line + "\n"), std::string::npos) << line;
}

} // namespace
