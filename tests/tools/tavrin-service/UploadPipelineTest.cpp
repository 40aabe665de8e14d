// The service's part pipeline (received bytes handed to writer and digest
// stages) and the upload digest fed from received bytes or read back.
#include "tests/tools/tavrin-service/ServiceProcess.h"
#include "tools/tavrin-service/PartPipeline.h"
#include "tools/tavrin-service/ServiceStore.h"
#include "tools/tavrin-service/UploadDigest.h"

#include <glib.h>
#include <gtest/gtest.h>

#include <fstream>
#include <future>
#include <thread>

using namespace tavrin::service;

namespace {

TEST(APartPipeline, HandsEveryStageEveryPieceInOrderFromAlignedBuffers) {
    constexpr std::size_t kSize = 64 * 1024;
    const std::thread::id testThread = std::this_thread::get_id();
    for (std::size_t length :
         {std::size_t{0}, std::size_t{1}, kSize, 5 * kSize / 2, 9 * kSize + 3}) {
        SCOPED_TRACE(length);
        std::string input(length, '\0');
        for (std::size_t i = 0; i < length; ++i)
            input[i] = static_cast<char>(i * 7919 >> 3);
        std::vector<std::string> seen(3);
        std::vector<PartPipeline::Stage> stages;
        for (std::size_t s = 0; s < seen.size(); ++s)
            stages.push_back([&, s](std::uint64_t piece, const char* data, std::size_t size) {
                EXPECT_EQ(piece * kSize, seen[s].size());
                EXPECT_EQ(reinterpret_cast<std::uintptr_t>(data) % 4096, 0u);
                seen[s].append(data, size);
                return size == kSize || seen[s].size() == length; // only the last piece is short
            });
        // The first stage runs on the pushing thread.
        std::string first;
        PartPipeline pipeline(std::move(stages), 3, kSize,
                              [&](std::uint64_t piece, const char* data, std::size_t size) {
                                  EXPECT_EQ(piece * kSize, first.size());
                                  EXPECT_EQ(std::this_thread::get_id(), testThread);
                                  first.append(data, size);
                                  return true;
                              });
        for (std::size_t at = 0; at < length; at += 1000) // pieces as a socket would give them
            ASSERT_TRUE(pipeline.push(input.data() + at, std::min<std::size_t>(1000, length - at)));
        ASSERT_TRUE(pipeline.close());
        seen.push_back(first);
        for (const std::string& bytes : seen)
            EXPECT_EQ(bytes, input);
    }
}

TEST(APartPipeline, FlushWaitsOnlyForTheFirstStagesAndReportsAFailedStage) {
    std::promise<void> release;
    std::shared_future<void> released = release.get_future().share();
    PartPipeline lagging({[](std::uint64_t, const char*, std::size_t) { return true; },
                          [released](std::uint64_t, const char*, std::size_t) {
                              released.wait();
                              return true;
                          }},
                         4, 16);
    ASSERT_TRUE(lagging.push("0123456789abcdefXYZ", 19));
    EXPECT_TRUE(lagging.flush(1)); // returns while the second stage is held
    release.set_value();
    EXPECT_TRUE(lagging.close());

    // A failing stage on a thread of its own, or on the pushing thread.
    PartPipeline::Stage failsAfterOne = [](std::uint64_t piece, const char*, std::size_t) {
        return piece == 0;
    };
    for (bool first : {false, true}) {
        PartPipeline failing(first ? std::vector<PartPipeline::Stage>{}
                                   : std::vector<PartPipeline::Stage>{failsAfterOne},
                             2, 16, first ? failsAfterOne : PartPipeline::Stage{});
        bool pushed = true;
        for (int i = 0; i < 8 && pushed; ++i)
            pushed = failing.push("0123456789abcdef", 16);
        EXPECT_FALSE(pushed && failing.close()) << first;
    }
}

std::string sha256(const std::string& bytes) {
    gchar* hex = g_compute_checksum_for_data(
        G_CHECKSUM_SHA256, reinterpret_cast<const guchar*>(bytes.data()), bytes.size());
    std::string result(hex);
    g_free(hex);
    return result;
}

// Parts of 1000 bytes; each case says how every part reaches the digest.
TEST(AnUploadDigest, MatchesTheFileWhetherPartsAreDigestedAsReceivedOrReadBack) {
    tavrin::testing::TempFolder folder;
    const std::string path = folder.path() + "/upload.data";
    std::string bytes(2500, '\0');
    for (std::size_t i = 0; i < bytes.size(); ++i)
        bytes[i] = static_cast<char>(i * 31 + i / 1000);
    std::ofstream(path, std::ios::binary) << bytes;
    auto partOf = [&](std::int64_t index) {
        return bytes.substr(static_cast<std::size_t>(index) * 1000, 1000);
    };
    for (bool later : {false, true}) { // the continuation's bytes arrive after partStored
        SCOPED_TRACE(later ? "digest finishing behind" : "digest done when stored");
        UploadDigest digest(path, 2500, 1000, {});
        // Feeds a continuation (when given one) and records the part.
        auto stored = [&](std::int64_t index, std::unique_ptr<UploadDigest::Continuation> next,
                          const std::string& received) {
            UploadDigest::Continuation* feed = next.get();
            if (!feed)
                return digest.partStored(index);
            if (!later) {
                feed->update(received.data(), received.size());
                return digest.partStored(index, std::move(next));
            }
            digest.partStored(index, std::move(next), [feed, received] {
                feed->update(received.data(), received.size());
                return true;
            });
        };
        auto store = [&](std::int64_t index, const std::string& received) {
            digest.partChanging(index);
            stored(index, digest.continueWith(index), received);
        };
        store(2, partOf(2)); // out of order: read back
        store(0, partOf(0));
        store(1, "not the part's bytes"); // replaced below
        store(0, partOf(0));              // part 0 again: what follows is digested anew
        digest.partChanging(1);
        auto inFlight = digest.continueWith(1);
        store(0, partOf(0)); // part 0 again while part 1 is being received
        stored(1, std::move(inFlight), "digested before part 0 changed");
        EXPECT_EQ(digest.finish(), sha256(bytes));
    }
}

// The next part is received while the part before is still being digested;
// if that part is sent again meanwhile, the next one is read back instead.
TEST(AnUploadDigest, ContinuesWithoutWaitingForThePartBefore) {
    tavrin::testing::TempFolder folder;
    const std::string path = folder.path() + "/upload.data";
    std::string bytes(2000, '\0');
    for (std::size_t i = 0; i < bytes.size(); ++i)
        bytes[i] = static_cast<char>(i * 7 + i / 1000);
    std::ofstream(path, std::ios::binary) << bytes;
    for (bool resent : {false, true}) {
        SCOPED_TRACE(resent ? "part 0 sent again" : "in order");
        UploadDigest digest(path, 2000, 1000, {});
        std::promise<void> release;
        digest.partChanging(0);
        auto first = digest.continueWith(0);
        UploadDigest::Continuation* feed = first.get();
        digest.partStored(0, std::move(first), [&, feed, done = release.get_future().share()] {
            done.wait();
            feed->update(resent ? "stale" : bytes.data(), resent ? 5 : 1000);
            return true;
        });
        digest.partChanging(1);
        auto next = digest.continueWith(1); // does not wait for part 0's bytes
        if (!next) {
            release.set_value();
            FAIL() << "part 1 was not digested as received";
        }
        if (resent) {
            digest.partChanging(0);
            digest.partStored(0);
        }
        release.set_value();
        next->update(bytes.data() + 1000, 1000);
        digest.partStored(1, std::move(next));
        EXPECT_EQ(digest.finish(), sha256(bytes));
    }
}

// A PUT that looked its upload up just before a complete of it is refused as
// late (not failed as if the data were lost); a file left by a kill during an
// initiate goes at the next start, while open uploads keep theirs.
TEST(AServiceStore, RefusesAPartOfACompletedUploadAndRemovesStrayUploadFiles) {
    tavrin::testing::TempFolder folder;
    const std::string stray = folder.path() + "/uploads/u-0123456789abcdef.data";
    UploadSession open;
    {
        ServiceStore store(folder.path());
        UploadSession done = store.initiateUpload("demo", "a.mp4", 0, 0);
        ASSERT_EQ(store.completeUpload(done.id, 0).at("status"), "ready");
        done.totalChunks = 1; // as looked up before: "open", with a part to send
        EXPECT_THROW(store.beginPart(done, 0), ServiceError); // 409, not a failure
        open = store.initiateUpload("demo", "b.mp4", 3, 1);
        std::ofstream(stray) << "abc";
    }
    ServiceStore store(folder.path());
    EXPECT_FALSE(std::filesystem::exists(stray));
    EXPECT_TRUE(std::filesystem::exists(folder.path() + "/uploads/" + open.id + ".data"));
}

} // namespace
