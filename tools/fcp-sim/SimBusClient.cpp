#include "tools/fcp-sim/SimBusClient.h"

#include "tools/fcp-sim/SimBusInterface.h"

namespace tavrin::sim {

std::unique_ptr<SimBusClient> SimBusClient::connectToSessionBus(std::string* error) {
    GError* failure = nullptr;
    gchar* address = g_dbus_address_get_for_bus_sync(G_BUS_TYPE_SESSION, nullptr, &failure);
    GDBusConnection* connection = nullptr;
    if (address) {
        connection = g_dbus_connection_new_for_address_sync(
            address,
            static_cast<GDBusConnectionFlags>(G_DBUS_CONNECTION_FLAGS_AUTHENTICATION_CLIENT |
                                              G_DBUS_CONNECTION_FLAGS_MESSAGE_BUS_CONNECTION),
            nullptr, nullptr, &failure);
        g_free(address);
    }
    if (!connection) {
        *error = std::string("no session bus: ") + (failure ? failure->message : "unknown error");
        g_clear_error(&failure);
        return nullptr;
    }
    auto client = std::make_unique<SimBusClient>(connection);
    g_object_unref(connection);
    return client;
}

SimBusClient::SimBusClient(GDBusConnection* connection)
    : connection_(G_DBUS_CONNECTION(g_object_ref(connection))) {
}

SimBusClient::~SimBusClient() {
    g_object_unref(connection_);
}

CallResult SimBusClient::call(const char* method, GVariant* parameters, const char* replyType,
                              int timeoutMs) const {
    CallResult result;
    GError* error = nullptr;
    GVariant* reply =
        g_dbus_connection_call_sync(connection_, kBusName, kObjectPath, kInterface, method,
                                    parameters, replyType ? G_VARIANT_TYPE(replyType) : nullptr,
                                    G_DBUS_CALL_FLAGS_NO_AUTO_START, timeoutMs, nullptr, &error);
    if (reply) {
        result.reply.reset(reply, &g_variant_unref);
        return result;
    }
    gchar* remote = g_dbus_error_get_remote_error(error);
    std::string remoteName = remote ? remote : "";
    g_free(remote);
    result.noEditor = remoteName == "org.freedesktop.DBus.Error.ServiceUnknown" ||
                      remoteName == "org.freedesktop.DBus.Error.NameHasNoOwner";
    if (result.noEditor) {
        result.error = "no editor is running on the session bus";
    } else {
        g_dbus_error_strip_remote_error(error);
        result.error = error->message;
    }
    g_error_free(error);
    return result;
}

std::string SimBusClient::callForString(const char* method, GVariant* parameters,
                                        CallResult* result, int timeoutMs) const {
    *result = call(method, parameters, "(s)", timeoutMs);
    if (!*result)
        return {};
    const gchar* text = nullptr;
    g_variant_get(result->reply.get(), "(&s)", &text);
    return text;
}

} // namespace tavrin::sim
