#include "tools/fcp-sim/SimCtl.h"

#include "common/Unicode.h"
#include "common/Value.h"
#include "tools/fcp-sim/SimBusClient.h"

#include <cstdio>
#include <filesystem>
#include <iostream>
#include <memory>

namespace tavrin::sim {

namespace {

struct Context {
    std::unique_ptr<SimBusClient> client;
    int* exitCode = nullptr;

    // Connects on first use; false (and exit status 1) without a bus.
    bool connect() {
        if (client)
            return true;
        std::string error;
        client = SimBusClient::connectToSessionBus(&error);
        if (!client)
            return complain("no editor is running on the session bus (" + error + ")");
        return true;
    }
    bool complain(const std::string& message) {
        std::cerr << "fcp-sim ctl: " << message << "\n";
        *exitCode = 1;
        return false;
    }
    // A call whose failure is reported and ends the command.
    CallResult call(const char* method, GVariant* parameters, const char* replyType,
                    int timeoutMs = 10000) {
        CallResult result = client->call(method, parameters, replyType, timeoutMs);
        if (!result)
            complain(result.error);
        return result;
    }
    // Calls a method answering JSON text and prints it compactly.
    bool printJSON(const char* method, GVariant* parameters = nullptr, int timeoutMs = 10000) {
        auto result = call(method, parameters, "(s)", timeoutMs);
        if (!result)
            return false;
        const gchar* text = nullptr;
        g_variant_get(result.reply.get(), "(&s)", &text);
        auto value = parseJSON(text);
        if (!value)
            return complain("the editor's answer is not JSON");
        std::cout << writeJSON(*value).value_or("null") << "\n";
        return true;
    }
    bool printPlayhead(const CallResult& result) {
        const gchar* time = nullptr;
        double seconds = 0;
        g_variant_get(result.reply.get(), "(&sd)", &time, &seconds);
        std::cout << writeJSON(Value{{"seconds", seconds}, {"time", time}}).value_or("null")
                  << "\n";
        return true;
    }
};

// The bus carries UTF-8 text only: GLib would send other text as "[Invalid UTF-8]".
const CLI::Validator
    kUTF8([](std::string& text) { return isValidUTF8(text) ? std::string() : "not UTF-8 text"; },
          "UTF-8");

} // namespace

void registerCtlCommands(CLI::App& app, int& exitCode) {
    auto context = std::make_shared<Context>();
    context->exitCode = &exitCode;
    auto* ctl = app.add_subcommand("ctl", "talk to the running editor; answers are JSON");
    ctl->require_subcommand(1);

    auto* playhead = ctl->add_subcommand("playhead", "print the playhead, or move it first");
    auto seconds = std::make_shared<std::optional<double>>();
    playhead->add_option("SECONDS", *seconds, "move the playhead here (snapped to a frame)");
    playhead->callback([context, seconds] {
        if (!context->connect())
            return;
        auto result = *seconds
                          ? context->call("SetPlayhead", g_variant_new("(d)", **seconds), "(sd)")
                          : context->call("GetPlayhead", nullptr, "(sd)");
        if (result)
            context->printPlayhead(result);
    });

    for (const char* name : {"play", "pause"}) {
        auto* command = ctl->add_subcommand(name, std::string(name) + " the active sequence");
        std::string method = name == std::string("play") ? "Play" : "Pause";
        command->callback([context, method] {
            if (!context->connect() || !context->call(method.c_str(), nullptr, "()"))
                return;
            auto result = context->call("GetPlayhead", nullptr, "(sd)");
            if (!result)
                return;
            const gchar* time = nullptr;
            double at = 0;
            g_variant_get(result.reply.get(), "(&sd)", &time, &at);
            std::cout
                << writeJSON(Value{{"playing", method == "Play"}, {"seconds", at}}).value_or("null")
                << "\n";
        });
    }

    ctl->add_subcommand("sequence", "describe the active sequence")->callback([context] {
        if (context->connect())
            context->printJSON("GetSequence");
    });
    ctl->add_subcommand("sequences", "list the sequences")->callback([context] {
        if (context->connect())
            context->printJSON("ListSequences");
    });

    auto* switchCommand = ctl->add_subcommand("switch", "make another sequence active");
    auto sequenceName = std::make_shared<std::string>();
    switchCommand->add_option("NAME", *sequenceName, "the sequence's name")
        ->required()
        ->check(kUTF8);
    switchCommand->callback([context, sequenceName] {
        if (!context->connect())
            return;
        auto result =
            context->call("SwitchSequence", g_variant_new("(s)", sequenceName->c_str()), "(b)");
        if (!result)
            return;
        gboolean found = FALSE;
        g_variant_get(result.reply.get(), "(b)", &found);
        if (!found) {
            context->complain("no sequence is called \"" + *sequenceName + "\"");
            return;
        }
        context->printJSON("GetSequence");
    });

    ctl->add_subcommand("markers", "list the active sequence's markers")->callback([context] {
        if (context->connect())
            context->printJSON("GetMarkers");
    });

    auto* addMarker = ctl->add_subcommand("add-marker", "add a marker at a time");
    auto markerAt = std::make_shared<double>(0);
    auto note = std::make_shared<std::string>();
    auto value = std::make_shared<std::string>("Marker");
    addMarker->add_option("SECONDS", *markerAt, "where (snapped to a frame)")->required();
    addMarker->add_option("--note", *note, "the marker's note")->required()->check(kUTF8);
    addMarker->add_option("--value", *value, "the marker's name (default \"Marker\")")
        ->check(kUTF8);
    addMarker->callback([context, markerAt, note, value] {
        if (context->connect())
            context->printJSON("AddMarker",
                               g_variant_new("(dss)", *markerAt, note->c_str(), value->c_str()));
    });

    auto* render = ctl->add_subcommand("render-export", "write an export file as the editor does");
    auto folder = std::make_shared<std::string>();
    auto fileName = std::make_shared<std::string>();
    auto bytes = std::make_shared<std::uint64_t>(4 * 1024 * 1024);
    auto duration = std::make_shared<double>(2.0);
    render->add_option("FOLDER", *folder, "the export folder")->required()->check(kUTF8);
    render->add_option("NAME", *fileName, "the file name, e.g. cut.mp4")->required()->check(kUTF8);
    render->add_option("--bytes", *bytes, "the file's size (default 4 MiB)");
    render->add_option("--seconds", *duration, "how long writing takes (default 2)")
        ->check(CLI::Range(0.0, 3600.0));
    render->callback([context, folder, fileName, bytes, duration] {
        if (!context->connect())
            return;
        std::error_code ec;
        auto absolute = std::filesystem::absolute(*folder, ec);
        if (!isValidUTF8(absolute.string())) {
            context->complain(absolute.string() + ": the folder's path is not UTF-8 text");
            return;
        }
        int timeoutMs = static_cast<int>(*duration * 1000) + 60000;
        context->printJSON("RenderExport",
                           g_variant_new("(sstd)", absolute.c_str(), fileName->c_str(),
                                         static_cast<guint64>(*bytes), *duration),
                           timeoutMs);
    });

    ctl->add_subcommand("quit", "end the editor")->callback([context] {
        if (context->connect())
            context->call("Quit", nullptr, "()");
    });
}

} // namespace tavrin::sim
