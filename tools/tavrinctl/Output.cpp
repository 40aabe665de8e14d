#include "tools/tavrinctl/Output.h"

#include "common/Errno.h"
#include "tools/tavrinctl/Commands.h"

#include <cerrno>
#include <cstdio>
#include <iostream>

namespace tavrin::ctl {

namespace {

bool gFailed = false;

void reportFailure(int error) {
    if (gFailed)
        return;
    gFailed = true;
    std::cerr << "tavrinctl: cannot write standard output: " << errnoText(error ? error : EIO)
              << "\n";
}

} // namespace

bool writeOutput(std::string_view text) {
    if (gFailed)
        return false;
    errno = 0;
    if (std::fwrite(text.data(), 1, text.size(), stdout) != text.size()) {
        reportFailure(errno);
        return false;
    }
    return true;
}

bool outputFailed(int error) {
    if (!gFailed && !std::ferror(stdout))
        return false;
    reportFailure(error);
    return true;
}

int finishOutput(int exitCode) {
    // std::cout's flush is stdout's (the streams are synchronised), so the
    // write that fails may be either; the error of the first one is the cause.
    errno = 0;
    std::cout.flush();
    const int coutError = errno;
    const bool flushed = std::fflush(stdout) == 0;
    if (!flushed || std::ferror(stdout) || std::cout.bad())
        reportFailure(coutError ? coutError : errno);
    return gFailed && exitCode == kExitOK ? kExitFailure : exitCode;
}

} // namespace tavrin::ctl
