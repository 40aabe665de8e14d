// AppleScriptBridge against real child processes: a stand-in runner plays
// the editor over an FCPXML file in a temporary folder.

#include "TavrinFCP/AppleScriptBridge.h"
#include "TavrinFCP/FCPXMLGenerator.h"
#include "tests/TavrinFCP/StandInEditor.h"

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <sys/stat.h>

#include <atomic>
#include <cmath>
#include <thread>

namespace tavrin::container {
namespace {

using namespace std::chrono_literals;
using ::testing::ElementsAre;
using ::testing::HasSubstr;
using ::testing::IsEmpty;
using ::testing::MatchesRegex;
using testing::StandInEditor;
namespace fs = std::filesystem;

// A random UUID in its upper-case text form.
const std::string kUUID = "[0-9A-F]{8}-[0-9A-F]{4}-[0-9A-F]{4}-[0-9A-F]{4}-[0-9A-F]{12}";

Dictionary comment(const std::string& id, double timestamp, const std::string& content) {
    return {{"id", id},
            {"timestamp", timestamp},
            {"userName", "Bo"},
            {"content", content},
            {"resolved", false}};
}

class AnAppleScriptBridge : public ::testing::Test {
  protected:
    AppleScriptBridge bridge() { return AppleScriptBridge(editor_.options()); }
    // A runner whose every script prints the file `reply` and exits with `status`.
    void replyWith(const std::string& reply, int status = 0) {
        std::ofstream(editor_.dir / "reply") << reply;
        editor_.writeRunner("cat \"$dir/reply\"; exit " + std::to_string(status));
    }
    std::vector<std::string> scriptsRun() const {
        std::vector<std::string> names;
        for (const auto& call : editor_.calls())
            names.push_back(call.substr(0, call.find(' ')));
        return names;
    }

    StandInEditor editor_;
};

// --- Running scripts ---------------------------------------------------------

TEST_F(AnAppleScriptBridge, RunsTheScriptPathThenTheArgumentsAndTrimsUnicodeWhiteSpace) {
    // NBSP, EM SPACE, tab before; LINE SEPARATOR, CR LF after.
    editor_.writeRunner("printf '\\302\\240\\342\\200\\203\\t'; printf '<%s>' \"$script\" \"$@\"; "
                        "printf ' \\342\\200\\250\\r\\n'");
    auto script = (editor_.dir / "scripts" / "export-fcpxml.applescript").string();
    EXPECT_EQ(bridge().run("export-fcpxml", {"a b", ""}), "<" + script + "><a b><>");
    EXPECT_EQ(bridge().run("export-fcpxml"), "<" + script + ">");
}

TEST_F(AnAppleScriptBridge, BuildsScriptPathsInTheScriptsDirectory) {
    auto options = editor_.options();
    options.scriptsDirectory = "/Applications/X.app/Contents/Resources/scripts";
    EXPECT_EQ(AppleScriptBridge(options).scriptPath("export-fcpxml"),
              "/Applications/X.app/Contents/Resources/scripts/export-fcpxml.applescript");
}

TEST_F(AnAppleScriptBridge, GivesTheEmptyStringForOutputThatIsNotUTF8) {
    for (const char* bytes : {"ok\\377", "\\300\\257", "\\355\\240\\200", "\\342\\202"}) {
        editor_.writeRunner(std::string("printf '") + bytes + "'");
        EXPECT_EQ(bridge().run("save-project"), "") << bytes;
    }
    editor_.writeRunner("printf ' caf\\303\\251 \\360\\237\\216\\254\\n'");
    EXPECT_EQ(bridge().run("save-project"), "caf\xc3\xa9 \xf0\x9f\x8e\xac");
}

TEST_F(AnAppleScriptBridge, ImportsOnlyWhenTheScriptReportsTheBooleanTrue) {
    replyWith("  {\"success\": true}\n");
    EXPECT_TRUE(bridge().importFCPXML("<fcpxml/>"));
    replyWith("{\"success\": true}", 1); // the exit status is not examined
    EXPECT_TRUE(bridge().importFCPXML("<fcpxml/>"));
    for (const char* reply : {"{\"success\": \"true\"}", "{\"success\": 1}", "{\"success\": false}",
                              "{}", "[true]", "true", "success", ""}) {
        replyWith(reply);
        EXPECT_FALSE(bridge().importFCPXML("<fcpxml/>")) << reply;
    }
}

TEST_F(AnAppleScriptBridge, ImportWritesAPrivateFileThenSavesThenImports) {
    ASSERT_TRUE(bridge().importFCPXML("<fcpxml>\xc3\xa9</fcpxml>"));
    auto calls = editor_.calls();
    ASSERT_EQ(calls.size(), 2u);
    EXPECT_EQ(calls[0], "save-project ");
    EXPECT_THAT(calls[1], MatchesRegex("import-fcpxml " + editor_.tmp.string() +
                                       "/tavrin-markers-" + kUUID + "\\.fcpxml"));
    EXPECT_EQ(editor_.timelineText(), "<fcpxml>\xc3\xa9</fcpxml>");
    EXPECT_THAT(editor_.modes(), ElementsAre("600"));
}

TEST_F(AnAppleScriptBridge, ExportGivesTheNamedFilesTextWhateverTheExitStatus) {
    auto other = editor_.dir / "elsewhere.fcpxml";
    std::ofstream(other) << "<fcpxml>exported</fcpxml>";
    replyWith("{\"path\": \"" + other.string() + "\"}\n", 2);
    EXPECT_EQ(bridge().exportTimelineFCPXML(), "<fcpxml>exported</fcpxml>");
    EXPECT_TRUE(fs::exists(other)); // not ours: left in place
    EXPECT_THAT(editor_.calls().at(0), MatchesRegex("export-fcpxml " + editor_.tmp.string() +
                                                    "/tavrin-fcpxml-" + kUUID + "\\.fcpxml"));
}

TEST_F(AnAppleScriptBridge, ExportGivesNoValueWhenItsOutputOrFileCannotBeUsed) {
    std::ofstream(editor_.dir / "latin1.fcpxml") << "caf\xe9";
    ASSERT_EQ(::mkfifo((editor_.dir / "fifo").c_str(), 0600), 0);
    for (std::string reply : {std::string("{\"path\": 42}"), std::string("{\"file\": \"x\"}"),
                              std::string("[\"x\"]"), std::string("not json"), std::string(""),
                              "{\"path\": \"" + (editor_.dir / "missing.fcpxml").string() + "\"}",
                              "{\"path\": \"" + editor_.dir.string() + "\"}",
                              "{\"path\": \"" + (editor_.dir / "latin1.fcpxml").string() + "\"}",
                              "{\"path\": \"" + (editor_.dir / "fifo").string() + "\"}"}) {
        replyWith(reply);
        EXPECT_EQ(bridge().exportTimelineFCPXML(), std::nullopt) << reply;
    }
}

TEST_F(AnAppleScriptBridge, DrainsMegabytesOfScriptOutputOnBothStreams) {
    editor_.writeRunner("head -c 3000000 /dev/zero | tr '\\0' e >&2\n"
                        "printf '{\"pad\": \"'; head -c 3000000 /dev/zero | tr '\\0' p\n"
                        "printf '\", \"success\": true}\\n'");
    EXPECT_TRUE(bridge().importFCPXML("<fcpxml/>"));
}

TEST_F(AnAppleScriptBridge, FailsEveryOperationWhenTheRunnerCannotBeStarted) {
    auto options = editor_.options();
    options.runnerPath = (editor_.dir / "no-such-runner").string();
    AppleScriptBridge broken(options);
    EXPECT_THROW(broken.run("save-project"), AutomationError);
    EXPECT_THROW(broken.exportTimelineFCPXML(), AutomationError);
    EXPECT_THROW(broken.importFCPXML("<fcpxml/>"), AutomationError);
    EXPECT_THROW(broken.syncComment(comment("a", 1, "x")), AutomationError);
    EXPECT_THROW(broken.deleteComment("a"), AutomationError);
    EXPECT_THROW(broken.syncAllComments({}), AutomationError);
    EXPECT_THROW(broken.clearAllMarkers(), AutomationError);
    EXPECT_THROW(broken.getMarkerAtTime(1, 0.5), AutomationError);
    EXPECT_THAT(editor_.leftInTmp(), IsEmpty());
}

TEST_F(AnAppleScriptBridge, FailsAnImportBeforeAnyScriptWhenTheFileCannotBeWritten) {
    auto options = editor_.options();
    options.temporaryDirectory = (editor_.dir / "no-such-dir").string();
    EXPECT_THROW(AppleScriptBridge(options).importFCPXML("<fcpxml/>"), AutomationError);
    EXPECT_THROW(AppleScriptBridge(options).clearAllMarkers(), AutomationError);
    EXPECT_THAT(editor_.calls(), IsEmpty());
    // An export is still asked for; the editor cannot write there either.
    EXPECT_FALSE(AppleScriptBridge(options).syncComment(comment("a", 1, "x")));
    EXPECT_THAT(scriptsRun(), ElementsAre("export-fcpxml"));
    // An editor that writes its export elsewhere still gives it.
    std::ofstream(editor_.dir / "elsewhere.fcpxml") << "<fcpxml/>";
    replyWith("{\"path\": \"" + (editor_.dir / "elsewhere.fcpxml").string() + "\"}");
    EXPECT_EQ(AppleScriptBridge(options).exportTimelineFCPXML(), "<fcpxml/>");
}

// --- Synchronisation ---------------------------------------------------------

TEST_F(AnAppleScriptBridge, SyncCommentReplacesItsMarkerKeepsTheOthersAndOrdersByTime) {
    editor_.setTimeline({StandInEditor::marker("a", "20s", "old"),
                         "<marker start=\"15s\" duration=\"1/24s\" value=\"X\" note=\"untagged\"/>",
                         StandInEditor::marker("b", "10s", "keep")});
    auto b = editor_.timelineMarkers().at(1);
    auto newA = comment("a", 5, "new");
    ASSERT_TRUE(bridge().syncComment(newA));
    // b is written back exactly as read; the untagged marker is not ours to write.
    EXPECT_EQ(editor_.timelineText(), FCPXMLGenerator::generateMarkersFCPXML({b, newA}));
    EXPECT_THAT(editor_.timelineIds(), ElementsAre("a", "b"));
    EXPECT_THAT(scriptsRun(), ElementsAre("export-fcpxml", "save-project", "import-fcpxml"));
}

TEST_F(AnAppleScriptBridge, SyncAndDeleteDropEveryMarkerOfTheSameComment) {
    auto twoAs =
        std::vector<std::string>{StandInEditor::marker("a", "1s"), StandInEditor::marker("b", "2s"),
                                 StandInEditor::marker("a", "3s")};
    editor_.setTimeline(twoAs);
    ASSERT_TRUE(bridge().syncComment(comment("a", 4, "once")));
    EXPECT_THAT(editor_.timelineIds(), ElementsAre("b", "a"));
    editor_.setTimeline(twoAs);
    ASSERT_TRUE(bridge().deleteComment("a"));
    EXPECT_THAT(editor_.timelineIds(), ElementsAre("b"));
}

TEST_F(AnAppleScriptBridge, DeleteOfAnUnknownIdStillImportsAndGivesTheImportsResult) {
    editor_.setTimeline({StandInEditor::marker("a", "1s"), StandInEditor::marker("b", "2s")});
    auto before = editor_.timelineMarkers();
    editor_.playEditor(R"({"success": false})");
    EXPECT_FALSE(bridge().deleteComment("zzz"));
    EXPECT_EQ(editor_.timelineText(), FCPXMLGenerator::generateMarkersFCPXML(before));
    editor_.playEditor();
    EXPECT_TRUE(bridge().deleteComment("A")); // ids are case-sensitive
    EXPECT_THAT(editor_.timelineIds(), ElementsAre("a", "b"));
}

// Mended: an identifier holding ":" survives the tag, so its comment is found
// again and another comment's identifier never matches a piece of it.
TEST_F(AnAppleScriptBridge, FindsCommentsWhoseIdentifiersHoldTheTagsCharacters) {
    editor_.setTimeline({});
    ASSERT_TRUE(bridge().syncComment(comment("c:1", 1, "first")));
    ASSERT_TRUE(bridge().syncComment(comment("c:1", 2, "second")));
    ASSERT_TRUE(bridge().syncComment(comment("c", 3, "other")));
    EXPECT_THAT(editor_.timelineIds(), ElementsAre("c:1", "c"));
    ASSERT_TRUE(bridge().deleteComment("c"));
    EXPECT_THAT(editor_.timelineIds(), ElementsAre("c:1"));
    ASSERT_TRUE(bridge().deleteComment("c:1"));
    EXPECT_THAT(editor_.timelineIds(), IsEmpty());
}

TEST_F(AnAppleScriptBridge, SyncCommentAppendsACommentWithoutIdReplacingNothing) {
    editor_.setTimeline({StandInEditor::marker("a", "1s"), StandInEditor::marker("b", "2s")});
    ASSERT_TRUE(bridge().syncComment({{"timestamp", 1.5}, {"content", "anon"}}));
    EXPECT_THAT(editor_.timelineText(), HasSubstr("note=\"[tavrin::open] anon\""));
    // The reader drops the empty piece of "[tavrin::open]", so it reads back as id "open".
    EXPECT_THAT(editor_.timelineIds(), ElementsAre("a", "open", "b"));
}

TEST_F(AnAppleScriptBridge, SyncAllAndClearImportWithoutExporting) {
    editor_.setTimeline({StandInEditor::marker("old", "1s")});
    ASSERT_TRUE(bridge().syncAllComments({comment("y", 9, "y"), comment("x", 3, "x")}));
    EXPECT_THAT(editor_.timelineIds(), ElementsAre("x", "y"));
    ASSERT_TRUE(bridge().syncAllComments({}));
    auto empty = FCPXMLGenerator::generateMarkersFCPXML(std::vector<Dictionary>{});
    EXPECT_EQ(editor_.timelineText(), empty);
    editor_.setTimeline({StandInEditor::marker("old", "1s")});
    ASSERT_TRUE(bridge().clearAllMarkers());
    EXPECT_EQ(editor_.timelineText(), empty);
    for (const auto& script : scriptsRun())
        EXPECT_NE(script, "export-fcpxml");
}

TEST_F(AnAppleScriptBridge, ChangesGiveFalseAndImportNothingWhenTheExportIsUnusable) {
    replyWith("{\"path\": 7}");
    EXPECT_FALSE(bridge().syncComment(comment("a", 1, "x")));
    EXPECT_FALSE(bridge().deleteComment("a"));
    EXPECT_EQ(bridge().getMarkerAtTime(1, 0.5), std::nullopt);
    EXPECT_THAT(scriptsRun(), ::testing::Each(std::string("export-fcpxml")));
}

// Mended: an export that is no FCPXML document is a failed export, not a
// timeline without markers (whose import would remove every marker).
TEST_F(AnAppleScriptBridge, ChangesRefuseAnExportThatIsNotAnFCPXMLDocument) {
    const std::string timeline =
        "<fcpxml version=\"1.11\"><spine>" + StandInEditor::marker("a", "1s") + "</spine></fcpxml>";
    for (const std::string& exported :
         {std::string(), std::string("<!DOCTYPE html><html><body>502 Bad Gateway</body></html>"),
          timeline.substr(0, timeline.size() - 9) /* cut off */}) {
        std::ofstream(editor_.dir / "timeline.fcpxml") << exported;
        EXPECT_FALSE(bridge().syncComment(comment("b", 1, "x")));
        EXPECT_FALSE(bridge().deleteComment("a"));
        EXPECT_EQ(bridge().getMarkerAtTime(1, 0.5), std::nullopt);
        EXPECT_THAT(scriptsRun(), ::testing::Each(std::string("export-fcpxml")));
        EXPECT_EQ(editor_.timelineText(), exported);
    }
}

TEST_F(AnAppleScriptBridge, FindsTheNearestMarkerWithinTheThresholdFirstInDocumentOnTies) {
    auto at = [&](std::vector<std::string> markers, double seconds, double threshold) {
        editor_.setTimeline(markers);
        auto found = bridge().getMarkerAtTime(seconds, threshold);
        return found ? (*found)["id"].get<std::string>() : std::string("none");
    };
    using E = StandInEditor;
    EXPECT_EQ(at({E::marker("late", "10.25s"), E::marker("early", "9.75s")}, 10, 0.5), "late");
    EXPECT_EQ(at({E::marker("early", "9.75s"), E::marker("late", "10.25s")}, 10, 0.5), "early");
    EXPECT_EQ(at({E::marker("far", "10.4s"), E::marker("near", "9.9s")}, 10, 0.5), "near");
    EXPECT_EQ(at({E::marker("a", "9.25s"), E::marker("b", "10.75s")}, 10, 0.5), "none");
    EXPECT_EQ(at({E::marker("edge", "10.5s")}, 10, 0.5), "edge");
    // Exactly the threshold away, though the doubles' difference rounds above it.
    EXPECT_EQ(at({E::marker("edge", "11/5s")}, 1.7, 0.5), "edge");
    EXPECT_EQ(at({E::marker("beyond", "2201/1000s")}, 1.7, 0.5), "none");
    EXPECT_EQ(at({E::marker("off", "241/24s"), E::marker("on", "240/24s")}, 10, 0), "on");
    EXPECT_EQ(at({E::marker("off", "241/24s")}, 10, 0), "none");
    // A threshold so large that threshold + 1 rounds to it still finds its edge.
    EXPECT_EQ(at({E::marker("zero", "0s")}, -1e300, 1e300), "zero");
    EXPECT_EQ(at({E::marker("zero", "0s")}, INFINITY, INFINITY), "none");
    // Only tagged markers count, and nothing is imported.
    EXPECT_EQ(at({"<marker start=\"10s\" value=\"X\" note=\"plain\"/>"}, 10, 0.5), "none");
    for (const auto& script : scriptsRun())
        EXPECT_EQ(script, "export-fcpxml");
}

TEST_F(AnAppleScriptBridge, GivesTheMarkerRecordExactlyAsRead) {
    editor_.setTimeline({"<marker start=\"12s\" duration=\"48/24s\" value=\"Tom &amp; Jo\" "
                         "note=\"[tavrin:c7:resolved] Fix it\"/>"});
    auto found = bridge().getMarkerAtTime(12.1, 0.5);
    ASSERT_TRUE(found);
    EXPECT_EQ(*found, (Dictionary{{"id", "c7"},
                                  {"timestamp", 12.0},
                                  {"timestampEnd", 14.0},
                                  {"userName", "Tom & Jo"},
                                  {"content", "Fix it"},
                                  {"resolved", true}}));
}

// --- Mended faults -----------------------------------------------------------

TEST_F(AnAppleScriptBridge, KeepsEveryMarkerWhenTwentyChangesOverlapEvenFromTwoPrograms) {
    // Two bridges stand for two programs (the app and `tavrinctl sync`).
    AppleScriptBridge app(editor_.options()), tool(editor_.options());
    std::vector<std::thread> threads;
    for (int i = 0; i < 20; ++i)
        threads.emplace_back([&, i] {
            EXPECT_TRUE((i % 2 ? tool : app).syncComment(comment("c" + std::to_string(i), i, "x")));
        });
    for (auto& thread : threads)
        thread.join();
    auto ids = editor_.timelineIds();
    std::sort(ids.begin(), ids.end());
    std::vector<std::string> expected;
    for (int i = 0; i < 20; ++i)
        expected.push_back("c" + std::to_string(i));
    std::sort(expected.begin(), expected.end());
    EXPECT_EQ(ids, expected);
}

TEST_F(AnAppleScriptBridge, LeavesNoTemporaryFileBehind) {
    editor_.setTimeline({StandInEditor::marker("a", "1s")});
    auto b = bridge();
    b.syncComment(comment("b", 2, "x"));
    b.deleteComment("a");
    b.syncAllComments({comment("c", 3, "x")});
    b.clearAllMarkers();
    b.getMarkerAtTime(3, 0.5);
    replyWith("garbage");
    b.importFCPXML("<fcpxml/>");
    b.exportTimelineFCPXML();
    EXPECT_EQ(editor_.calls().size(), 14u);
    EXPECT_THAT(editor_.leftInTmp(), IsEmpty());
}

TEST_F(AnAppleScriptBridge, PutsTemporaryFilesInTMPDIR) {
    auto options = editor_.options();
    options.temporaryDirectory.clear();
    const char* saved = std::getenv("TMPDIR");
    std::string previous = saved ? saved : "";
    ::setenv("TMPDIR", editor_.tmp.c_str(), 1);
    bool synced = AppleScriptBridge(options).syncComment(comment("a", 1, "x"));
    saved ? ::setenv("TMPDIR", previous.c_str(), 1) : ::unsetenv("TMPDIR");
    EXPECT_TRUE(synced);
    for (const auto& call : editor_.calls()) {
        if (call.rfind("save-project", 0) != 0) {
            EXPECT_THAT(call, HasSubstr(" " + editor_.tmp.string() + "/tavrin-"));
        }
    }
    EXPECT_THAT(editor_.modes(), ElementsAre("600", "600"));
    EXPECT_THAT(editor_.leftInTmp(), IsEmpty());
}

TEST_F(AnAppleScriptBridge, KillsAHungScriptAtTheTimeOutAndLetsLaterChangesThrough) {
    // The first script run hangs; later ones play the editor. The time-out is
    // short for the test, yet long enough for a loaded machine's `sh` and `cp`.
    editor_.playEditor(R"({"success": true})",
                       "if [ ! -e \"$dir/hung\" ]; then touch \"$dir/hung\"; exec sleep 300; fi\n");
    auto options = editor_.options();
    options.scriptTimeout = 3s;
    AppleScriptBridge shared(options);
    try {
        shared.syncComment(comment("a", 1, "x"));
        FAIL() << "a hung script must fail the change";
    } catch (const AutomationError& error) {
        EXPECT_THAT(error.what(), HasSubstr("export-fcpxml"));
    }
    EXPECT_TRUE(shared.syncComment(comment("a", 1, "x")));
    EXPECT_THAT(editor_.timelineIds(), ElementsAre("a"));
    EXPECT_THAT(editor_.leftInTmp(), IsEmpty());
}

// The editor's scripts drive its user interface: two at once would type into
// the same dialogs. Lookups queued behind a change share one export.
TEST_F(AnAppleScriptBridge, RunsOneScriptAtATimeAndSharesAnExportAmongWaitingLookups) {
    editor_.setTimeline({StandInEditor::marker("a", "10s")});
    // Every script notes an overlap if another one is running; exports are slow.
    editor_.playEditor(R"({"success": true})",
                       "mkdir \"$dir/busy\" 2>/dev/null || echo \"$name\" >> \"$dir/overlaps\"\n"
                       "trap 'rmdir \"$dir/busy\" 2>/dev/null' EXIT\n"
                       "[ \"$name\" = export-fcpxml ] && sleep 0.3\n");
    AppleScriptBridge shared(editor_.options());
    std::vector<std::thread> threads;
    threads.emplace_back([&] { EXPECT_TRUE(shared.syncComment(comment("b", 20, "x"))); });
    std::this_thread::sleep_for(100ms); // the change's export is running
    std::atomic<int> found{0};
    for (int i = 0; i < 20; ++i)
        threads.emplace_back([&] { found += shared.getMarkerAtTime(10, 0.5).has_value(); });
    for (auto& thread : threads)
        thread.join();
    EXPECT_EQ(found, 20);
    EXPECT_FALSE(fs::exists(editor_.dir / "overlaps"))
        << StandInEditor::read(editor_.dir / "overlaps");
    auto runs = scriptsRun();
    // One export for the change, then one (two if a lookup came late) for all lookups.
    EXPECT_LE(std::count(runs.begin(), runs.end(), "export-fcpxml"), 3) << runs.size();
}

TEST_F(AnAppleScriptBridge, FailsAScriptThatPrintsWithoutEnd) {
    editor_.writeRunner("exec yes");
    try {
        bridge().run("save-project");
        FAIL() << "a script printing without end must fail";
    } catch (const AutomationError& error) {
        EXPECT_THAT(error.what(), HasSubstr("printed more than 64 MiB"));
    }
}

// The editor may export a bundle (a folder with Info.fcpxml) in the file's
// place or beside it; the export leaves none of it behind.
TEST_F(AnAppleScriptBridge, RemovesTheBundleAnExportWrote) {
    for (const char* bundle : {"$1", "${1}d", "$1.fcpxmld"}) {
        editor_.writeRunner(std::string("b=\"") + bundle +
                            "\"; rm -f \"$1\"; mkdir -p \"$b\"; cp \"$dir/timeline.fcpxml\" "
                            "\"$b/Info.fcpxml\"; printf '{\"path\": \"%s\"}' \"$b/Info.fcpxml\"");
        EXPECT_EQ(bridge().exportTimelineFCPXML(), editor_.timelineText()) << bundle;
        EXPECT_THAT(editor_.leftInTmp(), IsEmpty()) << bundle;
    }
}

} // namespace
} // namespace tavrin::container
