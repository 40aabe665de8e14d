// Upload throughput into tavrin-service beside the same upload into a bare
// loopback sink, and the service's peak memory. Both uploads are made by
// `tavrinctl upload` (UploadManager: 5 MiB chunks, a chunk-URL request before
// each PUT) as child processes, alternately, in the same run:
//  - baseline: a server in this process that answers the three service
//    requests and counts the PUT bytes without keeping them;
//  - the service: a tavrin-service process with a temporary data folder,
//    which stores, digests and records every part.
// The service's peak resident memory is its VmHWM at the end of the run.
//
// Usage: service_upload_bench [--benchmark_...]; UPLOAD_BENCH_MIB sets the
// file size (default 1024), SERVICE_BENCH_DATA_PARENT where the service's
// data folder is made (default /tmp). The file and the data folder are
// removed at exit.

#include "tests/tools/tavrin-service/ServiceProcess.h"

#include <benchmark/benchmark.h>
#include <httplib.h>
#include <nlohmann/json.hpp>

#include <fcntl.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <memory>
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
        std::string p = "/tmp/tavrin-service-bench-" + std::to_string(getpid()) + ".bin";
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

// Answers the service's three requests and takes PUT bodies by counting
// their bytes as they arrive.
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
        server_.Put("/chunks/next", [this](const httplib::Request&, httplib::Response& response,
                                           const httplib::ContentReader& reader) {
            reader([this](const char*, std::size_t length) {
                received_ += static_cast<std::int64_t>(length);
                return true;
            });
            response.status = 200;
        });
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

// The service's data folder goes under $SERVICE_BENCH_DATA_PARENT (default
// /tmp): a tmpfs there takes the disk out of the measurement.
std::string dataParent() {
    const char* parent = std::getenv("SERVICE_BENCH_DATA_PARENT");
    return parent != nullptr ? parent : "/tmp";
}

struct Fixture {
    tavrin::testing::TempFolder data{dataParent()};
    SinkServer sink;
    tavrin::testing::ServiceProcess service{data.path()};
};

Fixture& fixture() {
    static Fixture instance;
    return instance;
}

// Runs a command; returns its wall time in seconds, or a negative value when it failed.
double runChild(std::vector<std::string> arguments) {
    std::vector<char*> argv;
    for (auto& argument : arguments)
        argv.push_back(argument.data());
    argv.push_back(nullptr);
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_addopen(&actions, 1, "/dev/null", O_WRONLY, 0);
    auto start = std::chrono::steady_clock::now();
    pid_t pid = 0;
    bool ok = false;
    if (posix_spawnp(&pid, argv[0], &actions, nullptr, argv.data(), environ) == 0) {
        int status = 0;
        ok = waitpid(pid, &status, 0) == pid && WIFEXITED(status) && WEXITSTATUS(status) == 0;
    }
    posix_spawn_file_actions_destroy(&actions);
    double seconds =
        std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
    return ok ? seconds : -1;
}

std::vector<std::string> uploadTo(const std::string& api, const std::string& token) {
    return {TAVRINCTL_PATH, "upload", uploadFilePath(), "--name", "bench", "--project", "demo",
            "--token",      token,    "--api",          api};
}

// Whether the service's newest video is ready with the whole file; then
// removes its file, so the run does not fill the disk.
bool serviceStoredTheFile() {
    auto& service = fixture().service;
    httplib::Client client(service.url());
    auto answer =
        client.Get("/api/projects/demo/videos", {{"Authorization", "Bearer " + service.token()}});
    if (!answer || answer->status != 200)
        return false;
    std::string id;
    bool ready = false;
    // The newest video is the last one listed.
    auto videos = nlohmann::json::parse(answer->body).at("videos");
    const auto& newest = videos.back();
    id = newest.at("id").get<std::string>();
    ready = newest.at("status") == "ready" && newest.at("size") == fileSize();
    std::filesystem::remove(fixture().data.path() + "/videos/" + id + ".mp4");
    return ready;
}

double sinkSeconds = 0, serviceSeconds = 0;
std::int64_t sinkBytes = 0, serviceBytes = 0;

bool measureSink() {
    fixture().sink.takeReceived();
    double seconds = runChild(uploadTo(fixture().sink.base(), "t"));
    if (seconds < 0 || fixture().sink.takeReceived() != fileSize())
        return false;
    sinkSeconds += seconds;
    sinkBytes += fileSize();
    return true;
}

bool measureService() {
    double seconds = runChild(uploadTo(fixture().service.url(), fixture().service.token()));
    if (seconds < 0 || !serviceStoredTheFile())
        return false;
    serviceSeconds += seconds;
    serviceBytes += fileSize();
    return true;
}

long servicePeakKiB() {
    std::ifstream status("/proc/" + std::to_string(fixture().service.pid()) + "/status");
    std::string line;
    while (std::getline(status, line))
        if (line.rfind("VmHWM:", 0) == 0)
            return std::atol(line.c_str() + 6);
    return -1;
}

double mibPerSecond(std::int64_t bytes, double seconds) {
    return static_cast<double>(bytes) / 1048576.0 / seconds;
}

// Each iteration uploads the file once to each, in alternating order, so load
// from elsewhere on the machine falls on both alike. The iteration time is
// the service upload's.
void BM_ServiceUploadAgainstSink(benchmark::State& state) {
    bool sinkFirst = true;
    for (auto _ : state) {
        double before = serviceSeconds;
        bool ok = sinkFirst ? measureSink() && measureService() : measureService() && measureSink();
        if (!ok) {
            state.SkipWithError("an upload failed or arrived incomplete");
            return;
        }
        state.SetIterationTime(serviceSeconds - before);
        sinkFirst = !sinkFirst;
    }
    state.SetBytesProcessed(state.iterations() * fileSize());
    state.counters["service_MiBps"] = mibPerSecond(serviceBytes, serviceSeconds);
    state.counters["sink_MiBps"] = mibPerSecond(sinkBytes, sinkSeconds);
    state.counters["ratio_pct"] =
        100.0 * mibPerSecond(serviceBytes, serviceSeconds) / mibPerSecond(sinkBytes, sinkSeconds);
    state.counters["service_peak_MiB"] = static_cast<double>(servicePeakKiB()) / 1024.0;
}

BENCHMARK(BM_ServiceUploadAgainstSink)
    ->UseManualTime()
    ->Iterations(4)
    ->Unit(benchmark::kMillisecond);

} // namespace

int main(int argc, char** argv) {
    benchmark::Initialize(&argc, argv);
    if (benchmark::ReportUnrecognizedArguments(argc, argv))
        return 1;
    uploadFilePath();
    fixture();
    benchmark::RunSpecifiedBenchmarks();
    benchmark::Shutdown();
    std::remove(uploadFilePath().c_str());
    if (sinkSeconds > 0 && serviceSeconds > 0) {
        double service = mibPerSecond(serviceBytes, serviceSeconds);
        double sink = mibPerSecond(sinkBytes, sinkSeconds);
        std::printf(
            "throughput: service %.0f MiB/s, sink %.0f MiB/s, ratio %.1f%% (target >= 50%%)\n",
            service, sink, 100.0 * service / sink);
        std::printf(
            "peak RSS: service %.1f MiB (target < 64 MiB) over %lld MiB uploads, data in %s\n",
            static_cast<double>(servicePeakKiB()) / 1024.0,
            static_cast<long long>(fileSize() >> 20), dataParent().c_str());
    }
    return 0;
}
