#pragma once
// The file event stream on inotify.
//
// Watches each folder and every folder below it, adding watches for folders
// that appear later. A file created, written (and closed after that) or moved
// in is reported as created or modified; only regular files are reported, never a
// symbolic link. The files of a folder made in the tree are reported (they are
// new); the files that came along inside a folder moved in or renamed are not,
// unless they were written after the move. Events are collected on a reader
// thread and delivered on the main queue one latency after the first event of a
// batch, repeated events for one path merged into one entry.
//
// The reader keeps a snapshot (size and modification time) of every file in the
// tree, taken by the first walk, which runs on the reader thread so start()
// never blocks, and kept current as batches are delivered. Nothing is lost
// silently, and nothing old is reported as new: when the kernel's event queue
// overflows the tree is walked again and only the files that differ from the
// snapshot are reported as modified; a folder that cannot be watched (the
// user's watch limit) is checked every latency for files that appeared or
// changed while the watch is tried again. Each such episode writes one log line.
// A watched folder that is removed or moved away is reported once with
// kFileEventRootChanged, and nothing below it is reported after that.

#include "common/FileDescriptor.h"
#include "common/FileEventStream.h"

#include <chrono>
#include <map>
#include <memory>
#include <optional>
#include <set>
#include <string>
#include <thread>
#include <unordered_map>
#include <unordered_set>
#include <utility>
#include <vector>

namespace tavrin::linux_platform {

class InotifyEventStream final : public FileEventStream {
  public:
    // Does nothing until start(). callback runs on queue's thread.
    InotifyEventStream(FileEventStreamOptions options, MainQueue& queue, Callback callback);
    // Stops the stream.
    ~InotifyEventStream() override;

    InotifyEventStream(const InotifyEventStream&) = delete;
    InotifyEventStream& operator=(const InotifyEventStream&) = delete;

    // Main thread. Checks and watches the folders themselves, then starts the
    // reader thread, which adds the watches below them while it walks the tree;
    // never waits for the walk. A file of a watched folder (not of a folder below
    // it) that is untouched after start() returns is never reported. False when
    // a folder does not exist, is not a folder or cannot be read, or inotify is
    // unavailable.
    bool start() override;
    // Main thread. Wakes and joins the reader thread and closes its descriptors;
    // returns promptly. No callback runs after it returns.
    void stop() override;

  private:
    using Clock = std::chrono::steady_clock;
    struct Sink {
        Callback callback;
    };

  public:
    struct Signature {
        long long size;
        long long mtimeNs;
        bool operator==(const Signature&) const = default;
    };

  private:
    // How a walk treats the regular files it finds.
    enum class Walk {
        Snapshot, // record them; report those written since `since`
        New,      // a folder made in the tree: record and report every file
        Diff,     // report those that differ from the snapshot, or are unknown
                  // and written since `since`
        Watched,  // a folder watched since start(): record those written before
                  // `since` and leave the others to their events
    };

    void run();
    bool stopRequested() const;
    void readEvents();
    bool isRoot(const std::string& dir) const;
    int addWatch(const std::string& dir);
    bool addTree(const std::string& dir, Walk walk, long long sinceNs);
    void noteFile(std::string path, const Signature& now, Walk walk, long long sinceNs);
    void removeTree(const std::string& dir);
    void rescanAfterOverflow();
    void checkUnwatched();
    FileEventFlags addPending(std::string path, FileEventFlags flags);
    void logUnwatched();
    void deliver();
    void closeDescriptors();
    bool batchOpen() const { return rescanPending_ || !pending_.empty(); }

    FileEventStreamOptions options_;
    MainQueue& queue_;
    std::shared_ptr<Sink> sink_;
    std::chrono::milliseconds latency_;
    std::chrono::milliseconds readInterval_;
    std::chrono::milliseconds pollInterval_;

    FileDescriptor inotify_;
    FileDescriptor stop_; // an eventfd: readable once stop() is asked for
    std::thread reader_;

    // Owned by start() before the reader begins, then by the reader alone.
    std::weak_ptr<Sink> weakSink_;
    std::unordered_map<int, std::string> dirOfWatch_;
    std::unordered_map<std::string, int> watchOfDir_;
    std::set<std::string> unwatched_;             // folders whose watch could not be added
    std::map<std::string, Signature> signatures_; // every regular file the stream knows
    // Files (watch, name) made or written since they were last closed after
    // writing: only their close counts as a change.
    std::set<std::pair<int, std::string>> writtenOpen_;
    long long startedNs_ = 0; // wall-clock time of start(), coarse like file times
    std::map<std::string, int>
        watchedAtStart_; // watched folders watched by start(), with their watch
    std::optional<std::unordered_set<std::string>> seenInWalk_; // during an overflow rescan
    long long lastReadNs_ = 0; // wall-clock time of the last read of events
    std::size_t newlyUnwatched_ = 0;
    int watchError_ = 0; // errno of the last watch that could not be added
    std::unordered_map<std::string, FileEventFlags> pending_;
    std::vector<const std::string*> pendingOrder_; // keys of pending_, first event first
    bool rescanPending_ = false;                   // the queue overflowed during this batch
    Clock::time_point deadline_{};
    // The last merged event, so a run of writes to one file costs a comparison.
    int lastWd_ = -1;
    std::string lastName_;
    FileEventFlags lastFlags_ = 0;
};

} // namespace tavrin::linux_platform
