#pragma once
// AppDelegate: the container app's application delegate. It creates the
// long-lived services at launch, answers the panel's commands arriving on the
// container channel, runs the export flow (a folder watcher whose finished
// exports are uploaded), and shows the install alert on the first launch and
// whenever the user opens the running app again.
//
// Threads. Construction, the application callbacks and applicationWillTerminate
// run on the main queue's thread. Each command runs as one task on the
// executor and is answered with exactly one response, in completion order.
// The commands that drive the editor wait for its one lane: at most
// kMaxEditorTasks of them hold a worker at a time (the rest wait in turn), so
// a burst of them never leaves the other commands and the uploads without one.
// Everything that touches the file watcher or a dialog is handed to the main
// thread, and the command's task waits for it there; so every access to the
// watcher is serialised on one thread. The delegate is owned by a shared_ptr
// (its observer and the watcher's callback hold it weakly) and must be
// released on the main thread after the executor has been shut down.

#include "TavrinFCP/ExportUploader.h"
#include "TavrinFCP/FileWatcher.h"
#include "TavrinFCP/MarkerAutomation.h"
#include "common/Dialogs.h"
#include "common/FileEventStream.h"
#include "common/MainQueue.h"
#include "common/NotificationCenter.h"
#include "common/TaskExecutor.h"
#include "common/Value.h"
#include "common/Workspace.h"

#include <atomic>
#include <condition_variable>
#include <cstddef>
#include <cstdint>
#include <deque>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <tuple>
#include <vector>

namespace tavrin::container {

// What the delegate is given. The referenced objects must outlive it.
struct AppServices {
    MainQueue* mainQueue = nullptr;
    NotificationCenter* notificationCenter = nullptr;
    // The executor the command and upload tasks run on; the program owns it.
    TaskExecutor* executor = nullptr;
    Dialogs* dialogs = nullptr;
    Workspace* workspace = nullptr;
    // The user's data folder ($XDG_DATA_HOME, default ~/.local/share; on macOS
    // Application Support); the first-launch marker lives in "TavrinFCP" there.
    std::string dataDirectory;
    // The editor counts as installed when one of these files exists.
    std::vector<std::string> editorPaths;
    // Called once at launch.
    std::function<std::shared_ptr<MarkerAutomation>()> makeAutomation;
    std::function<std::shared_ptr<ExportUploader>()> makeUploader;
    // The export watcher's event stream.
    FileEventStreamFactory streamFactory = makeFileEventStream;
};

class AppDelegate : public std::enable_shared_from_this<AppDelegate> {
  public:
    // The alert's texts.
    static constexpr const char* kReadyMessage = "Tavrin for Final Cut Pro is ready";
    static constexpr const char* kReadyInformative =
        "Restart Final Cut Pro, then open:\nWindow \u2192 Extensions \u2192 Tavrin\n\n"
        "This helper runs silently in the background while FCP is open.";
    static constexpr const char* kNotFoundMessage = "Tavrin installed (FCP not detected)";
    static constexpr const char* kNotFoundInformative =
        "FCP was not found in /Applications.\n\nInstall FCP, then re-open this app. The "
        "extension will appear under:\nWindow \u2192 Extensions \u2192 Tavrin";
    // The folder chooser's texts.
    static constexpr const char* kChooserPrompt = "Select Export Folder";
    static constexpr const char* kChooserMessage = "Choose where FCP exports will be saved";
    // An upload without a name in its flow is named this.
    static constexpr const char* kDefaultExportName = "Export";
    // Commands driving the editor that hold an executor worker at once.
    static constexpr std::size_t kMaxEditorTasks = 4;

    // Computes the first-launch marker's path and creates its folder (errors
    // ignored). Starts nothing.
    explicit AppDelegate(AppServices services);
    ~AppDelegate();
    AppDelegate(const AppDelegate&) = delete;
    AppDelegate& operator=(const AppDelegate&) = delete;

    // The launch: creates the automation and the uploader, starts observing
    // commands, and on the first launch shows the alert (returning once it is
    // dismissed) and then writes the marker file.
    void applicationDidFinishLaunching();
    // The user opened the running app again: shows the alert. Returns true.
    bool applicationShouldHandleReopen(bool hasVisibleWindows);
    // The app runs without windows: false.
    bool applicationShouldTerminateAfterLastWindowClosed() const { return false; }

    // The first steps of the shutdown: takes no more commands, stops the
    // watcher, starts no more uploads, and answers every task waiting for the
    // main thread as cancelled (a chooser answers no folder). Running tasks
    // go on; the program then shuts the executor down. Idempotent.
    void applicationWillTerminate();

    const std::string& firstLaunchMarkerPath() const { return firstLaunchMarker; }

    // $TAVRIN_EDITOR_PATHS (colon-separated) when set, else this platform's
    // editor program paths.
    static std::vector<std::string> defaultEditorPaths();

    // Whether the openURL command may hand this text to the desktop: an http
    // or https URL with a host. Other schemes would let any sender on the
    // session bus open local files and programs.
    static bool isOpenableURL(const std::string& text);

  private:
    // One export flow's parameters, and the exports whose upload it started,
    // kept on the main thread. An export is known by its file (device, inode)
    // and content stamp (size, modification time in ns): renamed, or linked
    // under a second name, it is the same export. Each entry's flag is set
    // when that upload failed; a later report of the export tries again.
    struct ExportFlow {
        const std::string projectId;
        const std::string token;
        const std::optional<std::string> name;
        std::map<std::tuple<std::uint64_t, std::uint64_t, std::int64_t, std::int64_t>,
                 std::shared_ptr<std::atomic<bool>>>
            started;
    };
    // Hands work to the main thread; closed at termination.
    struct Handoff {
        std::mutex mutex;
        std::condition_variable settled;
        bool closed = false;
    };

    // The editor's commands beyond kMaxEditorTasks, in arrival order; each
    // running one takes the next when it ends.
    struct EditorTasks {
        std::mutex mutex;
        std::size_t running = 0;
        std::deque<std::function<void()>> waiting;
    };

    void handleExtensionCommand(const Notification& notification);
    void spawnEditorTask(std::function<void()> task, const std::string& requestId);
    void sendResponse(const std::string& requestId, const std::optional<Value>& result);
    std::optional<Value> performCommand(const std::string& command, const Dictionary& userInfo);

    bool startExportFlow(const std::string& projectId, const std::string& token,
                         const std::optional<std::string>& name,
                         const std::optional<std::string>& outputFolder);
    std::optional<std::string> selectOutputFolder();
    bool installWatcher(const std::string& folder, const std::shared_ptr<ExportFlow>& flow);
    void exportDetected(const std::shared_ptr<ExportFlow>& flow, const std::string& path);
    bool uploadExport(const ExportFlow& flow, const std::string& path);
    void showInstallDialog();

    // Runs work on the main thread and waits for its result; no value when
    // the app is terminating. Never call it on the main thread.
    template <class T> std::optional<T> onMainThread(std::function<T()> work);

    AppServices services_;
    MainQueue& mainQueue_;
    std::shared_ptr<Handoff> handoff_ = std::make_shared<Handoff>();
    NotificationCenter::Observation commandObservation_;
    std::shared_ptr<EditorTasks> editorTasks_ = std::make_shared<EditorTasks>();
    bool terminating_ = false; // main thread

    // Set at launch, before the command observer exists; read by tasks.
    std::shared_ptr<MarkerAutomation> appleScriptBridge;
    // Main thread only.
    std::unique_ptr<FileWatcher> fileWatcher;
    std::shared_ptr<ExportUploader> uploadManager;
    const std::string firstLaunchMarker;
};

} // namespace tavrin::container
