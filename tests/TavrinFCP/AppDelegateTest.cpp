// The container app's delegate with fakes on the virtual clock: the command
// table and its argument rules, one answer per command in completion order,
// the main-thread hand-off of the chooser and the watcher, the export flow,
// the first-launch alert and the shutdown's first steps.

#include "TavrinFCP/AppDelegate.h"
#include "common/ContainerChannel.h"
#include "tests/support/FakeDialogs.h"
#include "tests/support/FakeFileEventStream.h"
#include "tests/support/FakeWorkspace.h"
#include "tests/support/InProcessNotificationCenter.h"
#include "tests/support/ManualMainQueue.h"

#include <gtest/gtest.h>

#include <atomic>
#include <condition_variable>
#include <filesystem>
#include <fstream>
#include <map>
#include <thread>

namespace tavrin::container {
namespace {

namespace fs = std::filesystem;
using namespace std::chrono_literals;
using CC = ContainerChannel;
using testing::FakeDialogs;
using testing::FakeFileEventStreams;
using testing::FakeWorkspace;
using testing::InProcessNotificationCenter;
using testing::ManualMainQueue;

constexpr FileEventFlags kCreated = kFileEventItemCreated | kFileEventItemIsFile;

// Records each call as text; a gate can hold an operation until the test opens it.
class FakeAutomation final : public MarkerAutomation {
  public:
    bool answer = true;
    std::optional<Dictionary> marker;
    bool fail = false;

    bool syncComment(const Dictionary& comment) override {
        return call("syncComment " + comment.dump());
    }
    bool deleteComment(const std::string& id) override { return call("deleteComment " + id); }
    bool syncAllComments(const std::vector<Dictionary>& comments) override {
        return call("syncAllComments " + Value(comments).dump());
    }
    bool clearAllMarkers() override { return call("clearAllMarkers"); }
    std::optional<Dictionary> getMarkerAtTime(double seconds, double threshold) override {
        call("getMarkerAtTime " + Value(seconds).dump() + " " + Value(threshold).dump());
        return marker;
    }

    // Operations whose record starts with `prefix` wait until release(prefix).
    void hold(const std::string& prefix) {
        std::lock_guard lock(mutex_);
        held_[prefix] = true;
    }
    void release(const std::string& prefix) {
        std::lock_guard lock(mutex_);
        held_[prefix] = false;
        changed_.notify_all();
    }
    std::vector<std::string> calls() {
        std::lock_guard lock(mutex_);
        return calls_;
    }

  private:
    bool call(const std::string& record) {
        std::unique_lock lock(mutex_);
        calls_.push_back(record);
        changed_.wait(lock, [&] {
            for (auto& [prefix, held] : held_)
                if (held && record.rfind(prefix, 0) == 0)
                    return false;
            return true;
        });
        if (fail)
            throw AutomationError("the runner could not be started");
        return answer;
    }

    std::mutex mutex_;
    std::condition_variable changed_;
    std::vector<std::string> calls_;
    std::map<std::string, bool> held_;
};

class FakeUploader final : public ExportUploader {
  public:
    std::optional<std::string> answer = "vid-1";

    std::optional<std::string> uploadFile(const std::string& path, const std::string& name,
                                          const std::string& projectId, const std::string& token,
                                          std::string* failure) override {
        std::lock_guard lock(mutex_);
        uploads_.push_back(path + "|" + name + "|" + projectId + "|" + token);
        if (!answer && failure)
            *failure = "the service answered 403";
        return answer;
    }
    std::vector<std::string> uploads() {
        std::lock_guard lock(mutex_);
        return uploads_;
    }

  private:
    std::mutex mutex_;
    std::vector<std::string> uploads_;
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
            answers.emplace_back(n.userInfo->at(CC::kRequestIdKey).get<std::string>(),
                                 n.userInfo->at(CC::kResultKey));
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
        AppServices s;
        s.mainQueue = &queue;
        s.notificationCenter = &center;
        s.executor = &executor;
        s.dialogs = &dialogs;
        s.workspace = &workspace;
        s.dataDirectory = (dir / "data").string();
        s.editorPaths = editorPaths;
        s.makeAutomation = [this] { return automation; };
        s.makeUploader = [this] { return uploader; };
        s.streamFactory = [this](const FileEventStreamOptions& options, MainQueue& q,
                                 FileEventStream::Callback callback) {
            offMainThread += queue.isCurrent() ? 0 : 1;
            return streams.factory()(options, q, std::move(callback));
        };
        return s;
    }
    void launch() {
        delegate = std::make_shared<AppDelegate>(services());
        delegate->applicationDidFinishLaunching();
    }

    std::string send(const std::string& command, const Value& arguments = Value::object()) {
        std::string id = "req-" + std::to_string(++counter);
        center.post(CC::kCommandNotification, CC::makeCommandMessage(command, arguments, id));
        return id;
    }
    // Runs the main queue until the request is answered; its result.
    Value answerTo(const std::string& id) {
        Value result = "no answer";
        queue.runUntil([&] {
            for (auto& [answered, value] : answers)
                if (answered == id) {
                    result = value;
                    return true;
                }
            return false;
        });
        return result;
    }
    Value ask(const std::string& command, const Value& arguments = Value::object()) {
        return answerTo(send(command, arguments));
    }
    std::string writeExport(const std::string& name, const std::string& bytes) {
        fs::path path = dir / "exports" / name;
        std::ofstream(path, std::ios::binary) << bytes;
        return path.string();
    }
    // The watcher's stream reports the file; its quiet period passes.
    void exportFinished(const std::string& path) {
        streams.last().deliver({{path, kCreated}});
        queue.advance(FileWatcher::kStableTimeout);
    }
    // Runs the main queue until a task's effect shows (tasks post nothing
    // the queue could wake on, so this polls), at most a few seconds.
    bool eventually(const std::function<bool()>& predicate) {
        const auto deadline = std::chrono::steady_clock::now() + 5s;
        while (!predicate() && std::chrono::steady_clock::now() < deadline) {
            queue.runPending();
            std::this_thread::sleep_for(1ms);
        }
        return predicate();
    }
    std::vector<std::string> uploadsWhenSettled(std::size_t expected) {
        eventually([&] { return uploader->uploads().size() >= expected; });
        return uploader->uploads();
    }

    ManualMainQueue queue;
    InProcessNotificationCenter center;
    TaskExecutor executor;
    FakeDialogs dialogs;
    FakeWorkspace workspace;
    FakeFileEventStreams streams;
    std::shared_ptr<FakeAutomation> automation = std::make_shared<FakeAutomation>();
    std::shared_ptr<FakeUploader> uploader = std::make_shared<FakeUploader>();
    std::vector<std::string> editorPaths;
    fs::path dir;
    std::shared_ptr<AppDelegate> delegate;
    NotificationCenter::Observation responses;
    std::vector<std::pair<std::string, Value>> answers;
    int counter = 0;
    int offMainThread = 0;
};

TEST_F(AnAppDelegate, AppliesEachCommandsArgumentRules) {
    automation->marker = Dictionary{{"id", "c1"}, {"timestamp", 12.0}};
    struct Case {
        std::string command;
        Value arguments;
        std::vector<std::string> calls;
        Value result;
    };
    const std::vector<Case> cases = {
        {"syncComment", {{"comment", {{"id", "c1"}}}}, {R"(syncComment {"id":"c1"})"}, true},
        {"syncComment", {{"comment", "c1"}}, {"syncComment {}"}, true},
        {"deleteComment", {{"commentId", "c1"}}, {"deleteComment c1"}, true},
        {"deleteComment", {{"commentId", 7}}, {}, false},
        {"syncAllComments",
         {{"comments", {{{"id", "a"}}}}},
         {R"(syncAllComments [{"id":"a"}])"},
         true},
        {"syncAllComments", Value::object(), {"syncAllComments []"}, true},
        {"clearAllMarkers", Value::object(), {"clearAllMarkers"}, true},
        {"getMarkerAtTime", {{"seconds", 12}}, {"getMarkerAtTime 12.0 0.5"}, *automation->marker},
        {"getMarkerAtTime",
         {{"seconds", "12"}, {"threshold", 2.5}},
         {"getMarkerAtTime 0.0 2.5"},
         *automation->marker},
        {"startExport", {{"projectId", "p"}, {"outputFolder", "/x"}}, {}, false},
        {"startExport", {{"token", "t"}}, {}, false},
        {"cancelExport", Value::object(), {}, true},
        {"openURL", {{"url", "not a url"}}, {}, true},
        {"openURL", Value::object(), {}, true},
        {"SyncComment", Value::object(), {}, nullptr},
    };
    launch();
    for (const auto& c : cases) {
        const auto before = automation->calls().size();
        EXPECT_EQ(ask(c.command, c.arguments), c.result) << c.command << " " << c.arguments;
        auto calls = automation->calls();
        EXPECT_EQ(std::vector<std::string>(calls.begin() + before, calls.end()), c.calls)
            << c.command << " " << c.arguments;
    }
    EXPECT_TRUE(dialogs.choices().empty()) << "a refused startExport showed the chooser";
    EXPECT_TRUE(workspace.opened().empty());

    automation->marker.reset();
    EXPECT_EQ(ask("getMarkerAtTime"), nullptr);
    automation->answer = false;
    EXPECT_EQ(ask("clearAllMarkers"), false);
    automation->fail = true;
    for (const char* command :
         {"syncComment", "deleteComment", "syncAllComments", "clearAllMarkers", "getMarkerAtTime"})
        EXPECT_EQ(ask(command, {{"commentId", "c1"}}), nullptr) << command << " failing";
}

TEST_F(AnAppDelegate, DropsMalformedCommandsWithoutAnAnswer) {
    launch();
    center.post(CC::kCommandNotification, std::nullopt);
    center.post(CC::kCommandNotification, Dictionary{{"command", "clearAllMarkers"}});
    center.post(CC::kCommandNotification,
                Dictionary{{"command", "clearAllMarkers"}, {"requestId", 7}});
    center.post(CC::kCommandNotification, Dictionary{{"command", 1}, {"requestId", "r"}});
    // Handled in order, so once this one is answered the others have been seen.
    EXPECT_EQ(ask("cancelExport"), true);
    EXPECT_EQ(answers.size(), 1u);
    EXPECT_TRUE(automation->calls().empty());
}

TEST_F(AnAppDelegate, AnswersInCompletionOrderEachWithItsOwnIdentifier) {
    launch();
    automation->hold("syncComment");
    const std::string slow = send("syncComment", {{"comment", {{"id", "slow"}}}});
    ASSERT_TRUE(eventually([&] { return automation->calls().size() == 1; }));
    const std::string quick = send("deleteComment", {{"commentId", "quick"}});
    EXPECT_EQ(answerTo(quick), true);
    EXPECT_EQ(answers.size(), 1u) << "the held command was answered early";
    automation->release("syncComment");
    EXPECT_EQ(answerTo(slow), true);
    ASSERT_EQ(answers.size(), 2u);
    EXPECT_EQ(answers[0].first, quick);
    EXPECT_EQ(answers[1].first, slow);
}

TEST_F(AnAppDelegate, OpensOnlyWebURLs) {
    launch();
    for (const char* url :
         {"https://tavrin.example/review/1", "HTTP://host:8080/a?b#c", "file:///etc/passwd",
          "smb://server/share", "ftp://host/file", "javascript:alert(1)", "x-custom:open",
          "https:///no-host", "https://host/with space", "/etc/passwd"})
        EXPECT_EQ(ask("openURL", {{"url", url}}), true) << url;
    EXPECT_EQ(workspace.opened(), (std::vector<std::string>{"https://tavrin.example/review/1",
                                                            "HTTP://host:8080/a?b#c"}));
}

TEST_F(AnAppDelegate, RunsTheFolderChooserOnTheMainThreadWhileTheCommandWaits) {
    launch();
    dialogs.answerFolder((dir / "exports").string());
    const std::string id = send("selectOutputFolder");
    // The task is waiting for the main thread: no answer until it runs.
    std::this_thread::sleep_for(50ms);
    EXPECT_TRUE(answers.empty());
    EXPECT_TRUE(dialogs.choices().empty());
    EXPECT_EQ(answerTo(id), (dir / "exports").string());
    ASSERT_EQ(dialogs.choices().size(), 1u);
    EXPECT_EQ(dialogs.choices()[0].prompt, "Select Export Folder");
    EXPECT_EQ(dialogs.choices()[0].message, "Choose where FCP exports will be saved");
    EXPECT_TRUE(dialogs.choices()[0].canCreateDirectories);
    for (auto thread : dialogs.threads()) // the first-launch alert, then the chooser
        EXPECT_EQ(thread, std::this_thread::get_id());

    dialogs.answerFolder(std::nullopt);
    EXPECT_EQ(ask("selectOutputFolder"), nullptr);
}

TEST_F(AnAppDelegate, UploadsEveryExportOfTheCurrentFlowOnce) {
    launch();
    const Value start = {
        {"projectId", "p1"}, {"token", "t1"}, {"outputFolder", (dir / "exports").string()}};
    ASSERT_EQ(ask("startExport", start), true);
    EXPECT_TRUE(dialogs.choices().empty()) << "a given folder needs no chooser";
    ASSERT_EQ(streams.records.size(), 1u);
    EXPECT_EQ(streams.last().options.paths, std::vector<std::string>{(dir / "exports").string()});

    const std::string first = writeExport("a.mp4", "first");
    const std::string second = writeExport("b.mov", "second");
    exportFinished(first);
    exportFinished(second);
    EXPECT_EQ(uploadsWhenSettled(2),
              (std::vector<std::string>{first + "|Export|p1|t1", second + "|Export|p1|t1"}));

    // A rescan reports the unchanged file again: it is not sent twice. New
    // content under the same name is a new export.
    exportFinished(first);
    std::ofstream(first, std::ios::binary | std::ios::app) << " and more";
    exportFinished(first);
    EXPECT_EQ(uploadsWhenSettled(3).size(), 3u);
    executor.shutdown(); // every task started so far has ended
    EXPECT_EQ(uploader->uploads().size(), 3u);
}

TEST_F(AnAppDelegate, ReplacesCancelsAndKeepsFlowsAsTheCommandsSay) {
    launch();
    ASSERT_EQ(ask("startExport", {{"projectId", "p1"},
                                  {"token", "t1"},
                                  {"name", "Cut"},
                                  {"outputFolder", (dir / "other").string()}}),
              true);
    // Without a folder the chooser decides; cancelled, the running flow stays.
    EXPECT_EQ(ask("startExport", {{"projectId", "p2"}, {"token", "t2"}}), false);
    ASSERT_EQ(streams.records.size(), 1u);
    EXPECT_FALSE(streams.last().stopped);

    dialogs.answerFolder((dir / "exports").string());
    ASSERT_EQ(ask("startExport", {{"projectId", "p2"}, {"token", "t2"}, {"name", "Cut 2"}}), true);
    ASSERT_EQ(streams.records.size(), 2u);
    EXPECT_TRUE(streams.records[0]->stopped) << "the earlier watcher was not stopped";
    EXPECT_EQ(streams.last().options.paths, std::vector<std::string>{(dir / "exports").string()});
    const std::string path = writeExport("c.m4v", "bytes");
    exportFinished(path);
    EXPECT_EQ(uploadsWhenSettled(1), std::vector<std::string>{path + "|Cut 2|p2|t2"});

    EXPECT_EQ(ask("cancelExport"), true);
    EXPECT_TRUE(streams.last().stopped);
    const std::string late = writeExport("d.mp4", "late");
    streams.last().deliver({{late, kCreated}});
    queue.advance(FileWatcher::kStableTimeout);

    // A folder that cannot be watched answers false.
    streams.failStart = true;
    EXPECT_EQ(ask("startExport", {{"projectId", "p"}, {"token", "t"}, {"outputFolder", late}}),
              false);
    EXPECT_EQ(offMainThread, 0) << "a watcher was made off the main thread";
    executor.shutdown(); // every task started so far has ended
    EXPECT_EQ(uploader->uploads().size(), 1u) << "uploaded after the flow was cancelled";
}

TEST_F(AnAppDelegate, TouchesTheWatcherOnlyOnTheMainThreadUnderConcurrentCommands) {
    launch();
    std::vector<std::string> ids;
    for (int i = 0; i < 20; ++i) {
        const char* folder = i % 2 ? "exports" : "other";
        ids.push_back(
            send("startExport",
                 {{"projectId", "p"}, {"token", "t"}, {"outputFolder", (dir / folder).string()}}));
        ids.push_back(send("cancelExport"));
    }
    for (const auto& id : ids)
        EXPECT_NE(answerTo(id), "no answer");
    EXPECT_EQ(offMainThread, 0);
    ASSERT_EQ(streams.records.size(), 20u);
    for (std::size_t i = 0; i + 1 < streams.records.size(); ++i)
        EXPECT_TRUE(streams.records[i]->stopped) << "two watchers left running";
}

TEST_F(AnAppDelegate, LogsAFailedUploadWithTheFileAndTheReason) {
    uploader->answer.reset();
    launch();
    ASSERT_EQ(
        ask("startExport",
            {{"projectId", "p"}, {"token", "t"}, {"outputFolder", (dir / "exports").string()}}),
        true);
    const std::string path = writeExport("a.mp4", "x");
    ::testing::internal::CaptureStderr();
    exportFinished(path);
    uploadsWhenSettled(1);
    executor.shutdown(); // the task has logged once it has ended
    const std::string logged = ::testing::internal::GetCapturedStderr();
    EXPECT_NE(logged.find("upload of " + path + " failed: the service answered 403"),
              std::string::npos)
        << logged;
    EXPECT_EQ(answers.size(), 1u) << "the panel was told about the upload";
}

TEST_F(AnAppDelegate, ShowsTheInstallAlertOnFirstLaunchAndOnEachReopen) {
    fs::create_directories(dir / "apps");
    std::ofstream(dir / "apps" / "second");
    struct Case {
        std::vector<std::string> paths;
        const char* message;
        Dialogs::AlertStyle style;
    };
    const std::vector<Case> cases = {
        {{}, AppDelegate::kNotFoundMessage, Dialogs::AlertStyle::Warning},
        {{(dir / "apps/first").string(), (dir / "apps/second").string()},
         AppDelegate::kReadyMessage,
         Dialogs::AlertStyle::Informational},
    };
    for (const auto& c : cases) {
        FakeDialogs seen;
        fs::remove_all(dir / "data");
        editorPaths = c.paths;
        AppServices s = services();
        s.dialogs = &seen;
        auto first = std::make_shared<AppDelegate>(s);
        const fs::path marker = first->firstLaunchMarkerPath();
        EXPECT_EQ(marker, dir / "data" / "TavrinFCP" / "first-launch-done");
        EXPECT_TRUE(fs::is_directory(marker.parent_path())) << "made at construction";
        first->applicationDidFinishLaunching();
        ASSERT_EQ(seen.alerts().size(), 1u);
        EXPECT_EQ(seen.alerts()[0].messageText, c.message);
        EXPECT_EQ(seen.alerts()[0].style, c.style);
        EXPECT_EQ(seen.alerts()[0].button, "OK");
        ASSERT_TRUE(fs::exists(marker));
        EXPECT_EQ(fs::file_size(marker), 0u);

        auto again = std::make_shared<AppDelegate>(s);
        again->applicationDidFinishLaunching();
        EXPECT_EQ(seen.alerts().size(), 1u) << "a later launch showed the alert";
        EXPECT_TRUE(again->applicationShouldHandleReopen(false));
        EXPECT_EQ(seen.alerts().size(), 2u);
        EXPECT_FALSE(again->applicationShouldTerminateAfterLastWindowClosed());
        first->applicationWillTerminate();
        again->applicationWillTerminate();
    }
    EXPECT_EQ(std::string(AppDelegate::kNotFoundInformative),
              "FCP was not found in /Applications.\n\nInstall FCP, then re-open this app. The "
              "extension will appear under:\nWindow \u2192 Extensions \u2192 Tavrin");
}

TEST_F(AnAppDelegate, StopsTakingCommandsAndStartingWatchersWhenItTerminates) {
    launch();
    ASSERT_EQ(
        ask("startExport",
            {{"projectId", "p"}, {"token", "t"}, {"outputFolder", (dir / "exports").string()}}),
        true);
    // The program is told to end while a start waits for the user's folder;
    // ending dismisses the chooser.
    dialogs.whileShowing = [this] { delegate->applicationWillTerminate(); };
    EXPECT_EQ(ask("startExport", {{"projectId", "p"}, {"token", "t"}}), false);
    EXPECT_TRUE(streams.last().stopped) << "the watcher runs on after termination";
    EXPECT_EQ(streams.records.size(), 1u) << "a watcher was started after termination";

    send("clearAllMarkers");
    queue.runPending();
    executor.shutdown();
    queue.runPending();
    EXPECT_EQ(answers.size(), 2u) << "a command was taken after termination";
    EXPECT_TRUE(automation->calls().empty());

    // A first-launch alert closed by the ending program was not read: it comes again.
    fs::remove(delegate->firstLaunchMarkerPath());
    auto next = std::make_shared<AppDelegate>(services());
    dialogs.whileShowing = [&] { next->applicationWillTerminate(); };
    next->applicationDidFinishLaunching();
    EXPECT_FALSE(fs::exists(next->firstLaunchMarkerPath()));
}

} // namespace
} // namespace tavrin::container
