// The export watcher's CPU cost while another process writes a large export.
//
// Each run spawns `dd` to write 2 GiB in 64 KiB writes into a folder. The
// baseline writes into a folder nobody watches; the measured case writes into a
// folder watched by a FileWatcher (inotify stream and GLib main queue, as
// tavrinctl watch runs them) and goes on until the export is reported.
// Counters: writer_cpu_s (the child's user+system time), watcher_cpu_s (this
// process's user+system time over the same span) and watcher_share_pct (their
// ratio in percent; the target is at most 5).
//
//   build/default/bench/watcher_cpu_bench [--benchmark_filter=...]
// WATCHER_BENCH_DIR picks the folder's parent (default: the temp folder);
// WATCHER_BENCH_MIB the export size (default 2048).

#include "TavrinFCP/FileWatcher.h"
#include "platform/linux/GLibMainQueue.h"

#include <benchmark/benchmark.h>
#include <glib.h>

#include <spawn.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdlib>
#include <filesystem>
#include <string>

extern char** environ;

namespace {

namespace fs = std::filesystem;

double seconds(const timeval& t) {
    return static_cast<double>(t.tv_sec) + t.tv_usec / 1e6;
}

double cpuOf(int who) {
    rusage usage{};
    ::getrusage(who, &usage);
    return seconds(usage.ru_utime) + seconds(usage.ru_stime);
}

fs::path makeFolder() {
    const char* parent = std::getenv("WATCHER_BENCH_DIR");
    fs::path base = parent ? fs::path(parent) : fs::temp_directory_path();
    std::string pattern = (base / "watcher-bench-XXXXXX").string();
    if (!::mkdtemp(pattern.data()))
        return {};
    return pattern;
}

long exportMiB() {
    const char* text = std::getenv("WATCHER_BENCH_MIB");
    long mib = text ? std::atol(text) : 2048;
    return mib > 0 ? mib : 2048;
}

// Flushes earlier runs' dirty pages first, so each writer pays only for itself.
pid_t spawnWriter(const fs::path& file) {
    ::sync();
    std::string of = "of=" + file.string();
    std::string count = "count=" + std::to_string(exportMiB() * 16); // 64 KiB blocks
    const char* argv[] = {"dd",       "if=/dev/zero", "bs=64K", count.c_str(),
                          of.c_str(), "status=none",  nullptr};
    pid_t pid = -1;
    if (posix_spawnp(&pid, "dd", nullptr, nullptr, const_cast<char**>(argv), environ) != 0)
        return -1;
    return pid;
}

struct Span {
    double writer = 0;
    double watcher = 0;
};

void report(benchmark::State& state, const Span& total, int runs) {
    state.counters["writer_cpu_s"] = total.writer / runs;
    state.counters["watcher_cpu_s"] = total.watcher / runs;
    if (total.writer > 0)
        state.counters["watcher_share_pct"] = 100.0 * total.watcher / total.writer;
}

// Baseline: the writer alone, nobody watching its folder.
void BM_WriterAlone(benchmark::State& state) {
    fs::path folder = makeFolder();
    Span total;
    int runs = 0;
    for (auto _ : state) {
        ::sync();
        double writerBefore = cpuOf(RUSAGE_CHILDREN);
        double selfBefore = cpuOf(RUSAGE_SELF);
        pid_t pid = spawnWriter(folder / "export.mov");
        int status = 0;
        if (pid < 0 || ::waitpid(pid, &status, 0) != pid || status != 0) {
            state.SkipWithError("dd failed");
            break;
        }
        total.writer += cpuOf(RUSAGE_CHILDREN) - writerBefore;
        total.watcher += cpuOf(RUSAGE_SELF) - selfBefore;
        ++runs;
        fs::remove(folder / "export.mov");
    }
    if (runs)
        report(state, total, runs);
    fs::remove_all(folder);
}

// The writer with a watcher on its folder, until the export is reported.
void BM_WriterWithWatcher(benchmark::State& state) {
    fs::path folder = makeFolder();
    Span total;
    int runs = 0;
    for (auto _ : state) {
        GMainContext* context = g_main_context_new();
        g_main_context_push_thread_default(context);
        GMainLoop* loop = g_main_loop_new(context, FALSE);
        bool detected = false;
        bool writerOK = false;
        {
            tavrin::linux_platform::GLibMainQueue queue(context);
            tavrin::container::FileWatcher watcher(folder.string(), queue);
            watcher.onFileDetected = [&](const std::string&) {
                detected = true;
                g_main_loop_quit(loop);
            };
            watcher.start();
            ::sync();
            double writerBefore = cpuOf(RUSAGE_CHILDREN);
            double selfBefore = cpuOf(RUSAGE_SELF);
            pid_t pid = spawnWriter(folder / "export.mov");
            if (pid > 0) {
                struct Exit {
                    bool* ok;
                } exitInfo{&writerOK};
                GSource* child = g_child_watch_source_new(pid);
                g_source_set_callback(child, G_SOURCE_FUNC(+[](GPid, gint status, gpointer data) {
                                          *static_cast<Exit*>(data)->ok =
                                              g_spawn_check_wait_status(status, nullptr);
                                      }),
                                      &exitInfo, nullptr);
                g_source_attach(child, context);
                g_source_unref(child);
                // Safety net only: the export is reported 5-7 s after dd ends.
                GSource* limit = g_timeout_source_new_seconds(600);
                g_source_set_callback(
                    limit,
                    +[](gpointer l) -> gboolean {
                        g_main_loop_quit(static_cast<GMainLoop*>(l));
                        return G_SOURCE_REMOVE;
                    },
                    loop, nullptr);
                g_source_attach(limit, context);
                g_main_loop_run(loop);
                g_source_destroy(limit);
                g_source_unref(limit);
                // Make sure the writer has been reaped before reading its time.
                while (!writerOK && ::waitpid(pid, nullptr, WNOHANG) == 0)
                    g_main_context_iteration(context, TRUE);
            }
            total.writer += cpuOf(RUSAGE_CHILDREN) - writerBefore;
            total.watcher += cpuOf(RUSAGE_SELF) - selfBefore;
            watcher.stop();
        }
        g_main_loop_unref(loop);
        g_main_context_pop_thread_default(context);
        g_main_context_unref(context);
        if (!detected || !writerOK) {
            state.SkipWithError("the export was not written or not reported");
            break;
        }
        ++runs;
        fs::remove(folder / "export.mov");
    }
    if (runs)
        report(state, total, runs);
    fs::remove_all(folder);
}

BENCHMARK(BM_WriterAlone)->Unit(benchmark::kSecond)->Iterations(1)->UseRealTime();
BENCHMARK(BM_WriterWithWatcher)->Unit(benchmark::kSecond)->Iterations(1)->UseRealTime();

} // namespace

BENCHMARK_MAIN();
