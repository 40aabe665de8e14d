#include "common/Log.h"

#include <cstdio>
#include <exception>
#include <mutex>
#include <string>

namespace tavrin {

namespace {
const char* levelName(LogLevel level) {
    switch (level) {
    case LogLevel::Debug:
        return "debug";
    case LogLevel::Info:
        return "info";
    case LogLevel::Default:
        return "default";
    case LogLevel::Error:
        return "error";
    case LogLevel::Fault:
        return "fault";
    }
    return "default";
}
} // namespace

std::string oneLineText(std::string_view text) {
    std::string line;
    line.reserve(text.size());
    for (char c : text) {
        auto byte = static_cast<unsigned char>(c);
        if (c == '\n') {
            line += "\\n";
        } else if (c == '\r') {
            line += "\\r";
        } else if ((byte < 0x20 && c != '\t') || byte == 0x7f) {
            static constexpr char kHex[] = "0123456789abcdef";
            line += "\\x";
            line.push_back(kHex[byte >> 4]);
            line.push_back(kHex[byte & 0xf]);
        } else {
            line.push_back(c);
        }
    }
    return line;
}

void logLine(std::string_view subsystem, std::string_view category, LogLevel level,
             std::string_view message) {
    static std::mutex mutex;
    std::string line;
    line.reserve(subsystem.size() + category.size() + message.size() + 16);
    line.append(subsystem).append(" [").append(category).append("] ");
    line.append(levelName(level)).append(": ").append(oneLineText(message)).push_back('\n');
    std::lock_guard lock(mutex);
    std::fwrite(line.data(), 1, line.size(), stderr);
    std::fflush(stderr);
}

void runLoggingFailure(const std::function<void()>& work, std::string_view where) {
    try {
        work();
    } catch (const std::exception& error) {
        logLine("ai.tavrin", where, LogLevel::Fault,
                std::string("work ended with an exception: ") + error.what());
    } catch (...) {
        logLine("ai.tavrin", where, LogLevel::Fault, "work ended with an exception");
    }
}

} // namespace tavrin
