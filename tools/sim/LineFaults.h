// Faults the simulator puts on the line, for end-to-end tests of how the tool
// copes with them. Times count from the simulator's start, as in the record.
#pragma once

#include <cstdint>
#include <optional>

struct LineFaults {
    // The simulator closes its end of the line: for the tool, the device is gone.
    std::optional<std::int64_t> hangUpAtMs;
    // The simulator stops reading, and the line's queue towards it is filled
    // up, so the tool's writes find no room.
    std::optional<std::int64_t> stallAtMs;
    // Noise bytes at the line's pace whenever no answer is going out.
    bool noiseStorm = false;
};
