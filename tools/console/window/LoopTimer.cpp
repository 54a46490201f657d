#include "tools/console/window/LoopTimer.h"

#include <algorithm>

void LoopTimer::RunDue() {
    loop_.RunDue();
    Schedule();
}

// A window timer runs at the system timer's resolution (about 16 ms) and no
// shorter than USER_TIMER_MINIMUM; a tick it brings a little early finds
// nothing due and sets the timer again for the rest.
void LoopTimer::Schedule() {
    const auto dueMs = loop_.NextDueMs();
    if (!dueMs) {
        KillTimer(window_, id_);
        return;
    }
    const std::int64_t waitMs = std::clamp<std::int64_t>(*dueMs - loop_.NowMs(), USER_TIMER_MINIMUM, USER_TIMER_MAXIMUM);
    SetTimer(window_, id_, static_cast<UINT>(waitMs), nullptr);
}
