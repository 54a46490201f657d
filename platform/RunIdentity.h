// What tells one run from another in the line trace's run mark: the id the
// system gives this process, which lets a technician match a busy port's
// "held by process N" to the run that held it, and 32 bits that differ from
// run to run, since the system gives a later process the same id.
// platform/posix/RunIdentity.cpp and platform/win32/RunIdentity.cpp.
#pragma once

#include <cstdint>

unsigned long ThisProcessId();

// Never waits: a run must not wait for its trace, and Linux's random source
// blocks after boot until it has gathered entropy.
std::uint32_t RunNonce();
