#include "platform/linux/InotifyEventStream.h"
#include "tests/support/ManualMainQueue.h"

#include <gtest/gtest.h>

#include <dirent.h>
#include <fcntl.h>
#include <sched.h>
#include <unistd.h>

#include <sys/wait.h>

#include <cerrno>
#include <chrono>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <map>
#include <numeric>
#include <set>

namespace tavrin::linux_platform {
namespace {

namespace fs = std::filesystem;
using namespace std::chrono_literals;
using testing::ManualMainQueue;

constexpr FileEventFlags kCreatedOrModified = kFileEventItemCreated | kFileEventItemModified;

fs::path makeTempFolder(const char* stem) {
    std::string pattern = (fs::temp_directory_path() / (std::string(stem) + "-XXXXXX")).string();
    if (!::mkdtemp(pattern.data()))
        return {};
    return pattern;
}

void write(const fs::path& path, std::size_t bytes = 1) {
    std::ofstream(path, std::ios::binary) << std::string(bytes, 'x');
}

// A file as last year's export left it.
void writeOld(const fs::path& path) {
    write(path);
    fs::last_write_time(path, fs::file_time_type::clock::now() - std::chrono::hours(24 * 365));
}

std::size_t countEntries(const char* dir) {
    std::size_t n = 0;
    for ([[maybe_unused]] auto& entry : fs::directory_iterator(dir))
        ++n;
    return n;
}

// Collects the batches a stream delivers; every batch must name each path once.
struct Collector {
    std::vector<std::map<std::string, FileEventFlags>> batches;
    std::map<std::string, FileEventFlags> seen;
    bool duplicateInBatch = false;

    FileEventStream::Callback callback() {
        return [this](std::size_t count, const std::vector<std::string>& paths,
                      const std::vector<FileEventFlags>& flags) {
            EXPECT_EQ(count, paths.size());
            EXPECT_EQ(count, flags.size());
            std::map<std::string, FileEventFlags> batch;
            for (std::size_t i = 0; i < count; ++i) {
                duplicateInBatch |= !batch.emplace(paths[i], flags[i]).second;
                seen[paths[i]] |= flags[i];
            }
            batches.push_back(std::move(batch));
        };
    }
    bool sawChanged(const fs::path& path) const {
        auto it = seen.find(path.string());
        return it != seen.end() && (it->second & kCreatedOrModified);
    }
};

class AnInotifyEventStream : public ::testing::Test {
  protected:
    void SetUp() override {
        folder = makeTempFolder("inotify-stream");
        outside = makeTempFolder("inotify-outside");
        ASSERT_FALSE(folder.empty());
        ASSERT_FALSE(outside.empty());
    }
    void TearDown() override {
        if (stream)
            stream->stop();
        fs::remove_all(folder);
        fs::remove_all(outside);
    }
    void startStream() {
        FileEventStreamOptions options;
        options.paths = {folder.string()};
        options.latency = 50ms;
        stream = std::make_unique<InotifyEventStream>(options, queue, collector.callback());
        ASSERT_TRUE(stream->start());
    }
    // Waits, running delivered batches, until every path was seen changed.
    bool waitForChanged(const std::vector<fs::path>& paths) {
        return queue.runUntil(
            [&] {
                for (const auto& path : paths) {
                    if (!collector.sawChanged(path))
                        return false;
                }
                return true;
            },
            30s);
    }

    ManualMainQueue queue;
    Collector collector;
    std::unique_ptr<InotifyEventStream> stream;
    fs::path folder;
    fs::path outside;
};

TEST_F(AnInotifyEventStream, ReportsFilesInNewNestedFoldersIncludingThoseAlreadyThere) {
    fs::create_directories(folder / "existing");
    writeOld(folder / "existing" / "old.mp4");
    startStream();

    // Created faster than a watch can be added for each level.
    fs::create_directories(folder / "a" / "b" / "c");
    write(folder / "a" / "b" / "c" / "x.mp4", 100);
    write(folder / "a" / "top.mov");
    write(folder / "existing" / "new.mp4");
    ASSERT_TRUE(waitForChanged(
        {folder / "a/b/c/x.mp4", folder / "a/top.mov", folder / "existing/new.mp4"}));

    // A folder built elsewhere and moved in, with files at several depths, and a
    // folder of the tree renamed: the files that come along are not new.
    fs::create_directories(outside / "render" / "deep");
    writeOld(outside / "render" / "one.mp4");
    writeOld(outside / "render" / "deep" / "two.mp4");
    fs::rename(outside / "render", folder / "a" / "render");
    fs::rename(folder / "existing", folder / "renamed");

    // The moved folders stay watched.
    write(folder / "a" / "b" / "c" / "later.mp4");
    write(folder / "a" / "render" / "deep" / "later.mp4");
    write(folder / "renamed" / "later.mp4");
    ASSERT_TRUE(waitForChanged({folder / "a/b/c/later.mp4", folder / "a/render/deep/later.mp4",
                                folder / "renamed/later.mp4"}));

    for (const char* quiet :
         {"existing/old.mp4", "a/render/one.mp4", "a/render/deep/two.mp4", "renamed/old.mp4"})
        EXPECT_FALSE(collector.seen.count((folder / quiet).string()))
            << quiet << ": untouched files from before start or a move are not reported";
    EXPECT_FALSE(collector.duplicateInBatch);
}

// Only regular files reached without following a link are reported; a
// watched folder that is removed is reported once as such.
TEST_F(AnInotifyEventStream, ReportsNoLinkAndReportsTheFolderRemoved) {
    write(outside / "secret.txt");
    startStream();
    fs::create_symlink(outside / "secret.txt", folder / "x.mp4");
    write(folder / "real.mp4");
    ASSERT_TRUE(waitForChanged({folder / "real.mp4"}));
    EXPECT_FALSE(collector.seen.count((folder / "x.mp4").string()));

    ::testing::internal::CaptureStderr();
    fs::remove_all(folder);
    bool reported = queue.runUntil(
        [&] {
            auto it = collector.seen.find(folder.string());
            return it != collector.seen.end() && (it->second & kFileEventRootChanged);
        },
        30s);
    std::string log = ::testing::internal::GetCapturedStderr();
    EXPECT_TRUE(reported);
    EXPECT_NE(log.find("the folder was removed"), std::string::npos) << log;
}

// A watched folder moved away and replaced by a link: what is written in the
// moved folder must not be reported under the old path, which now names the
// link's target.
TEST_F(AnInotifyEventStream, ReportsTheFolderMovedAwayAndNothingBelowItAfterwards) {
    startStream();
    write(folder / "first.mp4"); // reported once the folder is watched
    ASSERT_TRUE(waitForChanged({folder / "first.mp4"}));
    ::testing::internal::CaptureStderr();
    fs::rename(folder, outside / "moved");
    fs::create_directory_symlink(outside, folder);
    write(outside / "moved" / "late.mp4");
    bool reported = queue.runUntil([&] { return collector.seen.count(folder.string()) > 0; }, 30s);
    queue.runUntil([] { return false; }, 300ms); // a late batch would arrive meanwhile
    std::string log = ::testing::internal::GetCapturedStderr();
    EXPECT_TRUE(reported && (collector.seen[folder.string()] & kFileEventRootChanged));
    EXPECT_FALSE(collector.seen.count((folder / "late.mp4").string()));
    EXPECT_NE(log.find("moved away"), std::string::npos) << log;
    fs::remove(folder);
}

// A file written a moment before start() has a time stamp (as coarse as a clock
// tick) that does not tell it from one written after: it is not reported, nor
// when it is then opened read-write and closed unwritten (as `touch` does).
TEST_F(AnInotifyEventStream, ReportsAFileMovedInAsCreatedButNoneWrittenJustBeforeStart) {
    write(folder / "before.mp4");
    startStream();
    std::fstream(folder / "before.mp4", std::ios::in | std::ios::out).close();
    write(outside / "export.mov", 10);
    fs::rename(outside / "export.mov", folder / "export.mov");
    ASSERT_TRUE(waitForChanged({folder / "export.mov"}));
    EXPECT_TRUE(collector.seen[(folder / "export.mov").string()] & kFileEventItemCreated);
    EXPECT_FALSE(collector.seen.count((folder / "before.mp4").string()));
}

// An export folder reached through a symbolic link (a folder on another disk)
// is watched; links to folders met below it are not followed.
TEST_F(AnInotifyEventStream, WatchesAFolderGivenAsASymbolicLink) {
    fs::create_directories(outside / "real" / "sub");
    fs::create_directories(outside / "elsewhere");
    fs::create_directory_symlink(outside / "real", folder / "link");
    fs::create_directory_symlink(outside / "elsewhere", outside / "real" / "inner-link");
    FileEventStreamOptions options;
    options.paths = {(folder / "link").string()};
    options.latency = 50ms;
    stream = std::make_unique<InotifyEventStream>(options, queue, collector.callback());
    ASSERT_TRUE(stream->start());
    write(outside / "elsewhere" / "not-below.mp4");
    write(outside / "real" / "sub" / "clip.mp4");
    write(outside / "real" / "top.mov");
    ASSERT_TRUE(waitForChanged({folder / "link/sub/clip.mp4", folder / "link/top.mov"}));
    EXPECT_FALSE(collector.seen.count((folder / "link" / "inner-link" / "not-below.mp4").string()));
}

TEST_F(AnInotifyEventStream, FollowsAFolderRenamedInsideTheTreeAndForgetsOneMovedOut) {
    fs::create_directories(folder / "before");
    fs::create_directories(folder / "leaving");
    startStream();
    fs::rename(folder / "before", folder / "after");
    fs::rename(folder / "leaving", outside / "left");
    write(folder / "after" / "clip.mp4");
    write(outside / "left" / "elsewhere.mp4");
    write(folder / "marker.mp4");
    ASSERT_TRUE(waitForChanged({folder / "after/clip.mp4", folder / "marker.mp4"}));
    EXPECT_FALSE(collector.seen.count((folder / "before" / "clip.mp4").string()));
    EXPECT_FALSE(collector.seen.count((folder / "leaving" / "elsewhere.mp4").string()))
        << "a folder moved out must not report under its old name";

    // A folder deleted and made again under the same name is watched again.
    fs::remove_all(folder / "after");
    fs::create_directories(folder / "after");
    write(folder / "after" / "again.mp4");
    ASSERT_TRUE(waitForChanged({folder / "after/again.mp4"}));
}

TEST_F(AnInotifyEventStream, ReportsAThousandFilesWrittenAtOnceInFewBatches) {
    startStream();
    std::vector<fs::path> paths;
    for (int i = 0; i < 1000; ++i) {
        paths.push_back(folder / ("clip" + std::to_string(i) + ".mp4"));
        write(paths.back(), 64);
    }
    ASSERT_TRUE(waitForChanged(paths));
    EXPECT_FALSE(collector.duplicateInBatch);
    std::size_t entries = 0;
    for (const auto& batch : collector.batches)
        entries += batch.size();
    // Each file's create, write and close merge into one entry; only a file
    // written across a batch boundary may appear in two batches.
    EXPECT_LT(entries, 1000u + collector.batches.size());
}

TEST_F(AnInotifyEventStream, MergesManyWritesToOneFileIntoOneEntryPerBatch) {
    FileEventStreamOptions options;
    options.paths = {folder.string()};
    options.latency = 500ms; // one batch holds about the whole export
    stream = std::make_unique<InotifyEventStream>(options, queue, collector.callback());
    ASSERT_TRUE(stream->start());
    {
        std::ofstream out(folder / "big.mov", std::ios::binary);
        std::string chunk(4096, 'x');
        for (int i = 0; i < 5000; ++i)
            out.write(chunk.data(), static_cast<std::streamsize>(chunk.size())).flush();
    }
    ASSERT_TRUE(waitForChanged({folder / "big.mov"}));
    EXPECT_LE(collector.batches.size(), 2u);
    for (const auto& batch : collector.batches)
        EXPECT_EQ(batch.size(), 1u);
    EXPECT_EQ(collector.seen[(folder / "big.mov").string()] & kCreatedOrModified,
              kCreatedOrModified);
}

// Forces a real queue overflow: the kernel's per-instance queue length is read
// when the inotify instance is made, so it is lowered for that moment only.
// Needs root (CI runs as root).
TEST_F(AnInotifyEventStream, RescansAndReportsEveryChangedFileWhenTheKernelQueueOverflows) {
    const char* knob = "/proc/sys/fs/inotify/max_queued_events";
    std::string saved;
    std::ifstream(knob) >> saved;
    if (saved.empty() || ::access(knob, W_OK) != 0)
        GTEST_SKIP() << "needs write access to " << knob;
    fs::create_directories(folder / "sub");
    std::vector<fs::path> untouched;
    for (int i = 0; i < 50; ++i) {
        untouched.push_back(folder / "sub" / ("old" + std::to_string(i) + ".mp4"));
        writeOld(untouched.back());
    }
    FileEventStreamOptions options;
    options.paths = {folder.string()};
    options.latency = 50ms;
    stream = std::make_unique<InotifyEventStream>(options, queue, collector.callback());
    bool started = false;
    {
        // The setting is system-wide: it is put back however this block is left.
        // Other tests that make inotify instances hold the same CTest resource
        // lock, so none of theirs is made while it is lowered.
        struct Restore {
            const char* knob;
            const std::string& saved;
            ~Restore() {
                std::ofstream out(knob);
                out << saved;
                out.close();
                if (!out)
                    ADD_FAILURE() << "could not restore " << knob << " to " << saved;
            }
        } restore{knob, saved};
        std::ofstream lowered(knob);
        lowered << 16;
        lowered.close();
        ASSERT_TRUE(lowered) << "could not lower " << knob;
        started = stream->start();
    }
    std::string now;
    std::ifstream(knob) >> now;
    EXPECT_EQ(now, saved);
    ASSERT_TRUE(started);
    ::testing::internal::CaptureStderr();
    std::vector<fs::path> paths;
    for (int i = 0; i < 2000; ++i) {
        paths.push_back((i % 2 ? folder / "sub" : folder) / ("f" + std::to_string(i) + ".mp4"));
        write(paths.back());
    }
    bool all = waitForChanged(paths);
    std::string log = ::testing::internal::GetCapturedStderr();
    EXPECT_TRUE(all) << collector.seen.size() << " of " << paths.size() << " seen";
    EXPECT_NE(log.find("event queue overflowed"), std::string::npos) << log;
    EXPECT_FALSE(collector.duplicateInBatch);
    for (const auto& path : untouched)
        EXPECT_FALSE(collector.seen.count(path.string())) << path << " was reported again";
}

// The watch limit is per user namespace: a child in its own namespace with a
// limit of two watches cannot watch every folder, must say so once, and must
// still report what is written into the folders it could not watch.
TEST_F(AnInotifyEventStream, KeepsReportingFoldersItCannotWatchBeyondTheWatchLimit) {
    for (const char* dir : {"d1", "d2", "d3", "d4"}) {
        fs::create_directories(folder / dir);
        writeOld(folder / dir / "old.mp4");
    }
    // Runs in a forked child: a user namespace needs a single-threaded process.
    auto child = [&] {
        if (::unshare(CLONE_NEWUSER) != 0) {
            std::fprintf(stderr, "unshare: %s\n", std::strerror(errno));
            std::_Exit(77);
        }
        std::ofstream("/proc/sys/user/max_inotify_watches") << 2;
        startStream();
        // Written into every folder, watched or not; one old file changes.
        std::vector<fs::path> expected;
        for (const char* dir : {"d1", "d2", "d3", "d4"}) {
            expected.push_back(folder / dir / "new.mp4");
            write(expected.back());
        }
        write(folder / "d3" / "old.mp4", 5);
        expected.push_back(folder / "d3" / "old.mp4");
        // A folder made now cannot be watched either.
        fs::create_directories(folder / "d5" / "inner");
        expected.push_back(folder / "d5" / "inner" / "made.mp4");
        write(expected.back());
        bool all = waitForChanged(expected);
        bool untouchedQuiet = !collector.seen.count((folder / "d1" / "old.mp4").string()) &&
                              !collector.seen.count((folder / "d4" / "old.mp4").string());
        stream->stop();
        std::_Exit(all && untouchedQuiet ? 0 : 1);
    };
    int err[2];
    ASSERT_EQ(::pipe2(err, O_CLOEXEC), 0);
    pid_t pid = ::fork();
    ASSERT_GE(pid, 0);
    if (pid == 0) {
        ::dup2(err[1], 2);
        child();
    }
    ::close(err[1]);
    std::string log;
    char buffer[4096];
    for (ssize_t got; (got = ::read(err[0], buffer, sizeof buffer)) > 0;)
        log.append(buffer, static_cast<std::size_t>(got));
    ::close(err[0]);
    int status = 0;
    ASSERT_EQ(::waitpid(pid, &status, 0), pid);
    ASSERT_TRUE(WIFEXITED(status)) << log;
    if (WEXITSTATUS(status) == 77)
        GTEST_SKIP() << "no user namespace for the watch limit: " << log;
    EXPECT_EQ(WEXITSTATUS(status), 0) << log;
    // The first walk runs in the background, so the folders made meanwhile
    // (d5, then d5/inner) may join its episode or come in later ones: the first
    // line names 3 to 5 folders, and every folder is named once in all.
    const std::string line = "cannot watch ", tail = " folder(s) below " + folder.string();
    std::vector<int> counts;
    for (std::size_t at = log.find(line); at != std::string::npos; at = log.find(line, at + 1)) {
        const std::size_t digits = at + line.size();
        const std::size_t end = log.find_first_not_of("0123456789", digits);
        if (end != std::string::npos && end > digits && log.compare(end, tail.size(), tail) == 0)
            counts.push_back(std::atoi(log.c_str() + digits));
    }
    ASSERT_FALSE(counts.empty()) << log;
    EXPECT_GE(counts.front(), 3) << log;
    EXPECT_EQ(std::accumulate(counts.begin(), counts.end(), 0), 5) << log;
    EXPECT_NE(log.find("watch limit"), std::string::npos) << log;
}

TEST_F(AnInotifyEventStream, StopsPromptlyLeavingNoThreadOrDescriptor) {
    std::size_t fdsBefore = countEntries("/proc/self/fd");
    std::size_t threadsBefore = countEntries("/proc/self/task");
    startStream();
    EXPECT_EQ(countEntries("/proc/self/task"), threadsBefore + 1);
    write(folder / "a.mp4"); // leaves a batch open while stopping
    auto began = std::chrono::steady_clock::now();
    stream->stop();
    EXPECT_LT(std::chrono::steady_clock::now() - began, 5s) << "generous safety limit";
    EXPECT_EQ(countEntries("/proc/self/fd"), fdsBefore);
    EXPECT_EQ(countEntries("/proc/self/task"), threadsBefore);
    queue.runPending();
    std::size_t delivered = collector.batches.size();
    write(folder / "b.mp4");
    queue.runUntil([] { return false; }, 200ms);
    EXPECT_EQ(collector.batches.size(), delivered) << "nothing after stop";
    stream->stop(); // twice is fine
}

TEST_F(AnInotifyEventStream, RefusesAFolderThatDoesNotExist) {
    FileEventStreamOptions options;
    options.paths = {(folder / "missing").string()};
    std::size_t fdsBefore = countEntries("/proc/self/fd");
    ::testing::internal::CaptureStderr();
    InotifyEventStream missing(options, queue, collector.callback());
    EXPECT_FALSE(missing.start());
    EXPECT_NE(::testing::internal::GetCapturedStderr().find("cannot watch"), std::string::npos);
    EXPECT_EQ(countEntries("/proc/self/fd"), fdsBefore);
}

} // namespace
} // namespace tavrin::linux_platform
