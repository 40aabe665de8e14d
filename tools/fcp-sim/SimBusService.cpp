#include "tools/fcp-sim/SimBusService.h"

#include "common/Log.h"
#include "tools/fcp-sim/RenderExport.h"
#include "tools/fcp-sim/SimBusInterface.h"

#include <cmath>
#include <stdexcept>
#include <thread>

namespace tavrin::sim {

namespace {

GVariant* jsonReply(const Value& value) {
    return g_variant_new("(s)", writeJSON(value).value_or("null").c_str());
}

double roundedFrameRate(Rational frameDuration) {
    double f = frameDuration.seconds();
    return f > 0 ? std::round(100.0 / f) / 100.0 : 0.0;
}

} // namespace

SimBusService::SimBusService(SimEditor& editor, GDBusConnection* connection,
                             std::function<void()> quit)
    : editor_(editor), connection_(connection), quit_(std::move(quit)) {
    GError* error = nullptr;
    info_ = g_dbus_node_info_new_for_xml(kIntrospectionXML, &error);
    if (!info_) {
        std::string message = error->message;
        g_error_free(error);
        throw std::runtime_error("bad introspection data: " + message);
    }
    static const GDBusInterfaceVTable vtable = {&SimBusService::onMethodCall, nullptr, nullptr, {}};
    registration_ = g_dbus_connection_register_object(
        connection_, kObjectPath, info_->interfaces[0], &vtable, this, nullptr, &error);
    if (!registration_) {
        std::string message = error->message;
        g_error_free(error);
        g_dbus_node_info_unref(info_);
        throw std::runtime_error("cannot register " + std::string(kObjectPath) + ": " + message);
    }
    editor_.addObserver([this](Change change) { emit(change); });
}

SimBusService::~SimBusService() {
    g_dbus_connection_unregister_object(connection_, registration_);
    g_dbus_node_info_unref(info_);
}

Value SimBusService::sequenceJSON(const SimEditor& editor) {
    auto sequence = editor.activeSequence();
    return Value{{"name", sequence.name},
                 {"duration", sequence.duration.seconds()},
                 {"frameDuration", sequence.frameDuration.seconds()},
                 {"frameRate", roundedFrameRate(sequence.frameDuration)},
                 {"start", sequence.start.seconds()},
                 {"width", sequence.width},
                 {"height", sequence.height},
                 {"durationTime", sequence.duration.text()},
                 {"frameDurationTime", sequence.frameDuration.text()},
                 {"startTime", sequence.start.text()},
                 {"playhead", editor.playhead().seconds()},
                 {"playing", editor.playing()}};
}

Value SimBusService::markerJSON(const MarkerInfo& marker) {
    return Value{{"start", marker.start.seconds()},
                 {"duration", marker.duration.seconds()},
                 {"value", marker.value},
                 {"note", marker.note}};
}

Value SimBusService::markersJSON(const SimEditor& editor) {
    Value all = Value::array();
    for (const auto& marker : editor.markers())
        all.push_back(markerJSON(marker));
    return all;
}

void SimBusService::onMethodCall(GDBusConnection*, const gchar*, const gchar*, const gchar*,
                                 const gchar* method, GVariant* parameters,
                                 GDBusMethodInvocation* invocation, gpointer self) {
    static_cast<SimBusService*>(self)->handle(method, parameters, invocation);
}

void SimBusService::handle(const std::string& method, GVariant* parameters,
                           GDBusMethodInvocation* invocation) {
    auto fail = [invocation](const std::string& message) {
        g_dbus_method_invocation_return_dbus_error(invocation, "org.freedesktop.DBus.Error.Failed",
                                                   message.c_str());
    };
    auto playheadReply = [this] {
        auto playhead = editor_.playhead();
        return g_variant_new("(sd)", playhead.text().c_str(), playhead.seconds());
    };
    std::string error;
    if (method == "GetSequence") {
        g_dbus_method_invocation_return_value(invocation, jsonReply(sequenceJSON(editor_)));
    } else if (method == "ListSequences") {
        Value list = Value::array();
        auto names = editor_.sequenceNames();
        for (std::size_t i = 0; i < names.size(); ++i)
            list.push_back({{"name", names[i]}, {"active", i == editor_.activeIndex()}});
        g_dbus_method_invocation_return_value(invocation, jsonReply(list));
    } else if (method == "GetPlayhead") {
        g_dbus_method_invocation_return_value(invocation, playheadReply());
    } else if (method == "SetPlayhead") {
        double seconds = 0;
        g_variant_get(parameters, "(d)", &seconds);
        if (!editor_.setPlayhead(seconds)) {
            g_dbus_method_invocation_return_dbus_error(
                invocation, "org.freedesktop.DBus.Error.InvalidArgs", "the time is not a number");
            return;
        }
        g_dbus_method_invocation_return_value(invocation, playheadReply());
    } else if (method == "Play" || method == "Pause") {
        method == "Play" ? editor_.play() : editor_.pause();
        g_dbus_method_invocation_return_value(invocation, nullptr);
    } else if (method == "SwitchSequence") {
        const gchar* name = nullptr;
        g_variant_get(parameters, "(&s)", &name);
        g_dbus_method_invocation_return_value(invocation,
                                              g_variant_new("(b)", editor_.switchSequence(name)));
    } else if (method == "GetMarkers") {
        g_dbus_method_invocation_return_value(invocation, jsonReply(markersJSON(editor_)));
    } else if (method == "AddMarker") {
        double seconds = 0;
        const gchar *note = nullptr, *value = nullptr;
        g_variant_get(parameters, "(d&s&s)", &seconds, &note, &value);
        if (auto marker = editor_.addMarker(seconds, note, value, &error))
            g_dbus_method_invocation_return_value(invocation, jsonReply(markerJSON(*marker)));
        else
            fail(error);
    } else if (method == "ExportProject") {
        const gchar* path = nullptr;
        g_variant_get(parameters, "(&s)", &path);
        if (editor_.exportProject(path, &error))
            g_dbus_method_invocation_return_value(invocation, g_variant_new("(s)", path));
        else
            fail(error);
    } else if (method == "SaveProject") {
        if (editor_.saveProject(&error))
            g_dbus_method_invocation_return_value(invocation, nullptr);
        else
            fail(error);
    } else if (method == "ImportDocument") {
        const gchar* path = nullptr;
        g_variant_get(parameters, "(&s)", &path);
        bool imported = editor_.importDocument(path, &error);
        if (!imported)
            logLine("ai.tavrin.fcp.sim", "SimBusService", LogLevel::Default,
                    "import of " + std::string(path) + " refused: " + error);
        g_dbus_method_invocation_return_value(invocation, g_variant_new("(b)", imported));
    } else if (method == "RenderExport") {
        const gchar *folder = nullptr, *name = nullptr;
        guint64 bytes = 0;
        double seconds = 0;
        g_variant_get(parameters, "(&s&std)", &folder, &name, &bytes, &seconds);
        // Writing takes seconds: a thread of its own answers when the file is closed.
        std::thread([invocation, folderPath = std::string(folder), fileName = std::string(name),
                     bytes, seconds] {
            std::string failure;
            auto rendered = renderExport(folderPath, fileName, bytes, seconds, &failure);
            if (!rendered) {
                g_dbus_method_invocation_return_dbus_error(
                    invocation, "org.freedesktop.DBus.Error.Failed", failure.c_str());
                return;
            }
            g_dbus_method_invocation_return_value(invocation,
                                                  jsonReply(Value{{"path", rendered->path.string()},
                                                                  {"size", rendered->size},
                                                                  {"sha256", rendered->sha256}}));
        }).detach();
    } else if (method == "Quit") {
        g_dbus_method_invocation_return_value(invocation, nullptr);
        g_dbus_connection_flush_sync(connection_, nullptr, nullptr);
        quit_();
    } else {
        g_dbus_method_invocation_return_dbus_error(
            invocation, "org.freedesktop.DBus.Error.UnknownMethod", method.c_str());
    }
}

void SimBusService::emit(Change change) {
    GVariant* parameters = nullptr;
    const char* signal = nullptr;
    switch (change) {
    case Change::Playhead: {
        auto playhead = editor_.playhead();
        signal = "PlayheadChanged";
        parameters = g_variant_new("(sd)", playhead.text().c_str(), playhead.seconds());
        break;
    }
    case Change::Sequence:
        signal = "ActiveSequenceChanged";
        parameters = g_variant_new("(s)", editor_.activeSequence().name.c_str());
        break;
    case Change::Markers:
        signal = "MarkersChanged";
        break;
    case Change::Playing:
        return;
    }
    g_dbus_connection_emit_signal(connection_, nullptr, kObjectPath, kInterface, signal, parameters,
                                  nullptr);
}

} // namespace tavrin::sim
