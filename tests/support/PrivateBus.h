#pragma once
// A private dbus-daemon for one test fixture: started by the constructor,
// stopped (and reaped) by the destructor. Tests never rely on a session bus
// being present, and never share one.

#include <string>
#include <sys/types.h>
#include <vector>

namespace tavrin::testing {

class PrivateBus {
  public:
    // Starts `dbus-daemon --session --nofork --print-address` and waits until it
    // prints its address (blocks, at most a few seconds). Throws
    // std::runtime_error when the daemon cannot be started.
    PrivateBus();
    ~PrivateBus();
    PrivateBus(const PrivateBus&) = delete;
    PrivateBus& operator=(const PrivateBus&) = delete;

    const std::string& address() const { return address_; }
    // The daemon's process, e.g. to stop it for a while.
    pid_t pid() const { return pid_; }

  private:
    pid_t pid_ = -1;
    std::string address_;
};

// Starts a child program with extra environment entries and pipes its standard
// output, for the multi-process tests. The destructor ends it (SIGTERM, then
// SIGKILL after a grace period) and reaps it.
class ChildProcess {
  public:
    ChildProcess(const std::string& program, const std::vector<std::string>& arguments,
                 const std::vector<std::string>& extraEnvironment = {});
    ~ChildProcess();
    ChildProcess(const ChildProcess&) = delete;
    ChildProcess& operator=(const ChildProcess&) = delete;

    // Reads one line of the child's standard output (without the newline);
    // empty on end of file or after timeoutMs.
    std::string readLine(int timeoutMs = 10000);
    // Waits for the child to end; returns its exit status, or -1 when it was
    // killed by a signal or timeoutMs passed.
    int wait(int timeoutMs = 10000);
    // Everything the child wrote on standard output that has not been read by
    // readLine(), up to its end (call after wait()).
    std::string readRest();
    pid_t pid() const { return pid_; }

  private:
    pid_t pid_ = -1;
    int out_ = -1;
    std::string buffer_;
    bool reaped_ = false;
    int status_ = -1;
};

} // namespace tavrin::testing
