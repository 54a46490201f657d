#include "platform/EventLoop.h"

#include <algorithm>
#include <utility>

IntervalTimer* EventLoop::NextDue() {
    IntervalTimer* next = nullptr;
    for (IntervalTimer* timer : timers_)
        if (timer->enabled_ && !timer->Sleeping() && (next == nullptr || timer->dueMs_ < next->dueMs_))
            next = timer;
    return next;
}

bool EventLoop::WaitFor(std::int64_t deadlineMs, std::optional<std::int64_t> arrivedSinceMs) {
    std::vector<InputWait> inputs;
    std::vector<IntervalTimer*> waiting;
    for (IntervalTimer* timer : timers_) {
        if (!timer->enabled_ || !timer->Sleeping()) continue;
        inputs.push_back({timer->input_, false});
        waiting.push_back(timer);
    }
    if (deadlineMs == kNoDeadline && inputs.empty()) return false;
    if (!time_.WaitUntil(deadlineMs, inputs)) return false;
    const std::int64_t arrivedMs = arrivedSinceMs.value_or(time_.NowMs());
    for (std::size_t i = 0; i < inputs.size(); ++i)
        if (inputs[i].ready) waiting[i]->InputArrived(arrivedMs);
    return true;
}

void EventLoop::Run() {
    while (!quitting_) {
        IntervalTimer* next = NextDue();
        if (next == nullptr || time_.NowMs() < next->dueMs_) {
            if (!WaitFor(next != nullptr ? next->dueMs_ : kNoDeadline)) break;
            continue;  // the wait may end early or with input; look again
        }
        Fire(*next);
    }
    quitting_ = false;
}

// Input found here came at some time since the last look, which is what the
// grid counts from: a window timer that comes a little after a tick still
// takes that tick.
void EventLoop::RunDue() {
    const std::int64_t nowMs = time_.NowMs();
    WaitFor(nowMs, std::exchange(lastLookMs_, nowMs));
    for (IntervalTimer* next = NextDue(); next != nullptr && next->dueMs_ <= time_.NowMs(); next = NextDue())
        Fire(*next);
}

std::optional<std::int64_t> EventLoop::NextDueMs() {
    std::optional<std::int64_t> next;
    for (const IntervalTimer* timer : timers_) {
        if (!timer->enabled_) continue;
        const std::int64_t dueMs = timer->Sleeping() ? timer->NextGridTickMs(time_.NowMs()) : timer->dueMs_;
        next = std::min(next.value_or(dueMs), dueMs);
    }
    return next;
}

void EventLoop::WaitUntil(std::int64_t deadlineMs) {
    while (time_.NowMs() < deadlineMs)
        if (!time_.WaitUntil(deadlineMs, {})) return;
}

void EventLoop::Fire(IntervalTimer& timer) {
    timer.dueMs_ = time_.NowMs() + timer.intervalMs_;
    timer.inputReady_ = false;  // what the tick takes may be all there was
    timer.onTick_();            // may disable or restart any timer, or quit
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

void IntervalTimer::WaitFor(Waitable* input) {
    input_ = input;
    inputReady_ = false;
}

// The ticks skipped while nothing was there keep their grid: the next one at
// or after the input's arrival is the one that fires.
void IntervalTimer::InputArrived(std::int64_t nowMs) {
    inputReady_ = true;
    dueMs_ = NextGridTickMs(nowMs);
}

std::int64_t IntervalTimer::NextGridTickMs(std::int64_t nowMs) const {
    if (dueMs_ >= nowMs || intervalMs_ <= 0) return std::max(dueMs_, nowMs);
    return dueMs_ + (nowMs - dueMs_ + intervalMs_ - 1) / intervalMs_ * intervalMs_;
}
