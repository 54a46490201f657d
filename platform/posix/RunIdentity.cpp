#include "platform/RunIdentity.h"

#include <sys/random.h>
#include <time.h>
#include <unistd.h>

unsigned long ThisProcessId() { return static_cast<unsigned long>(getpid()); }

// The system's random bits when it has them ready; until then the clocks'
// nanoseconds, which two runs of the same process id cannot share, as the
// earlier one has ended before its id is given again.
std::uint32_t RunNonce() {
    std::uint32_t nonce = 0;
    if (getrandom(&nonce, sizeof nonce, GRND_NONBLOCK) == static_cast<ssize_t>(sizeof nonce)) return nonce;
    timespec wall{}, steady{};
    clock_gettime(CLOCK_REALTIME, &wall);
    clock_gettime(CLOCK_MONOTONIC, &steady);
    const auto nanoseconds = [](const timespec& at) {
        return static_cast<std::uint64_t>(at.tv_sec) * 1'000'000'000u + static_cast<std::uint64_t>(at.tv_nsec);
    };
    const std::uint64_t mixed = nanoseconds(wall) ^ (nanoseconds(steady) << 21);
    return static_cast<std::uint32_t>(mixed ^ (mixed >> 32));
}
