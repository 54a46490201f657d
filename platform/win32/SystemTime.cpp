#include <windows.h>

#include "platform/TimeSource.h"

namespace {

// The tick count: milliseconds since the system started, at the system
// timer's resolution (about 16 ms), which is all a 50 ms poll needs.
class TickCountTime final : public TimeSource {
public:
    std::int64_t NowMs() override { return static_cast<std::int64_t>(GetTickCount64()); }
    void WaitUntil(std::int64_t deadlineMs) override {
        const std::int64_t leftMs = deadlineMs - NowMs();
        if (leftMs > 0) Sleep(static_cast<DWORD>(leftMs));
    }
};

}  // namespace

TimeSource& SystemTime() {
    static TickCountTime time;
    return time;
}
