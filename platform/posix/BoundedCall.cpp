#include "platform/posix/BoundedCall.h"

#include <pthread.h>

#include <cerrno>
#include <csignal>
#include <ctime>

namespace {

// No other part of the tool, the console included, uses SIGALRM.
constexpr int kDeadlineSignal = SIGALRM;

// A signal the call misses (it arrives just before the call blocks) is sent
// again this often, so the call still ends soon after the deadline.
constexpr long kRepeatNanos = 10'000'000;

void CutShort(int) {}

timespec MonotonicNow() {
    timespec now{};
    clock_gettime(CLOCK_MONOTONIC, &now);
    return now;
}

timespec Later(timespec at, std::int64_t ms) {
    at.tv_sec += static_cast<time_t>(ms / 1000);
    at.tv_nsec += static_cast<long>(ms % 1000) * 1'000'000;
    if (at.tv_nsec >= 1'000'000'000) {
        at.tv_sec += 1;
        at.tv_nsec -= 1'000'000'000;
    }
    return at;
}

bool Before(const timespec& a, const timespec& b) {
    return a.tv_sec < b.tv_sec || (a.tv_sec == b.tv_sec && a.tv_nsec < b.tv_nsec);
}

// The handler and the unblocked signal, for as long as the object lives.
class DeadlineSignal {
public:
    DeadlineSignal() {
        struct sigaction quiet {};
        quiet.sa_handler = CutShort;
        sigemptyset(&quiet.sa_mask);
        sigaction(kDeadlineSignal, &quiet, &previousAction_);
        sigset_t deadlineOnly;
        sigemptyset(&deadlineOnly);
        sigaddset(&deadlineOnly, kDeadlineSignal);
        pthread_sigmask(SIG_UNBLOCK, &deadlineOnly, &previousMask_);
    }
    // A signal the timer sent before it was deleted has been taken by the
    // quiet handler by now: it was unblocked, and a pending unblocked signal
    // is handled as each system call returns.
    ~DeadlineSignal() {
        pthread_sigmask(SIG_SETMASK, &previousMask_, nullptr);
        sigaction(kDeadlineSignal, &previousAction_, nullptr);
    }
    DeadlineSignal(const DeadlineSignal&) = delete;
    DeadlineSignal& operator=(const DeadlineSignal&) = delete;

private:
    struct sigaction previousAction_ {};
    sigset_t previousMask_{};
};

}  // namespace

bool CallWithin(std::int64_t timeoutMs, const std::function<int()>& call) {
    if (timeoutMs <= 0) return false;
    const timespec deadline = Later(MonotonicNow(), timeoutMs);
    const DeadlineSignal signal;
    sigevent event{};
    event.sigev_notify = SIGEV_SIGNAL;
    event.sigev_signo = kDeadlineSignal;
    timer_t timer{};
    // Without a timer (none left to the process) the call would have no
    // limit at all; the caller's time limit wins over the call.
    if (timer_create(CLOCK_MONOTONIC, &event, &timer) != 0) return false;
    itimerspec when{};
    when.it_value = deadline;
    when.it_interval.tv_nsec = kRepeatNanos;
    timer_settime(timer, TIMER_ABSTIME, &when, nullptr);
    int result = call();
    while (result != 0 && errno == EINTR && Before(MonotonicNow(), deadline)) result = call();
    timer_delete(timer);
    return result == 0;
}
