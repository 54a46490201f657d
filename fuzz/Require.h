// What a fuzz target does when a property fails: it names the property and
// aborts, so that libFuzzer keeps the input as a finding.
#pragma once

#include <cstdio>
#include <cstdlib>

inline void Require(bool holds, const char* property) {
    if (holds) return;
    std::fprintf(stderr, "property failed: %s\n", property);
    std::abort();
}
