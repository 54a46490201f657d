#include "platform/EventLoop.h"

#include <algorithm>

IntervalTimer* EventLoop::NextDue() {
    IntervalTimer* next = nullptr;
    for (IntervalTimer* timer : timers_)
        if (timer->enabled_ && (next == nullptr || timer->dueMs_ < next->dueMs_)) next = timer;
    return next;
}

void EventLoop::Run() {
    while (!quitting_) {
        IntervalTimer* next = NextDue();
        if (next == nullptr) break;
        if (time_.NowMs() < next->dueMs_) {
            time_.WaitUntil(next->dueMs_);
            continue;  // the wait may end early; look again
        }
        next->dueMs_ = time_.NowMs() + next->intervalMs_;
        next->onTick_();  // may disable or restart any timer, or quit
    }
    quitting_ = false;
}

IntervalTimer::IntervalTimer(EventLoop& loop, std::int64_t intervalMs, std::function<void()> onTick)
    : loop_(loop), intervalMs_(intervalMs), onTick_(std::move(onTick)) {
    loop_.timers_.push_back(this);
}

IntervalTimer::~IntervalTimer() {
    auto& timers = loop_.timers_;
    timers.erase(std::remove(timers.begin(), timers.end(), this), timers.end());
}

void IntervalTimer::Enable() {
    enabled_ = true;
    dueMs_ = loop_.NowMs() + intervalMs_;
}
