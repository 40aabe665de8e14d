#pragma once
// Waiting on a descriptor until it is ready, and retrying a non-blocking call
// (send, recv) until it goes through or its wait runs out.

#include <poll.h>
#include <sys/types.h>

#include <cerrno>

namespace tavrin {

// Waits up to `timeoutMs` (never for ever) for `events` on fd; true when they
// (or a hang-up or error, which the next call reports) came.
inline bool waitFor(int fd, short events, int timeoutMs) {
    pollfd entry{fd, events, 0};
    for (;;) {
        int ready = ::poll(&entry, 1, timeoutMs < 0 ? 0 : timeoutMs);
        if (ready >= 0)
            return ready > 0;
        if (errno != EINTR)
            return false;
    }
}

// Makes a non-blocking call until it succeeds; while it would block, waits up
// to `timeoutMs` for `events`. -1 on failure or time-out.
template <typename Call> ssize_t whenReady(int fd, short events, int timeoutMs, Call call) {
    for (;;) {
        const ssize_t done = call();
        if (done >= 0)
            return done;
        if (errno == EINTR)
            continue;
        if ((errno != EAGAIN && errno != EWOULDBLOCK) || !waitFor(fd, events, timeoutMs))
            return -1;
    }
}

} // namespace tavrin
