#include "platform/RunIdentity.h"

#include <windows.h>

#include <random>

unsigned long ThisProcessId() { return GetCurrentProcessId(); }

// Windows' random source (behind rand_s) never waits for entropy.
std::uint32_t RunNonce() { return std::random_device{}(); }
