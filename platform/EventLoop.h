// The tool's one event loop: interval timers on one thread, nothing else.
//
// Every event the system handles is a timer tick: the poll timer, the serial
// driver's read timer, and in tests the scripted line's deliveries. The loop
// waits for the earliest enabled timer, fires it, and starts again, so a
// handler always runs to completion before the next tick. A timer that falls
// due while the thread is busy fires once, late, and then keeps its interval
// from that moment: ticks never pile up. Quit() ends Run() before any further
// tick is handled.
#pragma once

#include <cstdint>
#include <functional>
#include <vector>

#include "platform/TimeSource.h"

class IntervalTimer;

class EventLoop {
public:
    explicit EventLoop(TimeSource& time) : time_(time) {}
    EventLoop(const EventLoop&) = delete;
    EventLoop& operator=(const EventLoop&) = delete;

    // Dispatches ticks until Quit() is called, or until no timer is enabled
    // (then nothing could ever happen again). Quit() before Run() makes Run()
    // return at once; either way the loop can be run again afterwards.
    void Run();
    void Quit() { quitting_ = true; }
    std::int64_t NowMs() { return time_.NowMs(); }

private:
    friend class IntervalTimer;
    IntervalTimer* NextDue();

    TimeSource& time_;
    std::vector<IntervalTimer*> timers_;  // in creation order, which breaks ties
    bool quitting_ = false;
};

class IntervalTimer {
public:
    IntervalTimer(EventLoop& loop, std::int64_t intervalMs, std::function<void()> onTick);
    ~IntervalTimer();
    IntervalTimer(const IntervalTimer&) = delete;
    IntervalTimer& operator=(const IntervalTimer&) = delete;

    // Enabling waits a full interval from now, also when already enabled.
    void Enable();
    void Disable() { enabled_ = false; }
    bool Enabled() const { return enabled_; }
    void SetInterval(std::int64_t intervalMs) { intervalMs_ = intervalMs; }
    std::int64_t IntervalMs() const { return intervalMs_; }

private:
    friend class EventLoop;
    EventLoop& loop_;
    std::int64_t intervalMs_;
    std::function<void()> onTick_;
    bool enabled_ = false;
    std::int64_t dueMs_ = 0;
};
