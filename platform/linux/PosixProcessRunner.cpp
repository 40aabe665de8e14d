#include "platform/linux/PosixProcessRunner.h"

#include "common/Errno.h"

#include <algorithm>
#include <cerrno>
#include <climits>
#include <csignal>
#include <cstdint>
#include <fcntl.h>
#include <poll.h>
#include <spawn.h>
#include <sys/eventfd.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <system_error>
#include <thread>
#include <unistd.h>

extern char** environ;

namespace tavrin::linux_platform {
namespace {

using Clock = std::chrono::steady_clock;

using Descriptor = FileDescriptor;

struct Pipe {
    Descriptor read;
    Descriptor write;
};

void openPipe(Pipe& pipe) {
    int fds[2];
    if (::pipe2(fds, O_CLOEXEC) != 0)
        throw ProcessError("cannot create a pipe: " + errnoText(errno));
    pipe.read.reset(fds[0]);
    pipe.write.reset(fds[1]);
    // The parent's end never blocks, so one poll loop can serve both pipes.
    ::fcntl(fds[0], F_SETFL, ::fcntl(fds[0], F_GETFL) | O_NONBLOCK);
}

// Reads what is available now. Returns false once the pipe is at its end (or
// broken), true while it may still deliver. Keeps the first `keep` bytes; with
// `overLimit`, more than `keep` bytes set it and end the read instead.
bool readAvailable(int fd, std::string& into, std::size_t keep, const Clock::time_point* until,
                   bool* overLimit = nullptr) {
    char buffer[65536];
    for (;;) {
        ssize_t n = ::read(fd, buffer, sizeof buffer);
        if (n > 0) {
            std::size_t room = keep > into.size() ? keep - into.size() : 0;
            if (overLimit && static_cast<std::size_t>(n) > room) {
                *overLimit = true;
                return true;
            }
            into.append(buffer, std::min(room, static_cast<std::size_t>(n)));
            // After the child has exited a descendant could keep writing for
            // ever; the deadline bounds that final drain.
            if (until && Clock::now() >= *until)
                return true;
            continue;
        }
        if (n == 0)
            return false;
        if (errno == EINTR)
            continue;
        return errno == EAGAIN || errno == EWOULDBLOCK;
    }
}

int pidfdOpen(pid_t pid) {
#ifdef SYS_pidfd_open
    return static_cast<int>(::syscall(SYS_pidfd_open, pid, 0));
#else
    (void)pid;
    errno = ENOSYS;
    return -1;
#endif
}

int pollMilliseconds(Clock::time_point deadline) {
    auto left = std::chrono::ceil<std::chrono::milliseconds>(deadline - Clock::now()).count();
    return static_cast<int>(std::clamp<long long>(left, 0, INT_MAX));
}

int decodeStatus(int status) {
    if (WIFEXITED(status))
        return WEXITSTATUS(status);
    if (WIFSIGNALED(status))
        return 128 + WTERMSIG(status);
    return -1;
}

// Kills the child and what it started (its process group; a descendant that
// made a group or session of its own escapes). Call before the child is reaped,
// while its pid still names the group.
void killGroup(pid_t pid) {
    ::kill(-pid, SIGKILL);
    ::kill(pid, SIGKILL);
}

int reap(pid_t pid) {
    int status = 0;
    while (::waitpid(pid, &status, 0) < 0 && errno == EINTR) {
    }
    return status;
}

// Polls for the child's end without a pidfd: only when the child has closed
// both pipes yet keeps running, which is rare, so a short sleep is fine.
bool waitWithoutPidfd(pid_t pid, Clock::time_point deadline, int& status) {
    for (;;) {
        pid_t done = ::waitpid(pid, &status, WNOHANG);
        if (done == pid)
            return true;
        if (done < 0 && errno != EINTR)
            return true; // not our child any more; nothing left to wait for
        if (Clock::now() >= deadline)
            return false;
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
    }
}

struct SpawnSetup {
    posix_spawn_file_actions_t actions;
    posix_spawnattr_t attributes;
    SpawnSetup() {
        ::posix_spawn_file_actions_init(&actions);
        ::posix_spawnattr_init(&attributes);
    }
    ~SpawnSetup() {
        ::posix_spawn_file_actions_destroy(&actions);
        ::posix_spawnattr_destroy(&attributes);
    }
    SpawnSetup(const SpawnSetup&) = delete;
    SpawnSetup& operator=(const SpawnSetup&) = delete;
};

} // namespace

PosixProcessRunner::PosixProcessRunner() : cancel_(::eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK)) {
    if (!cancel_.valid())
        throw ProcessError("cannot create an eventfd: " + errnoText(errno));
}

void PosixProcessRunner::cancel() {
    cancelled_.store(true);
    std::uint64_t one = 1;
    // An eventfd write of 8 bytes cannot be short; retry only on a signal.
    while (::write(cancel_.get(), &one, sizeof one) < 0 && errno == EINTR) {
    }
}

ProcessOutput PosixProcessRunner::run(const std::string& executable,
                                      const std::vector<std::string>& arguments,
                                      std::chrono::milliseconds timeout) {
    if (cancelled_.load())
        throw ProcessError("cannot start " + executable + ": cancelled");
    Pipe out, err;
    openPipe(out);
    openPipe(err);

    SpawnSetup setup;
    ::posix_spawn_file_actions_adddup2(&setup.actions, out.write.get(), STDOUT_FILENO);
    ::posix_spawn_file_actions_adddup2(&setup.actions, err.write.get(), STDERR_FILENO);
#if defined(__GLIBC__) && (__GLIBC__ > 2 || (__GLIBC__ == 2 && __GLIBC_MINOR__ >= 34))
    // Also descriptors that other code in this process opened without O_CLOEXEC.
    ::posix_spawn_file_actions_addclosefrom_np(&setup.actions, STDERR_FILENO + 1);
#endif
    sigset_t mask;
    sigemptyset(&mask);
    ::posix_spawnattr_setsigmask(&setup.attributes, &mask);
    sigset_t defaults;
    sigemptyset(&defaults);
    for (int signal :
         {SIGPIPE, SIGCHLD, SIGHUP, SIGINT, SIGQUIT, SIGTERM, SIGTTIN, SIGTTOU, SIGXFSZ})
        sigaddset(&defaults, signal);
    ::posix_spawnattr_setsigdefault(&setup.attributes, &defaults);
    // Its own process group, so that a kill reaches the processes it started too.
    ::posix_spawnattr_setpgroup(&setup.attributes, 0);
    ::posix_spawnattr_setflags(&setup.attributes, POSIX_SPAWN_SETSIGMASK | POSIX_SPAWN_SETSIGDEF |
                                                      POSIX_SPAWN_SETPGROUP);

    std::vector<char*> argv;
    argv.reserve(arguments.size() + 2);
    argv.push_back(const_cast<char*>(executable.c_str()));
    for (const auto& argument : arguments)
        argv.push_back(const_cast<char*>(argument.c_str()));
    argv.push_back(nullptr);

    // Capped so that the deadline cannot overflow the clock.
    const auto deadline =
        Clock::now() + std::min<std::chrono::milliseconds>(timeout, std::chrono::hours(24 * 3650));
    pid_t pid = -1;
    int spawnError = ::posix_spawn(&pid, executable.c_str(), &setup.actions, &setup.attributes,
                                   argv.data(), environ);
    out.write.reset();
    err.write.reset();
    if (spawnError != 0)
        throw ProcessError("cannot start " + executable + ": " + errnoText(spawnError));

    // Whatever ends this call early (an exception included) kills and reaps
    // the child, so none is left running or as a zombie.
    struct ChildGuard {
        pid_t pid;
        bool reaped = false;
        ~ChildGuard() {
            if (!reaped) {
                killGroup(pid);
                reap(pid);
            }
        }
    } child{pid};

    Descriptor pidfd(pidfdOpen(pid));
    ProcessOutput result;
    bool outOpen = true, errOpen = true, exited = false;
    int earlyStatus = 0;

    auto killAndThrow = [&](std::string why = {}) -> ProcessOutput {
        killGroup(pid);
        reap(pid);
        child.reaped = true;
        if (why.empty())
            why = "did not finish within " + std::to_string(timeout.count()) + " ms";
        throw ProcessError(executable + " " + why + " and was killed");
    };
    bool overLimit = false;
    const std::string tooMuch =
        "printed more than " + std::to_string(ProcessOutput::kStandardOutputLimit >> 20) + " MiB";

    while (outOpen || errOpen) {
        if (exited) {
            // Everything the child wrote is in the pipes now; take it and stop
            // (a descendant may still hold the write ends open).
            if (outOpen)
                readAvailable(out.read.get(), result.standardOutput,
                              ProcessOutput::kStandardOutputLimit, &deadline, &overLimit);
            if (errOpen)
                readAvailable(err.read.get(), result.standardError,
                              ProcessOutput::kStandardErrorKept, &deadline);
            break;
        }
        if (Clock::now() >= deadline)
            return killAndThrow();
        if (cancelled_.load())
            return killAndThrow("was cancelled");
        pollfd fds[4];
        nfds_t count = 0;
        int outIndex = -1, errIndex = -1, pidIndex = -1;
        if (outOpen) {
            outIndex = static_cast<int>(count);
            fds[count++] = {out.read.get(), POLLIN, 0};
        }
        if (errOpen) {
            errIndex = static_cast<int>(count);
            fds[count++] = {err.read.get(), POLLIN, 0};
        }
        if (pidfd.valid()) {
            pidIndex = static_cast<int>(count);
            fds[count++] = {pidfd.get(), POLLIN, 0};
        }
        fds[count++] = {cancel_.get(), POLLIN, 0};
        // Without a pidfd the child's end is found by asking now and then, so
        // that a descendant holding the pipes cannot keep us until the time-out.
        int waitFor = pollMilliseconds(deadline);
        if (!pidfd.valid())
            waitFor = std::min(waitFor, 20);
        int ready = ::poll(fds, count, waitFor);
        if (ready < 0) {
            if (errno == EINTR)
                continue;
            return killAndThrow(); // cannot wait any more; do not leave the child behind
        }
        if (outIndex >= 0 && fds[outIndex].revents != 0)
            outOpen = readAvailable(out.read.get(), result.standardOutput,
                                    ProcessOutput::kStandardOutputLimit, nullptr, &overLimit);
        if (overLimit)
            return killAndThrow(tooMuch);
        if (errIndex >= 0 && fds[errIndex].revents != 0)
            errOpen = readAvailable(err.read.get(), result.standardError,
                                    ProcessOutput::kStandardErrorKept, nullptr);
        if (pidIndex >= 0 && fds[pidIndex].revents != 0)
            exited = true;
        if (!pidfd.valid() && (outOpen || errOpen)) {
            pid_t done = ::waitpid(pid, &earlyStatus, WNOHANG);
            if (done == pid || (done < 0 && errno != EINTR))
                exited = child.reaped = true; // reaped (or not ours to reap any more)
        }
    }

    if (overLimit)
        return killAndThrow(tooMuch);
    int status = 0;
    if (child.reaped) {
        status = earlyStatus;
    } else if (pidfd.valid()) {
        if (!exited) {
            // Both pipes closed: wait for the child itself, up to the deadline.
            for (;;) {
                pollfd fd{pidfd.get(), POLLIN, 0};
                int ready = ::poll(&fd, 1, pollMilliseconds(deadline));
                if (ready > 0)
                    break;
                if (ready == 0 || errno != EINTR)
                    return killAndThrow();
            }
        }
        // The run is over: what the child started and left behind in its group
        // (a script's background job) must not go on driving the editor after
        // the next script has started. The zombie keeps the group's id valid.
        ::kill(-pid, SIGKILL);
        status = reap(pid);
    } else if (!waitWithoutPidfd(pid, deadline, status)) {
        return killAndThrow();
    }
    child.reaped = true;
    result.exitStatus = decodeStatus(status);
    return result;
}

} // namespace tavrin::linux_platform

namespace tavrin {

std::shared_ptr<ProcessRunner> makePlatformProcessRunner() {
    return std::make_shared<linux_platform::PosixProcessRunner>();
}

} // namespace tavrin
