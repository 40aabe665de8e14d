// tavrinctl sync: runs one comment-marker operation against the editor's
// scripts and prints its result as JSON, so a person can check a machine's
// editor automation by hand.
//
//   tavrinctl sync [--runner PATH] [--scripts DIR] [--timeout SECONDS]
//       comment JSON | delete ID | all JSON-ARRAY | clear
//       | marker-at SECONDS [--threshold T]

#include "TavrinFCP/AppleScriptBridge.h"
#include "common/Value.h"
#include "platform/linux/PosixProcessRunner.h"
#include "tools/tavrinctl/Commands.h"

#include <pthread.h>
#include <signal.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cmath>
#include <functional>
#include <iostream>
#include <memory>
#include <thread>

namespace tavrin::ctl {
namespace {

using container::AppleScriptBridge;

struct SyncSettings {
    std::string runner = AppleScriptBridge::defaultRunnerPath();
    std::string scripts = AppleScriptBridge::defaultScriptsDirectory();
    double timeoutSeconds = 120;
    std::string comment;
    std::string commentId;
    std::string comments;
    double seconds = 0;
    double threshold = 0.5;
};

// Runs `work` on a thread of its own while this thread waits for SIGINT,
// SIGTERM or SIGHUP (the terminal closed: the script, in a process group of its
// own, would not get it). A signal cancels the runner (its child and the child's process
// group are killed, so no script goes on driving the editor), lets the work
// unwind (its temporary files go) and gives 128 + the signal's number.
int runInterruptibly(linux_platform::PosixProcessRunner& runner, std::atomic<bool>& interrupted,
                     const std::function<int()>& work) {
    sigset_t signals;
    sigemptyset(&signals);
    sigaddset(&signals, SIGINT);
    sigaddset(&signals, SIGTERM);
    sigaddset(&signals, SIGHUP);
    sigaddset(&signals, SIGUSR1); // the work is done
    sigset_t previous;
    pthread_sigmask(SIG_BLOCK, &signals, &previous); // the worker inherits the mask
    const pthread_t waiting = pthread_self();
    int status = kExitFailure;
    std::thread worker([&] {
        status = work();
        pthread_kill(waiting, SIGUSR1);
    });
    int received = 0;
    while (sigwait(&signals, &received) != 0 || received != SIGUSR1) {
        if (received == SIGINT || received == SIGTERM || received == SIGHUP) {
            interrupted = true; // also ends a wait for another program's scripts
            runner.cancel();
            break;
        }
    }
    worker.join();
    // A SIGUSR1 still pending (sent after a signal ended the wait) is taken
    // here, so restoring the mask does not deliver it.
    timespec none{};
    sigset_t done;
    sigemptyset(&done);
    sigaddset(&done, SIGUSR1);
    while (sigtimedwait(&done, nullptr, &none) == SIGUSR1) {
    }
    pthread_sigmask(SIG_SETMASK, &previous, nullptr);
    if (received == SIGINT || received == SIGTERM || received == SIGHUP) {
        std::cerr << "tavrinctl sync: interrupted; the script was stopped\n";
        return 128 + received;
    }
    return status;
}

// Runs `operation` on a bridge made from the settings and prints its result
// (or "null"). An error becomes one line on standard error; so does a false
// or null that comes from a script that failed (exit status 1), while the
// editor's own "no" is printed with exit status 0.
int runOperation(const SyncSettings& settings,
                 const std::function<Value(AppleScriptBridge&)>& operation) {
    if (!std::isfinite(settings.timeoutSeconds) || settings.timeoutSeconds <= 0) {
        std::cerr << "tavrinctl sync: --timeout must be a positive number of seconds\n";
        return kExitBadInput;
    }
    auto runner = std::make_shared<linux_platform::PosixProcessRunner>();
    std::optional<std::string> failure;
    AppleScriptBridge::Options options;
    options.runnerPath = settings.runner;
    options.scriptsDirectory = settings.scripts;
    options.scriptTimeout = std::chrono::milliseconds(
        static_cast<long long>(std::min(settings.timeoutSeconds, 1e9) * 1000));
    options.processRunner = runner;
    options.onScriptFailure = [&](const std::string& why) { failure = why; };
    std::atomic<bool> interrupted{false};
    options.stopWaiting = [&interrupted] { return interrupted.load(); };
    auto oneLine = [](std::string message) {
        std::replace(message.begin(), message.end(), '\n', ' ');
        return message;
    };
    return runInterruptibly(*runner, interrupted, [&] {
        try {
            AppleScriptBridge bridge(std::move(options));
            Value result = operation(bridge);
            if (failure && (result.is_null() || result == Value(false))) {
                std::cerr << "tavrinctl sync: " << oneLine(*failure) << '\n';
                return kExitFailure;
            }
            auto text = writeJSON(result);
            if (!text) {
                std::cerr << "tavrinctl sync: the result cannot be written as JSON\n";
                return kExitFailure;
            }
            std::cout << *text << '\n';
            return kExitOK;
        } catch (const std::exception& error) {
            std::cerr << "tavrinctl sync: " << oneLine(error.what()) << '\n';
            return kExitFailure;
        }
    });
}

// Parses the command line's JSON argument; prints why when it cannot.
std::optional<Value> parseArgument(const std::string& text, const char* what) {
    auto value = parseJSON(text);
    if (!value)
        std::cerr << "tavrinctl sync: " << what << " is not valid JSON\n";
    return value;
}

} // namespace

void registerSyncCommands(CLI::App& app, int& exitCode) {
    auto settings = std::make_shared<SyncSettings>();
    CLI::App* sync = app.add_subcommand(
        "sync", "Run one comment-marker operation through the editor's scripts; print the "
                "result as JSON (null for none)");
    sync->require_subcommand(1);
    sync->fallthrough();
    sync->add_option("--runner", settings->runner, "Script runner program")->capture_default_str();
    sync->add_option("--scripts", settings->scripts, "Folder of the .applescript files")
        ->capture_default_str();
    sync->add_option("--timeout", settings->timeoutSeconds,
                     "Seconds after which a script is killed")
        ->capture_default_str();

    CLI::App* comment =
        sync->add_subcommand("comment", "Add or replace one comment's marker; prints true/false");
    comment->add_option("JSON", settings->comment, "The comment record, a JSON object")->required();
    comment->callback([settings, &exitCode] {
        auto record = parseArgument(settings->comment, "the comment");
        if (!record || !record->is_object()) {
            if (record)
                std::cerr << "tavrinctl sync: the comment must be a JSON object\n";
            exitCode = kExitBadInput;
            return;
        }
        exitCode = runOperation(*settings, [&](AppleScriptBridge& bridge) {
            return Value(bridge.syncComment(*record));
        });
    });

    CLI::App* remove =
        sync->add_subcommand("delete", "Remove one comment's marker; prints true/false");
    remove->add_option("ID", settings->commentId, "The comment identifier")->required();
    remove->callback([settings, &exitCode] {
        exitCode = runOperation(*settings, [&](AppleScriptBridge& bridge) {
            return Value(bridge.deleteComment(settings->commentId));
        });
    });

    CLI::App* all =
        sync->add_subcommand("all", "Replace all markers by a list of comments; prints true/false");
    all->add_option("JSON-ARRAY", settings->comments, "The comment records, a JSON array")
        ->required();
    all->callback([settings, &exitCode] {
        auto list = parseArgument(settings->comments, "the comment list");
        auto records = list ? asArrayOfDictionaries(*list) : std::nullopt;
        if (!records) {
            if (list)
                std::cerr << "tavrinctl sync: the comment list must be a JSON array of objects\n";
            exitCode = kExitBadInput;
            return;
        }
        exitCode = runOperation(*settings, [&](AppleScriptBridge& bridge) {
            return Value(bridge.syncAllComments(*records));
        });
    });

    CLI::App* clear = sync->add_subcommand("clear", "Remove all markers; prints true/false");
    clear->callback([settings, &exitCode] {
        exitCode = runOperation(
            *settings, [](AppleScriptBridge& bridge) { return Value(bridge.clearAllMarkers()); });
    });

    CLI::App* markerAt = sync->add_subcommand(
        "marker-at", "Print the marker nearest to a time within the threshold, or null");
    markerAt->add_option("SECONDS", settings->seconds, "Time in seconds")->required();
    markerAt->add_option("--threshold", settings->threshold, "Largest distance in seconds")
        ->capture_default_str();
    markerAt->callback([settings, &exitCode] {
        exitCode = runOperation(*settings, [&](AppleScriptBridge& bridge) {
            auto marker = bridge.getMarkerAtTime(settings->seconds, settings->threshold);
            return marker ? *marker : Value(nullptr);
        });
    });
}

} // namespace tavrin::ctl
