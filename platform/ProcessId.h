// The id the system gives this process, for the line trace's run mark: it
// lets a technician match a busy port's "held by process N" to the run that
// held it. platform/posix/ProcessId.cpp and platform/win32/ProcessId.cpp.
#pragma once

unsigned long ThisProcessId();
