// fcp-script-runner: the stand-in for the system script runner. Runs the
// editor's three scripts against the simulated editor on the session bus:
//
//   fcp-script-runner DIR/export-fcpxml.applescript OUTPUT-PATH  -> {"path":"OUTPUT-PATH"}
//   fcp-script-runner DIR/save-project.applescript               -> (nothing)
//   fcp-script-runner DIR/import-fcpxml.applescript DOCUMENT     -> {"success":true|false}
//
// The script file must exist; it is chosen by its base name (the extension
// does not matter) and its text is not read. An unknown or missing script, a
// missing argument, or no editor on the bus: a complaint on standard error,
// nothing on standard output and exit status 1, as the real runner does for
// a script that fails.

#include "common/Unicode.h"
#include "common/Value.h"
#include "tools/fcp-sim/SimBusClient.h"

#include <filesystem>
#include <iostream>

namespace {

int complain(const std::string& message) {
    std::cerr << "fcp-script-runner: " << message << "\n";
    return 1;
}

} // namespace

int main(int argc, char** argv) {
    namespace fs = std::filesystem;
    using tavrin::sim::CallResult;
    if (argc < 2)
        return complain("usage: fcp-script-runner SCRIPT-PATH [ARGS...]");
    fs::path script = argv[1];
    std::error_code ec;
    if (!fs::is_regular_file(script, ec))
        return complain(script.string() + ": no such script");
    std::string name = script.stem().string();
    if (name != "export-fcpxml" && name != "save-project" && name != "import-fcpxml")
        return complain(script.string() + ": not a script this runner knows");
    if (name != "save-project" && argc < 3)
        return complain(name + ": a file path argument is needed");

    // The bus carries UTF-8 text only: GLib would send another path as
    // "[Invalid UTF-8]", a different file.
    fs::path file = argc >= 3 ? fs::absolute(argv[2], ec) : fs::path();
    if (!tavrin::isValidUTF8(file.string()))
        return complain(name + ": the path is not UTF-8 text");

    std::string error;
    auto client = tavrin::sim::SimBusClient::connectToSessionBus(&error);
    if (!client)
        return complain(error);

    if (name == "export-fcpxml") {
        CallResult result =
            client->call("ExportProject", g_variant_new("(s)", file.c_str()), "(s)", 60000);
        if (!result)
            return complain(name + ": " + result.error);
        const gchar* path = nullptr;
        g_variant_get(result.reply.get(), "(&s)", &path);
        std::cout << tavrin::writeJSON(tavrin::Value{{"path", path}}).value_or("{}") << "\n";
    } else if (name == "save-project") {
        CallResult result = client->call("SaveProject", nullptr, "()", 60000);
        if (!result)
            return complain(name + ": " + result.error);
    } else {
        CallResult result =
            client->call("ImportDocument", g_variant_new("(s)", file.c_str()), "(b)", 60000);
        if (!result)
            return complain(name + ": " + result.error);
        gboolean success = FALSE;
        g_variant_get(result.reply.get(), "(b)", &success);
        std::cout << tavrin::writeJSON(tavrin::Value{{"success", success == TRUE}}).value_or("{}")
                  << "\n";
    }
    return 0;
}
