#include "platform/ProcessId.h"

#include <windows.h>

unsigned long ThisProcessId() { return GetCurrentProcessId(); }
