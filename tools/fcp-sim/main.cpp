// fcp-sim: the simulated editor. Keeps a library of projects as an FCPXML
// file, offers its timeline and automation on the session bus
// (SimBusInterface.h) and shows a window when a display is available.
// `fcp-sim ctl ...` is its command-line client (SimCtl.h).

#include "platform/linux/GLibMainQueue.h"
#include "tools/fcp-sim/SimBusInterface.h"
#include "tools/fcp-sim/SimBusService.h"
#include "tools/fcp-sim/SimCtl.h"
#include "tools/fcp-sim/SimEditor.h"
#include "tools/fcp-sim/SimWindow.h"

#include <CLI/CLI.hpp>
#include <glib-unix.h>
#include <gtk/gtk.h>

#include <cstdlib>
#include <iostream>
#include <memory>

namespace {

std::filesystem::path defaultLibraryPath() {
    const char* data = std::getenv("XDG_DATA_HOME");
    std::filesystem::path base;
    if (data && *data)
        base = data;
    else
        base = std::filesystem::path(g_get_home_dir()) / ".local" / "share";
    return base / "fcp-sim" / "library.fcpxml";
}

struct Run {
    GMainLoop* loop = nullptr;
    int status = 0;
};

int runEditor(std::filesystem::path libraryPath, bool headless) {
    using namespace tavrin::sim;
    if (libraryPath.empty())
        libraryPath = defaultLibraryPath();
    std::error_code ec;
    if (auto absolute = std::filesystem::absolute(libraryPath, ec); !ec)
        libraryPath = absolute;
    std::string error;
    std::optional<SimLibrary> library;
    // A path that cannot even be looked at (too long, say) is an error, not a throw.
    const bool exists = std::filesystem::exists(libraryPath, ec);
    if (ec) {
        std::cerr << "fcp-sim: cannot use the library " << libraryPath.string() << ": "
                  << ec.message() << "\n";
        return 1;
    }
    if (exists) {
        library = SimLibrary::load(libraryPath, &error);
        if (!library) {
            // Never overwrite a library that cannot be read: it may be the user's work.
            std::cerr << "fcp-sim: cannot use the library " << error << "\n";
            return 1;
        }
    } else {
        library = SimLibrary::demo();
        if (!library->save(libraryPath, &error)) {
            std::cerr << "fcp-sim: " << error << "\n";
            return 1;
        }
    }

    GError* failure = nullptr;
    GDBusConnection* connection = g_bus_get_sync(G_BUS_TYPE_SESSION, nullptr, &failure);
    if (!connection) {
        std::cerr << "fcp-sim: no session bus: " << failure->message << "\n";
        g_error_free(failure);
        return 1;
    }
    g_dbus_connection_set_exit_on_close(connection, FALSE);

    Run run;
    run.loop = g_main_loop_new(nullptr, FALSE);
    tavrin::linux_platform::GLibMainQueue queue;
    SimEditor editor(std::move(*library), libraryPath, queue);
    auto quit = [&run] { g_main_loop_quit(run.loop); };
    auto service = std::make_unique<SimBusService>(editor, connection, quit);

    std::unique_ptr<SimWindow> window;
    if (!headless && (std::getenv("DISPLAY") || std::getenv("WAYLAND_DISPLAY")) &&
        gtk_init_check(nullptr, nullptr))
        window = std::make_unique<SimWindow>(editor, quit);

    struct Closure {
        std::filesystem::path* path;
        Run* run;
        bool owned = false;
    } closure{&libraryPath, &run};
    guint owner = g_bus_own_name_on_connection(
        connection, kBusName, G_BUS_NAME_OWNER_FLAGS_DO_NOT_QUEUE,
        [](GDBusConnection*, const gchar* name, gpointer data) {
            // One line on standard output once clients can reach the editor.
            auto* closure = static_cast<Closure*>(data);
            closure->owned = true;
            std::cout << tavrin::writeJSON(tavrin::Value{{"ready", true},
                                                         {"bus", name},
                                                         {"library", closure->path->string()}})
                             .value_or("{}")
                      << std::endl;
        },
        [](GDBusConnection* connection, const gchar* name, gpointer data) {
            auto* closure = static_cast<Closure*>(data);
            // A name once owned is lost only with the bus: an ordinary end.
            if (!closure->owned && connection && !g_dbus_connection_is_closed(connection)) {
                std::cerr << "fcp-sim: " << name << " is owned by another editor on this bus\n";
                closure->run->status = 1;
            }
            g_main_loop_quit(closure->run->loop);
        },
        &closure, nullptr);

    auto stop = [](gpointer loop) -> gboolean {
        g_main_loop_quit(static_cast<GMainLoop*>(loop));
        return G_SOURCE_CONTINUE; // removed below, with the other one
    };
    guint term = g_unix_signal_add(SIGTERM, stop, run.loop);
    guint interrupt = g_unix_signal_add(SIGINT, stop, run.loop);
    // Without its bus the editor has nothing left to serve.
    g_signal_connect(connection, "closed",
                     G_CALLBACK(+[](GDBusConnection*, gboolean, GError*, gpointer loop) {
                         g_main_loop_quit(static_cast<GMainLoop*>(loop));
                     }),
                     run.loop);

    g_main_loop_run(run.loop);

    editor.pause();
    if (run.status == 0 && !editor.saveProject(&error)) {
        std::cerr << "fcp-sim: " << error << "\n";
        run.status = 1;
    }
    window.reset();
    service.reset(); // unregisters its object: before the connection goes
    g_source_remove(term);
    g_source_remove(interrupt);
    g_bus_unown_name(owner);
    g_dbus_connection_flush_sync(connection, nullptr, nullptr);
    g_object_unref(connection);
    g_main_loop_unref(run.loop);
    return run.status;
}

} // namespace

int main(int argc, char** argv) {
    CLI::App app{"fcp-sim - the simulated editor (fcp-sim ctl --help for its client)"};
    std::string library;
    bool headless = false;
    app.add_option("--library", library,
                   "the library file (default $XDG_DATA_HOME/fcp-sim/library.fcpxml)");
    app.add_flag("--headless", headless, "no window, even when a display is available");
    int exitCode = 0;
    tavrin::sim::registerCtlCommands(app, exitCode);
    try {
        app.parse(argc, argv);
    } catch (const CLI::ParseError& e) {
        int status = app.exit(e);
        return status == 0 ? 0 : 2;
    }
    if (app.got_subcommand("ctl"))
        return exitCode;
    return runEditor(library, headless);
}
