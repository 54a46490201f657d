#include "platform/ProcessId.h"

#include <unistd.h>

unsigned long ThisProcessId() { return static_cast<unsigned long>(getpid()); }
