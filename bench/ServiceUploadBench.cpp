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

#include "bench/UploadBenchSupport.h"
#include "tests/tools/tavrin-service/ServiceProcess.h"

#include <benchmark/benchmark.h>
#include <httplib.h>
#include <nlohmann/json.hpp>

#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

namespace {

using namespace tavrin::bench;

const std::string& uploadFilePath() {
    static const std::string path = writeUploadFile("tavrin-service-bench");
    return path;
}

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
double timeChild(std::vector<std::string> arguments) {
    ChildRun run = runChild(std::move(arguments));
    return run.ok ? run.seconds : -1;
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
    ready = newest.at("status") == "ready" && newest.at("size") == uploadFileSize();
    std::filesystem::remove(fixture().data.path() + "/videos/" + id + ".mp4");
    return ready;
}

double sinkSeconds = 0, serviceSeconds = 0;
std::int64_t sinkBytes = 0, serviceBytes = 0;

bool measureSink() {
    fixture().sink.takeReceived();
    double seconds = timeChild(uploadTo(fixture().sink.base(), "t"));
    if (seconds < 0 || fixture().sink.takeReceived() != uploadFileSize())
        return false;
    sinkSeconds += seconds;
    sinkBytes += uploadFileSize();
    return true;
}

bool measureService() {
    double seconds = timeChild(uploadTo(fixture().service.url(), fixture().service.token()));
    if (seconds < 0 || !serviceStoredTheFile())
        return false;
    serviceSeconds += seconds;
    serviceBytes += uploadFileSize();
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
    state.SetBytesProcessed(state.iterations() * uploadFileSize());
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
            static_cast<long long>(uploadFileSize() >> 20), dataParent().c_str());
    }
    return 0;
}
