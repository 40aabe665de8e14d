// tavrinctl watch FOLDER: watches a folder as the container app does and
// prints the detection line for each finished export until interrupted.

#include "TavrinFCP/FileWatcher.h"
#include "platform/linux/GLibMainQueue.h"
#include "tools/tavrinctl/Commands.h"
#include "tools/tavrinctl/Output.h"

#include <glib-unix.h>
#include <glib.h>

#include <cerrno>
#include <csignal>
#include <cstdio>
#include <filesystem>
#include <memory>
#include <string>
#include <system_error>

namespace tavrin::ctl {

namespace {

gboolean quitLoop(gpointer loop) {
    g_main_loop_quit(static_cast<GMainLoop*>(loop));
    return G_SOURCE_CONTINUE;
}

int runWatch(const std::string& folder) {
    std::error_code error;
    std::filesystem::path path = std::filesystem::absolute(folder, error);
    if (error || !std::filesystem::is_directory(path, error)) {
        std::fprintf(stderr, "tavrinctl watch: %s is not a folder\n", folder.c_str());
        return kExitBadInput;
    }

    GMainLoop* loop = g_main_loop_new(nullptr, FALSE);
    guint onInterrupt = g_unix_signal_add(SIGINT, &quitLoop, loop);
    guint onTerminate = g_unix_signal_add(SIGTERM, &quitLoop, loop);
    int status = kExitOK;
    {
        linux_platform::GLibMainQueue queue;
        container::FileWatcher watcher(path.lexically_normal().string(), queue);
        // Nothing is watched once the folder is gone: idling on would look like
        // a watch that finds nothing.
        watcher.onFolderGone = [&] {
            std::fprintf(stderr,
                         "tavrinctl watch: %s was removed or moved away; stopped watching\n",
                         folder.c_str());
            status = kExitFailure;
            g_main_loop_quit(loop);
        };
        // The watcher has written the detection line (and flushed it) when it
        // calls this: a watch whose lines are lost (a full disk, a closed
        // descriptor) reports nothing at all, so it stops and says why.
        watcher.onFileDetected = [&](const std::string&) {
            if (outputFailed(errno)) {
                status = kExitFailure;
                g_main_loop_quit(loop);
            }
        };
        watcher.start();
        if (watcher.isWatching()) {
            std::fprintf(stderr, "Watching %s (Ctrl-C to stop)\n", path.c_str());
            g_main_loop_run(loop);
            watcher.stop();
        } else {
            std::fprintf(stderr, "tavrinctl watch: cannot watch %s\n", folder.c_str());
            status = kExitFailure;
        }
    }
    g_source_remove(onInterrupt);
    g_source_remove(onTerminate);
    g_main_loop_unref(loop);
    return status;
}

} // namespace

void registerWatchCommands(CLI::App& app, int& exitCode) {
    auto* watch = app.add_subcommand(
        "watch", "Watch a folder and print a line for each finished export until interrupted");
    auto folder = std::make_shared<std::string>();
    watch->add_option("FOLDER", *folder, "Folder to watch (with its subfolders)")->required();
    watch->callback([folder, &exitCode] { exitCode = runWatch(*folder); });
}

} // namespace tavrin::ctl
