#include "tests/support/XvfbServer.h"

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
#include <unistd.h>
#include <vector>

extern char** environ;

namespace tavrin::testing {

namespace {

// The full path of program found on PATH (resolved before forking, so the
// child only needs async-signal-safe calls).
std::string findOnPath(const std::string& program) {
    const char* path = std::getenv("PATH");
    std::string dirs = path ? path : "/usr/local/bin:/usr/bin:/bin";
    std::size_t start = 0;
    while (start <= dirs.size()) {
        std::size_t end = dirs.find(':', start);
        if (end == std::string::npos)
            end = dirs.size();
        std::string dir = dirs.substr(start, end - start);
        std::string candidate = (dir.empty() ? "." : dir) + "/" + program;
        if (access(candidate.c_str(), X_OK) == 0)
            return candidate;
        start = end + 1;
    }
    return {};
}

} // namespace

XvfbServer::XvfbServer() {
    std::string program = findOnPath("Xvfb");
    if (program.empty())
        throw std::runtime_error("cannot start Xvfb: not found on PATH");
    int fds[2];
    if (pipe2(fds, O_CLOEXEC) != 0)
        throw std::runtime_error("pipe failed");
    // Xvfb writes its display number to this descriptor once it is ready.
    std::string writeFd = std::to_string(fds[1]);
    std::vector<std::string> args = {program, "-displayfd", writeFd, "-nolisten",
                                     "tcp",   "-screen",    "0",     "1280x800x24"};
    std::vector<char*> argv;
    for (auto& a : args)
        argv.push_back(a.data());
    argv.push_back(nullptr);
    // fork + exec rather than posix_spawn, so the server is ended when the
    // test process dies: a crashed or killed test must not leave it behind.
    pid_t parent = getpid();
    pid_ = fork();
    if (pid_ == 0) {
        // Only async-signal-safe calls until exec.
        prctl(PR_SET_PDEATHSIG, SIGKILL);
        if (getppid() != parent)
            _exit(127);
        int devNull = open("/dev/null", O_WRONLY);
        if (devNull >= 0) {
            dup2(devNull, STDOUT_FILENO);
            dup2(devNull, STDERR_FILENO);
        }
        fcntl(fds[1], F_SETFD, 0); // the display descriptor stays open across exec
        execve(argv[0], argv.data(), environ);
        _exit(127);
    }
    int forkError = errno;
    close(fds[1]);
    if (pid_ < 0) {
        close(fds[0]);
        throw std::runtime_error(std::string("cannot start Xvfb: ") + std::strerror(forkError));
    }

    std::string number;
    pollfd p{fds[0], POLLIN, 0};
    while (number.find('\n') == std::string::npos) {
        int ready = poll(&p, 1, 20000); // a safety net; Xvfb is normally ready in well under 1 s
        if (ready < 0 && errno == EINTR)
            continue;
        char buffer[32];
        ssize_t n = ready > 0 ? read(fds[0], buffer, sizeof buffer) : 0;
        if (n < 0 && errno == EINTR)
            continue;
        if (n <= 0)
            break;
        number.append(buffer, static_cast<std::size_t>(n));
    }
    close(fds[0]);
    auto end = number.find('\n');
    if (end == std::string::npos || end == 0) {
        kill(pid_, SIGKILL);
        waitpid(pid_, nullptr, 0);
        pid_ = -1;
        throw std::runtime_error("Xvfb did not report a display");
    }
    display_ = ":" + number.substr(0, end);
}

XvfbServer::~XvfbServer() {
    if (pid_ <= 0)
        return;
    kill(pid_, SIGTERM);
    // A server that does not stop within a few seconds is killed outright, so
    // the test program never hangs at exit.
    auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(5);
    for (;;) {
        pid_t r = waitpid(pid_, nullptr, WNOHANG);
        if (r == pid_ || (r < 0 && errno != EINTR))
            return;
        if (std::chrono::steady_clock::now() >= deadline) {
            kill(pid_, SIGKILL);
            waitpid(pid_, nullptr, 0);
            return;
        }
        usleep(5000);
    }
}

} // namespace tavrin::testing
