#pragma once
// `fcp-sim ctl ...`: talks to the running editor over the session bus and
// prints its answers as one line of compact JSON on standard output.
// Exit status 0 on success; 1 when no editor is running or the editor
// refuses (a line on standard error); 2 for a usage error.

#include <CLI/CLI.hpp>

namespace tavrin::sim {

// Adds the "ctl" subcommand and its subcommands to app; the chosen one runs
// from its callback and stores its exit status in exitCode.
void registerCtlCommands(CLI::App& app, int& exitCode);

} // namespace tavrin::sim
