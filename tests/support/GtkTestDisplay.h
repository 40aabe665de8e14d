#pragma once
// GTK and WebKitGTK set-up for GUI tests and benchmarks: a private Xvfb, the
// environment WebKitGTK needs when run as root in a container, and gtk_init.
// Compiled into the programs that link tavrin_webkit (it needs GTK).

#include <chrono>
#include <functional>

namespace tavrin::testing {

// Starts a private Xvfb (always when ownServer, otherwise only when DISPLAY
// is unset), points DISPLAY at it, and calls gtk_init. Once per process; the
// server is stopped at exit. Throws std::runtime_error when no display can be had.
void initGtkForTests(bool ownServer = true);

// Runs the default GLib main context until predicate() holds or timeout
// (real time, a safety net) passes. Returns predicate().
bool runMainLoopUntil(const std::function<bool()>& predicate,
                      std::chrono::milliseconds timeout = std::chrono::seconds(30));

} // namespace tavrin::testing
