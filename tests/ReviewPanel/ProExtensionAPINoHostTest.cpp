// A program that supplies no ProExtensionHostSingleton: the panel runs as
// with a host that has no timeline.
#include "ReviewPanel/MessageHandler.h"
#include "tests/support/FakeWebView.h"
#include "tests/support/ManualMainQueue.h"

#include <gtest/gtest.h>

using namespace tavrin;
using namespace tavrin::panel;

TEST(AProgramWithoutAHost, GivesTheBridgeNoTimeline) {
    EXPECT_EQ(ProExtensionAPI::lookUpHost(), nullptr);
    auto api = ProExtensionAPI::create();
    EXPECT_EQ(api->getPlayheadSeconds(), 0.0);
    api->seekTo(2.0);
    EXPECT_FALSE(api->getSequenceInfo());

    tavrin::testing::ManualMainQueue queue;
    auto webView = std::make_shared<tavrin::testing::FakeWebView>();
    auto handler = MessageHandler::create(webView, queue);
    handler->userContentController({"fcpBridge", {{"command", "getTimeline"}, {"resolveId", "t"}}});
    handler->userContentController({"fcpBridge", {{"command", "getPlayhead"}, {"resolveId", "p"}}});
    handler->notifyConnected();
    auto events = webView->events();
    ASSERT_EQ(events.size(), 3u);
    EXPECT_EQ(events[0].detail, Value({{"resolveId", "t"}, {"value", "null"}}));
    EXPECT_EQ(parseJSON(events[1].detail.at("value").get<std::string>()), Value(0.0));
    EXPECT_EQ(events[2].name, "fcp:connected");
}
