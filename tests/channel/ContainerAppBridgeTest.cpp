// The container client against the in-process centre and the virtual clock.

#include "ReviewPanel/ContainerAppBridge.h"
#include "common/ContainerChannel.h"
#include "tests/support/InProcessNotificationCenter.h"
#include "tests/support/ManualMainQueue.h"

#include <gtest/gtest.h>

#include <regex>
#include <set>
#include <thread>

using namespace std::chrono_literals;
using tavrin::Dictionary;
using tavrin::Notification;
using tavrin::Result;
using tavrin::Value;
using CC = tavrin::ContainerChannel;
using tavrin::panel::ContainerAppBridge;
using tavrin::testing::InProcessNotificationCenter;
using tavrin::testing::ManualMainQueue;

namespace {

// Records every completion of one operation, so a test sees how often and
// with what it was called.
template <class T> struct Calls {
    std::vector<T> values;
    tavrin::Completion<T> completion() {
        return [this](Result<T> r) {
            ASSERT_TRUE(r.ok()) << "the client never reports an error";
            values.push_back(r.value());
        };
    }
};

class AContainerClient : public ::testing::Test {
  protected:
    ManualMainQueue queue;
    InProcessNotificationCenter center;
    std::shared_ptr<ContainerAppBridge> client = ContainerAppBridge::create(center, queue);
    tavrin::NotificationCenter::Observation responses =
        ContainerAppBridge::observeResponses(client);

    std::vector<Dictionary> commands() const {
        std::vector<Dictionary> out;
        for (const auto& n : center.posted())
            if (n.name == CC::kCommandNotification)
                out.push_back(*n.userInfo);
        return out;
    }
    std::string lastRequestId() const { return commands().back()["requestId"]; }
    void answer(const std::string& requestId, const Value& result) {
        center.post(CC::kResponseNotification, CC::makeResponseMessage(requestId, result));
        queue.runPending();
    }
    void answerRaw(const std::optional<Dictionary>& userInfo) {
        center.post(CC::kResponseNotification, userInfo);
        queue.runPending();
    }
};

TEST_F(AContainerClient, NumbersItsRequestsFromOneUpwardsWithSixUpperCaseHexCharacters) {
    Calls<bool> calls;
    for (int i = 0; i < 3; ++i)
        client->clearAllMarkers(calls.completion());
    auto sent = commands();
    ASSERT_EQ(sent.size(), 3u);
    for (int i = 0; i < 3; ++i) {
        std::string id = sent[i]["requestId"];
        EXPECT_TRUE(
            std::regex_match(id, std::regex("req-" + std::to_string(i + 1) + "-[0-9A-F]{6}")))
            << id;
    }
}

TEST_F(AContainerClient, UsesAnotherRandomPartThanASecondClient) {
    auto other = ContainerAppBridge::create(center, queue);
    Calls<bool> calls;
    client->cancelExport(calls.completion());
    other->cancelExport(calls.completion());
    auto sent = commands();
    ASSERT_EQ(sent.size(), 2u);
    std::string a = sent[0]["requestId"], b = sent[1]["requestId"];
    EXPECT_EQ(a.substr(0, 6), "req-1-");
    EXPECT_EQ(b.substr(0, 6), "req-1-");
    EXPECT_NE(a, b);
}

TEST_F(AContainerClient, SendsEachOperationAsItsCommandWithItsArguments) {
    Calls<bool> b;
    Calls<std::optional<std::string>> s;
    Calls<std::optional<Dictionary>> m;
    Dictionary comment{{"id", "c1"}, {"timestamp", 3.5}, {"resolveId", "r9"}};
    Dictionary config{{"projectId", "p"}, {"token", "t"}, {"extra", {1, 2}}};
    client->openURL("https://example.com/a?b=c");
    client->syncComment(comment, b.completion());
    client->deleteComment("c7", b.completion());
    client->syncAllComments({comment, Dictionary::object()}, b.completion());
    client->clearAllMarkers(b.completion());
    client->startExport(config, b.completion());
    client->cancelExport(b.completion());
    client->selectOutputFolder(s.completion());
    client->getMarkerAtTime(12, 0.25, m.completion());

    auto sent = commands();
    ASSERT_EQ(sent.size(), 9u);
    auto withoutKeys = [](Dictionary d) {
        d.erase("requestId");
        return d;
    };
    EXPECT_EQ(withoutKeys(sent[0]),
              (Dictionary{{"command", "openURL"}, {"url", "https://example.com/a?b=c"}}));
    EXPECT_EQ(withoutKeys(sent[1]), (Dictionary{{"command", "syncComment"}, {"comment", comment}}));
    EXPECT_EQ(withoutKeys(sent[2]),
              (Dictionary{{"command", "deleteComment"}, {"commentId", "c7"}}));
    EXPECT_EQ(withoutKeys(sent[3]),
              (Dictionary{{"command", "syncAllComments"},
                          {"comments", Value::array({comment, Dictionary::object()})}}));
    EXPECT_EQ(withoutKeys(sent[4]), (Dictionary{{"command", "clearAllMarkers"}}));
    Dictionary exportSent = config;
    exportSent["command"] = "startExport";
    EXPECT_EQ(withoutKeys(sent[5]), exportSent);
    EXPECT_EQ(withoutKeys(sent[6]), (Dictionary{{"command", "cancelExport"}}));
    EXPECT_EQ(withoutKeys(sent[7]), (Dictionary{{"command", "selectOutputFolder"}}));
    EXPECT_EQ(withoutKeys(sent[8]),
              (Dictionary{{"command", "getMarkerAtTime"}, {"seconds", 12.0}, {"threshold", 0.25}}));
    // Seconds travel as floating numbers even when whole.
    EXPECT_TRUE(sent[8]["seconds"].is_number_float());
}

TEST_F(AContainerClient, OverwritesArgumentsNamedCommandOrRequestId) {
    Calls<bool> calls;
    client->startExport(
        {{"command", "cancelExport"}, {"requestId", "req-99-AAAAAA"}, {"token", "t"}},
        calls.completion());
    auto sent = commands().at(0);
    EXPECT_EQ(sent["command"], "startExport");
    EXPECT_NE(sent["requestId"], "req-99-AAAAAA");
    EXPECT_EQ(sent["token"], "t");
    answer("req-99-AAAAAA", true);
    EXPECT_TRUE(calls.values.empty()) << "the caller's identifier must not pair an answer";
    answer(sent["requestId"], true);
    EXPECT_EQ(calls.values, std::vector<bool>{true});
}

TEST_F(AContainerClient, ConvertsBooleanAnswersByTypeOnly) {
    const std::vector<std::pair<Value, bool>> table = {{true, true},
                                                       {false, false},
                                                       {"true", false},
                                                       {1, false},
                                                       {1.0, false},
                                                       {nullptr, false},
                                                       {Dictionary{{"a", true}}, false},
                                                       {Value::array({true}), false}};
    for (const auto& [result, expected] : table) {
        Calls<bool> calls;
        client->syncComment({{"id", "x"}}, calls.completion());
        answer(lastRequestId(), result);
        EXPECT_EQ(calls.values, std::vector<bool>{expected}) << result.dump();
    }
    // The same rule holds for every Boolean operation.
    Calls<bool> calls;
    client->deleteComment("c", calls.completion());
    answer(lastRequestId(), true);
    client->syncAllComments({}, calls.completion());
    answer(lastRequestId(), "yes");
    client->clearAllMarkers(calls.completion());
    answer(lastRequestId(), true);
    client->startExport({}, calls.completion());
    answer(lastRequestId(), 0);
    client->cancelExport(calls.completion());
    answer(lastRequestId(), true);
    EXPECT_EQ(calls.values, (std::vector<bool>{true, false, true, false, true}));
}

TEST_F(AContainerClient, ReadsAMissingResultAsNoValue) {
    Calls<bool> b;
    Calls<std::optional<std::string>> s;
    client->syncComment({}, b.completion());
    answerRaw(Dictionary{{"requestId", lastRequestId()}});
    client->selectOutputFolder(s.completion());
    answerRaw(Dictionary{{"requestId", lastRequestId()}});
    EXPECT_EQ(b.values, std::vector<bool>{false});
    EXPECT_EQ(s.values, std::vector<std::optional<std::string>>{std::nullopt});
}

TEST_F(AContainerClient, ConvertsFolderAndMarkerAnswersByTypeOnly) {
    Calls<std::optional<std::string>> folders;
    for (Value result : {Value("/home/u/exports"), Value(nullptr), Value(true), Value(3),
                         Value(Dictionary{{"path", "/x"}})}) {
        client->selectOutputFolder(folders.completion());
        answer(lastRequestId(), result);
    }
    EXPECT_EQ(folders.values,
              (std::vector<std::optional<std::string>>{"/home/u/exports", std::nullopt,
                                                       std::nullopt, std::nullopt, std::nullopt}));

    Calls<std::optional<Dictionary>> markers;
    Dictionary marker{{"id", "c1"}, {"timestamp", 12.5}, {"resolved", false}};
    for (Value result : {Value(marker), Value(Dictionary::object()), Value(true), Value("c1"),
                         Value(nullptr), Value::array({marker})}) {
        client->getMarkerAtTime(12.5, 0.5, markers.completion());
        answer(lastRequestId(), result);
    }
    EXPECT_EQ(markers.values,
              (std::vector<std::optional<Dictionary>>{marker, Dictionary::object(), std::nullopt,
                                                      std::nullopt, std::nullopt, std::nullopt}));
}

TEST_F(AContainerClient, GivesUpAfterSixtySecondsAndNotBefore) {
    Calls<bool> b;
    Calls<std::optional<std::string>> s;
    Calls<std::optional<Dictionary>> m;
    client->syncComment({}, b.completion());
    client->selectOutputFolder(s.completion());
    client->getMarkerAtTime(1, 0.5, m.completion());
    auto sent = commands();

    queue.advance(59.9s);
    EXPECT_TRUE(b.values.empty() && s.values.empty() && m.values.empty());
    EXPECT_EQ(queue.pendingTimers(), 3u);
    queue.advance(0.2s);
    EXPECT_EQ(b.values, std::vector<bool>{false});
    EXPECT_EQ(s.values, std::vector<std::optional<std::string>>{std::nullopt});
    EXPECT_EQ(m.values, std::vector<std::optional<Dictionary>>{std::nullopt});
    EXPECT_EQ(queue.pendingTimers(), 0u);

    // The folder chooser answers after the client gave up: ignored.
    answer(sent[0]["requestId"], true);
    answer(sent[1]["requestId"], "/late/folder");
    answer(sent[2]["requestId"], Dictionary{{"id", "c"}});
    EXPECT_EQ(b.values.size() + s.values.size() + m.values.size(), 3u);
}

TEST_F(AContainerClient, CompletesOnceWhenAnsweredTwiceOrAnsweredThenTimedOut) {
    Calls<bool> calls;
    client->syncComment({}, calls.completion());
    std::string id = lastRequestId();
    answer(id, true);
    EXPECT_EQ(queue.pendingTimers(), 0u) << "an answered request leaves no timer behind";
    answer(id, false);
    queue.advance(61s);
    EXPECT_EQ(calls.values, std::vector<bool>{true});
}

TEST_F(AContainerClient, PairsAnswersByIdentifierInAnyOrder) {
    Calls<bool> first;
    Calls<std::optional<std::string>> second;
    client->syncComment({}, first.completion());
    client->selectOutputFolder(second.completion());
    auto sent = commands();
    answer(sent[1]["requestId"], "/b");
    EXPECT_TRUE(first.values.empty());
    answer(sent[0]["requestId"], true);
    EXPECT_EQ(first.values, std::vector<bool>{true});
    EXPECT_EQ(second.values, std::vector<std::optional<std::string>>{"/b"});
}

TEST_F(AContainerClient, IgnoresMalformedAndForeignResponses) {
    Calls<bool> calls;
    client->syncComment({}, calls.completion());
    std::string id = lastRequestId();
    answerRaw(std::nullopt);
    answerRaw(Dictionary::object());
    answerRaw(Dictionary{{"result", true}});
    answerRaw(Dictionary{{"requestId", 1}, {"result", true}});
    answerRaw(Dictionary{{"requestId", Value::array({id})}, {"result", true}});
    answerRaw(Dictionary{{"requestId", id + "0"}, {"result", true}});
    answerRaw(Dictionary{{"requestId", "req-1-ABCDEF"}, {"result", true}});
    EXPECT_TRUE(calls.values.empty());
    EXPECT_EQ(queue.pendingTimers(), 1u);
    answer(id, true);
    EXPECT_EQ(calls.values, std::vector<bool>{true});
}

TEST_F(AContainerClient, KeepsAPendingEntryForOpenURLUntilAnsweredOrTimedOut) {
    client->openURL("https://a");
    EXPECT_EQ(queue.pendingTimers(), 1u);
    answer(lastRequestId(), true);
    EXPECT_EQ(queue.pendingTimers(), 0u);
    client->openURL("https://b");
    EXPECT_EQ(queue.pendingTimers(), 1u);
    queue.advance(60s);
    EXPECT_EQ(queue.pendingTimers(), 0u);
}

TEST_F(AContainerClient, DropsPendingCompletionsWhenDestroyed) {
    Calls<bool> calls;
    client->syncComment({}, calls.completion());
    std::string id = lastRequestId();
    std::weak_ptr<ContainerAppBridge> weak = client;
    responses.remove();
    client.reset();
    EXPECT_TRUE(weak.expired()) << "a time-out must not keep the client alive";
    EXPECT_EQ(queue.pendingTimers(), 0u);
    queue.advance(61s);
    answer(id, true);
    EXPECT_TRUE(calls.values.empty());
}

TEST_F(AContainerClient, CallsCompletionsOutsideItsLock) {
    // A completion that starts another request would deadlock if the client
    // held its lock while calling it.
    Calls<bool> inner;
    std::vector<bool> outer;
    client->syncComment({}, [&](Result<bool> r) {
        outer.push_back(r.value());
        client->clearAllMarkers(inner.completion());
    });
    answer(lastRequestId(), true);
    EXPECT_EQ(outer, std::vector<bool>{true});
    answer(lastRequestId(), false);
    EXPECT_EQ(inner.values, std::vector<bool>{false});
}

TEST_F(AContainerClient, TakesRequestsFromManyThreadsAndCompletesThemOnTheMainQueue) {
    constexpr int kThreads = 4, kEach = 25;
    std::atomic<int> offMain{0};
    std::vector<bool> results;
    {
        std::vector<std::thread> threads;
        for (int t = 0; t < kThreads; ++t)
            threads.emplace_back([&] {
                for (int i = 0; i < kEach; ++i)
                    client->clearAllMarkers([&](Result<bool> r) {
                        if (!queue.isCurrent())
                            ++offMain;
                        results.push_back(r.value());
                    });
            });
        for (auto& t : threads)
            t.join();
    }
    auto sent = commands();
    ASSERT_EQ(sent.size(), std::size_t(kThreads * kEach));
    std::set<int> counters;
    for (const auto& c : sent) {
        std::string id = c["requestId"];
        counters.insert(std::stoi(id.substr(4, id.find('-', 4) - 4)));
    }
    EXPECT_EQ(counters.size(), sent.size());
    EXPECT_EQ(*counters.begin(), 1);
    EXPECT_EQ(*counters.rbegin(), kThreads * kEach);
    // Answers handed in from another thread still complete on the main queue.
    std::thread responder([&] {
        for (const auto& c : sent)
            client->handleResponse(
                Notification{CC::kResponseNotification,
                             CC::makeResponseMessage(c["requestId"].get<std::string>(), true)});
    });
    responder.join();
    queue.runPending();
    EXPECT_EQ(results.size(), sent.size());
    EXPECT_EQ(offMain.load(), 0);
}

// A centre that refuses every post, as the bus does for values it cannot carry.
class RefusingCenter final : public tavrin::NotificationCenter {
  public:
    bool post(const std::string&, const std::optional<Dictionary>&) override { return false; }
    Observation observe(const std::string&, tavrin::MainQueue&, Block) override { return {}; }
};

TEST(AContainerClientWhoseCommandCannotBePosted, FailsAtOnceInsteadOfAfterTheTimeOut) {
    ManualMainQueue queue;
    RefusingCenter center;
    auto client = ContainerAppBridge::create(center, queue);
    Calls<bool> calls;
    Calls<std::optional<Dictionary>> markers;
    client->syncComment({{"text", "x"}}, calls.completion());
    client->getMarkerAtTime(1, 0.5, markers.completion());
    queue.runPending();
    EXPECT_EQ(calls.values, std::vector<bool>{false});
    EXPECT_EQ(markers.values, std::vector<std::optional<Dictionary>>{std::nullopt});
    EXPECT_EQ(queue.pendingTimers(), 0u);
    EXPECT_EQ(queue.pendingTimers(), 0u);
}

} // namespace
