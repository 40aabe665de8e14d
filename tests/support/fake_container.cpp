// A stand-in container app for the channel tests: observes the command
// notification on the bus and answers each well-formed command with a
// configurable result, after a configurable delay, or in a held-back order.
//
//   fake_container [--address ADDR] [--answer CMD=JSON]... [--echo CMD]...
//                  [--delay CMD=SECONDS]... [--reverse-batch N]
//
// Prints "ready" once it observes, then one line per command: "command ID"
// when answered later, "dropped" for a malformed one. Ends on SIGTERM/SIGINT.

#include "common/ContainerChannel.h"
#include "common/Value.h"
#include "platform/linux/DBusNotificationCenter.h"
#include "platform/linux/GLibMainQueue.h"

#include <CLI/CLI.hpp>
#include <glib-unix.h>

#include <cstdio>
#include <map>
#include <set>
#include <vector>

using namespace tavrin;
using CC = ContainerChannel;

namespace {

bool splitPair(const std::string& text, std::string& key, std::string& value) {
    auto eq = text.find('=');
    if (eq == std::string::npos)
        return false;
    key = text.substr(0, eq);
    value = text.substr(eq + 1);
    return true;
}

void say(const std::string& line) {
    std::printf("%s\n", line.c_str());
    std::fflush(stdout);
}

} // namespace

int main(int argc, char** argv) {
    CLI::App app{"fake container app answering channel commands"};
    std::string address;
    std::vector<std::string> answers, echoes, delays;
    std::size_t reverseBatch = 0;
    app.add_option("--address", address);
    app.add_option("--answer", answers);
    app.add_option("--echo", echoes);
    app.add_option("--delay", delays);
    app.add_option("--reverse-batch", reverseBatch);
    CLI11_PARSE(app, argc, argv);

    std::map<std::string, Value> results;
    std::map<std::string, double> delayOf;
    for (const auto& a : answers) {
        std::string k, v;
        auto parsed = splitPair(a, k, v) ? parseJSON(v) : std::nullopt;
        if (!parsed) {
            std::fprintf(stderr, "bad --answer %s\n", a.c_str());
            return 2;
        }
        results[k] = *parsed;
    }
    for (const auto& d : delays) {
        std::string k, v;
        if (!splitPair(d, k, v))
            return 2;
        delayOf[k] = std::stod(v);
    }
    std::set<std::string> echoSet(echoes.begin(), echoes.end());

    std::string error;
    auto center = linux_platform::DBusNotificationCenter::connect(address, &error);
    if (!center) {
        std::fprintf(stderr, "cannot reach the bus: %s\n", error.c_str());
        return 1;
    }
    linux_platform::GLibMainQueue queue;
    GMainLoop* loop = g_main_loop_new(nullptr, FALSE);
    auto quit = [](gpointer l) -> gboolean {
        g_main_loop_quit(static_cast<GMainLoop*>(l));
        return G_SOURCE_REMOVE;
    };
    g_unix_signal_add(SIGTERM, quit, loop);
    g_unix_signal_add(SIGINT, quit, loop);

    std::vector<std::pair<std::string, Value>> held; // (requestId, result), for reverse-batch
    auto answer = [&center](const std::string& requestId, const Value& result) {
        center->post(CC::kResponseNotification, CC::makeResponseMessage(requestId, result));
    };

    auto observation =
        center->observe(CC::kCommandNotification, queue, [&](const Notification& note) {
            auto command =
                note.userInfo ? stringFor(*note.userInfo, CC::kCommandKey) : std::nullopt;
            auto requestId =
                note.userInfo ? stringFor(*note.userInfo, CC::kRequestIdKey) : std::nullopt;
            if (!command || !requestId) {
                say("dropped");
                return;
            }
            Value result = nullptr;
            if (echoSet.count(*command))
                result = *note.userInfo;
            else if (auto it = results.find(*command); it != results.end())
                result = it->second;
            say("command " + *requestId);
            if (reverseBatch > 0) {
                held.emplace_back(*requestId, result);
                if (held.size() >= reverseBatch) {
                    for (auto it = held.rbegin(); it != held.rend(); ++it)
                        answer(it->first, it->second);
                    held.clear();
                }
                return;
            }
            if (auto it = delayOf.find(*command); it != delayOf.end())
                queue.postAfter(MainQueue::Duration(it->second),
                                [answer, id = *requestId, result] { answer(id, result); });
            else
                answer(*requestId, result);
        });
    say("ready");
    g_main_loop_run(loop);
    observation.remove();
    g_main_loop_unref(loop);
    return 0;
}
