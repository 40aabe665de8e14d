// Upload throughput and peak memory: `tavrinctl upload` (UploadManager, 5 MiB
// chunks, a chunk-URL request before each) against the curl command-line tool
// putting the same file in one request, both to the same loopback server in
// this process. Both clients run as child processes, so they compete for the
// CPU with the server in the same way, and each one's peak resident memory is
// read from wait4's resource usage.
//
// Usage: upload_bench [--benchmark_...]; UPLOAD_BENCH_MIB sets the file size
// (default 1024). The file is written under /tmp and removed at exit.

#include "bench/UploadBenchSupport.h"

#include <benchmark/benchmark.h>

#include <algorithm>
#include <cstdio>
#include <string>
#include <vector>

namespace {

using namespace tavrin::bench;

const std::string& uploadFilePath() {
    static const std::string path = writeUploadFile("tavrin-upload-bench");
    return path;
}

SinkServer& server() {
    static SinkServer instance;
    return instance;
}

struct Totals {
    double seconds = 0;
    std::int64_t bytes = 0;
    long peakKiB = 0;
};
Totals curlTotals, uploaderTotals;

bool measureOnce(const std::vector<std::string>& command, Totals& totals) {
    const std::int64_t size = uploadFileSize();
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
    state.SetBytesProcessed(state.iterations() * uploadFileSize());
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
