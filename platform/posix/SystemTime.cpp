// The monotonic clock; waits are poll() on the inputs' descriptors with the
// next timer's deadline as the time limit, or a plain sleep with no inputs.
#include <poll.h>

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
        const std::optional<timespec> left = TimeLeft(deadlineMs);
        const int result = ppoll(entries.data(), entries.size(), left ? &*left : nullptr, nullptr);
        // A hang-up or an error counts as input: the read that follows finds
        // out. So does a signal, which may have left input for the reader
        // (a resized terminal's key, for one).
        for (std::size_t i = 0; i < entries.size(); ++i)
            inputs[i].ready = result > 0 ? entries[i].revents != 0 : result < 0 && errno == EINTR;
        return true;
    }

private:
    // The time to the deadline as ppoll() takes it; nothing for no deadline.
    static std::optional<timespec> TimeLeft(std::int64_t deadlineMs) {
        if (deadlineMs == kNoDeadline) return std::nullopt;
        timespec now{};
        clock_gettime(CLOCK_MONOTONIC, &now);
        const std::int64_t leftNs = std::max<std::int64_t>(
            0, (deadlineMs - std::int64_t{now.tv_sec} * 1000) * 1'000'000 - now.tv_nsec);
        timespec left{};
        left.tv_sec = static_cast<time_t>(leftNs / 1'000'000'000);
        left.tv_nsec = static_cast<long>(leftNs % 1'000'000'000);
        return left;
    }
};

}  // namespace

TimeSource& SystemTime() {
    static MonotonicTime time;
    return time;
}
