// The wire contract's pieces: UUIDs, request identifiers, messages; and the
// in-process centre the unit tests stand on.

#include "common/ContainerChannel.h"
#include "common/UUID.h"
#include "tests/support/InProcessNotificationCenter.h"
#include "tests/support/ManualMainQueue.h"

#include <gtest/gtest.h>

#include <regex>
#include <set>

using tavrin::Dictionary;
using tavrin::Notification;
using tavrin::UUID;
using CC = tavrin::ContainerChannel;

namespace {

TEST(AUUID, IsAVersionFourUUIDInCanonicalUpperCaseText) {
    std::set<std::string> seen;
    for (int i = 0; i < 2000; ++i) {
        std::string text = UUID::random().uuidString();
        ASSERT_TRUE(std::regex_match(
            text,
            std::regex("[0-9A-F]{8}-[0-9A-F]{4}-4[0-9A-F]{3}-[89AB][0-9A-F]{3}-[0-9A-F]{12}")))
            << text;
        seen.insert(text);
    }
    EXPECT_EQ(seen.size(), 2000u);
}

TEST(ARequestIdentifier, JoinsCounterAndTheFirstSixCharactersOfARandomUUID) {
    std::set<std::string> randomParts;
    for (int i = 0; i < 200; ++i) {
        std::string id = CC::makeRequestIdentifier(7);
        ASSERT_TRUE(std::regex_match(id, std::regex("req-7-[0-9A-F]{6}"))) << id;
        randomParts.insert(id.substr(6));
    }
    EXPECT_GT(randomParts.size(), 190u);
    EXPECT_TRUE(std::regex_match(CC::makeRequestIdentifier(9223372036854775807LL),
                                 std::regex("req-9223372036854775807-[0-9A-F]{6}")));
}

TEST(ACommandMessage, PutsCommandAndIdentifierBesideTheArgumentsOverwritingThem) {
    auto message = CC::makeCommandMessage("getMarkerAtTime",
                                          {{"seconds", 12.5}, {"command", "x"}, {"requestId", "y"}},
                                          "req-7-3F2A9C");
    EXPECT_EQ(message, (Dictionary{{"command", "getMarkerAtTime"},
                                   {"requestId", "req-7-3F2A9C"},
                                   {"seconds", 12.5}}));
    EXPECT_EQ(CC::makeCommandMessage("cancelExport", nullptr, "r"),
              (Dictionary{{"command", "cancelExport"}, {"requestId", "r"}}));
    EXPECT_EQ(CC::makeResponseMessage("r", nullptr),
              (Dictionary{{"requestId", "r"}, {"result", nullptr}}));
}

TEST(AnInProcessCentre, DeliversCopiesToObserversOfTheNameThroughTheirQueues) {
    tavrin::testing::ManualMainQueue queue;
    tavrin::testing::InProcessNotificationCenter center;
    std::vector<Notification> got, other;
    auto a = center.observe("a", queue, [&](const Notification& n) { got.push_back(n); });
    auto b = center.observe("b", queue, [&](const Notification& n) { other.push_back(n); });
    EXPECT_TRUE(center.post("a", Dictionary{{"k", 1}}));
    EXPECT_TRUE(center.post("a", std::nullopt));
    EXPECT_FALSE(center.post("a", tavrin::Value(3)));
    EXPECT_TRUE(got.empty()) << "delivery happens on the queue, not inside post()";
    queue.runPending();
    ASSERT_EQ(got.size(), 2u);
    EXPECT_EQ(got[0].userInfo, Dictionary({{"k", 1}}));
    EXPECT_FALSE(got[1].userInfo.has_value());
    EXPECT_TRUE(other.empty());

    // Removing the observer also stops deliveries already queued.
    center.post("a", Dictionary::object());
    a.remove();
    queue.runPending();
    EXPECT_EQ(got.size(), 2u);
    EXPECT_EQ(center.observerCount(), 1u);
}

} // namespace
