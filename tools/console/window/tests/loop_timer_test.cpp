// The loop timer with real window timers: whichever message loop dispatches
// WM_TIMER (here one of the test's own, as a message box runs one) fires the
// event loop's ticks and sets the timer again for the next. The intervals
// are printed, not asserted: they are the system timer's.
#include "tools/console/window/LoopTimer.h"

#include <commctrl.h>
#include <gtest/gtest.h>

#include <algorithm>
#include <cstdio>
#include <numeric>
#include <vector>

#include "platform/TimeSource.h"

namespace {

constexpr UINT_PTR kTimerId = 7;

LRESULT CALLBACK RunDueOnTimer(HWND window, UINT message, WPARAM wParam, LPARAM lParam, UINT_PTR, DWORD_PTR timer) {
    if (message == WM_TIMER && wParam == kTimerId) {
        reinterpret_cast<LoopTimer*>(timer)->RunDue();
        return 0;
    }
    return DefSubclassProc(window, message, wParam, lParam);
}

}  // namespace

TEST(LoopTimer, AnyMessageLoopFiresTheTicksAtTheirInterval) {
    const HWND window = CreateWindowExA(0, "STATIC", "", 0, 0, 0, 0, 0, HWND_MESSAGE, nullptr, nullptr, nullptr);
    ASSERT_NE(window, nullptr);
    EventLoop loop(SystemTime());
    std::vector<std::int64_t> ticks;
    IntervalTimer reader(loop, 50, [&] { ticks.push_back(loop.NowMs()); });
    IntervalTimer idle(loop, 10, [] {});  // never enabled: never wakes the window
    reader.Enable();
    LoopTimer timer(loop, window, kTimerId);
    SetWindowSubclass(window, RunDueOnTimer, 0, reinterpret_cast<DWORD_PTR>(&timer));
    timer.Schedule();

    MSG message;
    while (ticks.size() < 40 && GetMessageA(&message, nullptr, 0, 0) > 0) DispatchMessageA(&message);
    ASSERT_EQ(ticks.size(), 40u);

    std::vector<std::int64_t> intervals(ticks.size());
    std::adjacent_difference(ticks.begin(), ticks.end(), intervals.begin());
    intervals.erase(intervals.begin());
    const double mean = static_cast<double>(ticks.back() - ticks.front()) / static_cast<double>(intervals.size());
    std::printf("read ticks of 50 ms from window timers: mean %.1f ms, min %lld ms, max %lld ms over %zu\n", mean,
                static_cast<long long>(*std::min_element(intervals.begin(), intervals.end())),
                static_cast<long long>(*std::max_element(intervals.begin(), intervals.end())), intervals.size());

    // With no tick to come the window timer stops.
    reader.Disable();
    timer.Schedule();
    EXPECT_FALSE(KillTimer(window, kTimerId));
    RemoveWindowSubclass(window, RunDueOnTimer, 0);
    DestroyWindow(window);
}
