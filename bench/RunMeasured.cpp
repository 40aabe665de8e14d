// run_measured RESULT PROGRAM ARGS...: runs PROGRAM with the arguments (same
// standard input and output), then writes "<peak resident KiB> <CPU seconds>"
// of that child to the file RESULT and exits with its status.
//
// A process's peak resident size includes that of the memory it replaced at
// exec, so a program started straight from a large benchmark would be charged
// with the benchmark's memory. Started from this small program instead, it is
// charged with its own.

#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdio>

int main(int argc, char** argv) {
    if (argc < 3) {
        std::fprintf(stderr, "usage: run_measured RESULT PROGRAM [ARGS...]\n");
        return 2;
    }
    const pid_t pid = fork();
    if (pid < 0)
        return 2;
    if (pid == 0) {
        execv(argv[2], argv + 2);
        _exit(127);
    }
    int status = 0;
    rusage usage{};
    if (wait4(pid, &status, 0, &usage) != pid)
        return 2;
    std::FILE* result = std::fopen(argv[1], "w");
    if (!result)
        return 2;
    const double cpu = static_cast<double>(usage.ru_utime.tv_sec + usage.ru_stime.tv_sec) +
                       static_cast<double>(usage.ru_utime.tv_usec + usage.ru_stime.tv_usec) * 1e-6;
    std::fprintf(result, "%ld %.6f\n", usage.ru_maxrss, cpu);
    std::fclose(result);
    return WIFEXITED(status) ? WEXITSTATUS(status) : 2;
}
