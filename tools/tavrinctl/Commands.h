#pragma once
// Each group of tavrinctl subcommands registers itself on the application.
// A subcommand's callback sets exitCode; main() returns it.

#include <CLI/CLI.hpp>

namespace tavrin::ctl {

// Exit statuses shared by every subcommand.
inline constexpr int kExitOK = 0;
inline constexpr int kExitFailure = 1;  // the operation ran and failed
inline constexpr int kExitBadInput = 2; // input could not be read or understood

// watch FOLDER: prints the detection line for each export (WatchCommand.cpp).
void registerWatchCommands(CLI::App& app, int& exitCode);
// tavrinctl upload FILE --name N --project P --token T [--api URL]
void registerUploadCommands(CLI::App& app, int& exitCode);
// markers read|write: FCPXML marker documents (MarkersCommands.cpp).
void registerMarkersCommands(CLI::App& app, int& exitCode);
// tavrinctl sync ...: comment-marker operations through the editor's scripts.
void registerSyncCommands(CLI::App& app, int& exitCode);
// tavrinctl send: one command to the container app over the session bus.
void registerSendCommands(CLI::App& app, int& exitCode);

} // namespace tavrin::ctl
