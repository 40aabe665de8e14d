#include "platform/linux/BusSignalSender.h"

#include "common/Errno.h"
#include "common/FileDescriptor.h"
#include "common/SocketWait.h"
#include "platform/linux/DBusNotificationCenter.h"

#include <glib-unix.h>
#include <poll.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include <algorithm>
#include <bit>
#include <cstddef>
#include <cstring>
#include <limits>
#include <mutex>

namespace tavrin::linux_platform {

namespace {

using Clock = std::chrono::steady_clock;

constexpr std::uint32_t kMaxArrayLength = std::uint32_t{1} << 26; // the bus refuses longer arrays
constexpr std::size_t kMaxMessageSize = std::size_t{1} << 27;

enum MessageType : char { kMethodCall = 1, kMethodReturn = 2, kSignal = 4 };
enum HeaderField : char {
    kPath = 1,
    kInterface = 2,
    kMember = 3,
    kDestination = 6,
    kSignature = 8
};

// Writes a D-Bus message in the wire form, in native byte order. Every value
// is aligned from the start of the message, which is the start of out.
class WireWriter {
  public:
    std::string out;

    void pad(std::size_t alignment) { out.resize((out.size() + alignment - 1) & ~(alignment - 1)); }

    template <class T> void fixed(T value) {
        pad(sizeof(T));
        char bytes[sizeof(T)];
        std::memcpy(bytes, &value, sizeof(T));
        out.append(bytes, sizeof(T));
    }

    // Reserves an aligned uint32 to be filled in later; returns where it is.
    std::size_t placeholder() {
        fixed(std::uint32_t{0});
        return out.size() - 4;
    }
    void fill(std::size_t at, std::uint32_t value) { std::memcpy(&out[at], &value, 4); }

    bool string(const std::string& s) {
        // D-Bus strings are UTF-8 without NUL; stop early on what can never fit.
        if (out.size() + s.size() >= kMaxMessageSize || !DBusNotificationCenter::carriesString(s))
            return false;
        fixed(static_cast<std::uint32_t>(s.size()));
        out.append(s.c_str(), s.size() + 1);
        return true;
    }

    void signature(const char* s) {
        out.push_back(static_cast<char>(std::strlen(s)));
        out.append(s, std::strlen(s) + 1);
    }

    // The fixed part of a message header and its fields, up to the body.
    // Returns where the body's length goes.
    std::size_t header(MessageType type, char flags, std::uint32_t serial,
                       std::initializer_list<std::pair<HeaderField, const char*>> fields,
                       const char* bodySignature) {
        out.push_back(std::endian::native == std::endian::little ? 'l' : 'B');
        out.push_back(type);
        out.push_back(flags);
        out.push_back(1); // protocol version
        const std::size_t bodyLength = placeholder();
        fixed(serial);
        const std::size_t fieldsLength = placeholder();
        pad(8);
        const std::size_t fieldsStart = out.size();
        auto field = [&](HeaderField code, const char* type, const char* value) {
            pad(8);
            out.push_back(code);
            signature(type);
            if (type[0] == 'g')
                signature(value);
            else
                string(value);
        };
        for (const auto& [code, value] : fields)
            field(code, code == kPath ? "o" : "s", value);
        if (bodySignature)
            field(kSignature, "g", bodySignature);
        fill(fieldsLength, static_cast<std::uint32_t>(out.size() - fieldsStart));
        pad(8);
        return bodyLength;
    }

    // A dictionary as a{sv}.
    bool dictionary(const Value& dict) {
        const std::size_t length = placeholder();
        pad(8); // a dict entry's alignment, even when there is none
        const std::size_t start = out.size();
        for (auto it = dict.begin(); it != dict.end(); ++it) {
            pad(8);
            if (!string(it.key()) || !variant(it.value()))
                return false;
        }
        return closeArray(length, start);
    }

    // A variant: its signature, then the value at its own alignment.
    bool variant(const Value& value) {
        switch (value.type()) {
        case Value::value_t::string:
            signature("s");
            return string(value.get_ref<const std::string&>());
        case Value::value_t::number_integer:
            signature("x");
            fixed(value.get<std::int64_t>());
            return true;
        case Value::value_t::number_unsigned: {
            auto u = value.get<std::uint64_t>();
            if (u <= static_cast<std::uint64_t>(std::numeric_limits<std::int64_t>::max())) {
                signature("x");
                fixed(static_cast<std::int64_t>(u));
            } else {
                signature("t");
                fixed(u);
            }
            return true;
        }
        case Value::value_t::number_float:
            signature("d");
            fixed(value.get<double>());
            return true;
        case Value::value_t::boolean:
            signature("b");
            fixed(std::uint32_t{value.get<bool>() ? 1u : 0u});
            return true;
        case Value::value_t::null:
            signature("ay");
            fixed(std::uint32_t{0}); // always empty
            return true;
        case Value::value_t::array: {
            signature("av");
            const std::size_t length = placeholder();
            const std::size_t start = out.size(); // variants need no alignment
            for (const auto& element : value)
                if (!variant(element))
                    return false;
            return closeArray(length, start);
        }
        case Value::value_t::object:
            signature("a{sv}");
            return dictionary(value);
        default:
            return false; // binary or discarded values are not property-list values
        }
    }

  private:
    bool closeArray(std::size_t length, std::size_t start) {
        const std::size_t size = out.size() - start;
        if (size > kMaxArrayLength)
            return false;
        fill(length, static_cast<std::uint32_t>(size));
        return true;
    }
};

// What is left of the time until deadline, for one wait.
int msUntil(Clock::time_point deadline) {
    auto left = std::chrono::ceil<std::chrono::milliseconds>(deadline - Clock::now()).count();
    return static_cast<int>(std::clamp<long long>(left, 0, 1 << 30));
}

bool writeAll(int fd, std::string_view bytes, Clock::time_point deadline) {
    while (!bytes.empty()) {
        ssize_t n = whenReady(fd, POLLOUT, msUntil(deadline),
                              [&] { return ::send(fd, bytes.data(), bytes.size(), MSG_NOSIGNAL); });
        if (n <= 0)
            return false;
        bytes.remove_prefix(static_cast<std::size_t>(n));
    }
    return true;
}

// Reads at least `want` bytes in all into buffer, until deadline.
bool readAtLeast(int fd, std::string& buffer, std::size_t want, Clock::time_point deadline) {
    char chunk[512];
    while (buffer.size() < want) {
        ssize_t n = whenReady(fd, POLLIN, msUntil(deadline),
                              [&] { return ::recv(fd, chunk, sizeof chunk, 0); });
        if (n <= 0)
            return false;
        buffer.append(chunk, static_cast<std::size_t>(n));
    }
    return true;
}

// Authenticates as this user and says Hello; fails unless the bus answers
// the Hello with a method return by deadline.
bool greet(int fd, Clock::time_point deadline, std::string* why) {
    static constexpr char kHex[] = "0123456789abcdef";
    std::string uid = std::to_string(::geteuid()), hex;
    for (char c : uid) {
        hex.push_back(kHex[static_cast<unsigned char>(c) >> 4]);
        hex.push_back(kHex[c & 0x0F]);
    }
    std::string reply;
    if (!writeAll(fd, std::string(1, '\0') + "AUTH EXTERNAL " + hex + "\r\n", deadline)) {
        *why = "the bus did not take the authentication";
        return false;
    }
    while (reply.find("\r\n") == std::string::npos)
        if (reply.size() > 4096 || !readAtLeast(fd, reply, reply.size() + 1, deadline)) {
            *why = "the bus did not answer the authentication";
            return false;
        }
    if (reply.rfind("OK ", 0) != 0) {
        *why = "the bus refused the authentication";
        return false;
    }
    WireWriter hello;
    hello.header(kMethodCall, 0, 1,
                 {{kPath, "/org/freedesktop/DBus"},
                  {kInterface, "org.freedesktop.DBus"},
                  {kMember, "Hello"},
                  {kDestination, "org.freedesktop.DBus"}},
                 nullptr);
    // The line after OK is the whole authentication reply; what follows is
    // the Hello's answer.
    std::string answer = reply.substr(reply.find("\r\n") + 2);
    if (!writeAll(fd, "BEGIN\r\n" + hello.out, deadline) ||
        !readAtLeast(fd, answer, 16, deadline)) {
        *why = "the bus did not answer Hello";
        return false;
    }
    if (answer[1] != kMethodReturn) {
        *why = "the bus refused Hello";
        return false;
    }
    return true;
}

} // namespace

std::optional<std::string>
BusSignalSender::encodeMessage(std::uint32_t serial, const std::string& name,
                               const std::optional<Dictionary>& userInfo) {
    if (userInfo && !DBusNotificationCenter::carriesUserInfo(*userInfo))
        return std::nullopt;
    WireWriter writer;
    writer.out.reserve(512);
    const std::size_t bodyLength = writer.header(kSignal, 1 /* no reply expected */, serial,
                                                 {{kPath, DBusNotificationCenter::kObjectPath},
                                                  {kInterface, DBusNotificationCenter::kInterface},
                                                  {kMember, DBusNotificationCenter::kMember}},
                                                 userInfo ? "sa{sv}" : "s");
    const std::size_t bodyStart = writer.out.size();
    if (!writer.string(name) || (userInfo && !writer.dictionary(*userInfo)))
        return std::nullopt;
    const std::size_t body = writer.out.size() - bodyStart;
    if (body > DBusNotificationCenter::kMaxBodySize)
        return std::nullopt;
    writer.fill(bodyLength, static_cast<std::uint32_t>(body));
    return std::move(writer.out);
}

// ---------------------------------------------------------------------------

struct BusSignalSender::State : std::enable_shared_from_this<State> {
    FileDescriptor fd;
    GMainContext* context = nullptr;
    std::mutex mutex; // guards everything below
    bool closed = false;
    std::uint32_t serial = 1; // Hello's
    std::string pending;      // bytes the socket has not taken yet, from pendingAt
    std::size_t pendingAt = 0;
    GSource* input = nullptr;  // drains what the bus sends us
    GSource* output = nullptr; // while bytes are pending

    ~State() {
        if (context)
            g_main_context_unref(context);
    }

    std::uint32_t nextSerial() {
        if (++serial == 0) // 0 is not a serial
            serial = 1;
        return serial;
    }

    // Writes what the socket takes now. False once the connection is gone.
    bool flushLocked() {
        while (pendingAt < pending.size()) {
            ssize_t n = ::send(fd.get(), pending.data() + pendingAt, pending.size() - pendingAt,
                               MSG_NOSIGNAL | MSG_DONTWAIT);
            if (n > 0)
                pendingAt += static_cast<std::size_t>(n);
            else if (n < 0 && errno == EINTR)
                continue;
            else if (n < 0 && errno == EAGAIN)
                return true;
            else
                return closeLocked();
        }
        // All written: give back a large buffer.
        if (pending.capacity() > (std::size_t{1} << 20))
            std::string().swap(pending);
        pending.clear();
        pendingAt = 0;
        return true;
    }

    bool closeLocked() {
        closed = true;
        std::string().swap(pending);
        pendingAt = 0;
        dropSource(output);
        dropSource(input);
        return false;
    }

    static void dropSource(GSource*& source) {
        if (source) {
            g_source_destroy(source);
            g_source_unref(source);
            source = nullptr;
        }
    }

    // Attaches a watch of fd for condition whose callback holds this state.
    GSource* watch(GIOCondition condition, GUnixFDSourceFunc callback) {
        GSource* source = g_unix_fd_source_new(fd.get(), condition);
        g_source_set_callback(source, G_SOURCE_FUNC(callback),
                              new std::shared_ptr<State>(shared_from_this()),
                              [](gpointer p) { delete static_cast<std::shared_ptr<State>*>(p); });
        g_source_attach(source, context);
        return source;
    }

    void watchOutputLocked() {
        if (!closed && pendingAt < pending.size() && !output)
            output = watch(static_cast<GIOCondition>(G_IO_OUT | G_IO_ERR | G_IO_HUP), &onWritable);
    }

    static gboolean onWritable(gint, GIOCondition, gpointer data) {
        State& self = **static_cast<std::shared_ptr<State>*>(data);
        std::lock_guard lock(self.mutex);
        if (self.closed || !self.flushLocked())
            return G_SOURCE_REMOVE; // closeLocked() dropped this source
        if (self.pendingAt < self.pending.size())
            return G_SOURCE_CONTINUE;
        g_source_unref(self.output); // still attached until this returns
        self.output = nullptr;
        return G_SOURCE_REMOVE;
    }

    static gboolean onReadable(gint fd, GIOCondition condition, gpointer data) {
        State& self = **static_cast<std::shared_ptr<State>*>(data);
        bool gone = condition & (G_IO_HUP | G_IO_ERR);
        char scratch[4096];
        for (;;) {
            ssize_t n = ::recv(fd, scratch, sizeof scratch, MSG_DONTWAIT);
            if (n > 0)
                continue;
            if (n < 0 && errno == EINTR)
                continue;
            if (n == 0 || errno != EAGAIN)
                gone = true;
            break;
        }
        if (!gone)
            return G_SOURCE_CONTINUE;
        std::lock_guard lock(self.mutex);
        if (!self.closed)
            self.closeLocked(); // drops this source
        return G_SOURCE_REMOVE;
    }
};

std::unique_ptr<BusSignalSender> BusSignalSender::open(GDBusConnection* connection,
                                                       GMainContext* context,
                                                       std::chrono::milliseconds timeout,
                                                       std::string* error) {
    std::string why;
    auto fail = [&](std::string reason) -> std::unique_ptr<BusSignalSender> {
        if (error)
            *error = std::move(reason);
        return nullptr;
    };
    GIOStream* stream = g_dbus_connection_get_stream(connection);
    if (!G_IS_SOCKET_CONNECTION(stream))
        return fail("the bus connection is not a socket");
    GSocket* socket = g_socket_connection_get_socket(G_SOCKET_CONNECTION(stream));
    sockaddr_un peer{};
    socklen_t length = sizeof peer;
    if (::getpeername(g_socket_get_fd(socket), reinterpret_cast<sockaddr*>(&peer), &length) != 0)
        return fail("cannot tell the bus's address: " + errnoText(errno));
    if (peer.sun_family != AF_UNIX || length <= offsetof(sockaddr_un, sun_path))
        return fail("the bus is not on a named Unix socket");

    const auto deadline = Clock::now() + timeout;
    FileDescriptor fd(::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0));
    if (!fd.valid())
        return fail("cannot make a socket: " + errnoText(errno));
    if (::connect(fd.get(), reinterpret_cast<sockaddr*>(&peer), length) != 0)
        return fail("cannot connect to the bus: " + errnoText(errno));
    if (!greet(fd.get(), deadline, &why))
        return fail(why);

    auto state = std::make_shared<State>();
    state->fd = std::move(fd);
    state->context = g_main_context_ref(context ? context : g_main_context_default());
    {
        std::lock_guard lock(state->mutex);
        state->input = state->watch(static_cast<GIOCondition>(G_IO_IN | G_IO_ERR | G_IO_HUP),
                                    &State::onReadable);
    }
    return std::unique_ptr<BusSignalSender>(new BusSignalSender(std::move(state)));
}

BusSignalSender::BusSignalSender(std::shared_ptr<State> state) : state_(std::move(state)) {
}

BusSignalSender::~BusSignalSender() {
    flush();
    std::lock_guard lock(state_->mutex);
    if (!state_->closed)
        state_->closeLocked();
}

bool BusSignalSender::flush(std::chrono::milliseconds within) {
    State& s = *state_;
    std::lock_guard lock(s.mutex);
    const auto deadline = Clock::now() + within;
    while (!s.closed && s.pendingAt < s.pending.size() &&
           waitFor(s.fd.get(), POLLOUT, msUntil(deadline)))
        s.flushLocked();
    return !s.closed && s.pendingAt == s.pending.size();
}

BusSignalSender::Result BusSignalSender::send(const std::string& name,
                                              const std::optional<Dictionary>& userInfo) {
    auto message = encodeMessage(0, name, userInfo);
    if (!message)
        return Result::CannotCarry;
    State& s = *state_;
    std::lock_guard lock(s.mutex);
    if (s.closed)
        return Result::Closed;
    const std::uint32_t serial = s.nextSerial();
    std::memcpy(message->data() + 8, &serial, 4);
    if (s.pendingAt == s.pending.size())
        s.pending = std::move(*message); // nothing waits: this goes first
    else
        s.pending.append(*message);
    if (!s.flushLocked())
        return Result::Closed;
    s.watchOutputLocked();
    return Result::Sent;
}

} // namespace tavrin::linux_platform
