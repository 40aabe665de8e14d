#include "ReviewPanel/ProExtensionAPI.h"
#include "tests/support/TestHost.h"

#include <gtest/gtest.h>

#include <cmath>
#include <future>
#include <limits>
#include <thread>

using namespace tavrin;
using namespace tavrin::panel;
using tavrin::testing::testHost;
using tavrin::testing::TestSequence;
using tavrin::testing::TestTimeline;

namespace {

TEST(ACMTime, ConvertsSecondsToWholeUnitsOfThePreferredScale) {
    EXPECT_EQ(CMTimeMakeWithSeconds(1.0, 600), (CMTime{600, 600, kCMTimeFlags_Valid, 0}));
    EXPECT_EQ(CMTimeMakeWithSeconds(2.5, 600), (CMTime{1500, 600, kCMTimeFlags_Valid, 0}));
    EXPECT_EQ(CMTimeMakeWithSeconds(-2.5, 600).value, -1500);

    CMTime third = CMTimeMakeWithSeconds(1.0 / 3.0, 600);
    EXPECT_EQ(third.value, 200);
    CMTime rounded = CMTimeMakeWithSeconds(0.0009, 600); // 0.54 units
    EXPECT_EQ(rounded.value, 1);
    EXPECT_TRUE(rounded.flags & kCMTimeFlags_HasBeenRounded);
    EXPECT_EQ(CMTimeMakeWithSeconds(1.0 / 1200.0, 600).value, 1);   // half: away from zero
    EXPECT_EQ(CMTimeMakeWithSeconds(-1.0 / 1200.0, 600).value, -1); // in both directions

    // Too large for the preferred scale: the scale shrinks so the value fits.
    CMTime huge = CMTimeMakeWithSeconds(1e17, 600);
    EXPECT_TRUE(CMTimeIsValid(huge));
    EXPECT_LT(huge.timescale, 600);
    EXPECT_DOUBLE_EQ(CMTimeGetSeconds(huge), 1e17);
}

TEST(ACMTime, GivesNaNForInvalidTimesAndInfinityForInfiniteOnes) {
    EXPECT_DOUBLE_EQ(CMTimeGetSeconds(CMTimeMake(1001, 30000)), 1001.0 / 30000.0);
    EXPECT_TRUE(std::isnan(CMTimeGetSeconds(kCMTimeInvalid)));
    EXPECT_TRUE(std::isnan(CMTimeGetSeconds(CMTime{600, 0, kCMTimeFlags_Valid, 0})));
    EXPECT_TRUE(std::isnan(
        CMTimeGetSeconds(CMTime{0, 1, kCMTimeFlags_Valid | kCMTimeFlags_Indefinite, 0})));
    EXPECT_EQ(CMTimeGetSeconds(kCMTimePositiveInfinity), std::numeric_limits<double>::infinity());

    EXPECT_FALSE(CMTimeIsValid(CMTimeMakeWithSeconds(std::nan(""), 600)));
    EXPECT_FALSE(CMTimeIsValid(CMTimeMakeWithSeconds(1.0, 0)));
    EXPECT_EQ(CMTimeMakeWithSeconds(-INFINITY, 600), kCMTimeNegativeInfinity);
}

class AProExtensionAPI : public ::testing::Test {
  protected:
    void SetUp() override {
        timeline = std::make_shared<TestTimeline>();
        testHost().setTimeline(timeline);
    }
    void TearDown() override { testHost().setTimeline(nullptr); }
    std::shared_ptr<TestTimeline> timeline;
};

TEST_F(AProExtensionAPI, FindsTheHostThatTheProgramSupplies) {
    EXPECT_EQ(ProExtensionAPI::lookUpHost(), &testHost());
}

TEST_F(AProExtensionAPI, SeeksInSixHundredthsOfASecond) {
    auto api = ProExtensionAPI::create();
    api->seekTo(1.0);
    api->seekTo(2.5);
    api->seekTo(0.0041); // 2.46 units
    auto moves = timeline->moves();
    ASSERT_EQ(moves.size(), 3u);
    EXPECT_EQ(moves[0], (CMTime{600, 600, kCMTimeFlags_Valid, 0}));
    EXPECT_EQ(moves[1], (CMTime{1500, 600, kCMTimeFlags_Valid, 0}));
    EXPECT_EQ(moves[2].value, 2);
    EXPECT_EQ(api->getPlayheadSeconds(), 2.0 / 600.0);
}

TEST_F(AProExtensionAPI, DescribesTheSequenceWithItsFrameRateRoundedToTwoDecimals) {
    auto api = ProExtensionAPI::create();
    EXPECT_FALSE(api->getSequenceInfo()); // no active sequence

    struct Case {
        CMTime frame;
        double rate;
    } cases[] = {
        {CMTimeMake(1, 25), 25.0},        {CMTimeMake(1001, 24000), 23.98},
        {CMTimeMake(1001, 30000), 29.97}, {CMTimeMake(1, 24), 24.0},
        {CMTimeMake(0, 600), 0.0},        {kCMTimeInvalid, 0.0},
        {CMTimeMake(-1, 25), 0.0},
    };
    for (const auto& c : cases) {
        timeline->setSequence(
            std::make_shared<TestSequence>("Reel 1", CMTimeMake(90090, 30000), c.frame));
        auto info = api->getSequenceInfo();
        ASSERT_TRUE(info);
        EXPECT_EQ(info->at("frameRate").get<double>(), c.rate)
            << c.frame.value << "/" << c.frame.timescale;
        EXPECT_EQ(*info, (Value{{"name", "Reel 1"},
                                {"duration", 3.003},
                                {"frameRate", c.rate},
                                {"width", 0},
                                {"height", 0},
                                {"startTimecode", "00:00:00:00"}}));
        EXPECT_TRUE(info->at("width").is_number_integer());
        EXPECT_TRUE(info->at("duration").is_number_float());
    }
}

TEST_F(AProExtensionAPI, BehavesAsWithoutATimelineWhenTheHostHasNone) {
    testHost().setTimeline(nullptr);
    auto api = ProExtensionAPI::create();
    int calls = 0;
    api->onPlayheadChanged([&](double) { ++calls; });
    EXPECT_EQ(api->getPlayheadSeconds(), 0.0);
    api->seekTo(3.0);
    EXPECT_FALSE(api->getSequenceInfo());

    // The timeline appears later: reads see it, but the observer was never registered.
    testHost().setTimeline(timeline);
    timeline->setPlayheadSeconds(4.0);
    EXPECT_EQ(api->getPlayheadSeconds(), 4.0);
    EXPECT_EQ(timeline->registeredObservers(), 0u);
    timeline->notifyPlayheadChanged();
    EXPECT_EQ(calls, 0);
    api.reset();
    EXPECT_EQ(timeline->removals(), 1); // unregistering an unknown observer is the host's concern
}

TEST_F(AProExtensionAPI, HandsNotificationsToTheLatestCallbacksSynchronously) {
    auto api = ProExtensionAPI::create();
    EXPECT_EQ(timeline->registeredObservers(), 1u);
    std::vector<double> first, second;
    std::vector<Dictionary> sequences;
    api->onPlayheadChanged([&](double s) { first.push_back(s); });
    timeline->movePlayheadAndNotify(1.5);
    api->onPlayheadChanged([&](double s) { second.push_back(s); });
    timeline->movePlayheadAndNotify(2.0);
    EXPECT_EQ(first, std::vector<double>{1.5});
    EXPECT_EQ(second, std::vector<double>{2.0});

    timeline->setPlayhead(kCMTimeInvalid);
    timeline->notifyPlayheadChanged();
    ASSERT_EQ(second.size(), 2u);
    EXPECT_TRUE(std::isnan(second[1]));

    api->onSequenceChanged([&](const Dictionary& d) { sequences.push_back(d); });
    timeline->notifySequenceChanged(); // none active: no call
    EXPECT_TRUE(sequences.empty());
    timeline->setSequence(
        std::make_shared<TestSequence>("S", CMTimeMake(600, 600), CMTimeMake(1, 25)));
    timeline->notifySequenceChanged();
    ASSERT_EQ(sequences.size(), 1u);
    EXPECT_EQ(sequences[0].at("name"), "S");
}

TEST_F(AProExtensionAPI, IgnoresNotificationsAfterItIsReleased) {
    auto api = ProExtensionAPI::create();
    int calls = 0;
    api->onPlayheadChanged([&](double) { ++calls; });
    api->onSequenceChanged([&](const Dictionary&) { ++calls; });
    timeline->setSequence(
        std::make_shared<TestSequence>("S", CMTimeMake(600, 600), CMTimeMake(1, 25)));
    api.reset();
    EXPECT_EQ(timeline->registeredObservers(), 0u);
    EXPECT_EQ(timeline->removals(), 1);
    timeline->notifyEveryObserverEverAdded(); // the host kept its reference
    EXPECT_EQ(calls, 0);
}

// The owner releases the adapter while the host is in the middle of calling
// it on the host's thread: the adapter goes at once, on the owner's thread,
// not later on the host's thread inside its notification loop.
TEST_F(AProExtensionAPI, IsReleasedOnItsOwnersThreadWhileTheHostNotifies) {
    auto api = ProExtensionAPI::create();
    std::promise<void> inCallback, released;
    auto releasedFuture = released.get_future().share();
    api->onPlayheadChanged([&, releasedFuture](double) {
        inCallback.set_value();
        releasedFuture.wait();
    });
    std::thread host([&] { timeline->movePlayheadAndNotify(3.0); });
    inCallback.get_future().wait();
    api.reset();
    EXPECT_EQ(timeline->removals(), 1) << "the destructor did not run on the owner's thread";
    EXPECT_EQ(timeline->registeredObservers(), 0u);
    released.set_value();
    host.join();
    EXPECT_EQ(timeline->removals(), 1);
}

TEST_F(AProExtensionAPI, RegistersOneObserverPerAdapter) {
    auto a = ProExtensionAPI::create();
    auto b = ProExtensionAPI::create();
    int calls = 0;
    a->onPlayheadChanged([&](double) { ++calls; });
    b->onPlayheadChanged([&](double) { ++calls; });
    timeline->movePlayheadAndNotify(1.0);
    EXPECT_EQ(calls, 2);
    a.reset();
    EXPECT_EQ(timeline->registeredObservers(), 1u);
    timeline->movePlayheadAndNotify(2.0);
    EXPECT_EQ(calls, 3);
}

} // namespace
