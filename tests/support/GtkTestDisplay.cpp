#include "tests/support/GtkTestDisplay.h"

#include "tests/support/XvfbServer.h"

#include <gtk/gtk.h>

#include <cstdlib>
#include <memory>
#include <stdexcept>

namespace tavrin::testing {

void initGtkForTests(bool ownServer) {
    static std::unique_ptr<XvfbServer> server;
    static bool done = false;
    if (done)
        return;
    if (ownServer || !std::getenv("DISPLAY")) {
        server = std::make_unique<XvfbServer>();
        setenv("DISPLAY", server->display().c_str(), 1);
    }
    unsetenv("WAYLAND_DISPLAY");
    setenv("GDK_BACKEND", "x11", 1);
    // CI runs as root in a container, where WebKit's bubblewrap sandbox cannot
    // start; and there is no GPU for the compositor.
    setenv("WEBKIT_DISABLE_SANDBOX_THIS_IS_DANGEROUS", "1", 1);
    setenv("WEBKIT_DISABLE_COMPOSITING_MODE", "1", 1);
    if (!gtk_init_check(nullptr, nullptr))
        throw std::runtime_error("gtk_init failed");
    done = true;
}

bool runMainLoopUntil(const std::function<bool()>& predicate, std::chrono::milliseconds timeout) {
    auto deadline = std::chrono::steady_clock::now() + timeout;
    // A periodic wake-up so the deadline is checked even when nothing happens.
    guint tick = g_timeout_add(
        20, [](gpointer) -> gboolean { return G_SOURCE_CONTINUE; }, nullptr);
    while (!predicate() && std::chrono::steady_clock::now() < deadline)
        g_main_context_iteration(nullptr, TRUE);
    g_source_remove(tick);
    return predicate();
}

} // namespace tavrin::testing
