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

namespace {

constexpr char kBoxCaption[] = "loop timer test";
HANDLE arrivalEvent = nullptr;
std::int64_t arrivedAtMs = -1;

// Bytes arriving 300 ms into the message box, as a station's reply would.
void CALLBACK SetArrival(HWND, UINT, UINT_PTR id, DWORD) {
    KillTimer(nullptr, id);
    arrivedAtMs = SystemTime().NowMs();
    SetEvent(arrivalEvent);
}

// Dismisses the box should the reply never be read, so the test fails
// instead of waiting for a press.
void CALLBACK GiveUp(HWND, UINT, UINT_PTR id, DWORD) {
    KillTimer(nullptr, id);
    PostMessageA(FindWindowA(nullptr, kBoxCaption), WM_CLOSE, 0, 0);
}

}  // namespace

// A message box runs its own message loop until it is dismissed; a reply that
// comes meanwhile is still read, on the first read tick after it came, and a
// tick before it reads nothing.
TEST(LoopTimer, InputIsReadWhileAMessageBoxIsUp) {
    const HWND window = CreateWindowExA(0, "STATIC", "", 0, 0, 0, 0, 0, HWND_MESSAGE, nullptr, nullptr, nullptr);
    ASSERT_NE(window, nullptr);
    arrivalEvent = CreateEventW(nullptr, TRUE, FALSE, nullptr);
    HandleWaitable input(arrivalEvent);
    EventLoop loop(SystemTime());
    std::vector<std::int64_t> reads;
    IntervalTimer reader(loop, 50, [&] {
        reads.push_back(loop.NowMs());
        ResetEvent(arrivalEvent);
        PostMessageA(FindWindowA(nullptr, kBoxCaption), WM_CLOSE, 0, 0);
    });
    reader.WaitFor(&input);
    reader.Enable();
    LoopTimer timer(loop, window, kTimerId);
    SetWindowSubclass(window, RunDueOnTimer, 0, reinterpret_cast<DWORD_PTR>(&timer));
    timer.Schedule();
    SetTimer(nullptr, 0, 300, SetArrival);
    const UINT_PTR giveUp = SetTimer(nullptr, 0, 5000, GiveUp);

    MessageBoxA(nullptr, "A reply is on its way.", kBoxCaption, MB_OK);

    KillTimer(nullptr, giveUp);
    ASSERT_EQ(reads.size(), 1u);
    ASSERT_GE(arrivedAtMs, 0);
    std::printf("reply read %lld ms after it came, in the message box's loop\n",
                static_cast<long long>(reads[0] - arrivedAtMs));
    EXPECT_GE(reads[0], arrivedAtMs);
    EXPECT_LT(reads[0] - arrivedAtMs, 150);  // a 50 ms tick, and the window timer's own slack
    reader.Disable();
    RemoveWindowSubclass(window, RunDueOnTimer, 0);
    DestroyWindow(window);
    CloseHandle(arrivalEvent);
}
