#pragma once
// FileWatcher: watches the export folder and reports a video file once it has
// been quiet for a while.
//
// Every created-or-modified event for a file with the extension mp4, mov or m4v
// (any case, not hidden) pushes the file's check back to 5 seconds after the
// event. When the check runs and the file is a non-empty regular file (reached
// without following a symbolic link), the
// watcher writes "[FileWatcher] Export detected: NAME (SIZE bytes)" on standard
// output and calls onFileDetected with the full path.
//
// Threads: everything (construction, start, stop, destruction, the events, the
// checks and the callback) runs on the main queue's thread.

#include "common/FileEventStream.h"
#include "common/MainQueue.h"

#include <functional>
#include <memory>
#include <string>
#include <string_view>
#include <unordered_map>
#include <vector>

namespace tavrin::container {

class FileWatcher {
  public:
    // Watches outputFolder (an absolute path) once started. Starts nothing.
    // streamFactory makes the event stream; by default the platform's.
    FileWatcher(std::string outputFolder, MainQueue& mainQueue,
                FileEventStreamFactory streamFactory = makeFileEventStream);
    // Stops watching first.
    ~FileWatcher();

    FileWatcher(const FileWatcher&) = delete;
    FileWatcher& operator=(const FileWatcher&) = delete;

    // Stops any running stream, then creates and starts a new one (delivery
    // latency 2 s). If the stream cannot be made or started the watcher stays
    // idle and reports nothing. Does not block beyond the stream's start.
    void start();
    // Stops the stream and cancels every pending check. Safe when idle.
    void stop();

    // True while a stream is running.
    bool isWatching() const { return stream != nullptr; }

    // Called with the file's full path when a file is reported. Set it before
    // start(). It must not block; callbacks that lead back to the owner should
    // hold it weakly.
    std::function<void(const std::string& path)> onFileDetected;
    // Called when the watched folder itself is removed or moved away: nothing there is watched
    // any more. The watcher stays as it is; the owner decides (it may stop or
    // destroy the watcher from the callback).
    std::function<void()> onFolderGone;

    // Quiet period per file, and the stream's delivery latency (seconds).
    static constexpr MainQueue::Duration kStableTimeout{5.0};
    static constexpr MainQueue::Duration kStreamLatency{2.0};

  private:
    void handleEvents(std::size_t count, const std::vector<std::string>& paths,
                      const std::vector<FileEventFlags>& flags);
    void debounceFile(const std::string& path);
    void checkStable(const std::string& path);

    const std::string outputFolder;
    MainQueue& mainQueue_;
    FileEventStreamFactory streamFactory_;
    std::unique_ptr<FileEventStream> stream;
    // Replaced on every start() and dropped by stop(): a batch from a stream
    // that is no longer the current one finds it gone and is ignored.
    std::shared_ptr<int> streamToken_;
    std::unordered_map<std::string, MainQueue::TimerId> stabilityTimers;
    const MainQueue::Duration stableTimeout = kStableTimeout;
    // Timers hold the watcher weakly through this token.
    std::shared_ptr<int> alive_ = std::make_shared<int>(0);
};

// True when a path names a file the watcher cares about: extension mp4, mov or
// m4v in any case, and a last component that does not begin with ".".
bool isWatchedVideoPath(std::string_view path);

} // namespace tavrin::container
