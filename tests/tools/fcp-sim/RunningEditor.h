#pragma once
// A simulated editor for one test: a private bus, a temporary folder (its
// library and data home), and `fcp-sim --headless` running on them. The bus
// address is put in this process's environment, so the clients the test
// starts (ctl, the script runner, tavrinctl) and the host library find it.

#include "common/Value.h"
#include "platform/linux/PosixProcessRunner.h"
#include "tests/support/PrivateBus.h"
#include "tests/support/TempFolder.h"

#include <gtest/gtest.h>

#include <cstdlib>
#include <filesystem>
#include <memory>

namespace tavrin::sim::testing {

namespace fs = std::filesystem;
using namespace std::chrono_literals;

using tavrin::testing::TempFolder;

class RunningEditor {
  public:
    RunningEditor() { setenv("DBUS_SESSION_BUS_ADDRESS", bus.address().c_str(), 1); }

    // Starts the editor (extra arguments, e.g. --library or none for the
    // default library in the data home) and waits for its ready line.
    void start(std::vector<std::string> arguments = {}, std::vector<std::string> environment = {}) {
        if (arguments.empty())
            arguments = {"--headless", "--library", library().string()};
        environment.push_back("DBUS_SESSION_BUS_ADDRESS=" + bus.address());
        environment.push_back("XDG_DATA_HOME=" + (folder / "data").string());
        editor =
            std::make_unique<tavrin::testing::ChildProcess>(FCP_SIM_PATH, arguments, environment);
        auto ready = parseJSON(editor->readLine(20000));
        ASSERT_TRUE(ready && ready->value("ready", false)) << "fcp-sim did not start";
    }

    fs::path library() const { return folder / "library.fcpxml"; }

    static ProcessOutput run(const std::string& program, const std::vector<std::string>& args) {
        return linux_platform::PosixProcessRunner().run(program, args, 60s);
    }
    static ProcessOutput ctl(std::vector<std::string> args) {
        args.insert(args.begin(), "ctl");
        return run(FCP_SIM_PATH, args);
    }
    // The parsed JSON a ctl command printed (null when it printed none).
    static Value ctlJSON(const std::vector<std::string>& args) {
        auto output = ctl(args);
        EXPECT_EQ(output.exitStatus, 0) << output.standardError;
        return parseJSON(output.standardOutput).value_or(Value());
    }

    tavrin::testing::PrivateBus bus;
    TempFolder folder;
    std::unique_ptr<tavrin::testing::ChildProcess> editor;
};

} // namespace tavrin::sim::testing
