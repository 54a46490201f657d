// The event loop's timers in virtual time.
#include <gtest/gtest.h>

#include <vector>

#include "platform/EventLoop.h"

namespace {
struct Loop {
    VirtualTime time;
    EventLoop loop{time};
    std::vector<std::int64_t> ticks;
};
}  // namespace

TEST(EventLoop, IntervalTimerTicksAtItsIntervalUntilQuit) {
    Loop l;
    IntervalTimer timer(l.loop, 50, [&] {
        l.ticks.push_back(l.time.NowMs());
        if (l.ticks.size() == 3) l.loop.Quit();
    });
    timer.Enable();
    l.loop.Run();
    EXPECT_EQ(l.ticks, (std::vector<std::int64_t>{50, 100, 150}));
}

TEST(EventLoop, EnablingAgainWaitsTheFullIntervalAnew) {
    Loop l;
    IntervalTimer poll(l.loop, 5000, [&] {
        l.ticks.push_back(l.time.NowMs());
        l.loop.Quit();
    });
    IntervalTimer restart(l.loop, 3000, [&] {
        poll.Disable();
        poll.Enable();
        restart.Disable();
    });
    poll.Enable();
    restart.Enable();
    l.loop.Run();
    EXPECT_EQ(l.ticks, (std::vector<std::int64_t>{8000}));
}

TEST(EventLoop, OverdueTimerFiresOnceThenKeepsItsInterval) {
    Loop l;
    IntervalTimer reader(l.loop, 50, [&] {
        l.ticks.push_back(l.time.NowMs());
        if (l.ticks.size() == 3) l.loop.Quit();
    });
    IntervalTimer busy(l.loop, 40, [&] {
        l.time.Advance(500);  // a handler that keeps the thread busy
        busy.Disable();
    });
    reader.Enable();
    busy.Enable();
    l.loop.Run();
    EXPECT_EQ(l.ticks, (std::vector<std::int64_t>{540, 590, 640}));
}

TEST(EventLoop, QuitStopsBeforeAnyFurtherTickAndLoopCanRunAgain) {
    Loop l;
    int other = 0;
    IntervalTimer first(l.loop, 10, [&] { l.loop.Quit(); });
    IntervalTimer second(l.loop, 10, [&] { ++other; });
    first.Enable();
    second.Enable();
    l.loop.Run();
    EXPECT_EQ(other, 0);
    first.Disable();
    IntervalTimer stop(l.loop, 25, [&] { l.loop.Quit(); });
    stop.Enable();
    l.loop.Run();
    EXPECT_EQ(other, 3);  // at 10, 20 and 30; the stop at 35 ended the second run
}

// Input the test schedules: ready from a given virtual time until taken.
struct ScheduledInput final : Waitable {
    std::optional<std::int64_t> readyAt;
    int Descriptor() override { return -1; }
    std::optional<std::int64_t> ReadyAtMs() override { return readyAt; }
};

TEST(EventLoop, TimerWaitingForInputSkipsIdleTicksAndKeepsItsGrid) {
    Loop l;
    ScheduledInput input;
    IntervalTimer reader(l.loop, 50, [&] {
        l.ticks.push_back(l.time.NowMs());
        input.readyAt.reset();  // the tick takes the input
    });
    IntervalTimer other(l.loop, 1000, [&] {
        if (l.time.NowMs() == 1000) input.readyAt = 1020;
        if (l.time.NowMs() >= 3000) l.loop.Quit();
    });
    reader.WaitFor(&input);
    reader.Enable();
    other.Enable();
    input.readyAt = 130;
    l.loop.Run();
    EXPECT_EQ(l.ticks, (std::vector<std::int64_t>{150, 1050}));
    // Nothing ends a wait on input that never comes but the other timers.
    other.Disable();
    l.loop.Run();
    EXPECT_EQ(l.time.NowMs(), 3000);
    // Without its input the timer ticks at every interval again: once overdue
    // at 3000, then from 3050 to 4000.
    reader.WaitFor(nullptr);
    other.Enable();
    l.loop.Run();
    EXPECT_EQ(l.ticks.size(), 2u + 1 + 20);
    EXPECT_EQ(l.ticks.back(), 4000);
}

TEST(EventLoop, RunReturnsWhenNoTimerIsEnabled) {
    Loop l;
    IntervalTimer idle(l.loop, 10, [] {});
    l.loop.Run();
    EXPECT_EQ(l.time.NowMs(), 0);
}

// A window's message loop runs the timers itself: RunDue fires what is due,
// each overdue timer once and in due order, and NextDueMs says when to come
// back, at the grid ticks of a timer waiting for input too. That timer fires
// only at a tick by which its input has come.
TEST(EventLoop, RunDueFiresWhatIsDueAndNextDueMsSaysWhenToComeBack) {
    Loop l;
    std::vector<char> fired;
    IntervalTimer slow(l.loop, 50, [&] { fired.push_back('s'); });
    IntervalTimer fast(l.loop, 30, [&] { fired.push_back('f'); });
    ScheduledInput input;
    IntervalTimer reader(l.loop, 40, [&] {
        fired.push_back('r');
        input.readyAt.reset();
    });
    EXPECT_EQ(l.loop.NextDueMs(), std::nullopt);
    reader.WaitFor(&input);
    reader.Enable();
    EXPECT_EQ(l.loop.NextDueMs(), 40);
    slow.Enable();
    fast.Enable();
    EXPECT_EQ(l.loop.NextDueMs(), 30);
    l.time.Advance(20);
    l.loop.RunDue();
    EXPECT_TRUE(fired.empty());
    l.time.Advance(80);
    l.loop.RunDue();
    EXPECT_EQ(fired, (std::vector<char>{'f', 's'}));  // nothing came for the reader's ticks at 40 and 80
    EXPECT_EQ(l.loop.NextDueMs(), 120);               // the reader's grid, before the fast timer's 130
    input.readyAt = 105;
    l.time.Advance(20);
    l.loop.RunDue();
    EXPECT_EQ(fired, (std::vector<char>{'f', 's', 'r'}));
    EXPECT_EQ(l.loop.NextDueMs(), 130);
    EXPECT_EQ(l.time.NowMs(), 120);
    // The window comes back a millisecond after the reader's tick at 160:
    // input that came since the last look is still taken for that tick,
    // not left for the next.
    input.readyAt = 125;
    l.time.Advance(41);
    l.loop.RunDue();
    EXPECT_EQ(fired, (std::vector<char>{'f', 's', 'r', 'f', 's', 'r'}));
}

// A handler that holds the thread fires nothing meanwhile; the timer that
// fell due fires once, late, when the loop runs again.
TEST(EventLoop, WaitUntilHoldsTheThreadWithoutFiringTimers) {
    Loop l;
    IntervalTimer timer(l.loop, 10, [&] {
        l.ticks.push_back(l.time.NowMs());
        l.loop.Quit();
    });
    timer.Enable();
    l.loop.WaitUntil(50);
    l.loop.WaitUntil(20);  // already past: returns at once
    EXPECT_EQ(l.time.NowMs(), 50);
    EXPECT_TRUE(l.ticks.empty());
    l.loop.Run();
    EXPECT_EQ(l.ticks, (std::vector<std::int64_t>{50}));
}
