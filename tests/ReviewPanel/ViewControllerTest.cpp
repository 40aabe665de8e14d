// The panel's view controller on the virtual clock, with recording views and
// web view, a recording workspace and an in-process notification centre.
#include "ReviewPanel/ViewController.h"
#include "common/ContainerChannel.h"
#include "tests/support/FakePanelToolkit.h"
#include "tests/support/FakeWorkspace.h"
#include "tests/support/InProcessNotificationCenter.h"
#include "tests/support/ManualMainQueue.h"
#include "tests/support/TestHost.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>

using namespace tavrin;
using namespace tavrin::testing;
using namespace std::chrono_literals;
using panel::NavigationError;
using panel::ViewController;
namespace fs = std::filesystem;

namespace {

const std::string kProduction = "https://app.tavrin.test/fcp-panel/login";
const std::string kDevelopment = "http://localhost:3000/fcp-panel/login";
const std::string kFailed = "failed: ";

class APanel : public ::testing::Test {
  protected:
    void SetUp() override {
        dir = fs::temp_directory_path() / ("panel-vc-" + std::to_string(::getpid()));
        fs::create_directories(dir);
        settings.webOrigin = "https://app.tavrin.test";
        settings.apiBaseURL = "https://api.tavrin.test";
        settings.diagMarkerPath = (dir / "diag").string();
        settings.devMarkerPath = (dir / "dev").string();
    }
    void TearDown() override { fs::remove_all(dir); }
    void mark(bool diag, bool dev) {
        for (auto [path, present] :
             {std::pair{settings.diagMarkerPath, diag}, std::pair{settings.devMarkerPath, dev}})
            present ? void(std::ofstream(path).put('x')) : void(fs::remove(path));
    }
    void start() {
        controller = ViewController::create({queue, toolkit, workspace, &center}, settings);
        controller->loadView();
        controller->viewDidLoad();
        web = toolkit.webView;
    }
    FakeView& label(int i) { return *toolkit.labels.at(i); }
    std::string state() {
        bool loading = !toolkit.views.at(2)->hidden, failed = !toolkit.views.at(5)->hidden;
        if (loading != failed)
            return loading ? "loading" : kFailed + label(3).text;
        return loading ? "both overlays" : "revealed";
    }
    bool allows(const std::string& url, bool mainFrame = true, bool newWindow = false) {
        return controller->decidePolicyForNavigation({url, mainFrame, newWindow});
    }
    void retry() { toolkit.button->action(); }

    fs::path dir;
    panel::PanelSettings settings;
    ManualMainQueue queue;
    FakePanelToolkit toolkit;
    FakeWorkspace workspace;
    InProcessNotificationCenter center;
    std::shared_ptr<ViewController> controller;
    std::shared_ptr<RecordingWebView> web;
};

TEST_F(APanel, ChoosesItsPageFromTheMarkerFilesAtEveryLoad) {
    for (auto [diag, dev, url] :
         {std::tuple{false, false, kProduction}, std::tuple{false, true, kDevelopment},
          std::tuple{true, false, std::string("about:blank")},
          std::tuple{true, true, std::string("about:blank")}}) {
        mark(diag, dev);
        EXPECT_EQ(ViewController::create({queue, toolkit, workspace}, settings)->panelURL(), url);
    }
    mark(false, true);
    start();
    EXPECT_EQ(web->loads, std::vector<std::string>{kDevelopment});
    EXPECT_TRUE(web->developerExtras);
    web->navigation().didFailProvisionalNavigation({"WebKitNetworkError", 399, "boom"});
    mark(false, false);
    retry();
    EXPECT_EQ(web->loads.back(), kProduction);
}

TEST_F(APanel, DiagnosticModeLoadsTheInlinePageAtStartAndRetry) {
    EXPECT_EQ(ViewController::diagnosticHTML.size(), 910u);
    mark(true, true);
    start();
    const std::string page = ViewController::diagnosticBaseURL;
    ASSERT_EQ(web->loads, std::vector<std::string>{"html:" + ViewController::diagnosticHTML});
    // Its own navigation is allowed once, as a main-frame load, and opens nothing.
    EXPECT_FALSE(allows(page, /*mainFrame=*/false));
    EXPECT_TRUE(allows(page));
    EXPECT_TRUE(workspace.opened().empty());
    web->navigation().didFailNavigation({"WebKitNetworkError", 399, "broken"});
    retry();
    EXPECT_EQ(web->loads.back(), "html:" + ViewController::diagnosticHTML);
    EXPECT_TRUE(allows(page));
}

TEST_F(APanel, MovesThroughLoadingRevealedFailedAndRetry) {
    start();
    EXPECT_EQ(state(), "loading");
    web->navigation().didFinishNavigation();
    EXPECT_EQ(state(), "revealed");
    queue.advance(0.49s);
    EXPECT_EQ(web->events("fcp:connected"), 0);
    queue.advance(0.01s);
    EXPECT_EQ(web->events("fcp:connected"), 1);
    queue.advance(60s); // both timers went with the reveal
    EXPECT_EQ(state(), "revealed");
    web->navigation().didFinishNavigation(); // a later navigation: told again
    queue.advance(0.5s);
    EXPECT_EQ(web->events("fcp:connected"), 2);

    web->navigation().didFailNavigation({"WebKitNetworkError", 399, "gone"});
    EXPECT_EQ(state(), kFailed + ViewController::connectFailedMessage);
    EXPECT_EQ(toolkit.button->firstResponderCalls, 0); // not in a window
    toolkit.views.at(1)->inWindow = true;
    retry();
    EXPECT_EQ(state(), "loading");
    EXPECT_EQ(label(0).text, ViewController::reopeningText);
    web->navigation().didFailProvisionalNavigation(
        {panel::URLErrorDomain, panel::URLErrorNotConnectedToInternet, "offline"});
    EXPECT_EQ(state(), kFailed + ViewController::offlineMessage);
    EXPECT_EQ(toolkit.button->firstResponderCalls, 1);
    queue.advance(60s); // failing invalidated both timers
    EXPECT_EQ(state(), kFailed + ViewController::offlineMessage);
    retry();
    web->navigation().didFinishNavigation();
    EXPECT_EQ(state(), "revealed");
    EXPECT_EQ(label(0).text, ViewController::reopeningText); // never set back
}

TEST_F(APanel, RevealsAfterFourSecondsAndTellsThePageTwiceWhenTheFinishComesLater) {
    start();
    queue.advance(3.99s);
    EXPECT_EQ(state(), "loading");
    queue.advance(0.01s);
    EXPECT_EQ(state(), "revealed");
    queue.advance(40s); // the load time-out went with the reveal
    EXPECT_EQ(state(), "revealed");
    web->navigation().didFinishNavigation();
    queue.advance(0.5s);
    EXPECT_EQ(web->events("fcp:connected"), 2);
    EXPECT_EQ(queue.pendingTimers(), 0u);
}

TEST_F(APanel, MapsLoadFailuresToTheirMessages) {
    const std::string url = panel::URLErrorDomain, io = "g-io-error-quark";
    const char *offline = ViewController::offlineMessage,
               *connect = ViewController::connectFailedMessage;
    start();
    for (auto [provisional, domain, code, message] :
         {std::tuple{true, url, -1009L, offline}, std::tuple{true, url, -1005L, offline},
          std::tuple{true, url, -1018L, offline}, std::tuple{true, url, -1020L, offline},
          std::tuple{true, io, -1009L, connect}, std::tuple{true, url, -999L, connect},
          std::tuple{true, url, -1001L, connect}, std::tuple{false, url, -1009L, connect}}) {
        NavigationError error{domain, code, "description"};
        provisional ? web->navigation().didFailProvisionalNavigation(error)
                    : web->navigation().didFailNavigation(error);
        EXPECT_EQ(label(3).text, message) << domain << code;
    }
}

TEST_F(APanel, KeepsTheWebViewOnTheServiceHosts) {
    settings.developmentOrigin = "http://127.0.0.1:3000";
    start();
    // url, main frame, new window, allowed, handed to the desktop
    for (auto [url, mainFrame, newWindow, allowed, opened] : {
             std::tuple{"https://app.tavrin.test/review/1", true, false, true, false},
             std::tuple{"http://app.tavrin.test:8080/x", true, false, true, false},
             std::tuple{"https://api.tavrin.test/api/v1", false, false, true, false},
             std::tuple{"http://127.0.0.1:5555/fcp-panel/login", true, false, true, false},
             std::tuple{"https://eu.app.tavrin.test/x", true, false, false, true},
             std::tuple{"https://APP.tavrin.test/x", true, false, false, true},
             std::tuple{"https://app.tavrin.test.example/x", true, false, false, true},
             std::tuple{"https://example.com/help", true, true, false, true},
             std::tuple{"https://example.com/embed", false, false, false, false},
             std::tuple{"about:blank", true, false, false, false},
             std::tuple{"mailto:team@example.com", true, false, false, false},
             std::tuple{"file:///etc/passwd", true, false, false, false},
             std::tuple{"", true, false, false, false},
         }) {
        auto before = workspace.opened().size();
        EXPECT_EQ(allows(url, mainFrame, newWindow), allowed) << url;
        EXPECT_EQ(workspace.opened().size() - before, opened ? 1u : 0u) << url;
    }
}

TEST_F(APanel, BuildsTheOverlaysInTheContainer) {
    start();
    auto& container = *toolkit.views.at(1);
    ASSERT_EQ(container.subviews.size(), 3u); // web view, loading, error on top
    EXPECT_EQ(container.subviews[2], toolkit.views.at(5));
    EXPECT_EQ(toolkit.views.at(2)->background, (panel::Color{0.09, 0.09, 0.08, 0.92}));
    EXPECT_EQ(toolkit.views.at(6)->frame(), (panel::Rect{8, 8, 3, 684})); // the accent bar
    EXPECT_EQ(toolkit.views.at(6)->mask, 48u);
    EXPECT_EQ(label(0).frame().width, 350);
    for (int i : {1, 2, 3})
        EXPECT_EQ(label(i).frame().width, 372);
    EXPECT_EQ(label(1).text, "TAVRIN / OFFLINE");
    EXPECT_EQ(toolkit.button->frame(), (panel::Rect{20, 4, 140, 24}));
    EXPECT_EQ(toolkit.button->mask, 36u);
}

TEST_F(APanel, WiresThePageBridgeToTheContainerAppAndLogsItsSteps) {
    ::testing::internal::CaptureStderr();
    start();
    web->handlers.at("fcpBridge")(
        {"fcpBridge", Value{{"command", "clearAllMarkers"}, {"resolveId", "r1"}}});
    ASSERT_TRUE(queue.runUntil([&] { return !center.posted().empty(); }));
    auto requestId = stringFor(*center.posted().at(0).userInfo, "requestId").value();
    center.post(ContainerChannel::kResponseNotification,
                Dictionary{{"requestId", requestId}, {"result", true}});
    EXPECT_TRUE(queue.runUntil([&] { return web->events("fcp:resolve") == 1; }));
    allows("https://example.com/x");
    std::string log = ::testing::internal::GetCapturedStderr();
    for (const std::string& line :
         {"info: loadView starting, panelURL: " + kProduction,
          std::string("info: loadView complete, loading started"),
          std::string("debug: navigate policy: https://example.com/x"),
          std::string("info: Opening external URL: https://example.com/x")})
        EXPECT_NE(log.find("ai.tavrin.fcp.extension [ViewController] " + line + "\n"),
                  std::string::npos)
            << line;
}

TEST_F(APanel, LeavesTheEditorAloneOnceReleasedWithALookupStillOpen) {
    auto timeline = std::make_shared<TestTimeline>();
    testHost().setTimeline(timeline);
    start();
    timeline->movePlayheadAndNotify(1.0);
    timeline->movePlayheadAndNotify(50.0); // a jump: a lookup the container app does not answer
    ASSERT_EQ(center.posted().size(), 1u);
    controller.reset();
    timeline->movePlayheadAndNotify(90.0);
    queue.runPending();
    EXPECT_EQ(center.posted().size(), 1u) << "a closed panel went on looking up markers";
    queue.advance(60s); // the lookup times out and lets go of the bridge
    testHost().setTimeline(nullptr);
}

} // namespace
