#pragma once
// What the upload benchmarks share: the file they upload, a loopback sink that
// plays the service by counting the bytes it is sent, and a child-process run
// with its wall time and peak memory.

#include <httplib.h>

#include <fcntl.h>
#include <spawn.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <thread>
#include <vector>

extern char** environ;

namespace tavrin::bench {

// UPLOAD_BENCH_MIB sets the size of the uploaded file (default 1 GiB).
inline std::int64_t uploadFileSize() {
    const char* mib = std::getenv("UPLOAD_BENCH_MIB");
    return (mib != nullptr ? std::atoll(mib) : 1024) * std::int64_t{1} << 20;
}

// Writes the file to upload (a fixed pattern, uploadFileSize() bytes) at
// /tmp/PREFIX-PID.bin and returns its path; the caller removes it.
inline std::string writeUploadFile(const std::string& prefix) {
    std::string path = "/tmp/" + prefix + "-" + std::to_string(getpid()) + ".bin";
    std::FILE* file = std::fopen(path.c_str(), "wb");
    std::vector<char> block(1 << 20);
    for (std::size_t i = 0; i < block.size(); ++i)
        block[i] = static_cast<char>(i * 2654435761u >> 13);
    const std::int64_t size = uploadFileSize();
    for (std::int64_t written = 0; written < size;
         written += static_cast<std::int64_t>(block.size()))
        std::fwrite(block.data(), 1, std::min<std::int64_t>(block.size(), size - written), file);
    std::fclose(file);
    return path;
}

// A server that answers the service's three requests and takes PUT bodies
// (to /chunks/next, the chunk URL it hands out, and to /whole) by counting
// their bytes as they arrive, never holding one whole.
class SinkServer {
  public:
    SinkServer() {
        server_.set_tcp_nodelay(true);
        server_.set_keep_alive_max_count(1'000'000);
        server_.Post("/api/videos/chunked-upload/initiate", [](const httplib::Request&,
                                                               httplib::Response& response) {
            response.set_content(R"({"uploadId":"u-1","videoId":"v-1"})", "application/json");
        });
        server_.Post("/api/videos/chunked-upload/chunk-url", [this](const httplib::Request&,
                                                                    httplib::Response& response) {
            response.set_content(R"({"url":")" + base() + R"(/chunks/next"})", "application/json");
        });
        server_.Post("/api/videos/chunked-upload/complete",
                     [](const httplib::Request&, httplib::Response& response) {
                         response.set_content("{}", "application/json");
                     });
        auto sink = [this](const httplib::Request&, httplib::Response& response,
                           const httplib::ContentReader& reader) {
            reader([this](const char*, std::size_t length) {
                received_ += static_cast<std::int64_t>(length);
                return true;
            });
            response.status = 200;
        };
        server_.Put("/chunks/next", sink);
        server_.Put("/whole", sink);
        port_ = server_.bind_to_any_port("127.0.0.1");
        thread_ = std::thread([this] { server_.listen_after_bind(); });
        while (!server_.is_running())
            std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
    ~SinkServer() {
        server_.stop();
        thread_.join();
    }
    std::string base() const { return "http://127.0.0.1:" + std::to_string(port_); }
    // The bytes received since the last call.
    std::int64_t takeReceived() { return received_.exchange(0); }

  private:
    httplib::Server server_;
    int port_ = 0;
    std::thread thread_;
    std::atomic<std::int64_t> received_{0};
};

struct ChildRun {
    bool ok = false; // started and exited with status 0
    double seconds = 0;
    long peakKiB = 0; // peak resident memory
};

// Runs a command (found on PATH) with its standard output discarded, and waits.
inline ChildRun runChild(std::vector<std::string> arguments) {
    std::vector<char*> argv;
    for (auto& argument : arguments)
        argv.push_back(argument.data());
    argv.push_back(nullptr);
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_addopen(&actions, 1, "/dev/null", O_WRONLY, 0);
    ChildRun run;
    auto start = std::chrono::steady_clock::now();
    pid_t pid = 0;
    if (posix_spawnp(&pid, argv[0], &actions, nullptr, argv.data(), environ) == 0) {
        int status = 0;
        rusage usage{};
        if (wait4(pid, &status, 0, &usage) == pid) {
            run.ok = WIFEXITED(status) && WEXITSTATUS(status) == 0;
            run.peakKiB = usage.ru_maxrss;
        }
    }
    run.seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
    posix_spawn_file_actions_destroy(&actions);
    return run;
}

} // namespace tavrin::bench
