#pragma once
// The notification centre's own way out onto the bus: a second, send-only
// connection to the same dbus-daemon as a GDBus connection.
//
// GDBus sends a signal by building a GDBusMessage, walking its body value by
// value into the wire form, and handing the bytes to its worker thread, which
// is woken to write them. Here a notification goes from the property list to
// the wire form in one pass and is written by the posting thread itself: the
// same bytes on the bus, without the walk and without the hop.
//
// Writes never block. What the socket cannot take at once waits, in order,
// and is written by later sends or when the socket becomes writable (watched
// in the context given to open()). The destructor writes what still waits, for
// at most kFlushTimeout. Anything the bus sends to this connection (its Hello
// answer, NameAcquired, stray messages) is read and dropped.

#include "common/NotificationCenter.h"

#include <gio/gio.h>

#include <chrono>
#include <cstdint>
#include <memory>
#include <optional>
#include <string>

namespace tavrin::linux_platform {

class BusSignalSender {
  public:
    static constexpr std::chrono::milliseconds kFlushTimeout{2000};

    enum class Result {
        Sent,        // written, or waiting in order to be written
        CannotCarry, // the notification has no wire form (see encodeMessage)
        Closed,      // the connection is gone; nothing more can be sent on it
    };

    // Connects to the peer of connection's socket (a Unix socket; nullptr for
    // any other transport), authenticates as this user and says Hello, within
    // timeout. Returns nullptr, with a reason in *error, when it cannot.
    static std::unique_ptr<BusSignalSender> open(GDBusConnection* connection, GMainContext* context,
                                                 std::chrono::milliseconds timeout,
                                                 std::string* error = nullptr);

    ~BusSignalSender();
    BusSignalSender(const BusSignalSender&) = delete;
    BusSignalSender& operator=(const BusSignalSender&) = delete;

    // Sends the notification as one broadcast signal of the centre's wire
    // form. Thread-safe; signals leave in the order their sends returned.
    Result send(const std::string& name, const std::optional<Dictionary>& userInfo);

    // Writes what still waits, waiting for the bus at most `within`. True when
    // nothing is left (false also once the connection is gone).
    bool flush(std::chrono::milliseconds within = kFlushTimeout);

    // The whole D-Bus message for one notification (native byte order), or
    // no value when it cannot be carried: a string that is not UTF-8 or holds
    // NUL, nesting deeper than the centre allows, an array over the bus's
    // 64 MiB, or a body over the centre's largest.
    static std::optional<std::string> encodeMessage(std::uint32_t serial, const std::string& name,
                                                    const std::optional<Dictionary>& userInfo);

  private:
    struct State;
    explicit BusSignalSender(std::shared_ptr<State> state);
    std::shared_ptr<State> state_;
};

} // namespace tavrin::linux_platform
