// `tavrinctl sync` run as a real process against the stand-in editor.

#include "platform/linux/PosixProcessRunner.h"
#include "tests/TavrinFCP/StandInEditor.h"

#include <gmock/gmock.h>
#include <gtest/gtest.h>

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

} // namespace
} // namespace tavrin::container
