#pragma once
// The log: one line per entry on standard error, "subsystem [category] level: message".
// Thread-safe; lines from different threads never interleave.

#include <string_view>

namespace tavrin {

enum class LogLevel { Debug, Info, Default, Error, Fault };

void logLine(std::string_view subsystem, std::string_view category, LogLevel level,
             std::string_view message);

} // namespace tavrin
