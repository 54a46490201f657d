// A blocking system call that has no time limit of its own (tcdrain()), cut
// short at a time limit.
//
// A one-shot timer sends a signal at the deadline; its handler does nothing
// and is installed without SA_RESTART, so the call returns with EINTR there.
// Nothing else runs meanwhile: the event loop and its waits are not touched,
// and the signal's handler, the thread's signal mask and the timer are as
// before once the call has returned.
#pragma once

#include <cstdint>
#include <functional>

// Runs `call` (0 for success, -1 with errno set otherwise) and says whether it
// succeeded within timeoutMs. Another signal that cuts the call short (a
// resized terminal) starts it again under the same deadline. No time left
// means no call and false.
bool CallWithin(std::int64_t timeoutMs, const std::function<int()>& call);
