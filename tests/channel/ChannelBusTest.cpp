// The notification centre and the channel over a real dbus-daemon, private to
// each fixture, with the fake container app and tavrinctl as real processes.

#include "ReviewPanel/ContainerAppBridge.h"
#include "common/ContainerChannel.h"
#include "platform/linux/DBusNotificationCenter.h"
#include "platform/linux/GLibMainQueue.h"
#include "tests/support/ManualMainQueue.h"
#include "tests/support/PrivateBus.h"

#include <gtest/gtest.h>

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include <atomic>
#include <filesystem>
#include <future>
#include <limits>
#include <mutex>
#include <numeric>
#include <regex>
#include <thread>

using namespace std::chrono_literals;
using tavrin::Dictionary;
using tavrin::Notification;
using tavrin::NotificationCenter;
using tavrin::Result;
using tavrin::Value;
using CC = tavrin::ContainerChannel;
using tavrin::linux_platform::DBusNotificationCenter;
using tavrin::panel::ContainerAppBridge;
using tavrin::testing::ChildProcess;
using tavrin::testing::ManualMainQueue;
using tavrin::testing::PrivateBus;

namespace {

constexpr auto kSafetyNet = std::chrono::seconds(30); // real time; never reached when healthy

std::unique_ptr<DBusNotificationCenter> connectTo(const PrivateBus& bus) {
    std::string error;
    auto center = DBusNotificationCenter::connect(bus.address(), &error);
    if (!center)
        ADD_FAILURE() << "cannot connect: " << error;
    return center;
}

GDBusConnection* rawConnection(const PrivateBus& bus) {
    GDBusConnection* c = g_dbus_connection_new_for_address_sync(
        bus.address().c_str(),
        static_cast<GDBusConnectionFlags>(G_DBUS_CONNECTION_FLAGS_AUTHENTICATION_CLIENT |
                                          G_DBUS_CONNECTION_FLAGS_MESSAGE_BUS_CONNECTION),
        nullptr, nullptr, nullptr);
    if (c)
        g_dbus_connection_set_exit_on_close(c, FALSE);
    return c;
}

// Emits a signal with any body, as a rogue process might.
void emitRaw(GDBusConnection* c, GVariant* body) {
    g_dbus_connection_emit_signal(c, nullptr, DBusNotificationCenter::kObjectPath,
                                  DBusNotificationCenter::kInterface,
                                  DBusNotificationCenter::kMember, body, nullptr);
}

void emitRawText(GDBusConnection* c, const char* text) {
    GVariant* body = g_variant_parse(nullptr, text, nullptr, nullptr, nullptr);
    ASSERT_NE(body, nullptr) << text;
    emitRaw(c, body);
}

Dictionary everyKind() {
    return Dictionary{
        {"string", "héllo"},
        {"int", -42},
        {"int64 min", std::numeric_limits<std::int64_t>::min()},
        {"uint64 max", std::numeric_limits<std::uint64_t>::max()},
        {"double", 0.1},
        {"whole double", 3.0},
        {"bool", true},
        {"null", nullptr},
        {"array", Value::array({1, "x", false, nullptr, Value::array(), Dictionary::object()})},
        {"dictionary", Dictionary{{"a", Dictionary{{"b", Value::array({1.5})}}}}},
        {"empty", Dictionary::object()},
    };
}

// A user info holding one array of 65 MiB: more than the bus takes.
Dictionary arrayOverTheBusLimit() {
    Value list = Value::array();
    for (int i = 0; i < 65; ++i)
        list.push_back(std::string(1 << 20, 'x'));
    return Dictionary{{"list", list}};
}

class ADBusNotificationCenter : public ::testing::Test {
  protected:
    static void SetUpTestSuite() { bus = new PrivateBus(); }
    static void TearDownTestSuite() {
        delete bus;
        bus = nullptr;
    }
    static PrivateBus* bus;

    ManualMainQueue queue;
};
PrivateBus* ADBusNotificationCenter::bus = nullptr;

TEST_F(ADBusNotificationCenter, RoundTripsEveryKindAndKeepsNoUserInfoApartFromEmpty) {
    auto sender = connectTo(*bus);
    auto receiver = connectTo(*bus);
    std::vector<Notification> got;
    auto token = receiver->observe("com.tavrin.test.kinds", queue,
                                   [&](const Notification& n) { got.push_back(n); });
    ASSERT_TRUE(sender->post("com.tavrin.test.kinds", everyKind()));
    ASSERT_TRUE(sender->post("com.tavrin.test.kinds", std::nullopt));
    ASSERT_TRUE(sender->post("com.tavrin.test.kinds", Dictionary::object()));
    ASSERT_TRUE(queue.runUntil([&] { return got.size() == 3; }, kSafetyNet));
    EXPECT_EQ(got[0].userInfo, std::optional<Dictionary>(everyKind()));
    EXPECT_TRUE((*got[0].userInfo)["whole double"].is_number_float());
    EXPECT_TRUE((*got[0].userInfo)["int"].is_number_integer());
    EXPECT_FALSE(got[1].userInfo.has_value());
    EXPECT_EQ(got[2].userInfo, std::optional<Dictionary>(Dictionary::object()));
}

TEST_F(ADBusNotificationCenter, CarriesAMegabytePayload) {
    auto sender = connectTo(*bus);
    auto receiver = connectTo(*bus);
    Dictionary big{{"blob", std::string(1 << 20, 'x')}, {"items", Value::array()}};
    for (int i = 0; i < 5000; ++i)
        big["items"].push_back(Dictionary{{"i", i}, {"s", "item"}});
    std::optional<Notification> got;
    auto token =
        receiver->observe("com.tavrin.test.big", queue, [&](const Notification& n) { got = n; });
    ASSERT_TRUE(sender->post("com.tavrin.test.big", big));
    ASSERT_TRUE(queue.runUntil([&] { return got.has_value(); }, kSafetyNet));
    EXPECT_EQ(got->userInfo, std::optional<Dictionary>(big));
}

// Posting never waits for the bus: while the daemon is stopped, posts still
// return at once and keep their order; flush() hands them over before the
// centre goes.
TEST_F(ADBusNotificationCenter, NeverWaitsForABusyBusAndKeepsWhatItPosted) {
    auto sender = connectTo(*bus);
    auto receiver = connectTo(*bus);
    std::vector<std::int64_t> got;
    auto token = receiver->observe("com.tavrin.test.busy", queue, [&](const Notification& n) {
        got.push_back((*n.userInfo)["i"].get<std::int64_t>());
    });
    constexpr int kPosts = 40; // 2.5 MiB: far more than a socket holds
    ASSERT_EQ(::kill(bus->pid(), SIGSTOP), 0);
    auto posted = std::async(std::launch::async, [&] {
        int sent = 0;
        for (int i = 0; i < kPosts; ++i)
            sent += sender->post("com.tavrin.test.busy",
                                 Dictionary{{"i", i}, {"pad", std::string(64 << 10, 'x')}});
        return sent;
    });
    bool returned = posted.wait_for(kSafetyNet) == std::future_status::ready;
    ::kill(bus->pid(), SIGCONT);
    ASSERT_TRUE(returned) << "a post waited for the stopped bus";
    EXPECT_EQ(posted.get(), kPosts);
    sender->flush(); // most of it was still waiting to be written
    sender.reset();
    ASSERT_TRUE(queue.runUntil([&] { return got.size() == kPosts; }, kSafetyNet));
    std::vector<std::int64_t> inOrder(kPosts);
    std::iota(inOrder.begin(), inOrder.end(), 0);
    EXPECT_EQ(got, inOrder);
}

// The bus drops a connection that sends an array over 64 MiB: such a post is
// refused, and the centre goes on working.
TEST_F(ADBusNotificationCenter, RefusesAnArrayTheBusWouldDropItFor) {
    auto sender = connectTo(*bus);
    auto receiver = connectTo(*bus);
    int got = 0;
    auto token =
        receiver->observe("com.tavrin.test.after", queue, [&](const Notification&) { ++got; });
    EXPECT_FALSE(sender->post("com.tavrin.test.huge", arrayOverTheBusLimit()));
    ASSERT_TRUE(sender->post("com.tavrin.test.after", std::nullopt));
    EXPECT_TRUE(queue.runUntil([&] { return got == 1; }, kSafetyNet));
}

// When the bus's socket is no longer at its path (a cleaned /tmp), the centre
// cannot open its second connection: it posts through GDBus, in the same form,
// and refuses the same notifications.
TEST_F(ADBusNotificationCenter, PostsThroughGDBusWhenItCannotConnectBesideIt) {
    PrivateBus ownBus;
    const std::string address = ownBus.address();
    const std::string path = address.substr(10, address.find(',') - 10); // unix:path=...
    ASSERT_TRUE(address.starts_with("unix:path=")) << address;
    auto receiver = connectTo(ownBus);
    GDBusConnection* connection = rawConnection(ownBus);
    ASSERT_NE(connection, nullptr);
    ASSERT_EQ(::rename(path.c_str(), (path + ".moved").c_str()), 0);
    {
        auto sender = DBusNotificationCenter::create(connection, nullptr);
        std::vector<Notification> got;
        auto token = receiver->observe("com.tavrin.test.gdbus", queue,
                                       [&](const Notification& n) { got.push_back(n); });
        EXPECT_FALSE(sender->post("com.tavrin.test.gdbus", arrayOverTheBusLimit()));
        EXPECT_TRUE(sender->post("com.tavrin.test.gdbus", everyKind()));
        EXPECT_TRUE(queue.runUntil([&] { return got.size() == 1; }, kSafetyNet));
        EXPECT_EQ(got.size() == 1 ? got[0].userInfo : std::nullopt,
                  std::optional<Dictionary>(everyKind()));
    }
    ::rename((path + ".moved").c_str(), path.c_str());
    g_dbus_connection_close_sync(connection, nullptr, nullptr);
    g_object_unref(connection);
}

// Counts the Notification signals that reach a connection, by name, before any
// subscription sees them: what the bus actually woke the process for.
struct IncomingCounter {
    std::mutex mutex;
    std::map<std::string, int> byName;
    static GDBusMessage* filter(GDBusConnection*, GDBusMessage* message, gboolean incoming,
                                gpointer data) {
        auto* self = static_cast<IncomingCounter*>(data);
        if (incoming && g_dbus_message_get_message_type(message) == G_DBUS_MESSAGE_TYPE_SIGNAL &&
            g_strcmp0(g_dbus_message_get_member(message), DBusNotificationCenter::kMember) == 0) {
            const char* name = g_dbus_message_get_arg0(message);
            std::lock_guard lock(self->mutex);
            ++self->byName[name ? name : ""];
        }
        return message;
    }
    int count(const std::string& name) {
        std::lock_guard lock(mutex);
        return byName[name];
    }
};

TEST_F(ADBusNotificationCenter, IsWokenOnlyForTheNamesItObserves) {
    auto sender = connectTo(*bus);
    auto receiver = connectTo(*bus);
    IncomingCounter counter;
    guint filter = g_dbus_connection_add_filter(receiver->connection(), &IncomingCounter::filter,
                                                &counter, nullptr);
    int observed = 0;
    auto token = receiver->observe("com.tavrin.test.wanted", queue,
                                   [&](const Notification&) { ++observed; });
    for (int i = 0; i < 20; ++i)
        sender->post("com.tavrin.test.unwanted", Dictionary{{"i", i}});
    sender->post("com.tavrin.test.wanted", std::nullopt);
    // The bus forwards one sender's signals in order: once the wanted one is
    // here, any unwanted one would have come before it.
    ASSERT_TRUE(queue.runUntil([&] { return observed == 1; }, kSafetyNet));
    EXPECT_EQ(counter.count("com.tavrin.test.wanted"), 1);
    EXPECT_EQ(counter.count("com.tavrin.test.unwanted"), 0);
    g_dbus_connection_remove_filter(receiver->connection(), filter);
}

TEST_F(ADBusNotificationCenter, DeliversToEveryObserverAndStopsAtRemoval) {
    auto center = connectTo(*bus); // posts to its own observers too
    int first = 0, second = 0, sentinel = 0;
    auto a = center->observe("com.tavrin.test.name", queue, [&](const Notification&) { ++first; });
    auto b = center->observe("com.tavrin.test.name", queue, [&](const Notification&) { ++second; });
    auto s = center->observe("com.tavrin.test.sentinel", queue,
                             [&](const Notification&) { ++sentinel; });
    center->post("com.tavrin.test.name", std::nullopt);
    ASSERT_TRUE(queue.runUntil([&] { return first == 1 && second == 1; }, kSafetyNet));
    a.remove();
    { auto dropped = std::move(b); } // destroying the token removes the observer too
    center->post("com.tavrin.test.name", std::nullopt);
    center->post("com.tavrin.test.sentinel", std::nullopt);
    ASSERT_TRUE(queue.runUntil([&] { return sentinel == 1; }, kSafetyNet));
    EXPECT_EQ(first, 1);
    EXPECT_EQ(second, 1);
}

TEST_F(ADBusNotificationCenter, CanBeDestroyedRightAfterConnecting) {
    // A centre that only posts (or none at all) is destroyed before its
    // dispatch thread may have entered its loop; the destructor must still
    // stop that thread. Run off the test thread so a hang fails instead of
    // stalling the suite.
    auto finished = std::make_shared<std::promise<int>>();
    std::thread worker([address = bus->address(), finished] {
        int made = 0;
        for (int i = 0; i < 50; ++i)
            if (DBusNotificationCenter::connect(address))
                ++made;
        finished->set_value(made);
    });
    auto result = finished->get_future();
    if (result.wait_for(kSafetyNet) != std::future_status::ready) {
        worker.detach();
        FAIL() << "a centre destroyed right after connect() never stopped its thread";
    }
    worker.join();
    EXPECT_EQ(result.get(), 50);
}

TEST_F(ADBusNotificationCenter, SurvivesTheBusGoingAway) {
    auto ownBus = std::make_unique<PrivateBus>();
    auto center = connectTo(*ownBus);
    auto token = center->observe("com.tavrin.test.x", queue, [](const Notification&) {});
    ownBus.reset();
    // Posting fails once GDBus has noticed, but nothing ends the process.
    bool failed = false;
    for (auto deadline = std::chrono::steady_clock::now() + kSafetyNet;
         !failed && std::chrono::steady_clock::now() < deadline; std::this_thread::sleep_for(10ms))
        failed = !center->post("com.tavrin.test.x", std::nullopt);
    EXPECT_TRUE(failed);
    token.remove();
    EXPECT_EQ(DBusNotificationCenter::connect("unix:path=/nonexistent/bus"), nullptr);
}

// A socket that accepts connections (into its backlog) and never speaks; or,
// given a stage, takes each through the bus handshake up to it, then goes silent.
struct SilentSocket {
    enum class Stage { None, Authentication, Hello };
    std::string path;
    int fd = -1;
    int stop[2] = {-1, -1};
    std::vector<int> clients;
    std::thread server;
    explicit SilentSocket(Stage stage = Stage::None) {
        char dir[] = "/tmp/silent-bus-XXXXXX";
        if (!::mkdtemp(dir))
            return;
        path = std::string(dir) + "/socket";
        fd = ::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
        sockaddr_un address{};
        address.sun_family = AF_UNIX;
        std::snprintf(address.sun_path, sizeof address.sun_path, "%s", path.c_str());
        if (::bind(fd, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0 ||
            ::listen(fd, 8) != 0 || ::pipe2(stop, O_CLOEXEC) != 0)
            ADD_FAILURE() << "cannot listen on " << path;
        if (stage != Stage::None)
            server = std::thread([this, stage] {
                pollfd fds[] = {{fd, POLLIN, 0}, {stop[0], POLLIN, 0}};
                while (::poll(fds, 2, -1) > 0 && !fds[1].revents)
                    if (int client = ::accept4(fd, nullptr, nullptr, SOCK_CLOEXEC); client >= 0)
                        handshake(clients.emplace_back(client), stage);
            });
    }
    static void handshake(int client, Stage stage) {
        std::string in;
        char buffer[4096];
        std::size_t begin;
        for (std::size_t line; (begin = in.find("BEGIN\r\n")) == std::string::npos;) {
            ssize_t n = ::read(client, buffer, sizeof buffer);
            if (n <= 0)
                return;
            in.append(buffer, n);
            while ((line = in.find("\r\n")) != std::string::npos && in.find("BEGIN") != 0) {
                std::string command = in.substr(in[0] == '\0', line - (in[0] == '\0'));
                in.erase(0, line + 2);
                std::string answer = command == "AUTH" ? "REJECTED EXTERNAL\r\n"
                                     : command.starts_with("NEG")
                                         ? "AGREE_UNIX_FD\r\n"
                                         : "OK 0123456789abcdef0123456789abcdef\r\n";
                (void)!::write(client, answer.data(), answer.size());
            }
        }
        if (stage != Stage::Hello)
            return;
        in.erase(0, begin + 7);
        while (in.size() < 16 ||
               g_dbus_message_bytes_needed(reinterpret_cast<guchar*>(in.data()), in.size(),
                                           nullptr) > gssize(in.size())) {
            ssize_t n = ::read(client, buffer, sizeof buffer);
            if (n <= 0)
                return;
            in.append(buffer, n);
        }
        GDBusMessage* hello = g_dbus_message_new_from_blob(
            reinterpret_cast<guchar*>(in.data()), in.size(), G_DBUS_CAPABILITY_FLAGS_NONE, nullptr);
        GDBusMessage* reply = g_dbus_message_new_method_reply(hello);
        g_dbus_message_set_serial(reply, 1);
        g_dbus_message_set_body(reply, g_variant_new("(s)", ":1.1"));
        gsize size = 0;
        guchar* blob = g_dbus_message_to_blob(reply, &size, G_DBUS_CAPABILITY_FLAGS_NONE, nullptr);
        (void)!::write(client, blob, size);
        g_free(blob);
        g_object_unref(reply);
        g_object_unref(hello);
    }
    ~SilentSocket() {
        (void)!::write(stop[1], "x", 1);
        if (server.joinable())
            server.join();
        for (int c : {fd, stop[0], stop[1]})
            ::close(c);
        for (int c : clients)
            ::close(c);
        ::unlink(path.c_str());
        ::rmdir(path.substr(0, path.rfind('/')).c_str());
    }
    std::string address() const { return "unix:path=" + path; }
};

TEST_F(ADBusNotificationCenter, GivesUpConnectingToAPeerThatNeverSpeaks) {
    SilentSocket silent;
    auto began = std::chrono::steady_clock::now();
    std::string error;
    EXPECT_EQ(DBusNotificationCenter::connect(silent.address(), &error, 300ms), nullptr);
    EXPECT_LT(std::chrono::steady_clock::now() - began, 20s) << "generous safety limit";
    EXPECT_NE(error.find("within 300 ms"), std::string::npos) << error;

    ChildProcess ctl(TAVRINCTL_PATH, {"send", "getMarkerAtTime", "--address", silent.address(),
                                      "--timeout", "0.3"});
    EXPECT_EQ(ctl.wait(20000), 1) << "tavrinctl send must give up after its --timeout";
}

// GDBus waits 25 s for the bus's Hello answer, and a registration waited 10 s.
TEST_F(ADBusNotificationCenter, GivesUpOnABusThatStopsAnsweringAfterConnecting) {
    for (auto stage : {SilentSocket::Stage::Authentication, SilentSocket::Stage::Hello}) {
        SilentSocket peer(stage);
        ChildProcess ctl(TAVRINCTL_PATH,
                         {"send", "cancelExport", "--address", peer.address(), "--timeout", "1"});
        EXPECT_EQ(ctl.wait(8000), 1) << "tavrinctl send must give up after its --timeout";
    }
}

// A centre on a connection and context it is given: no thread of its own,
// each signal decoded and handed to the block in the observer's own context,
// in the order sent, with other names and malformed bodies kept out.
TEST_F(ADBusNotificationCenter, DeliversInTheObserversOwnContextWithoutAThreadOfItsOwn) {
    GMainContext* context = g_main_context_new();
    g_main_context_push_thread_default(context);
    GDBusConnection* connection = rawConnection(*bus);
    ASSERT_NE(connection, nullptr);
    auto threads = [] {
        return std::distance(std::filesystem::directory_iterator("/proc/self/task"),
                             std::filesystem::directory_iterator());
    };
    {
        tavrin::linux_platform::GLibMainQueue mainQueue(context);
        auto before = threads();
        auto center = DBusNotificationCenter::create(connection, context);
        ASSERT_NE(center, nullptr);
        EXPECT_EQ(threads(), before);

        std::vector<std::int64_t> got;
        bool offThread = false;
        auto token =
            center->observe("com.tavrin.test.direct", mainQueue, [&](const Notification& note) {
                offThread |= !mainQueue.isCurrent();
                got.push_back(note.userInfo ? (*note.userInfo)["i"].get<std::int64_t>() : -1);
            });
        // A block that throws is logged like posted work; one that removes
        // itself hears nothing more.
        auto thrower =
            center->observe("com.tavrin.test.direct", mainQueue, [thrown = false](auto&) mutable {
                if (!std::exchange(thrown, true))
                    throw std::runtime_error("block failed");
            });
        int selfRemoverCalls = 0;
        NotificationCenter::Observation selfRemover;
        selfRemover = center->observe("com.tavrin.test.direct", mainQueue, [&](auto&) {
            ++selfRemoverCalls;
            selfRemover.remove();
        });
        auto sender = connectTo(*bus);
        GDBusConnection* raw = rawConnection(*bus);
        for (std::int64_t i = 0; i < 200; ++i) {
            sender->post("com.tavrin.test.other", Dictionary{{"i", i}});
            if (i % 50 == 0) {
                emitRawText(raw, "('com.tavrin.test.direct', 5)");
                emitRawText(raw, "('com.tavrin.test.direct', {'i': <int32 5>})");
            }
            sender->post("com.tavrin.test.direct", Dictionary{{"i", i}});
        }
        g_dbus_connection_flush_sync(raw, nullptr, nullptr);
        auto deadline = std::chrono::steady_clock::now() + kSafetyNet;
        while (got.size() < 200 && std::chrono::steady_clock::now() < deadline)
            g_main_context_iteration(context, FALSE) || (std::this_thread::sleep_for(1ms), true);
        std::vector<std::int64_t> expected(200);
        std::iota(expected.begin(), expected.end(), 0);
        EXPECT_EQ(got, expected);
        EXPECT_FALSE(offThread);
        EXPECT_EQ(selfRemoverCalls, 1);

        token.remove();
        sender->post("com.tavrin.test.direct", Dictionary{{"i", 999}});
        for (int i = 0; i < 50; ++i)
            g_main_context_iteration(context, FALSE);
        EXPECT_EQ(got.size(), 200u) << "nothing after remove()";
        g_object_unref(raw);
    }
    EXPECT_FALSE(g_dbus_connection_is_closed(connection)) << "a given connection stays open";
    g_object_unref(connection);
    while (g_main_context_iteration(context, FALSE)) {
    }
    g_main_context_pop_thread_default(context);
    g_main_context_unref(context);
}

// ---------------------------------------------------------------------------

class AChannelOverTheBus : public ADBusNotificationCenter {
  protected:
    std::unique_ptr<ChildProcess> startContainer(std::vector<std::string> arguments) {
        arguments.insert(arguments.begin(), {"--address", bus->address()});
        auto child = std::make_unique<ChildProcess>(FAKE_CONTAINER_PATH, arguments);
        EXPECT_EQ(child->readLine(), "ready");
        return child;
    }

    const Dictionary marker{{"id", "c1"},        {"timestamp", 12.5}, {"timestampEnd", 14.0},
                            {"userName", "Ann"}, {"content", "Cut"},  {"resolved", false}};
};

TEST_F(AChannelOverTheBus, PairsOverlappingRequestsAnsweredOutOfOrder) {
    auto container =
        startContainer({"--reverse-batch", "6", "--answer", "syncComment=true", "--answer",
                        "deleteComment=false", "--answer", "selectOutputFolder=\"/srv/exports\"",
                        "--answer", "getMarkerAtTime=" + marker.dump(), "--answer",
                        "startExport=true", "--answer", "cancelExport=\"not a boolean\""});
    auto center = connectTo(*bus);
    auto client = ContainerAppBridge::create(*center, queue);
    auto responses = ContainerAppBridge::observeResponses(client);

    std::mutex mutex;
    std::vector<std::string> done;
    auto record = [&](const std::string& what) {
        std::lock_guard lock(mutex);
        done.push_back(what);
    };
    std::atomic<int> offMain{0};
    auto onMain = [&] {
        if (!queue.isCurrent())
            ++offMain;
    };
    // Six requests from three threads, all outstanding together.
    std::vector<std::thread> threads;
    threads.emplace_back([&] {
        client->syncComment(marker, [&](Result<bool> r) {
            onMain();
            record("sync " + std::to_string(r.value()));
        });
        client->deleteComment("c1", [&](Result<bool> r) {
            onMain();
            record("delete " + std::to_string(r.value()));
        });
    });
    threads.emplace_back([&] {
        client->selectOutputFolder([&](Result<std::optional<std::string>> r) {
            onMain();
            record("folder " + r.value().value_or("none"));
        });
        client->getMarkerAtTime(12.5, 0.5, [&](Result<std::optional<Dictionary>> r) {
            onMain();
            record("marker " + (r.value() ? r.value()->dump() : "none"));
        });
    });
    threads.emplace_back([&] {
        client->startExport({{"projectId", "p"}, {"token", "t"}}, [&](Result<bool> r) {
            onMain();
            record("export " + std::to_string(r.value()));
        });
        client->cancelExport([&](Result<bool> r) {
            onMain();
            record("cancel " + std::to_string(r.value()));
        });
    });
    for (auto& t : threads)
        t.join();
    ASSERT_TRUE(queue.runUntil(
        [&] {
            std::lock_guard lock(mutex);
            return done.size() == 6;
        },
        kSafetyNet));
    std::sort(done.begin(), done.end());
    EXPECT_EQ(done,
              (std::vector<std::string>{"cancel 0", "delete 0", "export 1", "folder /srv/exports",
                                        "marker " + marker.dump(), "sync 1"}));
    EXPECT_EQ(offMain.load(), 0);
    EXPECT_EQ(queue.pendingTimers(), 0u);

    std::set<std::string> counters;
    for (int i = 0; i < 6; ++i) {
        std::smatch m;
        std::string line = container->readLine();
        ASSERT_TRUE(std::regex_match(line, m, std::regex("command req-([0-9]+)-[0-9A-F]{6}")))
            << line;
        counters.insert(m[1]);
    }
    EXPECT_EQ(counters, (std::set<std::string>{"1", "2", "3", "4", "5", "6"}));
}

TEST_F(AChannelOverTheBus, CompletesAWellFormedExchangeBesideARogueSender) {
    auto container = startContainer(
        {"--answer", "syncComment=true", "--answer", "getMarkerAtTime=" + marker.dump()});
    auto center = connectTo(*bus);
    auto client = ContainerAppBridge::create(*center, queue);
    auto responses = ContainerAppBridge::observeResponses(client);
    auto rogue = connectTo(*bus);
    GDBusConnection* raw = rawConnection(*bus);
    ASSERT_NE(raw, nullptr);

    auto flood = [&] {
        const std::string cmd = CC::kCommandNotification, rsp = CC::kResponseNotification;
        // Well-formed signals carrying bad messages: the container drops the
        // first five (they are counted below), answers the rest with null.
        rogue->post(cmd, std::nullopt);
        rogue->post(cmd, Dictionary{{"command", "syncComment"}});
        rogue->post(cmd, Dictionary{{"requestId", "req-1-AAAAAA"}});
        rogue->post(cmd, Dictionary{{"command", 7}, {"requestId", "r"}});
        rogue->post(cmd, Dictionary{{"command", "syncComment"}, {"requestId", Value::array()}});
        rogue->post(cmd, Dictionary{{"command", "SyncComment"}, {"requestId", "rogue-1"}});
        rogue->post(cmd, Dictionary{{"command", "getMarkerAtTime"},
                                    {"requestId", "rogue-2"},
                                    {"seconds", "twelve"},
                                    {"threshold", Dictionary::object()}});
        rogue->post(cmd, Dictionary{{"command", "syncComment"},
                                    {"requestId", "rogue-3"},
                                    {"comment", std::string(1 << 20, 'm')}});
        // Answers nobody asked for, and malformed ones.
        rogue->post(rsp, std::nullopt);
        rogue->post(rsp, Dictionary{{"result", true}});
        rogue->post(rsp, Dictionary{{"requestId", 1}, {"result", true}});
        rogue->post(rsp, Dictionary{{"requestId", "req-1-000000"}, {"result", false}});
        // Bodies that do not follow the mapping at all.
        for (const std::string& name : {cmd, rsp}) {
            std::string n = "'" + name + "'";
            emitRawText(raw, ("(" + n + ", 5)").c_str());
            emitRawText(raw, ("(" + n + ", {'command': <int32 5>, 'requestId': <'x'>})").c_str());
            emitRawText(raw, ("(" + n + ", {'requestId': <[byte 1, 2]>})").c_str());
            emitRawText(raw, ("(" + n + ", {'k': 5})").c_str());
            emitRawText(raw, ("(" + n + ", [<1>, <'a'>])").c_str());
            emitRawText(
                raw, ("(" + n + ", @a{sv} [{'requestId', <'x'>}, {'requestId', <'y'>}])").c_str());
        }
        // A signal nested deeper than the bus allows: dbus-daemon disconnects
        // that sender; the receivers never see it.
        GDBusConnection* deep = rawConnection(*bus);
        GVariant* v = g_variant_new_string("leaf");
        for (int i = 0; i < 40; ++i) {
            GVariant* child = g_variant_new_variant(v);
            v = g_variant_new_array(G_VARIANT_TYPE_VARIANT, &child, 1);
        }
        GVariantBuilder b;
        g_variant_builder_init(&b, G_VARIANT_TYPE_VARDICT);
        g_variant_builder_add(&b, "{sv}", "command", v);
        emitRaw(deep, g_variant_new("(sa{sv})", cmd.c_str(), &b));
        g_dbus_connection_flush_sync(deep, nullptr, nullptr);
        g_object_unref(deep);
    };

    std::optional<bool> synced;
    std::optional<std::optional<Dictionary>> found;
    flood();
    client->syncComment({{"id", "c1"}}, [&](Result<bool> r) { synced = r.value(); });
    flood();
    client->getMarkerAtTime(12.5, 0.5,
                            [&](Result<std::optional<Dictionary>> r) { found = r.value(); });
    flood();
    ASSERT_TRUE(queue.runUntil([&] { return synced && found; }, kSafetyNet));
    EXPECT_EQ(synced, true);
    EXPECT_EQ(*found, std::optional<Dictionary>(marker));

    // The container saw every decodable bad command, dropped exactly the
    // malformed ones, and still answers.
    int dropped = 0, answered = 0;
    for (;;) {
        std::string line = container->readLine(5000);
        if (line == "dropped")
            ++dropped;
        else if (line.rfind("command ", 0) == 0)
            ++answered;
        if (dropped == 15 && answered == 11)
            break;
        ASSERT_FALSE(line.empty()) << "dropped " << dropped << ", answered " << answered;
    }
    std::optional<bool> again;
    client->syncComment({}, [&](Result<bool> r) { again = r.value(); });
    ASSERT_TRUE(queue.runUntil([&] { return again.has_value(); }, kSafetyNet));
    EXPECT_EQ(again, true);
    g_object_unref(raw);
}

TEST_F(AChannelOverTheBus, TavrinctlSendPrintsTheResultOrGivesUpAfterItsTimeOut) {
    auto container = startContainer({"--answer", "getMarkerAtTime=" + marker.dump(), "--echo",
                                     "syncComment", "--delay", "selectOutputFolder=600"});
    auto run = [&](std::vector<std::string> args, int& status) {
        ChildProcess ctl(TAVRINCTL_PATH, args, {"DBUS_SESSION_BUS_ADDRESS=" + bus->address()});
        status = ctl.wait(30000);
        return ctl.readRest();
    };
    int status = -1;
    EXPECT_EQ(run({"send", "getMarkerAtTime", R"({"seconds": 12.5})"}, status),
              marker.dump() + "\n");
    EXPECT_EQ(status, 0);

    auto echoed = tavrin::parseJSON(
        run({"send", "syncComment", R"({"comment": {"id": "c9"}, "requestId": "mine"})"}, status));
    ASSERT_TRUE(echoed);
    EXPECT_EQ(status, 0);
    EXPECT_EQ((*echoed)["comment"], Dictionary({{"id", "c9"}}));
    EXPECT_TRUE(std::regex_match((*echoed)["requestId"].get<std::string>(),
                                 std::regex("req-1-[0-9A-F]{6}")));

    EXPECT_EQ(run({"send", "noSuchCommand"}, status), "null\n");
    EXPECT_EQ(status, 0);

    EXPECT_EQ(run({"send", "selectOutputFolder", "--timeout", "0.5"}, status), "");
    EXPECT_EQ(status, 1);

    EXPECT_EQ(run({"send", "syncComment", "[1, 2]"}, status), "");
    EXPECT_EQ(status, 2);
}

} // namespace
