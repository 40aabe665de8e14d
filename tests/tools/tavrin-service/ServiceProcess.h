#pragma once
// Runs tavrin-service as a child process on a free port, for tests and
// benchmarks: waits for its readiness line (not for a fixed time), reads the
// URL and token from it, and stops (SIGTERM) or kills (SIGKILL) it again.
// The child is killed by the kernel if the thread that started it ends first.

#include "tests/support/TempFolder.h"

#include <string>
#include <sys/types.h>
#include <vector>

namespace tavrin::testing {

class ServiceProcess {
  public:
    // Starts the service on port 0 (unless extraArgs name one) with data in dataDir, plus
    // extraArgs, and blocks until it is ready (at most about 20 s); throws std::runtime_error
    // otherwise.
    ServiceProcess(std::string dataDir, std::vector<std::string> extraArgs = {});
    // Stops the service if it still runs.
    ~ServiceProcess();
    ServiceProcess(const ServiceProcess&) = delete;
    ServiceProcess& operator=(const ServiceProcess&) = delete;

    // The program's path in the build tree.
    static const char* program();

    const std::string& url() const { return url_; }
    const std::string& token() const { return token_; }
    pid_t pid() const { return pid_; }
    int port() const;

    // SIGTERM and wait; returns the exit status (-1 when it did not exit normally).
    int stop();
    // SIGKILL and wait, as a crash would end it.
    void kill();
    // Starts it again on the same data folder (and a new port) after stop() or kill().
    void restart();

  private:
    void start();
    std::string dataDir_;
    std::vector<std::string> extraArgs_;
    pid_t pid_ = -1;
    std::string url_;
    std::string token_;
};

} // namespace tavrin::testing
