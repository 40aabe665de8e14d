// The Linux process runner against real child processes (small /bin/sh
// scripts written into a temporary folder).

#include "platform/linux/PosixProcessRunner.h"

#include <gtest/gtest.h>

#include <csignal>
#include <cstdlib>
#include <fcntl.h>
#include <filesystem>
#include <fstream>
#include <sys/stat.h>
#include <thread>
#include <unistd.h>

namespace fs = std::filesystem;
using namespace std::chrono_literals;
using tavrin::ProcessError;
using tavrin::ProcessOutput;
using tavrin::linux_platform::PosixProcessRunner;

namespace {

class APosixProcessRunner : public ::testing::Test {
  protected:
    void SetUp() override {
        std::string pattern = (fs::temp_directory_path() / "runner-test-XXXXXX").string();
        ASSERT_NE(::mkdtemp(pattern.data()), nullptr);
        dir_ = pattern;
    }
    void TearDown() override { fs::remove_all(dir_); }

    // Writes an executable /bin/sh script with this body; returns its path.
    std::string script(const std::string& name, const std::string& body) {
        fs::path path = dir_ / name;
        std::ofstream(path) << "#!/bin/sh\n" << body << "\n";
        fs::permissions(path, fs::perms::owner_all);
        return path.string();
    }
    std::string read(const std::string& name) {
        std::ifstream in(dir_ / name);
        return std::string(std::istreambuf_iterator<char>(in), {});
    }

    // Whether a killed process is still running after a while (a zombie
    // waiting for its new parent counts as gone); one that is, is killed now.
    static bool survives(pid_t pid) {
        auto running = [pid] {
            std::ifstream stat("/proc/" + std::to_string(pid) + "/stat");
            std::string fields;
            std::getline(stat, fields);
            return !fields.empty() && fields.substr(fields.rfind(')') + 2, 1) != "Z";
        };
        for (int i = 0; i < 1000 && running(); ++i)
            std::this_thread::sleep_for(10ms);
        bool survived = running();
        if (survived)
            ::kill(pid, SIGKILL);
        return survived;
    }

    fs::path dir_;
    PosixProcessRunner runner_;
};

TEST_F(APosixProcessRunner, PassesArgumentsVerbatimWithoutAShell) {
    auto path = script("args.sh", "for a in \"$@\"; do printf '<%s>' \"$a\"; done");
    auto output = runner_.run(path, {"a b", "", "$HOME", "x;y", "'q\"", "*"}, 60s);
    EXPECT_EQ(output.standardOutput, "<a b><><$HOME><x;y><'q\"><*>");
    EXPECT_EQ(runner_.run(path, {}, 60s).standardOutput, "");
}

TEST_F(APosixProcessRunner, ReportsTheExitStatusWithoutJudgingIt) {
    auto output = runner_.run(script("fail.sh", "printf out; printf err >&2; exit 3"), {}, 60s);
    EXPECT_EQ(output.standardOutput, "out");
    EXPECT_EQ(output.standardError, "err");
    EXPECT_EQ(output.exitStatus, 3);
    auto killed = runner_.run(script("self-kill.sh", "kill -9 $$"), {}, 60s);
    EXPECT_EQ(killed.exitStatus, 128 + SIGKILL);
}

TEST_F(APosixProcessRunner, DrainsMegabytesOnBothPipesWhileTheChildRuns) {
    // Standard error is filled first: a runner that read only standard output
    // (or read after the exit) would leave the child blocked on a full pipe.
    auto path = script("loud.sh", "head -c 3000000 /dev/zero | tr '\\0' e >&2\n"
                                  "head -c 5000000 /dev/zero | tr '\\0' o\n"
                                  "head -c 3000000 /dev/zero | tr '\\0' e >&2");
    auto output = runner_.run(path, {}, 60s);
    EXPECT_EQ(output.standardOutput, std::string(5000000, 'o'));
    EXPECT_EQ(output.standardError, std::string(ProcessOutput::kStandardErrorKept, 'e'));
}

TEST_F(APosixProcessRunner, FailsWhenTheProgramCannotBeStarted) {
    EXPECT_THROW(runner_.run((dir_ / "missing").string(), {}, 60s), ProcessError);
    fs::path plain = dir_ / "plain.sh";
    std::ofstream(plain) << "#!/bin/sh\necho hi\n"; // not executable
    EXPECT_THROW(runner_.run(plain.string(), {}, 60s), ProcessError);
    EXPECT_THROW(runner_.run(dir_.string(), {}, 60s), ProcessError);
}

TEST_F(APosixProcessRunner, KillsAndReapsAChildThatOutlivesTheTimeOut) {
    auto pidFile = (dir_ / "pid").string();
    auto path = script("hang.sh", "echo $$ > '" + pidFile + "'; printf partial; exec sleep 300");
    try {
        runner_.run(path, {}, 2s); // long enough for sh to write its pid first
        FAIL() << "a hung child must make the call fail";
    } catch (const ProcessError& error) {
        EXPECT_NE(std::string(error.what()).find("killed"), std::string::npos);
    }
    ASSERT_FALSE(read("pid").empty());
    pid_t pid = std::stoi(read("pid"));
    // Reaped, not a zombie: the pid no longer names any process of ours.
    EXPECT_EQ(::kill(pid, 0), -1);
    EXPECT_EQ(errno, ESRCH);
}

TEST_F(APosixProcessRunner, KillsWhatAHungChildStartedAtTheTimeOut) {
    // The shell waits on a sleep it started; killing only the shell would
    // leave the sleep running for five minutes.
    auto bgFile = (dir_ / "bg").string();
    auto path = script("tree.sh", "sleep 300 & echo $! > '" + bgFile + "'; wait");
    EXPECT_THROW(runner_.run(path, {}, 2s), ProcessError);
    ASSERT_FALSE(read("bg").empty());
    EXPECT_FALSE(survives(std::stoi(read("bg"))));
}

TEST_F(APosixProcessRunner, TimesOutAChildThatClosedItsPipesButKeepsRunning) {
    auto path = script("quiet.sh", "exec >&- 2>&-; exec sleep 300");
    EXPECT_THROW(runner_.run(path, {}, 300ms), ProcessError);
}

TEST_F(APosixProcessRunner, ReturnsWhenTheChildExitsEvenIfADescendantHoldsItsPipes) {
    // The background sleep keeps both write ends open for 60 s; waiting for
    // end-of-file would run into the 30 s time-out.
    auto path =
        script("bg.sh", "sleep 60 & echo $! > '" + (dir_ / "bg").string() + "'\nprintf done");
    auto output = runner_.run(path, {}, 30s);
    EXPECT_EQ(output.standardOutput, "done");
    // Nor does the descendant outlive the run.
    EXPECT_FALSE(survives(std::stoi(read("bg"))));
}

TEST_F(APosixProcessRunner, LeaksNoDescriptorIntoTheChild) {
    int stray = ::open("/dev/null", O_RDONLY); // deliberately without O_CLOEXEC
    ASSERT_GE(stray, 0);
    auto path = script("fds.sh", "if [ -e /proc/$$/fd/$1 ]; then printf open; "
                                 "else printf closed; fi; [ -e /proc/$$/fd/0 ] && printf ,0");
    auto output = runner_.run(path, {std::to_string(stray)}, 60s);
    ::close(stray);
    EXPECT_EQ(output.standardOutput, "closed,0");
}

TEST_F(APosixProcessRunner, GivesTheChildDefaultSignalDispositions) {
    // A parent that ignores SIGPIPE must not hand that on to the child.
    auto previous = std::signal(SIGPIPE, SIG_IGN);
    auto output = runner_.run(
        script("sigign.sh", "sed -n 's/^SigIgn:[[:space:]]*//p' /proc/$$/status"), {}, 60s);
    std::signal(SIGPIPE, previous);
    unsigned long long ignored = std::stoull(output.standardOutput, nullptr, 16);
    EXPECT_EQ(ignored & (1ULL << (SIGPIPE - 1)), 0u) << output.standardOutput;
}

TEST_F(APosixProcessRunner, RunsChildrenFromManyThreadsAtOnce) {
    auto path = script("echo.sh", "printf '%s' \"$1\"; printf '%s' \"$1\" >&2");
    std::vector<std::thread> threads;
    std::vector<ProcessOutput> outputs(12);
    for (std::size_t i = 0; i < outputs.size(); ++i)
        threads.emplace_back(
            [&, i] { outputs[i] = runner_.run(path, {"child-" + std::to_string(i)}, 60s); });
    for (auto& thread : threads)
        thread.join();
    for (std::size_t i = 0; i < outputs.size(); ++i) {
        EXPECT_EQ(outputs[i].standardOutput, "child-" + std::to_string(i));
        EXPECT_EQ(outputs[i].standardError, "child-" + std::to_string(i));
    }
}

} // namespace
