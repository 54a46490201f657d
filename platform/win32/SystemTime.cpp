#include <windows.h>

#include <algorithm>

#include "platform/TimeSource.h"

namespace {

// The tick count: milliseconds since the system started, at the system
// timer's resolution (about 16 ms), which is all a 50 ms poll needs. Windows
// ports read on plain ticks and offer no input to wait on, so a wait is a
// sleep to the deadline.
class TickCountTime final : public TimeSource {
public:
    std::int64_t NowMs() override { return static_cast<std::int64_t>(GetTickCount64()); }
    bool WaitUntil(std::int64_t deadlineMs, std::span<InputWait>) override {
        const std::int64_t leftMs = deadlineMs - NowMs();
        if (leftMs > 0) Sleep(static_cast<DWORD>(std::min<std::int64_t>(leftMs, INFINITE - 1)));
        return true;
    }
};

}  // namespace

TimeSource& SystemTime() {
    static TickCountTime time;
    return time;
}
