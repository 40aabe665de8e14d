// The container app's delegate with fakes on the virtual clock: the command
// table, one answer per command in completion order, the main-thread hand-off
// of the chooser and the watcher, the export flow, the install alert and the
// shutdown's first steps.

#include "TavrinFCP/AppDelegate.h"
#include "common/ContainerChannel.h"
#include "platform/linux/DBusNotificationCenter.h"
#include "tests/support/FakeDialogs.h"
#include "tests/support/FakeFileEventStream.h"
#include "tests/support/FakeWorkspace.h"
#include "tests/support/InProcessNotificationCenter.h"
#include "tests/support/ManualMainQueue.h"
#include "tests/support/PrivateBus.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <future>

namespace tavrin::container {
namespace {

namespace fs = std::filesystem;
using namespace std::chrono_literals;
using CC = ContainerChannel;

// Records each call; syncComment waits for `gate`; `fail` makes every call throw.
class FakeAutomation final : public MarkerAutomation {
  public:
    std::optional<Dictionary> marker;
    bool answer = true, fail = false;
    std::shared_future<void> gate;

    bool syncComment(const Dictionary& c) override {
        if (gate.valid())
            gate.wait();
        return call("syncComment " + c.dump());
    }
    bool deleteComment(const std::string& id) override { return call("deleteComment " + id); }
    bool syncAllComments(const std::vector<Dictionary>& c) override {
        return call("syncAllComments " + Value(c).dump());
    }
    bool clearAllMarkers() override { return call("clearAllMarkers"); }
    std::optional<Dictionary> getMarkerAtTime(double s, double t) override {
        call("getMarkerAtTime " + Value(s).dump() + " " + Value(t).dump());
        return marker;
    }
    std::vector<std::string> calls() {
        std::lock_guard lock(mutex_);
        return calls_;
    }

  private:
    bool call(const std::string& record) {
        std::lock_guard lock(mutex_);
        calls_.push_back(record);
        if (fail)
            throw AutomationError("the runner could not be started");
        return answer;
    }
    std::mutex mutex_;
    std::vector<std::string> calls_;
};

class FakeUploader final : public ExportUploader {
  public:
    bool succeed = true;
    std::optional<std::string> uploadFile(const std::string& path, const std::string& name,
                                          const std::string& project, const std::string& token,
                                          std::string* failure) override {
        std::lock_guard lock(mutex);
        uploads.push_back(path + "|" + name + "|" + project + "|" + token);
        *failure = "the service answered 403";
        return succeed ? std::optional<std::string>("vid") : std::nullopt;
    }
    std::mutex mutex;
    std::vector<std::string> uploads;
};

class AnAppDelegate : public ::testing::Test {
  protected:
    void SetUp() override {
        std::string pattern = (fs::temp_directory_path() / "app-delegate-XXXXXX").string();
        ASSERT_NE(::mkdtemp(pattern.data()), nullptr);
        dir = pattern;
        fs::create_directories(dir / "exports");
        fs::create_directories(dir / "other");
        responses = center.observe(CC::kResponseNotification, queue, [this](const Notification& n) {
            answers.emplace_back((*n.userInfo)[CC::kRequestIdKey], (*n.userInfo)[CC::kResultKey]);
        });
    }
    void TearDown() override {
        if (delegate)
            delegate->applicationWillTerminate();
        executor.shutdown();
        delegate.reset();
        fs::remove_all(dir);
    }
    AppServices services() {
        AppServices s{&queue,
                      &center,
                      &executor,
                      &dialogs,
                      &workspace,
                      (dir / "data").string(),
                      editorPaths,
                      [this] { return automation; },
                      [this] { return uploader; }};
        s.streamFactory = [this](const FileEventStreamOptions& o, MainQueue& q,
                                 FileEventStream::Callback cb) {
            offMainThread += !queue.isCurrent();
            return streams.factory()(o, q, std::move(cb));
        };
        return s;
    }
    void launch() {
        delegate = std::make_shared<AppDelegate>(services());
        delegate->applicationDidFinishLaunching();
    }
    std::string send(const std::string& command, const Value& arguments = Value::object()) {
        std::string id = "req-" + std::to_string(answers.size()) + "-" + std::to_string(++sent);
        center.post(CC::kCommandNotification, CC::makeCommandMessage(command, arguments, id));
        return id;
    }
    Value answerTo(const std::string& id) {
        Value result = "no answer";
        queue.runUntil([&] {
            for (auto& [answered, value] : answers)
                if (answered == id)
                    return (result = value), true;
            return false;
        });
        return result;
    }
    Value ask(const std::string& command, const Value& arguments = Value::object()) {
        return answerTo(send(command, arguments));
    }
    Value startExport(const std::string& folder, const Value& more = Value::object()) {
        Value arguments = {{"projectId", "p"}, {"token", "t"}, {"outputFolder", folder}};
        arguments.update(more);
        return ask("startExport", arguments);
    }
    // Writes an export (unless no bytes: a rescan's report) and lets the
    // watcher report it; the uploads once the expected number has been made.
    std::vector<std::string> exportFinished(const std::string& name,
                                            std::optional<std::string> bytes,
                                            std::size_t expectedUploads) {
        if (bytes)
            std::ofstream(dir / "exports" / name, std::ios::binary) << *bytes;
        streams.last().deliver({{(dir / "exports" / name).string(), kFileEventItemCreated}});
        queue.advance(FileWatcher::kStableTimeout);
        for (int i = 0; i < 5000 && uploads().size() < expectedUploads; ++i)
            std::this_thread::sleep_for(1ms); // the upload task runs off the queue
        return uploads();
    }
    std::vector<std::string> uploads() {
        std::lock_guard lock(uploader->mutex);
        return uploader->uploads;
    }

    testing::ManualMainQueue queue;
    testing::InProcessNotificationCenter center;
    TaskExecutor executor;
    testing::FakeDialogs dialogs;
    testing::FakeWorkspace workspace;
    testing::FakeFileEventStreams streams;
    std::shared_ptr<FakeAutomation> automation = std::make_shared<FakeAutomation>();
    std::shared_ptr<FakeUploader> uploader = std::make_shared<FakeUploader>();
    std::vector<std::string> editorPaths;
    fs::path dir;
    std::shared_ptr<AppDelegate> delegate;
    NotificationCenter::Observation responses;
    std::vector<std::pair<Value, Value>> answers;
    int sent = 0, offMainThread = 0;
};

TEST_F(AnAppDelegate, AppliesEachCommandsArgumentRules) {
    automation->marker = Dictionary{{"id", "c1"}};
    const Value none = Value::object();
    const std::vector<std::tuple<std::string, Value, std::string, Value>> cases = {
        {"syncComment", {{"comment", {{"id", "c1"}}}}, R"(syncComment {"id":"c1"})", true},
        {"syncComment", {{"comment", "c1"}}, "syncComment {}", true},
        {"deleteComment", {{"commentId", "c1"}}, "deleteComment c1", true},
        {"deleteComment", {{"commentId", 7}}, "", false},
        {"syncAllComments",
         {{"comments", {{{"id", "a"}}}}},
         R"(syncAllComments [{"id":"a"}])",
         true},
        {"syncAllComments", none, "syncAllComments []", true},
        {"clearAllMarkers", none, "clearAllMarkers", true},
        {"getMarkerAtTime", {{"seconds", 12}}, "getMarkerAtTime 12.0 0.5", *automation->marker},
        {"getMarkerAtTime",
         {{"seconds", "1"}, {"threshold", 2.5}},
         "getMarkerAtTime 0.0 2.5",
         *automation->marker},
        {"startExport", {{"projectId", "p"}, {"outputFolder", "/x"}}, "", false},
        {"startExport", {{"token", "t"}}, "", false},
        {"cancelExport", none, "", true},
        {"SyncComment", none, "", nullptr},
    };
    launch();
    // Malformed commands are dropped unanswered; being first, they are seen
    // before any answer below.
    center.post(CC::kCommandNotification, std::nullopt);
    center.post(CC::kCommandNotification, Dictionary{{"command", "clearAllMarkers"}});
    center.post(CC::kCommandNotification, Dictionary{{"command", "x"}, {"requestId", 7}});
    center.post(CC::kCommandNotification, Dictionary{{"command", 1}, {"requestId", "r"}});
    for (const auto& [command, arguments, call, result] : cases) {
        const auto before = automation->calls().size();
        EXPECT_EQ(ask(command, arguments), result) << command << " " << arguments;
        const auto calls = automation->calls();
        EXPECT_EQ(calls.size() > before ? calls.back() : "", call) << command << " " << arguments;
    }
    EXPECT_EQ(answers.size(), cases.size()) << "a malformed command was answered";
    EXPECT_TRUE(dialogs.choices().empty()) << "a refused startExport showed the chooser";

    // openURL answers true and opens web URLs only.
    for (const char* url : {"https://tavrin.example/r/1", "HTTP://host:8080/a?b#c", "not a url",
                            "file:///etc/passwd", "smb://server/share", "ftp://host/file",
                            "javascript:alert(1)", "x-custom:open", "https:///no-host"})
        EXPECT_EQ(ask("openURL", {{"url", url}}), true) << url;
    EXPECT_EQ(ask("openURL"), true);
    EXPECT_EQ(workspace.opened(),
              (std::vector<std::string>{"https://tavrin.example/r/1", "HTTP://host:8080/a?b#c"}));

    automation->marker.reset();
    EXPECT_EQ(ask("getMarkerAtTime"), nullptr);
    automation->answer = false;
    EXPECT_EQ(ask("clearAllMarkers"), false);
    automation->fail = true;
    for (const char* command :
         {"syncComment", "deleteComment", "syncAllComments", "clearAllMarkers", "getMarkerAtTime"})
        EXPECT_EQ(ask(command, {{"commentId", "c1"}}), nullptr) << command << " failing";
}

TEST_F(AnAppDelegate, AnswersInCompletionOrderEachWithItsOwnIdentifier) {
    launch();
    std::promise<void> open;
    automation->gate = open.get_future().share();
    const std::string slow = send("syncComment");
    const std::string quick = send("deleteComment", {{"commentId", "quick"}});
    EXPECT_EQ(answerTo(quick), true);
    open.set_value();
    EXPECT_EQ(answerTo(slow), true);
    EXPECT_EQ(answers, (std::vector<std::pair<Value, Value>>{{quick, true}, {slow, true}}));
}

// More changes waiting for the editor than the executor has workers: the
// other commands still answer.
TEST_F(AnAppDelegate, AnswersOtherCommandsWhileABurstOfChangesWaitsForTheEditor) {
    launch();
    std::promise<void> open;
    automation->gate = open.get_future().share();
    std::vector<std::string> changes;
    for (int i = 0; i < 70; ++i)
        changes.push_back(send("syncComment"));
    EXPECT_EQ(answerTo(send("cancelExport")), true);
    open.set_value();
    for (const auto& id : changes)
        EXPECT_EQ(answerTo(id), true);
}

TEST_F(AnAppDelegate, RunsTheFolderChooserOnTheMainThreadWhileTheCommandWaits) {
    launch(); // shows the first-launch alert
    dialogs.answerFolder((dir / "exports").string());
    const std::string id = send("selectOutputFolder");
    std::this_thread::sleep_for(20ms); // the task has started and waits for the main thread
    EXPECT_TRUE(dialogs.choices().empty());
    EXPECT_EQ(answerTo(id), (dir / "exports").string());
    ASSERT_EQ(dialogs.choices().size(), 1u);
    EXPECT_EQ(dialogs.choices()[0].prompt, "Select Export Folder");
    EXPECT_EQ(dialogs.choices()[0].message, "Choose where FCP exports will be saved");
    EXPECT_TRUE(dialogs.choices()[0].canCreateDirectories);
    EXPECT_EQ(dialogs.threads(), std::vector<std::thread::id>(2, std::this_thread::get_id()));
    dialogs.answerFolder(std::nullopt);
    EXPECT_EQ(ask("selectOutputFolder"), nullptr);
}

TEST_F(AnAppDelegate, UploadsEachExportOfTheCurrentFlowOnce) {
    launch();
    ASSERT_EQ(startExport((dir / "other").string(), {{"name", "Cut"}}), true);
    EXPECT_TRUE(dialogs.choices().empty()) << "a given folder needs no chooser";
    // Without a folder the chooser decides; cancelled, the running flow stays.
    EXPECT_EQ(ask("startExport", {{"projectId", "p2"}, {"token", "t2"}}), false);
    EXPECT_FALSE(streams.last().stopped);
    dialogs.answerFolder((dir / "exports").string());
    ASSERT_EQ(ask("startExport", {{"projectId", "p2"}, {"token", "t2"}}), true);
    ASSERT_EQ(streams.records.size(), 2u);
    EXPECT_TRUE(streams.records[0]->stopped) << "the earlier watcher still runs";
    EXPECT_EQ(streams.last().options.paths, std::vector<std::string>{(dir / "exports").string()});

    const std::string a = (dir / "exports/a.mp4").string(), b = (dir / "exports/b.mov").string();
    exportFinished("a.mp4", "first", 1);
    EXPECT_EQ(exportFinished("b.mov", "second", 2),
              (std::vector<std::string>{a + "|Export|p2|t2", b + "|Export|p2|t2"}));
    // A rescan reports an unchanged export again: not sent twice. New content
    // under the same name is a new export.
    exportFinished("b.mov", std::nullopt, 2);
    EXPECT_EQ(exportFinished("b.mov", "second, longer", 3).size(), 3u);

    // A failed upload is logged with the file and the reason, and only logged.
    uploader->succeed = false;
    ::testing::internal::CaptureStderr();
    exportFinished("c.m4v", "third", 4);

    EXPECT_EQ(ask("cancelExport"), true);
    EXPECT_TRUE(streams.last().stopped);
    streams.failStart = true; // a folder that cannot be watched
    EXPECT_EQ(startExport((dir / "nowhere").string()), false);
    EXPECT_EQ(offMainThread, 0) << "a watcher was made off the main thread";
    executor.shutdown(); // every upload started so far has ended (and logged)
    EXPECT_NE(::testing::internal::GetCapturedStderr().find("upload of " +
                                                            (dir / "exports/c.m4v").string() +
                                                            " failed: the service answered 403"),
              std::string::npos);
    EXPECT_EQ(uploads().size(), 4u);
    EXPECT_EQ(answers.size(), 5u) << "the panel was told about an upload";
}

// An export renamed in the folder is the same export; one whose upload failed
// is tried again when it is reported again (moved out and back in).
TEST_F(AnAppDelegate, UploadsARenamedExportOnceAndRetriesAFailedOne) {
    launch();
    ASSERT_EQ(startExport((dir / "exports").string()), true);
    ASSERT_EQ(exportFinished("a.mp4", "first", 1).size(), 1u);
    fs::rename(dir / "exports" / "a.mp4", dir / "exports" / "renamed.mp4");
    ::testing::internal::CaptureStderr();
    exportFinished("renamed.mp4", std::nullopt, 1);
    EXPECT_NE(::testing::internal::GetCapturedStderr().find("already uploaded"), std::string::npos);

    uploader->succeed = false;
    ASSERT_EQ(exportFinished("b.mp4", "second", 2).size(), 2u);
    uploader->succeed = true;
    // The failure is known once the upload task has ended.
    for (int i = 0; i < 1000 && uploads().size() < 3; ++i) {
        streams.last().deliver({{(dir / "exports" / "b.mp4").string(), kFileEventItemCreated}});
        queue.advance(FileWatcher::kStableTimeout);
        std::this_thread::sleep_for(2ms);
    }
    EXPECT_EQ(uploads().size(), 3u);
}

// A folder whose name is not UTF-8 cannot cross the bus: the answer is null, at once.
TEST_F(AnAppDelegate, AnswersNullWhenItsResultCannotCrossTheBus) {
    testing::PrivateBus bus;
    auto app = linux_platform::DBusNotificationCenter::connect(bus.address());
    auto panel = linux_platform::DBusNotificationCenter::connect(bus.address());
    ASSERT_TRUE(app && panel);
    AppServices s = services();
    s.notificationCenter = app.get();
    delegate = std::make_shared<AppDelegate>(s);
    delegate->applicationDidFinishLaunching();
    std::optional<Value> answer;
    auto seen = panel->observe(CC::kResponseNotification, queue, [&](const Notification& n) {
        answer = (*n.userInfo)[CC::kResultKey];
    });
    dialogs.answerFolder("/exports/caf\xe9");
    panel->post(CC::kCommandNotification,
                CC::makeCommandMessage(CC::kSelectOutputFolder, Dictionary::object(), "req-1"));
    EXPECT_TRUE(queue.runUntil([&] { return answer.has_value(); }, 20s));
    EXPECT_EQ(answer, Value(nullptr));
    delegate->applicationWillTerminate();
    executor.shutdown();
    delegate.reset(); // before the centres it observes
}

TEST_F(AnAppDelegate, TouchesTheWatcherOnlyOnTheMainThreadUnderConcurrentCommands) {
    launch();
    std::vector<std::string> ids;
    for (int i = 0; i < 20; ++i) {
        ids.push_back(
            send("startExport", {{"projectId", "p"},
                                 {"token", "t"},
                                 {"outputFolder", (dir / (i % 2 ? "a" : "b")).string()}}));
        ids.push_back(send("cancelExport"));
    }
    for (const auto& id : ids)
        EXPECT_NE(answerTo(id), "no answer");
    EXPECT_EQ(offMainThread, 0);
    ASSERT_EQ(streams.records.size(), 20u);
    for (std::size_t i = 0; i + 1 < streams.records.size(); ++i)
        EXPECT_TRUE(streams.records[i]->stopped) << "two watchers left running";
}

TEST_F(AnAppDelegate, StopsTakingCommandsAndStartingWatchersWhenItTerminates) {
    launch();
    ASSERT_EQ(startExport((dir / "exports").string()), true);
    // Told to end while a start waits for the user's folder (ending dismisses it).
    dialogs.whileShowing = [this] { delegate->applicationWillTerminate(); };
    EXPECT_EQ(ask("startExport", {{"projectId", "p"}, {"token", "t"}}), false);
    EXPECT_TRUE(streams.last().stopped) << "the watcher runs on after termination";
    EXPECT_EQ(streams.records.size(), 1u) << "a watcher was started after termination";
    send("clearAllMarkers");
    queue.runPending();
    executor.shutdown();
    queue.runPending();
    EXPECT_EQ(answers.size(), 2u) << "a command was taken after termination";

    // A first-launch alert closed by the ending app was not read: it comes again.
    fs::remove(delegate->firstLaunchMarkerPath());
    auto next = std::make_shared<AppDelegate>(services());
    dialogs.whileShowing = [&] { next->applicationWillTerminate(); };
    next->applicationDidFinishLaunching();
    EXPECT_FALSE(fs::exists(next->firstLaunchMarkerPath()));
}

} // namespace
} // namespace tavrin::container
