#pragma once
// The Linux process runner: posix_spawn with both output pipes drained by
// poll() while the child runs.

#include "common/FileDescriptor.h"
#include "common/ProcessRunner.h"

#include <atomic>

namespace tavrin::linux_platform {

class PosixProcessRunner final : public ProcessRunner {
  public:
    PosixProcessRunner();
    PosixProcessRunner(const PosixProcessRunner&) = delete;
    PosixProcessRunner& operator=(const PosixProcessRunner&) = delete;

    // From any thread (not from a signal handler): kills the children running
    // now (with their process groups), whose run() then throws ProcessError,
    // and makes every later run() throw at once. For a program that is asked
    // to end while a child runs.
    void cancel();

    // Blocks until the child has exited (or was killed at the time-out).
    // Thread-safe. The child gets descriptors 0 (inherited), 1 and 2 (our
    // pipes) and no other of ours, default dispositions for the signals a
    // parent commonly ignores, an empty signal mask and a process group of its
    // own. At the time-out the whole group is killed, so processes the child
    // started die with it (unless they left the group); output they write
    // after the child has exited is not waited for.
    ProcessOutput run(const std::string& executable, const std::vector<std::string>& arguments,
                      std::chrono::milliseconds timeout) override;

  private:
    FileDescriptor cancel_; // an eventfd, readable once cancelled
    std::atomic<bool> cancelled_{false};
};

} // namespace tavrin::linux_platform
