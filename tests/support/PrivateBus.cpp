#include "tests/support/PrivateBus.h"

#include <cerrno>
#include <chrono>
#include <csignal>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <poll.h>
#include <stdexcept>
#include <sys/prctl.h>
#include <sys/wait.h>
#include <thread>
#include <unistd.h>

extern char** environ;

namespace tavrin::testing {

namespace {

// The program's path: as given when it has a slash, else found on PATH.
std::string resolveProgram(const std::string& program) {
    if (program.find('/') != std::string::npos)
        return program;
    const char* path = std::getenv("PATH");
    std::string dirs = path ? path : "/usr/bin:/bin";
    std::size_t start = 0;
    while (start <= dirs.size()) {
        std::size_t end = dirs.find(':', start);
        if (end == std::string::npos)
            end = dirs.size();
        std::string candidate = dirs.substr(start, end - start) + "/" + program;
        if (access(candidate.c_str(), X_OK) == 0)
            return candidate;
        start = end + 1;
    }
    return program;
}

pid_t spawnWithPipe(const std::string& program, const std::vector<std::string>& arguments,
                    const std::vector<std::string>& extraEnvironment, int& readEnd) {
    int fds[2];
    if (pipe2(fds, O_CLOEXEC) != 0)
        throw std::runtime_error("pipe failed");
    std::vector<std::string> argStore{program};
    argStore.insert(argStore.end(), arguments.begin(), arguments.end());
    std::vector<char*> argv;
    for (auto& a : argStore)
        argv.push_back(a.data());
    argv.push_back(nullptr);
    std::vector<std::string> envStore;
    // Entries given explicitly replace inherited ones of the same name.
    auto overridden = [&](const char* entry) {
        for (const auto& extra : extraEnvironment) {
            auto eq = extra.find('=');
            if (eq != std::string::npos && std::strncmp(entry, extra.c_str(), eq + 1) == 0)
                return true;
        }
        return false;
    };
    for (char** e = environ; *e; ++e)
        if (!overridden(*e))
            envStore.emplace_back(*e);
    envStore.insert(envStore.end(), extraEnvironment.begin(), extraEnvironment.end());
    std::vector<char*> envp;
    for (auto& e : envStore)
        envp.push_back(e.data());
    envp.push_back(nullptr);
    // fork + exec rather than posix_spawn, so the child can ask to be ended
    // when the test process dies (a crashed or halted test must not leave a
    // bus behind holding the test runner's output open).
    std::string path = resolveProgram(program);
    pid_t parent = getpid();
    pid_t pid = fork();
    if (pid == 0) {
        // Only async-signal-safe calls until exec.
        dup2(fds[1], STDOUT_FILENO);
        prctl(PR_SET_PDEATHSIG, SIGTERM);
        if (getppid() != parent)
            _exit(127);
        execve(path.c_str(), argv.data(), envp.data());
        _exit(127);
    }
    close(fds[1]);
    if (pid < 0) {
        close(fds[0]);
        throw std::runtime_error("cannot start " + program + ": " + std::strerror(errno));
    }
    readEnd = fds[0];
    return pid;
}

// Reads up to a newline from fd into buffer; returns the line or "" on
// timeout/end of file.
std::string readLineFrom(int fd, std::string& buffer, int timeoutMs) {
    auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeoutMs);
    for (;;) {
        auto nl = buffer.find('\n');
        if (nl != std::string::npos) {
            std::string line = buffer.substr(0, nl);
            buffer.erase(0, nl + 1);
            return line;
        }
        auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
                        deadline - std::chrono::steady_clock::now())
                        .count();
        if (left <= 0 || fd < 0)
            return {};
        pollfd p{fd, POLLIN, 0};
        int r = poll(&p, 1, static_cast<int>(left));
        if (r < 0 && errno == EINTR)
            continue;
        if (r <= 0)
            return {};
        char chunk[4096];
        ssize_t n = read(fd, chunk, sizeof chunk);
        if (n <= 0)
            return {};
        buffer.append(chunk, static_cast<std::size_t>(n));
    }
}

bool waitFor(pid_t pid, int& status, int timeoutMs) {
    auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeoutMs);
    for (;;) {
        pid_t r = waitpid(pid, &status, WNOHANG);
        if (r == pid)
            return true;
        if (r < 0 && errno != EINTR)
            return true;
        if (std::chrono::steady_clock::now() >= deadline)
            return false;
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
    }
}

void stop(pid_t pid) {
    int status = 0;
    kill(pid, SIGTERM);
    if (!waitFor(pid, status, 5000)) {
        kill(pid, SIGKILL);
        waitFor(pid, status, 5000);
    }
}

} // namespace

PrivateBus::PrivateBus() {
    int out = -1;
    pid_ = spawnWithPipe("dbus-daemon", {"--session", "--nofork", "--print-address"}, {}, out);
    std::string buffer;
    address_ = readLineFrom(out, buffer, 10000);
    close(out);
    if (address_.empty()) {
        stop(pid_);
        throw std::runtime_error("dbus-daemon did not print its address");
    }
}

PrivateBus::~PrivateBus() {
    stop(pid_);
}

ChildProcess::ChildProcess(const std::string& program, const std::vector<std::string>& arguments,
                           const std::vector<std::string>& extraEnvironment) {
    pid_ = spawnWithPipe(program, arguments, extraEnvironment, out_);
}

ChildProcess::~ChildProcess() {
    if (!reaped_)
        stop(pid_);
    if (out_ >= 0)
        close(out_);
}

std::string ChildProcess::readLine(int timeoutMs) {
    return readLineFrom(out_, buffer_, timeoutMs);
}

int ChildProcess::wait(int timeoutMs) {
    if (!reaped_) {
        int status = 0;
        if (!waitFor(pid_, status, timeoutMs))
            return -1;
        reaped_ = true;
        status_ = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
    }
    return status_;
}

std::string ChildProcess::readRest() {
    std::string rest = std::move(buffer_);
    buffer_.clear();
    char chunk[4096];
    for (;;) {
        pollfd p{out_, POLLIN, 0};
        if (poll(&p, 1, 2000) <= 0)
            break;
        ssize_t n = read(out_, chunk, sizeof chunk);
        if (n <= 0)
            break;
        rest.append(chunk, static_cast<std::size_t>(n));
    }
    return rest;
}

} // namespace tavrin::testing
