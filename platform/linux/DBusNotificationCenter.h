#pragma once
// The notification centre on the D-Bus session bus (GDBus), talking to the
// user's dbus-daemon: the Linux counterpart of the per-user distributed
// notification centre.
//
// Wire form. Each notification is one broadcast signal
//
//     path      /com/tavrin/Notifications
//     interface com.tavrin.Notifications
//     member    Notification
//     body      (s)        name only: a notification without user info
//               (sa{sv})   name and user info (an empty dictionary stays empty)
//
// and each property-list value inside the user info is a variant:
//
//     string                  s     (valid UTF-8 without NUL, as D-Bus requires)
//     integer                 x     (int64; an unsigned integer above INT64_MAX is t)
//     floating number         d
//     boolean                 b
//     array                   av
//     dictionary              a{sv}
//     null (NSNull)           ay    always empty: "array of bytes [ ]" in dbus-monitor
//
// so `dbus-monitor "interface='com.tavrin.Notifications'"` prints a readable tree.
// Integers and floating numbers stay distinct; a boolean is never a number.
// Nesting is bounded: the user info with everything inside may be at most
// kMaxNesting containers deep (the user info itself counts as one). dbus-daemon
// disconnects a sender whose message nests deeper than 64 D-Bus containers
// (each dictionary level here costs three), so post() refuses deeper values
// rather than lose the connection; so are bodies over kMaxBodySize bytes and
// arrays over the bus's 64 MiB.
//
// Posts leave through a send-only companion connection to the same bus
// (BusSignalSender): the posting thread writes each signal's wire form itself,
// without GDBus's serialisation and worker thread. Where that connection
// cannot be opened (a bus not on a Unix socket) or is lost, GDBus sends them.
//
// Observers subscribe with a match rule on the name (arg0), so the bus wakes a
// process only for the names it observes. A received signal whose body does
// not follow the form above exactly (another signature, another variant type,
// a non-empty null marker, a duplicate key, nesting too deep) is ignored.
//
// Threads: GDBus delivers signals in the thread-default main context of the
// subscribing thread. When the observer's queue is a GLibMainQueue whose
// context the observing thread can take (it runs it, or nobody runs it yet),
// the centre subscribes in that context: each signal is decoded and its block
// run there, straight from the connection's worker, in the bus's order. Other
// observers are subscribed in the centre's own context (the dispatch thread of
// connect(), or the context given to create()), where each signal is decoded
// and the block posted to the observer's queue.

#include "common/NotificationCenter.h"

#include <gio/gio.h>

#include <chrono>
#include <cstddef>
#include <memory>
#include <string>

namespace tavrin::linux_platform {

class DBusNotificationCenter final : public NotificationCenter {
  public:
    static constexpr const char* kObjectPath = "/com/tavrin/Notifications";
    static constexpr const char* kInterface = "com.tavrin.Notifications";
    static constexpr const char* kMember = "Notification";
    static constexpr int kMaxNesting = 20;
    // The largest body post() sends: D-Bus messages are at most 128 MiB, and
    // dbus-daemon disconnects a sender whose message is larger, which would
    // end the channel for the rest of the process. Room is left for the header.
    static constexpr std::size_t kMaxBodySize = (std::size_t{1} << 27) - 4096;

    // Opens a private connection to the bus at address (empty: the session bus
    // named by the environment, DBUS_SESSION_BUS_ADDRESS), with a dispatch
    // thread of its own. Blocks while connecting, at most `timeout`. Returns
    // nullptr, with a reason in *error, when the bus cannot be reached in time.
    // Losing the bus later never ends the process; posts then fail.
    static std::unique_ptr<DBusNotificationCenter>
    connect(const std::string& address = {}, std::string* error = nullptr,
            std::chrono::milliseconds timeout = std::chrono::seconds(25));

    // A centre on a connection someone else opened (e.g. a GApplication's own
    // bus connection), delivering in context (nullptr: the global default),
    // with no thread of its own. The connection is referenced, never closed.
    // observe() is best called on context's thread; from another thread while
    // context's loop runs, it waits for that loop.
    static std::unique_ptr<DBusNotificationCenter> create(GDBusConnection* connection,
                                                          GMainContext* context);

    ~DBusNotificationCenter() override;
    DBusNotificationCenter(const DBusNotificationCenter&) = delete;
    DBusNotificationCenter& operator=(const DBusNotificationCenter&) = delete;

    bool post(const std::string& name, const std::optional<Dictionary>& userInfo) override;
    [[nodiscard]] Observation observe(const std::string& name, MainQueue& queue,
                                      Block block) override;

    // How long observe() waits for the bus to confirm a registration (default
    // 10 s; a bus that stopped answering then delivers nothing to it).
    void setRegistrationTimeout(std::chrono::milliseconds timeout);

    // The connection (owned by the centre), e.g. for its unique bus name.
    GDBusConnection* connection() const;

    // Sees what was posted onto the bus, e.g. before the process ends without
    // destroying the centre; waits for a busy bus a few seconds at most.
    void flush();

    // The mapping itself. encodeBody returns a new floating GVariant, or
    // nullptr when the notification cannot be carried (see post()).
    // decodeBody returns no value when body does not follow the mapping.
    // Both are pure and thread-safe.
    static GVariant* encodeBody(const std::string& name, const std::optional<Dictionary>& userInfo);

    // The checks both ways out make: a string the bus carries (UTF-8 without
    // NUL), and a user info it carries (a dictionary at most kMaxNesting deep).
    static bool carriesString(const std::string& s);
    static bool carriesUserInfo(const Dictionary& userInfo);
    static std::optional<Notification> decodeBody(GVariant* body);

  private:
    struct Impl;
    explicit DBusNotificationCenter(std::shared_ptr<Impl> impl);
    std::shared_ptr<Impl> impl_;
};

} // namespace tavrin::linux_platform
