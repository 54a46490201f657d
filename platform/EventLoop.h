// The tool's one event loop: interval timers on one thread, and the input
// that some of them wait for.
//
// Every event the system handles is a timer tick: the poll timer, the serial
// driver's read timer, the console's keyboard timer, and in tests the
// scripted line's deliveries. The loop waits for the earliest enabled timer,
// fires it, and starts again, so a handler always runs to completion before
// the next tick. A timer that falls due while the thread is busy fires once,
// late, and then keeps its interval from that moment: ticks never pile up.
// Quit() ends Run() before any further tick is handled.
//
// A program whose thread must wait in a loop of its own (a window's message
// loop) runs the timers from there instead of calling Run(): it asks
// NextDueMs() when to come back and then calls RunDue(). Such a program
// cannot wait on the timers' input, so it comes back at every tick of their
// grid too, and RunDue() looks at the input without waiting: a tick whose
// input has nothing still fires nothing.
//
// A timer that waits for input (WaitFor) keeps its grid of ticks but skips
// every tick at which its input has nothing: the loop does not wake for
// them, and sleeps on the input and the other timers instead. Once input is
// there, the timer fires at the next tick of its grid, exactly when a plain
// timer would have. An input that is always ready (a device reporting an
// error) therefore costs one tick per interval, as a plain timer does.
#pragma once

#include <cstdint>
#include <functional>
#include <optional>
#include <vector>

#include "platform/TimeSource.h"
#include "platform/Waitable.h"

class IntervalTimer;

class EventLoop {
public:
    explicit EventLoop(TimeSource& time) : time_(time) {}
    EventLoop(const EventLoop&) = delete;
    EventLoop& operator=(const EventLoop&) = delete;

    // Dispatches ticks until Quit() is called, or until nothing could ever
    // happen again (no timer enabled). Quit() before Run() makes Run()
    // return at once; either way the loop can be run again afterwards.
    void Run();
    void Quit() { quitting_ = true; }
    // Looks, without waiting, whether input has come for the timers that
    // wait for it, then fires, in order, every tick due by now, as Run()
    // would, and returns once none is.
    void RunDue();
    // When the next tick falls due (it may be past), counting the next grid
    // tick of a timer that waits for input; nothing when no timer is enabled.
    std::optional<std::int64_t> NextDueMs();
    std::int64_t NowMs() { return time_.NowMs(); }
    // Holds the thread until deadlineMs, firing no timer and watching no
    // input, as a blocking call inside a handler does (the serial driver
    // keeping DTR low until a frame has left the wire).
    void WaitUntil(std::int64_t deadlineMs);

private:
    friend class IntervalTimer;
    IntervalTimer* NextDue();
    void Fire(IntervalTimer& timer);
    // Waits until deadlineMs or for input; false when nothing can come. Input
    // found counts as come at the wait's end, as the wait ends when it comes,
    // or at arrivedSinceMs when given.
    bool WaitFor(std::int64_t deadlineMs, std::optional<std::int64_t> arrivedSinceMs = std::nullopt);

    TimeSource& time_;
    std::vector<IntervalTimer*> timers_;  // in creation order, which breaks ties
    bool quitting_ = false;
    std::int64_t lastLookMs_ = 0;  // when RunDue last looked at the input
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
    // From now on, ticks at which `input` has nothing are skipped; nullptr
    // makes every tick fire again. The input must outlive the setting.
    void WaitFor(Waitable* input);

private:
    friend class EventLoop;
    bool Sleeping() const { return input_ != nullptr && !inputReady_; }
    // The first tick of the grid at or after nowMs.
    std::int64_t NextGridTickMs(std::int64_t nowMs) const;
    void InputArrived(std::int64_t nowMs);

    EventLoop& loop_;
    std::int64_t intervalMs_;
    std::function<void()> onTick_;
    bool enabled_ = false;
    std::int64_t dueMs_ = 0;
    Waitable* input_ = nullptr;
    bool inputReady_ = false;
};
