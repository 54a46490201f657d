// The monotonic clock. A wait with inputs is one ppoll() on their
// descriptors and on a timer descriptor set to the deadline: poll()'s own
// time limit is allowed to end late by 0.1% of its length (5 ms on a 5 s
// wait), a timer descriptor only by the thread's timer slack (50 µs). A wait
// with no inputs is a plain sleep to the deadline.
#include <poll.h>
#include <sys/timerfd.h>

#include <algorithm>
#include <cerrno>
#include <ctime>
#include <optional>
#include <vector>

#include "platform/TimeSource.h"

namespace {

timespec ToTimespec(std::int64_t ms) {
    timespec at{};
    at.tv_sec = static_cast<time_t>(ms / 1000);
    at.tv_nsec = static_cast<long>(ms % 1000) * 1'000'000;
    return at;
}

class MonotonicTime final : public TimeSource {
public:
    std::int64_t NowMs() override {
        timespec now{};
        clock_gettime(CLOCK_MONOTONIC, &now);
        return std::int64_t{now.tv_sec} * 1000 + now.tv_nsec / 1'000'000;
    }

    bool WaitUntil(std::int64_t deadlineMs, std::span<InputWait> inputs) override {
        if (inputs.empty()) {
            const timespec deadline = ToTimespec(deadlineMs);
            clock_nanosleep(CLOCK_MONOTONIC, TIMER_ABSTIME, &deadline, nullptr);
            return true;
        }
        std::vector<pollfd> entries;
        for (const InputWait& wait : inputs) entries.push_back({wait.input->Descriptor(), POLLIN, 0});
        // Without a timer descriptor (none left to the process) poll()'s own,
        // less exact time limit still ends the wait.
        std::optional<timespec> limit;
        if (deadlineMs != kNoDeadline) {
            const int timer = DeadlineTimer(deadlineMs);
            if (timer >= 0) {
                entries.push_back({timer, POLLIN, 0});
            } else {
                limit = TimeLeft(deadlineMs);
            }
        }
        const int result = ppoll(entries.data(), entries.size(), limit ? &*limit : nullptr, nullptr);
        // A hang-up or an error counts as input: the read that follows finds
        // out. So does a signal, which may have left input for the reader
        // (a resized terminal's key, for one).
        for (std::size_t i = 0; i < inputs.size(); ++i)
            inputs[i].ready = result > 0 ? entries[i].revents != 0 : result < 0 && errno == EINTR;
        return true;
    }

private:
    static timespec TimeLeft(std::int64_t deadlineMs) {
        timespec now{};
        clock_gettime(CLOCK_MONOTONIC, &now);
        const std::int64_t leftNs = std::max<std::int64_t>(
            0, (deadlineMs - std::int64_t{now.tv_sec} * 1000) * 1'000'000 - now.tv_nsec);
        timespec left{};
        left.tv_sec = static_cast<time_t>(leftNs / 1'000'000'000);
        left.tv_nsec = static_cast<long>(leftNs % 1'000'000'000);
        return left;
    }

    // The timer descriptor, set to fire once at the deadline; setting it
    // again also forgets an earlier expiry nobody read.
    int DeadlineTimer(std::int64_t deadlineMs) {
        if (timer_ < 0) timer_ = timerfd_create(CLOCK_MONOTONIC, TFD_CLOEXEC | TFD_NONBLOCK);
        const itimerspec once{{0, 0}, ToTimespec(deadlineMs)};
        if (timerfd_settime(timer_, TFD_TIMER_ABSTIME, &once, nullptr) != 0) return -1;
        return timer_;
    }

    int timer_ = -1;
};

}  // namespace

TimeSource& SystemTime() {
    static MonotonicTime time;
    return time;
}
