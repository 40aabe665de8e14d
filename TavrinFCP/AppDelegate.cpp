#include "TavrinFCP/AppDelegate.h"

#include "common/ContainerChannel.h"
#include "common/Log.h"

#include <sys/stat.h>

#include <algorithm>
#include <cctype>
#include <cstdlib>
#include <filesystem>
#include <fstream>

#ifndef TAVRIN_EDITOR_PROGRAM
#define TAVRIN_EDITOR_PROGRAM ""
#endif

namespace tavrin::container {

namespace {

namespace fs = std::filesystem;
using CC = ContainerChannel;

constexpr const char* kSubsystem = "ai.tavrin.fcp";
constexpr const char* kCategory = "AppDelegate";

void log(LogLevel level, const std::string& message) {
    logLine(kSubsystem, kCategory, level, message);
}

// "<data>/TavrinFCP/first-launch-done", with its folder made (errors ignored:
// the marker write fails then too, and the alert comes again next launch).
std::string firstLaunchMarkerIn(const std::string& dataDirectory) {
    fs::path folder = fs::path(dataDirectory) / "TavrinFCP";
    std::error_code ignored;
    fs::create_directories(folder, ignored);
    return (folder / "first-launch-done").string();
}

bool startsWithIgnoringCase(std::string_view text, std::string_view prefix) {
    if (text.size() < prefix.size())
        return false;
    for (std::size_t i = 0; i < prefix.size(); ++i)
        if (std::tolower(static_cast<unsigned char>(text[i])) != prefix[i])
            return false;
    return true;
}

} // namespace

AppDelegate::AppDelegate(AppServices services)
    : services_(std::move(services)), mainQueue_(*services_.mainQueue),
      firstLaunchMarker(firstLaunchMarkerIn(services_.dataDirectory)) {
}

AppDelegate::~AppDelegate() = default;

std::vector<std::string> AppDelegate::defaultEditorPaths() {
    std::vector<std::string> paths;
    if (const char* list = std::getenv("TAVRIN_EDITOR_PATHS")) {
        std::string_view rest(list);
        while (!rest.empty()) {
            auto colon = rest.find(':');
            std::string_view entry = rest.substr(0, colon);
            if (!entry.empty())
                paths.emplace_back(entry);
            rest = colon == std::string_view::npos ? std::string_view() : rest.substr(colon + 1);
        }
        return paths;
    }
#ifdef __APPLE__
    return {"/Applications/Final Cut Pro.app/Contents/MacOS/Final Cut Pro",
            "/Applications/Final Cut Pro Creator Studio.app/Contents/MacOS/Final Cut Pro"};
#else
    if (*TAVRIN_EDITOR_PROGRAM)
        paths.emplace_back(TAVRIN_EDITOR_PROGRAM);
    return paths;
#endif
}

bool AppDelegate::isOpenableURL(const std::string& text) {
    std::size_t authority = 0;
    if (startsWithIgnoringCase(text, "http://"))
        authority = 7;
    else if (startsWithIgnoringCase(text, "https://"))
        authority = 8;
    else
        return false;
    if (authority >= text.size() || text[authority] == '/' || text[authority] == '?' ||
        text[authority] == '#')
        return false; // no host
    // Not a URL at all with white space or control characters in it.
    return std::none_of(text.begin(), text.end(), [](char c) {
        auto byte = static_cast<unsigned char>(c);
        return byte <= 0x20 || byte == 0x7f;
    });
}

// --- lifecycle ---------------------------------------------------------------

void AppDelegate::applicationDidFinishLaunching() {
    appleScriptBridge = services_.makeAutomation();
    uploadManager = services_.makeUploader();

    std::weak_ptr<AppDelegate> weak = weak_from_this();
    commandObservation_ = services_.notificationCenter->observe(
        CC::kCommandNotification, mainQueue_, [weak](const Notification& notification) {
            if (auto self = weak.lock())
                self->handleExtensionCommand(notification);
        });

    std::error_code error;
    if (!fs::exists(firstLaunchMarker, error)) {
        showInstallDialog();
        // An alert closed because the app is ending was not read: show it
        // again next time. A marker that cannot be written only means the same.
        if (!terminating_)
            std::ofstream marker(firstLaunchMarker, std::ios::binary | std::ios::trunc);
    }
}

bool AppDelegate::applicationShouldHandleReopen(bool /*hasVisibleWindows*/) {
    showInstallDialog();
    return true;
}

void AppDelegate::applicationWillTerminate() {
    commandObservation_.remove();
    terminating_ = true;
    if (fileWatcher)
        fileWatcher->stop();
    // Running uploads end now rather than hold the shutdown bound.
    if (uploadManager)
        uploadManager->cancelAll();
    {
        std::lock_guard lock(handoff_->mutex);
        handoff_->closed = true;
    }
    handoff_->settled.notify_all();
}

void AppDelegate::showInstallDialog() {
    const bool editorFound = std::any_of(services_.editorPaths.begin(), services_.editorPaths.end(),
                                         [](const std::string& path) {
                                             std::error_code error;
                                             return fs::exists(path, error);
                                         });
    Dialogs::Alert alert;
    alert.messageText = editorFound ? kReadyMessage : kNotFoundMessage;
    alert.informativeText = editorFound ? kReadyInformative : kNotFoundInformative;
    alert.style = editorFound ? Dialogs::AlertStyle::Informational : Dialogs::AlertStyle::Warning;
    services_.dialogs->runAlert(alert);
}

// --- commands ----------------------------------------------------------------

void AppDelegate::handleExtensionCommand(const Notification& notification) {
    if (!notification.userInfo)
        return;
    auto command = stringFor(*notification.userInfo, CC::kCommandKey);
    if (!command)
        return;
    auto requestId = stringFor(*notification.userInfo, CC::kRequestIdKey);
    if (!requestId)
        return;
    auto self = shared_from_this();
    std::function<void()> task = [self, command = *command, userInfo = *notification.userInfo,
                                  requestId = *requestId] {
        std::optional<Value> result;
        try {
            result = self->performCommand(command, userInfo);
        } catch (...) {
            result.reset(); // an automation failure answers "no value"
        }
        self->sendResponse(requestId, result);
    };
    const bool drivesTheEditor = *command == CC::kSyncComment || *command == CC::kDeleteComment ||
                                 *command == CC::kSyncAllComments ||
                                 *command == CC::kClearAllMarkers ||
                                 *command == CC::kGetMarkerAtTime;
    if (drivesTheEditor)
        spawnEditorTask(std::move(task), *requestId);
    else if (!services_.executor->spawn(std::move(task)))
        sendResponse(*requestId, std::nullopt); // terminating: still one answer
}

// The editor's commands take turns in one lane, each holding its worker while
// it waits: a burst of them would take every worker the executor may start,
// and a "cancelExport" or an upload would wait behind them all. So only a few
// run at once; each, when it ends, runs the next one waiting on its worker.
void AppDelegate::spawnEditorTask(std::function<void()> task, const std::string& requestId) {
    auto tasks = editorTasks_;
    {
        std::lock_guard lock(tasks->mutex);
        if (tasks->running >= kMaxEditorTasks) {
            tasks->waiting.push_back(std::move(task));
            return;
        }
        ++tasks->running;
    }
    const bool spawned = services_.executor->spawn([tasks, task = std::move(task)]() mutable {
        for (;;) {
            try {
                task();
            } catch (...) {
                // answered inside; nothing may end the turn-taking
            }
            std::lock_guard lock(tasks->mutex);
            if (tasks->waiting.empty()) {
                --tasks->running;
                return;
            }
            task = std::move(tasks->waiting.front());
            tasks->waiting.pop_front();
        }
    });
    if (!spawned) {
        {
            std::lock_guard lock(tasks->mutex);
            --tasks->running;
        }
        sendResponse(requestId, std::nullopt); // terminating: still one answer
    }
}

void AppDelegate::sendResponse(const std::string& requestId, const std::optional<Value>& result) {
    if (services_.notificationCenter->post(
            CC::kResponseNotification,
            CC::makeResponseMessage(requestId, result ? *result : Value(nullptr))))
        return;
    // A result the channel cannot carry (a chosen folder whose name is not
    // UTF-8) still gets its one answer, "no value", rather than leave the
    // panel waiting for its time-out.
    if (result && !result->is_null())
        services_.notificationCenter->post(CC::kResponseNotification,
                                           CC::makeResponseMessage(requestId, Value(nullptr)));
}

std::optional<Value> AppDelegate::performCommand(const std::string& command,
                                                 const Dictionary& userInfo) {
    if (command == CC::kSyncComment) {
        auto comment = dictionaryFor(userInfo, CC::kCommentKey).value_or(Dictionary::object());
        return Value(appleScriptBridge->syncComment(comment));
    }
    if (command == CC::kDeleteComment) {
        auto commentId = stringFor(userInfo, CC::kCommentIdKey);
        if (!commentId)
            return Value(false);
        return Value(appleScriptBridge->deleteComment(*commentId));
    }
    if (command == CC::kSyncAllComments) {
        auto comments =
            arrayOfDictionariesFor(userInfo, CC::kCommentsKey).value_or(std::vector<Dictionary>());
        return Value(appleScriptBridge->syncAllComments(comments));
    }
    if (command == CC::kClearAllMarkers)
        return Value(appleScriptBridge->clearAllMarkers());
    if (command == CC::kGetMarkerAtTime) {
        double seconds = numberFor(userInfo, CC::kSecondsKey).value_or(0.0);
        double threshold = numberFor(userInfo, CC::kThresholdKey).value_or(0.5);
        auto marker = appleScriptBridge->getMarkerAtTime(seconds, threshold);
        if (!marker)
            return std::nullopt;
        return Value(*marker);
    }
    if (command == CC::kStartExport) {
        auto projectId = stringFor(userInfo, CC::kProjectIdKey);
        auto token = stringFor(userInfo, CC::kTokenKey);
        if (!projectId || !token)
            return Value(false);
        return Value(startExportFlow(*projectId, *token, stringFor(userInfo, CC::kNameKey),
                                     stringFor(userInfo, CC::kOutputFolderKey)));
    }
    if (command == CC::kCancelExport) {
        // Uploads already running go on to their end.
        onMainThread<bool>([this] {
            if (fileWatcher)
                fileWatcher->stop();
            return true;
        });
        return Value(true);
    }
    if (command == CC::kSelectOutputFolder) {
        auto folder = selectOutputFolder();
        if (!folder)
            return std::nullopt;
        return Value(*folder);
    }
    if (command == CC::kOpenURL) {
        if (auto url = stringFor(userInfo, CC::kURLKey)) {
            if (isOpenableURL(*url))
                services_.workspace->openURL(*url);
            else
                log(LogLevel::Error,
                    "openURL: not opening \"" + *url + "\": only http and https URLs are opened");
        }
        return Value(true);
    }
    return std::nullopt;
}

// --- export flow ---------------------------------------------------------------

bool AppDelegate::startExportFlow(const std::string& projectId, const std::string& token,
                                  const std::optional<std::string>& name,
                                  const std::optional<std::string>& outputFolder) {
    std::optional<std::string> folder = outputFolder;
    if (!folder)
        folder = selectOutputFolder();
    if (!folder)
        return false;
    auto flow = std::make_shared<ExportFlow>(ExportFlow{projectId, token, name, {}});
    return onMainThread<bool>(
               [this, folder = *folder, flow] { return installWatcher(folder, flow); })
        .value_or(false);
}

std::optional<std::string> AppDelegate::selectOutputFolder() {
    auto chosen = onMainThread<std::optional<std::string>>([this] {
        Dialogs::FolderChoice choice;
        choice.prompt = kChooserPrompt;
        choice.message = kChooserMessage;
        choice.canCreateDirectories = true;
        return services_.dialogs->chooseFolder(choice);
    });
    if (!chosen || !*chosen || (*chosen)->empty())
        return std::nullopt;
    return **chosen;
}

// Main thread. The new watcher is started first: when it cannot watch the
// folder, the earlier flow keeps watching and the command answers false. The
// earlier watcher is stopped before it is released.
bool AppDelegate::installWatcher(const std::string& folder,
                                 const std::shared_ptr<ExportFlow>& flow) {
    if (terminating_)
        return false;
    auto watcher = std::make_unique<FileWatcher>(folder, mainQueue_, services_.streamFactory);
    std::weak_ptr<AppDelegate> weak = weak_from_this();
    watcher->onFileDetected = [weak, flow](const std::string& path) {
        if (auto self = weak.lock())
            self->exportDetected(flow, path);
    };
    watcher->start();
    if (!watcher->isWatching()) {
        log(LogLevel::Error, "startExport: cannot watch " + folder);
        return false;
    }
    if (fileWatcher)
        fileWatcher->stop();
    fileWatcher = std::move(watcher);
    log(LogLevel::Info, "watching " + folder + " for exports");
    return true;
}

// Main thread (the watcher's callback).
void AppDelegate::exportDetected(const std::shared_ptr<ExportFlow>& flow, const std::string& path) {
    if (terminating_)
        return;
    struct stat info {};
    if (::stat(path.c_str(), &info) != 0)
        return; // gone again; a new export brings a new report
    const std::int64_t modified =
        static_cast<std::int64_t>(info.st_mtim.tv_sec) * 1'000'000'000 + info.st_mtim.tv_nsec;
    // A rescan reports a file again, and a renamed export is reported under
    // its new name: an export already sent (or being sent) stays sent. One
    // whose upload failed is tried again.
    auto [entry, inserted] = flow->started.try_emplace(
        {static_cast<std::uint64_t>(info.st_dev), static_cast<std::uint64_t>(info.st_ino),
         static_cast<std::int64_t>(info.st_size), modified});
    if (!inserted && !entry->second->load()) {
        log(LogLevel::Info, "not uploading " + path + " again: this export was already uploaded");
        return;
    }
    auto failed = std::make_shared<std::atomic<bool>>(false);
    entry->second = failed;
    auto self = shared_from_this();
    services_.executor->spawn([self, flow, path, failed] {
        if (!self->uploadExport(*flow, path))
            failed->store(true);
    });
}

// A task on the executor. False when the export was not uploaded.
bool AppDelegate::uploadExport(const ExportFlow& flow, const std::string& path) {
    auto uploader = uploadManager;
    if (!uploader)
        return false;
    const std::string name = flow.name.value_or(kDefaultExportName);
    std::string failure;
    auto videoId = uploader->uploadFile(path, name, flow.projectId, flow.token, &failure);
    if (videoId)
        log(LogLevel::Info, "uploaded " + path + " as video " + *videoId);
    else
        log(LogLevel::Error,
            "upload of " + path + " failed: " + (failure.empty() ? "unknown reason" : failure));
    return videoId.has_value();
}

// --- main-thread hand-off --------------------------------------------------------

template <class T> std::optional<T> AppDelegate::onMainThread(std::function<T()> work) {
    struct Pending {
        std::optional<T> value;
        bool done = false;
    };
    auto pending = std::make_shared<Pending>();
    auto handoff = handoff_;
    {
        std::lock_guard lock(handoff->mutex);
        if (handoff->closed)
            return std::nullopt;
    }
    mainQueue_.post([handoff, pending, work = std::move(work)] {
        {
            std::lock_guard lock(handoff->mutex);
            if (handoff->closed)
                return;
        }
        std::optional<T> value;
        try {
            value = work();
        } catch (...) {
            // answered as "no value" below
        }
        {
            std::lock_guard lock(handoff->mutex);
            pending->value = std::move(value);
            pending->done = true;
        }
        handoff->settled.notify_all();
    });
    std::unique_lock lock(handoff->mutex);
    handoff->settled.wait(lock, [&] { return pending->done || handoff->closed; });
    if (!pending->done)
        return std::nullopt;
    return std::move(pending->value);
}

} // namespace tavrin::container
