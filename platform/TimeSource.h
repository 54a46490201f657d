// Where the event loop gets its time and how it waits for the next timer or
// for input. The tool uses the system's monotonic clock; tests and fuzzers
// use VirtualTime, where waiting simply moves the clock to the deadline or to
// the input's arrival, so a 35-second run takes microseconds and always
// happens the same way.
#pragma once

#include <algorithm>
#include <cstdint>
#include <limits>
#include <span>

#include "platform/Waitable.h"

// One input a wait watches; `ready` is set when the wait found input there.
struct InputWait {
    Waitable* input = nullptr;
    bool ready = false;
};

// A deadline that never comes: the wait ends only with input.
constexpr std::int64_t kNoDeadline = std::numeric_limits<std::int64_t>::max();

class TimeSource {
public:
    virtual ~TimeSource() = default;
    // Milliseconds since an arbitrary start; never goes backwards.
    virtual std::int64_t NowMs() = 0;
    // Returns when NowMs() >= deadlineMs, when one of `inputs` has input
    // (marked ready), or earlier for no reason; the loop checks again. False
    // when nothing could ever end the wait, which only virtual time can know.
    virtual bool WaitUntil(std::int64_t deadlineMs, std::span<InputWait> inputs) = 0;
};

// The operating system's monotonic clock and sleep.
TimeSource& SystemTime();

class VirtualTime final : public TimeSource {
public:
    std::int64_t NowMs() override { return now_; }
    bool WaitUntil(std::int64_t deadlineMs, std::span<InputWait> inputs) override {
        std::int64_t until = deadlineMs;
        for (const InputWait& wait : inputs)
            if (const auto at = wait.input->ReadyAtMs()) until = std::min(until, *at);
        if (until == kNoDeadline) return false;
        now_ = std::max(now_, until);
        for (InputWait& wait : inputs) {
            const auto at = wait.input->ReadyAtMs();
            wait.ready = at && *at <= now_;
        }
        return true;
    }
    void Advance(std::int64_t ms) { now_ += ms; }

private:
    std::int64_t now_ = 0;
};
