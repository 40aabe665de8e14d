#include "platform/linux/InotifyEventStream.h"

#include "common/Errno.h"
#include "common/Log.h"
#include "common/Paths.h"

#include <dirent.h>
#include <fcntl.h>
#include <poll.h>
#include <sys/eventfd.h>
#include <sys/inotify.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>

namespace tavrin::linux_platform {

namespace {

constexpr const char* kSubsystem = "ai.tavrin.fcp";
constexpr const char* kCategory = "FileEventStream";

constexpr std::uint32_t kWatchMask = IN_CREATE | IN_MODIFY | IN_CLOSE_WRITE | IN_MOVED_TO |
                                     IN_MOVED_FROM | IN_DELETE | IN_ONLYDIR | IN_DONT_FOLLOW |
                                     IN_EXCL_UNLINK;

// File times are at least the kernel's coarse clock at the write, so a file
// written after this reading has a time not before it (one written a tick
// before may count as written since: reported once more rather than missed).
long long coarseNowNs() {
    timespec now{};
    ::clock_gettime(CLOCK_REALTIME_COARSE, &now);
    return now.tv_sec * 1'000'000'000LL + now.tv_nsec;
}

InotifyEventStream::Signature signatureOf(const struct stat& info) {
    return {static_cast<long long>(info.st_size),
            info.st_mtim.tv_sec * 1'000'000'000LL + info.st_mtim.tv_nsec};
}

} // namespace

InotifyEventStream::InotifyEventStream(FileEventStreamOptions options, MainQueue& queue,
                                       Callback callback)
    : options_(std::move(options)), queue_(queue),
      sink_(std::make_shared<Sink>(Sink{std::move(callback)})) {
    auto latency = std::chrono::duration_cast<std::chrono::milliseconds>(options_.latency);
    latency_ = std::max(latency, std::chrono::milliseconds(0));
    // While a batch is open the reader reads at most this often, so the kernel
    // merges the many identical write events of a large export for us.
    readInterval_ = std::min(std::chrono::milliseconds(100), latency_ / 4);
    pollInterval_ = std::max(latency_, std::chrono::milliseconds(10));
    for (auto& path : options_.paths)
        path = std::string(withoutTrailingSlashes(path));
}

InotifyEventStream::~InotifyEventStream() {
    stop();
}

bool InotifyEventStream::start() {
    if (reader_.joinable())
        return true;
    if (!sink_)
        return false; // stopped streams stay stopped
    inotify_.reset(inotify_init1(IN_NONBLOCK | IN_CLOEXEC));
    stop_.reset(eventfd(0, EFD_NONBLOCK | EFD_CLOEXEC));
    if (!inotify_.valid() || !stop_.valid()) {
        logLine(kSubsystem, kCategory, LogLevel::Error,
                "cannot start watching: " + errnoText(errno));
        closeDescriptors();
        return false;
    }
    for (const auto& root : options_.paths) {
        struct stat info {};
        if (::stat(root.c_str(), &info) != 0 || !S_ISDIR(info.st_mode) ||
            ::access(root.c_str(), R_OK | X_OK) != 0) {
            logLine(kSubsystem, kCategory, LogLevel::Error,
                    "cannot watch " + root + ": not a readable folder");
            closeDescriptors();
            return false;
        }
    }
    startedNs_ = coarseNowNs();
    // The watched folders themselves are watched before start() returns (one
    // call each, no walk): a file written there from now on is an event, so the
    // first walk need not tell from file times, which are as coarse as a clock
    // tick, whether an export there was written just before start() or after.
    for (const auto& root : options_.paths) {
        int wd = addWatch(root);
        if (wd < 0)
            continue; // the walk tries again and says why
        dirOfWatch_[wd] = root;
        watchOfDir_[root] = wd;
        watchedAtStart_[root] = wd;
    }
    weakSink_ = sink_;
    reader_ = std::thread([this] { run(); });
    return true;
}

void InotifyEventStream::stop() {
    if (reader_.joinable()) {
        std::uint64_t one = 1;
        // An eventfd write of 8 bytes cannot be short; retry only on a signal.
        while (::write(stop_.get(), &one, sizeof one) < 0 && errno == EINTR) {
        }
        reader_.join();
    }
    closeDescriptors();
    sink_.reset(); // batches already posted find the sink gone
}

void InotifyEventStream::closeDescriptors() {
    inotify_.reset();
    stop_.reset();
}

bool InotifyEventStream::stopRequested() const {
    pollfd stop{stop_.get(), POLLIN, 0};
    return ::poll(&stop, 1, 0) > 0;
}

void InotifyEventStream::run() {
    using std::chrono::milliseconds;
    // The first walk: watches every folder and takes the snapshot. Files written
    // since start() (before their folder's watch was added) are reported.
    for (const auto& root : options_.paths) {
        if (!addTree(root, Walk::Snapshot, startedNs_))
            return; // stopped meanwhile
        if (!watchOfDir_.count(root) && !unwatched_.count(root))
            addPending(root, kFileEventRootChanged); // gone since start()
    }
    logUnwatched();
    auto nextRead = Clock::now();
    auto nextCheck = Clock::now() + pollInterval_;
    for (;;) {
        auto now = Clock::now();
        if (batchOpen() && now >= deadline_) {
            if (rescanPending_)
                rescanAfterOverflow();
            deliver();
            continue;
        }
        if (!unwatched_.empty() && now >= nextCheck) {
            checkUnwatched();
            nextCheck = Clock::now() + pollInterval_;
            continue;
        }
        auto wakeAt = Clock::time_point::max();
        if (batchOpen())
            wakeAt = deadline_;
        if (!unwatched_.empty())
            wakeAt = std::min(wakeAt, nextCheck);
        bool readNow = !batchOpen() || now >= nextRead;
        if (!readNow)
            wakeAt = std::min(wakeAt, nextRead);

        int timeout = -1;
        if (wakeAt != Clock::time_point::max()) {
            auto wait = std::chrono::ceil<milliseconds>(wakeAt - now).count();
            timeout = static_cast<int>(std::clamp<long long>(wait, 0, 60'000));
        }
        pollfd fds[2] = {{stop_.get(), POLLIN, 0},
                         {inotify_.get(), readNow ? short(POLLIN) : short(0), 0}};
        int ready = ::poll(fds, 2, timeout);
        if (ready < 0 && errno != EINTR) {
            logLine(kSubsystem, kCategory, LogLevel::Fault,
                    "stopped watching: poll failed: " + errnoText(errno));
            return;
        }
        if (ready <= 0)
            continue;
        if (fds[0].revents != 0)
            return;
        if (fds[1].revents & POLLIN) {
            readEvents();
            if (batchOpen())
                nextRead = Clock::now() + readInterval_;
        }
    }
}

void InotifyEventStream::readEvents() {
    alignas(inotify_event) char buffer[64 * 1024];
    bool overflowed = false;
    // Anything in a folder moved in that was written after the move was written
    // after the previous read; the floor bounds that window when the reader was idle.
    const long long nowNs = coarseNowNs();
    const long long readAtNs = std::max(lastReadNs_, nowNs - 1'000'000'000LL);
    lastReadNs_ = nowNs;
    // Bounded, so a writer that never pauses cannot keep the reader from
    // delivering; the rest is read on the next round.
    for (int round = 0; round < 16; ++round) {
        ssize_t got = ::read(inotify_.get(), buffer, sizeof buffer);
        if (got <= 0)
            break;
        for (char* at = buffer; at < buffer + got;) {
            auto* event = reinterpret_cast<inotify_event*>(at);
            at += sizeof(inotify_event) + event->len;
            if (event->mask & IN_Q_OVERFLOW) {
                overflowed = true;
                continue;
            }
            std::string_view name = event->len ? std::string_view(event->name) : std::string_view();
            FileEventFlags flags = 0;
            if (!(event->mask & IN_ISDIR)) {
                if (event->mask & IN_CREATE)
                    flags |= kFileEventItemCreated;
                if (event->mask & IN_MOVED_TO)
                    flags |= kFileEventItemCreated | kFileEventItemRenamed;
                if (event->mask & (IN_MODIFY | IN_CLOSE_WRITE))
                    flags |= kFileEventItemModified;
            }
            // Closing a file opened for writing is a change only when it was
            // written since it was made or last closed: `touch`, or a program
            // that opens an export read-write and writes nothing, must not
            // have it reported (and uploaded) again. A file written through a
            // mapping, which gives no IN_MODIFY, was made or resized first.
            if ((event->mask & (IN_CLOSE_WRITE | IN_ISDIR)) == IN_CLOSE_WRITE &&
                !(event->mask & (IN_MODIFY | IN_CREATE | IN_MOVED_TO)) &&
                writtenOpen_.erase({event->wd, std::string(name)}) == 0)
                flags = 0;
            // A run of writes to one file: already pending with these flags.
            if (flags != 0 && event->wd == lastWd_ && (flags & ~lastFlags_) == 0 &&
                name == lastName_)
                continue;

            auto dirIt = dirOfWatch_.find(event->wd);
            if (dirIt == dirOfWatch_.end())
                continue;
            if (event->mask & IN_IGNORED) {
                // The folder is gone (or was moved away and unwatched).
                if (isRoot(dirIt->second)) {
                    logLine(kSubsystem, kCategory, LogLevel::Error,
                            "stopped watching " + dirIt->second + ": the folder was removed");
                    addPending(dirIt->second, kFileEventRootChanged);
                }
                auto byPath = watchOfDir_.find(dirIt->second);
                if (byPath != watchOfDir_.end() && byPath->second == event->wd)
                    watchOfDir_.erase(byPath);
                dirOfWatch_.erase(dirIt);
                lastWd_ = -1;
                continue;
            }
            if ((event->mask & IN_MOVE_SELF) && isRoot(dirIt->second)) {
                std::string root = dirIt->second;
                logLine(kSubsystem, kCategory, LogLevel::Error,
                        "stopped watching " + root + ": the folder was moved away");
                addPending(root, kFileEventRootChanged);
                removeTree(root);
                continue;
            }
            if (name.empty())
                continue;
            std::string path = joinPath(dirIt->second, name);
            if (event->mask & IN_ISDIR) {
                if (event->mask & IN_MOVED_FROM)
                    removeTree(path);
                // A folder made here holds only new files; one moved in (or
                // renamed) brings old ones, reported only if written since.
                if (event->mask & IN_CREATE)
                    addTree(path, Walk::New, 0);
                else if (event->mask & IN_MOVED_TO)
                    addTree(path, Walk::Snapshot, readAtNs);
                continue;
            }
            if (event->mask & (IN_DELETE | IN_MOVED_FROM)) {
                signatures_.erase(path);
                writtenOpen_.erase({event->wd, std::string(name)});
                continue;
            }
            if (flags == 0)
                continue;
            if (event->mask & (IN_MODIFY | IN_CREATE | IN_MOVED_TO))
                writtenOpen_.emplace(event->wd, name);
            flags |= kFileEventItemIsFile;
            lastFlags_ = addPending(std::move(path), flags);
            lastWd_ = event->wd;
            lastName_.assign(name);
        }
        if (static_cast<std::size_t>(got) < sizeof buffer / 2)
            break;
    }
    if (overflowed) {
        // One walk per batch however often the queue overflows meanwhile: it
        // runs when the batch is delivered.
        if (!batchOpen())
            deadline_ = Clock::now() + latency_;
        rescanPending_ = true;
    }
    logUnwatched();
}

bool InotifyEventStream::isRoot(const std::string& dir) const {
    return std::find(options_.paths.begin(), options_.paths.end(), dir) != options_.paths.end();
}

// A watched folder given as a symbolic link is followed; links met below it are not.
int InotifyEventStream::addWatch(const std::string& dir) {
    // A watched folder moved away is no longer at its path: its events would
    // be reported under a path that now names something else.
    std::uint32_t mask =
        isRoot(dir) ? ((kWatchMask & ~std::uint32_t(IN_DONT_FOLLOW)) | IN_MOVE_SELF) : kWatchMask;
    return inotify_add_watch(inotify_.get(), dir.c_str(), mask);
}

// Watches dir and everything below it. Each folder is watched before it is
// listed, so a file created meanwhile is either listed or seen as an event.
// False when stop() was asked for during the walk.
bool InotifyEventStream::addTree(const std::string& top, Walk walk, long long sinceNs) {
    std::vector<std::string> stack{top};
    std::size_t listed = 0;
    while (!stack.empty()) {
        if (++listed % 64 == 0 && stopRequested())
            return false;
        std::string dir = std::move(stack.back());
        stack.pop_back();
        int wd = addWatch(dir);
        // The files of a folder watched since start() are reported by their
        // events alone.
        Walk filesWalk = walk;
        if (auto early = watchedAtStart_.find(dir);
            walk == Walk::Snapshot && early != watchedAtStart_.end() && early->second == wd)
            filesWalk = Walk::Watched;
        if (wd >= 0) {
            auto old = dirOfWatch_.find(wd);
            if (old != dirOfWatch_.end() && old->second != dir)
                watchOfDir_.erase(old->second); // same folder under a new name
            dirOfWatch_[wd] = dir;
            watchOfDir_[dir] = wd;
            unwatched_.erase(dir);
        } else if (errno == ENOENT || errno == ENOTDIR) {
            continue; // gone again, or not a folder after all
        } else if (unwatched_.insert(dir).second) {
            ++newlyUnwatched_;
            watchError_ = errno;
        }

        DIR* listing = ::opendir(dir.c_str());
        if (!listing)
            continue;
        const int dirFd = ::dirfd(listing);
        while (dirent* entry = ::readdir(listing)) {
            std::string_view name = entry->d_name;
            if (name == "." || name == "..")
                continue;
            if (entry->d_type == DT_DIR) {
                stack.push_back(joinPath(dir, name));
                continue;
            }
            if (entry->d_type != DT_REG && entry->d_type != DT_UNKNOWN)
                continue; // links, sockets, devices: never reported
            struct stat info {};
            if (::fstatat(dirFd, entry->d_name, &info, AT_SYMLINK_NOFOLLOW) != 0)
                continue;
            if (S_ISDIR(info.st_mode))
                stack.push_back(joinPath(dir, name));
            else if (S_ISREG(info.st_mode))
                noteFile(joinPath(dir, name), signatureOf(info), filesWalk, sinceNs);
        }
        ::closedir(listing);
    }
    return true;
}

// Records a regular file found by a walk, and reports it when the walk says so.
void InotifyEventStream::noteFile(std::string path, const Signature& now, Walk walk,
                                  long long sinceNs) {
    // Possibly written since start(): its events tell. It stays unknown, so a
    // rescan after those events are lost still reports it.
    if (walk == Walk::Watched && now.mtimeNs >= sinceNs)
        return;
    if (seenInWalk_)
        seenInWalk_->insert(path);
    auto [known, inserted] = signatures_.try_emplace(path, now);
    bool written = now.mtimeNs >= sinceNs;
    FileEventFlags flags = 0;
    switch (walk) {
    case Walk::Watched:
        break;
    case Walk::Snapshot:
        // Made or changed since then: which of the two is not known.
        flags = written ? kFileEventItemCreated | kFileEventItemModified : 0;
        break;
    case Walk::New:
        flags = kFileEventItemCreated;
        break;
    case Walk::Diff:
        if (!inserted)
            flags = known->second == now ? 0 : kFileEventItemModified;
        else
            flags = written ? kFileEventItemCreated : 0;
        break;
    }
    known->second = now;
    if (flags != 0)
        addPending(std::move(path), flags | kFileEventItemIsFile);
}

// A folder moved away: its watches would report under a stale name.
void InotifyEventStream::removeTree(const std::string& top) {
    for (auto it = watchOfDir_.begin(); it != watchOfDir_.end();) {
        if (it->first == top || isBelowPath(it->first, top)) {
            inotify_rm_watch(inotify_.get(), it->second);
            dirOfWatch_.erase(it->second);
            it = watchOfDir_.erase(it);
        } else {
            ++it;
        }
    }
    std::erase_if(unwatched_,
                  [&](const std::string& d) { return d == top || isBelowPath(d, top); });
    auto first = signatures_.lower_bound(top + '/');
    auto last = first;
    while (last != signatures_.end() && isBelowPath(last->first, top))
        ++last;
    signatures_.erase(first, last);
    lastWd_ = -1;
}

// Events were lost: walk the tree again and report what differs from the
// snapshot, not every file (old files are not new exports).
void InotifyEventStream::rescanAfterOverflow() {
    rescanPending_ = false;
    std::size_t before = pending_.size();
    // Files that vanished meanwhile leave the snapshot: the walk marks what it finds.
    seenInWalk_.emplace();
    for (const auto& root : options_.paths) {
        if (!addTree(root, Walk::Diff, startedNs_)) {
            seenInWalk_.reset();
            return;
        }
    }
    std::erase_if(signatures_, [&](const auto& entry) { return !seenInWalk_->count(entry.first); });
    seenInWalk_.reset();
    logLine(kSubsystem, kCategory, LogLevel::Error,
            "the kernel's event queue overflowed and events were lost; rescanned the watched "
            "folders and reported " +
                std::to_string(pending_.size() - std::min(before, pending_.size())) +
                " changed file(s) not already pending");
}

// Folders we could not watch: try the watch again, and report the files that
// appeared or changed since the last look.
void InotifyEventStream::checkUnwatched() {
    std::vector<std::string> dirs(unwatched_.begin(), unwatched_.end());
    for (const auto& dir : dirs) {
        if (!unwatched_.count(dir))
            continue; // removed with a parent in this round
        struct stat info {};
        // A watched folder itself may be a link to a folder; folders below it are
        // never followed.
        int found = isRoot(dir) ? ::stat(dir.c_str(), &info) : ::lstat(dir.c_str(), &info);
        if (found != 0 || !S_ISDIR(info.st_mode)) {
            removeTree(dir);
            if (isRoot(dir))
                addPending(dir, kFileEventRootChanged);
            continue;
        }
        int wd = addWatch(dir);
        if (wd >= 0) {
            dirOfWatch_[wd] = dir;
            watchOfDir_[dir] = wd;
            unwatched_.erase(dir);
        }
        DIR* listing = ::opendir(dir.c_str());
        if (!listing)
            continue;
        const int dirFd = ::dirfd(listing);
        while (dirent* entry = ::readdir(listing)) {
            std::string_view name = entry->d_name;
            if (name == "." || name == "..")
                continue;
            struct stat file {};
            if (::fstatat(dirFd, entry->d_name, &file, AT_SYMLINK_NOFOLLOW) != 0)
                continue;
            std::string path = joinPath(dir, name);
            if (S_ISDIR(file.st_mode)) {
                if (!watchOfDir_.count(path) && !unwatched_.count(path))
                    addTree(path, Walk::Diff, startedNs_);
                continue;
            }
            // Watched or not from now on, only what differs from what was known
            // is reported: a recovered watch does not make old files new.
            if (S_ISREG(file.st_mode))
                noteFile(std::move(path), signatureOf(file), Walk::Diff, startedNs_);
        }
        ::closedir(listing);
    }
    logUnwatched();
}

// One line per episode of folders that could not be watched.
void InotifyEventStream::logUnwatched() {
    if (newlyUnwatched_ == 0)
        return;
    logLine(kSubsystem, kCategory, LogLevel::Error,
            "cannot watch " + std::to_string(newlyUnwatched_) + " folder(s) below " +
                options_.paths.front() + " (" +
                (watchError_ == ENOSPC
                     ? std::string("the inotify watch limit fs.inotify.max_user_watches is reached")
                     : errnoText(watchError_)) +
                "); checking them for new or changed files every " +
                std::to_string(pollInterval_.count()) + " ms instead");
    newlyUnwatched_ = 0;
}

FileEventFlags InotifyEventStream::addPending(std::string path, FileEventFlags flags) {
    if (!batchOpen())
        deadline_ = Clock::now() + latency_;
    auto [it, inserted] = pending_.try_emplace(std::move(path), 0);
    it->second |= flags;
    if (inserted)
        pendingOrder_.push_back(&it->first);
    return it->second;
}

void InotifyEventStream::deliver() {
    std::vector<std::string> paths;
    std::vector<FileEventFlags> flags;
    paths.reserve(pendingOrder_.size());
    flags.reserve(pendingOrder_.size());
    for (const std::string* key : pendingOrder_) {
        auto node = pending_.extract(*key);
        FileEventFlags flag = node.mapped();
        if (flag & kFileEventItemIsFile) {
            // The snapshot learns what is being reported, so a later rescan
            // compares with it. Anything but a regular file (a link named like
            // an export) is not reported; a file already gone still is.
            struct stat info {};
            if (::lstat(node.key().c_str(), &info) != 0) {
                signatures_.erase(node.key());
            } else if (!S_ISREG(info.st_mode)) {
                signatures_.erase(node.key());
                continue;
            } else {
                signatures_[node.key()] = signatureOf(info);
            }
        }
        flags.push_back(flag);
        paths.push_back(std::move(node.key()));
    }
    pending_.clear();
    pendingOrder_.clear();
    lastWd_ = -1;
    if (paths.empty())
        return; // an overflow rescan that found no file
    queue_.post([sink = weakSink_, paths = std::move(paths), flags = std::move(flags)] {
        if (auto target = sink.lock())
            target->callback(paths.size(), paths, flags);
    });
}

} // namespace tavrin::linux_platform

namespace tavrin {

std::unique_ptr<FileEventStream> makeFileEventStream(const FileEventStreamOptions& options,
                                                     MainQueue& queue,
                                                     FileEventStream::Callback callback) {
    return std::make_unique<linux_platform::InotifyEventStream>(options, queue,
                                                                std::move(callback));
}

} // namespace tavrin
