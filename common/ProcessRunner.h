#pragma once
// Runs a program as a child process and collects what it prints. The seam
// between the container app's editor automation and the operating system.

#include <chrono>
#include <memory>
#include <stdexcept>
#include <string>
#include <vector>

namespace tavrin {

// The child could not be started, or it ran past its time-out and was killed.
class ProcessError : public std::runtime_error {
  public:
    using std::runtime_error::runtime_error;
};

struct ProcessOutput {
    std::string standardOutput; // every byte the child wrote, undecoded (at most the limit)
    std::string standardError;  // the first kStandardErrorKept bytes only
    int exitStatus = 0;         // exit code, or 128 + signal number
    static constexpr std::size_t kStandardErrorKept = 64 * 1024;
    // A child that prints more than this on standard output is killed and its
    // run fails: no answer of a script is that long, and a runaway one would
    // take all memory.
    static constexpr std::size_t kStandardOutputLimit = std::size_t(64) << 20;
};

class ProcessRunner {
  public:
    virtual ~ProcessRunner() = default;

    // Starts `executable` (a path; no shell, no PATH search) with `arguments`
    // as argv[1...], standard input inherited, and waits for it to exit while
    // draining its standard output and standard error, so a child that writes
    // any amount to either never blocks. The exit status is reported, not
    // judged. What the child started and left running in its process group
    // when it exits is killed then. A child still running after `timeout`, or printing more than
    // kStandardOutputLimit, is killed (SIGKILL, with the processes it started)
    // and reaped, and the call throws ProcessError; so does a child that cannot
    // be started.
    //
    // Blocks the calling thread for as long as the child runs. Thread-safe:
    // any number of threads may run children at the same time.
    virtual ProcessOutput run(const std::string& executable,
                              const std::vector<std::string>& arguments,
                              std::chrono::milliseconds timeout) = 0;
};

// The runner of the platform this program is built for (defined by the
// platform layer linked into the program).
std::shared_ptr<ProcessRunner> makePlatformProcessRunner();

} // namespace tavrin
