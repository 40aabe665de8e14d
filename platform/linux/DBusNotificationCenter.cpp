#include "platform/linux/DBusNotificationCenter.h"

#include "common/Log.h"
#include "common/Unicode.h"
#include "platform/linux/BusSignalSender.h"
#include "platform/linux/GLibMainQueue.h"

#include <algorithm>
#include <atomic>
#include <condition_variable>
#include <cstdint>
#include <cstring>
#include <future>
#include <limits>
#include <mutex>
#include <set>
#include <span>
#include <system_error>
#include <thread>
#include <unordered_map>

namespace tavrin::linux_platform {

namespace {

constexpr const char* kLogSubsystem = "ai.tavrin.fcp";
constexpr const char* kLogCategory = "DBusNotificationCenter";

// Writes a body straight in GVariant's serialised form (native byte order,
// normal form), so a message costs one buffer and one GVariant instead of a
// tree of them built, walked by GDBus and freed again. Containers follow the
// GVariant rules: members padded to their alignment from the container's start
// (every container here starts 8-aligned, so padding by position in the buffer
// is the same), then little-endian framing offsets sized by the container's
// total size.
class BodyWriter {
  public:
    std::string out;

    void pad(std::size_t alignment) {
        while (out.size() % alignment)
            out.push_back('\0');
    }

    bool string(const std::string& s) {
        if (out.size() + s.size() >= DBusNotificationCenter::kMaxBodySize ||
            !DBusNotificationCenter::carriesString(s))
            return false;
        out.append(s.c_str(), s.size() + 1);
        return true;
    }

    // A dictionary as a{sv}: each entry a {sv} (key, padding, variant, and the
    // key's end as its one framing offset), then the entries' ends.
    bool dictionary(const Value& dict) {
        const std::size_t start = out.size();
        const std::size_t first = ends_.size(); // this container's ends follow
        for (auto it = dict.begin(); it != dict.end(); ++it) {
            pad(8);
            const std::size_t entry = out.size();
            if (!string(it.key()))
                return false;
            const std::size_t keyEnd = out.size() - entry;
            pad(8);
            if (!variant(it.value()))
                return false;
            std::size_t frame[] = {keyEnd};
            frameOffsets(entry, frame);
            ends_.push_back(out.size() - start);
        }
        closeContainer(start, first);
        return true;
    }

    // The contents of a variant (8-aligned), then a NUL and its type.
    bool variant(const Value& value) {
        const char* type = contents(value);
        if (!type)
            return false;
        out.push_back('\0');
        out.append(type);
        return out.size() <= DBusNotificationCenter::kMaxBodySize; // stop early when too large
    }

    // Appends the offsets of the container begun at start, in the width its
    // total size calls for.
    void frameOffsets(std::size_t start, std::span<const std::size_t> offsets) {
        if (offsets.empty())
            return;
        const std::size_t body = out.size() - start, n = offsets.size();
        const std::size_t width = body + n <= 0xFF             ? 1
                                  : body + 2 * n <= 0xFFFF     ? 2
                                  : body + 4 * n <= 0xFFFFFFFF ? 4
                                                               : 8;
        for (std::size_t offset : offsets)
            for (std::size_t byte = 0; byte < width; ++byte)
                out.push_back(
                    static_cast<char>((static_cast<std::uint64_t>(offset) >> (8 * byte)) & 0xFF));
    }

  private:
    // Element ends of the containers being written, innermost last: one
    // vector for the whole body rather than one per container.
    std::vector<std::size_t> ends_;

    void closeContainer(std::size_t start, std::size_t first) {
        frameOffsets(start, std::span<const std::size_t>(ends_).subspan(first));
        ends_.resize(first);
    }

    template <class T> const char* fixed(T v, const char* type) {
        char bytes[sizeof(T)];
        std::memcpy(bytes, &v, sizeof(T));
        out.append(bytes, sizeof(T));
        return type;
    }

    // Writes value's own serialised form; returns its type, or nullptr when it
    // cannot be carried. Depth has been checked by the caller.
    const char* contents(const Value& value) {
        switch (value.type()) {
        case Value::value_t::string:
            return string(value.get_ref<const std::string&>()) ? "s" : nullptr;
        case Value::value_t::number_integer:
            return fixed(value.get<std::int64_t>(), "x");
        case Value::value_t::number_unsigned: {
            auto u = value.get<std::uint64_t>();
            if (u <= static_cast<std::uint64_t>(std::numeric_limits<std::int64_t>::max()))
                return fixed(static_cast<std::int64_t>(u), "x");
            return fixed(u, "t");
        }
        case Value::value_t::number_float:
            return fixed(value.get<double>(), "d");
        case Value::value_t::boolean:
            out.push_back(value.get<bool>() ? 1 : 0);
            return "b";
        case Value::value_t::null:
            return "ay"; // empty
        case Value::value_t::array: {
            const std::size_t start = out.size();
            const std::size_t first = ends_.size();
            for (const auto& element : value) {
                pad(8);
                if (!variant(element))
                    return nullptr;
                ends_.push_back(out.size() - start);
            }
            closeContainer(start, first);
            return "av";
        }
        case Value::value_t::object:
            return dictionary(value) ? "a{sv}" : nullptr;
        default:
            return nullptr; // binary or discarded values are not property-list values
        }
    }
};

std::optional<Value> decodeDictionary(GVariant* dict, int depth);

// depth: containers already entered above this value.
std::optional<Value> decodeValue(GVariant* value, int depth) {
    // One look at the type string instead of a type comparison per kind.
    const char* type = g_variant_get_type_string(value);
    switch (type[0]) {
    case 's': {
        gsize length = 0;
        const char* s = g_variant_get_string(value, &length);
        return Value(std::string(s, length));
    }
    case 'x':
        return Value(static_cast<std::int64_t>(g_variant_get_int64(value)));
    case 't': {
        auto u = static_cast<std::uint64_t>(g_variant_get_uint64(value));
        // Only integers above INT64_MAX travel as t; anything else is not our form.
        if (u <= static_cast<std::uint64_t>(std::numeric_limits<std::int64_t>::max()))
            return std::nullopt;
        return Value(u);
    }
    case 'd':
        return Value(g_variant_get_double(value));
    case 'b':
        return Value(static_cast<bool>(g_variant_get_boolean(value)));
    case 'a':
        break;
    default:
        return std::nullopt;
    }
    if (std::strcmp(type, "ay") == 0) {
        if (g_variant_n_children(value) != 0)
            return std::nullopt;
        return Value(nullptr);
    }
    if (std::strcmp(type, "av") == 0) {
        if (depth + 1 > DBusNotificationCenter::kMaxNesting)
            return std::nullopt;
        Value array = Value::array();
        gsize n = g_variant_n_children(value);
        auto& elements = array.get_ref<Value::array_t&>();
        elements.reserve(n);
        for (gsize i = 0; i < n; ++i) {
            GVariant* boxed = g_variant_get_child_value(value, i);
            GVariant* inner = g_variant_get_variant(boxed);
            auto decoded = decodeValue(inner, depth + 1);
            g_variant_unref(inner);
            g_variant_unref(boxed);
            if (!decoded)
                return std::nullopt;
            elements.push_back(std::move(*decoded));
        }
        return array;
    }
    if (std::strcmp(type, "a{sv}") == 0)
        return decodeDictionary(value, depth);
    return std::nullopt;
}

std::optional<Value> decodeDictionary(GVariant* dict, int depth) {
    if (depth + 1 > DBusNotificationCenter::kMaxNesting)
        return std::nullopt;
    Value result = Value::object();
    auto& entries = result.get_ref<Value::object_t&>();
    gsize n = g_variant_n_children(dict);
    for (gsize i = 0; i < n; ++i) {
        // Taken apart directly: a format string would be parsed for every entry.
        GVariant* entry = g_variant_get_child_value(dict, i);
        GVariant* keyVariant = g_variant_get_child_value(entry, 0);
        GVariant* boxed = g_variant_get_child_value(entry, 1);
        GVariant* inner = g_variant_get_variant(boxed);
        gsize keyLength = 0;
        const char* key = g_variant_get_string(keyVariant, &keyLength);
        std::string k(key, keyLength);
        auto decoded = decodeValue(inner, depth + 1);
        g_variant_unref(inner);
        g_variant_unref(boxed);
        g_variant_unref(keyVariant);
        g_variant_unref(entry);
        if (!decoded)
            return std::nullopt;
        // A duplicate key would lose a value silently: not our form.
        if (!entries.emplace(std::move(k), std::move(*decoded)).second)
            return std::nullopt;
    }
    return result;
}

} // namespace

bool DBusNotificationCenter::carriesString(const std::string& s) {
    return s.find('\0') == std::string::npos && isValidUTF8(s);
}

bool DBusNotificationCenter::carriesUserInfo(const Dictionary& userInfo) {
    return userInfo.is_object() && nestingDepth(userInfo) <= kMaxNesting;
}

GVariant* DBusNotificationCenter::encodeBody(const std::string& name,
                                             const std::optional<Dictionary>& userInfo) {
    if (!carriesString(name))
        return nullptr;
    if (!userInfo)
        return g_variant_new("(s)", name.c_str());
    if (!carriesUserInfo(*userInfo))
        return nullptr;
    // (sa{sv}): the name, padding, the dictionary, and the name's end.
    auto writer = std::make_unique<BodyWriter>();
    writer->out.reserve(512);
    writer->string(name);
    const std::size_t nameEnd = writer->out.size();
    writer->pad(8);
    if (!writer->dictionary(*userInfo))
        return nullptr;
    std::size_t frame[] = {nameEnd};
    writer->frameOffsets(0, frame);
    const std::string& out = writer->out;
    if (out.size() > kMaxBodySize)
        return nullptr;
    GVariant* body = g_variant_new_from_data(
        G_VARIANT_TYPE("(sa{sv})"), out.data(), out.size(), TRUE,
        [](gpointer p) { delete static_cast<BodyWriter*>(p); }, writer.get());
    writer.release(); // the variant owns it now
    return body;
}

std::optional<Notification> DBusNotificationCenter::decodeBody(GVariant* body) {
    if (!body)
        return std::nullopt;
    if (g_variant_is_of_type(body, G_VARIANT_TYPE("(s)"))) {
        const char* name = nullptr;
        g_variant_get(body, "(&s)", &name);
        return Notification{name, std::nullopt};
    }
    if (!g_variant_is_of_type(body, G_VARIANT_TYPE("(sa{sv})")))
        return std::nullopt;
    GVariant* nameVariant = g_variant_get_child_value(body, 0);
    GVariant* dict = g_variant_get_child_value(body, 1);
    Notification note{g_variant_get_string(nameVariant, nullptr), std::nullopt};
    auto decoded = decodeDictionary(dict, 0);
    g_variant_unref(dict);
    g_variant_unref(nameVariant);
    if (!decoded)
        return std::nullopt;
    note.userInfo = std::move(*decoded);
    return note;
}

// ---------------------------------------------------------------------------

namespace {

// One registration. GDBus owns a reference (freed by its free function, in
// the context the subscription delivers on); posted deliveries own one each;
// the token owns one.
struct Observer {
    std::string name;
    MainQueue* queue;
    NotificationCenter::Block block;
    // Guards the hand-over to the queue, so that once remove() has returned
    // nothing more is posted to a queue that may be going away.
    std::mutex handOver;
    std::atomic<bool> alive{true};
    guint subscription = 0;

    void stop() {
        std::lock_guard lock(handOver);
        alive.store(false, std::memory_order_release);
    }
};

using ObserverRef = std::shared_ptr<Observer>;

void onSignal(GDBusConnection*, const char*, const char*, const char*, const char*,
              GVariant* parameters, gpointer data) {
    const ObserverRef& observer = *static_cast<ObserverRef*>(data);
    if (!observer->alive.load(std::memory_order_acquire))
        return;
    auto note = DBusNotificationCenter::decodeBody(parameters);
    if (!note || note->name != observer->name)
        return; // not our form (or a name the match rule should have kept away)
    // Delivered in the observer's own main context: no hop at all. alive is
    // only cleared on this thread or under handOver, and remove() on this
    // thread happens-before this check.
    if (observer->queue->isCurrent()) {
        // A block that throws is logged, as work posted to the queue is: an
        // exception must not unwind through GDBus's C frames.
        runLoggingFailure([&] { observer->block(*note); }, "MainQueue");
        return;
    }
    auto shared = std::make_shared<Notification>(std::move(*note));
    std::lock_guard lock(observer->handOver);
    if (!observer->alive.load(std::memory_order_acquire))
        return;
    observer->queue->post([observer, shared] {
        if (observer->alive.load(std::memory_order_acquire))
            observer->block(*shared);
    });
}

guint subscribeHere(GDBusConnection* connection, const ObserverRef& observer) {
    return g_dbus_connection_signal_subscribe(
        connection, nullptr, DBusNotificationCenter::kInterface, DBusNotificationCenter::kMember,
        DBusNotificationCenter::kObjectPath, observer->name.c_str(), G_DBUS_SIGNAL_FLAGS_NONE,
        &onSignal, new ObserverRef(observer),
        [](gpointer p) { delete static_cast<ObserverRef*>(p); });
}

// Subscribes so that GDBus delivers in context, if this thread can take the
// context now (it runs it, or nobody does). Returns 0 otherwise.
guint subscribeIn(GMainContext* context, GDBusConnection* connection, const ObserverRef& observer) {
    if (!g_main_context_acquire(context))
        return 0;
    g_main_context_push_thread_default(context);
    guint id = subscribeHere(connection, observer);
    g_main_context_pop_thread_default(context);
    g_main_context_release(context);
    return id;
}

// Runs fn in context's own thread and waits for it.
template <class Fn> auto invokeAndWait(GMainContext* context, Fn fn) {
    using R = decltype(fn());
    struct Request {
        Fn fn;
        std::promise<R> done;
    } request{std::move(fn), {}};
    auto result = request.done.get_future();
    g_main_context_invoke(
        context,
        [](gpointer data) -> gboolean {
            auto* r = static_cast<Request*>(data);
            r->done.set_value(r->fn());
            return G_SOURCE_REMOVE;
        },
        &request);
    return result.get();
}

} // namespace

struct DBusNotificationCenter::Impl {
    GDBusConnection* connection = nullptr;
    bool ownsConnection = true; // a given connection is never closed by the centre
    // The context deliveries fall back to when the observer's own cannot be
    // used: the dispatch thread's (connect()), or the one given (create()).
    GMainContext* context = nullptr;
    GMainLoop* loop = nullptr; // with a dispatch thread only
    std::thread dispatcher;
    std::mutex mutex;
    std::unordered_map<Observer*, ObserverRef> observers; // live registrations
    std::atomic<int> registrationTimeoutMs{10000};
    // The way out for posts, beside the connection; none when it could not
    // be opened, and then GDBus sends them.
    std::unique_ptr<BusSignalSender> sender;

    // Opens the sender beside connection, delivering its watches in context.
    void openSender(std::chrono::milliseconds timeout) {
        std::string why;
        sender = BusSignalSender::open(connection, context, timeout, &why);
        if (!sender)
            logLine(kLogSubsystem, kLogCategory, LogLevel::Info, "posting through GDBus: " + why);
    }

    ~Impl() {
        sender.reset(); // what it still holds goes out before the connection closes
        std::unordered_map<Observer*, ObserverRef> remaining;
        {
            std::lock_guard lock(mutex);
            remaining.swap(observers);
        }
        for (auto& [raw, observer] : remaining) {
            observer->stop();
            g_dbus_connection_signal_unsubscribe(connection, observer->subscription);
        }
        if (loop) {
            g_main_loop_quit(loop);
            if (dispatcher.joinable())
                dispatcher.join();
        }
        if (ownsConnection)
            g_dbus_connection_close_sync(connection, nullptr, nullptr);
        g_object_unref(connection);
        if (loop) {
            // Run what the dispatch thread left behind (the subscriptions' free
            // functions), so nothing leaks.
            g_main_context_push_thread_default(context);
            while (g_main_context_iteration(context, FALSE)) {
            }
            g_main_context_pop_thread_default(context);
            g_main_loop_unref(loop);
        }
        g_main_context_unref(context);
    }

    void remove(Observer* raw) {
        ObserverRef observer;
        {
            std::lock_guard lock(mutex);
            auto it = observers.find(raw);
            if (it == observers.end())
                return;
            observer = std::move(it->second);
            observers.erase(it);
        }
        observer->stop();
        g_dbus_connection_signal_unsubscribe(connection, observer->subscription);
    }
};

namespace {

// Connects to address, giving up after timeout: a peer that accepts and never
// speaks must not hold the caller for ever. GDBus ends its handshake with the
// bus's Hello call, which takes no cancellable and waits 25 s, so the attempt
// runs on a thread of its own; one that outlives the time-out is abandoned,
// and its thread frees what it made once GDBus gives up.
GDBusConnection* connectWithin(const std::string& address, std::chrono::milliseconds timeout,
                               std::string* error) {
    struct Attempt {
        std::mutex mutex;
        std::condition_variable finished;
        bool done = false;
        GDBusConnection* connection = nullptr;
        std::string error;
        GCancellable* cancellable = g_cancellable_new();
        ~Attempt() {
            if (connection)
                g_object_unref(connection);
            g_object_unref(cancellable);
        }
    };
    auto attempt = std::make_shared<Attempt>();
    try {
        std::thread([attempt, address] {
            GError* gerror = nullptr;
            GDBusConnection* connection = g_dbus_connection_new_for_address_sync(
                address.c_str(),
                static_cast<GDBusConnectionFlags>(G_DBUS_CONNECTION_FLAGS_AUTHENTICATION_CLIENT |
                                                  G_DBUS_CONNECTION_FLAGS_MESSAGE_BUS_CONNECTION),
                nullptr, attempt->cancellable, &gerror);
            std::lock_guard lock(attempt->mutex);
            attempt->connection = connection;
            if (!connection)
                attempt->error = gerror ? gerror->message : "cannot connect to the bus";
            g_clear_error(&gerror);
            attempt->done = true;
            attempt->finished.notify_all();
        }).detach();
    } catch (const std::system_error& e) {
        if (error)
            *error = std::string("cannot start connecting: ") + e.what();
        return nullptr;
    }
    std::unique_lock lock(attempt->mutex);
    if (!attempt->finished.wait_for(lock, timeout, [&] { return attempt->done; })) {
        g_cancellable_cancel(attempt->cancellable); // the handshake's reads end now
        if (error)
            *error = "the bus did not complete the connection within " +
                     std::to_string(timeout.count()) + " ms";
        return nullptr;
    }
    if (!attempt->connection && error)
        *error = attempt->error;
    return std::exchange(attempt->connection, nullptr);
}

} // namespace

std::unique_ptr<DBusNotificationCenter>
DBusNotificationCenter::connect(const std::string& address, std::string* error,
                                std::chrono::milliseconds timeout) {
    const auto start = std::chrono::steady_clock::now();
    GError* gerror = nullptr;
    std::string target = address;
    if (target.empty()) {
        gchar* found = g_dbus_address_get_for_bus_sync(G_BUS_TYPE_SESSION, nullptr, &gerror);
        if (!found) {
            if (error)
                *error = gerror ? gerror->message : "no session bus address";
            g_clear_error(&gerror);
            return nullptr;
        }
        target = found;
        g_free(found);
    }
    // A private connection (not the process-wide singleton), so losing the bus
    // does not end the process and tests can talk to their own bus.
    GDBusConnection* connection = connectWithin(target, timeout, error);
    if (!connection)
        return nullptr;
    g_dbus_connection_set_exit_on_close(connection, FALSE);
    auto impl = std::make_shared<Impl>();
    impl->connection = connection;
    impl->context = g_main_context_new();
    impl->openSender(std::max(std::chrono::milliseconds(1),
                              timeout - std::chrono::duration_cast<std::chrono::milliseconds>(
                                            std::chrono::steady_clock::now() - start)));
    impl->loop = g_main_loop_new(impl->context, FALSE);
    std::promise<void> started;
    auto ready = started.get_future();
    impl->dispatcher = std::thread([raw = impl.get(), &started] {
        g_main_context_push_thread_default(raw->context);
        // Report readiness from inside the running loop: g_main_loop_run()
        // forgets a g_main_loop_quit() made before it started, so a centre
        // destroyed right after connect() would otherwise never join.
        GSource* ready = g_idle_source_new();
        g_source_set_callback(
            ready,
            [](gpointer p) -> gboolean {
                static_cast<std::promise<void>*>(p)->set_value();
                return G_SOURCE_REMOVE;
            },
            &started, nullptr);
        g_source_attach(ready, raw->context);
        g_source_unref(ready);
        g_main_loop_run(raw->loop);
        g_main_context_pop_thread_default(raw->context);
    });
    ready.wait();
    return std::unique_ptr<DBusNotificationCenter>(new DBusNotificationCenter(std::move(impl)));
}

std::unique_ptr<DBusNotificationCenter> DBusNotificationCenter::create(GDBusConnection* connection,
                                                                       GMainContext* context) {
    if (!connection)
        return nullptr;
    auto impl = std::make_shared<Impl>();
    impl->connection = G_DBUS_CONNECTION(g_object_ref(connection));
    impl->ownsConnection = false;
    impl->context = g_main_context_ref(context ? context : g_main_context_default());
    impl->openSender(std::chrono::seconds(5));
    return std::unique_ptr<DBusNotificationCenter>(new DBusNotificationCenter(std::move(impl)));
}

DBusNotificationCenter::DBusNotificationCenter(std::shared_ptr<Impl> impl)
    : impl_(std::move(impl)) {
}

DBusNotificationCenter::~DBusNotificationCenter() = default;

void DBusNotificationCenter::setRegistrationTimeout(std::chrono::milliseconds timeout) {
    impl_->registrationTimeoutMs.store(static_cast<int>(
        std::clamp<long long>(timeout.count(), 1, std::numeric_limits<int>::max())));
}

GDBusConnection* DBusNotificationCenter::connection() const {
    return impl_->connection;
}

void DBusNotificationCenter::flush() {
    if (impl_->sender)
        impl_->sender->flush();
    g_dbus_connection_flush_sync(impl_->connection, nullptr, nullptr);
}

bool DBusNotificationCenter::post(const std::string& name,
                                  const std::optional<Dictionary>& userInfo) {
    auto cannotCarry = [&] {
        logLine(kLogSubsystem, kLogCategory, LogLevel::Error,
                "notification " + name + " not posted: its user info cannot be carried");
        return false;
    };
    if (impl_->sender) {
        switch (impl_->sender->send(name, userInfo)) {
        case BusSignalSender::Result::Sent:
            return true;
        case BusSignalSender::Result::CannotCarry:
            return cannotCarry();
        case BusSignalSender::Result::Closed:
            break; // GDBus tries, and says why when the bus is gone
        }
    }
    GVariant* body = encodeBody(name, userInfo);
    // GDBus sends arrays over the bus's 64 MiB, and the bus then drops the
    // connection: a body that large is checked in the wire form first.
    if (body && g_variant_get_size(body) > (std::size_t{1} << 24) &&
        !BusSignalSender::encodeMessage(1, name, userInfo)) {
        g_variant_unref(g_variant_ref_sink(body));
        body = nullptr;
    }
    if (!body)
        return cannotCarry();
    GError* error = nullptr;
    gboolean sent = g_dbus_connection_emit_signal(impl_->connection, nullptr, kObjectPath,
                                                  kInterface, kMember, body, &error);
    if (!sent) {
        logLine(kLogSubsystem, kLogCategory, LogLevel::Error,
                "notification " + name +
                    " not posted: " + (error ? error->message : std::string("unknown error")));
        g_clear_error(&error);
        return false;
    }
    return true;
}

NotificationCenter::Observation DBusNotificationCenter::observe(const std::string& name,
                                                                MainQueue& queue, Block block) {
    auto observer = std::make_shared<Observer>();
    observer->name = name;
    observer->queue = &queue;
    observer->block = std::move(block);

    // GDBus calls back in the thread-default context of the subscribing
    // thread. Best: the observer's own main context, so a signal reaches the
    // block without a hop. Else the centre's context: the dispatch thread's
    // (decoded there, then posted), or the one it was given.
    auto* glibQueue = dynamic_cast<GLibMainQueue*>(&queue);
    guint subscription =
        glibQueue ? subscribeIn(glibQueue->context(), impl_->connection, observer) : 0;
    if (subscription == 0)
        subscription = subscribeIn(impl_->context, impl_->connection, observer);
    if (subscription == 0) {
        // Another thread runs that context: subscribe there.
        subscription = invokeAndWait(impl_->context, [&] {
            g_main_context_push_thread_default(impl_->context);
            guint id = subscribeHere(impl_->connection, observer);
            g_main_context_pop_thread_default(impl_->context);
            return id;
        });
    }
    observer->subscription = subscription;
    {
        std::lock_guard lock(impl_->mutex);
        impl_->observers.emplace(observer.get(), observer);
    }

    // The match rule went out before this call, and the bus handles one
    // connection's messages in order: once it answers, the rule is in force.
    GVariant* reply = g_dbus_connection_call_sync(
        impl_->connection, "org.freedesktop.DBus", "/org/freedesktop/DBus", "org.freedesktop.DBus",
        "GetId", nullptr, G_VARIANT_TYPE("(s)"), G_DBUS_CALL_FLAGS_NONE,
        impl_->registrationTimeoutMs.load(), nullptr, nullptr);
    if (reply)
        g_variant_unref(reply);

    std::weak_ptr<Impl> weakImpl = impl_;
    Observer* raw = observer.get();
    return Observation([weakImpl, raw] {
        if (auto impl = weakImpl.lock())
            impl->remove(raw);
    });
}

} // namespace tavrin::linux_platform
