#pragma once
// A blocking client of the simulated editor's bus interface (SimBusInterface.h),
// for `fcp-sim ctl`, the script runner and the host library.
//
// Every call blocks the calling thread until the answer or the time-out; calls
// may be made from any thread (GDBus connections are thread-safe).

#include <gio/gio.h>

#include <memory>
#include <string>

namespace tavrin::sim {

struct CallResult {
    std::shared_ptr<GVariant> reply; // null on failure
    std::string error;               // why, on failure
    bool noEditor = false;           // nobody owns the editor's name
    explicit operator bool() const { return reply != nullptr; }
};

class SimBusClient {
  public:
    // A private connection to the session bus ($DBUS_SESSION_BUS_ADDRESS).
    // Null, with a reason in *error, when there is no session bus.
    static std::unique_ptr<SimBusClient> connectToSessionBus(std::string* error);
    explicit SimBusClient(GDBusConnection* connection); // takes a reference
    ~SimBusClient();
    SimBusClient(const SimBusClient&) = delete;
    SimBusClient& operator=(const SimBusClient&) = delete;

    // Calls a method of the editor; `parameters` may be null (floating refs are sunk).
    CallResult call(const char* method, GVariant* parameters, const char* replyType,
                    int timeoutMs = 10000) const;
    // A string answer ("(s)"), e.g. the JSON ones; empty on failure.
    std::string callForString(const char* method, GVariant* parameters, CallResult* result,
                              int timeoutMs = 10000) const;

    GDBusConnection* connection() const { return connection_; }

  private:
    GDBusConnection* connection_;
};

} // namespace tavrin::sim
