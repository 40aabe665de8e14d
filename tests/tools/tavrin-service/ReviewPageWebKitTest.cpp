// The review workspace page served by a running tavrin-service, in the real
// engine (WebKitGTK under a private Xvfb), against a fake panel bridge that
// records every message the page posts to "fcpBridge" and answers it.
#include "common/Base64.h"
#include "common/Value.h"
#include "platform/linux/WebKitWebView.h"
#include "tests/support/GtkTestDisplay.h"
#include "tests/tools/tavrin-service/ServiceProcess.h"

#include <gtest/gtest.h>
#include <gtk/gtk.h>
#include <httplib.h>
#include <set>
#include <tuple>

using namespace tavrin;
using namespace tavrin::testing;
using linux_platform::WebKitWebView;

extern "C" const char* __lsan_default_suppressions() {
    return "leak:libfontconfig.so\nleak:libjavascriptcoregtk-4.1.so\nleak:libdbus-1.so\n";
}

namespace {

class LoadWatcher final : public panel::WebViewNavigationDelegate {
  public:
    bool decidePolicyForNavigation(const panel::NavigationAction&) override { return true; }
    void didFinishNavigation() override { finished = true; }
    void didFailNavigation(const panel::NavigationError& error) override {
        failure = error.localizedDescription;
    }
    void didFailProvisionalNavigation(const panel::NavigationError& error) override {
        failure = error.localizedDescription;
    }
    bool finished = false;
    std::string failure;
};

class AReviewPage : public ::testing::Test {
  protected:
    static void SetUpTestSuite() { initGtkForTests(); }

    void SetUp() override {
        service = std::make_unique<ServiceProcess>(data.path());
        window = gtk_offscreen_window_new();
        gtk_window_set_default_size(GTK_WINDOW(window), 400, 700);
        webView = std::make_shared<WebKitWebView>();
        gtk_container_add(GTK_CONTAINER(window), webView->widget());
        gtk_widget_show_all(window);
        ASSERT_TRUE(webView->addScriptMessageHandler(
            "fcpBridge", [this](const panel::ScriptMessage& m) { received(m.body); }));
        ASSERT_TRUE(webView->addScriptMessageHandler(
            "probe", [this](const panel::ScriptMessage& m) { probes.push_back(m.body); }));
        webView->setNavigationDelegate(watcher);
        webView->loadURL(service->url() + "/fcp-panel/login");
        ASSERT_TRUE(
            runMainLoopUntil([&] { return watcher->finished || !watcher->failure.empty(); }));
        ASSERT_EQ(watcher->failure, "");
        // The page has loaded the demo project's comments from the service.
        ASSERT_TRUE(runMainLoopUntil(
            [&] { return query("document.querySelectorAll('.comment').length") == 3; }));
    }

    void TearDown() override {
        webView.reset();
        gtk_widget_destroy(window);
    }

    // The fake bridge: records the message and answers it as the panel would.
    void received(const Value& body) {
        messages.push_back(body);
        const std::string command = body.value("command", "");
        if (held.count(command)) {
            heldRequests.push_back(body);
            return;
        }
        Value answer = true;
        if (command == "getTimeline")
            answer = {{"name", "Schnitt — Ärger"},
                      {"duration", 60.0},
                      {"frameRate", 25},
                      {"width", 0},
                      {"height", 0},
                      {"startTimecode", "00:00:00:00"}};
        else if (command == "getPlayhead")
            answer = 10.0;
        else if (answers.count(command))
            answer = answers[command];
        if (body.contains("resolveId"))
            push("fcp:resolve",
                 {{"resolveId", body.at("resolveId")}, {"value", writeJSON(answer).value()}});
    }
    // Dispatches an event into the page the way the bridge's injected script does.
    void push(const std::string& event, const Value& detail) {
        const std::string json = writeJSON(detail).value();
        webView->evaluateJavaScript(
            "window.dispatchEvent(new CustomEvent('" + event +
                "', {detail: JSON.parse(new TextDecoder().decode(Uint8Array.from(atob('" +
                base64Encode(json) + "'), c => c.charCodeAt(0))))}));",
            nullptr);
    }
    // Evaluates a page expression and returns its value (as JSON data).
    Value query(const std::string& expression) {
        std::size_t before = probes.size();
        webView->evaluateJavaScript(
            "window.webkit.messageHandlers.probe.postMessage({v: (" + expression + ")});", nullptr);
        if (!runMainLoopUntil([&] { return probes.size() > before; }))
            return "no answer";
        return probes.back().value("v", Value());
    }
    std::vector<Value> messagesNamed(const std::string& command) const {
        std::vector<Value> out;
        for (const Value& m : messages)
            if (m.value("command", "") == command)
                out.push_back(m);
        return out;
    }
    bool waitForMessage(const std::string& command, std::size_t count = 1) {
        return runMainLoopUntil([&] { return messagesNamed(command).size() >= count; });
    }
    httplib::Result call(const std::string& method, const std::string& path,
                         const Value& body = nullptr) {
        httplib::Client client(service->url());
        httplib::Headers headers{{"Authorization", "Bearer " + service->token()}};
        if (method == "PATCH")
            return client.Patch(path, headers, writeJSON(body).value(), "application/json");
        return method == "POST"
                   ? client.Post(path, headers, writeJSON(body).value(), "application/json")
                   : client.Delete(path, headers);
    }

    TempFolder data;
    std::unique_ptr<ServiceProcess> service;
    GtkWidget* window = nullptr;
    std::shared_ptr<WebKitWebView> webView;
    std::shared_ptr<LoadWatcher> watcher = std::make_shared<LoadWatcher>();
    std::vector<Value> messages;
    std::vector<Value> probes;
    std::map<std::string, Value> answers;
    std::set<std::string> held; // commands left unanswered
    std::vector<Value> heldRequests;
};

TEST_F(AReviewPage, ReadsTheTimelineOnConnectAndShowsThePlayheadAsTimecode) {
    EXPECT_EQ(query("document.getElementById('editor-state').textContent"), "Editor: waiting");
    const std::size_t before = messages.size();
    push("fcp:connected", Value::object());
    ASSERT_TRUE(waitForMessage("getPlayhead"));
    ASSERT_GE(messages.size(), before + 2);
    EXPECT_EQ(messages[before].at("command"), "getTimeline");
    EXPECT_EQ(messages[before + 1].at("command"), "getPlayhead");
    EXPECT_TRUE(messages[before].at("resolveId").is_string());
    EXPECT_NE(messages[before].at("resolveId"), messages[before + 1].at("resolveId"));

    ASSERT_TRUE(runMainLoopUntil(
        [&] { return query("document.getElementById('playhead').textContent") == "00:00:10:00"; }));
    EXPECT_EQ(query("document.getElementById('editor-state').textContent"), "Editor: connected");
    EXPECT_EQ(query("document.getElementById('sequence').textContent"), "Schnitt — Ärger · 25 fps");
    push("fcp:playhead-changed", {{"seconds", 83.52}});
    EXPECT_TRUE(runMainLoopUntil(
        [&] { return query("document.getElementById('playhead').textContent") == "00:01:23:13"; }));

    // Rounded NTSC rates count at their exact rate, also an hour in; the
    // frame field is as wide as the rate needs; a nameless sequence says so.
    for (auto [rate, seconds, shown] : std::vector<std::tuple<double, double, std::string>>{
             {29.97, 100 * 1001 / 30000.0, "00:00:03:10"},
             {59.94, 7199 * 1001 / 60000.0, "00:01:59:59"},
             {23.98, 86400 * 1001 / 24000.0, "01:00:00:00"},
             {1000, 3600.005, "01:00:00:005"},
             {1000, 1e300, "--:--:--:--"}}) {
        push("fcp:sequence-changed", {{"frameRate", rate}});
        push("fcp:playhead-changed", {{"seconds", seconds}});
        EXPECT_TRUE(runMainLoopUntil([&] {
            return query("document.getElementById('playhead').textContent") == shown;
        })) << rate;
    }
    EXPECT_EQ(query("document.getElementById('sequence').textContent"),
              "Untitled sequence · 1000 fps");
}

TEST_F(AReviewPage, AddsARangeAsShownWhateverTheOrderOfItsEnds) {
    push("fcp:playhead-changed", {{"seconds", 20}});
    webView->evaluateJavaScript("document.getElementById('mark-in').click();", nullptr);
    push("fcp:playhead-changed", {{"seconds", -3}}); // before the start: taken as the start
    ASSERT_TRUE(runMainLoopUntil([&] {
        return query("document.getElementById('add-comment').textContent") == "Add at 00:00:00.000";
    }));
    webView->evaluateJavaScript("document.getElementById('new-content').value = 'Trop long';"
                                "document.getElementById('add-comment').click();",
                                nullptr);
    ASSERT_TRUE(waitForMessage("syncComment"));
    EXPECT_EQ(messagesNamed("syncComment")[0].at("timestamp"), 0);
    EXPECT_EQ(messagesNamed("syncComment")[0].at("timestampEnd"), 20);
}

TEST_F(AReviewPage, KeepsAnEditAndItsMarkersThroughChangesMadeElsewhere) {
    // An edit under way survives a change from elsewhere; a long name fits.
    webView->evaluateJavaScript(
        "document.querySelector('.comment[data-id=\"demo-c1\"] .actions button + button').click();"
        "var t = document.querySelector('.comment textarea'); t.value = 'draft';"
        "t.dispatchEvent(new Event('input')); document.getElementById('new-content').focus();",
        nullptr);
    ASSERT_TRUE(
        call("POST", "/api/projects/demo/comments",
             {{"timestamp", 1}, {"content", "שלום!"}, {"userName", std::string(200, 'W')}}));
    ASSERT_TRUE(waitForMessage("syncComment"));
    EXPECT_EQ(query("(document.querySelector('.comment textarea') || {}).value"), "draft");
    EXPECT_EQ(query("document.activeElement.id"), "new-content"); // where the user went on
    EXPECT_EQ(query("document.documentElement.scrollWidth <= innerWidth"), true);
    // Right-to-left text takes its own direction (its "!" ends it on the left).
    EXPECT_EQ(query("getComputedStyle(document.querySelector('.comment .content')).direction"),
              "rtl");

    // The answer to a change of a comment deleted meanwhile brings back
    // neither the comment nor its marker.
    webView->evaluateJavaScript(
        "window.held = []; const f = window.fetch; window.fetch = (u, o) => f(u, o).then(r => "
        "o && o.method === 'PATCH' ? new Promise(g => held.push(() => g(r))) : r);"
        "document.querySelector('.comment[data-id=\"demo-c2\"] .actions button').click();",
        nullptr);
    ASSERT_TRUE(runMainLoopUntil([&] { return query("held.length") == 1; }));
    ASSERT_TRUE(call("DELETE", "/api/comments/demo-c2"));
    ASSERT_TRUE(waitForMessage("deleteComment"));
    webView->evaluateJavaScript("held[0]();", nullptr);
    ASSERT_TRUE(call("POST", "/api/projects/demo/comments", {{"timestamp", 2}, {"content", "y"}}));
    ASSERT_TRUE(waitForMessage("syncComment", 3));
    EXPECT_EQ(query("document.querySelectorAll('.comment[data-id=\"demo-c2\"]').length"), 0);
    EXPECT_EQ(messagesNamed("syncComment").size(), 3u); // the new two and the resolve
}

TEST_F(AReviewPage, CatchesUpWithChangesMadeWhileTheServiceWasAway) {
    const int port = service->port();
    service.reset();
    service = std::make_unique<ServiceProcess>(
        data.path(), std::vector<std::string>{"--port", std::to_string(port)});
    ASSERT_TRUE(call("DELETE", "/api/comments/demo-c1"));
    auto made = call("POST", "/api/projects/demo/comments", {{"timestamp", 3}, {"content", "Z"}});
    ASSERT_TRUE(made);
    ASSERT_TRUE(waitForMessage("deleteComment"));
    EXPECT_EQ(messagesNamed("deleteComment")[0].at("commentId"), "demo-c1");
    ASSERT_TRUE(waitForMessage("syncComment"));
    EXPECT_EQ(messagesNamed("syncComment")[0].at("id"), parseJSON(made->body).value().at("id"));
    EXPECT_EQ(query("document.querySelectorAll('.comment').length"), 3);
}

TEST_F(AReviewPage, SyncsACommentAddedAtThePlayheadAndChangesMadeElsewhere) {
    push("fcp:connected", Value::object());
    push("fcp:playhead-changed", {{"seconds", 12.5}});
    ASSERT_TRUE(runMainLoopUntil([&] {
        return query("document.getElementById('add-comment').textContent") == "Add at 00:00:12:12";
    }));
    webView->evaluateJavaScript(
        "document.getElementById('author').value = 'Zoë';"
        "document.getElementById('new-content').value = 'Plus court — 短く';"
        "document.getElementById('add-comment').click();",
        nullptr);
    ASSERT_TRUE(waitForMessage("syncComment"));
    Value sync = messagesNamed("syncComment")[0];
    EXPECT_EQ(sync.at("timestamp"), 12.5);
    EXPECT_EQ(sync.at("timestampEnd"), nullptr);
    EXPECT_EQ(sync.at("content"), "Plus court — 短く");
    EXPECT_EQ(sync.at("userName"), "Zoë");
    EXPECT_EQ(sync.at("resolved"), false);
    const std::string id = sync.at("id");
    EXPECT_EQ(id.rfind("c-", 0), 0u);

    // A comment made and one deleted by someone else reach the timeline too.
    auto made = call("POST", "/api/projects/demo/comments",
                     {{"timestamp", 3}, {"content", "From the web"}});
    ASSERT_TRUE(made);
    const std::string otherId = parseJSON(made->body).value().at("id");
    ASSERT_TRUE(waitForMessage("syncComment", 2));
    EXPECT_EQ(messagesNamed("syncComment")[1].at("id"), otherId);
    ASSERT_TRUE(call("DELETE", "/api/comments/" + id));
    ASSERT_TRUE(waitForMessage("deleteComment"));
    EXPECT_EQ(messagesNamed("deleteComment")[0].at("commentId"), id);
    // The page's own comment came back through the feed without a second sync.
    EXPECT_EQ(messagesNamed("syncComment").size(), 2u);
    // Deleted in the page: pressed again to confirm (a native dialog would stop the page).
    const std::string remove =
        "document.querySelector('.comment[data-id=\"demo-c3\"] button:last-child').click();";
    webView->evaluateJavaScript(remove + remove, nullptr);
    ASSERT_TRUE(waitForMessage("deleteComment", 2));
    EXPECT_EQ(messagesNamed("deleteComment")[1].at("commentId"), "demo-c3");
}

TEST_F(AReviewPage, HighlightsTheClickedMarkersCommentAndSeeksOnAClick) {
    push("fcp:marker-clicked", {{"id", "demo-c2"}, {"timestamp", 5.5}, {"seconds", 5.5}});
    ASSERT_TRUE(runMainLoopUntil([&] {
        return query("(document.querySelector('.comment.highlighted') || {dataset: {}}).dataset.id "
                     "|| null") == "demo-c2";
    }));
    EXPECT_EQ(query("document.querySelectorAll('.comment.highlighted').length"), 1);

    webView->evaluateJavaScript(
        "document.querySelector('.comment[data-id=\"demo-c3\"] .content').click();", nullptr);
    ASSERT_TRUE(waitForMessage("seekTo"));
    EXPECT_EQ(messagesNamed("seekTo")[0].at("seconds"), 12);
}

TEST_F(AReviewPage, ShowsEveryFailedAnswer) {
    answers["clearAllMarkers"] = false;
    answers["selectOutputFolder"] = nullptr;
    webView->evaluateJavaScript("document.getElementById('clear-markers').click();"
                                "document.getElementById('choose-folder').click();",
                                nullptr);
    ASSERT_TRUE(runMainLoopUntil(
        [&] { return query("document.querySelectorAll('#problems li').length") == 2; }));
    Value shown = query("Array.from(document.querySelectorAll('#problems li span')).map(n => "
                        "n.textContent).join('|')");
    EXPECT_NE(shown.get<std::string>().find("clearAllMarkers answered false"), std::string::npos)
        << shown;
    EXPECT_NE(shown.get<std::string>().find("selectOutputFolder answered null"), std::string::npos)
        << shown;
    // The same failure again is counted, not pushing others out.
    webView->evaluateJavaScript("document.getElementById('clear-markers').click();", nullptr);
    EXPECT_TRUE(runMainLoopUntil([&] {
        return query("document.getElementById('problems').textContent").dump().find("(×2)") !=
               std::string::npos;
    }));
    EXPECT_EQ(query("document.querySelectorAll('#problems li').length"), 2);

    // Export: the folder chosen is sent back with the project and the token.
    answers["selectOutputFolder"] = "/home/zoë/Exports";
    webView->evaluateJavaScript("document.getElementById('choose-folder').click();", nullptr);
    ASSERT_TRUE(runMainLoopUntil([&] {
        return query("document.getElementById('folder').textContent") == "/home/zoë/Exports";
    }));
    // The path reads left to right (its first "/" first) in the start-clipped field.
    EXPECT_EQ(query("(() => { let t = document.getElementById('folder'); while (t.firstChild) t = "
                    "t.firstChild; const x = i => { const r = document.createRange(); "
                    "r.setStart(t, i); r.setEnd(t, i + 1); return r.getBoundingClientRect().left; "
                    "}; return x(0) < x(1); })()"),
              true);
    // Pressed again while the first start is open: one request, answered once.
    held = {"startExport"};
    webView->evaluateJavaScript("document.getElementById('export-name').value = 'Cut 2';"
                                "document.getElementById('start-export').click();"
                                "document.getElementById('start-export').click();",
                                nullptr);
    ASSERT_TRUE(waitForMessage("startExport"));
    EXPECT_EQ(query("document.getElementById('stop-export').disabled"), true);
    EXPECT_EQ(messagesNamed("startExport").size(), 1u);
    push("fcp:resolve", {{"resolveId", heldRequests[0].at("resolveId")}, {"value", "true"}});
    EXPECT_TRUE(runMainLoopUntil(
        [&] { return query("document.getElementById('stop-export').disabled") == false; }));
    EXPECT_EQ(messagesNamed("startExport")[0].at("config"),
              (Value{{"projectId", "demo"},
                     {"token", service->token()},
                     {"name", "Cut 2"},
                     {"outputFolder", "/home/zoë/Exports"}}));
}

TEST_F(AReviewPage, ShowsUploadsAsTheyCompleteAndSendsItsOtherCommands) {
    auto initiated = call(
        "POST", "/api/videos/chunked-upload/initiate",
        {{"fileName", "Cut 3.mp4"}, {"fileSize", 0}, {"totalChunks", 0}, {"projectId", "demo"}});
    ASSERT_TRUE(initiated);
    const Value upload = parseJSON(initiated->body).value();
    const std::string badge = "(document.querySelector('#videos li[data-id=\"" +
                              upload.at("videoId").get<std::string>() +
                              "\"] .badge') || {}).textContent || null";
    ASSERT_TRUE(runMainLoopUntil([&] { return query(badge) == "uploading"; }));
    ASSERT_TRUE(call("POST", "/api/videos/chunked-upload/complete",
                     {{"uploadId", upload.at("uploadId")},
                      {"videoId", upload.at("videoId")},
                      {"totalChunks", 0}}));
    EXPECT_TRUE(runMainLoopUntil([&] { return query(badge) == "ready"; }));

    held = {"syncAllComments"};
    webView->evaluateJavaScript("document.getElementById('sync-all').click();"
                                "document.getElementById('open-browser').click();",
                                nullptr);
    ASSERT_TRUE(waitForMessage("syncAllComments"));
    const Value all = messagesNamed("syncAllComments")[0].at("comments");
    ASSERT_EQ(all.size(), 3u);
    EXPECT_EQ(all[1], (Value{{"id", "demo-c2"},
                             {"timestamp", 5.5},
                             {"timestampEnd", 8.0},
                             {"userName", "Zoë"},
                             {"content", "Musique trop forte ici — baisser de 3 dB ✂️"},
                             {"resolved", false}}));
    ASSERT_TRUE(waitForMessage("openURL"));
    EXPECT_EQ(messagesNamed("openURL")[0].at("url"),
              service->url() + "/fcp-panel/login?project=demo");

    // A comment resolved while "Sync all" is open keeps its own newer marker
    // state: reopening it afterwards is synced again.
    ASSERT_TRUE(call("PATCH", "/api/comments/demo-c1", {{"resolved", true}}));
    ASSERT_TRUE(waitForMessage("syncComment"));
    push("fcp:resolve", {{"resolveId", heldRequests[0].at("resolveId")}, {"value", "true"}});
    ASSERT_EQ(query("1"), 1); // the answer is in
    ASSERT_TRUE(call("PATCH", "/api/comments/demo-c1", {{"resolved", false}}));
    ASSERT_TRUE(waitForMessage("syncComment", 2));
    EXPECT_EQ(messagesNamed("syncComment")[1].at("resolved"), false);
}

} // namespace
