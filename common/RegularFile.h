#pragma once
// Reading the whole of a regular file, never hanging on something else.

#include "common/Errno.h"
#include "common/FileDescriptor.h"

#include <fcntl.h>
#include <sys/stat.h>

#include <cerrno>
#include <optional>
#include <string>

namespace tavrin {

// The whole of the regular file at path, or no value with the reason in
// *failure when given ("not a regular file", or the system's error text).
// O_NONBLOCK and the regular-file check keep a FIFO or a device named in its
// place from hanging the call.
inline std::optional<std::string> readRegularFile(const std::string& path,
                                                  std::string* failure = nullptr) {
    auto fail = [&](std::string reason) -> std::optional<std::string> {
        if (failure)
            *failure = std::move(reason);
        return std::nullopt;
    };
    FileDescriptor fd(::open(path.c_str(), O_RDONLY | O_NONBLOCK | O_NOCTTY | O_CLOEXEC));
    if (!fd.valid())
        return fail(errnoText(errno));
    struct stat info;
    if (::fstat(fd.get(), &info) != 0)
        return fail(errnoText(errno));
    if (!S_ISREG(info.st_mode))
        return fail("not a regular file");
    std::string content;
    char buffer[65536];
    for (;;) {
        const ssize_t n = ::read(fd.get(), buffer, sizeof buffer);
        if (n > 0)
            content.append(buffer, static_cast<std::size_t>(n));
        else if (n == 0)
            return content;
        else if (errno != EINTR)
            return fail(errnoText(errno));
    }
}

} // namespace tavrin
