// LoopTimer: the event loop's timers, run from a window's message queue.
//
// The window's thread spends its life in message loops: its own, and the
// modal ones Windows runs inside a call, such as a message box waiting to be
// dismissed or the user moving the window. Each of them dispatches WM_TIMER
// to the window, so one window timer, always set for the event loop's next
// tick, keeps the serial driver's reads going in whichever loop the thread
// is. A WM_TIMER fires the ticks that are due and sets the timer again; so
// must every change that may start or stop a timer of the loop (opening the
// port starts the read timer). One thread runs both: a tick and a window
// message never interrupt each other.
#pragma once

#include <windows.h>

#include "platform/EventLoop.h"

class LoopTimer {
public:
    // The window timer `id` of `window`, which must outlive this.
    LoopTimer(EventLoop& loop, HWND window, UINT_PTR id) : loop_(loop), window_(window), id_(id) {}
    ~LoopTimer() { KillTimer(window_, id_); }
    LoopTimer(const LoopTimer&) = delete;
    LoopTimer& operator=(const LoopTimer&) = delete;

    UINT_PTR Id() const { return id_; }
    // On the window's WM_TIMER with this id: fires the due ticks, then
    // Schedule().
    void RunDue();
    // Sets the window timer for the loop's next tick, or stops it when no
    // timer of the loop is enabled.
    void Schedule();

private:
    EventLoop& loop_;
    HWND window_;
    UINT_PTR id_;
};
