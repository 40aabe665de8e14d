#include "TavrinFCP/FileWatcher.h"

#include "common/Log.h"
#include "common/Paths.h"

#include <sys/stat.h>

#include <algorithm>
#include <cstdint>
#include <cstdio>

namespace tavrin::container {

namespace {

char lower(char c) {
    return (c >= 'A' && c <= 'Z') ? static_cast<char>(c - 'A' + 'a') : c;
}

bool equalsLowered(std::string_view text, std::string_view lowered) {
    if (text.size() != lowered.size())
        return false;
    for (std::size_t i = 0; i < text.size(); ++i) {
        if (lower(text[i]) != lowered[i])
            return false;
    }
    return true;
}

} // namespace

bool isWatchedVideoPath(std::string_view path) {
    std::string_view name = lastPathComponent(path);
    if (name.empty() || name.front() == '.')
        return false;
    auto dot = name.rfind('.');
    if (dot == std::string_view::npos)
        return false;
    std::string_view extension = name.substr(dot + 1);
    return equalsLowered(extension, "mp4") || equalsLowered(extension, "mov") ||
           equalsLowered(extension, "m4v");
}

FileWatcher::FileWatcher(std::string outputFolder, MainQueue& mainQueue,
                         FileEventStreamFactory streamFactory)
    : outputFolder(std::move(outputFolder)), mainQueue_(mainQueue),
      streamFactory_(std::move(streamFactory)) {
}

FileWatcher::~FileWatcher() {
    stop();
}

void FileWatcher::start() {
    stop();
    if (!streamFactory_)
        return;
    auto token = std::make_shared<int>(0);
    std::weak_ptr<int> weakToken = token;
    FileEventStreamOptions options;
    options.paths = {outputFolder};
    options.latency = kStreamLatency;
    auto callback = [this, weakToken](std::size_t count, const std::vector<std::string>& paths,
                                      const std::vector<FileEventFlags>& flags) {
        if (weakToken.expired())
            return; // a stream that has been stopped or replaced
        handleEvents(count, paths, flags);
    };
    auto created = streamFactory_(options, mainQueue_, std::move(callback));
    if (!created)
        return;
    streamToken_ = std::move(token);
    if (!created->start()) {
        streamToken_.reset();
        return;
    }
    stream = std::move(created);
}

void FileWatcher::stop() {
    streamToken_.reset();
    if (stream) {
        stream->stop();
        stream.reset();
    }
    for (auto& [path, timer] : stabilityTimers)
        mainQueue_.invalidate(timer);
    stabilityTimers.clear();
}

void FileWatcher::handleEvents(std::size_t count, const std::vector<std::string>& paths,
                               const std::vector<FileEventFlags>& flags) {
    std::size_t n = std::min({count, paths.size(), flags.size()});
    for (std::size_t i = 0; i < n; ++i) {
        if ((flags[i] & kFileEventRootChanged) &&
            withoutTrailingSlashes(paths[i]) == withoutTrailingSlashes(outputFolder)) {
            if (auto callback = onFolderGone)
                callback(); // may destroy this watcher: nothing after it
            return;
        }
        if (!(flags[i] & (kFileEventItemCreated | kFileEventItemModified)))
            continue;
        if (!isWatchedVideoPath(paths[i]))
            continue;
        debounceFile(paths[i]);
    }
}

void FileWatcher::debounceFile(const std::string& path) {
    auto it = stabilityTimers.find(path);
    if (it != stabilityTimers.end())
        mainQueue_.invalidate(it->second);
    std::weak_ptr<int> alive = alive_;
    MainQueue::TimerId timer = mainQueue_.postAfter(stableTimeout, [this, alive, path] {
        if (alive.expired())
            return;
        checkStable(path);
    });
    stabilityTimers[path] = timer;
}

void FileWatcher::checkStable(const std::string& path) {
    struct stat info {};
    if (::lstat(path.c_str(), &info) != 0)
        return; // gone or unreadable: wait for a new event
    // Only a regular file is an export; a folder named like a video is not,
    // nor a link (its target could be any file the user can read).
    if (!S_ISREG(info.st_mode))
        return;
    auto size = static_cast<std::int64_t>(info.st_size);
    if (size <= 0)
        return;
    stabilityTimers.erase(path);

    std::string line = "[FileWatcher] Export detected: ";
    // A name may hold a line break: the detection line stays one line.
    line.append(oneLineText(lastPathComponent(path)))
        .append(" (")
        .append(std::to_string(size))
        .append(" bytes)\n");
    std::fwrite(line.data(), 1, line.size(), stdout);
    std::fflush(stdout);

    // Called last: the owner may replace or destroy this watcher from it.
    if (auto callback = onFileDetected)
        callback(path);
}

} // namespace tavrin::container
