#pragma once
// The local Tavrin service: the review workspace page at /fcp-panel/login,
// the JSON API it uses (projects, videos, comments, a change feed) and the
// chunked upload API the container app sends exports to, over HTTP on the
// loopback interface, with its state in a ServiceStore.
//
// Threads: construct and call bind() and run() on one thread; run() blocks
// while requests are served on a pool of worker threads. stop() may be called
// from any thread and makes run() return.

#include "tools/tavrin-service/ChunkSigner.h"
#include "tools/tavrin-service/ServiceStore.h"

#include <atomic>
#include <chrono>
#include <filesystem>
#include <memory>
#include <optional>
#include <semaphore>
#include <string>

namespace httplib {
class Server;
}

namespace tavrin::service {

class TavrinService {
  public:
    struct Options {
        std::string host = "127.0.0.1";
        int port = 3000; // 0: any free port
        std::filesystem::path dataDir;
        std::optional<std::string> token; // fixes the access token
        std::chrono::seconds chunkURLLifetime{3600};
        bool logRequests = true; // one line per request on standard error
        bool syncToDisk = false; // see ServiceStore
    };

    // Opens the store (throws std::runtime_error when it cannot).
    explicit TavrinService(Options options);
    ~TavrinService();
    TavrinService(const TavrinService&) = delete;
    TavrinService& operator=(const TavrinService&) = delete;

    // Starts listening; returns false when the address cannot be bound.
    // Connections are accepted into the backlog from here on.
    bool bind();
    // Serves requests until stop(). Call after bind().
    void run();
    void stop();

    // The base URL, e.g. "http://127.0.0.1:3000" (valid after bind()).
    std::string url() const;
    const std::string& token() const { return token_; }

  private:
    void routes();

    Options options_;
    ServiceStore store_;
    ChunkSigner signer_;
    std::string token_;
    int port_ = 0;
    std::atomic<int> feedReaders_{0};     // change-feed readers waiting now
    std::counting_semaphore<> partSlots_; // parts that may be received at once
    std::unique_ptr<httplib::Server> server_;
};

} // namespace tavrin::service
