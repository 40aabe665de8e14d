#pragma once
// The log: one line per entry on standard error, "subsystem [category] level: message".
// Thread-safe; lines from different threads never interleave.

#include <functional>
#include <string>
#include <string_view>

namespace tavrin {

enum class LogLevel { Debug, Info, Default, Error, Fault };

// A message holding line breaks or other control characters (a file name may
// hold any byte but "/") is written with them escaped ("\n", "\r", "\xHH"), so
// one entry is always one line and a name cannot forge another entry.
void logLine(std::string_view subsystem, std::string_view category, LogLevel level,
             std::string_view message);

// text with its control characters (tab excepted) escaped as logLine writes them.
std::string oneLineText(std::string_view text);

// The one rule for work handed to a queue or an executor: run it, and if it
// throws, log one fault line naming `where` and what was thrown, and go on.
// The program does not end for one failed piece of work.
void runLoggingFailure(const std::function<void()>& work, std::string_view where);

} // namespace tavrin
