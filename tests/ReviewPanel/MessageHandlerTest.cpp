#include "ReviewPanel/MessageHandler.h"
#include "common/Base64.h"
#include "tests/support/FakeContainerBridge.h"
#include "tests/support/FakeWebView.h"
#include "tests/support/ManualMainQueue.h"
#include "tests/support/TestHost.h"

#include <gtest/gtest.h>

#include <cmath>
#include <limits>
#include <thread>

using namespace tavrin;
using namespace tavrin::testing;
using panel::CMTimeMake;
using panel::MessageHandler;

namespace {

class AMessageHandler : public ::testing::Test {
  protected:
    void SetUp() override {
        timeline = std::make_shared<TestTimeline>();
        testHost().setTimeline(timeline);
        webView = std::make_shared<FakeWebView>();
        handler = MessageHandler::create(webView, queue);
        bridge = std::make_shared<FakeContainerBridge>(queue);
    }
    void TearDown() override {
        bridge->calls.clear(); // unanswered completions hold the handler
        handler.reset();
        testHost().setTimeline(nullptr);
    }

    void send(Value body, const std::string& name = "fcpBridge") {
        handler->userContentController(panel::ScriptMessage{name, std::move(body)});
    }
    // The "value" texts of the replies to resolveId, in order.
    std::vector<std::string> repliesTo(const std::string& resolveId) const {
        std::vector<std::string> out;
        for (const auto& e : webView->events("fcp:resolve"))
            if (e.detail.at("resolveId") == resolveId)
                out.push_back(e.detail.at("value").get<std::string>());
        return out;
    }
    std::string onlyReplyTo(const std::string& resolveId) const {
        auto replies = repliesTo(resolveId);
        EXPECT_EQ(replies.size(), 1u) << "replies to " << resolveId;
        return replies.empty() ? "<none>" : replies.front();
    }
    void useSequence(const std::string& name = "Main Cut") {
        timeline->setSequence(
            std::make_shared<TestSequence>(name, CMTimeMake(36000, 600), CMTimeMake(1, 25)));
    }
    std::size_t lookups() const {
        std::size_t n = 0;
        for (const auto& c : bridge->calls)
            n += c.operation == "getMarkerAtTime";
        return n;
    }

    ManualMainQueue queue; // outlives the handler
    std::shared_ptr<TestTimeline> timeline;
    std::shared_ptr<FakeWebView> webView;
    std::shared_ptr<FakeContainerBridge> bridge;
    std::shared_ptr<MessageHandler> handler;
};

TEST_F(AMessageHandler, AnswersTheSynchronousCommands) {
    send({{"command", "isFCPRunning"}, {"resolveId", "r1"}});
    EXPECT_EQ(onlyReplyTo("r1"), "true");

    send({{"command", "noSuchCommand"}, {"resolveId", "r2"}});
    EXPECT_EQ(onlyReplyTo("r2"), "null");
    send({{"command", "IsFCPRunning"}, {"resolveId", "r3"}}); // case-sensitive
    EXPECT_EQ(onlyReplyTo("r3"), "null");

    send({{"command", "openURL"}, {"url", "https://example.com"}, {"resolveId", "r4"}});
    EXPECT_EQ(onlyReplyTo("r4"), "true"); // no bridge: nothing to open, still true

    handler->setContainerBridge(bridge);
    send({{"command", "openURL"}, {"url", "https://example.com/a"}, {"resolveId", "r5"}});
    send({{"command", "openURL"}, {"url", 7}, {"resolveId", "r6"}});
    EXPECT_EQ(onlyReplyTo("r5"), "true");
    EXPECT_EQ(onlyReplyTo("r6"), "true");
    ASSERT_EQ(bridge->calls.size(), 1u);
    EXPECT_EQ(bridge->calls[0].arguments.at("url"), "https://example.com/a");
}

TEST_F(AMessageHandler, SendsNoReplyWithoutAStringResolveIdAndIgnoresMalformedMessages) {
    send({{"command", "isFCPRunning"}});
    send({{"command", "isFCPRunning"}, {"resolveId", 5}});
    send({{"command", "isFCPRunning"}, {"resolveId", "x"}}, "otherHandler");
    send(Value::array({"isFCPRunning"}));
    send("isFCPRunning");
    send({{"resolveId", "x"}});
    send({{"command", 3}, {"resolveId", "x"}});
    EXPECT_TRUE(webView->scripts.empty());

    // A command without resolveId still runs.
    send({{"command", "seekTo"}, {"seconds", 3}});
    ASSERT_EQ(timeline->moves().size(), 1u);
    EXPECT_EQ(timeline->moves()[0].value, 1800);
}

TEST_F(AMessageHandler, DescribesTheActiveSequenceOrNull) {
    send({{"command", "getTimeline"}, {"resolveId", "none"}});
    EXPECT_EQ(onlyReplyTo("none"), "null");

    useSequence();
    send({{"command", "getTimeline"}, {"resolveId", "seq"}});
    auto info = parseJSON(onlyReplyTo("seq"));
    ASSERT_TRUE(info);
    EXPECT_EQ(*info, (Value{{"name", "Main Cut"},
                            {"duration", 60.0},
                            {"frameRate", 25.0},
                            {"width", 0},
                            {"height", 0},
                            {"startTimecode", "00:00:00:00"}}));

    testHost().setTimeline(nullptr);
    send({{"command", "getTimeline"}, {"resolveId", "noTimeline"}});
    EXPECT_EQ(onlyReplyTo("noTimeline"), "null");
}

TEST_F(AMessageHandler, RepliesNullWhenTheValueHasANonFiniteNumber) {
    timeline->setSequence(
        std::make_shared<TestSequence>("Bad", panel::kCMTimeInvalid, CMTimeMake(1, 25)));
    send({{"command", "getTimeline"}, {"resolveId", "t"}});
    EXPECT_EQ(onlyReplyTo("t"), "null");

    timeline->setPlayhead(panel::kCMTimeInvalid);
    send({{"command", "getPlayhead"}, {"resolveId", "p"}});
    EXPECT_EQ(onlyReplyTo("p"), "null");

    // The sequence event cannot be written either, so it is dropped.
    webView->scripts.clear();
    timeline->notifySequenceChanged();
    EXPECT_TRUE(webView->scripts.empty());
}

TEST_F(AMessageHandler, ReadsThePlayheadAndRemembersIt) {
    timeline->setPlayheadSeconds(12.5);
    send({{"command", "getPlayhead"}, {"resolveId", "p"}});
    EXPECT_EQ(parseJSON(onlyReplyTo("p")), Value(12.5));

    // 12.5 is now the known position: a move of 0.5 is not a jump, 1.5 is.
    handler->setContainerBridge(bridge);
    timeline->movePlayheadAndNotify(13.0);
    EXPECT_EQ(lookups(), 0u);
    timeline->movePlayheadAndNotify(14.5);
    EXPECT_EQ(lookups(), 1u);
}

TEST_F(AMessageHandler, ReadsPlayheadZeroWithoutATimelineAndTakesZeroAsKnown) {
    testHost().setTimeline(nullptr);
    send({{"command", "getPlayhead"}, {"resolveId", "p"}});
    auto value = parseJSON(onlyReplyTo("p"));
    ASSERT_TRUE(value && value->is_number());
    EXPECT_EQ(value->get<double>(), 0.0);

    // 0 is now the known position, so the first notification can already be a jump.
    testHost().setTimeline(timeline);
    handler->setContainerBridge(bridge);
    timeline->movePlayheadAndNotify(0.7);
    EXPECT_EQ(lookups(), 1u);
}

TEST_F(AMessageHandler, SeeksAndTakesTheTargetAsTheKnownPosition) {
    handler->setContainerBridge(bridge);
    timeline->movePlayheadAndNotify(1.0);
    send({{"command", "seekTo"}, {"seconds", 42.0}, {"resolveId", "s"}});
    EXPECT_EQ(onlyReplyTo("s"), "true");
    ASSERT_EQ(timeline->moves().size(), 1u);
    EXPECT_EQ(timeline->moves()[0].value, 25200);
    EXPECT_EQ(timeline->moves()[0].timescale, 600);

    timeline->notifyPlayheadChanged(); // the host reports the move it was asked for
    EXPECT_EQ(lookups(), 0u);
    EXPECT_EQ(webView->events("fcp:playhead-changed").back().detail, Value({{"seconds", 42.0}}));

    send({{"command", "seekTo"}, {"seconds", "5"}, {"resolveId", "str"}});
    send({{"command", "seekTo"}, {"resolveId", "none"}});
    EXPECT_EQ(onlyReplyTo("str"), "true");
    EXPECT_EQ(onlyReplyTo("none"), "true");
    EXPECT_EQ(timeline->moves().size(), 1u);
}

// Host notifications from before a seek still wait for the main queue when
// the page seeks: they moved from the old position, not from the target.
TEST_F(AMessageHandler, TakesNoHostEventFromBeforeASeekForAJump) {
    handler->setContainerBridge(bridge);
    timeline->setPlayheadSeconds(5.0);
    send({{"command", "getPlayhead"}, {"resolveId", "p"}});
    std::thread host([&] {
        timeline->movePlayheadAndNotify(5.1);
        timeline->movePlayheadAndNotify(5.2);
    });
    host.join();
    send({{"command", "seekTo"}, {"seconds", 100.0}, {"resolveId", "s"}});
    queue.runPending();
    timeline->notifyPlayheadChanged(); // the seek's own move
    EXPECT_EQ(lookups(), 0u);
    ASSERT_EQ(webView->events("fcp:playhead-changed").size(), 3u);
    timeline->movePlayheadAndNotify(50.0); // a real jump still counts
    EXPECT_EQ(lookups(), 1u);

    // The host reads 50 as the seek starts and reports it while it moves.
    timeline->beforeMove = [&] { std::thread([&] { timeline->notifyPlayheadChanged(); }).join(); };
    send({{"command", "seekTo"}, {"seconds", 5.0}});
    timeline->notifyPlayheadChanged();
    queue.runPending();
    EXPECT_EQ(lookups(), 1u);
}

TEST_F(AMessageHandler, AnswersFalseForEveryContainerCommandWithoutABridge) {
    const char* commands[] = {"syncComment",        "clearAllMarkers", "cancelExport",
                              "selectOutputFolder", "getMarkerAtTime", "deleteComment",
                              "syncAllComments",    "startExport"};
    for (const char* c : commands)
        send({{"command", c},
              {"resolveId", c},
              {"seconds", 1},
              {"commentId", "c1"},
              {"comments", Value::array()},
              {"config", Value::object()}});
    for (const char* c : commands)
        EXPECT_EQ(onlyReplyTo(c), "false") << c;
}

TEST_F(AMessageHandler, ForwardsContainerCommandsAndRepliesWithTheirResults) {
    handler->setContainerBridge(bridge);
    Value syncMessage = {{"command", "syncComment"},
                         {"resolveId", "sc"},
                         {"id", "c1"},
                         {"timestamp", 4.5},
                         {"content", "Fix"}};
    send(syncMessage);
    send({{"command", "deleteComment"}, {"commentId", "c2"}, {"resolveId", "dc"}});
    Value comments = Value::array({{{"id", "a"}}, {{"id", "b"}}});
    send({{"command", "syncAllComments"}, {"comments", comments}, {"resolveId", "sa"}});
    send({{"command", "clearAllMarkers"}, {"resolveId", "cm"}});
    Value config = {{"projectId", "p"}, {"token", "t"}};
    send({{"command", "startExport"}, {"config", config}, {"resolveId", "se"}});
    send({{"command", "cancelExport"}, {"resolveId", "ce"}});
    send({{"command", "selectOutputFolder"}, {"resolveId", "f1"}});
    send({{"command", "selectOutputFolder"}, {"resolveId", "f2"}});
    send({{"command", "getMarkerAtTime"}, {"seconds", 10}, {"resolveId", "m1"}});
    send({{"command", "getMarkerAtTime"}, {"seconds", 10}, {"threshold", 2}, {"resolveId", "m2"}});
    send(
        {{"command", "getMarkerAtTime"}, {"seconds", 11}, {"threshold", "x"}, {"resolveId", "m3"}});

    ASSERT_EQ(bridge->calls.size(), 11u);
    EXPECT_TRUE(webView->scripts.empty()); // nothing answered before the container is
    EXPECT_EQ(bridge->calls[0].arguments.at("comment"), syncMessage);
    EXPECT_EQ(bridge->calls[1].arguments.at("commentId"), "c2");
    EXPECT_EQ(bridge->calls[2].arguments.at("comments"), comments);
    EXPECT_EQ(bridge->calls[3].operation, "clearAllMarkers");
    EXPECT_EQ(bridge->calls[4].arguments.at("config"), config);
    EXPECT_EQ(bridge->calls[5].operation, "cancelExport");
    EXPECT_EQ(bridge->calls[8].arguments, Value({{"seconds", 10.0}, {"threshold", 0.5}}));
    EXPECT_EQ(bridge->calls[9].arguments, Value({{"seconds", 10.0}, {"threshold", 2.0}}));
    EXPECT_EQ(bridge->calls[10].arguments, Value({{"seconds", 11.0}, {"threshold", 0.5}}));

    bridge->succeed(0, true);
    bridge->succeed(1, false);
    bridge->succeed(2, true);
    bridge->succeed(3, true);
    bridge->succeed(4, true);
    bridge->succeed(5, false);
    bridge->succeed(6, nullptr);
    bridge->succeed(7, "/home/ed/Exports \"final\"");
    Value marker = {{"id", "c9"},        {"timestamp", 10.2}, {"timestampEnd", nullptr},
                    {"userName", "Ana"}, {"content", "Here"}, {"resolved", false}};
    bridge->succeed(8, marker);
    bridge->succeed(9, nullptr);
    bridge->fail(10);
    queue.runPending();

    EXPECT_EQ(onlyReplyTo("sc"), "true");
    EXPECT_EQ(onlyReplyTo("dc"), "false");
    EXPECT_EQ(onlyReplyTo("sa"), "true");
    EXPECT_EQ(onlyReplyTo("cm"), "true");
    EXPECT_EQ(onlyReplyTo("se"), "true");
    EXPECT_EQ(onlyReplyTo("ce"), "false");
    EXPECT_EQ(onlyReplyTo("f1"), "null");
    EXPECT_EQ(parseJSON(onlyReplyTo("f2")), Value("/home/ed/Exports \"final\""));
    EXPECT_EQ(parseJSON(onlyReplyTo("m1")), marker);
    EXPECT_EQ(onlyReplyTo("m2"), "null");
    EXPECT_EQ(onlyReplyTo("m3"), "false");
}

TEST_F(AMessageHandler, RepliesFalseWhenTheContainerFails) {
    handler->setContainerBridge(bridge);
    const char* commands[] = {"syncComment",   "clearAllMarkers",    "cancelExport",
                              "deleteComment", "selectOutputFolder", "startExport"};
    for (const char* c : commands)
        send({{"command", c}, {"resolveId", c}, {"commentId", "x"}, {"config", Value::object()}});
    ASSERT_EQ(bridge->calls.size(), std::size(commands));
    for (std::size_t i = 0; i < bridge->calls.size(); ++i)
        bridge->fail(i);
    queue.runPending();
    for (const char* c : commands)
        EXPECT_EQ(onlyReplyTo(c), "false") << c;
}

TEST_F(AMessageHandler, AnswersAtOnceWhenAnArgumentIsMissingOrMistyped) {
    handler->setContainerBridge(bridge);
    send({{"command", "deleteComment"}, {"resolveId", "d1"}});
    send({{"command", "deleteComment"}, {"commentId", 12}, {"resolveId", "d2"}});
    send({{"command", "syncAllComments"}, {"resolveId", "s1"}});
    send({{"command", "syncAllComments"}, {"comments", {{{"id", "a"}}, 3}}, {"resolveId", "s2"}});
    send({{"command", "syncAllComments"}, {"comments", {{"id", "a"}}}, {"resolveId", "s3"}});
    send({{"command", "startExport"}, {"resolveId", "e1"}});
    send({{"command", "startExport"}, {"config", "folder"}, {"resolveId", "e2"}});
    send({{"command", "getMarkerAtTime"}, {"resolveId", "m1"}});
    send({{"command", "getMarkerAtTime"}, {"seconds", true}, {"resolveId", "m2"}});

    EXPECT_TRUE(bridge->calls.empty());
    for (const char* id : {"d1", "d2", "s1", "s2", "s3", "e1", "e2"})
        EXPECT_EQ(onlyReplyTo(id), "false") << id;
    EXPECT_EQ(onlyReplyTo("m1"), "null");
    EXPECT_EQ(onlyReplyTo("m2"), "null");

    // An empty list of comments is a valid list.
    send({{"command", "syncAllComments"}, {"comments", Value::array()}, {"resolveId", "s4"}});
    EXPECT_EQ(bridge->calls.size(), 1u);
}

TEST_F(AMessageHandler, AnswersOverlappingRequestsInTheOrderTheyComplete) {
    handler->setContainerBridge(bridge);
    send({{"command", "clearAllMarkers"}, {"resolveId", "first"}});
    send({{"command", "cancelExport"}, {"resolveId", "second"}});
    send({{"command", "selectOutputFolder"}, {"resolveId", "third"}});
    bridge->succeed(1, true);
    bridge->succeed(2, "/x");
    queue.runPending();
    bridge->fail(0);
    queue.runPending();

    auto replies = webView->events("fcp:resolve");
    ASSERT_EQ(replies.size(), 3u);
    EXPECT_EQ(replies[0].detail, Value({{"resolveId", "second"}, {"value", "true"}}));
    EXPECT_EQ(replies[1].detail, Value({{"resolveId", "third"}, {"value", "\"/x\""}}));
    EXPECT_EQ(replies[2].detail, Value({{"resolveId", "first"}, {"value", "false"}}));
}

TEST_F(AMessageHandler, InjectsTheEventScriptThatDecodesUtf8) {
    handler->notifyConnected();
    ASSERT_EQ(webView->scripts.size(), 1u); // no sequence: connected only
    EXPECT_EQ(webView->scripts[0],
              "(function() {\n  try {\n    var payload = JSON.parse(new TextDecoder().decode("
              "Uint8Array.from(atob('e30='), c => c.charCodeAt(0))));\n    "
              "window.dispatchEvent(new CustomEvent('fcp:connected', { detail: payload }));\n  "
              "} catch(e) {\n    console.error('[Tavrin] Failed to dispatch fcp:connected:', "
              "e);\n  }\n})();");

    useSequence("Séquence 日本 ✂");
    handler->notifyConnected();
    auto events = webView->events();
    ASSERT_EQ(events.size(), 3u);
    EXPECT_EQ(events[1].name, "fcp:connected");
    EXPECT_EQ(events[2].name, "fcp:sequence-changed");
    EXPECT_EQ(events[2].detail.at("name"), "Séquence 日本 ✂");
}

TEST_F(AMessageHandler, PrintsTheEvaluationErrorOnStandardOutput) {
    webView->evaluationError = "TypeError: something broke";
    ::testing::internal::CaptureStdout();
    handler->notifyConnected();
    std::string out = ::testing::internal::GetCapturedStdout();
    EXPECT_EQ(out, "[Tavrin] evaluateJavaScript error for fcp:connected: TypeError: something "
                   "broke\n");
}

// Playhead tracking and marker detection.

TEST_F(AMessageHandler, ForwardsEveryPlayheadMoveAndLooksUpMarkersOnlyOnJumps) {
    handler->setContainerBridge(bridge);
    timeline->movePlayheadAndNotify(500.0); // the first position is never a jump
    EXPECT_EQ(lookups(), 0u);
    timeline->movePlayheadAndNotify(10.0); // jump
    ASSERT_EQ(lookups(), 1u);
    EXPECT_EQ(bridge->calls.back().arguments, Value({{"seconds", 10.0}, {"threshold", 0.5}}));

    timeline->movePlayheadAndNotify(10.6); // exactly the threshold: not a jump
    EXPECT_EQ(lookups(), 1u);
    timeline->movePlayheadAndNotify(10.0);
    timeline->movePlayheadAndNotify(10.61); // just over it
    EXPECT_EQ(lookups(), 2u);
    timeline->movePlayheadAndNotify(10.3);
    timeline->movePlayheadAndNotify(10.0);
    timeline->movePlayheadAndNotify(9.3); // backwards counts too
    EXPECT_EQ(lookups(), 3u);

    // Small steps never add up to a jump.
    for (int i = 1; i <= 20; ++i)
        timeline->movePlayheadAndNotify(9.3 + 0.5 * i);
    EXPECT_EQ(lookups(), 3u);

    auto moves = webView->events("fcp:playhead-changed");
    ASSERT_EQ(moves.size(), 28u);
    EXPECT_EQ(moves[0].detail, Value({{"seconds", 500.0}}));
    EXPECT_EQ(moves[3].detail, Value({{"seconds", 10.0}}));
    EXPECT_EQ(moves.back().detail, Value({{"seconds", 19.3}}));

    // Steps of exactly the threshold, however their doubles round (1.0 -> 1.6).
    timeline->movePlayheadAndNotify(1.0);
    for (int i = 1; i <= 20; ++i)
        timeline->movePlayheadAndNotify(1.0 + 0.6 * i);
    EXPECT_EQ(lookups(), 4u);
}

TEST_F(AMessageHandler, SendsTheMarkerWithTheJumpPositionAsSeconds) {
    handler->setContainerBridge(bridge);
    timeline->movePlayheadAndNotify(1.0);
    timeline->movePlayheadAndNotify(42.0);
    timeline->movePlayheadAndNotify(80.0);
    timeline->movePlayheadAndNotify(120.0);
    ASSERT_EQ(lookups(), 3u);
    std::weak_ptr<FakeContainerBridge> asked =
        std::exchange(bridge, std::make_shared<FakeContainerBridge>(queue));
    handler->setContainerBridge(bridge); // the lookups keep the bridge they asked
    auto answering = asked.lock();
    ASSERT_TRUE(answering);

    Value marker = {{"id", "c1"},       {"timestamp", 41.8}, {"timestampEnd", nullptr},
                    {"userName", "Jo"}, {"content", "Cut"},  {"resolved", true},
                    {"seconds", 3}};
    answering->succeed(0, marker);
    answering->succeed(1, nullptr); // no marker there
    answering->fail(2);             // lookup failed
    queue.runPending();

    auto clicked = webView->events("fcp:marker-clicked");
    ASSERT_EQ(clicked.size(), 1u);
    Value expected = marker;
    expected["seconds"] = 42.0;
    EXPECT_EQ(clicked[0].detail, expected);
    EXPECT_TRUE(clicked[0].detail.at("seconds").is_number_float());
}

TEST_F(AMessageHandler, RecognisesJumpsWithoutABridgeButLooksNothingUp) {
    timeline->movePlayheadAndNotify(1.0);
    timeline->movePlayheadAndNotify(30.0);
    EXPECT_EQ(webView->events("fcp:playhead-changed").size(), 2u);
    EXPECT_EQ(webView->events().size(), 2u);
}

TEST_F(AMessageHandler, ForwardsEverySequenceChangeButNoneWithoutASequence) {
    timeline->notifySequenceChanged();
    EXPECT_TRUE(webView->scripts.empty());
    useSequence("A");
    timeline->notifySequenceChanged();
    timeline->notifySequenceChanged();
    auto events = webView->events("fcp:sequence-changed");
    ASSERT_EQ(events.size(), 2u);
    EXPECT_EQ(events[1].detail.at("name"), "A");
}

TEST_F(AMessageHandler, MovesHostNotificationsFromOtherThreadsToTheMainQueueInOrder) {
    handler->setContainerBridge(bridge);
    useSequence("B");
    std::thread host([&] {
        for (double s : {5.0, 5.2, 9.0, 9.1})
            timeline->movePlayheadAndNotify(s);
        timeline->notifySequenceChanged();
    });
    host.join();
    EXPECT_TRUE(webView->scripts.empty()); // nothing touched the view off the main thread

    // A notification on the main thread queues behind those still waiting.
    timeline->movePlayheadAndNotify(1.0);
    EXPECT_TRUE(webView->scripts.empty());
    queue.runPending();

    auto events = webView->events();
    ASSERT_EQ(events.size(), 6u);
    std::vector<Value> seconds;
    for (auto& e : events)
        if (e.name == "fcp:playhead-changed")
            seconds.push_back(e.detail.at("seconds"));
    EXPECT_EQ(seconds, (std::vector<Value>{5.0, 5.2, 9.0, 9.1, 1.0}));
    EXPECT_EQ(events[4].name, "fcp:sequence-changed");
    ASSERT_EQ(lookups(), 2u); // 5.2 -> 9.0 and 9.1 -> 1.0
    EXPECT_EQ(bridge->calls[0].arguments.at("seconds"), 9.0);
    EXPECT_EQ(bridge->calls[1].arguments.at("seconds"), 1.0);

    // With the queue drained, main-thread notifications run at once again.
    timeline->movePlayheadAndNotify(1.2);
    EXPECT_EQ(webView->events().size(), 7u);
}

TEST_F(AMessageHandler, KeepsTheOrderWhileTheMainQueueDrainsConcurrently) {
    handler->setContainerBridge(bridge);
    constexpr int kMoves = 200;
    std::thread host([&] {
        for (int i = 1; i <= kMoves; ++i)
            timeline->movePlayheadAndNotify(i * 0.5); // steps of 0.5 s: never a jump
    });
    bool all =
        queue.runUntil([&] { return webView->scripts.size() == static_cast<std::size_t>(kMoves); });
    host.join();
    ASSERT_TRUE(all);
    auto events = webView->events("fcp:playhead-changed");
    ASSERT_EQ(events.size(), static_cast<std::size_t>(kMoves));
    for (int i = 0; i < kMoves; ++i)
        EXPECT_EQ(events[i].detail.at("seconds"), (i + 1) * 0.5);
    EXPECT_EQ(lookups(), 0u);
}

TEST_F(AMessageHandler, StopsListeningToTheHostWhenReleased) {
    EXPECT_EQ(timeline->registeredObservers(), 1u);
    handler.reset();
    EXPECT_EQ(timeline->registeredObservers(), 0u);
    EXPECT_EQ(timeline->removals(), 1);

    useSequence();
    timeline->notifyEveryObserverEverAdded(); // a host that kept the observer anyway
    queue.runPending();
    EXPECT_TRUE(webView->scripts.empty());
}

TEST_F(AMessageHandler, FinishesRequestsAndLookupsStartedBeforeItWasReleased) {
    handler->setContainerBridge(bridge);
    send({{"command", "clearAllMarkers"}, {"resolveId", "late"}});
    timeline->movePlayheadAndNotify(1.0);
    timeline->movePlayheadAndNotify(50.0);
    std::weak_ptr<MessageHandler> weak = handler;
    handler.reset();
    EXPECT_FALSE(weak.expired()); // the outstanding work holds it

    bridge->succeed(0, true);
    bridge->succeed(1, Value{{"id", "m"}});
    queue.runPending();
    EXPECT_EQ(onlyReplyTo("late"), "true");
    ASSERT_EQ(webView->events("fcp:marker-clicked").size(), 1u);
    EXPECT_TRUE(weak.expired()); // answered: nothing holds it any more
}

TEST_F(AMessageHandler, DropsRepliesAndEventsOnceTheWebViewIsGone) {
    handler->setContainerBridge(bridge);
    send({{"command", "clearAllMarkers"}, {"resolveId", "r"}});
    std::weak_ptr<FakeWebView> view = webView;
    webView.reset();
    ASSERT_TRUE(view.expired());

    bridge->succeed(0, true);
    queue.runPending();
    handler->notifyConnected();
    timeline->movePlayheadAndNotify(3.0);
    timeline->movePlayheadAndNotify(30.0);
    send({{"command", "seekTo"}, {"seconds", 2}, {"resolveId", "s"}});
    // Commands and lookups still run; only the page is unreachable.
    EXPECT_EQ(timeline->moves().size(), 1u);
    EXPECT_EQ(lookups(), 1u);
}

} // namespace
