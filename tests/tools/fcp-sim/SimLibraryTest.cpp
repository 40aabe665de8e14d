// The editor's library and state in process: marker placement, imports, the
// playhead on the virtual clock.

#include "tests/support/ManualMainQueue.h"
#include "tests/tools/fcp-sim/RunningEditor.h"
#include "tools/fcp-sim/SimEditor.h"

#include <gmock/gmock.h>

#include <fstream>
#include <sys/stat.h>

namespace tavrin::sim::testing {
namespace {

using ::testing::ElementsAre;

// A sequence at 25 fps whose second clip's local time is not timeline time:
// it starts 3600 s into its media, 10 s into the timeline.
constexpr const char* kLibrary = R"(<?xml version="1.0" encoding="UTF-8"?>
<fcpxml version="1.11">
  <resources><format id="r1" frameDuration="1/25s" width="1280" height="720"/></resources>
  <library><event name="E"><project name="P"><sequence format="r1" duration="20s"><spine>
    <gap name="Gap" offset="0s" start="0s" duration="10s">
      <marker start="2s" duration="1/25s" value="V" note="[tavrin:old:open] old"/>
    </gap>
    <asset-clip name="Clip" offset="10s" start="3600s" duration="10s">
      <marker start="3605s" duration="1/25s" value="Keep" note="untagged"/>
      <asset-clip name="Up" lane="1" offset="3602s" start="100s" duration="2s">
        <marker start="101s" duration="1/25s" value="Nested" note="[tavrin:n:open] nested"/>
      </asset-clip>
    </asset-clip>
  </spine></sequence></project>
  <project name="P"><sequence format="r1" duration="5s"><spine/></sequence></project>
  </event></library>
</fcpxml>)";

std::vector<std::string> describe(const std::vector<MarkerInfo>& markers) {
    std::vector<std::string> out;
    for (const auto& m : markers)
        out.push_back(m.start.text() + " " + m.note);
    return out;
}

class EditorState : public ::testing::Test {
  protected:
    void SetUp() override {
        std::ofstream(folder / "in.fcpxml") << kLibrary;
        std::string error;
        auto library = SimLibrary::load(folder / "in.fcpxml", &error);
        ASSERT_TRUE(library) << error;
        editor = std::make_unique<SimEditor>(std::move(*library), folder / "lib.fcpxml", queue);
        editor->addObserver([this](Change change) { changes.push_back(change); });
    }
    bool import(const std::string& document) {
        std::ofstream(folder / "doc.fcpxml") << document;
        std::string error;
        return editor->importDocument(folder / "doc.fcpxml", &error);
    }

    TempFolder folder;
    tavrin::testing::ManualMainQueue queue;
    std::unique_ptr<SimEditor> editor;
    std::vector<Change> changes;
};

TEST_F(EditorState, ReadsTimelineTimesThroughClipsAndConnectedClips) {
    EXPECT_THAT(describe(editor->markers()), ElementsAre("2s [tavrin:old:open] old", "15s untagged",
                                                         "13s [tavrin:n:open] nested"));
    auto connected = editor->library().connectedClips(0);
    ASSERT_EQ(connected.size(), 1u);
    EXPECT_EQ(connected[0].offset, Rational::make(12, 1)); // 3602 s of "Clip", which starts at 10 s
    auto sequence = editor->activeSequence();
    EXPECT_EQ(sequence.frameDuration, Rational::make(1, 25));
    EXPECT_EQ(sequence.width, 1280);
}

TEST_F(EditorState, ImportReplacesOnlyTaggedMarkersPlacingEachInTheClipAtItsTime) {
    ASSERT_TRUE(import(R"(<fcpxml version="1.11"><library><event><project><sequence><spine>
        <gap offset="0s" start="0s" duration="86400/24s">
          <marker start="300/24s" duration="1/24s" value="Ann" note="[tavrin:a:open] A &amp; B"/>
          <marker start="24s" value="Bo" note="[tavrin:b:open] past the end"/>
          <marker start="-2s" value="Cy" note="[tavrin:c:open] before the start"/>
          <marker start="3s" value="Dee" note="an untagged marker is not imported"/>
        </gap></spine></sequence></project></event></library></fcpxml>)"));
    EXPECT_THAT(describe(editor->markers()),
                ElementsAre("0s [tavrin:c:open] before the start", "25/2s [tavrin:a:open] A & B",
                            "15s untagged", "24s [tavrin:b:open] past the end"));
    // Placed in the clip's local time, as the editor's own files do.
    std::ifstream in(folder / "lib.fcpxml");
    std::string text((std::istreambuf_iterator<char>(in)), {});
    EXPECT_NE(text.find("start=\"7205/2s\""), std::string::npos) << text;
    EXPECT_EQ(changes, std::vector<Change>{Change::Markers});

    // An empty marker document clears the tagged markers.
    ASSERT_TRUE(import("<fcpxml version=\"1.11\"/>"));
    EXPECT_THAT(describe(editor->markers()), ElementsAre("15s untagged"));
}

TEST_F(EditorState, RefusesDocumentsThatDoNotParseOrAreNotFCPXML) {
    std::string before = editor->library().exportProject(0);
    // Malformed UTF-8 and characters XML cannot carry do not parse either.
    for (const char* bad : {"", "<fcpxml><marker", "<other><marker start=\"1s\"/></other>",
                            "<fcpxml><marker note=\"[tavrin:a:open] \xFF\"/></fcpxml>",
                            "<fcpxml><marker note=\"[tavrin:a:open] &#xD800;\"/></fcpxml>",
                            "<fcpxml><marker note=\"[tavrin:a:open] &#7;\"/></fcpxml>"}) {
        EXPECT_FALSE(import(bad)) << bad;
        EXPECT_EQ(editor->library().exportProject(0), before);
    }
    std::string error;
    EXPECT_FALSE(editor->addMarker(1, "bell \a", "value", &error));
    EXPECT_TRUE(changes.empty());
    EXPECT_FALSE(fs::exists(folder / "lib.fcpxml"));
}

TEST_F(EditorState, AChangeThatCannotBeSavedOrAFileThatIsNoFileChangesNothing) {
    auto before = describe(editor->markers());
    fs::create_directories(folder / "lib.fcpxml" / "in-the-way"); // the save cannot replace it
    std::string error;
    EXPECT_FALSE(import(R"(<fcpxml><marker start="1s" note="[tavrin:x:open]"/></fcpxml>)"));
    EXPECT_FALSE(editor->addMarker(1, "note", "value", &error));
    ASSERT_EQ(::mkfifo((folder / "fifo").c_str(), 0600), 0);
    EXPECT_FALSE(editor->importDocument(folder / "fifo", &error)); // no writer: never returned
    EXPECT_FALSE(editor->exportProject(folder / "fifo", &error));  // no reader: never returned
    EXPECT_EQ(describe(editor->markers()), before);
    EXPECT_TRUE(changes.empty());
}

TEST_F(EditorState, PlayheadSnapsToFramesAndClampsToTheSequence) {
    struct Case {
        double seek;
        Rational expected;
    } cases[] = {{1.01, Rational::make(1, 1)},
                 {1.03, Rational::make(26, 25)},
                 {-1, Rational{}},
                 {1e300, Rational::make(20, 1)},
                 {-INFINITY, Rational{}},
                 {1e308, Rational::make(20, 1)},
                 {INFINITY, Rational::make(20, 1)}};
    for (const auto& c : cases) {
        EXPECT_TRUE(editor->setPlayhead(c.seek));
        EXPECT_EQ(editor->playhead(), c.expected) << c.seek;
    }
    EXPECT_FALSE(editor->setPlayhead(std::nan("")));
    EXPECT_EQ(editor->playhead(), Rational::make(20, 1));
}

TEST_F(EditorState, SwitchesByPlaceWhenProjectsShareAName) {
    EXPECT_TRUE(editor->switchSequence(std::size_t{1})); // the window's list does so
    EXPECT_EQ(editor->activeSequence().duration, Rational::make(5, 1));
    EXPECT_FALSE(editor->switchSequence(std::size_t{2}));
}

TEST_F(EditorState, PlaysOneFramePerFrameDurationAndStopsAtTheEnd) {
    editor->setPlayhead(19.88); // three frames before the end
    changes.clear();
    std::vector<bool> playingAtMove; // what an observer (the window's button) sees
    editor->addObserver([&](Change change) {
        if (change == Change::Playhead)
            playingAtMove.push_back(editor->playing());
    });
    editor->play(); // not at the end: plays from here
    EXPECT_TRUE(editor->playing());
    queue.advance(MainQueue::Duration(0.039));
    EXPECT_EQ(editor->playhead(), Rational::make(497, 25));
    queue.advance(MainQueue::Duration(0.002));
    EXPECT_EQ(editor->playhead(), Rational::make(498, 25));
    queue.advance(MainQueue::Duration(1));
    EXPECT_EQ(editor->playhead(), Rational::make(20, 1));
    EXPECT_FALSE(editor->playing());
    EXPECT_EQ(queue.pendingTimers(), 0u);
    EXPECT_EQ(std::count(changes.begin(), changes.end(), Change::Playhead), 3);
    EXPECT_THAT(playingAtMove, ElementsAre(true, true, false));

    editor->play(); // from the end: starts again at 0
    EXPECT_EQ(editor->playhead(), Rational{});
    editor->pause();
    queue.advance(MainQueue::Duration(1));
    EXPECT_EQ(editor->playhead(), Rational{});
}

TEST(RationalTime, ParsesFCPXMLTimes) {
    struct Case {
        const char* text;
        std::optional<Rational> expected;
    } cases[] = {{"1001/24000s", Rational::make(1001, 24000)},
                 {"3600s", Rational::make(3600, 1)},
                 {"2.5s", Rational::make(5, 2)},
                 {"-0.25s", Rational::make(-1, 4)},
                 {"48/2s", Rational::make(24, 1)},
                 {"1/0s", std::nullopt},
                 {"abc", std::nullopt},
                 {"", std::nullopt}};
    for (const auto& c : cases)
        EXPECT_EQ(Rational::parse(c.text), c.expected) << c.text;
}

TEST(DemoLibrary, SavesAtomicallyAndReadsBack) {
    TempFolder folder;
    fs::path path = folder / "sub" / "library.fcpxml";
    std::string error;
    auto demo = SimLibrary::demo();
    ASSERT_TRUE(demo.save(path, &error)) << error;
    ASSERT_EQ(::chmod(path.c_str(), 0600), 0);
    ASSERT_TRUE(demo.save(path, &error)) << error; // replaces the file, keeping its mode
    struct stat saved {};
    ASSERT_EQ(::stat(path.c_str(), &saved), 0);
    EXPECT_EQ(saved.st_mode & 07777, 0600u);
    EXPECT_EQ(std::distance(fs::directory_iterator(path.parent_path()), {}), 1); // no side file
    auto read = SimLibrary::load(path, &error);
    ASSERT_TRUE(read) << error;
    ASSERT_EQ(read->sequenceCount(), 2u);
    EXPECT_EQ(read->sequence(0).name, "Demo Cut");
    EXPECT_EQ(read->sequence(1).frameDuration, Rational::make(1, 25));
    EXPECT_GE(read->clips(0).size(), 5u);

    for (const char* bad :
         {"<fcpxml><library>", "<fcpxml><library><event><project name='&#1;'>"
                               "<sequence/></project></event></library></fcpxml>"}) {
        std::ofstream(path) << bad;
        EXPECT_FALSE(SimLibrary::load(path, &error)) << bad;
    }
    ASSERT_EQ(::mkfifo((folder / "fifo").c_str(), 0600), 0);
    EXPECT_FALSE(SimLibrary::load(folder / "fifo", &error)); // not waited on
}

} // namespace
} // namespace tavrin::sim::testing
