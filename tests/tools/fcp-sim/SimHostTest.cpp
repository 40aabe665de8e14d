// The extension host library against a real fcp-sim: the panel's adapter on
// top of it, notifications from the host's own thread, in the editor's order.
// Nothing here names the host: linking fcp_sim_host alone must make the
// adapter's dlsym find ProExtensionHostSingleton.

#include "ReviewPanel/ProExtensionAPI.h"
#include "tests/tools/fcp-sim/RunningEditor.h"
#include "tools/fcp-sim/SimBusClient.h"

#include <gmock/gmock.h>

#include <condition_variable>
#include <mutex>
#include <thread>

namespace tavrin::sim::testing {
namespace {

// What the adapter's callbacks saw, in order, and on which threads.
struct Recorder {
    void record(std::string event) {
        std::lock_guard lock(mutex);
        events.push_back(std::move(event));
        threads.push_back(std::this_thread::get_id());
        changed.notify_all();
    }
    bool waitFor(std::size_t count) {
        std::unique_lock lock(mutex);
        return changed.wait_for(lock, 20s, [&] { return events.size() >= count; });
    }
    std::mutex mutex;
    std::condition_variable changed;
    std::vector<std::string> events;
    std::vector<std::thread::id> threads;
};

TEST(SimHost, FollowsTheEditorFromItsOwnThreadInTheEditorsOrder) {
    RunningEditor sim; // the bus, in this process's environment before the host is made
    Recorder recorder; // outlives the adapter whose callbacks use it
    auto api = panel::ProExtensionAPI::create();
    api->onPlayheadChanged([&](double seconds) {
        recorder.record("playhead " + std::to_string(static_cast<int>(seconds * 1000)));
    });
    api->onSequenceChanged([&](const Dictionary& info) {
        recorder.record("sequence " + info["name"].get<std::string>());
    });

    // No editor yet: a host with no active sequence.
    EXPECT_FALSE(api->getSequenceInfo());
    EXPECT_EQ(api->getPlayheadSeconds(), 0.0);

    // The editor appears and is picked up.
    sim.start();
    ASSERT_TRUE(recorder.waitFor(1));
    auto info = api->getSequenceInfo();
    ASSERT_TRUE(info);
    EXPECT_EQ((*info)["name"], "Demo Cut");
    EXPECT_EQ((*info)["frameRate"], 23.98);
    EXPECT_NEAR((*info)["duration"].get<double>(), 600.6, 1e-9);

    // Changes made by another client, in quick succession.
    std::string error;
    auto client = SimBusClient::connectToSessionBus(&error);
    ASSERT_TRUE(client) << error;
    ASSERT_TRUE(client->call("SetPlayhead", g_variant_new("(d)", 2.0), "(sd)"));
    ASSERT_TRUE(client->call("SwitchSequence", g_variant_new("(s)", "Teaser"), "(b)"));
    ASSERT_TRUE(client->call("SetPlayhead", g_variant_new("(d)", 3.0), "(sd)"));
    ASSERT_TRUE(recorder.waitFor(5));
    api->seekTo(4.0); // the adapter's own seek reaches the editor too
    ASSERT_TRUE(recorder.waitFor(6));
    EXPECT_EQ(api->getPlayheadSeconds(), 4.0);

    std::lock_guard lock(recorder.mutex);
    ASSERT_EQ(recorder.events.size(), 6u);
    EXPECT_EQ(recorder.events[0], "sequence Demo Cut");
    // Kinds in the order the editor changed; the values are read when called.
    std::vector<std::string> kinds;
    for (const auto& event : recorder.events)
        kinds.push_back(event.substr(0, event.find(' ')));
    EXPECT_THAT(kinds, ::testing::ElementsAre("sequence", "playhead", "sequence", "playhead",
                                              "playhead", "playhead"));
    EXPECT_EQ(recorder.events[2], "sequence Teaser");
    EXPECT_EQ(recorder.events[5], "playhead 4000");
    for (const auto& thread : recorder.threads) {
        EXPECT_NE(thread, std::this_thread::get_id());
        EXPECT_EQ(thread, recorder.threads.front()); // one host thread
    }
}

} // namespace
} // namespace tavrin::sim::testing
