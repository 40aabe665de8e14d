#include "TavrinFCP/AppleScriptBridge.h"

#include "TavrinFCP/FCPXMLGenerator.h"
#include "TavrinFCP/FCPXMLParser.h"
#include "common/Errno.h"
#include "common/FileDescriptor.h"
#include "common/Paths.h"
#include "common/RegularFile.h"
#include "common/TimeRounding.h"
#include "common/UUID.h"
#include "common/Unicode.h"

#include <cerrno>
#include <cmath>
#include <cstdlib>
#include <fcntl.h>
#include <filesystem>
#include <sys/file.h>
#include <sys/stat.h>
#include <system_error>
#include <thread>
#include <unistd.h>

#ifndef TAVRIN_SCRIPT_RUNNER
#define TAVRIN_SCRIPT_RUNNER "/usr/bin/osascript"
#endif
#ifndef TAVRIN_SCRIPTS_DIR
#define TAVRIN_SCRIPTS_DIR "scripts"
#endif

namespace tavrin::container {
namespace {

std::optional<Value> parseObject(std::string_view text) {
    auto value = parseJSON(text);
    if (!value || !value->is_object())
        return std::nullopt;
    return value;
}

// directory (ending in "/") + prefix + a random UUID + ".fcpxml".
std::string temporaryName(const std::string& directory, std::string_view prefix) {
    return directory + std::string(prefix) + UUID::random().uuidString() + ".fcpxml";
}

// A file this program created exclusively (mode 0600), named as above;
// removed again when the call that made it ends.
class TemporaryFile {
  public:
    TemporaryFile(const std::string& directory, std::string_view prefix) {
        for (int attempt = 1;; ++attempt) {
            std::string name = temporaryName(directory, prefix);
            int fd = ::open(name.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC,
                            S_IRUSR | S_IWUSR);
            if (fd >= 0) {
                fd_.reset(fd);
                path_ = std::move(name);
                return;
            }
            if (errno != EEXIST || attempt == 8)
                throw AutomationError("cannot create a temporary file in " + directory + ": " +
                                      errnoText(errno));
        }
    }
    ~TemporaryFile() {
        fd_.reset();
        ::unlink(path_.c_str());
    }
    TemporaryFile(const TemporaryFile&) = delete;
    TemporaryFile& operator=(const TemporaryFile&) = delete;

    const std::string& path() const { return path_; }

    // Writes the whole text and closes the file; throws AutomationError.
    void write(std::string_view text) {
        while (!text.empty()) {
            ssize_t n = ::write(fd_.get(), text.data(), text.size());
            if (n < 0 && errno == EINTR)
                continue;
            if (n <= 0)
                throw AutomationError("cannot write " + path_ + ": " + errnoText(errno));
            text.remove_prefix(static_cast<std::size_t>(n));
        }
        if (::close(fd_.release()) != 0)
            throw AutomationError("cannot write " + path_ + ": " + errnoText(errno));
    }
    void closeDescriptor() { fd_.reset(); }

  private:
    std::string path_;
    FileDescriptor fd_;
};

} // namespace

std::string trimmedScriptOutput(std::string_view bytes) {
    if (!isValidUTF8(bytes))
        return {};
    return std::string(trimUnicodeWhiteSpace(bytes));
}

AppleScriptBridge::AppleScriptBridge() : AppleScriptBridge(Options{}) {
}

AppleScriptBridge::AppleScriptBridge(Options options) : options_(std::move(options)) {
    if (!options_.processRunner)
        options_.processRunner = makePlatformProcessRunner();
}

std::string AppleScriptBridge::defaultRunnerPath() {
    const char* fromEnvironment = std::getenv("TAVRIN_SCRIPT_RUNNER");
    return fromEnvironment && *fromEnvironment ? fromEnvironment : TAVRIN_SCRIPT_RUNNER;
}

std::string AppleScriptBridge::defaultScriptsDirectory() {
    const char* fromEnvironment = std::getenv("TAVRIN_SCRIPTS_DIR");
    return fromEnvironment && *fromEnvironment ? fromEnvironment : TAVRIN_SCRIPTS_DIR;
}

std::string AppleScriptBridge::scriptPath(std::string_view name) const {
    std::string file = std::string(name) + ".applescript";
    // An empty scripts directory means the current one, as before.
    return options_.scriptsDirectory.empty() ? file : joinPath(options_.scriptsDirectory, file);
}

std::string AppleScriptBridge::temporaryDirectory() const {
    std::string directory = options_.temporaryDirectory;
    if (directory.empty()) {
        const char* fromEnvironment = std::getenv("TMPDIR");
        directory = fromEnvironment && *fromEnvironment ? fromEnvironment : "/tmp";
    }
    if (directory.back() != '/')
        directory += '/';
    return directory;
}

AppleScriptBridge::LaneHold::LaneHold(const AppleScriptBridge& bridge) : bridge_(bridge) {
    bridge_.lane_.lock();
    if (bridge_.laneDepth_++ > 0)
        return;
    // The lock is taken on a folder, so nothing is left behind: the user's
    // runtime folder (private to the user), or the temporary folder when the
    // bridge was given one of its own or there is no runtime folder. Without
    // it (an unusable folder) the lane is this program's alone; the operation
    // then fails on its own temporary file.
    const char* runtime = std::getenv("XDG_RUNTIME_DIR");
    const std::string path = bridge_.options_.temporaryDirectory.empty() && runtime && *runtime
                                 ? std::string(runtime)
                                 : bridge_.temporaryDirectory();
    int fd = ::open(path.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (fd < 0)
        return;
    // Polled rather than blocking, so a program being interrupted can stop
    // waiting for another one's scripts.
    while (::flock(fd, LOCK_EX | LOCK_NB) != 0) {
        if ((errno != EWOULDBLOCK && errno != EINTR) ||
            (bridge_.options_.stopWaiting && bridge_.options_.stopWaiting())) {
            const int error = errno;
            ::close(fd);
            --bridge_.laneDepth_;
            bridge_.lane_.unlock();
            throw AutomationError(error == EWOULDBLOCK
                                      ? "stopped waiting for another program's editor scripts"
                                      : "cannot lock " + path + ": " + errnoText(error));
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
    }
    bridge_.laneLockFd_ = fd;
}

AppleScriptBridge::LaneHold::~LaneHold() {
    if (--bridge_.laneDepth_ == 0 && bridge_.laneLockFd_ >= 0) {
        ::close(bridge_.laneLockFd_); // releases the lock
        bridge_.laneLockFd_ = -1;
    }
    bridge_.lane_.unlock();
}

std::string AppleScriptBridge::run(std::string_view name,
                                   const std::vector<std::string>& args) const {
    return runScript(name, args).output;
}

AppleScriptBridge::ScriptRun
AppleScriptBridge::runScript(std::string_view name, const std::vector<std::string>& args) const {
    std::vector<std::string> arguments;
    arguments.reserve(args.size() + 1);
    arguments.push_back(scriptPath(name));
    arguments.insert(arguments.end(), args.begin(), args.end());
    LaneHold lane(*this);
    try {
        ProcessOutput output =
            options_.processRunner->run(options_.runnerPath, arguments, options_.scriptTimeout);
        std::string_view error = output.standardError;
        error = error.substr(0, error.find('\n'));
        return {trimmedScriptOutput(output.standardOutput), output.exitStatus,
                trimmedScriptOutput(error)};
    } catch (const ProcessError& error) {
        throw AutomationError(std::string(name) + ": " + error.what());
    }
}

void AppleScriptBridge::reportFailure(std::string_view name, const ScriptRun& run,
                                      std::string_view what) const {
    if (!options_.onScriptFailure)
        return;
    std::string why = std::string(name) + " " + std::string(what) + " (exit status " +
                      std::to_string(run.exitStatus) + ")";
    if (!run.firstErrorLine.empty())
        why += ": " + run.firstErrorLine;
    options_.onScriptFailure(why);
}

std::optional<std::string> AppleScriptBridge::exportTimelineFCPXML() const {
    LaneHold lane(*this);
    return exportInLane();
}

std::optional<std::string> AppleScriptBridge::exportInLane() const {
    // The file is made here, exclusively, so that nothing else sits at its
    // name. A folder where it cannot be made does not fail the export: the
    // editor is asked all the same (its answer may name a file elsewhere),
    // and the export gives no value when the editor cannot write there either.
    const std::string directory = temporaryDirectory();
    std::optional<TemporaryFile> target;
    std::string targetPath;
    try {
        target.emplace(directory, "tavrin-fcpxml-");
        target->closeDescriptor();
        targetPath = target->path();
    } catch (const AutomationError&) {
        targetPath = temporaryName(directory, "tavrin-fcpxml-");
    }
    // The editor may write a bundle (a folder) in the file's place or beside
    // it; whatever this call made goes when it ends. Links are removed, never
    // followed.
    struct RemoveBundles {
        const std::string& path;
        ~RemoveBundles() {
            std::error_code ignored;
            for (const std::string& made : {path, path + "d", path + ".fcpxmld"}) {
                if (std::filesystem::is_directory(std::filesystem::symlink_status(made, ignored)))
                    std::filesystem::remove_all(made, ignored);
            }
        }
    } removeBundles{targetPath};
    ScriptRun ran = runScript("export-fcpxml", {targetPath});
    auto reply = parseObject(ran.output);
    auto path = reply ? stringFor(*reply, "path") : std::nullopt;
    if (!path) {
        reportFailure("export-fcpxml", ran, "gave no JSON object with a \"path\"");
        return std::nullopt;
    }
    auto text = readRegularFile(*path);
    if (!text || !isValidUTF8(*text)) {
        reportFailure("export-fcpxml", ran, "named a file that cannot be read as UTF-8 text");
        return std::nullopt;
    }
    // An empty file, an error page or a cut-off export is no timeline: read as
    // one without markers, it would have every marker removed.
    if (!FCPXMLParser::isFCPXMLDocument(*text)) {
        reportFailure("export-fcpxml", ran, "named a file that holds no FCPXML document");
        return std::nullopt;
    }
    return text;
}

bool AppleScriptBridge::importFCPXML(std::string_view document) const {
    LaneHold lane(*this);
    return importInLane(document);
}

bool AppleScriptBridge::importInLane(std::string_view document) const {
    // Created exclusively and written in full before any script learns its
    // name, so the importer never sees a partial document.
    TemporaryFile file(temporaryDirectory(), "tavrin-markers-");
    file.write(document);
    ScriptRun saved = runScript("save-project", {});
    ScriptRun ran = runScript("import-fcpxml", {file.path()});
    auto reply = parseObject(ran.output);
    const Value* success = reply ? lookup(*reply, "success") : nullptr;
    if (!success || !success->is_boolean()) {
        if (saved.exitStatus != 0)
            reportFailure("save-project", saved, "failed");
        else
            reportFailure("import-fcpxml", ran, "gave no JSON object with a boolean \"success\"");
        return false;
    }
    // "success": false is the editor's own answer.
    return success->get<bool>();
}

bool AppleScriptBridge::importMarkers(std::span<const MarkerRecord> markers) const {
    return importInLane(FCPXMLGenerator::generateMarkersFCPXML(markers));
}

bool AppleScriptBridge::syncComment(const Dictionary& comment) {
    LaneHold lane(*this);
    auto exported = exportInLane();
    if (!exported)
        return false;
    const std::string id = stringFor(comment, "id").value_or("");
    MarkerList markers = FCPXMLParser::parseMarkers(*exported);
    markers.keepIf([&](const MarkerRecord& marker) { return marker.id != id; });
    markers.push_back(commentRecord(comment));
    return importMarkers(markers.records());
}

bool AppleScriptBridge::deleteComment(std::string_view id) {
    LaneHold lane(*this);
    auto exported = exportInLane();
    if (!exported)
        return false;
    MarkerList markers = FCPXMLParser::parseMarkers(*exported);
    markers.keepIf([&](const MarkerRecord& marker) { return marker.id != id; });
    return importMarkers(markers.records());
}

bool AppleScriptBridge::syncAllComments(const std::vector<Dictionary>& comments) {
    LaneHold lane(*this);
    return importInLane(FCPXMLGenerator::generateMarkersFCPXML(comments));
}

bool AppleScriptBridge::clearAllMarkers() {
    LaneHold lane(*this);
    return importMarkers({});
}

// The first lookup to find no pending export makes one and runs it when the
// lane is free; every lookup that arrives before it starts waits for it too.
// A lookup arriving once it has started makes the next one: the export that
// answers a lookup always starts after the lookup was asked.
std::optional<std::string> AppleScriptBridge::sharedExport() const {
    std::shared_ptr<SharedExport> mine;
    bool leader = false;
    {
        std::lock_guard lock(exportMutex_);
        if (!nextExport_) {
            nextExport_ = std::make_shared<SharedExport>();
            leader = true;
        }
        mine = nextExport_;
    }
    if (leader) {
        std::optional<std::string> text;
        std::exception_ptr error;
        try {
            LaneHold lane(*this);
            {
                std::lock_guard lock(exportMutex_);
                nextExport_.reset(); // later lookups make the next export
            }
            text = exportInLane();
        } catch (...) {
            error = std::current_exception();
            std::lock_guard lock(exportMutex_);
            if (nextExport_ == mine)
                nextExport_.reset(); // the lane was not reached
        }
        std::lock_guard lock(exportMutex_);
        mine->text = std::move(text);
        mine->error = error;
        mine->done = true;
        exportDone_.notify_all();
    } else {
        std::unique_lock lock(exportMutex_);
        exportDone_.wait(lock, [&] { return mine->done; });
    }
    if (mine->error)
        std::rethrow_exception(mine->error);
    return mine->text;
}

std::optional<Dictionary> AppleScriptBridge::getMarkerAtTime(double seconds,
                                                             double threshold) const {
    auto exported = sharedExport();
    if (!exported)
        return std::nullopt;
    const MarkerList markers = FCPXMLParser::parseMarkers(*exported);
    const MarkerRecord* best = nullptr;
    // No starting bound of threshold + 1: for a huge threshold it rounds to
    // the threshold itself and a marker right at the edge would be missed.
    // An infinite distance (an infinite time) is never within reach. Times
    // are binary doubles, so a marker exactly the threshold away (2.2 s from
    // 1.7 s) may come out a few units in the last place beyond it; such
    // rounding is still within reach.
    double bestDistance = 0;
    for (const MarkerRecord& marker : markers) {
        const double distance = std::fabs(marker.timestamp - seconds);
        if (std::isfinite(distance) &&
            distance <= threshold + roundingSlack(marker.timestamp, seconds) &&
            (!best || distance < bestDistance)) {
            best = &marker;
            bestDistance = distance;
        }
    }
    if (!best)
        return std::nullopt;
    return toDictionary(*best);
}

} // namespace tavrin::container
