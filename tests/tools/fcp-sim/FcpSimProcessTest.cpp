// fcp-sim, `fcp-sim ctl` and fcp-script-runner as real processes on a private
// bus, driven the way the container app drives the editor: `tavrinctl sync`.

#include "TavrinFCP/FCPXMLParser.h"
#include "tests/tools/fcp-sim/RunningEditor.h"

#include <gmock/gmock.h>
#include <pugixml.hpp>

#include <fstream>
#include <sstream>

namespace tavrin::sim::testing {
namespace {

using ::testing::ElementsAre;
using ::testing::HasSubstr;

std::string readFile(const fs::path& path) {
    std::ifstream in(path, std::ios::binary);
    std::ostringstream text;
    text << in.rdbuf();
    return text.str();
}

class FcpSim : public ::testing::Test {
  protected:
    void SetUp() override { sim.start(); }

    ProcessOutput sync(std::vector<std::string> arguments) {
        arguments.insert(arguments.begin(), {"sync", "--runner", FCP_SCRIPT_RUNNER_PATH,
                                             "--scripts", TAVRIN_SCRIPTS_SOURCE_DIR});
        return RunningEditor::run(TAVRINCTL_PATH, arguments);
    }
    ProcessOutput runner(const std::string& script, std::vector<std::string> arguments = {}) {
        arguments.insert(arguments.begin(),
                         std::string(TAVRIN_SCRIPTS_SOURCE_DIR) + "/" + script + ".applescript");
        return RunningEditor::run(FCP_SCRIPT_RUNNER_PATH, arguments);
    }
    // "start note" of every marker, in document order.
    static std::vector<std::string> markerList() {
        std::vector<std::string> list;
        for (const auto& marker : RunningEditor::ctlJSON({"markers"})) {
            std::ostringstream line;
            line << marker["start"].get<double>() << " " << marker["note"].get<std::string>();
            list.push_back(line.str());
        }
        return list;
    }

    RunningEditor sim;
};

TEST_F(FcpSim, SyncTurnsCommentsIntoTaggedMarkersAndLeavesOthersAlone) {
    auto untagged = markerList();
    ASSERT_EQ(untagged.size(), 5u); // the demo library's own markers

    auto first = sync({"comment", R"({"id":"c1","timestamp":12.5,"content":"Trim this"})"});
    EXPECT_EQ(first.standardOutput, "true\n") << first.standardError;
    auto afterFirst = markerList();
    EXPECT_THAT(afterFirst, ::testing::Contains("12.5 [tavrin:c1:open] Trim this"));
    EXPECT_EQ(afterFirst.size(), 6u);

    // A second sync of the same comment replaces its marker.
    EXPECT_EQ(sync({"comment", R"({"id":"c1","timestamp":130,"content":"Later"})"}).standardOutput,
              "true\n");
    auto afterSecond = markerList();
    EXPECT_THAT(afterSecond, ::testing::Contains("130 [tavrin:c1:open] Later"));
    EXPECT_THAT(afterSecond,
                ::testing::Not(::testing::Contains("12.5 [tavrin:c1:open] Trim this")));
    EXPECT_EQ(afterSecond.size(), 6u);
    EXPECT_THAT(sync({"marker-at", "130.2"}).standardOutput, HasSubstr(R"("id":"c1")"));

    EXPECT_EQ(sync({"clear"}).standardOutput, "true\n");
    EXPECT_EQ(markerList(), untagged);
    // Every change went to the library file as well.
    EXPECT_THAT(readFile(sim.library()), ::testing::Not(HasSubstr("[tavrin:")));
}

TEST_F(FcpSim, ExportIsAWholeDocumentTheMarkerReaderAndPugixmlAgreeOn) {
    ASSERT_EQ(sync({"all", R"([{"id":"a","timestamp":3,"content":"x < y & \"z\""},
                               {"id":"b","timestamp":210,"content":"nested"}])"})
                  .standardOutput,
              "true\n");
    auto exported = runner("export-fcpxml", {(sim.folder / "out.fcpxml").string()});
    ASSERT_EQ(exported.exitStatus, 0);
    auto reply = parseJSON(exported.standardOutput);
    ASSERT_TRUE(reply);
    std::string text = readFile((*reply)["path"].get<std::string>());

    pugi::xml_document doc;
    ASSERT_TRUE(doc.load_string(text.c_str()));
    EXPECT_STREQ(doc.document_element().attribute("version").value(), "1.11");
    EXPECT_EQ(doc.select_nodes("//project").size(), 1u);    // the active project only
    EXPECT_EQ(doc.select_nodes("//asset-clip").size(), 7u); // six clips and a connected one
    std::vector<std::string> notes;
    for (const auto& marker : doc.select_nodes("//marker"))
        if (std::string note = marker.node().attribute("note").value();
            note.rfind("[tavrin:", 0) == 0)
            notes.push_back(note);
    auto records = container::FCPXMLParser::parseMarkers(text);
    ASSERT_EQ(records.size(), notes.size());
    EXPECT_THAT(notes, ElementsAre("[tavrin:a:open] x < y & \"z\"", "[tavrin:b:open] nested"));
    EXPECT_EQ(records[0].content, "x < y & \"z\"");
    EXPECT_EQ(records[0].timestamp, 3.0);
    EXPECT_EQ(records[1].timestamp, 210.0);
}

TEST_F(FcpSim, ARefusedImportChangesNothing) {
    ASSERT_EQ(sync({"comment", R"({"id":"keep","timestamp":1})"}).standardOutput, "true\n");
    auto before = markerList();
    std::string libraryBefore = readFile(sim.library());
    for (const char* document :
         {"not xml at all", "<markers><marker start=\"1s\"/></markers>", "<fcpxml><library>"}) {
        fs::path path = sim.folder / "bad.fcpxml";
        std::ofstream(path) << document;
        auto answer = runner("import-fcpxml", {path.string()});
        EXPECT_EQ(answer.exitStatus, 0);
        EXPECT_EQ(answer.standardOutput, "{\"success\":false}\n") << document;
    }
    auto notUTF8 = runner("import-fcpxml", {(sim.folder / "bad\xFF.fcpxml").string()});
    EXPECT_EQ(notUTF8.exitStatus, 1);
    EXPECT_EQ(notUTF8.standardOutput, "");
    EXPECT_NE(RunningEditor::ctl({"add-marker", "1", "--note", "bad \xFF"}).exitStatus, 0);
    EXPECT_EQ(markerList(), before);
    EXPECT_EQ(readFile(sim.library()), libraryBefore);
}

TEST_F(FcpSim, CtlMovesThePlayheadOnFramesAndSwitchesSequences) {
    struct Case {
        const char* seek;
        double expected;
    } cases[] = {{"1.01", 1.001}, {"600", 14386 * 1001.0 / 24000}, {"99999", 600.6}, {"-3", 0.0}};
    for (const auto& c : cases)
        EXPECT_DOUBLE_EQ(RunningEditor::ctlJSON({"playhead", c.seek})["seconds"].get<double>(),
                         c.expected)
            << c.seek;
    EXPECT_EQ(RunningEditor::ctlJSON({"switch", "Teaser"})["frameRate"], 25.0);
    EXPECT_EQ(RunningEditor::ctlJSON({"playhead", "1.01"})["seconds"], 1.0);
    auto unknown = RunningEditor::ctl({"switch", "Nope"});
    EXPECT_EQ(unknown.exitStatus, 1);
    EXPECT_EQ(unknown.standardOutput, "");
    EXPECT_EQ(RunningEditor::ctlJSON({"sequence"})["name"], "Teaser");

    auto added = RunningEditor::ctlJSON({"add-marker", "2", "--note", "Look"});
    EXPECT_EQ(added["start"], 2.0);
    EXPECT_EQ(added["note"], "Look");

    EXPECT_EQ(RunningEditor::ctl({"quit"}).exitStatus, 0);
    EXPECT_EQ(sim.editor->wait(), 0);
    // With no editor on the bus, clients say so and fail.
    auto noEditor = RunningEditor::ctl({"markers"});
    EXPECT_EQ(noEditor.exitStatus, 1);
    EXPECT_THAT(noEditor.standardError, HasSubstr("no editor is running"));
    auto noRunner = runner("save-project");
    EXPECT_EQ(noRunner.exitStatus, 1);
    EXPECT_EQ(noRunner.standardOutput, "");
    EXPECT_EQ(runner("no-such-script").exitStatus, 1);
}

TEST_F(FcpSim, RenderExportWritesTheFileTheWatcherReports) {
    fs::path exports = sim.folder / "exports";
    fs::create_directory(exports);
    tavrin::testing::ChildProcess watcher(TAVRINCTL_PATH, {"watch", exports.string()});
    // No wait for the watcher: the export goes on writing for about a second.

    auto rendered = RunningEditor::ctlJSON(
        {"render-export", exports.string(), "cut.mp4", "--bytes", "3000000", "--seconds", "1"});
    EXPECT_EQ(rendered["size"], 3000000);
    EXPECT_EQ(rendered["path"], (exports / "cut.mp4").string());
    auto sum = RunningEditor::run("/usr/bin/sha256sum", {(exports / "cut.mp4").string()});
    EXPECT_EQ(sum.standardOutput.substr(0, 64), rendered["sha256"].get<std::string>());

    EXPECT_EQ(watcher.readLine(30000), "[FileWatcher] Export detected: cut.mp4 (3000000 bytes)");
}

TEST(FcpSimFirstStart, MakesTheDemoLibraryInTheDataHome) {
    RunningEditor sim;
    sim.start({"--headless"});
    auto sequences = RunningEditor::ctlJSON({"sequences"});
    ASSERT_EQ(sequences.size(), 2u);
    EXPECT_EQ(sequences[0]["name"], "Demo Cut");
    auto demo = RunningEditor::ctlJSON({"sequence"});
    EXPECT_EQ(demo["frameRate"], 23.98);
    EXPECT_EQ(demo["width"], 1920);
    EXPECT_NEAR(demo["duration"].get<double>(), 600, 5);
    EXPECT_TRUE(fs::exists(sim.folder / "data" / "fcp-sim" / "library.fcpxml"));
}

TEST(FcpSimEnds, WithStatus0WhenTheBusGoesAnd1ForALibraryPathItCannotUse) {
    TempFolder folder;
    auto bus = std::make_unique<tavrin::testing::PrivateBus>();
    tavrin::testing::ChildProcess editor(
        FCP_SIM_PATH, {"--headless", "--library", (folder / "l.fcpxml").string()},
        {"DBUS_SESSION_BUS_ADDRESS=" + bus->address()});
    ASSERT_THAT(editor.readLine(20000), HasSubstr("\"ready\":true"));
    bus.reset();
    EXPECT_EQ(editor.wait(), 0);
    auto tooLong = RunningEditor::run(FCP_SIM_PATH, {"--library", "/" + std::string(5000, 'a')});
    EXPECT_EQ(tooLong.exitStatus, 1) << tooLong.standardError;
}

} // namespace
} // namespace tavrin::sim::testing
