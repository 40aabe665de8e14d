// tavrinctl: a command-line tool for the people who support and debug the
// system. Each subcommand exercises one piece of it by hand.

#include "tools/tavrinctl/Commands.h"
#include "tools/tavrinctl/Output.h"

int main(int argc, char** argv) {
    CLI::App app{"tavrinctl - inspect and exercise the review bridge by hand"};
    app.require_subcommand(1);
    int exitCode = tavrin::ctl::kExitOK;
    tavrin::ctl::registerMarkersCommands(app, exitCode);
    tavrin::ctl::registerSyncCommands(app, exitCode);
    tavrin::ctl::registerSendCommands(app, exitCode);
    tavrin::ctl::registerWatchCommands(app, exitCode);
    tavrin::ctl::registerUploadCommands(app, exitCode);

    try {
        app.parse(argc, argv);
    } catch (const CLI::ParseError& e) {
        int status = app.exit(e);
        return tavrin::ctl::finishOutput(status == 0 ? 0 : tavrin::ctl::kExitBadInput);
    }
    return tavrin::ctl::finishOutput(exitCode);
}
