// The tavrin-fcp program for real: a private bus, tavrinctl send as the
// panel, the stand-in editor's runner for the scripts, real inotify in a temp
// folder and a loopback upload service. No display: the alert is a log line.

#include "common/Value.h"
#include "tests/TavrinFCP/StandInEditor.h"
#include "tests/support/PrivateBus.h"

#include <glib.h>
#include <gtest/gtest.h>
#include <httplib.h>

#include <signal.h>

#include <chrono>
#include <filesystem>
#include <fstream>
#include <map>
#include <mutex>
#include <thread>

namespace tavrin::container {
namespace {

namespace fs = std::filesystem;
using namespace std::chrono_literals;
using tavrin::testing::ChildProcess;
using tavrin::testing::PrivateBus;
using testing::StandInEditor;

std::string sha256(const std::string& bytes) {
    gchar* digest = g_compute_checksum_for_data(
        G_CHECKSUM_SHA256, reinterpret_cast<const guchar*>(bytes.data()), bytes.size());
    std::string hex(digest);
    g_free(digest);
    return hex;
}

// The service's upload API on a loopback port of the system's choosing; it
// keeps what it was sent.
class LoopbackUploadService {
  public:
    LoopbackUploadService() {
        auto json = [](httplib::Response& response, const std::string& body) {
            response.set_content(body, "application/json");
        };
        server_.Post(
            "/api/videos/chunked-upload/initiate", [=, this](const auto& request, auto& response) {
                record("initiate", request.body + " " + request.get_header_value("Authorization"));
                json(response, R"({"uploadId":"up-1","videoId":"vid-9"})");
            });
        server_.Post(
            "/api/videos/chunked-upload/chunk-url", [=, this](const auto& request, auto& response) {
                auto index = numberFor(parseJSON(request.body).value_or(Value()), "chunkIndex");
                json(response,
                     R"({"url":")" + url() + "/chunks/" + std::to_string(int(*index)) + R"("})");
            });
        server_.Put(R"(/chunks/(\d+))", [this](const auto& request, auto&) {
            record("chunk " + std::string(request.matches[1]), request.body);
        });
        server_.Post("/api/videos/chunked-upload/complete", [=, this](const auto&, auto& response) {
            record("complete", "");
            json(response, "{}");
        });
        port_ = server_.bind_to_any_port("127.0.0.1");
        thread_ = std::thread([this] { server_.listen_after_bind(); });
        while (!server_.is_running())
            std::this_thread::sleep_for(1ms);
    }
    ~LoopbackUploadService() {
        server_.stop();
        thread_.join();
    }
    std::string url() const { return "http://127.0.0.1:" + std::to_string(port_); }
    // What was sent, by request ("initiate": body and authorization; "chunk N").
    std::map<std::string, std::string> received() {
        std::lock_guard lock(mutex_);
        return received_;
    }

  private:
    void record(const std::string& what, const std::string& body) {
        std::lock_guard lock(mutex_);
        received_[what] = body;
    }
    httplib::Server server_;
    int port_ = 0;
    std::thread thread_;
    std::mutex mutex_;
    std::map<std::string, std::string> received_;
};

class TheTavrinFcpProgram : public ::testing::Test {
  protected:
    void SetUp() override {
        data = editor.dir / "data";
        exports = editor.dir / "exports";
        fs::create_directories(exports);
    }

    std::vector<std::string> environment(const std::vector<std::string>& more = {}) {
        std::vector<std::string> env = {
            "DBUS_SESSION_BUS_ADDRESS=" + bus.address(),
            "DISPLAY=",
            "WAYLAND_DISPLAY=",
            "XDG_DATA_HOME=" + data.string(),
            "TAVRIN_SCRIPT_RUNNER=" + (editor.dir / "runner.sh").string(),
            "TAVRIN_SCRIPTS_DIR=" + (editor.dir / "scripts").string(),
            "TAVRIN_API_BASE_URL=" + service.url(),
            "TAVRIN_EDITOR_PATHS=" + (editor.dir / "no-editor").string(),
            "TMPDIR=" + editor.tmp.string(),
        };
        env.insert(env.end(), more.begin(), more.end());
        return env;
    }
    // tavrin-fcp with its standard error on the pipe too.
    std::unique_ptr<ChildProcess> launch(const std::vector<std::string>& more = {}) {
        return std::make_unique<ChildProcess>(
            "/bin/sh", std::vector<std::string>{"-c", "exec \"$0\" 2>&1", TAVRIN_FCP_PATH},
            environment(more));
    }
    // Reads the program's output until a line holds `text`; all lines read.
    static std::string readUntil(ChildProcess& app, const std::string& text) {
        std::string seen;
        for (std::string line; (line = app.readLine(20000)) != "";) {
            seen += line + "\n";
            if (line.find(text) != std::string::npos)
                return seen;
        }
        ADD_FAILURE() << "no line with \"" << text << "\" in:\n" << seen;
        return seen;
    }
    // What tavrinctl send prints for the command (the result as JSON).
    std::string send(const std::string& command, const std::string& arguments = "{}") {
        ChildProcess ctl(TAVRINCTL_PATH, {"send", command, arguments, "--timeout", "30"},
                         {"DBUS_SESSION_BUS_ADDRESS=" + bus.address()});
        std::string line = ctl.readLine(40000);
        EXPECT_EQ(ctl.wait(40000), 0) << command;
        return line;
    }

    StandInEditor editor;
    PrivateBus bus;
    LoopbackUploadService service;
    fs::path data;
    fs::path exports;
};

TEST_F(TheTavrinFcpProgram, AnswersEveryCommandOfThePanel) {
    auto app = launch();
    readUntil(*app, "serving commands");

    EXPECT_EQ(send("syncComment", R"({"comment":{"id":"c1","timestamp":2.5,"content":"Trim",
                                    "userName":"Ann","resolved":false}})"),
              "true");
    EXPECT_EQ(editor.timelineIds(), std::vector<std::string>{"c1"});
    auto marker = parseJSON(send("getMarkerAtTime", R"({"seconds":2})"));
    ASSERT_TRUE(marker && marker->is_object());
    EXPECT_EQ((*marker)["id"], "c1");
    EXPECT_EQ((*marker)["content"], "Trim");
    EXPECT_EQ(send("syncAllComments", R"({"comments":[{"id":"a","timestamp":1},
                                          {"id":"b","timestamp":3}]})"),
              "true");
    EXPECT_EQ(editor.timelineIds(), (std::vector<std::string>{"a", "b"}));
    EXPECT_EQ(send("deleteComment", R"({"commentId":"a"})"), "true");
    EXPECT_EQ(editor.timelineIds(), std::vector<std::string>{"b"});
    EXPECT_EQ(send("deleteComment"), "false");
    EXPECT_EQ(send("clearAllMarkers"), "true");
    EXPECT_TRUE(editor.timelineIds().empty());

    EXPECT_EQ(send("selectOutputFolder"), "null") << "no display: the chooser cancels";
    EXPECT_EQ(send("startExport", R"({"projectId":"p","token":"t"})"), "false");
    EXPECT_EQ(send("startExport",
                   R"({"projectId":"p","token":"t","outputFolder":")" + exports.string() + R"("})"),
              "true");
    EXPECT_EQ(send("cancelExport"), "true");
    EXPECT_EQ(send("openURL", R"({"url":"file:///etc/passwd"})"), "true");
    EXPECT_EQ(send("noSuchCommand"), "null");

    ::kill(app->pid(), SIGTERM);
    EXPECT_EQ(app->wait(20000), 0);
    const std::string rest = app->readRest();
    EXPECT_NE(rest.find("not opening \"file:///etc/passwd\""), std::string::npos) << rest;
}

TEST_F(TheTavrinFcpProgram, UploadsAnExportWrittenIntoTheWatchedFolder) {
    auto app = launch();
    readUntil(*app, "serving commands");
    ASSERT_EQ(send("startExport", R"({"projectId":"proj-3","token":"tok-3","name":"Cut",
                                      "outputFolder":")" +
                                      exports.string() + R"("})"),
              "true");
    // Two chunks and a bit, written the way an exporter does: into a hidden
    // file, then renamed into place.
    std::string bytes(2 * 5'242'880 + 1234, '\0');
    for (std::size_t i = 0; i < bytes.size(); ++i)
        bytes[i] = static_cast<char>((i * 2654435761u) >> 13);
    std::ofstream(exports / ".partial.mp4", std::ios::binary) << bytes;
    fs::rename(exports / ".partial.mp4", exports / "final.mp4");

    readUntil(*app, "uploaded " + (exports / "final.mp4").string() + " as video vid-9");
    auto received = service.received();
    EXPECT_EQ(sha256(received["chunk 0"] + received["chunk 1"] + received["chunk 2"]),
              sha256(bytes));
    EXPECT_EQ(received["initiate"], R"({"fileName":"Cut.mp4","fileSize":10486994,)"
                                    R"("projectId":"proj-3","totalChunks":3} Bearer tok-3)");
    EXPECT_EQ(received.count("complete"), 1u);
    ::kill(app->pid(), SIGTERM);
    EXPECT_EQ(app->wait(20000), 0);
}

TEST_F(TheTavrinFcpProgram, AlertsOnFirstLaunchAndWhenLaunchedAgain) {
    std::ofstream(editor.dir / "editor");
    const std::vector<std::string> found = {"TAVRIN_EDITOR_PATHS=/nowhere:" +
                                            (editor.dir / "editor").string()};
    const fs::path marker = data / "TavrinFCP" / "first-launch-done";
    {
        auto first = launch(found);
        std::string log = readUntil(*first, "serving commands");
        EXPECT_NE(log.find("Tavrin for Final Cut Pro is ready | Restart Final Cut Pro, then "
                           "open:\\nWindow \u2192 Extensions \u2192 Tavrin"),
                  std::string::npos)
            << log;
        ASSERT_TRUE(fs::exists(marker));
        EXPECT_EQ(fs::file_size(marker), 0u);

        // A second launch hands over to the running one and ends at once.
        ChildProcess second(TAVRIN_FCP_PATH, {}, environment(found));
        EXPECT_EQ(second.wait(20000), 0);
        readUntil(*first, "Tavrin for Final Cut Pro is ready");
        ::kill(first->pid(), SIGINT);
        EXPECT_EQ(first->wait(20000), 0);
    }
    auto later = launch();
    std::string log = readUntil(*later, "serving commands");
    EXPECT_EQ(log.find("alert ("), std::string::npos) << "alert on a later launch:\n" << log;
    fs::remove(marker);
    // Asked to quit through its action on the bus, it ends as on a signal.
    ChildProcess quit("/usr/bin/gapplication", {"action", "ai.tavrin.fcp", "quit"},
                      {"DBUS_SESSION_BUS_ADDRESS=" + bus.address()});
    EXPECT_EQ(quit.wait(20000), 0);
    EXPECT_EQ(later->wait(20000), 0);
    EXPECT_NE(later->readRest().find("asked to quit: shutting down"), std::string::npos);
    auto again = launch();
    log = readUntil(*again, "serving commands");
    EXPECT_NE(log.find("Tavrin installed (FCP not detected) | FCP was not found"),
              std::string::npos)
        << log;
}

// GDBus ends a program whose bus connection closes, uploads under way included.
// It opens no files: an argument is a usage error in one line, exit status 2.
TEST_F(TheTavrinFcpProgram, RefusesAFileArgumentAsAUsageError) {
    ChildProcess app("/bin/sh", {"-c", "exec \"$0\" export.mov 2>&1", TAVRIN_FCP_PATH},
                     environment());
    EXPECT_EQ(app.readLine(20000),
              "tavrin-fcp: unexpected argument \"export.mov\": it takes no files (see --help)");
    EXPECT_EQ(app.readLine(20000), "");
    EXPECT_EQ(app.wait(20000), 2);
}

TEST_F(TheTavrinFcpProgram, KeepsRunningWhenTheSessionBusGoesAway) {
    auto ownBus = std::make_unique<PrivateBus>();
    auto app = launch({"DBUS_SESSION_BUS_ADDRESS=" + ownBus->address()});
    readUntil(*app, "serving commands");
    ownBus.reset();
    readUntil(*app, "lost the session bus");
    ::kill(app->pid(), SIGTERM); // still there, and still ends in order
    EXPECT_EQ(app->wait(20000), 0);
}

TEST_F(TheTavrinFcpProgram, EndsRunningScriptsAndExitsCleanlyOnSigtermOrSighup) {
    // The runner hangs, as an editor that never answers would.
    editor.writeRunner("echo $$ > \"$dir/runner.pid\"\nexec sleep 600");
    for (int signal : {SIGTERM, SIGHUP}) {
        fs::remove(editor.dir / "runner.pid");
        auto app = launch();
        readUntil(*app, "serving commands");
        ChildProcess ctl(TAVRINCTL_PATH, {"send", "clearAllMarkers", "{}", "--timeout", "30"},
                         {"DBUS_SESSION_BUS_ADDRESS=" + bus.address()});
        const fs::path pidFile = editor.dir / "runner.pid";
        for (int i = 0; i < 2000 && StandInEditor::read(pidFile).find('\n') == std::string::npos;
             ++i)
            std::this_thread::sleep_for(5ms); // the runner has not started yet
        pid_t runner = std::stoi(StandInEditor::read(pidFile));

        const auto before = std::chrono::steady_clock::now();
        ::kill(app->pid(), signal);
        EXPECT_EQ(app->wait(20000), 0) << signal;
        EXPECT_LT(std::chrono::steady_clock::now() - before, 10s)
            << "shutdown waited on the script";
        // The command still got its one answer: the failed script run.
        EXPECT_EQ(ctl.readLine(20000), "false");
        EXPECT_EQ(ctl.wait(20000), 0);
        for (int i = 0; i < 400 && ::kill(runner, 0) == 0; ++i)
            std::this_thread::sleep_for(5ms);
        EXPECT_NE(::kill(runner, 0), 0) << "the script runner outlived the app";
    }
}

} // namespace
} // namespace tavrin::container
