// tavrinctl send: posts one command to the container app on the session bus,
// the way the panel's client does, and prints the answer's "result" as JSON.

#include "common/ContainerChannel.h"
#include "common/Value.h"
#include "platform/linux/DBusNotificationCenter.h"
#include "platform/linux/GLibMainQueue.h"
#include "tools/tavrinctl/Commands.h"

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <iostream>

namespace tavrin::ctl {

namespace {

using CC = ContainerChannel;

struct SendOptions {
    std::string command;
    std::string arguments = "{}";
    double timeout = CC::kRequestTimeoutSeconds;
    std::string address;
};

int runSend(const SendOptions& options) {
    auto arguments = parseJSON(options.arguments);
    if (!arguments || !arguments->is_object()) {
        std::cerr << "tavrinctl: ARGS-JSON must be a JSON object\n";
        return kExitBadInput;
    }
    if (!(options.timeout > 0)) {
        std::cerr << "tavrinctl: --timeout must be a positive number of seconds\n";
        return kExitBadInput;
    }
    // --timeout bounds the whole call, connecting included: a socket that
    // accepts and never speaks must not hold it for ever.
    const auto started = std::chrono::steady_clock::now();
    const auto limit = std::chrono::duration_cast<std::chrono::milliseconds>(
        std::chrono::duration<double>(std::min(options.timeout, 1e7)));
    std::string error;
    auto center = linux_platform::DBusNotificationCenter::connect(options.address, &error, limit);
    if (!center) {
        std::cerr << "tavrinctl: cannot reach the session bus: " << error << "\n";
        return kExitFailure;
    }

    const auto remaining = [&] {
        return std::chrono::duration_cast<std::chrono::milliseconds>(
            limit - (std::chrono::steady_clock::now() - started));
    };
    // A bus that connects and then stops answering holds the registration too.
    center->setRegistrationTimeout(remaining());

    GMainContext* context = g_main_context_new();
    g_main_context_push_thread_default(context);
    int status = kExitFailure;
    {
        linux_platform::GLibMainQueue queue(context);
        GMainLoop* loop = g_main_loop_new(context, FALSE);
        // One client making its first request: counter 1.
        const std::string requestId = CC::makeRequestIdentifier(1);
        std::optional<Value> result;
        bool answered = false;

        // Observe before posting, so that a quick answer is not missed.
        auto observation =
            center->observe(CC::kResponseNotification, queue, [&](const Notification& note) {
                if (answered || !note.userInfo ||
                    stringFor(*note.userInfo, CC::kRequestIdKey) != requestId)
                    return;
                answered = true;
                const Value* value = lookup(*note.userInfo, CC::kResultKey);
                result = value ? *value : Value(nullptr);
                g_main_loop_quit(loop);
            });
        if (center->post(CC::kCommandNotification,
                         CC::makeCommandMessage(options.command, *arguments, requestId))) {
            queue.postAfter(remaining(), [loop] { g_main_loop_quit(loop); });
            g_main_loop_run(loop);
            if (!answered) {
                std::cerr << "tavrinctl: no answer to " << options.command << " (" << requestId
                          << ") within " << options.timeout << " s\n";
            } else if (auto text = writeJSON(*result)) {
                std::cout << *text << "\n";
                status = kExitOK;
            } else {
                std::cerr << "tavrinctl: the answer cannot be written as JSON\n";
            }
        } else {
            std::cerr << "tavrinctl: the command could not be posted\n";
        }
        observation.remove();
        g_main_loop_unref(loop);
    }
    g_main_context_pop_thread_default(context);
    g_main_context_unref(context);
    return status;
}

} // namespace

void registerSendCommands(CLI::App& app, int& exitCode) {
    auto options = std::make_shared<SendOptions>();
    auto* send = app.add_subcommand(
        "send", "Post one command to the container app on the session bus and print its result");
    send->add_option("COMMAND", options->command, "command name, e.g. getMarkerAtTime")->required();
    send->add_option("ARGS-JSON", options->arguments,
                     "the command's arguments as a JSON object (default {})");
    send->add_option("--timeout", options->timeout, "seconds to wait for the answer (default 60)");
    send->add_option("--address", options->address,
                     "bus address (default: the session bus, DBUS_SESSION_BUS_ADDRESS)");
    send->callback([options, &exitCode] { exitCode = runSend(*options); });
}

} // namespace tavrin::ctl
