#pragma once
// Each group of tavrinctl subcommands registers itself on the application.
// A subcommand's callback sets exitCode; main() returns it.

#include <CLI/CLI.hpp>

namespace tavrin::ctl {

// Exit statuses shared by every subcommand.
inline constexpr int kExitOK = 0;
inline constexpr int kExitFailure = 1;  // the operation ran and failed
inline constexpr int kExitBadInput = 2; // input could not be read or understood

// tavrinctl send: one command to the container app over the session bus.
void registerSendCommands(CLI::App& app, int& exitCode);


} // namespace tavrin::ctl
