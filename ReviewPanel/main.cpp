// review-panel: the panel as a program of its own. Its main plays the
// extension entry: it makes the view controller, runs loadView and
// viewDidLoad, and shows the container view in a 400 x 700 window titled
// "Tavrin". Closing the window (or SIGINT, SIGTERM) ends the program with 0.
//
// The editor's host is whatever ProExtensionHostSingleton the program is
// linked with (it exports its symbols so the host library's is found); with
// none, the panel runs as with a host that has no timeline.
//
// Configuration (environment, else the build's CMake cache values):
//   TAVRIN_WEB_ORIGIN    origin of the production page
//   TAVRIN_DEV_ORIGIN    origin of the development page (http://localhost:3000)
//   TAVRIN_API_BASE_URL  the service API (its host is allowed in the panel)
// The page is chosen by /tmp/tavrin-fcp-diag and /tmp/tavrin-fcp-dev.

#include "ReviewPanel/ViewController.h"
#include "common/Log.h"
#include "platform/linux/DBusNotificationCenter.h"
#include "platform/linux/GLibMainQueue.h"
#include "platform/linux/GioWorkspace.h"
#include "platform/linux/GtkPanelToolkit.h"

#include <glib-unix.h>
#include <gtk/gtk.h>

#include <csignal>
#include <cstdio>
#include <cstdlib>

#ifndef TAVRIN_WEB_ORIGIN
#define TAVRIN_WEB_ORIGIN "http://localhost:3000"
#endif
#ifndef TAVRIN_DEV_ORIGIN
#define TAVRIN_DEV_ORIGIN "http://localhost:3000"
#endif
#ifndef TAVRIN_API_BASE_URL
#define TAVRIN_API_BASE_URL "http://localhost:3000"
#endif

namespace {

std::string setting(const char* name, const char* fallback) {
    const char* value = std::getenv(name);
    return value && *value ? value : fallback;
}

gboolean quit(gpointer) {
    gtk_main_quit();
    return G_SOURCE_REMOVE;
}

} // namespace

int main(int argc, char** argv) {
    using namespace tavrin;
    if (!gtk_init_check(&argc, &argv)) {
        std::fprintf(stderr, "review-panel: no display to show the panel on (is DISPLAY set?)\n");
        return 1;
    }

    panel::PanelSettings settings;
    settings.webOrigin = setting("TAVRIN_WEB_ORIGIN", TAVRIN_WEB_ORIGIN);
    settings.developmentOrigin = setting("TAVRIN_DEV_ORIGIN", TAVRIN_DEV_ORIGIN);
    settings.apiBaseURL = setting("TAVRIN_API_BASE_URL", TAVRIN_API_BASE_URL);

    // The editor's host calls the panel from a thread of its own until the
    // process ends, and what it calls (a notification already on its way when
    // the panel closed) posts to the main queue: the queue lives as long as
    // the process, not only as long as main().
    static auto* const mainQueue = new linux_platform::GLibMainQueue;
    linux_platform::GioWorkspace workspace;
    linux_platform::GtkPanelToolkit toolkit;
    std::string busError;
    auto center = linux_platform::DBusNotificationCenter::connect({}, &busError);
    if (!center)
        logLine(panel::ViewController::logSubsystem, "main", LogLevel::Error,
                "no session bus, the container app cannot be reached: " + busError);

    auto controller =
        panel::ViewController::create({*mainQueue, toolkit, workspace, center.get()}, settings);
    controller->loadView();
    controller->viewDidLoad();

    GtkWidget* window = gtk_window_new(GTK_WINDOW_TOPLEVEL);
    gtk_window_set_title(GTK_WINDOW(window), "Tavrin");
    gtk_window_set_default_size(GTK_WINDOW(window), 400, 700);
    gtk_container_add(GTK_CONTAINER(window),
                      linux_platform::GtkPanelToolkit::widgetOf(*controller->view()));
    g_signal_connect(window, "destroy", G_CALLBACK(gtk_main_quit), nullptr);
    g_unix_signal_add(SIGINT, &quit, nullptr);
    g_unix_signal_add(SIGTERM, &quit, nullptr);
    gtk_widget_show(window);

    gtk_main();
    controller.reset();
    return 0;
}
