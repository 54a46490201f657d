// Where the event loop gets its time and how it waits for the next timer.
// The tool uses the system's monotonic clock; tests and fuzzers use
// VirtualTime, where waiting simply moves the clock, so a 35-second run takes
// microseconds and always happens the same way.
#pragma once

#include <cstdint>

class TimeSource {
public:
    virtual ~TimeSource() = default;
    // Milliseconds since an arbitrary start; never goes backwards.
    virtual std::int64_t NowMs() = 0;
    // Returns when NowMs() >= deadlineMs (or earlier; the loop checks again).
    virtual void WaitUntil(std::int64_t deadlineMs) = 0;
};

// The operating system's monotonic clock and sleep.
TimeSource& SystemTime();

class VirtualTime final : public TimeSource {
public:
    std::int64_t NowMs() override { return now_; }
    void WaitUntil(std::int64_t deadlineMs) override {
        if (deadlineMs > now_) now_ = deadlineMs;
    }
    void Advance(std::int64_t ms) { now_ += ms; }

private:
    std::int64_t now_ = 0;
};
