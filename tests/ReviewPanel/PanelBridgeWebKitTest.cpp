// The bridge end to end in the real engine: a page in WebKitGTK (under a
// private Xvfb) posts to window.webkit.messageHandlers.fcpBridge and reports
// what its listeners receive through a second handler, "probe".
#include "ReviewPanel/MessageHandler.h"
#include "platform/linux/GLibMainQueue.h"
#include "platform/linux/WebKitWebView.h"
#include "tests/support/FakeContainerBridge.h"
#include "tests/support/GtkTestDisplay.h"
#include "tests/support/TestHost.h"

#include <gtest/gtest.h>
#include <gtk/gtk.h>

#include <arpa/inet.h>
#include <sys/socket.h>
#include <unistd.h>

#include <csignal>
#include <filesystem>
#include <fstream>

#include <thread>

using namespace tavrin;
using namespace tavrin::testing;
using linux_platform::GLibMainQueue;
using linux_platform::WebKitWebView;
using panel::CMTimeMake;
using panel::MessageHandler;

// Under LeakSanitizer (asan preset): system libraries that WebKitGTK loads keep
// caches until exit (font cache, JavaScriptCore, D-Bus); they are not ours.
extern "C" const char* __lsan_default_suppressions() {
    return "leak:libfontconfig.so\nleak:libjavascriptcoregtk-4.1.so\nleak:libdbus-1.so\n";
}

namespace {

const char* const kPage = R"HTML(<!DOCTYPE html>
<html><head><meta charset="utf-8"></head><body><script>
function probe(kind, data) { window.webkit.messageHandlers.probe.postMessage({kind: kind, data: data}); }
['fcp:resolve', 'fcp:connected', 'fcp:sequence-changed', 'fcp:playhead-changed', 'fcp:marker-clicked']
  .forEach(function(name) {
    window.addEventListener(name, function(e) {
      if (name === 'fcp:resolve')
        probe('reply', {resolveId: e.detail.resolveId, value: JSON.parse(e.detail.value), text: e.detail.value});
      else
        probe('event', {name: name, detail: e.detail});
    });
  });
var consoleError = console.error;
console.error = function() {
  var parts = Array.prototype.map.call(arguments, function(a) { return String(a); });
  probe('console', parts.join(' '));
  consoleError.apply(console, arguments);
};
window.addEventListener('error', function(e) { probe('uncaught', String(e.message)); });
function request(body) { window.webkit.messageHandlers.fcpBridge.postMessage(body); }
</script></body></html>)HTML";

class LoadWatcher final : public panel::WebViewNavigationDelegate {
  public:
    bool decidePolicyForNavigation(const panel::NavigationAction& action) override {
        asked.push_back(action.url + (action.isNewWindow ? " (new window)" : ""));
        return action.url.find("blocked") == std::string::npos;
    }
    void didFinishNavigation() override {
        finished = true;
        ++finishes;
    }
    void didFailNavigation(const panel::NavigationError& error) override {
        failure = error.localizedDescription;
        ++failures;
    }
    void didFailProvisionalNavigation(const panel::NavigationError& error) override {
        failure = error.localizedDescription;
        provisionalError = error;
        ++failures;
    }
    std::vector<std::string> asked;
    bool finished = false;
    int finishes = 0;
    int failures = 0;
    std::string failure;
    panel::NavigationError provisionalError;
};

class APageInWebKit : public ::testing::Test {
  protected:
    static void SetUpTestSuite() { initGtkForTests(); }

    void SetUp() override {
        timeline = std::make_shared<TestTimeline>();
        testHost().setTimeline(timeline);
        queue = std::make_unique<GLibMainQueue>();
        bridge = std::make_shared<FakeContainerBridge>(*queue);
        window = gtk_offscreen_window_new();
        webView = std::make_shared<WebKitWebView>();
        gtk_container_add(GTK_CONTAINER(window), webView->widget());
        gtk_widget_show_all(window);

        handler = MessageHandler::create(webView, *queue);
        ASSERT_TRUE(webView->addScriptMessageHandler(MessageHandler::scriptMessageName,
                                                     handler->scriptMessageHandler()));
        ASSERT_TRUE(webView->addScriptMessageHandler(
            "probe", [this](const panel::ScriptMessage& m) { probes.push_back(m.body); }));
        EXPECT_FALSE(webView->addScriptMessageHandler("probe", [](const panel::ScriptMessage&) {}));
        webView->setNavigationDelegate(watcher);
        webView->loadHTML(kPage, "http://localhost/panel");
        ASSERT_TRUE(
            runMainLoopUntil([&] { return watcher->finished || !watcher->failure.empty(); }));
        ASSERT_EQ(watcher->failure, "");
        EXPECT_EQ(webView->currentURL(), "http://localhost/panel");
    }

    void TearDown() override {
        bridge->calls.clear();
        handler.reset();
        webView.reset();
        gtk_widget_destroy(window);
        testHost().setTimeline(nullptr);
    }

    void request(const Value& body) {
        webView->evaluateJavaScript("request(" + writeJSON(body).value() + ");", nullptr);
    }
    std::vector<Value> probesOf(const std::string& kind) const {
        std::vector<Value> out;
        for (const auto& p : probes)
            if (p.is_object() && p.contains("kind") && p.at("kind") == kind)
                out.push_back(p.at("data"));
        return out;
    }
    bool waitForProbes(const std::string& kind, std::size_t count) {
        return runMainLoopUntil([&] { return probesOf(kind).size() >= count; });
    }
    // The parsed reply value per resolveId.
    std::map<std::string, Value> replies() const {
        std::map<std::string, Value> out;
        for (const auto& r : probesOf("reply"))
            out[r.at("resolveId").get<std::string>()] = r.at("value");
        return out;
    }

    std::unique_ptr<GLibMainQueue> queue;
    std::shared_ptr<TestTimeline> timeline;
    std::shared_ptr<FakeContainerBridge> bridge;
    GtkWidget* window = nullptr;
    std::shared_ptr<WebKitWebView> webView;
    std::shared_ptr<MessageHandler> handler;
    std::shared_ptr<LoadWatcher> watcher = std::make_shared<LoadWatcher>();
    std::vector<Value> probes;
};

TEST_F(APageInWebKit, ReceivesAReplyToEveryCommand) {
    const std::string name = "Séquence — 日本語 ✂️";
    timeline->setSequence(
        std::make_shared<TestSequence>(name, CMTimeMake(1200, 600), CMTimeMake(1001, 30000)));
    timeline->setPlayheadSeconds(7.25);
    handler->setContainerBridge(bridge);

    request({{"command", "isFCPRunning"}, {"resolveId", "running"}});
    request({{"command", "bogus"}, {"resolveId", "bogus"}});
    request({{"command", "getTimeline"}, {"resolveId", "timeline"}});
    request({{"command", "getPlayhead"}, {"resolveId", "playhead"}});
    request({{"command", "seekTo"}, {"seconds", 3.5}, {"resolveId", "seek"}});
    request({{"command", "openURL"}, {"url", "https://example.com"}, {"resolveId", "open"}});
    request({{"command", "deleteComment"}, {"resolveId", "noId"}});
    request({{"command", "getMarkerAtTime"}, {"resolveId", "noSeconds"}});
    // From here on the container answers.
    request({{"command", "syncComment"},
             {"id", "c1"},
             {"content", "Très bien 👍"},
             {"resolveId", "sync"}});
    request({{"command", "deleteComment"}, {"commentId", "c1"}, {"resolveId", "delete"}});
    request({{"command", "syncAllComments"}, {"comments", {{{"id", "a"}}}}, {"resolveId", "all"}});
    request({{"command", "clearAllMarkers"}, {"resolveId", "clear"}});
    request({{"command", "startExport"}, {"config", {{"name", "Cut"}}}, {"resolveId", "export"}});
    request({{"command", "cancelExport"}, {"resolveId", "cancel"}});
    request({{"command", "selectOutputFolder"}, {"resolveId", "folder"}});
    request({{"command", "getMarkerAtTime"}, {"seconds", 2}, {"resolveId", "marker"}});
    ASSERT_TRUE(runMainLoopUntil([&] { return bridge->calls.size() == 9; }));
    // The page's numbers arrive as the page wrote them: 3.5 a float, 2 an integer.
    EXPECT_EQ(bridge->calls[1].arguments.at("comment").at("content"), "Très bien 👍");
    ASSERT_EQ(timeline->moves().size(), 1u);
    EXPECT_EQ(timeline->moves()[0].value, 2100);

    bridge->succeed(1, true);
    bridge->succeed(2, false);
    bridge->succeed(3, true);
    bridge->succeed(4, true);
    bridge->succeed(5, true);
    bridge->fail(6);
    bridge->succeed(7, "/home/zoë/Exports");
    Value marker = {{"id", "c7"},        {"timestamp", 2.1},         {"timestampEnd", nullptr},
                    {"userName", "Zoë"}, {"content", "Très bien 👍"}, {"resolved", false}};
    bridge->succeed(8, marker);
    ASSERT_TRUE(waitForProbes("reply", 16));

    auto got = replies();
    EXPECT_EQ(got["running"], true);
    EXPECT_EQ(got["bogus"], nullptr);
    EXPECT_EQ(got["timeline"], (Value{{"name", name},
                                      {"duration", 2},
                                      {"frameRate", 29.97},
                                      {"width", 0},
                                      {"height", 0},
                                      {"startTimecode", "00:00:00:00"}}));
    EXPECT_EQ(got["playhead"], 7.25);
    EXPECT_EQ(got["seek"], true);
    EXPECT_EQ(got["open"], true);
    EXPECT_EQ(got["noId"], false);
    EXPECT_EQ(got["noSeconds"], nullptr);
    EXPECT_EQ(got["sync"], true);
    EXPECT_EQ(got["delete"], false);
    EXPECT_EQ(got["all"], true);
    EXPECT_EQ(got["clear"], true);
    EXPECT_EQ(got["export"], true);
    EXPECT_EQ(got["cancel"], false);
    EXPECT_EQ(got["folder"], "/home/zoë/Exports");
    EXPECT_EQ(got["marker"], marker);
    EXPECT_TRUE(probesOf("console").empty());
}

TEST_F(APageInWebKit, ReceivesThePushedEventsWithTheirTextIntact) {
    const std::string name = "Schnitt 3 – Ärger & Überraschung 🎬";
    timeline->setSequence(
        std::make_shared<TestSequence>(name, CMTimeMake(3000, 600), CMTimeMake(1, 25)));
    handler->setContainerBridge(bridge);
    handler->notifyConnected();
    timeline->movePlayheadAndNotify(1.0);
    timeline->movePlayheadAndNotify(42.0); // a jump: the container is asked for a marker
    timeline->notifySequenceChanged();
    ASSERT_TRUE(runMainLoopUntil([&] { return bridge->calls.size() == 1; }));
    bridge->succeed(0, {{"id", "c1"}, {"content", "«Plus court» — 短く"}, {"seconds", 0}});
    ASSERT_TRUE(waitForProbes("event", 6));

    auto events = probesOf("event");
    ASSERT_EQ(events.size(), 6u);
    EXPECT_EQ(events[0], (Value{{"name", "fcp:connected"}, {"detail", Value::object()}}));
    EXPECT_EQ(events[1].at("name"), "fcp:sequence-changed");
    EXPECT_EQ(events[1].at("detail").at("name"), name);
    EXPECT_EQ(events[1].at("detail").at("frameRate"), 25);
    EXPECT_EQ(events[2], (Value{{"name", "fcp:playhead-changed"}, {"detail", {{"seconds", 1}}}}));
    EXPECT_EQ(events[3], (Value{{"name", "fcp:playhead-changed"}, {"detail", {{"seconds", 42}}}}));
    EXPECT_EQ(events[4].at("name"), "fcp:sequence-changed");
    EXPECT_EQ(
        events[5],
        (Value{{"name", "fcp:marker-clicked"},
               {"detail", {{"id", "c1"}, {"content", "«Plus court» — 短く"}, {"seconds", 42}}}}));
}

TEST_F(APageInWebKit, KeepsDeliveringEventsWhenAListenerThrows) {
    ::testing::internal::CaptureStdout();
    webView->evaluateJavaScript(
        "window.addEventListener('fcp:playhead-changed', function(e) {"
        "  if (e.detail.seconds === 2) throw new Error('listener broke'); });",
        nullptr);
    timeline->movePlayheadAndNotify(1.0);
    timeline->movePlayheadAndNotify(2.0);
    timeline->movePlayheadAndNotify(3.0);
    ASSERT_TRUE(waitForProbes("event", 3));
    auto events = probesOf("event");
    EXPECT_EQ(events[2].at("detail"), Value({{"seconds", 3}}));
    // The engine reports a listener's exception itself, without ending the dispatch.
    ASSERT_TRUE(waitForProbes("uncaught", 1));
    EXPECT_NE(probesOf("uncaught")[0].get<std::string>().find("listener broke"), std::string::npos);

    // When the payload cannot be dispatched, the script logs it on the page console.
    webView->evaluateJavaScript(
        "window.realParse = JSON.parse;"
        "JSON.parse = function() { throw new SyntaxError('bad payload'); };",
        nullptr);
    handler->notifyConnected();
    ASSERT_TRUE(waitForProbes("console", 1));
    EXPECT_EQ(probesOf("console")[0],
              "[Tavrin] Failed to dispatch fcp:connected: SyntaxError: bad payload");

    webView->evaluateJavaScript("JSON.parse = window.realParse;", nullptr);
    timeline->movePlayheadAndNotify(4.0);
    ASSERT_TRUE(waitForProbes("event", 4));
    EXPECT_EQ(probesOf("event")[3].at("detail"), Value({{"seconds", 4}}));

    // Completions come back in order: once this one is in, every earlier one is.
    bool drained = false;
    webView->evaluateJavaScript("0;", [&](std::optional<std::string>) { drained = true; });
    bool ok = runMainLoopUntil([&] { return drained; });
    std::string out = ::testing::internal::GetCapturedStdout();
    ASSERT_TRUE(ok);
    // A listener's exception does not fail the evaluation itself.
    EXPECT_EQ(out.find("evaluateJavaScript error"), std::string::npos) << out;
}

TEST_F(APageInWebKit, ReportsScriptErrorsAndHandsOverEveryBodyShape) {
    std::optional<std::string> error;
    bool done = false;
    webView->evaluateJavaScript("throw new Error('boom');", [&](std::optional<std::string> e) {
        error = std::move(e);
        done = true;
    });
    ASSERT_TRUE(runMainLoopUntil([&] { return done; }));
    ASSERT_TRUE(error);
    EXPECT_NE(error->find("boom"), std::string::npos);

    done = false;
    webView->evaluateJavaScript("1 + 1;", [&](std::optional<std::string> e) {
        error = std::move(e);
        done = true;
    });
    ASSERT_TRUE(runMainLoopUntil([&] { return done; }));
    EXPECT_FALSE(error);

    probes.clear();
    webView->evaluateJavaScript(
        "var p = window.webkit.messageHandlers.probe;"
        "p.postMessage({i: 5, f: 5.5, b: true, n: null, s: 'ü', a: [1, {x: 'y'}]});"
        "p.postMessage('text'); p.postMessage(undefined); p.postMessage(7);"
        // Lone surrogates (a string cut inside an emoji); an escaped backslash.
        "p.postMessage({s: 'cut \\ud83d', t: '\\ude00\\ud83d\\ude00', b: '\\\\ud83d'});",
        nullptr);
    ASSERT_TRUE(runMainLoopUntil([&] { return probes.size() == 5; }));
    EXPECT_EQ(probes[0], (Value{{"i", 5},
                                {"f", 5.5},
                                {"b", true},
                                {"n", nullptr},
                                {"s", "ü"},
                                {"a", {1, {{"x", "y"}}}}}));
    EXPECT_TRUE(probes[0].at("i").is_number_integer());
    EXPECT_TRUE(probes[0].at("f").is_number_float());
    EXPECT_EQ(probes[1], "text");
    EXPECT_EQ(probes[2], nullptr);
    EXPECT_EQ(probes[3], 7);
    EXPECT_EQ(probes[4], (Value{{"s", "cut \uFFFD"}, {"t", "\uFFFD😀"}, {"b", "\\ud83d"}}));

    // Bodies that are not objects reach the bridge and are ignored there.
    webView->evaluateJavaScript("request('isFCPRunning'); request(['x']);"
                                "request({command: 'isFCPRunning', resolveId: 'last'});",
                                nullptr);
    ASSERT_TRUE(waitForProbes("reply", 1));
    EXPECT_EQ(probesOf("reply").size(), 1u);
}

TEST_F(APageInWebKit, AsksTheDelegateBeforeNavigatingAndReportsFailedLoads) {
    ASSERT_FALSE(watcher->asked.empty());
    EXPECT_EQ(watcher->asked.back(), "http://localhost/panel");

    webView->evaluateJavaScript("location.href = 'http://localhost/blocked';", nullptr);
    ASSERT_TRUE(
        runMainLoopUntil([&] { return watcher->asked.back() == "http://localhost/blocked"; }));
    request({{"command", "isFCPRunning"}, {"resolveId", "still here"}});
    ASSERT_TRUE(waitForProbes("reply", 1)); // the page was not replaced
    EXPECT_EQ(webView->currentURL(), "http://localhost/panel");
    // Requests for new windows go through the policy too, once each.
    for (const char* open :
         {"window.open('http://localhost/popup-blocked')", "window.open('http://localhost/popup')"})
        webView->evaluateJavaScript(open, nullptr);
    ASSERT_TRUE(runMainLoopUntil(
        [&] { return watcher->asked.back() == "http://localhost/popup (new window)"; }));
    EXPECT_EQ(watcher->asked.end()[-2], "http://localhost/popup-blocked (new window)");

    int finishesBefore = watcher->finishes;
    webView->loadURL("file:///nonexistent/tavrin/page.html");
    ASSERT_TRUE(
        runMainLoopUntil([&] { return !watcher->failure.empty(); }, std::chrono::seconds(10)))
        << "asked: " << watcher->asked.back() << " finished: " << watcher->finished;
    // In the engine's own terms (GIO's "not found").
    EXPECT_EQ(watcher->provisionalError.domain, "g-io-error-quark");
    EXPECT_EQ(watcher->provisionalError.code, G_IO_ERROR_NOT_FOUND);
    // Reported once, as a failure: no "finished" after it and no error page of
    // WebKit's own loading behind it.
    runMainLoopUntil([] { return false; }, std::chrono::milliseconds(500));
    EXPECT_EQ(watcher->failures, 1);
    EXPECT_EQ(watcher->finishes, finishesBefore);
}

// A listening loopback socket on an ephemeral port, and its URL.
std::pair<int, std::string> loopbackListener() {
    int listener = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_in address{AF_INET, 0, {htonl(INADDR_LOOPBACK)}, {}};
    socklen_t length = sizeof address;
    ::bind(listener, reinterpret_cast<sockaddr*>(&address), sizeof address);
    ::listen(listener, 8);
    ::getsockname(listener, reinterpret_cast<sockaddr*>(&address), &length);
    return {listener, "http://127.0.0.1:" + std::to_string(ntohs(address.sin_port)) + "/"};
}

TEST_F(APageInWebKit, ReportsALoadWhoseRedirectItRefusedAsFailed) {
    auto [listener, url] = loopbackListener();
    std::thread server([listener = listener] { // one answer: a redirect to a refused host
        int client = ::accept(listener, nullptr, nullptr);
        char request[4096];
        const char reply[] = "HTTP/1.1 302 Found\r\nLocation: http://elsewhere.invalid/blocked\r\n"
                             "Content-Length: 0\r\nConnection: close\r\n\r\n";
        if (client >= 0 && ::recv(client, request, sizeof request, 0) > 0)
            (void)!::send(client, reply, sizeof reply - 1, MSG_NOSIGNAL);
        ::close(client);
    });
    webView->loadRequest(url, 10);
    runMainLoopUntil([&] { return watcher->failures > 0; }, std::chrono::seconds(10));
    ::shutdown(listener, SHUT_RDWR);
    server.join();
    ::close(listener);
    EXPECT_EQ(watcher->asked.back(), "http://elsewhere.invalid/blocked");
    EXPECT_EQ(watcher->failures, 1) << "neither finished nor failed";
    EXPECT_EQ(watcher->finishes, 1); // the first page's only
}

TEST_F(APageInWebKit, FailsARequestNotAnsweredInItsTimeOut) {
    // A loopback port that takes connections (the kernel's backlog) and never answers.
    auto [listener, url] = loopbackListener();
    webView->loadRequest(url, 0.5);
    EXPECT_TRUE(runMainLoopUntil([&] { return watcher->failures > 0; }, std::chrono::seconds(10)));
    ::close(listener);
    EXPECT_EQ(watcher->provisionalError.domain, panel::URLErrorDomain);
    EXPECT_EQ(watcher->provisionalError.code, panel::URLErrorTimedOut);
    EXPECT_EQ(watcher->failures, 1);
}

TEST_F(APageInWebKit, ReportsTheEndOfThePagesProcessAsAFailureAndLoadsAgain) {
    int killed = 0; // the page's process: a child of this one
    for (const auto& task : std::filesystem::directory_iterator("/proc/self/task")) {
        std::ifstream children(task.path() / "children");
        for (pid_t pid; children >> pid;) {
            std::string name;
            std::getline(std::ifstream("/proc/" + std::to_string(pid) + "/comm"), name);
            if (name.rfind("WebKitWebProces", 0) == 0)
                killed += ::kill(pid, SIGKILL) == 0;
        }
    }
    ASSERT_GT(killed, 0);
    ASSERT_TRUE(runMainLoopUntil([&] { return watcher->failures > 0; }));
    EXPECT_EQ(watcher->failures, 1);
    webView->loadHTML(kPage, "http://localhost/panel");
    ASSERT_TRUE(runMainLoopUntil([&] { return watcher->finishes == 2; }));
    request({{"command", "isFCPRunning"}, {"resolveId", "again"}});
    EXPECT_TRUE(waitForProbes("reply", 1));
}

TEST(WebKitLoadFailures, AreReportedInThePanelsTerms) {
    struct Case {
        GQuark domain;
        int code;
        std::string expectedDomain;
        long expectedCode;
    };
    const std::vector<Case> cases{
        {G_IO_ERROR, G_IO_ERROR_NETWORK_UNREACHABLE, panel::URLErrorDomain,
         panel::URLErrorNotConnectedToInternet},
        // WebKit's network error domain, "cancelled".
        {g_quark_from_static_string("WebKitNetworkError"), 302, panel::URLErrorDomain,
         panel::URLErrorCancelled},
        {G_IO_ERROR, G_IO_ERROR_CONNECTION_REFUSED, "g-io-error-quark",
         G_IO_ERROR_CONNECTION_REFUSED},
        // WebKit's policy error domain, "cannot show MIME type".
        {g_quark_from_static_string("WebKitPolicyError"), 100, "WebKitPolicyError", 100},
    };
    for (const auto& c : cases) {
        GError* error = g_error_new_literal(c.domain, c.code, "what the engine said");
        auto failure = linux_platform::navigationErrorFor(error);
        g_error_free(error);
        EXPECT_EQ(failure.domain, c.expectedDomain) << c.code;
        EXPECT_EQ(failure.code, c.expectedCode);
        EXPECT_EQ(failure.localizedDescription, "what the engine said");
    }
}

} // namespace
