#include "TavrinFCP/FileWatcher.h"
#include "tests/support/FakeFileEventStream.h"
#include "tests/support/ManualMainQueue.h"

#include <gtest/gtest.h>

#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <fstream>

namespace tavrin::container {
namespace {

namespace fs = std::filesystem;
using namespace std::chrono_literals;
using testing::FakeFileEventStreams;
using testing::ManualMainQueue;

constexpr FileEventFlags kCreated = kFileEventItemCreated | kFileEventItemIsFile;
constexpr FileEventFlags kModified = kFileEventItemModified | kFileEventItemIsFile;

class AFileWatcher : public ::testing::Test {
  protected:
    void SetUp() override {
        std::string pattern = (fs::temp_directory_path() / "file-watcher-XXXXXX").string();
        ASSERT_NE(::mkdtemp(pattern.data()), nullptr);
        folder = pattern;
        watcher = std::make_unique<FileWatcher>(folder.string(), queue, streams.factory());
        watcher->onFileDetected = [this](const std::string& path) { reports.push_back(path); };
        ::testing::internal::CaptureStdout();
    }
    void TearDown() override {
        watcher.reset();
        stdoutText();
        fs::remove_all(folder);
    }

    std::string write(const std::string& name, std::size_t bytes) {
        fs::path path = folder / name;
        fs::create_directories(path.parent_path());
        std::ofstream(path, std::ios::binary) << std::string(bytes, 'x');
        return path.string();
    }
    void deliver(const std::string& path, FileEventFlags flags) {
        streams.last().deliver({{path, flags}});
    }
    // What the watcher wrote on standard output since the last call.
    std::string stdoutText() {
        if (!capturing)
            return {};
        std::string text = ::testing::internal::GetCapturedStdout();
        capturing = false;
        return text;
    }

    ManualMainQueue queue;
    FakeFileEventStreams streams;
    fs::path folder;
    std::unique_ptr<FileWatcher> watcher;
    std::vector<std::string> reports;
    bool capturing = true;
};

TEST_F(AFileWatcher, WatchesItsFolderWithATwoSecondLatencyOnStart) {
    EXPECT_TRUE(streams.records.empty()) << "nothing is watched before start()";
    watcher->start();
    ASSERT_EQ(streams.records.size(), 1u);
    EXPECT_EQ(streams.last().options.paths, std::vector<std::string>{folder.string()});
    EXPECT_DOUBLE_EQ(streams.last().options.latency.count(), 2.0);
    EXPECT_TRUE(streams.last().started);
    EXPECT_TRUE(watcher->isWatching());
}

TEST_F(AFileWatcher, ReportsAFileWrittenInBurstsOnceFiveSecondsAfterTheLastBurst) {
    watcher->start();
    std::string path = write("export.mov", 10);
    deliver(path, kCreated);
    queue.advance(3s);
    write("export.mov", 2000);
    deliver(path, kModified);
    queue.advance(4s);
    deliver(path, kModified);
    queue.advance(4.9s);
    EXPECT_TRUE(reports.empty()) << "each event pushes the check back";
    queue.advance(0.1s);
    EXPECT_EQ(reports, std::vector<std::string>{path});
    EXPECT_EQ(stdoutText(), "[FileWatcher] Export detected: export.mov (2000 bytes)\n");
    queue.advance(60s);
    EXPECT_EQ(reports.size(), 1u);
    EXPECT_EQ(queue.pendingTimers(), 0u);
}

TEST_F(AFileWatcher, TracksTwoFilesIndependently) {
    watcher->start();
    std::string a = write("a.mp4", 1);
    std::string b = write("sub/b.mp4", 2);
    deliver(a, kCreated);
    queue.advance(2s);
    deliver(b, kCreated);
    queue.advance(3s);
    EXPECT_EQ(reports, std::vector<std::string>{a});
    queue.advance(2s);
    EXPECT_EQ(reports, (std::vector<std::string>{a, b}));
}

TEST_F(AFileWatcher, ReportsOnlyCreatedOrModifiedVideoFilesThatAreNotHidden) {
    watcher->start();
    std::string upper = write("Export.M4V", 5);
    std::string mxf = write("export.mxf", 5);
    std::string hidden = write(".export.mp4", 5);
    std::string partial = write("clip.mp4.part", 5);
    std::string renamed = write("renamed.mp4", 5);
    fs::create_directories(folder / "renders");
    streams.last().deliver({{mxf, kCreated},
                            {hidden, kCreated},
                            {partial, kModified},
                            {(folder / "renders").string(), kFileEventItemCreated},
                            {renamed, kFileEventItemRenamed | kFileEventItemIsFile},
                            {upper, kModified}});
    queue.advance(10s);
    EXPECT_EQ(reports, std::vector<std::string>{upper});
    EXPECT_EQ(stdoutText(), "[FileWatcher] Export detected: Export.M4V (5 bytes)\n");
}

// A name with a line break cannot forge a second detection line.
TEST_F(AFileWatcher, WritesTheDetectionLineOfANameWithALineBreakAsOneLine) {
    watcher->start();
    std::string odd = write("a\n[FileWatcher] Export detected: fake.mp4 (9 bytes)\rb.mp4", 3);
    deliver(odd, kCreated);
    queue.advance(5s);
    EXPECT_EQ(reports, std::vector<std::string>{odd});
    EXPECT_EQ(stdoutText(), "[FileWatcher] Export detected: a\\n[FileWatcher] Export detected: "
                            "fake.mp4 (9 bytes)\\rb.mp4 (3 bytes)\n");
}

TEST_F(AFileWatcher, DoesNotReportAFolderNamedLikeAVideo) {
    watcher->start();
    fs::create_directories(folder / "project.mov");
    deliver((folder / "project.mov").string(), kFileEventItemCreated);
    queue.advance(10s);
    EXPECT_TRUE(reports.empty());
    EXPECT_EQ(stdoutText(), "");
}

TEST_F(AFileWatcher, DoesNotReportOrLogAFileDeletedBeforeItsCheck) {
    watcher->start();
    std::string path = write("gone.mp4", 100);
    deliver(path, kCreated);
    queue.advance(4s);
    fs::remove(path);
    queue.advance(10s);
    EXPECT_TRUE(reports.empty());
    EXPECT_EQ(stdoutText(), "");
}

TEST_F(AFileWatcher, ReportsAnEmptyFileOnlyAfterItGrowsAndANewEventComes) {
    watcher->start();
    std::string path = write("a.mp4", 0);
    deliver(path, kCreated);
    queue.advance(10s);
    EXPECT_TRUE(reports.empty());

    write("a.mp4", 42);
    queue.advance(30s);
    EXPECT_TRUE(reports.empty()) << "growing alone, without an event, is not seen";

    deliver(path, kModified);
    queue.advance(4.9s);
    EXPECT_TRUE(reports.empty());
    queue.advance(0.1s);
    EXPECT_EQ(reports, std::vector<std::string>{path});
    EXPECT_EQ(stdoutText(), "[FileWatcher] Export detected: a.mp4 (42 bytes)\n");
}

TEST_F(AFileWatcher, ReportsAFileAgainAfterALaterEvent) {
    watcher->start();
    std::string path = write("a.mp4", 1);
    deliver(path, kCreated);
    queue.advance(5s);
    deliver(path, kModified);
    queue.advance(5s);
    EXPECT_EQ(reports, (std::vector<std::string>{path, path}));
}

TEST_F(AFileWatcher, StopCancelsPendingChecksAndStopsTheStream) {
    watcher->start();
    std::string path = write("a.mp4", 1);
    deliver(path, kCreated);
    EXPECT_EQ(queue.pendingTimers(), 1u);
    watcher->stop();
    EXPECT_TRUE(streams.last().stopped);
    EXPECT_TRUE(streams.last().destroyed);
    EXPECT_FALSE(watcher->isWatching());
    EXPECT_EQ(queue.pendingTimers(), 0u);
    queue.advance(10s);
    EXPECT_TRUE(reports.empty());

    streams.last().deliver({{path, kModified}}); // a late batch from the stopped stream
    queue.advance(10s);
    EXPECT_TRUE(reports.empty());
    watcher->stop(); // safe when idle
}

TEST_F(AFileWatcher, StartedTwiceReplacesTheStreamWithoutDoubleReports) {
    watcher->start();
    watcher->start();
    ASSERT_EQ(streams.records.size(), 2u);
    EXPECT_TRUE(streams.records[0]->stopped);
    EXPECT_TRUE(streams.records[0]->destroyed);
    std::string path = write("a.mp4", 1);
    // Both streams see the same change; only the current one counts.
    streams.records[0]->deliver({{path, kCreated}});
    streams.records[1]->deliver({{path, kCreated}});
    queue.advance(10s);
    EXPECT_EQ(reports, std::vector<std::string>{path});
}

TEST_F(AFileWatcher, RestartDropsChecksFromBeforeIt) {
    watcher->start();
    std::string path = write("a.mp4", 1);
    deliver(path, kCreated);
    watcher->start();
    queue.advance(10s);
    EXPECT_TRUE(reports.empty()) << "an event from before start() is never reported";
}

TEST_F(AFileWatcher, StaysIdleWhenTheStreamCannotStart) {
    streams.failStart = true;
    watcher->start();
    EXPECT_FALSE(watcher->isWatching());
    std::string path = write("a.mp4", 1);
    streams.last().deliver({{path, kCreated}});
    queue.advance(10s);
    EXPECT_TRUE(reports.empty());

    FileWatcher noStream(folder.string(), queue,
                         [](const FileEventStreamOptions&, MainQueue&, FileEventStream::Callback) {
                             return std::unique_ptr<FileEventStream>();
                         });
    noStream.start();
    EXPECT_FALSE(noStream.isWatching());
}

TEST_F(AFileWatcher, MayBeDestroyedFromItsOwnCallback) {
    watcher->onFileDetected = [this](const std::string& path) {
        reports.push_back(path);
        watcher.reset();
    };
    watcher->start();
    std::string a = write("a.mp4", 1);
    std::string b = write("b.mp4", 1);
    streams.last().deliver({{a, kCreated}, {b, kCreated}});
    queue.advance(10s);
    EXPECT_EQ(reports, std::vector<std::string>{a}) << "b's check went with the watcher";
    EXPECT_EQ(queue.pendingTimers(), 0u);
}

TEST_F(AFileWatcher, StopsItsStreamAndTimersWhenDestroyed) {
    watcher->start();
    deliver(write("a.mp4", 1), kCreated);
    watcher.reset();
    EXPECT_TRUE(streams.last().stopped);
    EXPECT_EQ(queue.pendingTimers(), 0u);
}

TEST(IsWatchedVideoPath, AcceptsTheThreeVideoExtensionsInAnyCase) {
    EXPECT_TRUE(isWatchedVideoPath("/a/b/clip.mp4"));
    EXPECT_TRUE(isWatchedVideoPath("/a/b/clip.MOV"));
    EXPECT_TRUE(isWatchedVideoPath("/a/b.d/clip.m4V"));
    EXPECT_TRUE(isWatchedVideoPath("clip.tar.mp4"));
    EXPECT_FALSE(isWatchedVideoPath("/a/b/clip.mp4.part"));
    EXPECT_FALSE(isWatchedVideoPath("/a/b/.clip.mp4"));
    EXPECT_FALSE(isWatchedVideoPath("/a/b.mp4/clip"));
    EXPECT_FALSE(isWatchedVideoPath("/a/b/mp4"));
    EXPECT_FALSE(isWatchedVideoPath("/a/b/clip.mp"));
    EXPECT_FALSE(isWatchedVideoPath(""));
}

// A link named like an export is not an export: its target is any file the
// user can read.
TEST_F(AFileWatcher, DoesNotReportASymbolicLink) {
    watcher->start();
    std::string target = write("hidden/secret.bin", 100);
    fs::create_symlink(target, folder / "x.mp4");
    deliver((folder / "x.mp4").string(), kCreated);
    queue.advance(10s);
    EXPECT_TRUE(reports.empty());
}

TEST_F(AFileWatcher, TellsItsOwnerWhenTheFolderIsRemoved) {
    int gone = 0;
    watcher->onFolderGone = [&] { ++gone; };
    watcher->start();
    deliver(folder.string() + "/sub", kFileEventRootChanged); // not the folder itself
    EXPECT_EQ(gone, 0);
    deliver(folder.string(), kFileEventRootChanged);
    EXPECT_EQ(gone, 1);
}

} // namespace
} // namespace tavrin::container
