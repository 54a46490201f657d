// The performance counter, and waits that end on a waitable timer set to the
// deadline or on an input's event (WaitForMultipleObjects). The tick count and
// the system timer's default resolution (about 16 ms) would do for a 50 ms
// poll, but not for the turnaround a reply gets on Linux, nor for raising DTR:
// the wait after a frame must count its line time from the write no sooner
// than it began, and end within a few milliseconds of its last stop bit.
// The timer is a high-resolution one where the system has them (Windows 10
// 1803 and later); elsewhere the timer resolution is raised to 1 ms for the
// run and put back at its end.
#include <windows.h>
#include <mmsystem.h>

#include <algorithm>
#include <vector>

#include "platform/TimeSource.h"

#ifndef CREATE_WAITABLE_TIMER_HIGH_RESOLUTION
#define CREATE_WAITABLE_TIMER_HIGH_RESOLUTION 0x00000002
#endif

namespace {

class PerformanceCounterTime final : public TimeSource {
public:
    PerformanceCounterTime() {
        QueryPerformanceFrequency(&frequency_);
        timer_ = CreateWaitableTimerExW(nullptr, nullptr, CREATE_WAITABLE_TIMER_HIGH_RESOLUTION, TIMER_ALL_ACCESS);
        if (timer_ == nullptr) {
            raisedResolution_ = timeBeginPeriod(1) == TIMERR_NOERROR;
            timer_ = CreateWaitableTimerW(nullptr, FALSE, nullptr);
        }
    }
    ~PerformanceCounterTime() override {
        if (timer_ != nullptr) CloseHandle(timer_);
        if (raisedResolution_) timeEndPeriod(1);
    }
    PerformanceCounterTime(const PerformanceCounterTime&) = delete;
    PerformanceCounterTime& operator=(const PerformanceCounterTime&) = delete;

    std::int64_t NowMs() override { return Now100ns() / 10'000; }

    bool WaitUntil(std::int64_t deadlineMs, std::span<InputWait> inputs) override {
        std::vector<HANDLE> handles;
        std::vector<InputWait*> watched;
        for (InputWait& wait : inputs) {
            if (wait.input->Handle() == nullptr || handles.size() + 1 >= MAXIMUM_WAIT_OBJECTS) continue;
            handles.push_back(wait.input->Handle());
            watched.push_back(&wait);
        }
        const DWORD timeLimit = SetDeadline(deadlineMs, handles);
        if (handles.empty()) return true;  // the deadline has come
        const DWORD result = WaitForMultipleObjects(static_cast<DWORD>(handles.size()), handles.data(), FALSE, timeLimit);
        // A wait that failed (an event closed under it) counts as input: the
        // read that follows finds out, as a hang-up does on POSIX systems.
        for (std::size_t i = 0; i < watched.size(); ++i)
            watched[i]->ready = result == WAIT_FAILED || WaitForSingleObject(handles[i], 0) == WAIT_OBJECT_0;
        return true;
    }

private:
    // The performance counter in units of 100 ns, the waitable timer's.
    std::int64_t Now100ns() {
        LARGE_INTEGER count;
        QueryPerformanceCounter(&count);
        const std::int64_t perSecond = frequency_.QuadPart;
        return count.QuadPart / perSecond * 10'000'000 + count.QuadPart % perSecond * 10'000'000 / perSecond;
    }

    // Adds the timer, set to the deadline, to the handles waited on, and
    // returns WaitForMultipleObjects' own time limit: none while the timer
    // keeps the deadline, the time left rounded up when there is no timer.
    // With no input and the deadline already past, leaves the handles empty.
    DWORD SetDeadline(std::int64_t deadlineMs, std::vector<HANDLE>& handles) {
        if (deadlineMs == kNoDeadline) return INFINITE;
        const std::int64_t left100ns = deadlineMs * 10'000 - Now100ns();
        if (left100ns <= 0) return 0;
        LARGE_INTEGER due;
        due.QuadPart = -left100ns;  // relative
        if (timer_ != nullptr && SetWaitableTimer(timer_, &due, 0, nullptr, nullptr, FALSE)) {
            handles.push_back(timer_);
            return INFINITE;
        }
        const std::int64_t leftMs = (left100ns + 9'999) / 10'000;
        if (handles.empty()) Sleep(static_cast<DWORD>(std::min<std::int64_t>(leftMs, INFINITE - 1)));
        return static_cast<DWORD>(std::min<std::int64_t>(leftMs, INFINITE - 1));
    }

    LARGE_INTEGER frequency_{};
    HANDLE timer_ = nullptr;
    bool raisedResolution_ = false;
};

}  // namespace

TimeSource& SystemTime() {
    static PerformanceCounterTime time;
    return time;
}
