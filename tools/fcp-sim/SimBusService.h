#pragma once
// Serves the simulated editor on the bus: exports the interface described in
// SimBusInterface.h on a connection and emits its signals on every change.
// Main thread only (the connection's main context is the main loop's).

#include "tools/fcp-sim/SimEditor.h"

#include "common/Value.h"

#include <gio/gio.h>

#include <functional>

namespace tavrin::sim {

class SimBusService {
  public:
    // Registers the object on connection (not yet owning the name; see
    // main.cpp). quit is called when a client asks the editor to quit.
    // Throws std::runtime_error when the object cannot be registered.
    SimBusService(SimEditor& editor, GDBusConnection* connection, std::function<void()> quit);
    ~SimBusService();
    SimBusService(const SimBusService&) = delete;
    SimBusService& operator=(const SimBusService&) = delete;

    // The JSON answers, also used by the window's title and tests.
    static Value sequenceJSON(const SimEditor& editor);
    static Value markersJSON(const SimEditor& editor);
    static Value markerJSON(const MarkerInfo& marker);

  private:
    static void onMethodCall(GDBusConnection*, const gchar* sender, const gchar* path,
                             const gchar* interface, const gchar* method, GVariant* parameters,
                             GDBusMethodInvocation* invocation, gpointer self);
    void handle(const std::string& method, GVariant* parameters, GDBusMethodInvocation* invocation);
    void emit(Change change);

    SimEditor& editor_;
    GDBusConnection* connection_;
    std::function<void()> quit_;
    GDBusNodeInfo* info_ = nullptr;
    guint registration_ = 0;
};

} // namespace tavrin::sim
