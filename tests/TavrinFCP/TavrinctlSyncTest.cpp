// `tavrinctl sync` run as a real process against the stand-in editor.

#include "common/FileDescriptor.h"
#include "platform/linux/PosixProcessRunner.h"
#include "tests/TavrinFCP/StandInEditor.h"

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <fcntl.h>
#include <signal.h>
#include <spawn.h>
#include <sys/file.h>
#include <sys/wait.h>

#include <thread>

namespace tavrin::container {
namespace {

using namespace std::chrono_literals;
using ::testing::ElementsAre;
using testing::StandInEditor;
namespace fs = std::filesystem;
using ::testing::StartsWith;

class TavrinctlSync : public ::testing::Test {
  protected:
    ProcessOutput tavrinctl(std::vector<std::string> arguments) {
        std::vector<std::string> all = {"sync", "--runner", (editor_.dir / "runner.sh").string(),
                                        "--scripts", (editor_.dir / "scripts").string()};
        all.insert(all.end(), arguments.begin(), arguments.end());
        return linux_platform::PosixProcessRunner().run(TAVRINCTL_PATH, all, 60s);
    }

    StandInEditor editor_;
};

TEST_F(TavrinctlSync, RunsEachOperationAndPrintsItsResultAsJSON) {
    editor_.setTimeline({StandInEditor::marker("a", "10s", "hello")});
    auto found = tavrinctl({"marker-at", "10.2"});
    EXPECT_EQ(found.exitStatus, 0);
    EXPECT_EQ(parseJSON(found.standardOutput),
              parseJSON(R"({"id":"a","timestamp":10.0,"timestampEnd":10.041666666666666,
                            "userName":"Ann","content":"hello","resolved":false})"));
    EXPECT_EQ(tavrinctl({"marker-at", "10.2", "--threshold", "0.1"}).standardOutput, "null\n");

    EXPECT_EQ(tavrinctl({"comment", R"({"id":"b","timestamp":2,"content":"new"})"}).standardOutput,
              "true\n");
    EXPECT_THAT(editor_.timelineIds(), ElementsAre("b", "a"));
    EXPECT_EQ(tavrinctl({"delete", "a"}).standardOutput, "true\n");
    EXPECT_THAT(editor_.timelineIds(), ElementsAre("b"));
    EXPECT_EQ(tavrinctl({"all", R"([{"id":"x"},{"id":"y","timestamp":1}])"}).standardOutput,
              "true\n");
    EXPECT_THAT(editor_.timelineIds(), ElementsAre("x", "y"));
    EXPECT_EQ(tavrinctl({"clear"}).standardOutput, "true\n");
    EXPECT_THAT(editor_.timelineIds(), ElementsAre());
}

TEST_F(TavrinctlSync, ReportsFailuresOnOneLineWithAnExitStatus) {
    fs::remove(editor_.dir / "runner.sh");
    auto failed = tavrinctl({"clear"});
    EXPECT_EQ(failed.exitStatus, 1);
    EXPECT_EQ(failed.standardOutput, "");
    EXPECT_THAT(failed.standardError, StartsWith("tavrinctl sync: "));
    EXPECT_EQ(std::count(failed.standardError.begin(), failed.standardError.end(), '\n'), 1);

    auto badInput = tavrinctl({"comment", "{not json"});
    EXPECT_EQ(badInput.exitStatus, 2);
    EXPECT_EQ(tavrinctl({"all", R"({"id":"x"})"}).exitStatus, 2);
}

TEST_F(TavrinctlSync, SaysWhyWhenTheScriptsFailedAndKeepsTheEditorsOwnNo) {
    editor_.writeRunner("echo 'the editor is not running' >&2; echo 'second line' >&2; exit 3");
    for (std::vector<std::string> operation :
         {std::vector<std::string>{"marker-at", "10"}, {"delete", "a"}, {"clear"}}) {
        auto failed = tavrinctl(operation);
        EXPECT_EQ(failed.exitStatus, 1) << operation[0];
        EXPECT_EQ(failed.standardOutput, "") << operation[0];
        EXPECT_THAT(failed.standardError, StartsWith("tavrinctl sync: ")) << operation[0];
        EXPECT_THAT(failed.standardError,
                    ::testing::HasSubstr("(exit status 3): the editor is not running\n"));
    }
    editor_.playEditor(R"({"success": false})");
    auto refused = tavrinctl({"clear"});
    EXPECT_EQ(refused.standardOutput, "false\n");
    EXPECT_EQ(refused.exitStatus, 0);
    EXPECT_EQ(refused.standardError, "");
}

// SIGTERM, Ctrl-C or a closed terminal (SIGHUP) while a script runs ends the
// script and its process group too, and removes the temporary file.
TEST_F(TavrinctlSync, StopsTheScriptAndRemovesItsFileWhenInterrupted) {
    editor_.writeRunner(
        "echo $$ > \"$dir/pid.tmp\"; mv \"$dir/pid.tmp\" \"$dir/pid\"; exec sleep 300");
    std::string runner = (editor_.dir / "runner.sh").string();
    std::string scripts = (editor_.dir / "scripts").string();
    std::string tmpdir = "TMPDIR=" + editor_.tmp.string();
    const char* argv[] = {TAVRINCTL_PATH,  "sync",      "--runner", runner.c_str(), "--scripts",
                          scripts.c_str(), "marker-at", "1",        nullptr};
    const char* envp[] = {tmpdir.c_str(), "PATH=/usr/bin:/bin", nullptr};
    for (int signal : {SIGTERM, SIGHUP}) {
        fs::remove(editor_.dir / "pid");
        pid_t ctl = -1;
        ASSERT_EQ(::posix_spawn(&ctl, TAVRINCTL_PATH, nullptr, nullptr, const_cast<char**>(argv),
                                const_cast<char**>(envp)),
                  0);
        auto until = std::chrono::steady_clock::now() + 30s;
        while (!fs::exists(editor_.dir / "pid") && std::chrono::steady_clock::now() < until)
            std::this_thread::sleep_for(20ms);
        pid_t script = 0;
        std::ifstream(editor_.dir / "pid") >> script;
        ASSERT_GT(script, 0);
        EXPECT_FALSE(editor_.leftInTmp().empty()) << "the export's file exists while it runs";
        ::kill(ctl, signal);
        int status = 0;
        ASSERT_EQ(::waitpid(ctl, &status, 0), ctl);
        EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 128 + signal) << status;
        bool ended = ::kill(script, 0) != 0;
        if (!ended) {
            ::kill(script, SIGKILL); // do not leave it behind whatever happened
            ADD_FAILURE() << "the script is still running after signal " << signal;
        }
        EXPECT_THAT(editor_.leftInTmp(), ::testing::IsEmpty());
    }
    // Interrupted while another program holds the editor's scripts (the lock
    // on the temporary folder): it stops waiting, and no script has run.
    fs::remove(editor_.dir / "pid");
    FileDescriptor folder(::open(editor_.tmp.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
    ASSERT_EQ(::flock(folder.get(), LOCK_EX), 0);
    pid_t ctl = -1;
    ASSERT_EQ(::posix_spawn(&ctl, TAVRINCTL_PATH, nullptr, nullptr, const_cast<char**>(argv),
                            const_cast<char**>(envp)),
              0);
    std::this_thread::sleep_for(300ms); // room for a script that should not start
    ::kill(ctl, SIGINT);
    int status = 0;
    ASSERT_EQ(::waitpid(ctl, &status, 0), ctl);
    EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 128 + SIGINT) << status;
    EXPECT_FALSE(fs::exists(editor_.dir / "pid"));
    EXPECT_THAT(editor_.leftInTmp(), ::testing::IsEmpty());
}

} // namespace
} // namespace tavrin::container
