// The page's requests to the container app when the app is not running: the
// panel's message handler with the real container client on a channel nobody
// answers. Every request gets its failure answer once the client's time-out
// has passed (on the virtual clock), and an answer arriving later is ignored.
#include "ReviewPanel/ContainerAppBridge.h"
#include "ReviewPanel/MessageHandler.h"
#include "common/ContainerChannel.h"
#include "tests/support/FakeWebView.h"
#include "tests/support/InProcessNotificationCenter.h"
#include "tests/support/ManualMainQueue.h"

#include <gtest/gtest.h>

#include <chrono>
#include <map>

using namespace tavrin;
using namespace tavrin::testing;
using namespace std::chrono_literals;
using CC = tavrin::ContainerChannel;

namespace {

std::map<std::string, std::string> replies(const FakeWebView& webView) {
    std::map<std::string, std::string> out;
    for (const auto& e : webView.events("fcp:resolve"))
        out[e.detail.at("resolveId").get<std::string>()] += e.detail.at("value").get<std::string>();
    return out;
}

TEST(APageWithoutTheContainerApp, GetsTheFailureAnswersOnceTheClientGivesUp) {
    ManualMainQueue queue;
    InProcessNotificationCenter center;
    auto client = panel::ContainerAppBridge::create(center, queue);
    auto responses = panel::ContainerAppBridge::observeResponses(client);
    auto webView = std::make_shared<FakeWebView>();
    auto handler = panel::MessageHandler::create(webView, queue);
    handler->setContainerBridge(client);

    auto send = [&](Value message) {
        handler->userContentController(panel::ScriptMessage{"fcpBridge", std::move(message)});
    };
    send({{"command", "syncComment"},
          {"resolveId", "sync"},
          {"id", "c1"},
          {"timestamp", 2.0},
          {"content", "Schnitt später ✂"}});
    send({{"command", "startExport"},
          {"resolveId", "export"},
          {"config", {{"projectId", "demo"}, {"token", "t"}}}});
    send({{"command", "selectOutputFolder"}, {"resolveId", "folder"}});
    queue.runPending();
    std::size_t commands = 0;
    for (const auto& n : center.posted())
        commands += n.name == CC::kCommandNotification;
    ASSERT_EQ(commands, 3u); // they did go out on the channel

    queue.advance(std::chrono::duration<double>(CC::kRequestTimeoutSeconds) - 0.1s);
    EXPECT_TRUE(replies(*webView).empty()) << "answered before the time-out";

    queue.advance(0.2s);
    EXPECT_EQ(replies(*webView), (std::map<std::string, std::string>{
                                     {"sync", "false"}, {"export", "false"}, {"folder", "null"}}));

    // The app starting late and answering the first request changes nothing.
    auto first = center.posted().front().userInfo->at(CC::kRequestIdKey).get<std::string>();
    center.post(CC::kResponseNotification, CC::makeResponseMessage(first, Value(true)));
    queue.runPending();
    EXPECT_EQ(replies(*webView).at("sync"), "false");
}

} // namespace
