#pragma once
// The file-event-stream seam: recursive, file-level change events for a set of
// folders, collected over a delivery latency and handed to a callback on the
// main queue in batches. Events are from the moment the stream starts on: files
// that exist and stay untouched are never reported, nor are files that merely
// come along inside a folder moved into the tree. Only regular files are
// reported as items; a symbolic link never is.
//
// The backend is chosen by the build (makeFileEventStream); code that watches
// folders names only this interface.

#include "common/MainQueue.h"

#include <cstddef>
#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <vector>

namespace tavrin {

// Per-event flags. The values are those of the macOS file-event stream, so code
// reads the same on every platform.
using FileEventFlags = std::uint32_t;
inline constexpr FileEventFlags kFileEventMustScanSubDirs = 0x00000001; // events were lost below
// A watched folder itself was removed or moved away: the stream watches nothing there any more.
inline constexpr FileEventFlags kFileEventRootChanged = 0x00000020;
inline constexpr FileEventFlags kFileEventItemCreated = 0x00000100;
inline constexpr FileEventFlags kFileEventItemRemoved = 0x00000200;
inline constexpr FileEventFlags kFileEventItemRenamed = 0x00000800;
inline constexpr FileEventFlags kFileEventItemModified = 0x00001000;
inline constexpr FileEventFlags kFileEventItemIsFile = 0x00010000;

struct FileEventStreamOptions {
    // Absolute folder paths; each is watched with everything below it.
    std::vector<std::string> paths;
    // How long after the first event of a batch the batch is delivered (seconds).
    MainQueue::Duration latency{2.0};
};

class FileEventStream {
  public:
    // One batch: count events, paths[i] with flags[i] (each path begins with the
    // watched folder's path as given, less trailing slashes). Repeated events for one
    // path within a batch are merged into one entry with the flags combined.
    // Runs on the main queue.
    using Callback = std::function<void(std::size_t count, const std::vector<std::string>& paths,
                                        const std::vector<FileEventFlags>& flags)>;

    virtual ~FileEventStream() = default;

    // Starts watching. Main thread. Never waits for a walk of the watched
    // folders (that happens in the background). Returns false when the stream cannot run (a folder
    // cannot be watched at all); nothing is delivered then.
    virtual bool start() = 0;

    // Stops watching and releases every resource the stream holds. Main
    // thread. Blocks until any background reader has ended; once it returns the
    // callback is not called again. Safe to call when not started, and twice.
    virtual void stop() = 0;
};

// Makes a stream that delivers on queue. Never blocks; the stream does nothing
// until start(). The callback is only called on queue's thread.
using FileEventStreamFactory = std::function<std::unique_ptr<FileEventStream>(
    const FileEventStreamOptions& options, MainQueue& queue, FileEventStream::Callback callback)>;

// The platform's stream (inotify on Linux), defined by the platform library.
std::unique_ptr<FileEventStream> makeFileEventStream(const FileEventStreamOptions& options,
                                                     MainQueue& queue,
                                                     FileEventStream::Callback callback);

} // namespace tavrin
