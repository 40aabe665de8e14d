// tavrin-fcp: the container app. A background GApplication, one instance per
// session bus, without a window: it answers the panel's commands on the
// container channel until it is asked to quit (its "quit" action) or gets
// SIGINT or SIGTERM.
//
// A second launch hands over to the running instance (which shows the install
// alert again) and exits 0 at once. Shutdown order: stop taking commands and
// stop the watcher, end the editor's script runs, let the running tasks end
// within a bound, then tear down the services and the main queue.

#include "TavrinFCP/AppDelegate.h"
#include "TavrinFCP/UploadManager.h"
#include "common/Log.h"
#include "common/TaskExecutor.h"
#include "platform/linux/DBusNotificationCenter.h"
#include "platform/linux/GLibMainQueue.h"
#include "platform/linux/GioWorkspace.h"
#include "platform/linux/GtkDialogs.h"

#include <dirent.h>
#include <gio/gio.h>
#include <glib-unix.h>
#include <gtk/gtk.h>
#include <signal.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <iterator>
#include <memory>
#include <sstream>
#include <string>

namespace {

using namespace tavrin;
using namespace tavrin::container;
using namespace std::chrono_literals;

constexpr const char* kApplicationId = "ai.tavrin.fcp";
// How long running tasks (uploads, mostly) get to end at shutdown.
constexpr auto kTaskBound = 3s;

void log(LogLevel level, const std::string& message) {
    logLine("ai.tavrin.fcp", "Application", level, message);
}

struct Program {
    GApplication* application = nullptr;
    int exitStatus = 0;
    bool launched = false;
    std::unique_ptr<linux_platform::GLibMainQueue> mainQueue;
    std::unique_ptr<linux_platform::DBusNotificationCenter> center;
    std::unique_ptr<linux_platform::GtkDialogs> dialogs;
    linux_platform::GioWorkspace workspace;
    TaskExecutor executor;
    std::shared_ptr<AppDelegate> delegate;
    gchar** arguments = nullptr; // what the command line holds besides options
};

std::string apiBaseURL() {
    const char* configured = std::getenv("TAVRIN_API_BASE_URL");
    return configured && *configured ? configured : UploadManager::defaultAPIURL();
}

// The process group a process belongs to, from /proc/PID/stat; -1 if unknown.
pid_t processGroupOf(pid_t pid) {
    std::ifstream stat("/proc/" + std::to_string(pid) + "/stat");
    std::string text((std::istreambuf_iterator<char>(stat)), std::istreambuf_iterator<char>());
    // "pid (comm) state ppid pgrp ...": comm may hold anything but ends at the last ')'.
    auto close = text.rfind(')');
    if (close == std::string::npos)
        return -1;
    std::istringstream fields(text.substr(close + 1));
    std::string state;
    pid_t parent = 0, group = -1;
    fields >> state >> parent >> group;
    return fields ? group : -1;
}

// Kills the editor script runs still going, with what they started. The
// process runner starts each run as the leader of a process group of its own;
// other children (a browser opened for a URL) stay in ours and are left alone.
void killScriptRuns() {
    DIR* tasks = opendir("/proc/self/task");
    if (!tasks)
        return;
    while (dirent* task = readdir(tasks)) {
        if (task->d_name[0] == '.')
            continue;
        std::ifstream children(std::string("/proc/self/task/") + task->d_name + "/children");
        for (pid_t pid; children >> pid;) {
            if (processGroupOf(pid) == pid) {
                ::kill(-pid, SIGKILL);
                ::kill(pid, SIGKILL);
            }
        }
    }
    closedir(tasks);
}

// The first shutdown steps, then the main loop ends; main() does the rest.
void quitProgram(Program* program, const std::string& reason) {
    log(LogLevel::Default, reason + ": shutting down");
    if (program->delegate)
        program->delegate->applicationWillTerminate();
    if (program->dialogs)
        program->dialogs->dismissAll();
    g_application_quit(program->application);
}

gboolean onTerminationSignal(gpointer data) {
    quitProgram(static_cast<Program*>(data), "termination signal");
    return G_SOURCE_CONTINUE;
}

// The application's "quit" action, which the bus exports: how the user (or a
// session manager) asks the windowless app to end, e.g.
// `gapplication action ai.tavrin.fcp quit`.
void onQuitAction(GSimpleAction*, GVariant*, gpointer data) {
    quitProgram(static_cast<Program*>(data), "asked to quit");
}

// The session bus went away (its daemon ended). No command can arrive any
// more, but the export watch and running uploads need no bus: keep them.
void onBusClosed(GDBusConnection*, gboolean, GError* error, gpointer) {
    log(LogLevel::Error, std::string("lost the session bus, no more commands can arrive: ") +
                             (error ? error->message : "the connection closed"));
}

// Primary instance only, before the first activation.
void onStartup(GApplication* application, gpointer data) {
    auto* program = static_cast<Program*>(data);
    // Accessory: no window, and the app keeps running without one.
    g_application_hold(application);
    g_unix_signal_add(SIGINT, onTerminationSignal, program);
    g_unix_signal_add(SIGTERM, onTerminationSignal, program);
    // A closed terminal: by default it would end the program at once and leave
    // the script runs (in process groups of their own) going.
    g_unix_signal_add(SIGHUP, onTerminationSignal, program);
    GSimpleAction* quit = g_simple_action_new("quit", nullptr);
    g_signal_connect(quit, "activate", G_CALLBACK(onQuitAction), program);
    g_action_map_add_action(G_ACTION_MAP(application), G_ACTION(quit));
    g_object_unref(quit);

    const bool display = gtk_init_check(nullptr, nullptr);
    if (!display)
        log(LogLevel::Default, "no display: alerts go to the log, the folder chooser cancels");
    program->dialogs = std::make_unique<linux_platform::GtkDialogs>(display);
    program->mainQueue = std::make_unique<linux_platform::GLibMainQueue>();
    std::string error;
    // The application's own bus connection carries the channel too; the
    // centre delivers on the main context this thread runs.
    if (GDBusConnection* connection = g_application_get_dbus_connection(application)) {
        // GDBus would otherwise end the process (SIGTERM) when the bus goes,
        // cancelling uploads under way.
        g_dbus_connection_set_exit_on_close(connection, FALSE);
        g_signal_connect(connection, "closed", G_CALLBACK(onBusClosed), nullptr);
        program->center = linux_platform::DBusNotificationCenter::create(connection, nullptr);
    } else
        program->center = linux_platform::DBusNotificationCenter::connect({}, &error);
    if (!program->center) {
        log(LogLevel::Fault, "cannot reach the session bus: " + error);
        program->exitStatus = 1;
        g_application_quit(application);
        return;
    }

    AppServices services;
    services.mainQueue = program->mainQueue.get();
    services.notificationCenter = program->center.get();
    services.executor = &program->executor;
    services.dialogs = program->dialogs.get();
    services.workspace = &program->workspace;
    services.dataDirectory = g_get_user_data_dir();
    services.editorPaths = AppDelegate::defaultEditorPaths();
    AppleScriptBridge::Options scripts;
    services.makeAutomation = [scripts] { return makeAppleScriptAutomation(scripts); };
    services.makeUploader = [] { return makeUploadManagerUploader(apiBaseURL()); };
    program->delegate = std::make_shared<AppDelegate>(std::move(services));
}

// The launch itself, then each time the app is opened again (a second launch).
void onActivate(GApplication*, gpointer data) {
    auto* program = static_cast<Program*>(data);
    if (!program->delegate)
        return;
    if (!program->launched) {
        program->launched = true;
        program->delegate->applicationDidFinishLaunching();
        log(LogLevel::Info, "serving commands (pid " + std::to_string(::getpid()) + ")");
        return;
    }
    program->delegate->applicationShouldHandleReopen(false);
}

// The app opens no files: an argument is a usage error (exit 2), said in one
// line, rather than GLib's critical about files it cannot open.
gint onLocalOptions(GApplication*, GVariantDict*, gpointer data) {
    auto* program = static_cast<Program*>(data);
    if (program->arguments && program->arguments[0]) {
        g_printerr("tavrin-fcp: unexpected argument \"%s\": it takes no files (see --help)\n",
                   program->arguments[0]);
        return 2;
    }
    return -1; // go on
}

} // namespace

int main(int argc, char** argv) {
    auto program = std::make_unique<Program>();
    program->application = g_application_new(kApplicationId, G_APPLICATION_DEFAULT_FLAGS);
    g_signal_connect(program->application, "startup", G_CALLBACK(onStartup), program.get());
    g_signal_connect(program->application, "activate", G_CALLBACK(onActivate), program.get());
    const GOptionEntry options[] = {{G_OPTION_REMAINING, 0, 0, G_OPTION_ARG_FILENAME_ARRAY,
                                     &program->arguments, nullptr, nullptr},
                                    {}};
    g_application_add_main_option_entries(program->application, options);
    g_signal_connect(program->application, "handle-local-options", G_CALLBACK(onLocalOptions),
                     program.get());

    int status = g_application_run(program->application, argc, argv);
    if (status == 0)
        status = program->exitStatus;

    // Quit by other means than a signal: the same first steps.
    if (program->delegate)
        program->delegate->applicationWillTerminate();
    // Script runs are ended; the other tasks get a bound to finish.
    killScriptRuns();
    bool finished = program->executor.shutdownWithin(100ms);
    const auto deadline = std::chrono::steady_clock::now() + kTaskBound;
    while (!finished && std::chrono::steady_clock::now() < deadline) {
        killScriptRuns(); // one a queued task may have started
        finished = program->executor.shutdownWithin(100ms);
    }
    // The answers the tasks posted are on their way out: see them onto the bus
    // before the connection goes.
    if (program->center)
        program->center->flush();
    if (!finished) {
        // An upload still running: the process ends under it, which closes its
        // connection. Nothing is torn down that its task could still touch.
        log(LogLevel::Default, "tasks still running after the shutdown bound; ending them");
        std::fflush(nullptr);
        std::_Exit(status);
    }
    program->delegate.reset();
    program->center.reset();
    program->mainQueue.reset();
    g_object_unref(program->application);
    g_strfreev(program->arguments);
    program->application = nullptr;
    program.reset();
    return status;
}
