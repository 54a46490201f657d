// The system clock's waits on Windows: a wait ends at its deadline, on the
// waitable timer, or as soon as an input's event is set. How late the
// deadlines end is printed, and asserted only generously: it is the system's.
#include <windows.h>

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdio>
#include <vector>

#include "platform/TimeSource.h"

namespace {

struct Event {
    HANDLE handle = CreateEventW(nullptr, TRUE, FALSE, nullptr);
    ~Event() { CloseHandle(handle); }
};

}  // namespace

TEST(Win32Waits, AWaitEndsAtItsDeadlineWithOrWithoutInput) {
    TimeSource& time = SystemTime();
    Event quiet;
    HandleWaitable input(quiet.handle);
    std::vector<std::int64_t> late;
    for (int round = 0; round < 40; ++round) {
        InputWait waits[] = {{&input, false}};
        const std::int64_t deadline = time.NowMs() + 7;
        while (time.NowMs() < deadline)
            time.WaitUntil(deadline, round % 2 == 0 ? std::span<InputWait>(waits) : std::span<InputWait>());
        late.push_back(time.NowMs() - deadline);
        EXPECT_FALSE(waits[0].ready);
    }
    std::sort(late.begin(), late.end());
    std::printf("7 ms waits: late by %lld ms at the median, %lld ms at most\n",
                static_cast<long long>(late[late.size() / 2]), static_cast<long long>(late.back()));
    EXPECT_LT(late.back(), 30);
}

TEST(Win32Waits, AnEventEndsTheWaitAndOnlyItsInputIsReady) {
    TimeSource& time = SystemTime();
    Event quiet;
    Event arrived;
    HandleWaitable first(quiet.handle);
    HandleWaitable second(arrived.handle);
    SetEvent(arrived.handle);
    InputWait waits[] = {{&first, false}, {&second, false}};
    const std::int64_t started = time.NowMs();
    time.WaitUntil(started + 5000, waits);
    EXPECT_LT(time.NowMs() - started, 1000);
    EXPECT_FALSE(waits[0].ready);
    EXPECT_TRUE(waits[1].ready);
    // No deadline at all: the event alone ends the wait.
    waits[1].ready = false;
    EXPECT_TRUE(time.WaitUntil(kNoDeadline, waits));
    EXPECT_TRUE(waits[1].ready);
}
