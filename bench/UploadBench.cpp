// Upload throughput and peak memory: `tavrinctl upload` (UploadManager, 5 MiB
// chunks, a chunk-URL request before each) against the curl command-line tool
// putting the same file in one request, both to the same loopback server in
// this process. Both clients run as child processes, so they compete for the
// CPU with the server in the same way, and each one's peak resident memory is
// read from wait4's resource usage.
//
// Usage: upload_bench [--benchmark_...]; UPLOAD_BENCH_MIB sets the file size
// (default 1024). The file is written under /tmp and removed at exit.

#include <benchmark/benchmark.h>
#include <httplib.h>

#include <fcntl.h>
#include <spawn.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <thread>
#include <vector>

extern char** environ;

namespace {

std::int64_t fileSize() {
    const char* mib = std::getenv("UPLOAD_BENCH_MIB");
    return (mib != nullptr ? std::atoll(mib) : 1024) * std::int64_t{1} << 20;
}

const std::string& uploadFilePath() {
    static const std::string path = [] {
        std::string p = "/tmp/tavrin-upload-bench-" + std::to_string(getpid()) + ".bin";
        std::FILE* file = std::fopen(p.c_str(), "wb");
        std::vector<char> block(1 << 20);
        for (std::size_t i = 0; i < block.size(); ++i)
            block[i] = static_cast<char>(i * 2654435761u >> 13);
        std::int64_t size = fileSize();
        for (std::int64_t written = 0; written < size;
             written += static_cast<std::int64_t>(block.size()))
            std::fwrite(block.data(), 1, std::min<std::int64_t>(block.size(), size - written),
                        file);
        std::fclose(file);
        return p;
    }();
    return path;
}

// A server that answers the service's three requests and takes PUT bodies by
// counting their bytes as they arrive, never holding one whole.
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
    std::int64_t takeReceived() { return received_.exchange(0); }

  private:
    httplib::Server server_;
    int port_ = 0;
    std::thread thread_;
    std::atomic<std::int64_t> received_{0};
};

SinkServer& server() {
    static SinkServer instance;
    return instance;
}

struct ChildRun {
    bool ok = false;
    double seconds = 0;
    long peakKiB = 0;
};

ChildRun runChild(std::vector<std::string> arguments) {
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

struct Totals {
    double seconds = 0;
    std::int64_t bytes = 0;
    long peakKiB = 0;
};
Totals curlTotals, uploaderTotals;

bool measureOnce(const std::vector<std::string>& command, Totals& totals) {
    const std::int64_t size = fileSize();
    server().takeReceived();
    ChildRun run = runChild(command);
    if (!run.ok || server().takeReceived() != size)
        return false;
    totals.seconds += run.seconds;
    totals.bytes += size;
    totals.peakKiB = std::max(totals.peakKiB, run.peakKiB);
    return true;
}

double mibPerSecond(const Totals& totals) {
    return static_cast<double>(totals.bytes) / 1048576.0 / totals.seconds;
}

// Each iteration uploads the file twice, in alternating order so that load
// from elsewhere on the machine falls on both alike:
//  - baseline: the curl tool puts the whole file in one request;
//  - the uploader: `tavrinctl upload`, i.e. initiate, then a chunk-URL request
//    and a PUT per 5 MiB chunk, then complete.
// The iteration time is the uploader's.
void BM_UploadAgainstCurlTool(benchmark::State& state) {
    const std::vector<std::string> curl = {"curl",
                                           "-sS",
                                           "-o",
                                           "/dev/null",
                                           "-H",
                                           "Expect:",
                                           "-T",
                                           uploadFilePath(),
                                           server().base() + "/whole"};
    const std::vector<std::string> uploader = {
        TAVRINCTL_PATH, "upload", uploadFilePath(), "--name",       "bench", "--project", "p",
        "--token",      "t",      "--api",          server().base()};
    bool curlFirst = true;
    for (auto _ : state) {
        double before = uploaderTotals.seconds;
        bool ok = curlFirst
                      ? measureOnce(curl, curlTotals) && measureOnce(uploader, uploaderTotals)
                      : measureOnce(uploader, uploaderTotals) && measureOnce(curl, curlTotals);
        if (!ok) {
            state.SkipWithError("an upload failed or arrived incomplete");
            return;
        }
        state.SetIterationTime(uploaderTotals.seconds - before);
        curlFirst = !curlFirst;
    }
    state.SetBytesProcessed(state.iterations() * fileSize());
    state.counters["uploader_MiBps"] = mibPerSecond(uploaderTotals);
    state.counters["curl_MiBps"] = mibPerSecond(curlTotals);
    state.counters["ratio_pct"] = 100.0 * mibPerSecond(uploaderTotals) / mibPerSecond(curlTotals);
    state.counters["uploader_peak_MiB"] = static_cast<double>(uploaderTotals.peakKiB) / 1024.0;
    state.counters["curl_peak_MiB"] = static_cast<double>(curlTotals.peakKiB) / 1024.0;
}

BENCHMARK(BM_UploadAgainstCurlTool)->UseManualTime()->Iterations(4)->Unit(benchmark::kMillisecond);

} // namespace

int main(int argc, char** argv) {
    benchmark::Initialize(&argc, argv);
    if (benchmark::ReportUnrecognizedArguments(argc, argv))
        return 1;
    uploadFilePath();
    benchmark::RunSpecifiedBenchmarks();
    benchmark::Shutdown();
    std::remove(uploadFilePath().c_str());
    if (curlTotals.seconds > 0 && uploaderTotals.seconds > 0) {
        double curlRate = static_cast<double>(curlTotals.bytes) / curlTotals.seconds;
        double uploaderRate = static_cast<double>(uploaderTotals.bytes) / uploaderTotals.seconds;
        std::printf(
            "throughput: uploader %.0f MiB/s, curl %.0f MiB/s, ratio %.1f%% (target >= 70%%)\n",
            uploaderRate / 1048576.0, curlRate / 1048576.0, 100.0 * uploaderRate / curlRate);
        std::printf("peak RSS: uploader %.1f MiB (target <= chunk 5 MiB + 16 MiB = 21 MiB), curl "
                    "%.1f MiB\n",
                    static_cast<double>(uploaderTotals.peakKiB) / 1024.0,
                    static_cast<double>(curlTotals.peakKiB) / 1024.0);
    }
    return 0;
}
