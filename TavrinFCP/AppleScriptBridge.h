#pragma once
// Drives the editor through its three scripts (export the timeline as FCPXML,
// save the project, import an FCPXML document) and keeps review comments and
// timeline markers in step on top of them.
//
// Every operation blocks the calling thread while the script runner runs, so
// call them from a worker thread (a task on the shared executor), never from
// the main queue. All operations are thread-safe. Every script run goes
// through one serial lane (the editor's scripts drive its user interface, and
// two at once would type into the same dialogs); a change holds the lane for
// its whole export, rewrite and import, so two changes close together cannot
// each import a document that lacks the other's marker. The lane spans
// programs: it is also an exclusive lock (flock) on $XDG_RUNTIME_DIR (else on
// the temporary directory; always that one when Options::temporaryDirectory is
// given), so `tavrinctl sync` and the app, or two bridges, take turns with the
// one editor. Lookups that wait behind a running script share the next single
// export. Failures are thrown as AutomationError; "false" and "no value"
// results are not errors, but when they come from a script that failed,
// onScriptFailure is told why.

#include "TavrinFCP/AutomationError.h"
#include "TavrinFCP/FCPXMLParser.h"
#include "common/ProcessRunner.h"
#include "common/Value.h"

#include <chrono>
#include <condition_variable>
#include <exception>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <vector>

namespace tavrin::container {

class AppleScriptBridge {
  public:
    struct Options {
        // The script runner: "/usr/bin/osascript" on macOS; on Linux the
        // stand-in runner chosen at build time (see defaultRunnerPath()).
        std::string runnerPath = defaultRunnerPath();
        // The folder holding "<name>.applescript".
        std::string scriptsDirectory = defaultScriptsDirectory();
        // A script still running after this long is killed and its
        // operation fails. Well above the panel's 60-second wait.
        std::chrono::milliseconds scriptTimeout = std::chrono::seconds(120);
        // Where temporary files go; empty means $TMPDIR, or /tmp without it.
        std::string temporaryDirectory;
        // Null means the platform's runner.
        std::shared_ptr<ProcessRunner> processRunner;
        // Called on the thread that ran the script when an operation's false
        // or absent result comes from a script that failed (an answer that
        // cannot be used, or save-project failing) rather than from the
        // editor's own "no": one line naming the script, its exit status and
        // the first line of its standard error. (Lookups that shared an export
        // are told once, on the thread that ran it.)
        std::function<void(const std::string& why)> onScriptFailure;
        // Asked while waiting for another program's turn in the lane: true
        // gives up, and the operation fails. Null waits for the turn.
        std::function<bool()> stopWaiting;
    };

    AppleScriptBridge();
    explicit AppleScriptBridge(Options options);

    // $TAVRIN_SCRIPT_RUNNER when set, else the build's TAVRIN_SCRIPT_RUNNER.
    static std::string defaultRunnerPath();
    // $TAVRIN_SCRIPTS_DIR when set, else the build's TAVRIN_SCRIPTS_DIR.
    static std::string defaultScriptsDirectory();

    // The scripts directory with "<name>.applescript" appended.
    std::string scriptPath(std::string_view name) const;

    // Runs script `name` (no extension) with `args` after the script path and
    // returns its standard output decoded as UTF-8 and trimmed of Unicode white
    // space and line ends ("" when the output is not valid UTF-8). The exit
    // status is ignored. Throws AutomationError when the runner cannot be
    // started or runs past the time-out.
    std::string run(std::string_view name, const std::vector<std::string>& args = {}) const;

    // Runs "export-fcpxml" with a new temporary file's path and returns the
    // UTF-8 text of the file its JSON output names in "path"; no value when the
    // output or that file cannot be used. Throws when run() does.
    std::optional<std::string> exportTimelineFCPXML() const;

    // Writes `document` to a new temporary file, runs "save-project", then
    // "import-fcpxml" with that file's path, and returns its JSON "success"
    // when that is a boolean, else false. Throws when the file cannot be
    // written (before any script runs) or when run() does.
    bool importFCPXML(std::string_view document) const;

    // Replaces every tagged marker whose "id" equals the comment's "id" (""
    // when missing) by the comment, and imports the whole set. False when the
    // timeline cannot be exported; otherwise the import's result.
    bool syncComment(const Dictionary& comment);
    // Removes every tagged marker with this id and imports the rest (also when
    // none matched). False when the timeline cannot be exported.
    bool deleteComment(std::string_view id);
    // Imports exactly these comments as the marker set (no export first).
    bool syncAllComments(const std::vector<Dictionary>& comments);
    // Imports an empty marker set.
    bool clearAllMarkers();

    // The tagged marker whose start is nearest to `seconds` and at most
    // `threshold` seconds away (inclusive); on a tie the first in the exported
    // document. No value when none qualifies or the timeline cannot be
    // exported. Imports nothing; behind a change in progress it waits for the
    // lane, and shares the next export with the lookups waiting beside it.
    std::optional<Dictionary> getMarkerAtTime(double seconds, double threshold) const;

  private:
    struct ScriptRun {
        std::string output; // trimmed, as run() gives it
        int exitStatus = 0;
        std::string firstErrorLine;
    };
    // One export shared by the lookups that waited for it.
    struct SharedExport {
        bool done = false;
        std::optional<std::string> text;
        std::exception_ptr error;
    };

    // Holds the lane: the in-process lock and, at the outermost hold, the
    // lock file shared with other programs.
    class LaneHold {
      public:
        explicit LaneHold(const AppleScriptBridge& bridge);
        ~LaneHold();
        LaneHold(const LaneHold&) = delete;
        LaneHold& operator=(const LaneHold&) = delete;

      private:
        const AppleScriptBridge& bridge_;
    };

    ScriptRun runScript(std::string_view name, const std::vector<std::string>& args) const;
    void reportFailure(std::string_view name, const ScriptRun& run, std::string_view what) const;
    std::optional<std::string> exportInLane() const;
    bool importInLane(std::string_view document) const;
    bool importMarkers(std::span<const MarkerRecord> markers) const;
    std::optional<std::string> sharedExport() const;
    std::string temporaryDirectory() const;

    Options options_;
    // The serial lane: held around every script run, and around a change's
    // whole sequence (the public operations nest, hence recursive).
    mutable std::recursive_mutex lane_;
    mutable int laneDepth_ = 0;   // holds by the owning thread; under lane_
    mutable int laneLockFd_ = -1; // the lock file while the lane is held
    mutable std::mutex exportMutex_;
    mutable std::condition_variable exportDone_;
    mutable std::shared_ptr<SharedExport> nextExport_; // the one lookups join
};

// Script output as text: the bytes decoded as UTF-8 with Unicode white space
// and line ends trimmed from both ends, or "" when they are not valid UTF-8.
std::string trimmedScriptOutput(std::string_view bytes);

} // namespace tavrin::container
