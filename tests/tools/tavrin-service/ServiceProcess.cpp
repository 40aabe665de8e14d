#include "tests/tools/tavrin-service/ServiceProcess.h"

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/prctl.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <filesystem>
#include <stdexcept>

#ifndef TAVRIN_SERVICE_PATH
#error "TAVRIN_SERVICE_PATH must name the tavrin-service program"
#endif

extern char** environ;

namespace tavrin::testing {

ServiceProcess::ServiceProcess(std::string dataDir, std::vector<std::string> extraArgs)
    : dataDir_(std::move(dataDir)), extraArgs_(std::move(extraArgs)) {
    start();
}

ServiceProcess::~ServiceProcess() {
    if (pid_ > 0)
        stop();
}

int ServiceProcess::port() const {
    return std::stoi(url_.substr(url_.rfind(':') + 1));
}

void ServiceProcess::start() {
    int fds[2];
    if (pipe2(fds, O_CLOEXEC) != 0)
        throw std::runtime_error("pipe failed");
    std::vector<std::string> args = {TAVRIN_SERVICE_PATH, "--data", dataDir_, "--quiet"};
    args.insert(args.end(), extraArgs_.begin(), extraArgs_.end());
    if (std::find(args.begin(), args.end(), "--port") == args.end())
        args.insert(args.end(), {"--port", "0"});
    std::vector<char*> argv;
    for (auto& a : args)
        argv.push_back(a.data());
    argv.push_back(nullptr);
    pid_t parent = getpid();
    pid_ = fork();
    if (pid_ == 0) {
        prctl(PR_SET_PDEATHSIG, SIGKILL);
        if (getppid() != parent)
            _exit(127);
        dup2(fds[1], STDOUT_FILENO);
        execve(argv[0], argv.data(), environ);
        _exit(127);
    }
    close(fds[1]);
    if (pid_ < 0) {
        close(fds[0]);
        throw std::runtime_error("fork failed");
    }
    // Reads the readiness line: "tavrin-service ready url=URL token=TOKEN data=DIR".
    std::string line;
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(20);
    while (line.find('\n') == std::string::npos && std::chrono::steady_clock::now() < deadline) {
        pollfd p{fds[0], POLLIN, 0};
        if (poll(&p, 1, 200) <= 0)
            continue;
        char buffer[512];
        ssize_t n = read(fds[0], buffer, sizeof buffer);
        if (n <= 0)
            break;
        line.append(buffer, static_cast<std::size_t>(n));
    }
    close(fds[0]);
    auto field = [&](const std::string& key) {
        auto at = line.find(" " + key + "=");
        if (at == std::string::npos)
            return std::string();
        at += key.size() + 2;
        return line.substr(at, line.find_first_of(" \n", at) - at);
    };
    url_ = field("url");
    token_ = field("token");
    if (line.rfind("tavrin-service ready ", 0) != 0 || url_.empty() || token_.empty()) {
        kill();
        throw std::runtime_error("tavrin-service did not become ready: " + line);
    }
}

const char* ServiceProcess::program() {
    return TAVRIN_SERVICE_PATH;
}

int ServiceProcess::stop() {
    if (pid_ <= 0)
        return -1;
    ::kill(pid_, SIGTERM);
    int status = 0;
    // A stop that hangs is a fault; after 10 s the test ends it.
    for (int i = 0; i < 1000; ++i) {
        if (waitpid(pid_, &status, WNOHANG) == pid_) {
            pid_ = -1;
            return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
        }
        usleep(10'000);
    }
    kill();
    return -1;
}

void ServiceProcess::kill() {
    if (pid_ <= 0)
        return;
    ::kill(pid_, SIGKILL);
    waitpid(pid_, nullptr, 0);
    pid_ = -1;
}

void ServiceProcess::restart() {
    if (pid_ > 0)
        stop();
    start();
}

} // namespace tavrin::testing
