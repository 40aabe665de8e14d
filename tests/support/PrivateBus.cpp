#include "tests/support/PrivateBus.h"

#include <cerrno>
#include <chrono>
#include <csignal>
#include <cstring>
#include <fcntl.h>
#include <poll.h>
#include <spawn.h>
#include <stdexcept>
#include <sys/wait.h>
#include <thread>
#include <unistd.h>

extern char** environ;

namespace tavrin::testing {

namespace {

pid_t spawnWithPipe(const std::string& program, const std::vector<std::string>& arguments,
                    const std::vector<std::string>& extraEnvironment, int& readEnd) {
    int fds[2];
    if (pipe2(fds, O_CLOEXEC) != 0)
        throw std::runtime_error("pipe failed");
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_adddup2(&actions, fds[1], STDOUT_FILENO);
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
    pid_t pid = -1;
    int rc = posix_spawnp(&pid, program.c_str(), &actions, nullptr, argv.data(), envp.data());
    posix_spawn_file_actions_destroy(&actions);
    close(fds[1]);
    if (rc != 0) {
        close(fds[0]);
        throw std::runtime_error("cannot start " + program + ": " + std::strerror(rc));
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
