// tavrin-service: the local Tavrin service for development and support. Serves
// the review workspace page, its JSON API and the chunked upload API on the
// loopback interface, with its state in a folder of its own.

#include "common/Log.h"
#include "tools/tavrin-service/TavrinService.h"

#include <CLI/CLI.hpp>
#include <glib.h>

#include <pthread.h>
#include <signal.h>

#include <condition_variable>
#include <cstdio>
#include <cstdlib>
#include <mutex>
#include <thread>

namespace {

constexpr const char* kDescription = R"(tavrin-service - the local Tavrin service

Serves, on http://127.0.0.1:PORT only:
  /fcp-panel/login                 the review workspace page (the panel's development page)
  /api/projects/ID[/videos|/comments|/changes]   the page's JSON API (bearer token)
  /api/videos/chunked-upload/...   the chunked upload API (bearer token; chunk URLs are signed)
  /api/videos/ID                   one video: status, size, sha256

State (SQLite database tavrin.db, unfinished uploads, finished videos) lives in the
data folder; delete the folder to start afresh. The first start creates the
project "demo" and an access token, kept for later starts unless --token is given.

Once it listens it prints one line on standard output:
  tavrin-service ready url=http://127.0.0.1:PORT token=TOKEN data=DIR
SIGINT or SIGTERM stops it.)";

std::string defaultDataDir() {
    return std::string(g_get_user_data_dir()) + "/tavrin-service";
}

} // namespace

int main(int argc, char** argv) {
    CLI::App app{kDescription};
    tavrin::service::TavrinService::Options options;
    std::string dataDir = defaultDataDir();
    std::string token;
    long lifetime = 3600;
    bool quiet = false;
    app.add_option("--port", options.port,
                   "TCP port on 127.0.0.1 (default 3000; 0 picks a free port)")
        ->check(CLI::Range(0, 65535));
    app.add_option("--data", dataDir, "data folder (default $XDG_DATA_HOME/tavrin-service)");
    app.add_option("--token", token,
                   "use this access token (replacing the stored one); otherwise one is generated "
                   "on the first start and kept");
    app.add_option("--chunk-url-lifetime", lifetime,
                   "seconds a signed chunk URL stays valid (default 3600)")
        ->check(CLI::Range(0L, 7L * 24 * 3600));
    app.add_flag("--fsync", options.syncToDisk,
                 "flush every part, video and comment to the disk before acknowledging it, so it "
                 "survives a power loss too (uploads then go at the disk's speed); without it "
                 "everything acknowledged survives a killed service");
    app.add_flag("--quiet", quiet, "do not log one line per request on standard error");
    try {
        app.parse(argc, argv);
    } catch (const CLI::ParseError& e) {
        // A usage error exits 2, as the other programs' do.
        return app.exit(e) == 0 ? 0 : 2;
    }
    options.dataDir = dataDir;
    if (app.count("--token") > 0) {
        // An empty token would otherwise be ignored without a word.
        if (token.empty() || token.find_first_of(" \t\r\n") != std::string::npos) {
            std::fprintf(stderr,
                         "tavrin-service: the token must not be empty or contain white space\n");
            return 2;
        }
        options.token = token;
    }
    options.chunkURLLifetime = std::chrono::seconds(lifetime);
    options.logRequests = !quiet;

    // Signals are taken by one thread with sigwait, so stopping is not done
    // inside a signal handler; every thread started later inherits the mask.
    sigset_t stopSignals;
    sigemptyset(&stopSignals);
    sigaddset(&stopSignals, SIGINT);
    sigaddset(&stopSignals, SIGTERM);
    pthread_sigmask(SIG_BLOCK, &stopSignals, nullptr);
    signal(SIGPIPE, SIG_IGN);

    std::unique_ptr<tavrin::service::TavrinService> service;
    try {
        service = std::make_unique<tavrin::service::TavrinService>(options);
    } catch (const std::exception& error) {
        std::fprintf(stderr, "tavrin-service: cannot use the data folder %s: %s\n", dataDir.c_str(),
                     error.what());
        return 1;
    }
    if (!service->bind()) {
        std::fprintf(stderr, "tavrin-service: cannot listen on 127.0.0.1:%d\n", options.port);
        return 1;
    }

    std::mutex mutex;
    std::condition_variable ran;
    bool running = true;
    std::thread signalWaiter([&] {
        int received = 0;
        sigwait(&stopSignals, &received);
        service->stop();
        // A client that sends nothing more holds its connection until the
        // read time-out. Everything acknowledged is stored already (it would
        // survive a kill), so the service does not wait that long for it.
        std::unique_lock lock(mutex);
        if (!ran.wait_for(lock, std::chrono::seconds(3), [&] { return !running; })) {
            tavrin::logLine("tavrin-service", "Service", tavrin::LogLevel::Default,
                            "stopping without the connections still open");
            std::_Exit(0);
        }
    });
    std::printf("tavrin-service ready url=%s token=%s data=%s\n", service->url().c_str(),
                service->token().c_str(), dataDir.c_str());
    std::fflush(stdout);
    service->run();
    {
        std::lock_guard lock(mutex);
        running = false;
    }
    ran.notify_all();
    // run() also returns when serving fails; wake the waiter in that case.
    pthread_kill(signalWaiter.native_handle(), SIGTERM);
    signalWaiter.join();
    return 0;
}
