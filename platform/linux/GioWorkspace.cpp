#include "platform/linux/GioWorkspace.h"

#include "common/Log.h"

#include <gio/gio.h>

namespace tavrin::linux_platform {

bool GioWorkspace::openURL(const std::string& url) {
    GError* error = nullptr;
    const bool opened = g_app_info_launch_default_for_uri(url.c_str(), nullptr, &error);
    if (!opened) {
        logLine("ai.tavrin.fcp", "Workspace", LogLevel::Error,
                "cannot open " + url + ": " + (error ? error->message : "unknown error"));
        g_clear_error(&error);
    }
    return opened;
}

} // namespace tavrin::linux_platform
