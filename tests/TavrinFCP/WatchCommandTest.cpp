// tavrinctl watch, run as a child process on a real folder.

#include <gtest/gtest.h>

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <string>

extern char** environ;

namespace {

namespace fs = std::filesystem;
using namespace std::chrono_literals;

// A running `tavrinctl watch FOLDER` with its standard output (or the file
// `output`) and error piped.
class WatchProcess {
  public:
    explicit WatchProcess(const std::string& folder, const char* output = nullptr) {
        int out[2], err[2];
        if (::pipe2(out, O_CLOEXEC) != 0 || ::pipe2(err, O_CLOEXEC) != 0)
            return;
        posix_spawn_file_actions_t actions;
        posix_spawn_file_actions_init(&actions);
        posix_spawn_file_actions_adddup2(&actions, out[1], 1);
        if (output)
            posix_spawn_file_actions_addopen(&actions, 1, output, O_WRONLY, 0);
        posix_spawn_file_actions_adddup2(&actions, err[1], 2);
        const char* argv[] = {TAVRINCTL_PATH, "watch", folder.c_str(), nullptr};
        if (posix_spawn(&pid_, TAVRINCTL_PATH, &actions, nullptr, const_cast<char**>(argv),
                        environ) != 0)
            pid_ = -1;
        posix_spawn_file_actions_destroy(&actions);
        ::close(out[1]);
        ::close(err[1]);
        out_ = out[0];
        err_ = err[0];
    }
    ~WatchProcess() {
        if (pid_ > 0) {
            ::kill(pid_, SIGKILL);
            ::waitpid(pid_, nullptr, 0);
        }
        ::close(out_);
        ::close(err_);
    }
    bool running() const { return pid_ > 0; }

    // Reads fd until text contains needle or the safety limit passes.
    static bool readUntil(int fd, std::string& text, const std::string& needle,
                          std::chrono::seconds limit) {
        auto until = std::chrono::steady_clock::now() + limit;
        while (text.find(needle) == std::string::npos) {
            auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
                until - std::chrono::steady_clock::now());
            if (left <= 0ms)
                return false;
            pollfd p{fd, POLLIN, 0};
            if (::poll(&p, 1, static_cast<int>(left.count())) <= 0)
                continue;
            char buffer[4096];
            ssize_t got = ::read(fd, buffer, sizeof buffer);
            if (got <= 0)
                return false;
            text.append(buffer, static_cast<std::size_t>(got));
        }
        return true;
    }
    bool waitForOut(const std::string& needle) { return readUntil(out_, out, needle, 60s); }
    bool waitForErr(const std::string& needle) { return readUntil(err_, err, needle, 30s); }

    // Sends sig and returns the exit status, or -1 if it did not exit normally.
    int signalAndWait(int sig) {
        ::kill(pid_, sig);
        return waitForExit();
    }
    // The exit status, or -2 if it is still running after the safety limit.
    int waitForExitWithin(std::chrono::seconds limit) {
        auto until = std::chrono::steady_clock::now() + limit;
        int status = 0;
        while (::waitpid(pid_, &status, WNOHANG) == 0) {
            if (std::chrono::steady_clock::now() > until)
                return -2;
            ::usleep(20'000);
        }
        pid_ = -1;
        return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
    }
    int waitForExit() {
        int status = 0;
        ::waitpid(pid_, &status, 0);
        pid_ = -1;
        return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
    }

    std::string out, err;

  private:
    pid_t pid_ = -1;
    int out_ = -1, err_ = -1;
};

class TavrinctlWatch : public ::testing::Test {
  protected:
    void SetUp() override {
        std::string pattern = (fs::temp_directory_path() / "tavrinctl-watch-XXXXXX").string();
        ASSERT_NE(::mkdtemp(pattern.data()), nullptr);
        folder = pattern;
    }
    void TearDown() override { fs::remove_all(folder); }
    fs::path folder;
};

TEST_F(TavrinctlWatch, PrintsTheDetectionLineAtOnceAndExitsZeroOnSigterm) {
    WatchProcess watch(folder.string());
    ASSERT_TRUE(watch.running());
    ASSERT_TRUE(watch.waitForErr("Watching")) << watch.err;
    fs::create_directories(folder / "day1");
    std::ofstream(folder / "day1" / "Review cut 2.mov", std::ios::binary) << std::string(1234, 'v');
    // Real latency and quiet period: about 7 s; the pipe is not a terminal, so
    // the line only arrives now if it was flushed.
    ASSERT_TRUE(watch.waitForOut("\n")) << watch.out << watch.err;
    EXPECT_EQ(watch.out, "[FileWatcher] Export detected: Review cut 2.mov (1234 bytes)\n");
    EXPECT_EQ(watch.signalAndWait(SIGTERM), 0);
}

TEST_F(TavrinctlWatch, ExitsZeroOnSigint) {
    WatchProcess watch(folder.string());
    ASSERT_TRUE(watch.running());
    ASSERT_TRUE(watch.waitForErr("Watching")) << watch.err;
    EXPECT_EQ(watch.signalAndWait(SIGINT), 0);
}

TEST_F(TavrinctlWatch, ExitsNonZeroWhenTheFolderIsRemoved) {
    WatchProcess watch(folder.string());
    ASSERT_TRUE(watch.running());
    ASSERT_TRUE(watch.waitForErr("Watching")) << watch.err;
    fs::remove_all(folder);
    EXPECT_EQ(watch.waitForExitWithin(30s), 1) << "it idled on";
    watch.waitForErr("was removed");
    EXPECT_NE(watch.err.find("was removed"), std::string::npos) << watch.err;
}

// Mended: a watch whose lines are lost (a full disk) stops and says why.
TEST_F(TavrinctlWatch, StopsWhenItsLinesCannotBeWritten) {
    WatchProcess watch(folder.string(), "/dev/full");
    ASSERT_TRUE(watch.waitForErr("Watching")) << watch.err;
    std::ofstream(folder / "cut.mp4") << "v";
    EXPECT_EQ(watch.waitForExitWithin(60s), 1) << "it watched on";
    EXPECT_TRUE(watch.waitForErr("output: No space left on device")) << watch.err;
}

TEST_F(TavrinctlWatch, RejectsAFolderThatDoesNotExist) {
    WatchProcess watch((folder / "missing").string());
    ASSERT_TRUE(watch.running());
    EXPECT_EQ(watch.waitForExit(), 2);
    watch.waitForErr("not a folder");
    EXPECT_NE(watch.err.find("not a folder"), std::string::npos) << watch.err;
}

} // namespace
