#pragma once
// A private Xvfb X server for tests and benchmarks that need a display (CI
// has none). Xvfb picks a free display number itself (-displayfd), and is
// killed by the kernel if the thread that started it ends first (start it
// from the main thread).

#include <string>
#include <sys/types.h>

namespace tavrin::testing {

class XvfbServer {
  public:
    // Starts Xvfb and blocks until it accepts connections (at most about 20 s);
    // throws std::runtime_error when it cannot be started.
    XvfbServer();
    // Stops the server and reaps it (SIGKILL if it has not stopped within 5 s).
    ~XvfbServer();

    XvfbServer(const XvfbServer&) = delete;
    XvfbServer& operator=(const XvfbServer&) = delete;

    // The display name, e.g. ":3".
    const std::string& display() const { return display_; }

  private:
    pid_t pid_ = -1;
    std::string display_;
};

} // namespace tavrin::testing
