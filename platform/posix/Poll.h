// One descriptor waited on with poll(), for the POSIX ports' bounded waits.
#pragma once

#include <poll.h>

#include <algorithm>
#include <cerrno>
#include <climits>
#include <cstdint>

// poll()'s time limit: negative is "no wait", never "forever".
inline int PollTimeoutMs(std::int64_t ms) { return static_cast<int>(std::clamp<std::int64_t>(ms, 0, INT_MAX)); }

// What poll() reported for `events` within timeoutMs; 0 when the time ran
// out, POLLERR when poll() itself failed (the descriptor cannot be waited on).
inline short PollFor(int fd, short events, std::int64_t timeoutMs) {
    pollfd entry{fd, events, 0};
    while (poll(&entry, 1, PollTimeoutMs(timeoutMs)) < 0) {
        if (errno != EINTR) return POLLERR;
    }
    return entry.revents;
}
