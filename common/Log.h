#pragma once
// The log: one line per entry on standard error, "subsystem [category] level: message".
// Thread-safe; lines from different threads never interleave.

#include <functional>
#include <string_view>

namespace tavrin {

enum class LogLevel { Debug, Info, Default, Error, Fault };

void logLine(std::string_view subsystem, std::string_view category, LogLevel level,
             std::string_view message);

// The one rule for work handed to a queue or an executor: run it, and if it
// throws, log one fault line naming `where` and what was thrown, and go on.
// The program does not end for one failed piece of work.
void runLoggingFailure(const std::function<void()>& work, std::string_view where);

} // namespace tavrin
