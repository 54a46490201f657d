#include <cerrno>
#include <ctime>

#include "platform/TimeSource.h"

namespace {

class MonotonicTime final : public TimeSource {
public:
    std::int64_t NowMs() override {
        timespec now{};
        clock_gettime(CLOCK_MONOTONIC, &now);
        return std::int64_t{now.tv_sec} * 1000 + now.tv_nsec / 1'000'000;
    }
    void WaitUntil(std::int64_t deadlineMs) override {
        timespec deadline{};
        deadline.tv_sec = static_cast<time_t>(deadlineMs / 1000);
        deadline.tv_nsec = static_cast<long>(deadlineMs % 1000) * 1'000'000;
        clock_nanosleep(CLOCK_MONOTONIC, TIMER_ABSTIME, &deadline, nullptr);
    }
};

}  // namespace

TimeSource& SystemTime() {
    static MonotonicTime time;
    return time;
}
