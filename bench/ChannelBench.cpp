// Request-response rate of the container channel over a private dbus-daemon,
// beside a bare GDBus signal ping-pong of the same payload on the same bus
// (what GDBus alone achieves, re-sending one prebuilt body). Both sequential
// and with 100 requests in flight.
//
//   channel_bench --benchmark_min_time=2

#include "ReviewPanel/ContainerAppBridge.h"
#include "common/ContainerChannel.h"
#include "platform/linux/DBusNotificationCenter.h"
#include "platform/linux/GLibMainQueue.h"
#include "tests/support/PrivateBus.h"

#include <benchmark/benchmark.h>

#include <future>
#include <thread>
#include <vector>

using namespace tavrin;
using CC = ContainerChannel;
using linux_platform::DBusNotificationCenter;
using linux_platform::GLibMainQueue;

namespace {

const Dictionary kComment{{"id", "c-0001"},
                          {"timestamp", 12.5},
                          {"timestampEnd", 14.0},
                          {"userName", "Ann Example"},
                          {"content", "Trim the pause before the cut, and lift the music a bit."},
                          {"resolved", false}};

GDBusConnection* rawConnection(const std::string& address) {
    GDBusConnection* c = g_dbus_connection_new_for_address_sync(
        address.c_str(),
        static_cast<GDBusConnectionFlags>(G_DBUS_CONNECTION_FLAGS_AUTHENTICATION_CLIENT |
                                          G_DBUS_CONNECTION_FLAGS_MESSAGE_BUS_CONNECTION),
        nullptr, nullptr, nullptr);
    g_dbus_connection_set_exit_on_close(c, FALSE);
    return c;
}

// The centre writes its bodies in serialised form; the bare baseline keeps
// sending a body built as a tree of GVariants (g_variant_new_* and builders),
// as it always has. Returns a new reference to value rebuilt that way.
GVariant* asTree(GVariant* value) {
    if (!g_variant_is_container(value))
        return g_variant_ref(value);
    gsize n = g_variant_n_children(value);
    std::vector<GVariant*> children(n);
    for (gsize i = 0; i < n; ++i) {
        GVariant* child = g_variant_get_child_value(value, i);
        children[i] = asTree(child);
        g_variant_unref(child);
    }
    const GVariantType* type = g_variant_get_type(value);
    GVariant* tree = g_variant_type_is_variant(type) ? g_variant_new_variant(children[0])
                     : g_variant_type_is_dict_entry(type)
                         ? g_variant_new_dict_entry(children[0], children[1])
                     : g_variant_type_is_tuple(type)
                         ? g_variant_new_tuple(children.data(), n)
                         : g_variant_new_array(g_variant_type_element(type), children.data(), n);
    for (GVariant* child : children)
        g_variant_unref(child);
    return g_variant_ref_sink(tree);
}

GVariant* treeBody(const std::string& name, const Dictionary& userInfo) {
    GVariant* serialised = g_variant_ref_sink(DBusNotificationCenter::encodeBody(name, userInfo));
    GVariant* tree = asTree(serialised);
    g_variant_unref(serialised);
    return tree;
}

// A thread running its own GLib main context, like another program's main thread.
class LoopThread {
  public:
    LoopThread() : context_(g_main_context_new()), loop_(g_main_loop_new(context_, FALSE)) {
        std::promise<void> ready;
        auto started = ready.get_future();
        thread_ = std::thread([this, &ready] {
            g_main_context_push_thread_default(context_);
            ready.set_value();
            g_main_loop_run(loop_);
            g_main_context_pop_thread_default(context_);
        });
        started.wait();
    }
    ~LoopThread() {
        g_main_loop_quit(loop_);
        thread_.join();
        g_main_loop_unref(loop_);
        g_main_context_unref(context_);
    }
    // Runs fn on the loop thread and waits for it.
    void run(std::function<void()> fn) {
        std::promise<void> done;
        auto finished = done.get_future();
        struct Call {
            std::function<void()> fn;
            std::promise<void>* done;
        } call{std::move(fn), &done};
        g_main_context_invoke(
            context_,
            [](gpointer p) -> gboolean {
                auto* c = static_cast<Call*>(p);
                c->fn();
                c->done->set_value();
                return G_SOURCE_REMOVE;
            },
            &call);
        finished.wait();
    }

  private:
    GMainContext* context_;
    GMainLoop* loop_;
    std::thread thread_;
};

// The world both benchmarks run in: one private bus, a container that answers
// every command with true, and a bare responder that answers each ping.
struct World {
    testing::PrivateBus bus;

    // The container app: its own connection and main queue on its own thread.
    LoopThread containerThread;
    GDBusConnection* containerConnection = nullptr;
    std::unique_ptr<DBusNotificationCenter> containerCenter;
    std::unique_ptr<GLibMainQueue> containerQueue;
    NotificationCenter::Observation containerObservation;

    // The bare responder.
    LoopThread bareThread;
    GDBusConnection* bareResponder = nullptr;
    guint bareSubscription = 0;
    GVariant* pongBody = nullptr;
    GVariant* pingBody = nullptr;

    World() {
        // As a GApplication would: the centre on the program's own connection
        // and main context, observing from the main thread.
        containerConnection = rawConnection(bus.address());
        containerThread.run([this] {
            GMainContext* context = g_main_context_get_thread_default();
            containerQueue = std::make_unique<GLibMainQueue>(context);
            containerCenter = DBusNotificationCenter::create(containerConnection, context);
            containerObservation = containerCenter->observe(
                CC::kCommandNotification, *containerQueue, [this](const Notification& note) {
                    auto id =
                        note.userInfo ? stringFor(*note.userInfo, CC::kRequestIdKey) : std::nullopt;
                    if (id)
                        containerCenter->post(CC::kResponseNotification,
                                              CC::makeResponseMessage(*id, true));
                });
        });

        // The same bodies the channel sends for one syncComment exchange.
        pingBody = treeBody("bench.ping",
                            CC::makeCommandMessage(CC::kSyncComment, {{CC::kCommentKey, kComment}},
                                                   "req-1-3F2A9C"));
        pongBody = treeBody("bench.pong", CC::makeResponseMessage("req-1-3F2A9C", true));
        bareResponder = rawConnection(bus.address());
        bareThread.run([this] {
            bareSubscription = g_dbus_connection_signal_subscribe(
                bareResponder, nullptr, DBusNotificationCenter::kInterface,
                DBusNotificationCenter::kMember, DBusNotificationCenter::kObjectPath, "bench.ping",
                G_DBUS_SIGNAL_FLAGS_NONE,
                [](GDBusConnection* c, const char*, const char*, const char*, const char*,
                   GVariant*, gpointer self) {
                    g_dbus_connection_emit_signal(c, nullptr, DBusNotificationCenter::kObjectPath,
                                                  DBusNotificationCenter::kInterface,
                                                  DBusNotificationCenter::kMember,
                                                  static_cast<World*>(self)->pongBody, nullptr);
                },
                this, nullptr);
        });
        // Make sure the responder's match rule is in force.
        GVariant* r = g_dbus_connection_call_sync(
            bareResponder, "org.freedesktop.DBus", "/org/freedesktop/DBus", "org.freedesktop.DBus",
            "GetId", nullptr, nullptr, G_DBUS_CALL_FLAGS_NONE, -1, nullptr, nullptr);
        if (r)
            g_variant_unref(r);
    }
    ~World() {
        containerThread.run([this] {
            containerObservation.remove();
            containerCenter.reset();
            containerQueue.reset();
        });
        g_dbus_connection_close_sync(containerConnection, nullptr, nullptr);
        g_object_unref(containerConnection);
        g_dbus_connection_signal_unsubscribe(bareResponder, bareSubscription);
        bareThread.run([] {});
        g_object_unref(bareResponder);
        g_variant_unref(pingBody);
        g_variant_unref(pongBody);
    }
};

World* gWorld = nullptr; // made by main() before the runs, ended after them

World& world() {
    return *gWorld;
}

// The client side: a main context on the benchmark's thread.
struct ClientLoop {
    GMainContext* context = g_main_context_new();
    ClientLoop() { g_main_context_push_thread_default(context); }
    ~ClientLoop() {
        while (g_main_context_iteration(context, FALSE)) {
        }
        g_main_context_pop_thread_default(context);
        g_main_context_unref(context);
    }
    void runUntil(const std::function<bool()>& done) {
        while (!done())
            g_main_context_iteration(context, TRUE);
    }
};

void runChannel(benchmark::State& state, int inFlight) {
    World& w = world();
    ClientLoop loop;
    // connect()'s own connection; observing from the thread that runs the
    // client's context, so answers are delivered there directly.
    auto center = DBusNotificationCenter::connect(w.bus.address());
    GLibMainQueue queue(loop.context);
    auto client = panel::ContainerAppBridge::create(*center, queue);
    auto observation = panel::ContainerAppBridge::observeResponses(client);

    std::int64_t completed = 0, issued = 0, failures = 0;
    std::function<void()> issue = [&] {
        ++issued;
        client->syncComment(kComment, [&](Result<bool> r) {
            ++completed;
            if (!r.value())
                ++failures;
        });
    };
    for (auto _ : state) {
        std::int64_t target = completed + inFlight;
        for (int i = 0; i < inFlight; ++i)
            issue();
        loop.runUntil([&] { return completed >= target; });
    }
    state.counters["round_trips_per_s"] =
        benchmark::Counter(static_cast<double>(completed), benchmark::Counter::kIsRate);
    if (failures)
        state.SkipWithError("a request failed");
}

void runBare(benchmark::State& state, int inFlight) {
    World& w = world();
    ClientLoop loop;
    GDBusConnection* c = rawConnection(w.bus.address());
    std::int64_t received = 0;
    guint sub = g_dbus_connection_signal_subscribe(
        c, nullptr, DBusNotificationCenter::kInterface, DBusNotificationCenter::kMember,
        DBusNotificationCenter::kObjectPath, "bench.pong", G_DBUS_SIGNAL_FLAGS_NONE,
        [](GDBusConnection*, const char*, const char*, const char*, const char*, GVariant*,
           gpointer n) { ++*static_cast<std::int64_t*>(n); },
        &received, nullptr);
    GVariant* r = g_dbus_connection_call_sync(c, "org.freedesktop.DBus", "/org/freedesktop/DBus",
                                              "org.freedesktop.DBus", "GetId", nullptr, nullptr,
                                              G_DBUS_CALL_FLAGS_NONE, -1, nullptr, nullptr);
    if (r)
        g_variant_unref(r);
    for (auto _ : state) {
        std::int64_t target = received + inFlight;
        for (int i = 0; i < inFlight; ++i)
            g_dbus_connection_emit_signal(c, nullptr, DBusNotificationCenter::kObjectPath,
                                          DBusNotificationCenter::kInterface,
                                          DBusNotificationCenter::kMember, w.pingBody, nullptr);
        loop.runUntil([&] { return received >= target; });
    }
    state.counters["round_trips_per_s"] =
        benchmark::Counter(static_cast<double>(received), benchmark::Counter::kIsRate);
    g_dbus_connection_signal_unsubscribe(c, sub);
    g_dbus_connection_close_sync(c, nullptr, nullptr);
    g_object_unref(c);
}

void BM_BareSignalPingPong_Sequential(benchmark::State& s) {
    runBare(s, 1);
}
void BM_Channel_Sequential(benchmark::State& s) {
    runChannel(s, 1);
}
void BM_BareSignalPingPong_100InFlight(benchmark::State& s) {
    runBare(s, 100);
}
void BM_Channel_100InFlight(benchmark::State& s) {
    runChannel(s, 100);
}

BENCHMARK(BM_BareSignalPingPong_Sequential)->UseRealTime();
BENCHMARK(BM_Channel_Sequential)->UseRealTime();
BENCHMARK(BM_BareSignalPingPong_100InFlight)->UseRealTime();
BENCHMARK(BM_Channel_100InFlight)->UseRealTime();

} // namespace

int main(int argc, char** argv) {
    benchmark::Initialize(&argc, argv);
    if (benchmark::ReportUnrecognizedArguments(argc, argv))
        return 1;
    gWorld = new World();
    benchmark::RunSpecifiedBenchmarks();
    delete gWorld; // stops the private bus
    benchmark::Shutdown();
    return 0;
}
