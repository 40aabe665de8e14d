#pragma once
// Standard output that tells whether what was written reached it. A tool that
// answers success while its output was lost (a full disk, a closed descriptor)
// misleads whoever runs it, so every subcommand's exit goes through here.

#include <string_view>

namespace tavrin::ctl {

// Writes all of text to standard output (stdio's stdout). False, with one line
// on standard error the first time, when it cannot be written; once that has
// happened nothing more is written.
bool writeOutput(std::string_view text);

// Whether a write to standard output made elsewhere (stdio's stdout, e.g.
// by a library that prints) has failed; the first time it is reported as
// writeOutput reports it, naming `error`, the errno that failed write left.
bool outputFailed(int error);

// Flushes std::cout and stdout and gives the exit status to use: exitCode,
// or kExitFailure in place of success when anything written to standard
// output was lost (reported on standard error as writeOutput does).
int finishOutput(int exitCode);

} // namespace tavrin::ctl
