#include <windows.h>
#include <mmsystem.h>

#include <algorithm>

#include "platform/TimeSource.h"

namespace {

// The performance counter in milliseconds, and sleeps at a 1 ms timer
// resolution. The tick count and the default resolution (about 16 ms) would
// do for a 50 ms poll, but not for raising DTR: the wait after a frame must
// count its line time from the write no sooner than it began, and end within
// a few milliseconds of the frame's last stop bit. Windows ports read on plain
// ticks and offer no input to wait on, so a wait is a sleep to the deadline.
class PerformanceCounterTime final : public TimeSource {
public:
    PerformanceCounterTime() {
        QueryPerformanceFrequency(&frequency_);
        timeBeginPeriod(1);  // for this process, until it ends
    }
    std::int64_t NowMs() override {
        LARGE_INTEGER count;
        QueryPerformanceCounter(&count);
        const std::int64_t perSecond = frequency_.QuadPart;
        return count.QuadPart / perSecond * 1000 + count.QuadPart % perSecond * 1000 / perSecond;
    }
    bool WaitUntil(std::int64_t deadlineMs, std::span<InputWait>) override {
        const std::int64_t leftMs = deadlineMs - NowMs();
        if (leftMs > 0) Sleep(static_cast<DWORD>(std::min<std::int64_t>(leftMs, INFINITE - 1)));
        return true;
    }

private:
    LARGE_INTEGER frequency_{};
};

}  // namespace

TimeSource& SystemTime() {
    static PerformanceCounterTime time;
    return time;
}
